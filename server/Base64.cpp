#include "server/Base64.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr unsigned char kInvalid = 0xFF;

}  // namespace

void _build_decoding_table(unsigned char table[256]) {
  memset(table, kInvalid, 256);
  for (unsigned char i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
}

char* base64_encode(const unsigned char* data, size_t input_length, size_t* output_length) {
  const size_t length = 4 * ((input_length + 2) / 3);
  char* out = static_cast<char*>(malloc(length + 1));
  if (out == nullptr) return nullptr;
  size_t o = 0;
  for (size_t i = 0; i < input_length; i += 3) {
    const size_t left = input_length - i;
    const uint32_t triple = (static_cast<uint32_t>(data[i]) << 16) | (left > 1 ? data[i + 1] << 8 : 0) |
                            (left > 2 ? data[i + 2] : 0);
    out[o++] = kAlphabet[(triple >> 18) & 0x3F];
    out[o++] = kAlphabet[(triple >> 12) & 0x3F];
    out[o++] = left > 1 ? kAlphabet[(triple >> 6) & 0x3F] : '=';
    out[o++] = left > 2 ? kAlphabet[triple & 0x3F] : '=';
  }
  out[length] = '\0';
  if (output_length != nullptr) *output_length = length;
  return out;
}

namespace {

// Decodes a checked, non-empty text whose length is a multiple of 4 into
// `out`, which may be `in` itself: each group is read whole before its
// bytes are written, and they land at or before the group's start.
bool sDecode(const unsigned char* in, size_t input_length, unsigned char* out, size_t length) {
  unsigned char table[256];
  _build_decoding_table(table);
  const size_t padding = input_length / 4 * 3 - length;
  const size_t body = input_length - padding;  // only the final one or two may be "="
  size_t o = 0, i = 0;
  for (; i + 4 <= body; i += 4) {
    const unsigned a = table[in[i]], b = table[in[i + 1]], c = table[in[i + 2]], d = table[in[i + 3]];
    if (((a | b | c | d) & 0xC0) != 0) return false;  // kInvalid has these bits, 0..63 never
    const uint32_t quad = (a << 18) | (b << 12) | (c << 6) | d;
    out[o++] = static_cast<unsigned char>(quad >> 16);
    out[o++] = static_cast<unsigned char>(quad >> 8);
    out[o++] = static_cast<unsigned char>(quad);
  }
  if (i < input_length) {  // the padded final group
    uint32_t quad = 0;
    for (size_t k = 0; k < 4; ++k) {
      unsigned value = 0;
      if (i + k < body) {
        value = table[in[i + k]];
        if (value == kInvalid) return false;
      }
      quad = (quad << 6) | value;
    }
    for (int shift = 16; o < length; shift -= 8) out[o++] = static_cast<unsigned char>(quad >> shift);
  }
  return true;
}

// The decoded length, or nothing for a text that cannot be base64.
bool sDecodedLength(const char* data, size_t input_length, size_t* length) {
  if (data == nullptr || input_length == 0 || input_length % 4 != 0) return false;
  size_t padding = 0;
  if (data[input_length - 1] == '=') padding = data[input_length - 2] == '=' ? 2 : 1;
  *length = input_length / 4 * 3 - padding;
  return true;
}

}  // namespace

unsigned char* base64_decode(const char* data, size_t input_length, size_t* output_length) {
  size_t length = 0;
  if (!sDecodedLength(data, input_length, &length)) return nullptr;
  unsigned char* out = static_cast<unsigned char*>(malloc(length + 1));
  if (out == nullptr) return nullptr;
  if (!sDecode(reinterpret_cast<const unsigned char*>(data), input_length, out, length)) {
    free(out);
    return nullptr;
  }
  out[length] = '\0';
  if (output_length != nullptr) *output_length = length;
  return out;
}

bool base64_decode_in_place(char* data, size_t input_length, size_t* output_length) {
  size_t length = 0;
  if (!sDecodedLength(data, input_length, &length)) return false;
  unsigned char* bytes = reinterpret_cast<unsigned char*>(data);
  if (!sDecode(bytes, input_length, bytes, length)) return false;
  if (output_length != nullptr) *output_length = length;
  return true;
}
