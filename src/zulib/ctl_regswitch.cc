// RegSwitch: a scanner that rewrites a text. At each position the clauses
// (head rex="..." [mode="..."] form...) race for the longest match; the
// winner's forms run with `pattern` bound to the matched text, and a string
// they yield replaces it. The symbol RegMode, looked up afresh before every
// position, narrows the race to the clauses of that mode, like the states
// of a lexer.
#include <memory>
#include <string>
#include <vector>

#include "text/convert.h"
#include "text/regex.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zulib/control.h"

namespace {

constexpr const char* kFunc = "RegSwitch";

using WString = std::basic_string<L_CHAR>;

struct FaFree {
  void operator()(AUTOMATON* a) const { free_automaton(a); }
};

// One clause; the automata belong to this call.
struct Clause {
  std::unique_ptr<AUTOMATON, FaFree> fa;
  ZU_SEXP* forms;      // the clause's forms after its head
  const L_CHAR* mode;  // null: the clause has no mode
};

// Reads the clauses; null, or the error that ends the call.
ZU_SEXP* read_clauses(ZU_SEXP* form, std::vector<Clause>* out) {
  for (ZU_SEXP* p = form->pair.cdr->pair.cdr; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* c = p->pair.car;
    int t = get_type(c);
    if (t == ZU_TYPE_ERROR) return c;
    ZU_SEXP* head = t == ZU_TYPE_LIST ? c->pair.car : nullptr;
    if (get_type(head) == ZU_TYPE_ERROR) return head;
    const L_CHAR* rex = get_type(head) == ZU_TYPE_SYMBOL ? head_option(sym_field(head), "rex") : nullptr;
    if (!rex) return error_text_at(form, ZU_ER_PARAM, kFunc, "parameter error");
    Clause cl{std::unique_ptr<AUTOMATON, FaFree>(get_fa(rex)), c->pair.cdr, head_option(sym_field(head), "mode")};
    if (!cl.fa) return error_text_at(form, ZU_ER_PARAM, kFunc, "parameter error: regular expression");
    out->push_back(std::move(cl));
  }
  return nullptr;
}

// The mode in force: RegMode's text (null when unbound), or an error.
ZU_SEXP* current_mode(ZUISP_ENV* env, ZU_ATOM* reg_mode, ZU_SEXP* form, const L_CHAR** mode) {
  ZU_SEXP* v = nullptr;
  *mode = nullptr;
  if (!lookup_env_atom(env, reg_mode, -1, &v)) return nullptr;
  switch (get_type(v)) {
    case ZU_TYPE_SYMBOL:
      *mode = sym_name(v);
      return nullptr;
    case ZU_TYPE_STRING:
      *mode = str_text(v);
      return nullptr;
    default:
      return error_text_at(form, ZU_ER_TYPE, kFunc, "type missmatch / symbol mode");
  }
}

bool same_text(const L_CHAR* a, const L_CHAR* b) {
  for (; *a && *a == *b; ++a, ++b) {
  }
  return *a == *b;
}

// The longest match at `at` among the clauses of the mode; -1 for none.
int best_clause(const std::vector<Clause>& cls, const L_CHAR* mode, const L_CHAR* at, int* len) {
  int best = -1;
  *len = 0;
  for (size_t i = 0; i < cls.size(); ++i) {
    // With a mode in force a clause without one takes no part.
    if (mode && (!cls[i].mode || !same_text(cls[i].mode, mode))) continue;
    int lo = -1;
    int hi = -1;
    parse_dfa_str(&lo, &hi, cls[i].fa.get(), at, 0);
    if (hi > *len) {
      *len = hi;
      best = static_cast<int>(i);
    }
  }
  return best;
}

enum class Step { kGoOn, kStop, kError };

// Runs a winning clause with `pattern` bound in a fresh child of env; what
// it yields goes to out. kError: *err is the call's result.
Step run_clause(ZUISP_ENV* env, const Clause& cl, ZU_ATOM* pattern, const L_CHAR* at, int len, WString* out,
                ZU_SEXP** err) {
  ZUISP_ENV* scope = new_env(env);
  bind_private_env(scope, pattern, get_string_len(at, static_cast<size_t>(len)));
  ZU_SEXP* v = eval_body(scope, cl.forms);
  switch (get_type(v)) {
    case ZU_TYPE_STRING:
      out->append(str_text(v));
      return Step::kGoOn;
    case ZU_TYPE_ERROR:
      break;
    default:
      return Step::kGoOn;
  }
  if (v->error->code != ZU_ER_BREAK) {
    *err = v;
    return Step::kError;
  }
  ZU_SEXP* d = v->error->data;
  if (get_type(d) == ZU_TYPE_STRING) out->append(str_text(d));
  if (get_type(d) != ZU_TYPE_ERROR) return Step::kStop;
  *err = d;
  return Step::kError;
}

ZU_SEXP* zu_RegSwitch(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* text = eval(env, get_el(form, 1));
  int t = get_type(text);
  if (t == ZU_TYPE_ERROR) return text;
  if (t != ZU_TYPE_STRING) return error_text_at(form, ZU_ER_TYPE, kFunc, "type missmatch");
  gc_set_nl(text, gc_qn_sexp);
  std::vector<Clause> clauses;
  if (ZU_SEXP* e = read_clauses(form, &clauses)) return e;
  // The names are pinned through their symbols for the whole scan.
  ZU_ATOM* reg_mode = get_symbol_ascii("RegMode")->symbol.atom;
  ZU_ATOM* pattern = get_symbol_ascii("pattern")->symbol.atom;
  WString out;
  size_t mark = gc_root_mark();
  for (const L_CHAR* at = str_text(text); *at;) {
    if (ZU_SEXP* b = do_break_check(form)) return b;
    gc_root_release(mark, nullptr, nullptr);
    const L_CHAR* mode = nullptr;
    if (ZU_SEXP* e = current_mode(env, reg_mode, form, &mode)) return e;
    int len = 0;
    int best = best_clause(clauses, mode, at, &len);
    if (best < 0 || len < 1) {
      out.push_back(*at++);  // every step moves on by a character at least
      continue;
    }
    ZU_SEXP* err = nullptr;
    Step s = run_clause(env, clauses[static_cast<size_t>(best)], pattern, at, len, &out, &err);
    if (s == Step::kError) return err;
    if (s == Step::kStop) break;
    at += len;
  }
  return get_string_len(out.data(), out.size());
}

const QN_PRIM_DEF kRegSwitch[] = {{"RegSwitch", zu_RegSwitch, 0, 2, -1, 0}, {}};

}  // namespace

void init_RegSwitch(ZUISP_ENV* env) { bind_prims(env, kRegSwitch); }
