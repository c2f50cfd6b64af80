// Fetching one firmware package from the update server into the store.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "app/Log.h"
#include "server/Base64.h"
#include "server/UpdateServerRequest.h"
#include "store/UpdaterStore.h"
#include "store/aDirectory.h"
#include "updater/DecimalText.h"
#include "updater/Updater.h"
#include "updater/ValidBuild.h"

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// A device directory made by this download is taken away again unless the
// download stored something, so that a failure leaves the store as it was.
class NewDeviceGuard {
 public:
  void Created(const UpdaterStoreItem& item) { directory = BuildPath(item.basePath, item.name); }
  void Keep() { directory.clear(); }
  ~NewDeviceGuard() {
    if (directory.empty()) return;
    unlink(BuildPath(directory, KeyValueStore::DEFAULT_FILENAME).c_str());
    rmdir(directory.c_str());  // fails, harmlessly, if anything else is inside
  }

 private:
  std::string directory;
};

// Runs GetBuild on a worker thread while this thread turns the spinner.
bool _download_with_spinner(UpdaterDisplayInterface& display, unsigned serial, const std::string& version,
                            const std::string& build, std::string& payload, const char* url, bool flag) {
  std::promise<bool> done;
  std::future<bool> result = done.get_future();
  std::thread worker([&, promise = std::move(done)]() mutable {
    bool ok = false;
    try {
      ok = UpdateServerRequest::GetBuild(serial, version, build, payload, url, flag);
    } catch (const std::exception& e) {
      Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", "GetBuild", e.what());
    }
    promise.set_value(ok);
  });
  display.update_spinner(true, "Downloading");
  while (result.wait_for(std::chrono::milliseconds(100)) == std::future_status::timeout) {
    display.update_spinner(true, "Downloading");
  }
  display.update_spinner(false, "Downloading");
  const bool ok = result.get();
  if (!ok) display.message(ERROR, "Download failed");
  worker.join();
  return ok;
}

// The header every Bird file starts with: "bird" and two non-zero version bytes.
bool _looks_like_bird(const unsigned char* bytes, size_t length) {
  return length > 6 && memcmp(bytes, BIRD_FILE_SIGNATURE, 4) == 0 && bytes[4] != 0 && bytes[5] != 0;
}

}  // namespace

unsigned Updater::Download_Firmware(unsigned serial, std::string build_text, bool override, bool flag) {
  unsigned build = 0;
  if (!build_text.empty()) {
    std::optional<unsigned> number = _read_decimal(build_text);
    if (!number) {
      display.message(ERROR, "Build number '%s' must be an number", build_text.c_str());
      return 0;
    }
    build = *number;
  }
  if (serial == 0) {
    display.message(ERROR, "Serial Number must be non-zero");
    return 0;
  }
  if (!UpdateServerRequest::ping(server_url)) {
    display.message(ERROR, "Server request failed for %s", server_url);
    return 0;
  }

  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, app_directory, "Download_Firmware");
  if (!store) return 0;
  UpdaterStoreItem device;
  NewDeviceGuard guard;
  if (!store->FindDevice(serial, device)) {
    Log::log(DEBUG_APP, "Could not find device in our update history.\n");
    try {
      device = store->AddDevice(serial);
      guard.Created(device);
    } catch (const StoreDirectoryError& error) {
      display.message(ERROR, "Could not create directory for storing BIRD file");
      display.message(ERROR, "Nothing recorded: could not create %s: %s", error.path.c_str(), strerror(error.error));
      return 0;
    }
  }

  std::string server_build, version;
  if (!UpdateServerRequest::QueryBuild(serial, server_build, version, server_url)) {
    display.message(ERROR, "No build information for device");
    return 0;
  }
  if (build == 0) {
    std::optional<unsigned> number = _read_decimal(server_build);
    if (!number) Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", server_build.c_str());
    build = number.value_or(0);
  }

  display.message(INFO, "Retrieving build %u", build);
  if (override) {
    display.message(INFO, "Override specified, skipping validation of build %u", build);
  } else {
    display.message(INFO, "Validating build %u with server", build);
    if (!_valid_build(serial, build, server_url)) {
      display.message(ERROR, "No valid build %u", build);
      return 0;
    }
    display.message(INFO, "Build %u is valid", build);
  }

  build_text = std::to_string(build);
  std::string payload;
  _download_with_spinner(display, serial, version, build_text, payload, server_url, flag);
  if (payload.empty()) {
    display.message(ERROR, "Failed to retrieve a valid BIRD file");
    return 0;
  }

  // A server that ends its lines with "\r\n" leaves the "\r" on the payload.
  if (payload.back() == '\r') payload.pop_back();
  // Decoded where it lies: the text of megabytes is not needed again.
  size_t length = 0;
  const bool decoded = base64_decode_in_place(payload.data(), payload.size(), &length);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(payload.data());
  // A payload that is not a Bird file is a failed download, not a success
  // that stores nothing.
  if (!decoded || !_looks_like_bird(bytes, length)) {
    Log::log(DEBUG_Updater, "Download_Firmware: payload of %zu characters is not a Bird file; nothing stored\n",
             payload.size());
    display.message(ERROR, "Failed to retrieve a valid BIRD file");
    return 0;
  }
  const std::string file_name = build_text + ".bird";
  const std::string when = KeyValueStore::Timestamp();
  int why = 0;
  aErr written = device.WriteFile(file_name, bytes, length, &why);
  // The history names a file only when the file is there.
  if (written != aErrNone) {
    display.message(ERROR, "Failed to write file with %d", static_cast<int>(written));
    display.message(ERROR, "Package %s not stored in %s: %s", file_name.c_str(),
                    BuildPath(device.basePath, device.name, file_name).c_str(), strerror(why));
    return 0;
  }
  guard.Keep();
  device.settings.Add("LATEST_DOWNLOAD", file_name);
  device.settings.Add("LAST_DOWNLOAD_DATE", when);
  const KeyValueStore::SaveResult saved = device.settings.Save();
  // The package is whole, but a history that does not name it would have a
  // later offline update install an older build: not a success.
  if (!saved.ok()) {
    display.message(ERROR, "Package %s stored, but the download is not recorded in %s: %s", file_name.c_str(),
                    device.settings.path.c_str(), strerror(saved.error));
    return 0;
  }
  return build;
}

unsigned Updater::Download_Firmware(Fingerprint fingerprint, std::string build_text, bool override) {
  std::optional<unsigned> number = _read_decimal(build_text);
  if (!number) Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", build_text.c_str());
  unsigned build = number.value_or(0);
  unsigned serial = 0, newest = 0;
  if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, serial, newest, server_url)) {
    display.message(ERROR, "Failed to retrieve recovery information from Veltrane update server");
    return 0;
  }
  if (build == 0) build = newest;
  return Download_Firmware(serial, std::to_string(build), override, false);
}
