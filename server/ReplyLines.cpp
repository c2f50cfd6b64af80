#include "server/ReplyLines.h"

#include "app/Log.h"

ReplyLines _reply_lines(std::string_view body, size_t most) {
  ReplyLines lines;
  size_t start = 0;
  while (start <= body.size() && lines.size() < most) {
    size_t end = body.find('\n', start);
    if (end == std::string_view::npos) end = body.size();
    if (end > start) lines.push_back(body.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool _reply_ok(const ReplyLines& lines) { return !lines.empty() && lines[0].substr(0, 2) == "ok"; }

std::string_view _cut_at(std::string_view line, const char* stops) {
  return line.substr(0, line.find_first_of(stops));
}

void _parse_build_list(const ReplyLines& lines, BuildList& builds) {
  static const char kStops[] = ";\r\n";
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string line(lines[i]);
    if (line.size() < 3) continue;
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line.c_str());
    const size_t cut = line.find_first_of(kStops);
    const std::string build = line.substr(0, cut);
    const std::string version(cut == std::string::npos ? std::string_view() : _cut_at(lines[i].substr(cut + 1), kStops));
    builds.emplace(build, version);  // the first occurrence of a build wins
    Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", build.c_str(), version.c_str());
  }
}

bool _parse_jwt(std::string_view line, std::string& token) {
  const size_t first = line.find('.');
  if (first == std::string_view::npos) return false;
  const size_t second = line.find('.', first + 1);
  if (second == std::string_view::npos) return false;
  const std::string_view header = line.substr(0, first);
  const std::string_view payload = line.substr(first + 1, second - first - 1);
  const std::string_view signature = _cut_at(line.substr(second + 1), "\r\n");
  if (header.size() < 2 || payload.size() < 2 || signature.size() < 2) return false;
  token.assign(header).append(".").append(payload).append(".").append(signature);
  return true;
}
