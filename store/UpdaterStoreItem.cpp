#include "store/UpdaterStore.h"
#include "store/aDirectory.h"
#include "store/aReplaceFile.h"

#include <stdexcept>

UpdaterStoreItem::UpdaterStoreItem(const std::string& base, const std::string& itemName, store_item_t itemKind)
    : basePath(base), name(itemName), kind(itemKind) {
  settings.Load(BuildPath(basePath, name, KeyValueStore::DEFAULT_FILENAME).c_str());
}

aErr UpdaterStoreItem::WriteFile(const std::string& fileName, const uint8_t* bytes, size_t length) {
  if (bytes == nullptr) return aErrNotFound;
  // A download never lies truncated under its final name.
  const aReplaceResult result = aReplaceFile(BuildPath(basePath, name, fileName), bytes, length);
  if (result.stage == aReplaceResult::OPEN) return aErrNotFound;
  return result.ok() ? aErrNone : aErrIO;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string& fileName) const {
  const std::string path = BuildPath(basePath, name, fileName);
  if (!BirdFile::VerifyFile(path)) throw std::runtime_error("Invalid bird " + path);
  return BirdFile(path);
}
