// What the server offers for a device, what the store holds, and the token.
#include <stdexcept>

#include "app/Log.h"
#include "bird/BirdFile.h"
#include "server/UpdateServerRequest.h"
#include "store/UpdaterStore.h"
#include "updater/Updater.h"

namespace {
constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;
}

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
  BuildList builds;
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, app_directory, "Get_BuildListLocal");
  if (!store) return builds;
  last_query_failed = false;

  std::vector<UpdaterStoreItem> items;
  store->FindLocalBuilds(serial, items);
  for (const UpdaterStoreItem& item : items) {
    const std::string key = item.name.substr(0, item.name.find(".bird"));
    std::string version;
    if (item.IsValid()) {
      const std::string path = item.basePath + "/" + item.name;
      if (BirdFile::VerifyFile(path)) {
        try {
          version = BirdFile(path).GetVersion();
          if (!version.empty()) Log::log(DEBUG_Updater, "Found VERSION %s in birdfile: %s\n", version.c_str(), path.c_str());
        } catch (const std::exception& e) {
          // A header that looks right over a body that does not load: no version.
          Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s (%s)\n", path.c_str(), e.what());
        }
      } else {
        Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
      }
    }
    builds.emplace(key, version);  // a key already present keeps its first value
  }
  return builds;
}
