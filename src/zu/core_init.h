// Start-up of the language core and the binding of its primitives.
#pragma once

#include <cstdint>
#include <span>

#include "base/checked.h"
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
// Binds the built-in f under name in env, giving it the rule of that name
// in the table of what peers may call (zu/peer.h). Every built-in is bound
// through here (bind_prims included), so a listed name is ruled wherever
// it is bound.
void bind_builtin(ZUISP_ENV* env, const char* name, ZU_SEXP* f);

// ---- tables of families
// A family's registration: binds the family's built-ins into env. Every
// table of families (the library's names, the store's operation families,
// the agent's commands) holds registrations of this one shape.
using ZU_BINDER = void (*)(ZUISP_ENV* env);
// One row of a table of families, in binding order: the name the row is
// found by, the environment the family binds into (0 the first, 1 the
// second of the two the table is bound into) and its registration (null:
// not handed in from the layer above yet; the row is skipped).
struct ZU_FAMILY {
  const char* name;
  uint8_t env;
  ZU_BINDER bind;
};
// True in checked builds (base/checked.h): there a slip in the program's
// own tables stops the process.
inline constexpr bool kFamilySlipStops = QNMX_CHECKED != 0;
// The index of the row of `rows` that a registration handed in from a layer
// above as `given` belongs to: the row of the same name and environment
// that holds `mark` (any row when mark is null). -1 when there is none. The
// names are written in the program, never read from input, so a miss is a
// slip of the program: where kFamilySlipStops holds, the process stops
// there (er_panic, naming the row), which makes the slip show at start-up.
int family_row(std::span<const ZU_FAMILY> rows, const ZU_FAMILY& given, ZU_BINDER mark = nullptr);

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
