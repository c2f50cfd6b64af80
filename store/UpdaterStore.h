// The on-disk store: one directory per device (its serial as "%08X") under a
// base directory, holding the device's .settings and its downloaded Bird
// files. Nothing is cached; every query goes to the file system.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bird/BirdFile.h"
#include "link/core/aErr.h"
#include "store/KeyValueStore.h"

class UpdaterDisplayInterface;

typedef enum store_item_t {
  STORE_ITEM_FILE = 0,
  STORE_ITEM_DIRECTORY = 1,
  STORE_ITEM_NONE = 2,
} store_item_t;

// A store directory that is a file or could not be made; `error` is the
// system's reason (ENOTDIR for a file in its place).
class StoreDirectoryError : public std::runtime_error {
 public:
  StoreDirectoryError(const std::string& text, std::string directory, int reason)
      : std::runtime_error(text), path(std::move(directory)), error(reason) {}
  std::string path;
  int error;
};

// A store directory or file that could not be read: its path and errno.
struct StoreReadFailure {
  std::string path;
  int error = 0;
};

// One directory or file of the store, with its settings read once on creation.
class UpdaterStoreItem {
 public:
  UpdaterStoreItem() = default;
  // Loads basePath/name/.settings, creating it when missing.
  UpdaterStoreItem(const std::string& basePath, const std::string& name, store_item_t kind);

  bool IsValid() const { return !basePath.empty() && !name.empty(); }
  // Replaces basePath/name/fileName whole, or leaves the old file untouched;
  // `error` receives the errno of a failure.
  aErr WriteFile(const std::string& fileName, const uint8_t* bytes, size_t length, int* error = nullptr);
  // The whole contents of a file item (basePath/name); 0, or the errno of
  // the failure (bytes then empty).
  int ReadContents(std::string& bytes) const;
  // Throws std::runtime_error "Invalid bird <path>" or "Failed to load bird data".
  BirdFile ReadBirdFile(const std::string& fileName) const;
  bool FileExists(const std::string& fileName) const;

  std::string basePath;
  std::string name;
  store_item_t kind = STORE_ITEM_NONE;
  KeyValueStore settings;
};

class UpdaterStore {
 public:
  // Ensures the directory; throws StoreDirectoryError when it cannot.
  explicit UpdaterStore(const std::string& basePath);

  std::string BasePath() const { return basePath; }

  // Ensures the device's directory; throws StoreDirectoryError when it cannot.
  UpdaterStoreItem AddDevice(uint32_t serial);
  UpdaterStoreItem AddDevice(const std::string& name);
  // The first entry whose name contains the searched name; item left as it
  // was when nothing matches.
  bool FindDevice(uint32_t serial, UpdaterStoreItem* item = nullptr) const;
  bool FindDevice(const std::string& name, UpdaterStoreItem* item = nullptr) const;
  bool FindDevice(uint32_t serial, UpdaterStoreItem& item) const { return FindDevice(serial, &item); }
  bool FindDevice(const std::string& name, UpdaterStoreItem& item) const { return FindDevice(name, &item); }
  // Appends every entry of the device's directory not starting with ".".
  // False when the store's or the device's directory could not be read
  // (which one and why in `failure`); a device never seen is no failure.
  bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items,
                       StoreReadFailure* failure = nullptr) const;

  std::string basePath;
};

// Opens the store for one operation; on failure reports
// "Failed to Create UpdaterStore in: ..." on the display and returns empty.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& directory,
                                                  const char* caller);
