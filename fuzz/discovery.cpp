// TCP/IP discovery replies: each input is one datagram as the reply socket
// reads it (at most 17 bytes are read; longer ones arrive cut). Properties:
// a reply that names a module gives a TCP/IP record whose fields come from
// the reply itself.
#include <string.h>

#include "FuzzSupport.h"
#include "link/api/aDiscoveryInternal.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietVerbose();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t n = size < aDISCOVERY_TCPIP_RECORD + 1 ? size : aDISCOVERY_TCPIP_RECORD + 1;
  // Exactly the datagram, so a read past it is seen.
  std::vector<uint8_t> reply(data, data + n);
  linkSpec spec;
  memset(&spec, 0xEE, sizeof spec);
  const uint32_t source = 0x0100C6C6;  // 198.18.0.1 read as network order on this host
  if (!aDiscovery_TCPIPReplySpec(reply.data(), reply.size(), source, &spec)) {
    FUZZ_CHECK(n < 8);
    return 0;
  }
  FUZZ_CHECK(spec.type == linkTypeTCPIP && spec.ipAddress == source);
  FUZZ_CHECK(spec.port <= 0xFFFF && spec.moduleAddress == reply[1] && spec.routerSerialNumber == spec.serialNumber);
  FUZZ_CHECK(spec.model == (n > 12 ? reply[12] : 255u));
  char text[16];
  aDiscovery_ConvertIPv4Interface(spec.ipAddress, text, sizeof text);
  linkSpec* copy = aLinkSpec_Copy(&spec);
  FUZZ_CHECK(copy != nullptr && memcmp(copy, &spec, sizeof spec) == 0);
  aLinkSpec_Destroy(&copy);
  return 0;
}
