#include "link/core/aMutex.h"

#include <errno.h>
#include <new>
#include <pthread.h>
#include <string.h>

struct aMutex {
  pthread_mutex_t mutex;
  char name[256];
};

aMutex* aMutex_Create(const char* name) {
  if (name != nullptr && strlen(name) >= sizeof(aMutex::name)) return nullptr;
  aMutex* mutex = new (std::nothrow) aMutex{};
  if (mutex == nullptr) return nullptr;
  if (pthread_mutex_init(&mutex->mutex, nullptr) != 0) {
    delete mutex;
    return nullptr;
  }
  if (name != nullptr) strcpy(mutex->name, name);
  return mutex;
}

const char* aMutex_Identifier(const aMutex* mutex) { return mutex != nullptr ? mutex->name : nullptr; }

aErr aMutex_Lock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  switch (pthread_mutex_lock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EDEADLK: return aErrDuplicate;
    default: return aErrUnknown;
  }
}

aErr aMutex_TryLock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  switch (pthread_mutex_trylock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EBUSY: return aErrBusy;
    case EINVAL: return aErrParam;
    default: return aErrUnknown;
  }
}

aErr aMutex_Unlock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  switch (pthread_mutex_unlock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EPERM: return aErrPermission;
    case EINVAL: return aErrParam;
    default: return aErrUnknown;
  }
}

aErr aMutex_Destroy(aMutex** mutex) {
  if (mutex == nullptr || *mutex == nullptr) return aErrParam;
  aErr result;
  switch (pthread_mutex_destroy(&(*mutex)->mutex)) {
    case 0: result = aErrNone; break;
    case EAGAIN: result = aErrResource; break;
    case EBUSY: result = aErrBusy; break;
    case EINVAL: result = aErrParam; break;
    default: result = aErrUnknown; break;
  }
  delete *mutex;
  *mutex = nullptr;
  return result;
}
