// The --json document: device names, messages, tokens and build lists that
// come from modules, the server and the system, in any bytes. Properties:
// the document is one line of valid JSON with the fields every run has, and
// text that was UTF-8 reads back exactly.
#include <nlohmann/json.hpp>

#include "FuzzSupport.h"
#include "app/JsonReport.h"

namespace {

bool isUtf8(const std::string& text) {
  try {
    (void)nlohmann::json(text).dump();
    return true;
  } catch (const nlohmann::json::type_error&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietVerbose();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  // Pieces: device name, error message, token, then build and version pairs.
  std::vector<std::string> pieces = fuzz::split(data, size, '\0');
  pieces.resize(std::max<size_t>(pieces.size(), 3));

  DeviceInfo device;
  device.spec.serialNumber = 0x40F5849A;
  device.spec.type = size % 5;
  device.device_name = pieces[0];
  device.model_name = pieces[0].substr(0, 12);
  BuildList builds;
  for (size_t i = 3; i + 1 < pieces.size(); i += 2) builds.emplace(pieces[i], pieces[i + 1]);

  JsonReport report;
  report.SetDevices({device});
  std::map<std::string, std::string> files;
  for (const auto& [build, version] : builds) files.emplace(build, "/store/40F5849A/" + build);
  report.SetBuilds(builds, size % 2 == 0 ? &files : nullptr);
  report.SetToken(pieces[2]);
  const std::string text = report.Render(false, {pieces[1]});

  FUZZ_CHECK(!text.empty() && text.back() == '\n');
  FUZZ_CHECK(text.find('\n') == text.size() - 1);
  const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
  FUZZ_CHECK(!document.is_discarded() && document.is_object());
  FUZZ_CHECK(document.at("ok") == false && document.at("errors").size() == 1);
  FUZZ_CHECK(document.at("devices").size() == 1 && document.at("builds").size() == builds.size());
  if (isUtf8(pieces[0])) FUZZ_CHECK(document.at("devices")[0].at("name") == pieces[0]);
  if (isUtf8(pieces[1])) FUZZ_CHECK(document.at("errors")[0] == pieces[1]);
  if (isUtf8(pieces[2])) FUZZ_CHECK(document.at("token") == pieces[2]);
  return 0;
}
