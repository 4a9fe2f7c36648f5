// The evaluator and the calling convention.
#include "zu/eval.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <vector>

#include "base/alloc.h"
#include "base/panic.h"
#include "zu/env.h"
#include "zu/env_impl.h"
#include "zu/peer.h"

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

// A call whose head is no function: ("not a function" name) from "eval".
ZU_SEXP* not_function_error(ZU_SEXP* form) {
  ZU_SEXP* head = get_type(form) == ZU_TYPE_LIST ? form->pair.car : nullptr;
  ZU_SEXP* data = get_type(head) == ZU_TYPE_SYMBOL
                      ? List(get_string_ascii("not a function"), get_string(sym_name(head)), ZU_LIST_END)
                      : list(get_string_ascii("not a function"));
  return get_error_ascii(form ? form->h.file : nullptr, form ? form->h.line : 0, ZU_ER_TYPE, "eval", data);
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
  // Later entries first, so that the first of two equal names wins; a head
  // may carry any number of them, so no recursion.
  std::vector<ZU_SYM_FIELD*> fields;
  for (; sf; sf = sf->next)
    if (sf->name) fields.push_back(sf);
  for (size_t i = fields.size(); i-- > 0;) {
    ZU_ATOM* a = intern_atom(fields[i]->name, l_strlen(fields[i]->name));
    gc_set_nl(a, gc_text);  // the atom may be one nothing else refers to
    bind_private_env(env, a, get_string(fields[i]->value));
  }
}

// A frame around the evaluation of one call form: what the call allocates
// is released when it ends, except its result. It is a refusal zone
// (base/alloc.h) while open.
class EvalFrame {
 public:
  EvalFrame() {
    GcRootStack* r = gc_tl_roots;
    mark_ = r ? static_cast<size_t>(r->top - r->base) : 0;
    if (r) ++r->zone;
  }
  ~EvalFrame() {
    if (open_) close(nullptr);
  }
  ZU_SEXP* keep(ZU_SEXP* r) {
    open_ = false;
    close(r);
    return r;
  }
  // After a refusal: the frames the call opened (the call pins its head
  // before any, see eval_call) and its roots go, so what it made so far is
  // garbage.
  void unwind() {
    gc_unwind_frames(mark_);
    gc_root_release(mark_, nullptr, nullptr);
  }
  EvalFrame(const EvalFrame&) = delete;
  EvalFrame& operator=(const EvalFrame&) = delete;

 private:
  void close(ZU_SEXP* kept) {
    if (GcRootStack* r = gc_tl_roots) --r->zone;
    gc_root_release(mark_, kept, gc_qn_sexp);
  }
  size_t mark_;
  bool open_ = true;
};

// The error of a call whose memory was refused: "memory" from the head's
// name. Its few cells may go over the budget; the collector is told that
// the refused work is garbage now.
[[gnu::noinline, gnu::cold]] ZU_SEXP* memory_refused(ZU_SEXP* form, EvalFrame& frame) {
  frame.unwind();
  NoRefusal grant;
  gc_note_refusal();
  return position_error(form, ZU_ER_MEMORY, "eval", list(get_string_ascii("memory")));
}

// Memory that plain `new` or a container could not have: unlike the
// allocator's own refusals, it may have been thrown while a lock was held,
// and an unwind past its unlock would leave the lock taken for ever. Then
// the process stops, saying so; else it is a refusal like any other.
[[gnu::noinline, gnu::cold]] ZU_SEXP* foreign_refusal(ZU_SEXP* form, EvalFrame& frame) {
  if (task_holds() != 0) er_panic("eval: out of memory while a lock was held, which cannot be given back");
  return memory_refused(form, frame);
}

// The break check's countdown: the clock is read every 64th call form only.
constexpr int kBreakCountdown = 64;
constinit thread_local int tl_break_countdown = 1;
// A stop the hook found stays in force: until the hook answers nothing
// again (its task took the next form), every check asks it at once, so
// that a loop around an ErrHandler that turned the stop into a value stops
// at its next pass instead of a second later, and again after that.
constinit thread_local bool tl_stopped = false;

