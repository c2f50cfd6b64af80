// A wake-up that cuts a stream's wait short: a stop or a synchronisation
// request ends the reader's wait for bytes at once instead of letting it
// run out. One wake ends the wait in progress, or the next one when none is.
#pragma once

#include <stdint.h>

typedef struct aWaker aWaker;

// Null when the system has no descriptor left.
aWaker* aWaker_Create(void);
void aWaker_Destroy(aWaker** waker);
void aWaker_Wake(aWaker* waker);
// Takes a pending wake; true when there was one.
bool aWaker_Consume(aWaker* waker);
// Pollable: readable while a wake is pending (for callers with a poll of
// their own, such as zmq_poll).
int aWaker_Descriptor(const aWaker* waker);
// Waits until `fd` (none when negative) is readable, a wake comes or the
// time passes; true only when `fd` became readable. A wake is consumed.
bool aWaker_WaitReadable(aWaker* waker, int fd, uint32_t milliseconds);
