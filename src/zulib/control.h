// Control flow: loops with their break and continue signals, conditionals,
// selection by number or by regular expression over a text, scoping with
// Let, and the small helpers Next, Sequence, IgnoreDelay and Test.
//
// Break and Continue are error values with the codes ZU_ER_BREAK (data: the
// value handed to Break) and ZU_ER_CONTINUE. Only the loops consume them;
// every other built-in here returns them unchanged like any error. The loops
// evaluate in a pair (loop_env, caller): loop_env, a keyword environment
// without parent, holds Break and Continue alone, and a definition made in
// a loop body lands in the caller's environment. Every loop pass runs the
// break check, so a cancel or an interrupt reaches any loop.
#pragma once

#include "zu/env.h"

// Registrations, each into the given environment (Test: the second top
// one; all others the root). init_While makes loop_env; init_For takes the
// one of the While bound in the same environment.
void init_While(ZUISP_ENV* env);
void init_For(ZUISP_ENV* env);
void init_If(ZUISP_ENV* env);
void init_Sequence(ZUISP_ENV* env);
void init_Next(ZUISP_ENV* env);
void init_Switch(ZUISP_ENV* env);
void init_IfDef(ZUISP_ENV* env);
void init_RegSwitch(ZUISP_ENV* env);
void init_IgnoreDelay(ZUISP_ENV* env);
void init_Let(ZUISP_ENV* env);
void init_Test(ZUISP_ENV* env);
