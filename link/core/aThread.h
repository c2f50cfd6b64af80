// Joinable threads. A thread is told to end by its own loop's flag; destroy
// only joins it.
#pragma once

typedef struct aThread aThread;
typedef void (*aThreadProcedure)(void* argument);

aThread* aThread_Create(aThreadProcedure procedure, void* argument);
// Joins the thread, frees the handle and clears it; returns the join's errno.
int aThread_Destroy(aThread** thread);
void aThread_Yield(void);
