#include "server/HTTPRequest.h"

#include <curl/curl.h>
#include <stdint.h>

#include <stdexcept>
#include <string>

#include "app/Log.h"

namespace {

// What the receive callback works on: the response, and the transfer whose
// announced length sizes the body once.
struct Transfer {
  HTTPResponse* response;
  CURL* curl;
  bool sized = false;
  bool tooLarge = false;
};

size_t _rcv_data(char* data, size_t size, size_t count, void* user) {
  Transfer* transfer = static_cast<Transfer*>(user);
  HTTPResponse* response = transfer->response;
  const size_t bytes = size * count;
  if (!transfer->sized) {
    transfer->sized = true;
    curl_off_t announced = -1;
    if (curl_easy_getinfo(transfer->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
        announced > 0) {
      if (static_cast<unsigned long long>(announced) > HTTPRequest::MAX_BODY_BYTES) {
        transfer->tooLarge = true;
        return 0;
      }
      response->reserve(static_cast<size_t>(announced));
    }
  }
  // A body that never ends (a broken or hostile server) must not take all
  // memory: returning less than was handed over ends the transfer.
  if (bytes > HTTPRequest::MAX_BODY_BYTES - response->size()) {
    transfer->tooLarge = true;
    return 0;
  }
  const int shown = bytes < 100 ? static_cast<int>(bytes) : 100;
  Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n", static_cast<int>(size),
           static_cast<int>(count), static_cast<unsigned>(reinterpret_cast<uintptr_t>(response)), shown, data);
  response->process(data, bytes);
  Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(bytes));
  return bytes;
}

// Releases the handle on every way out of GET.
struct EasyHandle {
  CURL* curl = curl_easy_init();
  ~EasyHandle() {
    if (curl != nullptr) curl_easy_cleanup(curl);
  }
};

}  // namespace

std::string HTTPRequest::BuildURL(const std::string& base_url, const HTTPParameters& parameters) {
  std::string url = base_url;
  if (parameters.empty()) return url;
  url += '?';
  for (const auto& [name, value] : parameters) {
    url += name;
    url += '=';
    url += value;
    url += '&';
  }
  return url;
}

HTTPResponse HTTPRequest::GET(const std::string& base_url, const HTTPParameters& parameters) {
  EasyHandle handle;
  const std::string url = BuildURL(base_url, parameters);
  HTTPResponse response(url);
  if (handle.curl == nullptr) throw std::runtime_error("Could not create curl instance");

  CURL* curl = handle.curl;
  Transfer transfer{&response, curl};
  CURLcode code = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, _rcv_data);
  if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  // A TLS peer must prove itself against the system's trust store and its
  // certificate must name the host: nobody on the path may hand us firmware.
  if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYSTATUS, 0L);
  // No signals: GET also runs on the download worker thread.
  if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, CONNECT_TIMEOUT_S);
  if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, LOW_SPEED_BYTES);
  if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, LOW_SPEED_TIME_S);
  if (code == CURLE_OK) {
    Log::log(DEBUG_ServerComm, "GET(%s)\n", url.c_str());
    code = curl_easy_perform(curl);
  }
  long status = 0;
  if (transfer.tooLarge) {
    throw std::runtime_error("reply body larger than " + std::to_string(MAX_BODY_BYTES) + " bytes");
  }
  if (code == CURLE_OK) code = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  if (code != CURLE_OK) throw std::runtime_error(curl_easy_strerror(code));
  response.set_status(status);
  return response;
}
