// A thread that hands an open file to a procedure again and again while it
// runs; the procedure paces itself.
#pragma once

#include <stdint.h>

#include "link/core/aErr.h"
#include "link/core/aFile.h"

typedef struct aLogger aLogger;
typedef void (*aLoggerProcedure)(aFile* file, int32_t reference);

aLogger* aLogger_Create(int32_t reference, aLoggerProcedure procedure, const char* path);
aErr aLogger_Enable(aLogger* logger);
aErr aLogger_Disable(aLogger* logger);
aErr aLogger_Destroy(aLogger** logger);
