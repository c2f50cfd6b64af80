// Host-wide locks on files under the host's lock folder. A timed wait runs
// the blocking flock on a helper thread: the lock's release is the event that
// ends the wait, and a caller that gives up leaves the helper to close its
// descriptor (dropping the lock at once) if it ever gets it.
#include "link/core/aHostLock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace {

// An existing file is opened without O_CREAT: in a sticky folder the system
// may refuse O_CREAT on another user's file, and flock needs no write access.
int sOpenIn(const std::string& folder, const char* name) {
  if (folder.empty()) return -1;
  const std::string path = folder + "/" + name;
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd >= 0) {
      fchmod(fd, 0644);  // readable by every user whatever the umask: they all lock it
      return fd;
    }
    if (errno != EEXIST) return fd;
  }
  return -1;
}

struct sWaiter {
  std::mutex lock;
  std::condition_variable changed;
  int fd = -1;
  bool done = false;
  bool locked = false;
  bool abandoned = false;
};

}  // namespace

int aHostLock_Open(const char* name) {
  if (name == nullptr || *name == '\0') return -1;
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  for (const std::string& folder : {std::string("/run/lock"), std::string(runtime != nullptr ? runtime : ""),
                                   std::string("/tmp")}) {
    int fd = sOpenIn(folder, name);
    if (fd >= 0) return fd;
  }
  return -1;
}

bool aHostLock_Try(int fd) {
  if (fd < 0) return false;
  int result;
  do {
    result = flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

int aHostLock_Acquire(const char* name, uint32_t ceilingMs) {
  int fd = aHostLock_Open(name);
  if (fd < 0) return -1;
  if (aHostLock_Try(fd)) return fd;
  if (errno != EWOULDBLOCK) {
    close(fd);
    return -1;
  }
  auto waiter = std::make_shared<sWaiter>();
  waiter->fd = fd;
  try {
    std::thread([waiter] {
      int result;
      do {
        result = flock(waiter->fd, LOCK_EX);
      } while (result != 0 && errno == EINTR);
      std::lock_guard<std::mutex> guard(waiter->lock);
      if (waiter->abandoned) {
        close(waiter->fd);
        return;
      }
      waiter->done = true;
      waiter->locked = result == 0;
      waiter->changed.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    close(fd);
    return -1;
  }
  std::unique_lock<std::mutex> guard(waiter->lock);
  if (!waiter->changed.wait_for(guard, std::chrono::milliseconds(ceilingMs), [&] { return waiter->done; })) {
    waiter->abandoned = true;  // the helper closes the descriptor
    return -1;
  }
  if (!waiter->locked) {
    close(fd);
    return -1;
  }
  return fd;
}

void aHostLock_Release(int fd) {
  if (fd >= 0) close(fd);
}

void aHostLock_NamePart(const char* text, char* part, uint32_t size) {
  if (part == nullptr || size == 0) return;
  uint32_t length = 0;
  for (; text != nullptr && text[length] != '\0' && length + 1 < size; ++length) {
    const char c = text[length];
    const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '.';
    part[length] = kept ? c : '_';
  }
  part[length] = '\0';
}
