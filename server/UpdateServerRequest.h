// The update server's query vocabulary and the version order of build lists.
// Every query is one GET to the endpoint; a null URL means the default one.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "server/BuildList.h"

class UpdateServerRequest {
 public:
  static bool ping(const char* url);
  // build = line 2, version = line 3 cut at "\r"/"\n", each only when present.
  static bool QueryBuild(unsigned serial, std::string& build, std::string& version, const char* url);
  // payload = line 2 (the Bird file as base64), cleared first on success.
  static bool GetBuild(unsigned serial, const std::string& version, const std::string& build,
                       std::string& payload, const char* url, bool no_calibration);
  // builds is cleared before the request is sent.
  static bool GetBuildList(unsigned serial, BuildList& builds, const char* url);
  static bool GetRecoveryInfo(const uint32_t fingerprint[4], unsigned& serial, unsigned& build, const char* url);
  static bool GetDeviceJWT(unsigned serial, std::string& token, const char* url);

  // Newest version first; versions that are not three numbers come last,
  // newest build first among themselves.
  static std::vector<BuildEntry> SortBuildsByVersion(const BuildList& builds);
  // The parts between "."; empty unless there are exactly three.
  static std::vector<std::string> SplitTolvarineVersion(const std::string& version);
};

// The ordering used by SortBuildsByVersion: true when a sorts before b.
bool _sortVersion(const BuildEntry& a, const BuildEntry& b);
