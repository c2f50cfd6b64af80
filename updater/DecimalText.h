// Build numbers as the download flow reads them from text.
#pragma once

#include <ctype.h>
#include <stdint.h>

#include <optional>
#include <string>

// A leading decimal number (after white space) that fits 32 bits; trailing
// text such as a "\r" from the server is ignored. Nothing when there are no
// digits or the number is too large.
inline std::optional<unsigned> _read_decimal(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i == text.size() || !isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
  uint64_t value = 0;
  for (; i < text.size() && isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > UINT32_MAX) return std::nullopt;
  }
  return static_cast<unsigned>(value);
}
