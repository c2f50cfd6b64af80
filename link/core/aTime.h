// Millisecond clock (time of day, wraps every ~49.7 days) and sleep.
#pragma once

#include <stdint.h>

#include "link/core/aErr.h"

uint32_t aTime_GetMSTicks(void);
// Sleeps in steps of at most 999,999 microseconds; returns at once for 0.
aErr aTime_MSSleep(uint32_t milliseconds);

// How long one step of aTime_MSSleep may be; exposed for tests.
uint32_t aTime_SleepStepMicroseconds(uint32_t milliseconds, uint32_t step);
