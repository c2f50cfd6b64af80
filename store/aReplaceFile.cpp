#include "store/aReplaceFile.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <vector>

namespace {

constexpr char kTemporaryPrefix[] = ".~tmp.";

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
  std::string name = directory + "/" + kTemporaryPrefix;
  for (int i = 0; i < 8; ++i) {
    name += static_cast<char>('a' + seed % 26);
    seed /= 26;
  }
  return name;
}

// Removes one temporary file when no writer holds it. The lock is taken on
// the file that was opened, and the name removed only while it still names
// that file: a writer that renamed it, or a new one that took its name, is
// left alone.
void removeIfAbandoned(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat held, named;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
      lstat(path.c_str(), &named) == 0 && named.st_ino == held.st_ino && named.st_dev == held.st_dev) {
    unlink(path.c_str());
  }
  close(fd);
}

// The new temporary file, created, locked and still linked under its name
// (a sweep in another process may have removed it before the lock was
// taken); -1 with errno set when none could be made. Where the file system
// has no locks, no sweep can take one either, and the file goes unlocked.
int createLocked(const std::string& directory, std::string& temporary) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    temporary = temporaryName(directory);
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return -1;
    }
    struct stat status;
    if (flock(fd, LOCK_EX) != 0 || fstat(fd, &status) != 0 || status.st_nlink > 0) return fd;
    close(fd);
  }
  errno = EEXIST;
  return -1;
}

aReplaceResult fail(aReplaceResult::Stage stage, int error, int fd, int keeper, const std::string& temporary) {
  if (fd >= 0) close(fd);
  // Removed while still locked, so no sweep ever takes this name for another.
  unlink(temporary.c_str());
  if (keeper >= 0) close(keeper);
  return aReplaceResult{stage, error};
}

}  // namespace

bool aReplaceFile_IsTemporary(const char* name) {
  return strncmp(name, kTemporaryPrefix, sizeof kTemporaryPrefix - 1) == 0;
}

void aReplaceFile_Sweep(const std::string& directory) {
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) return;
  std::vector<std::string> found;
  while (struct dirent* entry = readdir(listing)) {
    if (aReplaceFile_IsTemporary(entry->d_name)) found.push_back(directory + "/" + entry->d_name);
  }
  closedir(listing);
  for (const std::string& path : found) removeIfAbandoned(path);
}

aReplaceResult aReplaceFile(const std::string& path, const void* data, size_t length) {
  const std::string directory = directoryOf(path);
  aReplaceFile_Sweep(directory);
  std::string temporary;
  const int fd = createLocked(directory, temporary);
  if (fd < 0) return aReplaceResult{aReplaceResult::OPEN, errno};
  // The lock lives on the open file, which this second descriptor keeps
  // open after the first is closed (its close reports deferred write
  // errors) until the rename is done.
  const int keeper = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (keeper < 0) return fail(aReplaceResult::OPEN, errno, fd, -1, temporary);
  // The replacement keeps the permissions of the file it replaces.
  struct stat old;
  if (stat(path.c_str(), &old) == 0) fchmod(fd, old.st_mode & 07777);
  const char* bytes = static_cast<const char*>(data);
  for (size_t done = 0; done < length;) {
    const ssize_t put = write(fd, bytes + done, length - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return fail(aReplaceResult::WRITE, put < 0 ? errno : ENOSPC, fd, keeper, temporary);
    done += static_cast<size_t>(put);
  }
  if (fsync(fd) != 0) return fail(aReplaceResult::WRITE, errno, fd, keeper, temporary);
  if (close(fd) != 0) return fail(aReplaceResult::WRITE, errno, -1, keeper, temporary);
  if (rename(temporary.c_str(), path.c_str()) != 0) return fail(aReplaceResult::COMMIT, errno, -1, keeper, temporary);
  close(keeper);
  // Make the rename itself durable; the new contents are in place either way.
  int dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return aReplaceResult{};
}
