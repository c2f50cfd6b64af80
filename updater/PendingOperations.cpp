// Operations whose subsystems have not been built into the tool yet. Each
// reports failure without printing anything of its own.
#include "updater/Updater.h"

std::vector<DeviceInfo> Updater::Discover_Devices(linkType) { return {}; }

std::vector<DeviceInfo> Updater::Discover_TVNetwork_Devices(unsigned, linkType) { return {}; }

bool Updater::Update_Firmware(unsigned, unsigned, std::string, unsigned char, unsigned, bool) { return false; }

unsigned Updater::Download_Firmware(unsigned, std::string, bool, bool) { return 0; }

unsigned Updater::Download_Firmware(Fingerprint, std::string, bool) { return 0; }

BuildList Updater::Get_BuildList(unsigned) {
  last_query_failed = true;
  return {};
}

BuildList Updater::Get_BuildListLocal(unsigned) {
  last_query_failed = true;
  return {};
}

std::string Updater::Get_JWT(unsigned) {
  last_query_failed = true;
  return {};
}

bool Updater::Get_Fingerprint(Fingerprint&, std::string, unsigned, std::string, unsigned, bool) { return false; }

bool Updater::Recover_Firmware(std::string, unsigned, unsigned, unsigned, std::string, bool) { return false; }
