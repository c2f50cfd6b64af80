#include <stdio.h>
#include <stdlib.h>

#include <optional>
#include <stdexcept>

#include "app/Log.h"
#include "server/HTTPRequest.h"
#include "server/ReplyLines.h"
#include "server/ServerDefaults.h"
#include "server/UpdateServerRequest.h"

namespace {

std::string serialText(unsigned serial) {
  char text[16];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

// The frame every query shares: GET, then status 200 and a first line
// beginning "ok", else nothing (after the log line that says why).
std::optional<std::vector<std::string>> _query(const char* name, const HTTPParameters& parameters, const char* url) {
  const std::string base = url != nullptr ? url : UPDATE_SERVER_DEFAULT_URL;
  try {
    HTTPResponse response = HTTPRequest::GET(base, parameters);
    if (response.get_status() != 200) {
      if (std::string(name) == "ping") {
        Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()),
                 response.get_response());
      } else {
        Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, static_cast<int>(response.get_status()),
                 response.get_response());
      }
      return std::nullopt;
    }
    std::vector<std::string> lines = _reply_lines(response.get_response());
    if (!_reply_ok(lines)) {
      Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request());
      return std::nullopt;
    }
    return lines;
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
    return std::nullopt;
  }
}

}  // namespace

bool UpdateServerRequest::ping(const char* url) {
  return _query("ping", {{"op", "hi"}, {"rv", "2"}}, url).has_value();
}

bool UpdateServerRequest::QueryBuild(unsigned serial, std::string& build, std::string& version, const char* url) {
  auto lines = _query("QueryBuild", {{"op", "qu"}, {"sn", serialText(serial)}}, url);
  if (!lines) return false;
  if (lines->size() > 1) build = (*lines)[1];
  if (lines->size() > 2) version = _cut_at((*lines)[2], "\r\n");
  return true;
}

bool UpdateServerRequest::GetBuild(unsigned serial, const std::string& version, const std::string& build,
                                   std::string& payload, const char* url, bool no_calibration) {
  auto lines = _query("GetBuild",
                      {{"bld", build},
                       {"fw", version},
                       {"no_cal", no_calibration ? "true" : "false"},
                       {"op", "bird"},
                       {"sn", serialText(serial)}},
                      url);
  if (!lines) return false;
  payload.clear();
  if (lines->size() > 1) payload = std::move((*lines)[1]);
  return true;
}

bool UpdateServerRequest::GetBuildList(unsigned serial, BuildList& builds, const char* url) {
  builds.clear();
  auto lines = _query("GetBuildList", {{"op", "builds"}, {"sn", serialText(serial)}}, url);
  if (!lines) return false;
  _parse_build_list(*lines, builds);
  return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t fingerprint[4], unsigned& serial, unsigned& build,
                                          const char* url) {
  char fp[64];
  snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1], fingerprint[2],
           fingerprint[3]);
  auto lines = _query("GetRecoveryInfo", {{"brief", "true"}, {"fp", fp}, {"op", "fix"}}, url);
  if (!lines) return false;
  const std::vector<std::string>& l = *lines;
  if (l.size() > 1) serial = static_cast<unsigned>(strtoul(l[1].c_str(), nullptr, 16));
  if (l.size() > 2) build = static_cast<unsigned>(strtoul(l[2].c_str(), nullptr, 0));
  Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", l[0].c_str(),
           l.size() > 1 ? l[1].c_str() : "", l.size() > 2 ? l[2].c_str() : "");
  return true;
}

bool UpdateServerRequest::GetDeviceJWT(unsigned serial, std::string& token, const char* url) {
  auto lines = _query("GetDeviceJWT", {{"json", "false"}, {"op", "ent_jwt"}, {"sn", serialText(serial)}}, url);
  if (!lines || lines->size() < 2 || (*lines)[1].size() <= 2) return false;
  Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", (*lines)[1].c_str());
  return _parse_jwt((*lines)[1], token);
}
