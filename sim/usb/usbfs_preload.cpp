// Preloaded before umockdev's library in programs that use the emulated bus.
// umockdev sends every request on a device node of its testbed through its
// own ioctl channel; the bridge's nodes are files of its FUSE filesystem
// instead, and their requests must reach the kernel, which hands them to the
// bridge. Everything else goes on to umockdev as before.
#include <dlfcn.h>
#include <pthread.h>
#include <stdarg.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

constexpr long kFuseMagic = 0x65735546;

using IoctlFunction = int (*)(int, unsigned long, ...);

// libusb hands a transfer from the thread that submits it to the one that
// reaps it through the kernel, where ThreadSanitizer cannot see it; one lock
// around the requests shows it the hand-over (umockdev's channel had one too).
// The requests never block, so it holds nobody up.
pthread_mutex_t gRequests = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

extern "C" __attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  // The system call itself: umockdev wraps fstatfs() too.
  struct statfs filesystem;
  if (syscall(SYS_fstatfs, fd, &filesystem) == 0 && filesystem.f_type == kFuseMagic) {
    pthread_mutex_lock(&gRequests);
    long result = syscall(SYS_ioctl, fd, request, argument);
    pthread_mutex_unlock(&gRequests);
    return static_cast<int>(result);
  }
  static const IoctlFunction next = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
  return next(fd, request, argument);
}
