#include "link/core/aLogger.h"

#include <atomic>
#include <new>

#include "link/core/aThread.h"

#define aLOGGER_CHECK 0xDEED

struct aLogger {
  int32_t reference;
  aFile* file;
  aThread* thread;
  std::atomic<bool> running;
  aLoggerProcedure procedure;
  uint16_t check;
};

namespace {

bool valid(const aLogger* logger) { return logger != nullptr && logger->check == aLOGGER_CHECK; }

// The logger whose procedure runs on this thread, if any.
thread_local const aLogger* tRunningLogger = nullptr;

void loggerLoop(void* argument) {
  aLogger* logger = static_cast<aLogger*>(argument);
  tRunningLogger = logger;
  while (logger->running.load()) logger->procedure(logger->file, logger->reference);
}

}  // namespace

aLogger* aLogger_Create(int32_t reference, aLoggerProcedure procedure, const char* path) {
  if (procedure == nullptr) return nullptr;
  aFile* file = aFile_Open(path, aFileModeAppend);
  if (file == nullptr) return nullptr;
  aFile_SetUnbuffered(file);
  aLogger* logger = new (std::nothrow) aLogger{};
  if (logger == nullptr) {
    aFile_Close(&file);
    return nullptr;
  }
  logger->reference = reference;
  logger->file = file;
  logger->procedure = procedure;
  logger->check = aLOGGER_CHECK;
  return logger;
}

aErr aLogger_Enable(aLogger* logger) {
  if (!valid(logger)) return aErrParam;
  if (logger->running.load()) return aErrNone;
  logger->running.store(true);
  logger->thread = aThread_Create(loggerLoop, logger);
  if (logger->thread == nullptr) {
    logger->running.store(false);
    return aErrResource;
  }
  return aErrNone;
}

aErr aLogger_Disable(aLogger* logger) {
  if (!valid(logger)) return aErrParam;
  logger->running.store(false);
  if (logger->thread == nullptr) return aErrNone;
  // The procedure itself may switch its logger off: it cannot join itself.
  if (tRunningLogger == logger) return aErrNone;
  return aThread_Destroy(&logger->thread) == 0 ? aErrNone : aErrUnknown;
}

aErr aLogger_Destroy(aLogger** logger) {
  if (logger == nullptr || !valid(*logger)) return aErrNone;
  aErr disabled = aLogger_Disable(*logger);
  aFile_Close(&(*logger)->file);
  if (disabled == aErrNone) {
    (*logger)->check = 0;
    delete *logger;
    *logger = nullptr;
  }
  return disabled;
}
