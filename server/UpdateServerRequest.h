// The update server's query vocabulary and the version order of build lists.
#pragma once

#include <string>
#include <vector>

#include "server/BuildList.h"

class UpdateServerRequest {
 public:
  // Newest version first; versions that are not three numbers come last,
  // newest build first among themselves.
  static std::vector<BuildEntry> SortBuildsByVersion(const BuildList& builds);
  // The parts between "."; empty unless there are exactly three.
  static std::vector<std::string> SplitTolvarineVersion(const std::string& version);
};

// The ordering used by SortBuildsByVersion: true when a sorts before b.
bool _sortVersion(const BuildEntry& a, const BuildEntry& b);
