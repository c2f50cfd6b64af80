// The packet assembler, fed one wire byte at a time as the link's in-pipe
// feeds it: a refused byte drops the packet (the link resynchronises), a
// complete packet is taken. On every packet it holds, refused or complete,
// the UEI and version helpers run as their callers run them.
#include <string.h>

#include "FuzzSupport.h"
#include "link/core/aPacket.h"
#include "link/core/aUEI.h"
#include "link/core/aVersion.h"

namespace {

void readHelpers(const aPacket* packet) {
  uint8_t value = 0;
  aPacket_GetCmd(packet, &value);
  aPacket_GetOption(packet, &value);
  aPacket_GetIndex(packet, &value);
  aUEI_getBytesSequence(packet);
  aUEI_getBytesContinue(packet);
  aUEI_getBytesFullPacket(packet);
  aUEI_isUEIPayload(packet);
  aUEI_isStreamPacket(packet);
}

void takeComplete(const aPacket* packet) {
  FUZZ_CHECK(packet->length <= aPACKET_MAX_DATA);
  readHelpers(packet);
  // A UEI reply: command, option, specifier, then the value big-endian.
  const uint8_t* value = packet->data + 3;
  const size_t valueBytes = packet->length > 3 ? packet->length - 3u : 0u;
  if (valueBytes >= 2) aUEI_RetrieveShort(value);
  if (valueBytes >= 4) {
    const uint32_t word = aUEI_RetrieveInt(value);
    char text[8];
    aVersion_ParseString(word, text, sizeof text);
    aVersion_IsLegacyFormat(word);
    const uint8_t major = aVersion_ParseMajor(word), minor = aVersion_ParseMinor(word);
    const uint32_t patch = aVersion_ParsePatch(word);
    // A current-format word packs back to itself.
    if (!aVersion_IsLegacyFormat(word) && (word >> 24) == 0x2F && major > 2) {
      FUZZ_CHECK(aVersion_Pack(major, minor, static_cast<uint8_t>(patch)) == word);
    }
    uint8_t copy[aPACKET_MAX_DATA];
    memcpy(copy, value, valueBytes);
    aUEI_ModifyIntBuffer(copy, static_cast<uint32_t>(valueBytes / 4));
  }
  aPacket* copy = aPacket_Copy(packet);
  FUZZ_CHECK(copy != nullptr && copy->address == packet->address && copy->length == packet->length &&
             memcmp(copy->data, packet->data, packet->length) == 0 && aPacket_IsComplete(copy));
  aPacket_Destroy(&copy);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietVerbose();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  aPacket* packet = aPacket_Create();
  for (size_t i = 0; i < size; ++i) {
    const aErr err = aPacket_AddByte(packet, data[i]);
    readHelpers(packet);
    // What the assembler holds never claims more data than a packet has.
    FUZZ_CHECK(packet->length <= aPACKET_MAX_DATA);
    if (err != aErrNone) {
      aPacket_Reset(packet);
    } else if (aPacket_IsComplete(packet)) {
      takeComplete(packet);
      aPacket_Reset(packet);
    }
  }
  aPacket_Destroy(&packet);
  return 0;
}
