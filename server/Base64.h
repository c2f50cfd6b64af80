// Standard base64 (RFC 4648 alphabet, "=" padding, no line breaks). Both
// return a malloc'd buffer with one zero byte after the data (release it
// with free), or null on failure.
#pragma once

#include <stddef.h>

char* base64_encode(const unsigned char* data, size_t input_length, size_t* output_length);

// Rejects (null): a length that is not a multiple of 4, an empty text, any
// character outside the alphabet, and "=" anywhere but the final padding.
unsigned char* base64_decode(const char* data, size_t input_length, size_t* output_length);

// The same decoding into the text's own storage (the bytes never outrun the
// text they come from), for a package of megabytes that is not needed as
// text afterwards. False on the same rejections; the text is then spoilt.
bool base64_decode_in_place(char* data, size_t input_length, size_t* output_length);

// The reverse of the alphabet: 0..63 per character, 0xFF for any other byte.
void _build_decoding_table(unsigned char table[256]);
