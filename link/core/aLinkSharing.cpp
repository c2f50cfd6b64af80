// The registered sharing procedures, or a table whose every call fails.
#include "link/core/aLinkSharing.h"

#include <atomic>

namespace {

aErr sNoClientStream(uint32_t, uint16_t, aStream**) { return aErrUnimplemented; }
aServer* sNoServer(uint32_t, uint32_t, bool) { return nullptr; }
aErr sNoServerCall(aServer*) { return aErrUnimplemented; }
aErr sNoDestroy(aServer**) { return aErrUnimplemented; }
aErr sNoPort(aServer*, uint16_t*) { return aErrUnimplemented; }
aErr sNoInterface(aServer*, uint32_t*) { return aErrUnimplemented; }
aErr sNoByte(aServer*, uint8_t) { return aErrUnimplemented; }

const aLinkSharingProcs kUnregistered = {sNoClientStream, sNoServer, sNoServerCall, sNoDestroy, sNoPort,
                                         sNoInterface,    sNoByte,   sNoByte,       sNoServerCall};

std::atomic<const aLinkSharingProcs*> gProcs{&kUnregistered};

}  // namespace

void aLinkSharing_Register(const aLinkSharingProcs* procs) {
  gProcs.store(procs != nullptr ? procs : &kUnregistered);
}

const aLinkSharingProcs* aLinkSharing_Procs(void) { return gProcs.load(); }
