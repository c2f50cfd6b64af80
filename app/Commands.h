// The command bit set and the option table of the command line.
#pragma once

#include <stdint.h>

#include "app/OptionParser.h"

enum COMMANDS : uint32_t {
  CMD_DISCOVER = 0x00000001,
  CMD_UPDATE = 0x00000002,
  CMD_LIST_BUILDS = 0x00000004,
  CMD_GET = 0x00000008,
  CMD_INFO = 0x00000010,
  CMD_CHECK = 0x00000020,
  CMD_FINGERPRINT = 0x00000040,
  CMD_Z = 0x00000080,
  CMD_JWT = 0x00000100,
  CMD_LIST_LOCAL = 0x00000200,
  CMD_HELP = 0x80000000,
};

// A command line has a command when any of these bits is set.
constexpr uint32_t ANY_COMMAND_MASK = 0x000307FF;

class CommandsClass {
 public:
  void Set(uint32_t commands) { bits |= commands; }
  bool IsSet(uint32_t commands) const { return (bits & commands) != 0; }

 private:
  uint32_t bits = 0;
};

// Option identifiers of the table.
enum { OPT_HELP = 0, OPT_COMMAND = 1, OPT_PARAMETER = 2, OPT_JSON = 3 };

extern const OptionEntry g_rgOptions[];