ZU_SEXP* break_check_due(ZU_SEXP* form) {
  ZU_BREAK_HOOK hook = g_break_hook.load(std::memory_order_relaxed);
  if (!hook) {
    tl_break_countdown = kBreakCountdown;
    return nullptr;
  }
  if (!tl_stopped) {
    tl_break_countdown = kBreakCountdown;
    thread_local time_t last_sec = -1;
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    if (ts.tv_sec == last_sec) return nullptr;
    last_sec = ts.tv_sec;
  }
  ZU_SEXP* r = hook(form);
  tl_stopped = get_type(r) == ZU_TYPE_ERROR;
  tl_break_countdown = tl_stopped ? 1 : kBreakCountdown;
  return tl_stopped ? r : nullptr;
}

inline ZU_SEXP* break_check(ZU_SEXP* form) {
  if (--tl_break_countdown > 0) return nullptr;
  return break_check_due(form);
}

ZU_SEXP* eval_list(ZUISP_ENV* env, ZU_SEXP* form);
ZU_SEXP* bind_and_run(ZUISP_ENV* env, ZUISP_ENV* child, ZU_FUNC* fn, ZU_SEXP* form, ZU_SEXP* args_form);

// eval with the common cases in line.
inline ZU_SEXP* eval_inline(ZUISP_ENV* env, ZU_SEXP* s) {
  if (!s) return nullptr;
  switch (s->h.type) {
    case ZU_TYPE_SYMBOL: {
      ZU_SEXP* v = nullptr;
      if (zu_env::lookup_value(env, s->symbol.atom, &v)) return v;
      return unbound_error(s);
    }
    case ZU_TYPE_LIST:
      return eval_list(env, s);
    default:
      return s;
  }
}

// A new environment for a lambda's body: a child of the caller's, holding
// `__args_env` and the attributes of the call's head symbol. It stays the
// calling thread's own until the body runs, so it is filled without the
// environment lock.
ZUISP_ENV* lambda_env(ZUISP_ENV* env, ZU_FUNC* fn, ZU_SEXP* head) {
  ZUISP_ENV* child = new_call_env(env, fn->peer_made != 0);
  ZU_ATOM* args_atom = args_env_atom();
  if (fn->args_env) {
    gc_set_nl(args_atom, gc_text);  // pinned before the environment value is made
    zu_env::bind_private(child, args_atom, get_env(fn->args_env));
  } else {
    zu_env::bind_private(child, args_atom, nullptr);
  }
  if (get_type(head) == ZU_TYPE_SYMBOL) bind_attributes(child, sym_field(head));
  return child;
}

// The end of a lambda call: what the call made is released but its result,
// and its environment is handed back unless it was kept. `mark` is the
// thread's root count before the environment was made.
ZU_SEXP* end_call(ZUISP_ENV* child, size_t mark, ZU_SEXP* r) {
  gc_root_release(mark, r, gc_qn_sexp);
  release_call_env(child);
  return r;
}

// Lambda with a parameter list under the applicative order: each argument
// is evaluated in the caller's environment, left to right, and bound at
// once in the new environment (which keeps it alive from then on).
ZU_SEXP* call_lambda_list(ZUISP_ENV* env, ZU_FUNC* fn, ZU_SEXP* form) {
  const size_t mark = gc_root_mark();
  ZUISP_ENV* child = lambda_env(env, fn, form->pair.car);
  ZU_SEXP* a = form->pair.cdr;
  for (ZU_SEXP* p = fn->l_params->pair.cdr; get_type(p) == ZU_TYPE_LIST && get_type(a) == ZU_TYPE_LIST;
       p = p->pair.cdr, a = a->pair.cdr) {
    ZU_SEXP* v = eval_inline(env, a->pair.car);
    if (get_type(v) == ZU_TYPE_ERROR) return end_call(child, mark, v);
    zu_env::bind_private(child, p->pair.car->symbol.atom, v);
  }
  EnvWriterScope writer(fn->peer_made != 0);
  return end_call(child, mark, eval_body(child, fn->l_body));
}

// Any other lambda call: args_form is the form as written (order 0) or the
// evaluated form (head, values...).
ZU_SEXP* apply_lambda(ZUISP_ENV* env, ZU_FUNC* fn, ZU_SEXP* form, ZU_SEXP* args_form) {
  const size_t mark = gc_root_mark();
  ZUISP_ENV* child = lambda_env(env, fn, form->pair.car);
  return end_call(child, mark, bind_and_run(env, child, fn, form, args_form));
}

