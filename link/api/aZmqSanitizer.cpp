#include "link/api/aZmqSanitizer.h"

void aZmq_SanitizerHook(void) {}

#if defined(__SANITIZE_THREAD__)
// Only reports with a libzmq frame are dropped; races in this project's own
// code still stop a test.
extern "C" const char* __tsan_default_suppressions() { return "race:libzmq.so\n"; }
#endif
