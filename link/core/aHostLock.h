// Locks shared by every process on the host: flock(2) on a file in the
// host's lock folder, so that the kernel releases a lock when its holder
// exits or dies and a killed run never blocks the next one.
#pragma once

#include <stdint.h>

// The lock file `name` in the first folder that can hold it: /run/lock, then
// $XDG_RUNTIME_DIR, then /tmp (every process looks in the same order, so they
// agree on the file). An open descriptor, or -1.
int aHostLock_Open(const char* name);
// Takes the lock of an open lock file without waiting; false while another
// open of the file holds it (or on any other failure).
bool aHostLock_Try(int fd);
// Opens and takes the lock `name`, waiting up to `ceilingMs` for its holder
// to let go; the wait ends as soon as the lock comes. The held descriptor,
// or -1 when the lock did not come in time or cannot be had at all.
int aHostLock_Acquire(const char* name, uint32_t ceilingMs);
// Closes the descriptor, which releases the lock; -1 is ignored.
void aHostLock_Release(int fd);
// A file-name part made of `text`: letters, digits, '-' and '.' kept,
// everything else '_', at most `size` - 1 characters.
void aHostLock_NamePart(const char* text, char* part, uint32_t size);
