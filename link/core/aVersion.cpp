#include "link/core/aVersion.h"

#include <mutex>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr uint8_t kMajor = 2;
constexpr uint8_t kMinor = 11;
constexpr uint8_t kPatch = 4;
constexpr const char* kPhaseSeparator = ".";

struct Feature {
  const char* name;
  const char* description;
};
constexpr Feature kFeatures[] = {{"VERSION", "Version Query API"}};

}  // namespace

bool aVersion_IsAtLeastCompare(uint8_t major1, uint8_t minor1, uint8_t patch1, uint8_t major2,
                               uint8_t minor2, uint8_t patch2) {
  if (major1 != major2) return major1 > major2;
  if (minor1 != minor2) return minor1 > minor2;
  return patch1 >= patch2;
}

bool aVersion_IsLegacyFormat(uint32_t word) {
  return aVersion_IsAtLeastCompare(2, 15, 0, static_cast<uint8_t>(word >> 28),
                                   static_cast<uint8_t>((word >> 24) & 0xF), 255);
}

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
  if (major > 2 || (major == 2 && minor > 14)) {
    return 0x2F000000u | (static_cast<uint32_t>(major) << 16) | (static_cast<uint32_t>(minor) << 8) |
           patch;
  }
  return (static_cast<uint32_t>(major) << 28) | (static_cast<uint32_t>(minor & 0xF) << 24) | patch;
}

uint8_t aVersion_ParseMajor(uint32_t word) {
  return static_cast<uint8_t>(aVersion_IsLegacyFormat(word) ? word >> 28 : (word >> 16) & 0xFF);
}

uint8_t aVersion_ParseMinor(uint32_t word) {
  return static_cast<uint8_t>(aVersion_IsLegacyFormat(word) ? (word >> 24) & 0xF : (word >> 8) & 0xFF);
}

uint32_t aVersion_ParsePatch(uint32_t word) {
  return aVersion_IsLegacyFormat(word) ? word & 0xFFFFFF : word & 0xFF;
}

int aVersion_ParseString(uint32_t word, char* buffer, size_t size) {
  return snprintf(buffer, size, "%d.%d.%d", aVersion_ParseMajor(word), aVersion_ParseMinor(word),
                  static_cast<int>(aVersion_ParsePatch(word)));
}

uint8_t aVersion_GetMajor(void) { return kMajor; }
uint8_t aVersion_GetMinor(void) { return kMinor; }
uint8_t aVersion_GetPatch(void) { return kPatch; }

const char* aVersion_GetString(void) {
  static char text[15];
  static std::once_flag built;
  std::call_once(built, [] { snprintf(text, sizeof text, "%d.%d%s%d", kMajor, kMinor, kPhaseSeparator, kPatch); });
  return text;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
  return aVersion_IsAtLeastCompare(kMajor, kMinor, kPatch, major, minor, patch);
}

bool aVersion_HasFeature(const char* name) {
  if (name == nullptr) return false;
  for (const Feature& feature : kFeatures) {
    if (strcmp(feature.name, name) == 0) return true;
  }
  return false;
}

char* aVersion_GetFeatureList(void) {
  size_t total = 1;
  for (const Feature& feature : kFeatures) total += strlen(feature.name) + 3 + strlen(feature.description) + 1;
  char* list = static_cast<char*>(malloc(total));
  if (list == nullptr) return nullptr;
  list[0] = '\0';
  bool first = true;
  for (const Feature& feature : kFeatures) {
    if (!first) strcat(list, "\n");
    strcat(list, feature.name);
    strcat(list, " - ");
    strcat(list, feature.description);
    first = false;
  }
  return list;
}

void aVersion_DestroyFeatureList(char** list) {
  if (list == nullptr) return;
  free(*list);
  *list = nullptr;
}
