#include "link/core/aThread.h"

#include <new>
#include <pthread.h>
#include <unistd.h>

struct aThread {
  pthread_t id;
  aThreadProcedure procedure;
  void* argument;
};

namespace {

void* threadEntry(void* cell) {
  aThread* thread = static_cast<aThread*>(cell);
  thread->procedure(thread->argument);
  return nullptr;
}

}  // namespace

aThread* aThread_Create(aThreadProcedure procedure, void* argument) {
  if (procedure == nullptr) return nullptr;
  aThread* thread = new (std::nothrow) aThread{};
  if (thread == nullptr) return nullptr;
  thread->procedure = procedure;
  thread->argument = argument;
  if (pthread_create(&thread->id, nullptr, threadEntry, thread) != 0) {
    delete thread;
    return nullptr;
  }
  return thread;
}

int aThread_Destroy(aThread** thread) {
  if (thread == nullptr || *thread == nullptr) return 0;
  int result = pthread_join((*thread)->id, nullptr);
  delete *thread;
  *thread = nullptr;
  return result;
}

void aThread_Yield(void) { usleep(5); }
