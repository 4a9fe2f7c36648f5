// Finding scripts: beside the calling script, under the running script's
// directory, then along the search path of the environment variable ZUPATH
// and of the start-up files (".zurc" in the home directory and in "/",
// "zurc" in the user's and the machine's preference directories). Also the
// script path (the running script's directory) and path normalisation.
//
// Paths are wide strings with "/" as separator; every result is a tagged
// copy the caller frees with d_f_ree (null when there is none).
#pragma once

#include "text/lchar.h"
#include "zu/value.h"

// Characters that separate directories in a search-path text.
inline constexpr char kZuPathSeparators[] = ";\t\n\r :";

// The path of script `name` for a script whose own path is `caller` (null:
// none); null when not found.
L_CHAR* get_script(const L_CHAR* caller, const L_CHAR* name);
// The directory (ending in "/") in which the search path holds name.
L_CHAR* get_zuwhich(const L_CHAR* name);
// Searches one search-path text (no lock: the underscore names the form
// for one text).
L_CHAR* _zuwhich(const L_CHAR* path_list, const L_CHAR* name);
// Searches the ZUPATH entries of one start-up file.
L_CHAR* in_zurc(const char* dir, const char* file, const L_CHAR* name);
// The first arguments of the forms headed `key` in the start-up file, the
// last such form first; nil when the file cannot be opened. The caller
// holds the memory lock.
ZU_SEXP* get_zurc(const char* dir, const char* file, const char* key);

// The script path: `path` up to and including its last "/", or "./"
// (null clears it).
void set_script_path(const L_CHAR* path);
L_CHAR* get_script_path();
// path normalised; a relative path is taken from the script path first.
L_CHAR* get_absolute_path(const L_CHAR* path);
// The part of path behind the script path when it begins with it, else a
// copy of path.
L_CHAR* get_relative_path(const L_CHAR* path);
// Removes "." and ".." components and everything above an empty one
// ("/a/b/../c" gives "/a/c"); leading "../" and "./" stay.
L_CHAR* optimize_path(const L_CHAR* path);
