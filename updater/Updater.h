// The commands of the tool, as operations of one Updater per run. Operations
// report to the user only through the display and return plain results.
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"
#include "bird/BirdFile.h"
#include "link/core/linkSpec.h"
#include "server/BuildList.h"
#include "updater/DeviceInfo.h"
#include "updater/Fingerprint.h"

// What the last update or recovery of this Updater did, for reports: zero,
// false or empty where it was not reached or is not known.
struct UpdateOutcome {
  unsigned serial = 0;
  unsigned build = 0;
  std::string file;  // the package written
  double seconds = 0;
  bool verified = false;       // the module came back running the build written
  unsigned running_build = 0;  // the build the module reported after its reboot
  bool has_fingerprint = false;
  Fingerprint fingerprint;
};

// Build -> the package file of the store it was listed from.
using BuildFiles = std::map<std::string, std::string>;

class Updater {
 public:
  Updater(const char* server_url, const char* app_directory, UpdaterDisplayInterface& display);
  ~Updater();
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  void Set_UEIBytes_Load(bool enable) { uei_bytes_load = enable; }
  const char* Directory() const { return app_directory; }
  // Where the store keeps a build's package for a device.
  std::string Package_Path(unsigned serial, unsigned build) const;

  std::vector<DeviceInfo> Discover_Devices(linkType type);
  std::vector<DeviceInfo> Discover_TVNetwork_Devices(unsigned router_serial, linkType type);

  bool Update_Firmware(unsigned serial, unsigned build, std::string bird_file, unsigned char module_address,
                       unsigned router_serial, bool override);

  // The given file, or the build's file from the device's store directory
  // (downloaded first when missing and download is set). Throws
  // std::runtime_error when it cannot.
  BirdFile load_bird(const char* verb, std::string bird_file, unsigned serial, unsigned build, bool download);

  unsigned Download_Firmware(unsigned serial, std::string build, bool override, bool flag);
  unsigned Download_Firmware(Fingerprint fingerprint, std::string build, bool override);
  BuildList Get_BuildList(unsigned serial);
  BuildList Get_BuildListLocal(unsigned serial);
  std::string Get_JWT(unsigned serial);

  bool Get_Fingerprint(Fingerprint& fingerprint, std::string port, unsigned serial, std::string bird_file,
                       unsigned baud, bool reset_after);
  bool Recover_Firmware(std::string port, unsigned build, unsigned baud, unsigned serial, std::string bird_file,
                        bool unused = false);

  // Whether the last server or store query (build list, local list, token)
  // failed, as opposed to answering with nothing.
  bool Last_Query_Failed() const { return last_query_failed; }
  const UpdateOutcome& Last_Update() const { return last_update; }
  // The files behind the last local build list.
  const BuildFiles& Last_Local_Files() const { return last_local_files; }

 private:
  char* server_url;
  char* app_directory;
  UpdaterDisplayInterface& display;
  uint8_t recovery_chip_kind = 0;
  bool uei_bytes_load = false;
  bool last_query_failed = false;
  UpdateOutcome last_update;
  BuildFiles last_local_files;
};
