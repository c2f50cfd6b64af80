// Under ThreadSanitizer the bridge runs umockdev's testbed worker beside its
// own threads. GLib and umockdev are not instrumented and GLib's locks are
// futex based, which the sanitizer cannot see, so their hand-overs look like
// races inside those libraries. Only reports with a frame there are dropped.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "race:libglib-2.0.so\nrace:libgobject-2.0.so\nrace:libgio-2.0.so\nrace:libumockdev.so\n";
}
#endif
