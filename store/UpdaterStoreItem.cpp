#include "store/UpdaterStore.h"
#include "store/aDirectory.h"
#include "store/aReplaceFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

UpdaterStoreItem::UpdaterStoreItem(const std::string& base, const std::string& itemName, store_item_t itemKind)
    : basePath(base), name(itemName), kind(itemKind) {
  settings.Load(BuildPath(basePath, name, KeyValueStore::DEFAULT_FILENAME).c_str());
}

aErr UpdaterStoreItem::WriteFile(const std::string& fileName, const uint8_t* bytes, size_t length, int* error) {
  if (error != nullptr) *error = 0;
  if (bytes == nullptr) {
    if (error != nullptr) *error = EINVAL;
    return aErrNotFound;
  }
  // A download never lies truncated under its final name.
  const aReplaceResult result = aReplaceFile(BuildPath(basePath, name, fileName), bytes, length);
  if (error != nullptr) *error = result.error;
  if (result.stage == aReplaceResult::OPEN) return aErrNotFound;
  return result.ok() ? aErrNone : aErrIO;
}

int UpdaterStoreItem::ReadContents(std::string& bytes) const {
  bytes.clear();
  const int fd = open(BuildPath(basePath, name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat status;
  if (fstat(fd, &status) == 0 && status.st_size > 0) bytes.reserve(static_cast<size_t>(status.st_size));
  char chunk[65536];
  int error = 0;
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error = errno;
    if (got <= 0) break;
    bytes.append(chunk, static_cast<size_t>(got));
  }
  close(fd);
  if (error != 0) bytes.clear();
  return error;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string& fileName) const {
  const std::string path = BuildPath(basePath, name, fileName);
  if (!BirdFile::VerifyFile(path)) throw std::runtime_error("Invalid bird " + path);
  return BirdFile(path);
}
