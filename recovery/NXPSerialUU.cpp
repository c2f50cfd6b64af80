// The boot loader's uuencoding: a length character, then four 6-bit
// characters per three bytes; a zero value travels as a backtick.
#include "app/Log.h"
#include "recovery/NXPSerialClass.h"

namespace {

char sChar(unsigned value) {
  value &= 0x3F;
  return value == 0 ? '`' : static_cast<char>(value + 32);
}

unsigned sValue(char c) { return (static_cast<unsigned>(static_cast<unsigned char>(c)) - 32) & 0x3F; }

// The encoding sends only the 64 characters from blank to backtick.
bool sIsUUChar(char c) { return c >= ' ' && c <= '`'; }

}  // namespace

int NXPSerialClass::uuencode(char* out, const uint8_t* data, int n) {
  char* p = out;
  *p++ = sChar(static_cast<unsigned>(n));
  for (int i = 0; i < n; i += 3) {
    unsigned b0 = data[i];
    unsigned b1 = i + 1 < n ? data[i + 1] : 0;
    unsigned b2 = i + 2 < n ? data[i + 2] : 0;
    *p++ = sChar(b0 >> 2);
    *p++ = sChar(((b0 << 4) | (b1 >> 4)) & 0x3F);
    *p++ = sChar(((b1 << 2) | (b2 >> 6)) & 0x3F);
    *p++ = sChar(b2 & 0x3F);
  }
  *p = '\0';
  return n;
}

int NXPSerialClass::uudecode(uint8_t* buffer, int bufferLength, const char* text) {
  // An empty line has no length character: nothing to decode.
  if (text == nullptr || !sIsUUChar(text[0])) return 0;
  int n = static_cast<int>(sValue(text[0]));
  if (bufferLength < n) return 0;
  const char* p = text + 1;
  int produced = 0;
  while (produced < n) {
    // The line ends at its terminator (or any other byte the encoding never
    // sends): decode only the groups it holds.
    if (!sIsUUChar(p[0]) || !sIsUUChar(p[1]) || !sIsUUChar(p[2]) || !sIsUUChar(p[3])) {
      Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
      break;
    }
    unsigned v0 = sValue(p[0]), v1 = sValue(p[1]), v2 = sValue(p[2]), v3 = sValue(p[3]);
    uint8_t bytes[3] = {static_cast<uint8_t>((v0 << 2) | (v1 >> 4)),
                        static_cast<uint8_t>((v1 << 4) | (v2 >> 2)),
                        static_cast<uint8_t>((v2 << 6) | v3)};
    for (int k = 0; k < 3 && produced < n; ++k) buffer[produced++] = bytes[k];
    p += 4;
  }
  return produced;
}

int NXPSerialClass::uuLineLength(const char* text) {
  return text != nullptr && sIsUUChar(text[0]) ? static_cast<int>(sValue(text[0])) : 0;
}
