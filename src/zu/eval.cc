// The evaluator and the calling convention.
#include "zu/eval.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "zu/env.h"

namespace {

std::atomic<ZU_BREAK_HOOK> g_break_hook{nullptr};

// Lowest stack address a thread may evaluate at. Evaluation recurses on the
// C stack; a script that nests deeper gets an error instead of a crash.
uintptr_t stack_floor() {
  thread_local uintptr_t floor = 0;
  if (!floor) {
    pthread_attr_t a;
    void* addr = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &a) == 0) {
      pthread_attr_getstack(&a, &addr, &size);
      pthread_attr_destroy(&a);
    }
    if (!addr || size == 0) {
      // Unknown stack: allow 1 MiB below the first evaluation.
      floor = reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) - (1u << 20);
    } else {
      size_t margin = std::max<size_t>(size / 4, 64 * 1024);
      floor = reinterpret_cast<uintptr_t>(addr) + margin;
    }
  }
  return floor;
}


ZU_SEXP* depth_error(ZU_SEXP* form) {
  return get_error_ascii(form ? form->h.file : nullptr, form ? form->h.line : 0, ZU_ER_EVAL_DEPTH, "eval",
                         list(get_string_ascii("evaluation nested too deeply")));
}

ZU_SEXP* unbound_error(ZU_SEXP* sym) {
  return get_error_ascii(sym->h.file, sym->h.line, ZU_ER_UNBOUND, "eval", list(get_string(sym_name(sym))));
}

// The name that errors of a call carry: the head symbol's name.
ZU_SEXP* position_error(ZU_SEXP* form, uint32_t code, const char* fallback, ZU_SEXP* data) {
  ZU_SEXP* head = get_type(form) == ZU_TYPE_LIST ? form->pair.car : nullptr;
  ZU_FILE* f = form ? form->h.file : nullptr;
  int line = form ? form->h.line : 0;
  if (get_type(head) == ZU_TYPE_SYMBOL) return get_error(f, line, code, sym_name(head), data);
  return get_error_ascii(f, line, code, fallback, data);
}

// The atom of `__args_env`, re-interned after each collection (the intern
// table forgets atoms nothing refers to), and pinned by the caller.
ZU_ATOM* args_env_atom() {
  thread_local ZU_ATOM* atom = nullptr;
  thread_local uint64_t epoch = ~uint64_t{0};
  uint64_t now = gc_epoch();
  if (!atom || epoch != now) {
    static const char32_t kName[] = U"__args_env";
    atom = intern_atom(reinterpret_cast<const L_CHAR*>(kName), 10);
    epoch = gc_epoch();
  }
  return atom;
}

void bind_attributes(ZUISP_ENV* env, ZU_SYM_FIELD* sf) {
  if (!sf) return;
  // Later entries first, so that the first of two equal names wins.
  bind_attributes(env, sf->next);
  if (!sf->name) return;
  ZU_ATOM* a = intern_atom(sf->name, l_strlen(sf->name));
  gc_set_nl(a, gc_text);  // the atom may be one nothing else refers to
  bind_private_env(env, a, get_string(sf->value));
}

// The call environment is the caller's thread's own until the body runs, so
// it is filled without the environment lock.
ZU_SEXP* apply_lambda(ZUISP_ENV* env, ZU_FUNC* fn, ZU_SEXP* form, ZU_SEXP* args_form) {
  ZU_SEXP* head = form->pair.car;
  ZUISP_ENV* child = new_env(env);
  ZU_ATOM* args_atom = args_env_atom();
  if (fn->args_env) {
    gc_set_nl(args_atom, gc_text);  // pinned before the environment value is made
    bind_private_env(child, args_atom, get_env(fn->args_env));
  } else {
    bind_private_env(child, args_atom, nullptr);
  }
  if (get_type(head) == ZU_TYPE_SYMBOL) bind_attributes(child, sym_field(head));

  ZU_SEXP* params = fn->l_params;
  if (get_type(params) == ZU_TYPE_SYMBOL) {
    bind_private_env(child, params->symbol.atom, args_form);
  } else if (fn->order == 2) {
    // (parameter value) pairs bound by name; missing parameters are nil.
    for (ZU_SEXP* p = cdr(params); get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr)
      bind_private_env(child, p->pair.car->symbol.atom, nullptr);
    for (ZU_SEXP* a = form->pair.cdr; get_type(a) == ZU_TYPE_LIST; a = a->pair.cdr) {
      ZU_SEXP* arg = a->pair.car;
      if (get_type(arg) != ZU_TYPE_LIST || get_type(arg->pair.car) != ZU_TYPE_SYMBOL ||
          list_length(arg) != 2)
        return position_error(form, ZU_ER_TYPE, "lambda", list(get_string_ascii("type missmatch in parameter")));
      const ZU_ATOM* name = arg->pair.car->symbol.atom;
      ZU_SEXP* v = eval(env, arg->pair.cdr->pair.car);
      if (get_type(v) == ZU_TYPE_ERROR) return v;
      gc_set_nl(v, gc_qn_sexp);
      for (ZU_SEXP* p = params->pair.cdr; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
        if (p->pair.car->symbol.atom == name) {
          bind_private_env(child, p->pair.car->symbol.atom, v);
          break;
        }
      }
    }
  } else {
    ZU_SEXP* a = args_form->pair.cdr;
    for (ZU_SEXP* p = params->pair.cdr; get_type(p) == ZU_TYPE_LIST && get_type(a) == ZU_TYPE_LIST;
         p = p->pair.cdr, a = a->pair.cdr)
      bind_private_env(child, p->pair.car->symbol.atom, a->pair.car);
  }
  return eval_body(child, fn->l_body);
}

