#include <algorithm>
#include <optional>
#include <stdexcept>
#include <stdlib.h>

#include "app/Log.h"
#include "link/core/aVersion.h"
#include "server/UpdateServerRequest.h"

namespace {

struct Version {
  uint8_t major, minor, patch;
};

// A version of three decimal parts, or nothing. Only the low 8 bits of each
// part take part in the comparison, as in the device's own version words.
std::optional<Version> parseVersion(const std::string& text) {
  std::vector<std::string> parts = UpdateServerRequest::SplitTolvarineVersion(text);
  if (parts.size() != 3) return std::nullopt;
  try {
    return Version{static_cast<uint8_t>(std::stoi(parts[0])), static_cast<uint8_t>(std::stoi(parts[1])),
                   static_cast<uint8_t>(std::stoi(parts[2]))};
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
    return std::nullopt;
  }
}

unsigned long long buildNumber(const std::string& build) {
  return strtoull(build.c_str(), nullptr, 10);
}

}  // namespace

std::vector<std::string> UpdateServerRequest::SplitTolvarineVersion(const std::string& version) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t dot = version.find('.', start);
    parts.push_back(version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (parts.size() != 3) parts.clear();
  return parts;
}

bool _sortVersion(const BuildEntry& a, const BuildEntry& b) {
  std::optional<Version> va = parseVersion(a.second);
  std::optional<Version> vb = parseVersion(b.second);
  if (va && vb) {
    bool equal = va->major == vb->major && va->minor == vb->minor && va->patch == vb->patch;
    return !equal && aVersion_IsAtLeastCompare(va->major, va->minor, va->patch, vb->major, vb->minor, vb->patch);
  }
  // Well-formed versions sort before malformed ones; malformed ones by build,
  // newest first, so that the order stays a strict weak ordering.
  if (va || vb) return va.has_value();
  unsigned long long ba = buildNumber(a.first), bb = buildNumber(b.first);
  if (ba != bb) return ba > bb;
  return a.first > b.first;
}

std::vector<BuildEntry> UpdateServerRequest::SortBuildsByVersion(const BuildList& builds) {
  std::vector<BuildEntry> sorted(builds.begin(), builds.end());
  // Stable: builds of one version keep the list's (build number text) order.
  std::stable_sort(sorted.begin(), sorted.end(), _sortVersion);
  return sorted;
}
