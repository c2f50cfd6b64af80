#include "app/Dispatch.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <exception>
#include <optional>

#include "app/CLI_Display.h"
#include "app/Console.h"
#include "app/DocumentOutput.h"
#include "app/JsonReport.h"
#include "app/Log.h"
#include "app/Parameters.h"
#include "app/UsbAccessNotice.h"
#include "link/core/aDefs.h"
#include "store/aDirectory.h"
#include "updater/Updater.h"

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// What one run prints: the console display and, for --json, the document.
struct Output {
  CLI_Display& display;
  JsonReport& report;
  std::optional<DocumentOutput> document;
};

// The updater directory: -i, else ~/.veltrane; "updater" below it, mode 0755.
bool resolveDirectory(CLI_Display& display, Parameters& params) {
  if (params.app_directory.empty()) {
    char home[2048];
    aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
    if (err != aErrNone) {
      Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
      display.message(ERROR, "Could not find the home directory; choose a directory with -i");
      return false;
    }
    params.app_directory = BuildPath(home, ".veltrane");
  }
  params.app_directory = BuildPath(params.app_directory, "updater");
  if (aDirectory_Ensure(params.app_directory.c_str(), 0755) != aErrNone) {
    display.message(ERROR, "Could not find updater directory at %s", params.app_directory.c_str());
    return false;
  }
  return true;
}

// The build text as a decimal number; anything else means "latest" (0).
unsigned numericBuild(const std::string& build) {
  if (build.empty() || build.find_first_not_of("0123456789") != std::string::npos) return 0;
  return static_cast<unsigned>(strtoul(build.c_str(), nullptr, 10));
}

int missingSerial(CLI_Display& display, const char* text) {
  display.message(ERROR, "%s", text);
  if (!display.machine_output_set()) _display_usage(false, false);
  return 1;
}

int runDiscover(Output& out, Updater& updater, const Parameters& params) {
  CLI_Display& display = out.display;
  linkType type = params.transport_given && params.transport != RECOVER_TRANSPORT ? params.transport : 0;
  std::vector<DeviceInfo> devices;
  if (params.router_serial != 0) {
    display.message(INFO, "Searching for Tolvarine Network devices connected to %08X", params.router_serial);
    devices = updater.Discover_TVNetwork_Devices(params.router_serial, type);
  } else {
    display.message(INFO, "Searching for Tolvarine devices");
    if (type == 0) type = linkTypeUSB;
    devices = updater.Discover_Devices(type);
  }
  _display_device_list(display, devices, type);
  out.report.SetDevices(devices);
  return 0;
}

// What an update or a recovery did, as far as it got.
void reportUpdate(JsonReport& report, const UpdateOutcome& outcome, unsigned serial, bool recovery) {
  if (outcome.serial != 0) serial = outcome.serial;
  if (serial != 0) report.SetDevice(serial);
  if (outcome.build != 0) report.SetBuild(outcome.build);
  if (!outcome.file.empty()) report.SetFile(outcome.file);
  if (outcome.seconds > 0) report.SetSeconds(outcome.seconds);
  if (outcome.has_fingerprint) report.SetFingerprint(outcome.fingerprint);
  if (!recovery) report.SetVerification(outcome.verified, outcome.running_build);
}

int runUpdate(Output& out, Updater& updater, const Parameters& params) {
  CLI_Display& display = out.display;
  unsigned build = numericBuild(params.build);
  updater.Set_UEIBytes_Load(params.uei_bytes_load);
  bool done;
  if (params.transport == RECOVER_TRANSPORT) {
    done = updater.Recover_Firmware(params.serial_port, build, params.baud_rate, params.serial_number,
                                    params.bird_file, params.override);
  } else {
    if (params.serial_number == 0) {
      display.message(ERROR, "Must specify the specific device to be updated");
      return 1;
    }
    done = updater.Update_Firmware(params.serial_number, build, params.bird_file, params.module_address,
                                   params.router_serial, params.override);
  }
  reportUpdate(out.report, updater.Last_Update(), params.serial_number, params.transport == RECOVER_TRANSPORT);
  return done ? 0 : 1;
}

