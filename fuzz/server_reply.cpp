// Update-server replies: the body split into lines as every query does, the
// build list, the JWT line, the recovery line, the package line as base64,
// and the version order of whatever build list arrives. Properties: base64
// decode of encode gives the input back; the version order is a strict weak
// ordering over every triple of the list, and the sort keeps every entry.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "FuzzSupport.h"
#include "server/Base64.h"
#include "server/ReplyLines.h"
#include "server/UpdateServerRequest.h"

namespace {

constexpr size_t kMaxOrdered = 12;

std::string roundTrip(const std::string& bytes) {
  size_t encodedLength = 0;
  char* encoded = base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &encodedLength);
  FUZZ_CHECK(encoded != nullptr);
  FUZZ_CHECK(encodedLength == strlen(encoded));
  size_t decodedLength = 0;
  unsigned char* decoded = base64_decode(encoded, encodedLength, &decodedLength);
  std::string back;
  if (decoded != nullptr) back.assign(reinterpret_cast<const char*>(decoded), decodedLength);
  free(decoded);
  free(encoded);
  FUZZ_CHECK(bytes.empty() ? back.empty() : back == bytes);
  return back;
}

void checkPackageLine(std::string_view line) {
  size_t length = 0;
  unsigned char* bytes = base64_decode(line.data(), line.size(), &length);
  // Decoding in place accepts the same texts and gives the same bytes.
  std::string text(line);
  size_t inPlaceLength = 0;
  const bool inPlace = base64_decode_in_place(text.data(), text.size(), &inPlaceLength);
  FUZZ_CHECK(inPlace == (bytes != nullptr));
  if (bytes == nullptr) return;
  FUZZ_CHECK(inPlaceLength == length && memcmp(text.data(), bytes, length) == 0);
  FUZZ_CHECK(length <= line.size() / 4 * 3);
  roundTrip(std::string(reinterpret_cast<const char*>(bytes), length));
  free(bytes);
}

void checkStrictWeakOrder(const BuildList& builds) {
  std::vector<BuildEntry> entries(builds.begin(), builds.end());
  if (entries.size() > kMaxOrdered) entries.resize(kMaxOrdered);
  auto less = [](const BuildEntry& a, const BuildEntry& b) { return _sortVersion(a, b); };
  auto same = [&](const BuildEntry& a, const BuildEntry& b) { return !less(a, b) && !less(b, a); };
  for (const BuildEntry& a : entries) {
    FUZZ_CHECK(!less(a, a));
    for (const BuildEntry& b : entries) {
      if (less(a, b)) FUZZ_CHECK(!less(b, a));
      for (const BuildEntry& c : entries) {
        if (less(a, b) && less(b, c)) FUZZ_CHECK(less(a, c));
        if (same(a, b) && same(b, c)) FUZZ_CHECK(same(a, c));
      }
    }
  }
  std::vector<BuildEntry> sorted = UpdateServerRequest::SortBuildsByVersion(builds);
  FUZZ_CHECK(sorted.size() == builds.size());
  FUZZ_CHECK(std::is_sorted(sorted.begin(), sorted.end(), less));
  for (const BuildEntry& entry : sorted) FUZZ_CHECK(builds.count(entry.first) == 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietVerbose();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  const std::string input(reinterpret_cast<const char*>(data), size);
  roundTrip(input);

  // A body is text up to its first zero byte, as the queries read it.
  const std::string_view body(input.c_str());
  const ReplyLines lines = _reply_lines(body);
  for (std::string_view line : lines) FUZZ_CHECK(!line.empty() && line.find('\n') == std::string_view::npos);
  if (!_reply_ok(lines)) return 0;

  BuildList builds;
  _parse_build_list(lines, builds);
  checkStrictWeakOrder(builds);
  for (const auto& entry : builds) UpdateServerRequest::SplitTolvarineVersion(entry.second);

  if (lines.size() > 1) {
    std::string token;
    if (_parse_jwt(lines[1], token)) FUZZ_CHECK(token.size() <= lines[1].size());
    checkPackageLine(lines[1]);
    strtoul(std::string(lines[1]).c_str(), nullptr, 16);
  }
  if (lines.size() > 2) {
    std::string version(_cut_at(lines[2], "\r\n"));
    strtoul(std::string(lines[2]).c_str(), nullptr, 0);
  }
  return 0;
}
