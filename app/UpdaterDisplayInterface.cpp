#include "app/UpdaterDisplayInterface.h"

#include <stdarg.h>
#include <stdio.h>

void UpdaterDisplayInterface::message(Level level, const char* format, ...) {
  if (muted) return;
  char buffer[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (level == LEVEL_ERROR) {
    error_message(buffer);
  } else {
    info_message(buffer);
  }
}
