#include "link/core/aDefs.h"

namespace {

struct ModelEntry {
  uint32_t model;
  const char* name;
};

// Model numbers are the low 8 bits of a module's USB product ID. No name is
// a prefix of another, so a package's model field never matches a sibling.
constexpr ModelEntry kModels[] = {
    {0x04, "HubLite4"},   {0x05, "HubPro8"},    {0x06, "HubRack16"},  {0x08, "SwitchDuo"},
    {0x09, "SwitchQuad"}, {0x0A, "SwitchOcto"}, {0x0C, "RouterMini"}, {0x0D, "RouterMax"},
    {0x10, "IOBasic"},    {0x11, "IOAnalog"},   {0x12, "IODigital"},  {0x13, "IORelay"},
    {0x14, "PowerBank"},  {0x16, "TempProbe"},  {0x18, "SerialGate"}, {0x1A, "EtherGate"},
    {0x1C, "DevKit"},
};

}  // namespace

const char* aDefs_GetModelName(uint32_t model) {
  for (const ModelEntry& entry : kModels) {
    if (entry.model == model) return entry.name;
  }
  return "Unknown";
}
