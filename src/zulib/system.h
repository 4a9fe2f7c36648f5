// The built-ins through which a script reaches the process and the
// machine: ending the program, environment variables, the version records
// of the software layers, the time, the allocator's per-site statistics,
// the encoding a value's text needs, starting programs (Launch, LaunchWWW,
// Shell) and running forms in a child agent (Export).
//
// Programs are started from argument vectors, never through a shell,
// except by Shell, whose purpose is a shell command line (it is bound in
// the second top environment only, out of peers' reach). Nothing here
// keeps state between calls; each built-in releases what it allocates.
#pragma once

#include "base/version.h"
#include "zu/env.h"

// Registrations, one per built-in. Second top environment: Exit,
// GetVariable, Launch, Shell, Export. Root: GetZUTime, MemoryStatistics,
// GetProperCode, GetVersion, LaunchWWW.
void init_Exit(ZUISP_ENV* env);
void init_GetVariable(ZUISP_ENV* env);
void init_GetVersion(ZUISP_ENV* env);
void init_GetZUTime(ZUISP_ENV* env);
void init_MemoryStatistics(ZUISP_ENV* env);
void init_GetProperCode(ZUISP_ENV* env);
void init_Launch(ZUISP_ENV* env);
void init_LaunchWWW(ZUISP_ENV* env);
void init_Shell(ZUISP_ENV* env);
void init_Export(ZUISP_ENV* env);

// A version record made from a peer's answer (layer name publisher version
// date ...): the first four strings copied, the date string copied into
// the comment and read as decimal "year-month-day" (missing parts 0, parts
// out of range 0). Null when the list is shorter than five or one of the
// five is not a string. The caller frees the record with free_version.
VERSION* convert_to_version(ZU_SEXP* list);

// The connection time-out of Export's pipe interpreter in interpreter
// ticks (120 unless set; the environment variable QNMX_EXPORT_TIMEOUT,
// read at the first Export, overrides the default). A child that neither
// answers nor ends within it gives "stream error".
void set_export_timeout(int ticks);
int get_export_timeout();
