// The update server's reply format: lines at "\n", empty lines skipped, a
// "\r" before the "\n" kept as part of its line. Line 1 must begin "ok".
#pragma once

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "server/BuildList.h"

// Views into the body, which must outlive them: a package is never copied
// more than once on its way from the wire to the decoder.
using ReplyLines = std::vector<std::string_view>;

// At most `most` lines: a caller that needs only the first lines of a
// package reply does not walk its megabytes.
ReplyLines _reply_lines(std::string_view body, size_t most = SIZE_MAX);
bool _reply_ok(const ReplyLines& lines);
// The text of line up to the first of the given characters.
std::string_view _cut_at(std::string_view line, const char* stops);
// Lines 2 to last into builds; lines under 3 characters skipped, first wins.
void _parse_build_list(const ReplyLines& lines, BuildList& builds);
// header.payload.signature, each part at least 2 characters; false otherwise.
bool _parse_jwt(std::string_view line, std::string& token);
