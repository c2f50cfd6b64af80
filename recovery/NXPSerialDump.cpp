#include "recovery/NXPSerialDump.h"

#include <stdio.h>

std::string nxpHexForm(const char* bytes, size_t length) {
  std::string out;
  char cell[8];
  for (size_t i = 0; i < length; ++i) {
    snprintf(cell, sizeof cell, "%s%02X", i == 0 ? "" : " ", static_cast<unsigned char>(bytes[i]));
    out += cell;
  }
  return out;
}

std::string nxpPrintableForm(const char* bytes, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : ' ';
    }
  }
  return out;
}