// The parameters of any other lambda call bound in child, then its body.
ZU_SEXP* bind_and_run(ZUISP_ENV* env, ZUISP_ENV* child, ZU_FUNC* fn, ZU_SEXP* form, ZU_SEXP* args_form) {
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
  EnvWriterScope writer(fn->peer_made != 0);
  return eval_body(child, fn->l_body);
}

constexpr int kStackCells = 8;

// A built-in that keeps nothing of its form gets the evaluated form in
// cells on this stack frame instead of the collected heap. n: the form's
// length, head included (at most kStackCells).
ZU_SEXP* call_transient(ZUISP_ENV* env, ZU_FUNC* fn, ZU_SEXP* form, int n, ZU_SYM_FIELD* sf) {
  ZU_SEXP cells[kStackCells];
  cells[0].h = form->h;
  cells[0].h.flags = 0;
  cells[0].pair.car = form->pair.car;
  ZU_SEXP* tail = &cells[0];
  ZU_SEXP* c = &cells[1];
  ZU_SEXP* end = &cells[n];  // the bound holds even were the form changed meanwhile
  for (ZU_SEXP* a = form->pair.cdr; c < end && get_type(a) == ZU_TYPE_LIST; a = a->pair.cdr, ++c) {
    c->h = a->h;
    c->h.type = ZU_TYPE_LIST;
    c->pair.car = nullptr;
    c->pair.cdr = nullptr;
    tail->pair.cdr = c;
    tail = c;
    ZU_SEXP* x = a->pair.car;
    ZU_SEXP* v = eval_inline(env, x);
    if (get_type(v) == ZU_TYPE_ERROR) return v;
    // A value found in an environment is pinned, since evaluating a later
    // argument, or the built-in itself, may rebind its name (call results
    // are pinned already).
    if (x && x->h.type == ZU_TYPE_SYMBOL) gc_set_nl(v, gc_qn_sexp);
    c->pair.car = v;
  }
  tail->pair.cdr = nullptr;
  return fn->prim(env, &cells[0], fn->args_env, sf, fn->sp_env);
}

// Calls function value f (pinned by the caller) with `form`.
ZU_SEXP* call(ZUISP_ENV* env, ZU_SEXP* f, ZU_SEXP* form) {
  ZU_FUNC* fn = f->func;
  int n = 0;
  ZU_SEXP* p = form;
  int t;
  for (; (t = get_type(p)) == ZU_TYPE_LIST; p = p->pair.cdr) ++n;
  if (t != ZU_TYPE_NULL || n < fn->min || (fn->max >= 0 && n > fn->max)) {
    return position_error(form, ZU_ER_LENGTH, "eval",
                          List(get_string_ascii("invalid parameter length"), get_integer(fn->min, nullptr),
                               get_integer(fn->max, nullptr), ZU_LIST_END));
  }
  ZU_SEXP* head = form->pair.car;
  bool lambda = fn->type == ZU_FUNC_LAMBDA;
  // The body of a lambda sees the caller's environments: one a peer made
  // never runs for the agent itself (see env.h).
  if (lambda && fn->peer_made && !evaluates_for_peer())
    return position_error(form, ZU_ER_DENIED, "eval", list(get_string_ascii("a peer's function, refused to this agent")));
  // The powers of the process stay the agent's, whatever environment a
  // peer's form runs in and whoever made the function that calls them.
  if (fn->peer_rule == static_cast<uint8_t>(PEER_RULE::kPeerNever) && evaluates_for_peer())
    return position_error(form, ZU_ER_DENIED, "eval", list(get_string_ascii(kPeerPowerRefused)));
  if (lambda && fn->order == 1 && get_type(fn->l_params) == ZU_TYPE_LIST) return call_lambda_list(env, fn, form);
  // A built-in may keep the environment it is given (see env.h).
  if (!lambda && !(f->h.flags & ZU_FUNC_ENV_TRANSIENT)) env_keep(env);
  ZU_SYM_FIELD* sf = get_type(head) == ZU_TYPE_SYMBOL ? sym_field(head) : nullptr;
  if (!lambda && fn->order != 0 && n <= kStackCells && (f->h.flags & ZU_FUNC_FORM_TRANSIENT) && fn->prim)
    return call_transient(env, fn, form, n, sf);

  ZU_SEXP* args = form;
  if (fn->order == 1 || (fn->order == 2 && !lambda)) {
    // A new form (head, values...) positioned where the call was written.
    args = cons(head, nullptr);
    set_sexp_pos(args, form->h.file, form->h.line);
    ZU_SEXP* tail = args;
    for (ZU_SEXP* a = form->pair.cdr; get_type(a) == ZU_TYPE_LIST; a = a->pair.cdr) {
      // The cell exists before the value: nothing allocates between the
      // value's arrival and its being pinned through the cell.
      ZU_SEXP* c = cons(nullptr, nullptr);
      tail->pair.cdr = c;
      tail = c;
      ZU_SEXP* v = eval_inline(env, a->pair.car);
      if (get_type(v) == ZU_TYPE_ERROR) return v;
      c->pair.car = v;
    }
  }
  if (lambda) return apply_lambda(env, fn, form, args);
  if (!fn->prim) return not_function_error(form);
  return fn->prim(env, args, fn->args_env, sf, fn->sp_env);
}

