// Named, non-recursive mutexes.
#pragma once

#include "link/core/aErr.h"

typedef struct aMutex aMutex;

// Null when the name has 256 characters or more, or on failure.
aMutex* aMutex_Create(const char* name);
const char* aMutex_Identifier(const aMutex* mutex);
aErr aMutex_Lock(aMutex* mutex);
aErr aMutex_TryLock(aMutex* mutex);
aErr aMutex_Unlock(aMutex* mutex);
aErr aMutex_Destroy(aMutex** mutex);
