// Finding the package for a command: a given file, or the build's file in the
// device's store directory (downloaded first when asked to).
#include <stdexcept>

#include "store/UpdaterStore.h"
#include "updater/Updater.h"

BirdFile Updater::load_bird(const char* verb, std::string bird_file, unsigned serial, unsigned build, bool download) {
  constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, app_directory, "load_bird");
  if (!store) return BirdFile();
  if (!bird_file.empty()) {
    display.message(INFO, "%s from Birdfile: %s", verb, bird_file.c_str());
    return BirdFile(bird_file);
  }
  UpdaterStoreItem device = store->AddDevice(serial);
  display.message(INFO, "%s firmware with build: %u", verb, build);
  const std::string name = std::to_string(build) + ".bird";
  try {
    return device.ReadBirdFile(name);
  } catch (const std::runtime_error&) {
    if (!download) throw std::runtime_error("Error reading birdfile");
  }
  display.message(INFO, "Downloading firmware build %u", build);
  Download_Firmware(serial, std::to_string(build), false, false);
  return device.ReadBirdFile(name);
}
