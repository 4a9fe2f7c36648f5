// Evaluation built-ins: a value evaluated again in a chosen environment
// (Eval), the two document evaluators that walk a list through hook
// functions the script defines (ListEval with __text, __integer and
// __float; FormatEval with __text), the hand-back of an evaluation to the
// agent whose request is being served (Local, and LocalEval on the asking
// side), and the catching and making of errors (ErrHandler, Error).
//
// ErrHandler turns any failure into a list (Error line site file function
// code data), the code read as a signed 32-bit number, except the loop
// signals of Break and Continue, which pass through it to their loop.
#pragma once

#include "zu/env.h"

// Registrations, each into the given (root) environment.
void init_Eval(ZUISP_ENV* env);
void init_ListEval(ZUISP_ENV* env);
void init_FormatEval(ZUISP_ENV* env);
void init_Local(ZUISP_ENV* env);
void init_LocalEval(ZUISP_ENV* env);
void init_ErrHandler(ZUISP_ENV* env);  // ErrHandler and Error
