// Pieces the fuzzing harnesses share: quiet but fully formatted debug text,
// property checks that libFuzzer reports as crashes, input splitting, a
// scratch folder, and the virtual clock's sleep hook.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace fuzz {

// Once per process: every debug category on, so format strings meet the
// fuzzed bytes, but nothing written; standard output goes to /dev/null.
void quietVerbose();

// A broken property: prints what and aborts, so the input is kept.
[[noreturn]] void broken(const char* what, const char* file, int line);

// The input cut at every `separator` byte (empty pieces kept).
std::vector<std::string> split(const uint8_t* data, size_t size, char separator);

// A file path inside this process's own scratch folder (tmpfs when there is one).
std::string scratchPath(const char* name);
// Replaces the file's content; aborts when it cannot.
void writeFile(const std::string& path, const void* data, size_t size);

// Runs on every sleep of the code under test (see VirtualClock.cpp): a
// scripted device answers while the host waits. Empty by default.
extern std::function<void()> onSleep;

}  // namespace fuzz

#define FUZZ_CHECK(condition)                                            \
  do {                                                                   \
    if (!(condition)) fuzz::broken(#condition, __FILE__, __LINE__);      \
  } while (0)
