// The on-disk store: one directory per device (its serial as "%08X") under a
// base directory, holding the device's .settings and its downloaded Bird
// files. Nothing is cached; every query goes to the file system.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
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

// One directory or file of the store, with its settings read once on creation.
class UpdaterStoreItem {
 public:
  UpdaterStoreItem() = default;
  // Loads basePath/name/.settings, creating it when missing.
  UpdaterStoreItem(const std::string& basePath, const std::string& name, store_item_t kind);

  bool IsValid() const { return !basePath.empty() && !name.empty(); }
  // Replaces basePath/name/fileName whole, or leaves the old file untouched.
  aErr WriteFile(const std::string& fileName, const uint8_t* bytes, size_t length);
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
  // Ensures the directory; throws std::runtime_error when it cannot.
  explicit UpdaterStore(const std::string& basePath);

  std::string BasePath() const { return basePath; }

  UpdaterStoreItem AddDevice(uint32_t serial);
  UpdaterStoreItem AddDevice(const std::string& name);
  // The first entry whose name contains the searched name; item left as it
  // was when nothing matches.
  bool FindDevice(uint32_t serial, UpdaterStoreItem* item = nullptr) const;
  bool FindDevice(const std::string& name, UpdaterStoreItem* item = nullptr) const;
  bool FindDevice(uint32_t serial, UpdaterStoreItem& item) const { return FindDevice(serial, &item); }
  bool FindDevice(const std::string& name, UpdaterStoreItem& item) const { return FindDevice(name, &item); }
  // Appends every entry of the device's directory not starting with ".".
  bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items) const;

  std::string basePath;
};

// Opens the store for one operation; on failure reports
// "Failed to Create UpdaterStore in: ..." on the display and returns empty.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& directory,
                                                  const char* caller);
