#include "store/aReplaceFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace {

std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A hidden name of lower-case letters: listings skip dot-files, and the
// store's name matching (digits and upper-case hex) never hits it.
std::string temporaryName(const std::string& directory) {
  static std::atomic<unsigned> counter{0};
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  unsigned long long seed = (static_cast<unsigned long long>(getpid()) << 32) ^ static_cast<unsigned long long>(now.tv_nsec) ^
                            (static_cast<unsigned long long>(counter.fetch_add(1)) * 0x9E3779B97F4A7C15ull);
  std::string name = directory + "/.~tmp.";
  for (int i = 0; i < 8; ++i) {
    name += static_cast<char>('a' + seed % 26);
    seed /= 26;
  }
  return name;
}

aReplaceResult fail(aReplaceResult::Stage stage, int error, int fd, const std::string& temporary) {
  if (fd >= 0) close(fd);
  unlink(temporary.c_str());
  return aReplaceResult{stage, error};
}

}  // namespace

aReplaceResult aReplaceFile(const std::string& path, const void* data, size_t length) {
  const std::string directory = directoryOf(path);
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temporary = temporaryName(directory);
    fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return aReplaceResult{aReplaceResult::OPEN, errno};
  // The replacement keeps the permissions of the file it replaces.
  struct stat old;
  if (stat(path.c_str(), &old) == 0) fchmod(fd, old.st_mode & 07777);
  const char* bytes = static_cast<const char*>(data);
  for (size_t done = 0; done < length;) {
    const ssize_t put = write(fd, bytes + done, length - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return fail(aReplaceResult::WRITE, put < 0 ? errno : ENOSPC, fd, temporary);
    done += static_cast<size_t>(put);
  }
  if (fsync(fd) != 0) return fail(aReplaceResult::WRITE, errno, fd, temporary);
  if (close(fd) != 0) return fail(aReplaceResult::WRITE, errno, -1, temporary);
  if (rename(temporary.c_str(), path.c_str()) != 0) return fail(aReplaceResult::COMMIT, errno, -1, temporary);
  // Make the rename itself durable; the new contents are in place either way.
  int dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return aReplaceResult{};
}
