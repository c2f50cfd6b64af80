#include "link/core/aWaker.h"

#include <errno.h>
#include <new>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

struct aWaker {
  int fd;
};

aWaker* aWaker_Create(void) {
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return nullptr;
  aWaker* waker = new (std::nothrow) aWaker{fd};
  if (waker == nullptr) close(fd);
  return waker;
}

void aWaker_Destroy(aWaker** waker) {
  if (waker == nullptr || *waker == nullptr) return;
  close((*waker)->fd);
  delete *waker;
  *waker = nullptr;
}

void aWaker_Wake(aWaker* waker) {
  if (waker == nullptr) return;
  uint64_t one = 1;
  while (write(waker->fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

bool aWaker_Consume(aWaker* waker) {
  if (waker == nullptr) return false;
  uint64_t count = 0;
  return read(waker->fd, &count, sizeof count) == static_cast<ssize_t>(sizeof count);
}

int aWaker_Descriptor(const aWaker* waker) { return waker != nullptr ? waker->fd : -1; }

bool aWaker_WaitReadable(aWaker* waker, int fd, uint32_t milliseconds) {
  pollfd polled[2] = {{fd, POLLIN, 0}, {aWaker_Descriptor(waker), POLLIN, 0}};
  if (poll(polled, 2, static_cast<int>(milliseconds)) <= 0) return false;
  if (polled[1].revents & POLLIN) {
    aWaker_Consume(waker);
    return false;
  }
  return fd >= 0 && (polled[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}
