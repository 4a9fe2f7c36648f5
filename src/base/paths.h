// The environment and the program's well-known directories.
#pragma once

#include <cstdint>

// Environment look-up: the value (owned by the environment) or null.
const char* u_getenv(const char* name);
// The environment variable `name` as a whole number from 1 to max, in
// decimal and nothing else; fallback when it is unset or anything else.
int64_t u_getenv_count(const char* name, int64_t fallback, int64_t max);
// The value of HOME, or null when it is unset.
const char* get_homepath();

// The directories below end in "/". Results in a thread-temporary buffer
// (see tempbuf.h) are valid until the calling task hands on 50 more.

// The user preference directory: "$HOME/.pzuconf/", or "/" when HOME is
// unset (thread-temporary).
const char* get_preference_path();
// The preference directory of the machine, "/.pzuconf/" (static).
const char* get_root_preference_path();
// The peripheral directory: "$DK_PERIPHERAL/" when that variable is set and
// not empty, else the preference directory (thread-temporary).
const char* get_peripheral_path();
// The directory for temporary files, "/tmp" (static).
const char* get_tmp_dir();

// The path in this platform's delimiter form, always as a new tagged copy
// the caller frees with d_f_ree; on POSIX the text is unchanged. Null for null.
char* change_delim_str(const char* path);

// 1 unless the text holds one of the characters ";", ",", "|", ">", "<"
// (the text may then be used in a file name); 0 for null.
int is_safe_as_filename(const char* text);