constexpr int kStackCells = 8;

// Calls function value f (pinned by the caller) with `form`.
ZU_SEXP* call(ZUISP_ENV* env, ZU_SEXP* f, ZU_SEXP* form) {
  ZU_FUNC* fn = f->func;
  int n = 0;
  ZU_SEXP* p = form;
  for (; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) ++n;
  if (!is_nil(p) || n < fn->min || (fn->max >= 0 && n > fn->max)) {
    return position_error(form, ZU_ER_LENGTH, "eval",
                          List(get_string_ascii("invalid parameter length"), get_integer(fn->min, nullptr),
                               get_integer(fn->max, nullptr), ZU_LIST_END));
  }
  ZU_SEXP* head = form->pair.car;
  ZU_SYM_FIELD* sf = get_type(head) == ZU_TYPE_SYMBOL ? sym_field(head) : nullptr;
  bool lambda = fn->type == ZU_FUNC_LAMBDA;

  ZU_SEXP* args = form;
  if (fn->order == 1 || (fn->order == 2 && !lambda)) {
    // A built-in that keeps nothing of its form, and a lambda that binds
    // its arguments one by one, get the evaluated form in cells on this
    // stack frame instead of the collected heap.
    bool transient = n <= kStackCells &&
                     (lambda ? get_type(fn->l_params) == ZU_TYPE_LIST : (f->h.flags & ZU_FUNC_FORM_TRANSIENT) != 0);
    ZU_SEXP cells[kStackCells];
    if (transient) {
      args = &cells[0];
      cells[0].h = form->h;
      cells[0].h.flags = 0;
      cells[0].pair.car = head;
    } else {
      // A new form (head, values...) positioned where the call was written.
      args = cons(head, nullptr);
      set_sexp_pos(args, form->h.file, form->h.line);
    }
    ZU_SEXP* tail = args;
    int i = 1;
    for (ZU_SEXP* a = form->pair.cdr; get_type(a) == ZU_TYPE_LIST; a = a->pair.cdr, ++i) {
      ZU_SEXP* c;
      if (transient) {
        c = &cells[i];
        c->h = a->h;
        c->h.type = ZU_TYPE_LIST;
        c->pair.car = nullptr;
      } else {
        // The cell exists before the value: nothing allocates between the
        // value's arrival and its being pinned through the cell.
        c = cons(nullptr, nullptr);
      }
      c->pair.cdr = nullptr;
      tail->pair.cdr = c;
      tail = c;
      ZU_SEXP* v = eval(env, a->pair.car);
      if (get_type(v) == ZU_TYPE_ERROR) return v;
      // A value found in an environment is pinned, since evaluating a
      // later argument may rebind its name (call results are pinned already).
      if (transient && sexp_type(a->pair.car) == ZU_TYPE_SYMBOL) gc_set_nl(v, gc_qn_sexp);
      c->pair.car = v;
    }
    if (transient) return lambda ? apply_lambda(env, fn, form, args) : fn->prim(env, args, fn->args_env, sf, fn->sp_env);
  }
  if (lambda) return apply_lambda(env, fn, form, args);
  if (!fn->prim) return position_error(form, ZU_ER_TYPE, "eval", list(get_string_ascii("not a function")));
  return fn->prim(env, args, fn->args_env, sf, fn->sp_env);
}

