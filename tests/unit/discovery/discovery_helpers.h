// Shared by the discovery tests: the private-namespace guard, a collecting
// callback, and child processes running the Python stand-ins of sim/.
#pragma once

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/api/aDiscovery.h"
#include "tests/support/Netns.h"

namespace disctest {

// Records every spec it is given; takes each one unless told otherwise and
// asks to stop after `stopAfter` calls (0: never).
struct Collector {
  std::vector<linkSpec> specs;
  size_t stopAfter = 0;
  bool take = true;
  uint8_t goOnValue = 1;

  static uint8_t Callback(const linkSpec* spec, bool* success, void* reference) {
    Collector* self = static_cast<Collector*>(reference);
    self->specs.push_back(*spec);
    *success = self->take;
    if (self->stopAfter != 0 && self->specs.size() >= self->stopAfter) return 0;
    return self->goOnValue;
  }
};

inline bool AllZeroFrom(const linkSpec& spec, size_t offset) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&spec);
  for (size_t i = offset; i < sizeof spec; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

// A child process whose first standard-output line starting with `tag` is
// kept (the stand-ins print where to reach them); killed on destruction.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& tag) {
    int out[2];
    if (pipe(out) != 0) return;
    pid = fork();
    if (pid == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      std::vector<char*> args;
      for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      unsetenv("LD_PRELOAD");
      execvp(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    output = fdopen(out[0], "r");
    char buffer[4096];
    while (output != nullptr && fgets(buffer, sizeof buffer, output) != nullptr) {
      if (strncmp(buffer, tag.c_str(), tag.size()) == 0) {
        line = buffer;
        break;
      }
    }
  }
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (output != nullptr) fclose(output);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool ready() const { return !line.empty(); }
  // The integer after "key": in the JSON of the ready line; -1 when absent.
  long field(const std::string& key) const {
    size_t at = line.find("\"" + key + "\":");
    if (at == std::string::npos) return -1;
    return strtol(line.c_str() + at + key.size() + 3, nullptr, 10);
  }

  pid_t pid = -1;
  std::string line;

 private:
  FILE* output = nullptr;
};

inline std::string Sim(const std::string& file) { return std::string(TV_SIM_DIR) + "/" + file; }

inline std::string Hex(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

}  // namespace disctest
