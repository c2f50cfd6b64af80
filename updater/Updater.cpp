#include "updater/Updater.h"

#include <stdlib.h>
#include <string.h>

Updater::Updater(const char* server_url_, const char* app_directory_, UpdaterDisplayInterface& display_)
    : server_url(strdup(server_url_ != nullptr ? server_url_ : "")),
      app_directory(strdup(app_directory_ != nullptr ? app_directory_ : "")),
      display(display_) {}

Updater::~Updater() {
  free(server_url);
  free(app_directory);
}
