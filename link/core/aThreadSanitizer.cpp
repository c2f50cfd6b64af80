#include "link/core/aThreadSanitizer.h"

void aThreadSanitizer_Hook(void) {}

#if defined(__SANITIZE_THREAD__)
// Only reports with a frame in the named library or function are dropped;
// races in this project's own code still stop a test.
// - libzmq hands its objects between its I/O threads and ours lock-free.
// - czmq's process-wide beacon interface is set, read by the beacon actor and
//   restored only after the actor's reply has come back over a zmq socket:
//   that hand-off happens inside libzmq.
// - libusb's synchronous transfers, run by the link's reader and writer at
//   once, complete each other's transfers: the waiting thread learns of the
//   completion through a flag read outside libusb's locks and then frees its
//   transfer.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libzmq.so\n"
         "race:zsys_set_interface\n"
         "race:libusb_free_transfer\n";
}
#endif
