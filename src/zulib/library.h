// The general ZU library: the built-ins that every script can call by name
// besides the core primitives, bound at start-up into the two top
// environments.
//
// Every library name has one row in zulib_names (lib_names.cc), in binding
// order, with the environment it lives in and the registration call of its
// family. A family's call binds its own name and any companion names that
// follow it (GE with GetElement, ArgOption with Arg); those rows carry
// zulib_bound_elsewhere. A family built in a layer above carries
// zulib_bound_above and is bound through the call that layer hands in. A
// family that is not built yet has a null call and is skipped. Registration runs in the start-up thread before any script,
// so the table needs no lock.
#pragma once

#include <cstdint>

#include "zu/core_init.h"
#include "zu/env.h"

// Binds the library into env0 (the root environment) and env1 (its child):
// keeps the command line for Arg and ArgOption, binds Env0 and Env1, then
// calls each family's registration in table order.
void init_function(ZUISP_ENV* env0, ZUISP_ENV* env1, int argc, char** argv);
// Binds "Env0" in env0 to an environment value holding env0, and "Env1" in
// env1 to one holding env1.
void init_symbols(ZUISP_ENV* env0, ZUISP_ENV* env1);

// ---- the binding table
using ZULIB_BINDER = void (*)(ZUISP_ENV* env);
struct ZULIB_NAME {
  const char* name;   // null ends the table
  uint8_t env;        // 0 the root environment, 1 the second top one
  ZULIB_BINDER bind;  // the family's registration; null: not built yet
};
extern const ZULIB_NAME zulib_names[];
// Marks a row whose name another call binds: init_symbols for Env0 and
// Env1, the family of the row above for a companion. Never called.
void zulib_bound_elsewhere(ZUISP_ENV* env);
// Marks a row whose family lives in a layer above the library (the network
// services): that layer hands its registration in with zulib_set_binder at
// start-up, before init_function; without one the row is skipped. Never
// called.
void zulib_bound_above(ZUISP_ENV* env);
// Hands in the registration of the row named `name` (a row marked
// zulib_bound_above); 0, or -1 for no such row.
int zulib_set_binder(const char* name, ZULIB_BINDER bind);
// The registration handed in for the row `name`, or null.
ZULIB_BINDER zulib_binder_above(const char* name);

// Family registrations bind their tables with bind_prims (zu/core_init.h).
// Binds `alias` in env to the very function value bound to `name` there.
void zulib_alias(ZUISP_ENV* env, const char* alias, const char* name);
