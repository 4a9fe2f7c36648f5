// Inside the raw image cache: what the fetch task does to the cache.
#pragma once

#include "base/lock.h"
#include "netsvc/raw_image.h"

// Guards the index, the ring, the counts, the states and the waiting
// callers. Fetches are queued under it.
extern SEM ri_lock;

// Ends ri's fetch in state (ri_lock held): its waiting callers go to
// *waiting, its waiters are woken, and it is held until ri_tell_waiting.
void _ri_finish(RAW_IMAGE* ri, int state, RI_QUEUE** waiting);
// Gives each caller in waiting op 1 and op 4 and frees the list; then lets
// ri go (ri_lock not held).
void ri_tell_waiting(RAW_IMAGE* ri, RI_QUEUE* waiting);
// Drops the least recently used ended images while more than 99 are
// cached (ri_lock held).
void _ri_evict();
