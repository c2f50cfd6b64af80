// What the command line prints: version, notice, usage and the listings.
#pragma once

#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"
#include "link/core/linkSpec.h"
#include "server/BuildList.h"
#include "updater/DeviceInfo.h"
#include "updater/Fingerprint.h"

#define UPDATER_APP_NAME "Updater"
#define UPDATER_VERSION "2.11.4"
#define UPDATER_BUILD_DATE "Sep 23 2025"
#define UPDATER_VERSION_TEXT "Version: " UPDATER_VERSION " " UPDATER_BUILD_DATE

// The usage texts that _display_usage writes to standard error.
std::string _usage_text(bool extended, bool full);
void _display_usage(bool extended, bool full);
void _display_app_version(UpdaterDisplayInterface& display);
void _display_copyright(UpdaterDisplayInterface& display);
void _display_builds(UpdaterDisplayInterface& display, const BuildList& builds, unsigned serial);
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices, linkType type);
void _display_jwt(UpdaterDisplayInterface& display, const std::string& token);
