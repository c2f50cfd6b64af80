#include "app/JsonReport.h"

#include <stdio.h>

#include <nlohmann/json.hpp>

#include "app/Console.h"
#include "server/UpdateServerRequest.h"
#include "updater/DecimalText.h"

// Keys in the order they were set: the run's outcome first, then the command's.
using json = nlohmann::ordered_json;

struct JsonReport::Fields {
  json document = json::object();
};

namespace {

std::string serialText(unsigned serial) {
  char text[16];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

json deviceRecord(const DeviceInfo& device) {
  const linkSpec& spec = device.spec;
  char version[48];
  snprintf(version, sizeof version, "%d.%d.%u", device.major, device.minor, static_cast<unsigned>(device.patch));
  json address = nullptr;
  if (spec.type == linkTypeTCPIP) {
    const uint8_t* ip = reinterpret_cast<const uint8_t*>(&spec.ipAddress);
    char text[24];
    snprintf(text, sizeof text, "%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
    address = text;
  }
  return json{{"serial", serialText(spec.serialNumber)},
              {"module", spec.moduleAddress},
              {"router", spec.routerAddress},
              {"model", device.model_name},
              {"model_number", spec.model},
              {"version", version},
              {"build", device.build},
              {"transport", _transport_name(spec.type)},
              {"address", address},
              {"name", device.device_name},
              {"error", static_cast<int>(device.error)}};
}

// A build number where the text is one; a server may name a build otherwise.
json buildNumber(const std::string& text) {
  std::optional<unsigned> number = _read_decimal(text);
  if (number && text.find_first_not_of("0123456789") == std::string::npos) return *number;
  return text;
}

}  // namespace

const char* _transport_name(linkType type) {
  switch (type) {
    case linkTypeStream: return "STREAM";
    case linkTypeUSB: return "USB";
    case linkTypeTCPIP: return "TCPIP";
    case linkTypeSerial: return "SERIAL";
    case linkTypeClient: return "CLIENT";
    default: return "UNKNOWN";
  }
}

JsonReport::JsonReport() : fields(std::make_unique<Fields>()) {}
JsonReport::~JsonReport() = default;

void JsonReport::SetDevice(unsigned serial) { fields->document["device"] = serialText(serial); }
void JsonReport::SetBuild(unsigned build) { fields->document["build"] = build; }
void JsonReport::SetFile(const std::string& path) { fields->document["file"] = path; }
void JsonReport::SetSeconds(double seconds) { fields->document["seconds"] = seconds; }
void JsonReport::SetToken(const std::string& token) { fields->document["token"] = token; }
void JsonReport::SetUsage(const std::string& usage) { fields->document["usage"] = usage; }

void JsonReport::SetVerification(bool verified, unsigned running_build) {
  json& document = fields->document;
  document["verified"] = verified;
  document["running_build"] = running_build != 0 ? json(running_build) : json(nullptr);
}

void JsonReport::SetFingerprint(const Fingerprint& fingerprint) {
  json words = json::array();
  for (uint32_t word : fingerprint.words) words.push_back(serialText(word));
  fields->document["fingerprint"] = words;
}

void JsonReport::SetDevices(const std::vector<DeviceInfo>& devices) {
  json list = json::array();
  for (const DeviceInfo& device : devices) list.push_back(deviceRecord(device));
  fields->document["devices"] = list;
}

void JsonReport::SetBuilds(const BuildList& builds, const std::map<std::string, std::string>* files) {
  json list = json::array();
  for (const BuildEntry& entry : UpdateServerRequest::SortBuildsByVersion(builds)) {
    json record{{"build", buildNumber(entry.first)}, {"version", entry.second}};
    if (files != nullptr) {
      auto file = files->find(entry.first);
      if (file != files->end()) record["file"] = file->second;
    }
    list.push_back(record);
  }
  fields->document["builds"] = list;
}

std::string JsonReport::Render(bool ok, const std::vector<std::string>& errors) const {
  json document{{"updater", {{"version", UPDATER_VERSION}, {"build_date", UPDATER_BUILD_DATE}}},
                {"ok", ok},
                {"errors", errors}};
  document.update(fields->document);
  return document.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}
