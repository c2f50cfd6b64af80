// Operations whose subsystems have not been built into the tool yet. Each
// reports failure without printing anything of its own.
#include "updater/Updater.h"

std::vector<DeviceInfo> Updater::Discover_Devices(linkType) { return {}; }

std::vector<DeviceInfo> Updater::Discover_TVNetwork_Devices(unsigned, linkType) { return {}; }

bool Updater::Update_Firmware(unsigned, unsigned, std::string, unsigned char, unsigned, bool) { return false; }

bool Updater::Get_Fingerprint(Fingerprint&, std::string, unsigned, std::string, unsigned, bool) { return false; }

bool Updater::Recover_Firmware(std::string, unsigned, unsigned, unsigned, std::string, bool) { return false; }
