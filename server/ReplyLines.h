// The update server's reply format: lines at "\n", empty lines skipped, a
// "\r" before the "\n" kept as part of its line. Line 1 must begin "ok".
#pragma once

#include <string>
#include <vector>

#include "server/BuildList.h"

std::vector<std::string> _reply_lines(const std::string& body);
bool _reply_ok(const std::vector<std::string>& lines);
// The text of line up to the first of the given characters.
std::string _cut_at(const std::string& line, const char* stops);
// Lines 2 to last into builds; lines under 3 characters skipped, first wins.
void _parse_build_list(const std::vector<std::string>& lines, BuildList& builds);
// header.payload.signature, each part at least 2 characters; false otherwise.
bool _parse_jwt(const std::string& line, std::string& token);