ZU_SEXP* eval_call(ZUISP_ENV* env, ZU_SEXP* form);

// Each call form is a refusal zone (base/alloc.h): memory it cannot have
// ends it with an error value instead of the process, the innermost call
// whose work asked for it naming itself.
ZU_SEXP* eval_list(ZUISP_ENV* env, ZU_SEXP* form) {
  if (zu_stack_low()) return depth_error(form);
  if (ZU_SEXP* b = break_check(form)) return b;
  EvalFrame frame;
  ZU_SEXP* r;
  try {
    r = eval_call(env, form);
  } catch (const AllocRefused&) {
    r = memory_refused(form, frame);
  } catch (const std::bad_alloc&) {
    r = foreign_refusal(form, frame);
  } catch (const std::length_error&) {
    r = foreign_refusal(form, frame);
  }
  return frame.keep(r);
}

// The call of form, its head looked up.
inline ZU_SEXP* eval_call(ZUISP_ENV* env, ZU_SEXP* form) {
  ZU_SEXP* head = form->pair.car;
  ZU_SEXP* r = form;
  switch (get_type(head)) {
    case ZU_TYPE_SYMBOL: {
      ZU_SEXP* f = nullptr;
      if (zu_env::lookup_value(env, head->symbol.atom, &f)) {
        int t = get_type(f);
        if (t == ZU_TYPE_FUNCTION) {
          // The arguments, or a lambda's body, may rebind the name while
          // the function's record is still to be read.
          gc_set_nl(f, gc_qn_sexp);
          r = call(env, f, form);
        } else if (t == ZU_TYPE_ERROR) {
          r = f;
        } else {
          r = not_function_error(form);
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
      gc_set_nl(head, gc_qn_sexp);  // a refusal unwinds the frames opened after this root
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
  return r;
}

}  // namespace

bool zu_stack_low() { return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < stack_floor(); }

ZU_SEXP* eval(ZUISP_ENV* env, ZU_SEXP* s) { return eval_inline(env, s); }

ZU_SEXP* apply_func(ZUISP_ENV* env, ZU_SEXP* func, ZU_SEXP* form) {
  if (get_type(func) != ZU_TYPE_FUNCTION) return not_function_error(form);
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
    r = eval_inline(env, p->pair.car);
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

ZU_SEXP* do_break_check(ZU_SEXP* form) { return break_check(form); }

ZU_SEXP* do_break_check_now(ZU_SEXP* form) { return break_check_due(form); }

ZU_SEXP* form_error(ZU_SEXP* form, uint32_t code, const char* fallback, const char* text) {
  return position_error(form, code, fallback, list(get_string_ascii(text)));
}

ZU_SEXP* peer_refused(ZU_SEXP* form, const char* func) {
  return position_error(form, ZU_ER_DENIED, func, list(get_string_ascii(env_refusal_why())));
}
