// While and For, and the Break and Continue signals of loop_env.
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zulib/control.h"

namespace {

// Start of a pass: the break check (a cancel or an interrupt stops the loop
// even when its body calls nothing) and a safe point for collections.
inline ZU_SEXP* pass_check(ZU_SEXP* form) {
  ZU_SEXP* b = do_break_check(form);
  if (b) return b;
  gc_safepoint();
  return nullptr;
}

enum class Truth { kFalse, kTrue, kBadType };

// A loop condition: integers and floating values only.
Truth loop_truth(ZU_SEXP* v) {
  switch (get_type(v)) {
    case ZU_TYPE_INTEGER:
      return v->integer.num != 0 ? Truth::kTrue : Truth::kFalse;
    case ZU_TYPE_FLOATING:
      return v->floating.num != 0.0 ? Truth::kTrue : Truth::kFalse;
    default:
      return Truth::kBadType;
  }
}

ZU_SEXP* condition_error(ZU_SEXP* form, const char* func) {
  return error_text_at(form, ZU_ER_TYPE, func, "condition type missmatch");
}

// (While condition body): the body runs first, the condition after it.
ZU_SEXP* zu_While(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* kw, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* cond = get_el(form, 1);
  ZU_SEXP* body = get_el(form, 2);
  ZUISP_ENV* scope = new_env_pair(kw, env);
  // What a pass allocates is dropped at the next one; only the body's last
  // value stays pinned.
  size_t mark = gc_root_mark();
  for (;;) {
    if (ZU_SEXP* b = pass_check(form)) return b;
    ZU_SEXP* v = eval(scope, body);
    if (get_type(v) == ZU_TYPE_ERROR) {
      if (v->error->code == ZU_ER_BREAK) return v->error->data;
      if (v->error->code != ZU_ER_CONTINUE) return v;
      gc_root_release(mark, nullptr, nullptr);
      continue;  // straight to the body, the condition untested
    }
    gc_root_release(mark, v, gc_qn_sexp);
    ZU_SEXP* c = eval(scope, cond);
    if (get_type(c) == ZU_TYPE_ERROR) return c;
    switch (loop_truth(c)) {
      case Truth::kFalse:
        return v;
      case Truth::kBadType:
        return condition_error(form, "While");
      case Truth::kTrue:
        break;
    }
  }
}

enum class Body { kDone, kContinue, kEnd };

// Evaluates a For body's forms in order into *result. kEnd: *result is
// what the loop returns (a break's data, or an error).
Body run_body(ZUISP_ENV* scope, ZU_SEXP* forms, ZU_SEXP** result) {
  for (ZU_SEXP* p = forms; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* v = eval(scope, p->pair.car);
    if (get_type(v) == ZU_TYPE_ERROR) {
      switch (v->error->code) {
        case ZU_ER_BREAK:
          *result = v->error->data;
          return Body::kEnd;
        case ZU_ER_CONTINUE:
          *result = nullptr;
          return Body::kContinue;
        default:
          *result = v;
          return Body::kEnd;
      }
    }
    // A value that a later form may unbind must outlive it.
    gc_set_nl(v, gc_qn_sexp);
    *result = v;
  }
  return Body::kDone;
}

// (For condition body...): tested before each pass.
ZU_SEXP* for_condition(ZUISP_ENV* scope, ZU_SEXP* form) {
  ZU_SEXP* cond = get_el(form, 1);
  ZU_SEXP* body = form->pair.cdr->pair.cdr;
  ZU_SEXP* result = get_integer(0, nullptr);
  size_t mark = gc_root_mark();
  for (;;) {
    if (ZU_SEXP* b = pass_check(form)) return b;
    gc_root_release(mark, result, gc_qn_sexp);
    ZU_SEXP* c = eval(scope, cond);
    if (get_type(c) == ZU_TYPE_ERROR) return c;
    Truth t = loop_truth(c);
    if (t == Truth::kBadType) return condition_error(form, "For");
    if (t == Truth::kFalse) return result;
    if (run_body(scope, body, &result) == Body::kEnd) return result;
  }
}

// The counter's next value, or null when it does not go on.
ZU_SEXP* for_step(ZU_SEXP* n) {
  switch (get_type(n)) {
    case ZU_TYPE_INTEGER:
      return get_integer(n->integer.num - 1, n->integer.unit);
    case ZU_TYPE_FLOATING:
      return get_floating(n->floating.num - 1.0, n->floating.unit);
    default:
      return cdr(n);
  }
}

// (For dec="n" body...): counts n down by one, or walks a list bound to n.
ZU_SEXP* for_counter(ZUISP_ENV* scope, ZU_SEXP* form, const L_CHAR* name) {
  if (name[0] == '^') ++name;
  ZU_SEXP* counter = get_symbol(name);
  set_sexp_pos(counter, form->h.file, form->h.line);
  ZU_SEXP* body = form->pair.cdr;
  ZU_SEXP* result = get_integer(0, nullptr);
  size_t mark = gc_root_mark();
  for (;;) {
    if (ZU_SEXP* b = pass_check(form)) return b;
    gc_root_release(mark, result, gc_qn_sexp);
    ZU_SEXP* n = eval(scope, counter);
    switch (get_type(n)) {
      case ZU_TYPE_NULL:
        return result;
      case ZU_TYPE_ERROR:
        return n;
      case ZU_TYPE_INTEGER:
        if (n->integer.num <= 0) return result;
        break;
      case ZU_TYPE_FLOATING:
        if (!(n->floating.num > 0.0)) return result;  // NaN ends the loop too
        break;
      case ZU_TYPE_LIST:
        break;
      default:
        return condition_error(form, "For");
    }
    gc_set_nl(n, gc_qn_sexp);  // the body may rebind the counter
    if (run_body(scope, body, &result) == Body::kEnd) return result;
    // A counter the loop may not step would never end it.
    if (set_op(scope, counter, for_step(n)) == kEnvRefused) return peer_refused(form, "For");
  }
}

ZU_SEXP* zu_For(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* kw, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZUISP_ENV* scope = new_env_pair(kw, env);
  if (const L_CHAR* dec = head_option(sf, "dec")) return for_counter(scope, form, dec);
  return for_condition(scope, form);
}

ZU_SEXP* zu_Break(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return error_at(form, ZU_ER_BREAK, "Break", get_el(form, 1));
}

ZU_SEXP* zu_Continue(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return error_at(form, ZU_ER_CONTINUE, "Continue", nullptr);
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kSignals[] = {{"Break", zu_Break, 1, 1, 2, T}, {"Continue", zu_Continue, 1, 1, 1, T}, {}};

// Binds a loop whose keyword environment is kw.
void bind_loop(ZUISP_ENV* env, const char* name, ZU_PRIM prim, int min, int max, ZUISP_ENV* kw) {
  GcFrame frame("bind_loop");
  gc_set_nl(kw, gc_qnlisp_env);
  ZU_SEXP* f = get_func_prim(prim, 0, kw, min, max);
  bind_builtin(env, name, f);
}

}  // namespace

void init_While(ZUISP_ENV* env) {
  GcFrame frame("init_While");
  ZUISP_ENV* loop_env = new_env(nullptr);
  bind_prims(loop_env, kSignals);
  // Every loop of the process shares it: nobody writes it after this.
  seal_env(loop_env);
  bind_loop(env, "While", zu_While, 3, 3, loop_env);
}

void init_For(ZUISP_ENV* env) {
  GcFrame frame("init_For");
  ZU_SEXP* w = nullptr;
  ZUISP_ENV* loop_env = nullptr;
  if (lookup_env_atom(env, get_symbol_ascii("While")->symbol.atom, 0, &w) && get_type(w) == ZU_TYPE_FUNCTION)
    loop_env = w->func->args_env;
  if (!loop_env) {
    loop_env = new_env(nullptr);
    bind_prims(loop_env, kSignals);
    seal_env(loop_env);
  }
  bind_loop(env, "For", zu_For, 2, -1, loop_env);
}
