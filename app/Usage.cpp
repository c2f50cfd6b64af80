#include <stdio.h>

#include "app/Console.h"
#include "app/UsageText.h"
#include "server/ServerDefaults.h"

std::string _usage_text(bool extended, bool full) {
  std::string text(static_cast<size_t>(snprintf(nullptr, 0, kShortUsage, UPDATER_APP_NAME)), '\0');
  snprintf(text.data(), text.size() + 1, kShortUsage, UPDATER_APP_NAME);
  if (!full) return text;
  char line[128];
  text += kParameterList;
  if (extended) {
    text += kExtendedParameters;
    snprintf(line, sizeof line, "%32sDefault: %s:%d\n", "", UPDATE_SERVER_DEFAULT_HOST, UPDATE_SERVER_DEFAULT_PORT);
    text += line;
    text += kExtendedCommands;
  }
  text += kSamples;
  return text;
}

void _display_usage(bool extended, bool full) { fputs(_usage_text(extended, full).c_str(), stderr); }

void _display_app_version(UpdaterDisplayInterface& display) {
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s (%s)", UPDATER_APP_NAME, UPDATER_VERSION_TEXT);
}

void _display_copyright(UpdaterDisplayInterface& display) {
  display.message(UpdaterDisplayInterface::LEVEL_INFO,
                  "Copyright (c) 2025 Veltrane. Firmware update and recovery for Tolvarine modules.");
}
