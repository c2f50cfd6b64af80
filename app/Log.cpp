#include "app/Log.h"

#include <atomic>
#include <stdarg.h>
#include <string.h>
#include <unistd.h>

namespace {

std::atomic<FILE*> gOutput{nullptr};
std::atomic<unsigned> gActiveMask{0};

}  // namespace

void Log::SetOutput(FILE* stream) { gOutput.store(stream); }

void Log::ActivatePackage(unsigned mask) { gActiveMask.fetch_or(mask); }

void Log::DeactivatePackage(unsigned mask) { gActiveMask.fetch_and(~mask); }

unsigned Log::ActiveMask() { return gActiveMask.load(); }

void Log::log(unsigned mask, const char* format, ...) {
  if (mask != 0 && (mask & gActiveMask.load()) == 0) return;
  char buffer[2048];
  va_list args;
  va_start(args, format);
  int length = vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  FILE* output = gOutput.load();
  if (output == nullptr || length <= 0) return;
  size_t size = static_cast<size_t>(length) < sizeof buffer ? static_cast<size_t>(length) : sizeof buffer - 1;
  // One write per line, so lines from the download worker never interleave.
  fwrite(buffer, 1, size, output);
  fflush(output);
}
