// Start-up of the language core and the binding of its primitives.
#pragma once

#include "zu/value.h"

// One primitive of a binding table: its ZU name, implementation, argument
// order and the least and greatest length of its call form (head included,
// -1 open). A table ends with a null name.
struct QN_PRIM_DEF {
  const char* name;
  ZU_PRIM prim;
  int order;
  int min;
  int max;
  uint8_t flags;  // header flags of the function value (ZU_FUNC_FORM_TRANSIENT)
};

// Binds every entry of the table in env (the caller holds the memory lock).
void bind_prims(ZUISP_ENV* env, const QN_PRIM_DEF* defs);

// The primitive families, bound by init_qnlisp in the root environment.
// Control: quote if while progn and or not set define lambda define-default.
void init_qn_control(ZUISP_ENV* env);
// Lists: car cdr cons list null eq equal.
void init_qn_list(ZUISP_ENV* env);
// Arithmetic and comparison: + - * / % < <= > >= == !=.
void init_qn_arith(ZUISP_ENV* env);

// Starts the language core once: the collected-memory allocator, the two
// top environments, `__args_env` bound to nil at the root, and the core
// primitives in the root environment. Later calls do nothing.
void init_qnlisp();
