// One blocking HTTP GET over libcurl's easy interface. A fresh handle per
// call, so calls from different threads share nothing.
#pragma once

#include <stddef.h>

#include <map>
#include <string>

#include "server/HTTPResponse.h"

using HTTPParameters = std::map<std::string, std::string>;

class HTTPRequest {
 public:
  // Throws std::runtime_error with libcurl's text on any transport failure;
  // an HTTP error status is returned in the response, not thrown.
  static HTTPResponse GET(const std::string& base_url, const HTTPParameters& parameters);

  // base?name=value&name=value& in name order; nothing is percent-encoded.
  static std::string BuildURL(const std::string& base_url, const HTTPParameters& parameters);

  // Time-outs, so that a dead server never hangs the tool: a connection must
  // be made within CONNECT_TIMEOUT_S, and a transfer moving fewer than
  // LOW_SPEED_BYTES per second for LOW_SPEED_TIME_S seconds ends. There is no
  // overall cap: packages can be large and links slow.
  static constexpr long CONNECT_TIMEOUT_S = 10;
  static constexpr long LOW_SPEED_BYTES = 1;
  static constexpr long LOW_SPEED_TIME_S = 30;
  // A reply body above this (far over any package) ends the request as a
  // failure, whether announced or sent without end.
  static constexpr size_t MAX_BODY_BYTES = 64u * 1024u * 1024u;
};
