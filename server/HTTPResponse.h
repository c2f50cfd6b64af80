// One HTTP reply as the update server client sees it: the URL asked for, the
// status code and the whole body, byte for byte as received.
#pragma once

#include <stddef.h>

#include <string>

class HTTPResponse {
 public:
  explicit HTTPResponse(const std::string& request_url) : request(request_url) {}

  const char* get_request() const { return request.c_str(); }
  long get_status() const { return status; }
  // The body as text; readers stop at the first zero byte, if any.
  const char* get_response() const { return response.c_str(); }
  size_t size() const { return response.size(); }

  void set_status(long code) { status = code; }
  void process(const char* bytes, size_t count) { response.append(bytes, count); }
  // Room for a body of the announced size, so a large one is not regrown.
  void reserve(size_t bytes) { response.reserve(bytes); }
  // Hands the body over; the response is left without one.
  std::string take_response() { return std::move(response); }

 private:
  std::string request;
  long status = 0;
  std::string response;
};
