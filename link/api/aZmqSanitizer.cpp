#include "link/api/aZmqSanitizer.h"

void aZmq_SanitizerHook(void) {}

#if defined(__SANITIZE_THREAD__)
// Only reports with a libzmq frame are dropped; races in this project's own
// code still stop a test. czmq's process-wide beacon interface is set, read
// by the beacon actor and restored only after the actor's reply has come back
// over a zmq socket: that hand-off happens inside libzmq, which the sanitizer
// cannot see, so it is named too.
extern "C" const char* __tsan_default_suppressions() { return "race:libzmq.so\nrace:zsys_set_interface\n"; }
#endif
