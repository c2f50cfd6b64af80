#include "store/UpdaterStore.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <stdexcept>

#include "app/Log.h"
#include "app/UpdaterDisplayInterface.h"
#include "store/aDirectory.h"

namespace {

constexpr unsigned kDirectoryMode = 0755;

void ensureDirectory(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) == 0) {
    if (!S_ISDIR(status.st_mode)) throw StoreDirectoryError("UpdaterStore: " + path + " exists and is a file", path, ENOTDIR);
    Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
    return;
  }
  const aErr err = aDirectory_Ensure(path.c_str(), kDirectoryMode);
  if (err != aErrNone) {
    const int reason = errno != 0 ? errno : EIO;
    throw StoreDirectoryError("UpdaterStore: Could not create directory " + path + " error " + std::to_string(err), path,
                              reason);
  }
  Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

std::string serialName(uint32_t serial) {
  char name[9];
  snprintf(name, sizeof name, "%08X", serial);
  return name;
}

// The entry's directory and its own name, split at the last separator.
void splitEntry(const char* fullPath, std::string& directory, std::string& name) {
  const std::string full(fullPath);
  const size_t slash = full.rfind('/');
  directory = slash == std::string::npos ? std::string() : full.substr(0, slash);
  name = slash == std::string::npos ? full : full.substr(slash + 1);
}

struct FindContext {
  const std::string* searched;
  UpdaterStoreItem* item;
  bool found;
};

bool findEntry(const aDirectoryListData* data, void* context) {
  FindContext& find = *static_cast<FindContext*>(context);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", data->path, data->isDirectory,
           static_cast<int>(data->size), find.searched->c_str());
  std::string directory, name;
  splitEntry(data->path, directory, name);
  if (name == "." || name == ".." || name.find(*find.searched) == std::string::npos) return true;
  find.found = true;
  if (find.item != nullptr) {
    *find.item = UpdaterStoreItem(directory, name, data->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
  }
  return false;
}

struct ListContext {
  std::vector<UpdaterStoreItem>* items;
};

bool listEntry(const aDirectoryListData* data, void* context) {
  ListContext& list = *static_cast<ListContext*>(context);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", data->path, data->isDirectory,
           static_cast<int>(data->size));
  std::string directory, name;
  splitEntry(data->path, directory, name);
  // Dot-files (the settings file, unfinished writes) are not builds.
  if (name.empty() || name[0] == '.') return true;
  list.items->emplace_back(directory, name, data->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
  return true;
}

// Lists the directory and stops at the first entry whose name contains
// name. A listing that failed before finding it fills `failure`.
bool _find_item(const std::string& directory, const std::string& name, UpdaterStoreItem* item,
                StoreReadFailure* failure = nullptr) {
  FindContext find{&name, item, false};
  const aErr listed = aDirectory_List(directory.c_str(), findEntry, &find);
  if (listed != aErrNone && !find.found && failure != nullptr) *failure = StoreReadFailure{directory, errno};
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", find.found ? "Found" : "Not Found", name.c_str());
  return find.found;
}

}  // namespace

bool UpdaterStoreItem::FileExists(const std::string& fileName) const {
  return _find_item(BuildPath(basePath, name), fileName, nullptr);
}

UpdaterStore::UpdaterStore(const std::string& base) : basePath(base) { ensureDirectory(basePath); }

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) { return AddDevice(serialName(serial)); }

UpdaterStoreItem UpdaterStore::AddDevice(const std::string& name) {
  ensureDirectory(BuildPath(basePath, name));
  return UpdaterStoreItem(basePath, name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* item) const {
  return FindDevice(serialName(serial), item);
}

bool UpdaterStore::FindDevice(const std::string& name, UpdaterStoreItem* item) const {
  return _find_item(basePath, name, item);
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items,
                                   StoreReadFailure* failure) const {
  UpdaterStoreItem device;
  StoreReadFailure unread;
  if (!_find_item(basePath, serialName(serial), &device, &unread)) {
    if (failure != nullptr) *failure = unread;
    return unread.path.empty();
  }
  ListContext list{&items};
  const std::string directory = BuildPath(device.basePath, device.name);
  if (aDirectory_List(directory.c_str(), listEntry, &list) != aErrNone) {
    if (failure != nullptr) *failure = StoreReadFailure{directory, errno};
    return false;
  }
  return true;
}

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& directory,
                                                  const char* caller) {
  try {
    return std::make_unique<UpdaterStore>(directory);
  } catch (const std::runtime_error& error) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to Create UpdaterStore in: %s - Exception: %s",
                    caller != nullptr ? caller : "", error.what());
    return nullptr;
  }
}
