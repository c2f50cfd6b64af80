#include "link/core/aDebug.h"

uint8_t aTolvarineDebuggingEnable = 0;
uint32_t aTolvarineDebuggingLevel = 0;
