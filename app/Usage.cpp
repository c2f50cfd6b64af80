#include <stdio.h>

#include "app/Console.h"
#include "app/UsageText.h"
#include "server/ServerDefaults.h"

void _display_usage(bool extended, bool full) {
  fprintf(stderr, kShortUsage, UPDATER_APP_NAME);
  if (!full) return;
  fputs(kParameterList, stderr);
  if (extended) {
    fputs(kExtendedParameters, stderr);
    fprintf(stderr, "%32sDefault: %s:%d\n", "", UPDATE_SERVER_DEFAULT_HOST, UPDATE_SERVER_DEFAULT_PORT);
    fputs(kExtendedCommands, stderr);
  }
  fputs(kSamples, stderr);
}

void _display_app_version(UpdaterDisplayInterface& display) {
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s (%s)", UPDATER_APP_NAME, UPDATER_VERSION_TEXT);
}

void _display_copyright(UpdaterDisplayInterface& display) {
  display.message(UpdaterDisplayInterface::LEVEL_INFO,
                  "Copyright (c) 2025 Veltrane. Firmware update and recovery for Tolvarine modules.");
}
