#include "updater/Updater.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "store/aDirectory.h"

Updater::Updater(const char* server_url_, const char* app_directory_, UpdaterDisplayInterface& display_)
    : server_url(strdup(server_url_ != nullptr ? server_url_ : "")),
      app_directory(strdup(app_directory_ != nullptr ? app_directory_ : "")),
      display(display_) {}

Updater::~Updater() {
  free(server_url);
  free(app_directory);
}

std::string Updater::Package_Path(unsigned serial, unsigned build) const {
  char device[16];
  snprintf(device, sizeof device, "%08X", serial);
  return BuildPath(app_directory, device, std::to_string(build) + ".bird");
}
