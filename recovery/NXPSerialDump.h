// Text forms of a byte run for the send and receive dumps of the ISP client.
#pragma once

#include <stddef.h>
#include <string>

// "AA BB CC": each byte as two hex digits, a blank before all but the first.
std::string nxpHexForm(const char* bytes, size_t length);
// Printable form: "\r" and "\n" spelt out, other unprintable bytes as a blank.
std::string nxpPrintableForm(const char* bytes, size_t length);
