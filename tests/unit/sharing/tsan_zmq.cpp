// libzmq hands its objects between its I/O threads and the application's
// through lock-free queues built without ThreadSanitizer's instrumentation,
// so every hand-over looks like a race inside libzmq. Those reports are
// suppressed here; races in this project's code still stop the test.
extern "C" const char* __tsan_default_suppressions() { return "race:libzmq.so\n"; }
