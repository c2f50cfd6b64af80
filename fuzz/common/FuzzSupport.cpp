#include "FuzzSupport.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "app/Log.h"
#include "link/core/aDebug.h"

namespace fuzz {

std::function<void()> onSleep;

void quietVerbose() {
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
  Log::SetOutput(nullptr);
  Log::ActivatePackage(0xFFFFFFFFu);
  aTolvarineDebuggingEnable = 1;
  aTolvarineDebuggingLevel = 0xFFFFFFFFu;
}

void broken(const char* what, const char* file, int line) {
  fprintf(stderr, "==%d== BROKEN PROPERTY: %s (%s:%d)\n", static_cast<int>(getpid()), what, file, line);
  abort();
}

std::vector<std::string> split(const uint8_t* data, size_t size, char separator) {
  std::vector<std::string> pieces(1);
  for (size_t i = 0; i < size; ++i) {
    if (static_cast<char>(data[i]) == separator) {
      pieces.emplace_back();
    } else {
      pieces.back() += static_cast<char>(data[i]);
    }
  }
  return pieces;
}

std::string scratchPath(const char* name) {
  static std::string folder = [] {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    std::string pattern = std::string(base) + "/tv-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    return pattern;
  }();
  return folder + "/" + name;
}

void writeFile(const std::string& path, const void* data, size_t size) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) abort();
  const bool written = fwrite(data, 1, size, file) == size;
  if (fclose(file) != 0 || !written) abort();
}

}  // namespace fuzz