ZU_SEXP* eval_list(ZUISP_ENV* env, ZU_SEXP* form) {
  if (zu_stack_low()) return depth_error(form);
  if (ZU_SEXP* b = do_break_check(form)) return b;
  GcFrame frame("eval");
  ZU_SEXP* head = form->pair.car;
  ZU_SEXP* r = form;
  switch (get_type(head)) {
    case ZU_TYPE_SYMBOL: {
      ZU_SEXP* f = nullptr;
      if (lookup_env_atom(env, head->symbol.atom, -1, &f)) {
        int t = get_type(f);
        if (t == ZU_TYPE_FUNCTION) {
          // A lambda's parameters and body are used while its body may
          // rebind its name; a built-in's record is not needed once called.
          if (f->func->type == ZU_FUNC_LAMBDA) gc_set_nl(f, gc_qn_sexp);
          r = call(env, f, form);
        } else if (t == ZU_TYPE_ERROR) {
          r = f;
        } else {
          r = position_error(form, ZU_ER_TYPE, "eval",
                             List(get_string_ascii("not a function"), get_string(sym_name(head)), ZU_LIST_END));
        }
      } else if (ZU_SEXP* d = get_default_env(env); get_type(d) == ZU_TYPE_FUNCTION) {
        gc_set_nl(d, gc_qn_sexp);
        r = call(env, d, form);
      } else {
        r = unbound_error(head);
      }
      break;
    }
    case ZU_TYPE_FUNCTION:
      r = call(env, head, form);
      break;
    case ZU_TYPE_LIST: {
      ZU_SEXP* f = eval(env, head);
      int t = get_type(f);
      if (t == ZU_TYPE_FUNCTION) r = call(env, f, form);
      else if (t == ZU_TYPE_ERROR) r = f;
      break;
    }
    default:
      break;  // a list whose head is no name or function stands for itself
  }
  return frame.keep(r, gc_qn_sexp);
}

}  // namespace

bool zu_stack_low() { return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < stack_floor(); }

ZU_SEXP* eval(ZUISP_ENV* env, ZU_SEXP* s) {
  if (!s) return nullptr;
  switch (s->h.type) {
    case ZU_TYPE_SYMBOL: {
      ZU_SEXP* v = nullptr;
      if (lookup_env_atom(env, s->symbol.atom, -1, &v)) return v;
      return unbound_error(s);
    }
    case ZU_TYPE_LIST:
      return eval_list(env, s);
    default:
      // Every other value stands for itself; a delayed value is not forced.
      return s;
  }
}

ZU_SEXP* apply_func(ZUISP_ENV* env, ZU_SEXP* func, ZU_SEXP* form) {
  if (get_type(func) != ZU_TYPE_FUNCTION)
    return position_error(form, ZU_ER_TYPE, "eval", list(get_string_ascii("not a function")));
  if (get_type(form) != ZU_TYPE_LIST)
    return position_error(form, ZU_ER_TYPE, "eval", list(get_string_ascii("type missmatch")));
  if (zu_stack_low()) return depth_error(form);
  GcFrame frame("apply_func");
  gc_set_nl(func, gc_qn_sexp);
  return frame.keep(call(env, func, form), gc_qn_sexp);
}

ZU_SEXP* eval_body(ZUISP_ENV* env, ZU_SEXP* forms) {
  ZU_SEXP* r = nullptr;
  for (ZU_SEXP* p = forms; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    r = eval(env, p->pair.car);
    if (get_type(r) == ZU_TYPE_ERROR) break;
  }
  return r;
}

bool zu_true(ZU_SEXP* v, ZU_SEXP** err) {
  *err = nullptr;
  switch (get_type(v)) {
    case ZU_TYPE_NULL:
      return false;
    case ZU_TYPE_ERROR:
      *err = v;
      return false;
    case ZU_TYPE_INTEGER:
      return v->integer.num != 0;
    case ZU_TYPE_FLOATING:
      return v->floating.num != 0.0;
    default:
      return true;
  }
}

void set_break_check_hook(ZU_BREAK_HOOK hook) { g_break_hook.store(hook, std::memory_order_release); }

ZU_SEXP* do_break_check(ZU_SEXP* form) {
  ZU_BREAK_HOOK hook = g_break_hook.load(std::memory_order_relaxed);
  if (!hook) return nullptr;
  // The clock is read every 64th time only; the coarse clock costs little,
  // but evaluation calls this for every call form.
  thread_local int countdown = 1;
  thread_local time_t last_sec = -1;
  if (--countdown > 0) return nullptr;
  countdown = 64;
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  if (ts.tv_sec == last_sec) return nullptr;
  last_sec = ts.tv_sec;
  ZU_SEXP* r = hook(form);
  return get_type(r) == ZU_TYPE_ERROR ? r : nullptr;
}

ZU_SEXP* form_error(ZU_SEXP* form, uint32_t code, const char* fallback, const char* text) {
  return position_error(form, code, fallback, list(get_string_ascii(text)));
}
