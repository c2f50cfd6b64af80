#include "app/Parameters.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "app/Log.h"
#include "server/ServerDefaults.h"
#include "store/aDirectory.h"

namespace {

uint32_t readArg(const char* text, char** end, const char* digits, int base) {
  if (end == nullptr || text == nullptr) return 0;
  if (text[strspn(text, digits)] != '\0') return 0;
  errno = 0;
  unsigned long long value = strtoull(text, end, base);
  // A value that does not fit 32 bits would otherwise wrap into another device.
  if (errno == ERANGE || value > 0xFFFFFFFFull) return 0;
  return static_cast<uint32_t>(value);
}

std::string lastPathComponent(const char* path) {
  if (path == nullptr) return "";
  const char* name = path;
  for (const char* c = path; *c != '\0'; ++c) {
    if (*c == '/' || *c == '\\') name = c + 1;
  }
  return name;
}

// -d and -r: an optional "0x" prefix, then hexadecimal digits, never 0.
bool readSerial(CLI_Display& display, const char* argument, const char* prefixLog, const char* invalidFormat,
                uint32_t* out) {
  const char* text = argument;
  if (strncmp(text, "0x", 2) == 0 || strncmp(text, "0X", 2) == 0) {
    Log::log(DEBUG_Updater, "%s", prefixLog);
    text += 2;
  }
  char* end = nullptr;
  *out = _get_hex_arg(text, &end);
  if (*out != 0) return true;
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, invalidFormat, text);
  return false;
}

bool readTransport(CLI_Display& display, const char* argument, Parameters* params) {
  params->transport_given = true;
  if (strncmp(argument, "USB", 3) == 0) {
    params->transport = linkTypeUSB;
  } else if (strncmp(argument, "TCP", 3) == 0) {
    params->transport = linkTypeTCPIP;
  } else if (strncmp(argument, "RECOVER", 7) == 0) {
    params->transport = RECOVER_TRANSPORT;
  } else {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER", argument);
    params->transport = 0;
    return false;
  }
  return true;
}

void readDebugMask(CLI_Display& display, const char* optionText, const char* argument, Parameters* params) {
  params->debug_mask_given = true;
  bool hex = strncmp(argument, "0x", 2) == 0 || strncmp(argument, "0X", 2) == 0;
  char* rest = nullptr;
  params->debug_mask = static_cast<uint32_t>(strtoul(argument, &rest, hex ? 16 : 10));
  if (rest != nullptr && *rest != '\0') {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Invalid format for \"%s\" parameter, unprocessed characters [%s]", optionText, rest);
  } else {
    Log::ActivatePackage(params->debug_mask);
  }
}

bool readCommand(CLI_Display& display, const char* text, Parameters* params) {
  if (strcmp(text, "-OVERRIDE") == 0) {
    params->override = true;
    return true;
  }
  switch (text[1]) {
    case 'B': params->commands.Set(CMD_LIST_BUILDS); return true;
    case 'C': params->commands.Set(CMD_CHECK); return true;
    case 'D': params->commands.Set(CMD_DISCOVER); return true;
    case 'G': params->commands.Set(CMD_GET); return true;
    case 'I': params->commands.Set(CMD_INFO); return true;
    case 'J': params->commands.Set(CMD_JWT); return true;
    case 'L': params->commands.Set(CMD_LIST_LOCAL); return true;
    case 'N': params->commands.Set(CMD_FINGERPRINT); return true;
    case 'U': params->commands.Set(CMD_UPDATE); return true;
    default:
      display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]", text);
      return false;
  }
}

bool readParameter(CLI_Display& display, const char* text, const char* argument, Parameters* params) {
  char* end = nullptr;
  switch (text[1]) {
    case 'b':
      params->build = std::to_string(_get_int_arg(argument, &end));
      return true;
    case 'd':
      return readSerial(display, argument, "Discarding '0x' serial number prefix\n",
                        "Invalid serial number obtained from argument [%s]", &params->serial_number);
    case 'r':
      return readSerial(display, argument, "Discarding '0x' router serial number prefix\n",
                        "Invalid router serial number obtained from argument [%s]", &params->router_serial);
    case 't': return readTransport(display, argument, params);
    case 'o': params->baud_rate = _get_int_arg(argument, &end); return true;
    case 'm':
      params->uei_bytes_load = argument[0] == '1' || strncmp(argument, "true", 4) == 0;
      return true;
    case 'X': readDebugMask(display, text, argument, params); return true;
    case 'Z': params->commands.Set(CMD_Z); return true;
    case 'e': params->echo = true; return true;
    case 'n': params->flag_n = true; return true;
    case 'f': params->bird_file = argument; return true;
    case 'i': params->app_directory = argument; return true;
    case 'k': params->log_file = argument; return true;
    case 'l': params->history_message = argument; return true;
    case 's': params->serial_port = argument; return true;
    case 'u': params->server_url = argument; return true;
    default: return true;
  }
}

}  // namespace

uint32_t _get_hex_arg(const char* text, char** end) {
  return readArg(text, end, "0123456789ABCDEFabcdef", 16);
}

uint32_t _get_int_arg(const char* text, char** end) { return readArg(text, end, "0123456789", 10); }

int _validate_params(Parameters*) { return 0; }

int _release_params(Parameters* params) {
  if (params != nullptr) *params = Parameters{};
  return 0;
}

int _get_params(CLI_Display& display, int argc, char** argv, Parameters* params) {
  *params = Parameters{};
  params->server_url = UPDATE_SERVER_DEFAULT_URL;
  params->app_name = lastPathComponent(argc > 0 ? argv[0] : nullptr);
  char home[2048];
  aDirectory_GetHomeDirectory(home, sizeof home);
  params->home_directory = home;
  Log::log(DEBUG_APP, "Home directory:[%s]\n", home);

  bool failed = false;
  OptionParser parser(argc, argv, g_rgOptions);
  while (parser.Next()) {
    // Words the parser itself rejects are skipped without a message.
    if (parser.LastError() != SO_SUCCESS) continue;
    switch (parser.OptionId()) {
      case OPT_HELP:
        params->commands.Set(CMD_HELP);
        params->help = true;
        return 0;
      case OPT_COMMAND:
        if (!readCommand(display, parser.OptionText(), params)) failed = true;
        break;
      case OPT_PARAMETER:
        if (!readParameter(display, parser.OptionText(), parser.OptionArg(), params)) failed = true;
        break;
      case OPT_JSON: params->json = true; break;
      default: break;
    }
  }

  Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->app_name.c_str());
  for (int i = 1; i < argc; ++i) Log::log(DEBUG_APP, "\t[%s]\n", argv[i]);
  return failed ? 1 : _validate_params(params);
}
