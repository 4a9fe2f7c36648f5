// The general ZU library: the built-ins that every script can call by name
// besides the core primitives, bound at start-up into the two top
// environments.
//
// Every library name has one row in zulib_names (lib_names.cc), in binding
// order, with the environment it lives in and the registration call of its
// family. A family's call binds its own name and any companion names that
// follow it (GE with GetElement, ArgOption with Arg); those rows carry
// zulib_bound_elsewhere. A family built in a layer above carries
// zulib_bound_above and is bound through the call that layer hands in
// (without that layer, as in its tests, the row is skipped). A row with no
// call at all is a slip that stops debug and sanitizer builds at start-up.
// Registration runs in the start-up thread before any script, so the table
// needs no lock.
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
// A family table of zu/core_init.h, ended by a row with a null name; each
// row's name is a library name, its env 0 the root environment or 1 the
// second top one.
extern const ZU_FAMILY zulib_names[];
// Marks a row whose name another call binds: init_symbols for Env0 and
// Env1, the family of the row above for a companion. Never called.
void zulib_bound_elsewhere(ZUISP_ENV* env);
// Marks a row whose family lives in a layer above the library (the network
// services): that layer hands its registration in with zulib_set_binder at
// start-up, before init_function; without one the row is skipped. Never
// called.
void zulib_bound_above(ZUISP_ENV* env);
// Hands in the registration of the marked row of the same name and
// environment as `family`; 0, or -1 for no such row (a slip that stops
// debug and sanitizer builds, as family_row says).
int zulib_set_binder(const ZU_FAMILY& family);
// The registration handed in for the marked row `row`, or null.
ZU_BINDER zulib_binder_above(const ZU_FAMILY& row);

// Family registrations bind their tables with bind_prims (zu/core_init.h).
// Binds `alias` in env to the very function value bound to `name` there.
void zulib_alias(ZUISP_ENV* env, const char* alias, const char* name);
