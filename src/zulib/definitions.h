// Definitions and environments: making functions (Lambda, Define,
// DefineDefault), storing forms under names (DefineEval, alias DE),
// unbinding and moving names, and environments as values: made, paired,
// rewired, and turned into lists and back.
//
// Lambdas have dynamic scope: a body runs in a new child of its caller's
// environment. The reading of parameter lists and bodies is the language
// core's (zu/eval.h qn_lambda, qn_define, qn_define_default), which the core's
// lower-case define and lambda share. Bindings, removals and rewiring run
// under the core's environment lock; nothing here holds a lock of its own.
// No environment can be made its own ancestor.
#pragma once

#include "zu/env.h"

// Registrations, each into the given (root) environment.
void init_Lambda(ZUISP_ENV* env);
void init_Define(ZUISP_ENV* env);
void init_DefineDefault(ZUISP_ENV* env);
void init_DefineEval(ZUISP_ENV* env);  // DefineEval and DE, one function value
void init_DeleteDefine(ZUISP_ENV* env);
void init_DeleteDefaultDefine(ZUISP_ENV* env);
void init_MoveDefine(ZUISP_ENV* env);
void init_CurrentEnvironment(ZUISP_ENV* env);
void init_NewEnvironment(ZUISP_ENV* env);
void init_NewEnvPair(ZUISP_ENV* env);
void init_GetParentEnvironment(ZUISP_ENV* env);
void init_SetParentEnvironment(ZUISP_ENV* env);
void init_GetSymbolCore(ZUISP_ENV* env);
void init_GetListbaseEnv(ZUISP_ENV* env);
void init_SetListbaseEnv(ZUISP_ENV* env);
