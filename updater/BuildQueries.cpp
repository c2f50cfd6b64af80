// What the server offers for a device, what the store holds, and the token.
#include <string.h>

#include <stdexcept>

#include "app/Log.h"
#include "bird/BirdFile.h"
#include "server/UpdateServerRequest.h"
#include "store/UpdaterStore.h"
#include "updater/Updater.h"

namespace {

constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// The version a package read into memory names; empty for bytes that are not
// a whole package (no Bird header, a body that does not decompress).
std::string _package_version(const std::string& bytes) {
  constexpr size_t kHeader = 6;
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  if (bytes.size() < kHeader || memcmp(data, BIRD_FILE_SIGNATURE, 4) != 0 || data[4] == 0 || data[5] == 0) return {};
  BirdFile bird;
  if (!bird.DecompressData(data + kHeader, bytes.size() - kHeader)) return {};
  bird.ScanBlocks(bird.payload.get(), bird.payloadSize);
  return bird.GetVersion();
}

}  // namespace

BuildList Updater::Get_BuildList(unsigned serial) {
  last_query_failed = true;
  BuildList builds;
  if (!UpdateServerRequest::ping(server_url)) {
    display.message(ERROR, "Server request failed for %s", server_url);
    return builds;
  }
  if (!UpdateServerRequest::GetBuildList(serial, builds, server_url)) {
    display.message(ERROR, "Failed to retrieve builds for %08X", serial);
    return builds;
  }
  last_query_failed = false;
  return builds;
}

std::string Updater::Get_JWT(unsigned serial) {
  last_query_failed = true;
  std::string token;
  if (!UpdateServerRequest::ping(server_url)) {
    display.message(ERROR, "Server request failed for %s", server_url);
    return token;
  }
  if (!UpdateServerRequest::GetDeviceJWT(serial, token, server_url)) {
    display.message(ERROR, "Failed to retrieve jwt for %08X", serial);
    return token;
  }
  last_query_failed = false;
  return token;
}

BuildList Updater::Get_BuildListLocal(unsigned serial) {
  last_query_failed = true;
  last_local_files.clear();
  BuildList builds;
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, app_directory, "Get_BuildListLocal");
  if (!store) return builds;

  std::vector<UpdaterStoreItem> items;
  StoreReadFailure failure;
  // A store that cannot be read is not an empty one.
  if (!store->FindLocalBuilds(serial, items, &failure)) {
    display.message(ERROR, "Could not read the store directory %s: %s", failure.path.c_str(), strerror(failure.error));
    return builds;
  }
  last_query_failed = false;
  for (const UpdaterStoreItem& item : items) {
    const std::string key = item.name.substr(0, item.name.find(".bird"));
    std::string version;
    if (item.IsValid() && item.kind == STORE_ITEM_FILE) {
      const std::string path = item.basePath + "/" + item.name;
      std::string bytes;
      if (const int error = item.ReadContents(bytes)) {
        // Listed without a version like a corrupt package, but named: its
        // build is there and could not be looked at.
        display.message(ERROR, "Could not read package %s: %s", path.c_str(), strerror(error));
        last_query_failed = true;
      } else {
        version = _package_version(bytes);
        if (!version.empty()) {
          Log::log(DEBUG_Updater, "Found VERSION %s in birdfile: %s\n", version.c_str(), path.c_str());
        } else {
          Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
        }
      }
    }
    // A key already present keeps its first value.
    if (builds.emplace(key, version).second) last_local_files.emplace(key, item.basePath + "/" + item.name);
  }
  return builds;
}
