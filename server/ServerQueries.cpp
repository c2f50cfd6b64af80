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

// The body as text: up to its first zero byte, if any.
std::string_view _body(const HTTPResponse& response) { return std::string_view(response.get_response()); }

std::string serialText(unsigned serial) {
  char text[16];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

// The frame every query shares: GET, then status 200 and a first line
// beginning "ok", else nothing (after the log line that says why). The
// caller splits the body it gets back in place.
std::optional<HTTPResponse> _query(const char* name, const HTTPParameters& parameters, const char* url) {
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
    if (!_reply_ok(_reply_lines(_body(response), 1))) {
      Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request());
      return std::nullopt;
    }
    return response;
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
  auto response = _query("QueryBuild", {{"op", "qu"}, {"sn", serialText(serial)}}, url);
  if (!response) return false;
  const ReplyLines lines = _reply_lines(_body(*response));
  if (lines.size() > 1) build = lines[1];
  if (lines.size() > 2) version = _cut_at(lines[2], "\r\n");
  return true;
}

bool UpdateServerRequest::GetBuild(unsigned serial, const std::string& version, const std::string& build,
                                   std::string& payload, const char* url, bool no_calibration) {
  auto response = _query("GetBuild",
                      {{"bld", build},
                       {"fw", version},
                       {"no_cal", no_calibration ? "true" : "false"},
                       {"op", "bird"},
                       {"sn", serialText(serial)}},
                      url);
  if (!response) return false;
  const ReplyLines lines = _reply_lines(_body(*response), 2);
  payload.clear();
  if (lines.size() > 1) {
    // The package is the bulk of the body: cut the body down to line 2 in
    // place rather than copy megabytes of it.
    const size_t start = static_cast<size_t>(lines[1].data() - response->get_response());
    const size_t length = lines[1].size();
    payload = response->take_response();
    payload.resize(start + length);
    payload.erase(0, start);
  }
  return true;
}

bool UpdateServerRequest::GetBuildList(unsigned serial, BuildList& builds, const char* url) {
  builds.clear();
  auto response = _query("GetBuildList", {{"op", "builds"}, {"sn", serialText(serial)}}, url);
  if (!response) return false;
  _parse_build_list(_reply_lines(_body(*response)), builds);
  return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t fingerprint[4], unsigned& serial, unsigned& build,
                                          const char* url) {
  char fp[64];
  snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1], fingerprint[2],
           fingerprint[3]);
  auto response = _query("GetRecoveryInfo", {{"brief", "true"}, {"fp", fp}, {"op", "fix"}}, url);
  if (!response) return false;
  const ReplyLines views = _reply_lines(_body(*response));
  const std::vector<std::string> l(views.begin(), views.end());
  if (l.size() > 1) serial = static_cast<unsigned>(strtoul(l[1].c_str(), nullptr, 16));
  if (l.size() > 2) build = static_cast<unsigned>(strtoul(l[2].c_str(), nullptr, 0));
  Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", l[0].c_str(),
           l.size() > 1 ? l[1].c_str() : "", l.size() > 2 ? l[2].c_str() : "");
  return true;
}

bool UpdateServerRequest::GetDeviceJWT(unsigned serial, std::string& token, const char* url) {
  auto response = _query("GetDeviceJWT", {{"json", "false"}, {"op", "ent_jwt"}, {"sn", serialText(serial)}}, url);
  if (!response) return false;
  const ReplyLines lines = _reply_lines(_body(*response));
  if (lines.size() < 2 || lines[1].size() <= 2) return false;
  const std::string line(lines[1]);
  Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", line.c_str());
  return _parse_jwt(line, token);
}