int runCommands(Output& out, Parameters& params) {
  CLI_Display& display = out.display;
  JsonReport& report = out.report;
  Updater updater(params.server_url.c_str(), params.app_directory.c_str(), display);
  UsbAccessNotice notice(display);
  int status = 0;

  if (params.commands.IsSet(CMD_FINGERPRINT)) {
    if (params.serial_port.empty()) {
      display.message(ERROR, "Must specify the serial port used for connecting");
      return 1;
    }
    Fingerprint fingerprint;
    if (updater.Get_Fingerprint(fingerprint, params.serial_port, TOLVARINE_DEFAULT_SERIAL, params.bird_file,
                                params.baud_rate, true)) {
      _display_fingerprint(display, fingerprint);
      report.SetFingerprint(fingerprint);
    } else {
      display.message(ERROR, "Got no response from chip");
      status = 1;
    }
  }

  if (params.commands.IsSet(CMD_GET)) {
    if (params.serial_number == 0) {
      display.message(ERROR, "-G must specify a specific device via -d");
      display.message(ERROR, "--help for usage information");
      return 1;
    }
    display.message(INFO, "Retrieving firmware for device with serial number %08X", params.serial_number);
    if (params.build.empty()) {
      display.message(INFO, "No build specified");
      display.message(INFO, "Using Latest build");
    } else {
      display.message(INFO, "Retrieving firmware build %s", params.build.c_str());
    }
    report.SetDevice(params.serial_number);
    unsigned fetched = updater.Download_Firmware(params.serial_number, params.build, params.override, false);
    if (fetched != 0) {
      report.SetBuild(fetched);
      report.SetFile(updater.Package_Path(params.serial_number, fetched));
      // A -U later in this run installs exactly the build just fetched.
      params.build = std::to_string(fetched);
      status = 0;
    } else {
      status = 1;
    }
  }

  if (params.commands.IsSet(CMD_DISCOVER)) return runDiscover(out, updater, params);
  if (params.commands.IsSet(CMD_UPDATE)) return runUpdate(out, updater, params);
  if (params.commands.IsSet(CMD_LIST_BUILDS)) {
    if (params.serial_number == 0) {
      return missingSerial(display, "Error must supply a serial number for the List Builds command");
    }
    report.SetDevice(params.serial_number);
    const BuildList builds = updater.Get_BuildList(params.serial_number);
    _display_builds(display, builds, params.serial_number);
    report.SetBuilds(builds, nullptr);
    return updater.Last_Query_Failed() ? 1 : 0;
  }
  if (params.commands.IsSet(CMD_LIST_LOCAL)) {
    if (params.serial_number == 0) {
      return missingSerial(display, "Error must supply a serial number for the List Local Builds command");
    }
    report.SetDevice(params.serial_number);
    const BuildList builds = updater.Get_BuildListLocal(params.serial_number);
    // A store that could not be read lists nothing, not "No builds found".
    if (!builds.empty() || !updater.Last_Query_Failed()) _display_builds(display, builds, params.serial_number);
    report.SetBuilds(builds, &updater.Last_Local_Files());
    return updater.Last_Query_Failed() ? 1 : 0;
  }
  if (params.commands.IsSet(CMD_JWT)) {
    if (params.serial_number == 0) {
      return missingSerial(display, "Error must supply a serial number for the Get JWT command");
    }
    report.SetDevice(params.serial_number);
    std::string token = updater.Get_JWT(params.serial_number);
    _display_jwt(display, token);
    report.SetToken(token);
    return updater.Last_Query_Failed() ? 1 : 0;
  }
  return status;
}

// Parse, help, directory and commands, in that order; the exit status.
int runLine(Output& out, Parameters& params, int argc, char** argv) {
  CLI_Display& display = out.display;
  const bool parsed = _get_params(display, argc, argv, &params) == 0;
  // Only the document goes to standard output from here on.
  if (params.json) {
    display.set_machine_output(true);
    out.document.emplace();
  }
  if (!parsed) {
    _display_app_version(display);
    _display_copyright(display);
    if (!params.json) _display_usage(false, false);
    return 1;
  }

  _display_app_version(display);

  if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(ANY_COMMAND_MASK)) {
    _display_copyright(display);
    if (params.json) {
      out.report.SetUsage(_usage_text(params.debug_mask_given, params.help));
    } else {
      _display_usage(params.debug_mask_given, params.help);
    }
    return 0;
  }

  if (!resolveDirectory(display, params)) return 1;
  try {
    return runCommands(out, params);
  } catch (const std::exception& e) {
    // No failure of the store or the server may end the run without a word.
    display.message(ERROR, "%s", e.what());
    return 1;
  }
}

}  // namespace

int updater_main(int argc, char** argv) {
  Parameters params;
  CLI_Display display;
  JsonReport report;
  Log::SetOutput(stderr);

  Output out{display, report, std::nullopt};
  int status = runLine(out, params, argc, argv);
  if (out.document && !out.document->Write(report.Render(status == 0, display.errors()))) status = 1;
  _release_params(&params);
  return status;
}
