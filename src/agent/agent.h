// The matrix agent: the body of the qnmx program, its version records, the
// registration of the matrix commands into the two top environments, the
// script-slot constants and the agent's Exit.
//
// Everything here runs once, in the start-up thread, before any script
// runs.
#pragma once

#include "zu/env.h"

// The program body, run by call_main: starts the library and the stores,
// binds the built-ins and commands, runs the command-line script and
// closes every matrix. Returns 0, or 1 when the script could not be started
// (the reason is on the standard error).
int _main(int argc, char** argv);
// The two halves of _main: everything before the script (a test program
// binds its own built-ins in between), then the script and the closing.
void start_agent(int argc, char** argv);
int run_agent(int argc, char** argv);

// ---- version records and the agent identification text
// Records the protocol and library records and sets the identification
// text to the library's name "/" version.
void init_qn();
// init_qn, then the agent's own record; the identification text becomes
// the program's name "/" version. A second call does nothing.
void init_qns();

// ---- registration
// The matrix commands and constants (init_qmx_lib_function), then the
// agent's Exit in env1 and its Get in env0.
void init_qmx_function(ZUISP_ENV* env0, ZUISP_ENV* env1);
// The matrix commands and constants, in table order (commands.cc).
void init_qmx_lib_function(ZUISP_ENV* env0, ZUISP_ENV* env1);
// The 24 script-slot constants MI_<kind>_<class> (kind * 3 + class) in env
// (the root environment: its row's).
void init_qmxConstant(ZUISP_ENV* env);
// Binds Exit in env to genExit.
void init_genExit(ZUISP_ENV* env);
// (Exit): the exit request of the interpreter that evaluates it (error
// 0x80011404 from "Exit", no data, at the form's position). It does not end
// the process: the interpreter stops reading and the script runner returns.
ZU_SEXP* genExit(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV* sp_env);

// Runs close_all_mx when the process ends through u_exit without the
// end's runner (a library's own exit, an interrupt before the runner
// is set), so no open matrix is left unwritten and none is freed under a
// command still using it; after the end it does nothing. Registered by
// _main.
void agent_exit_handler();
