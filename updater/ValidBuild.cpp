#include "updater/ValidBuild.h"

#include "app/Log.h"
#include "server/UpdateServerRequest.h"
#include "updater/DecimalText.h"

bool _valid_build(unsigned serial, unsigned build, const char* server_url) {
  BuildList builds;
  if (!UpdateServerRequest::GetBuildList(serial, builds, server_url)) return false;
  for (const auto& entry : builds) {
    std::optional<unsigned> number = _read_decimal(entry.first);
    if (!number) Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", entry.first.c_str());
    if (number.value_or(0) == build) return true;
  }
  return false;
}
