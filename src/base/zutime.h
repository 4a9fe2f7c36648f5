// Time of this system: whole seconds since 2001-01-01 00:00 UTC.
#pragma once

constexpr long long kZuEpochOffset = 978307200;  // that instant in Unix time

// Now, in seconds since 2001-01-01 00:00 UTC.
unsigned int get_zutime();

// A tagged heap text of time t (caller frees with d_f_ree), in local time:
// format 1 the ctime(3) text ending in a line end, format 2 "YYYY-MM-DD".
// Null for any other format.
char* get_zutime_str(unsigned int t, int format);
