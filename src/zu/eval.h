// The evaluator: self-evaluating values, symbol look-up, calls of built-ins
// and lambdas, default bindings, the break check and the template step.
//
// Calling convention. A function value (ZU_FUNC) carries an argument order:
// 0 the implementation receives the call form as written; 1 the arguments
// are evaluated first, left to right, and the implementation receives a new
// form (head, values...); 2 (lambdas only) the arguments are written as
// (parameter value) pairs. Before any call the form's length, head included,
// is checked against the function's minimum and maximum (max -1: open).
// The first argument that evaluates to an error is the result of the call
// and the built-in is not called, so errors travel up through evaluation.
//
// Lambdas have dynamic scope: the body runs in a new child of the caller's
// environment, where `__args_env` holds the keyword environment (an
// environment value, or nil), each attribute of the call's head symbol is
// bound to its text as a string, and then the parameters are bound.
//
// The caller of eval must hold the memory lock (a ZuThreadScope). The result
// is pinned in the caller's top collector frame.
#pragma once

#include "zu/env.h"
#include "zu/value.h"

// Evaluation nested so deeply that the thread's stack would run out.
constexpr uint32_t ZU_ER_EVAL_DEPTH = 0x80030504;

ZU_SEXP* eval(ZUISP_ENV* env, ZU_SEXP* s);

// Header flag of a built-in's function value: its implementation keeps no
// reference to the evaluated form it receives (nor puts it into its result
// or an error), so the evaluator may build that form in temporary storage.
constexpr uint8_t ZU_FUNC_FORM_TRANSIENT = 1;
// Header flag of a built-in's function value: its implementation keeps no
// reference to the environment it is called in, makes no environment under
// it and no value of it (it may evaluate in it), so a lambda's call
// environment can be freed when the call returns (env.h).
constexpr uint8_t ZU_FUNC_ENV_TRANSIENT = 2;

// True when the calling thread's stack is nearly used up: recursive walks
// over forms stop there with ZU_ER_EVAL_DEPTH instead of overflowing.
bool zu_stack_low();

// Calls a function value with a call form as if the form's head had been
// bound to it (the length check, argument evaluation and the error
// short-circuit included).
ZU_SEXP* apply_func(ZUISP_ENV* env, ZU_SEXP* func, ZU_SEXP* form);

// Evaluates the members of a list of forms in order in env, stopping at the
// first error; the last value, nil for no forms.
ZU_SEXP* eval_body(ZUISP_ENV* env, ZU_SEXP* forms);

// Truth of a condition: nil and numeric zero are false, an error is
// returned through *err (else *err is null), anything else is true.
bool zu_true(ZU_SEXP* v, ZU_SEXP** err);

// The break check. The hook (installed by the interpreter runtime) answers
// an error value (an interrupt or cancel request) or null. do_break_check
// runs it at most once per second of the clock on each thread and returns
// its answer, or null; eval calls it before each call form it evaluates.
// Once the hook has answered a stop, every later check of that thread asks
// it again at once, until it answers null: a stop turned into a value
// (ErrHandler) stops the loop around it at its next check.
using ZU_BREAK_HOOK = ZU_SEXP* (*)(ZU_SEXP* form);
void set_break_check_hook(ZU_BREAK_HOOK hook);
ZU_SEXP* do_break_check(ZU_SEXP* form);
// The same without the call-form countdown (still at most once per second
// of the clock): for loops that wait rather than evaluate, such as a sleep
// in one-second steps.
ZU_SEXP* do_break_check_now(ZU_SEXP* form);

// The template step. mode "direct" returns the form unchanged; "normal" or
// null returns a copy in which each sub-list ($ expr) is replaced by the
// value of expr in env and each symbol ^name by the value of name; an error
// from either is the result. Another mode gives 0x80040503 from "quote".
ZU_SEXP* qn_quote_trace(ZUISP_ENV* env, ZU_SEXP* form, const L_CHAR* mode);

// Function values of lambdas. params: a symbol (any length of at least 1)
// or a list (h p1 ... pn) (exactly n + 1). order 0, 1 or 2.
ZU_SEXP* new_lambda(int order, ZUISP_ENV* args_env, ZU_SEXP* params, ZU_SEXP* body);

// Implementations shared with the library's definition built-ins: forms as
// (lambda () params body) / Order="Normal" (lambda params body),
// (define symbol value) / (define name env params [body]),
// (define-default env params body) / Order="Normal" (define-default params body).
// Errors of define and define-default carry the head's name.
ZU_SEXP* qn_lambda(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV* sp_env);
ZU_SEXP* qn_define(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV* sp_env);
ZU_SEXP* qn_define_default(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf,
                           ZUISP_ENV* sp_env);

// Error helpers positioned at a form: function name = the form's head
// symbol name (or `fallback` when the head is not a symbol); data a
// one-member list holding the text.
ZU_SEXP* form_error(ZU_SEXP* form, uint32_t code, const char* fallback, const char* text);
// The refusal of a write into a top environment that a peer may not make
// (kEnvRefused, env.h): 0x80040d10 from func, at form.
ZU_SEXP* peer_refused(ZU_SEXP* form, const char* func);
