// Timers: a timer wheel advanced once a second by the tick thread, and an
// immediate timer thread for work handed over to run at once. Timer
// functions run one after another on these two threads, so they must be
// short; long work belongs in a task of its own.
#pragma once

using TICK_FUNC = void (*)(void* data);

// Starts the two timer threads (also done on first use). Returns 0.
int init_tick();

// Schedules func(data): interval > 0 every interval seconds, < 0 once after
// -interval seconds, 0 once at once on the immediate timer thread.
// Returns 0, or -1 for a null function.
int new_tick(TICK_FUNC func, int interval, void* data);

// Cancels every timer entry with this function and data; entries that have
// already fired are not affected. May be called from inside a timer
// function, its own included. Called from any other thread, it returns only
// after a call of a matching entry that is running has returned, so the
// caller may free data afterwards.
void del_tick_with_data(TICK_FUNC func, void* data);

// From inside a running timer function: changes that entry's interval.
// interval > 0 repeats every interval seconds from now on; a negative
// interval -s runs it once more after s seconds and then stops; 0 stops it.
// Returns 0, or -1 when not called from a timer function.
int change_tick(int interval);

// Wakes the address key (_wakeup_task) after `seconds`, and again 2 and 4
// seconds after that. Extra wakes are harmless: waiters re-test.
void new_timeout(const void* key, int seconds);
// Cancels the pending wakes of key.
void del_timeout(const void* key);

// Suspends the calling thread for n seconds (a safe point for the collector).
void sleep_sec(int n);

// Length of one second of the timer clock in milliseconds (1000 unless a test
// shortens it). It governs the wheel, time-outs and sleep_sec.
void set_tick_unit_ms(int ms);
int get_tick_unit_ms();

// Stops both timer threads and drops every pending entry. Must not be called
// from a timer function. init_tick() or new_tick() start them again.
void shutdown_ticks();
