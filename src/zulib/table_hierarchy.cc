// Categorize (runs of neighbours), V2H (a hierarchy from a sorted list of
// rows) and h2v (a row prepared for V2H).
#include <vector>

#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zulib/tables.h"

namespace {

// Evaluates (f (quote a) (quote b)), or (f (quote a)) when b is null.
// The members are data: quoted, they reach the function as they are and
// are never run as code.
ZU_SEXP* call_quoted(ZUISP_ENV* env, ZU_SEXP* f, ZU_SEXP* a, ZU_SEXP* b, ZU_SEXP* form) {
  ZU_SEXP* quote = get_symbol_ascii("quote");
  ZU_SEXP* qa = List(quote, a, ZU_LIST_END);
  ZU_SEXP* call = b ? List(f, qa, List(quote, b, ZU_LIST_END), ZU_LIST_END) : List(f, qa, ZU_LIST_END);
  set_sexp_pos(call, form->h.file, form->h.line);
  return eval(env, call);
}

// The integer that cmp answers for neighbours a and b; an error value or
// null in *err otherwise. What the call makes is dropped.
int64_t compare_neighbours(ZUISP_ENV* env, ZU_SEXP* cmp, ZU_SEXP* a, ZU_SEXP* b, ZU_SEXP* form, const char* func,
                           ZU_SEXP** err) {
  size_t mark = gc_root_mark();
  ZU_SEXP* r = call_quoted(env, cmp, a, b, form);
  int64_t v = 0;
  *err = nullptr;
  if (get_type(r) == ZU_TYPE_INTEGER) v = r->integer.num;
  else if (get_type(r) == ZU_TYPE_ERROR) *err = r;
  else
    *err = error_text_at(form, ZU_ER_TYPE, func, "type missmatch the return of cmp function");
  gc_root_release(mark, *err, gc_qn_sexp);
  return v;
}

ZU_SEXP* zu_Categorize(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  constexpr const char* kFunc = "Categorize";
  ZU_SEXP* x = get_el(form, 1);
  ZU_SEXP* cmp = get_el(form, 2);
  if (get_type(x) == ZU_TYPE_NULL) return nullptr;
  if (get_type(x) != ZU_TYPE_LIST || get_type(cmp) != ZU_TYPE_FUNCTION)
    return error_text_at(form, ZU_ER_TYPE, kFunc, "type missmatch");
  gc_set_nl(cmp, gc_qn_sexp);
  ListBuilder runs;
  ListBuilder run;
  run.add(x->pair.car);
  for (ZU_SEXP* p = x; get_type(p->pair.cdr) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* a = p->pair.car;
    ZU_SEXP* b = p->pair.cdr->pair.car;
    ZU_SEXP* err = nullptr;
    int64_t same = compare_neighbours(env, cmp, a, b, form, kFunc, &err);
    if (err) return err;
    if (same == 0) {
      runs.add(run.head);
      run = ListBuilder();
    }
    run.add(b);
  }
  runs.add(run.head);
  return runs.head;
}

// ---- V2H

// The tree being built. Entries are newest first: a list entry that has
// received children holds them newest first, then its label. The levels
// from the top down along the newest entries are kept open as vectors of
// their members in reverse (newest last), so adding an entry appends; the
// newest member of an open level that has an open level below it stands
// for that level until it is closed.
class Hierarchy {
 public:
  explicit Hierarchy(ZU_SEXP* first) { levels_.push_back({first}); }

  // Opens the levels down to depth d; false when the newest entries do not
  // reach that deep.
  bool open_to(size_t d) {
    while (levels_.size() <= d) {
      ZU_SEXP* newest = levels_.back().back();
      if (get_type(newest) != ZU_TYPE_LIST) return false;
      std::vector<ZU_SEXP*> members;
      for (ZU_SEXP* p = newest; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) members.push_back(p->pair.car);
      levels_.emplace_back(members.rbegin(), members.rend());
    }
    return true;
  }

  // Puts the newest entry of open level d into final order: the open
  // levels below are closed into it, the deepest's newest entry first.
  void close_newest(size_t d) {
    ZU_SEXP*& deepest = levels_.back().back();
    deepest = final_order(deepest);
    while (levels_.size() > d + 1) {
      ZU_SEXP* closed = list_of(levels_.back());
      levels_.pop_back();
      levels_.back().back() = closed;
    }
  }

  void add(size_t d, ZU_SEXP* x) { levels_[d].push_back(x); }

  ZU_SEXP* finish() {
    close_newest(0);
    return list_of(levels_[0]);
  }

 private:
  // An open level's members in final order: the reverse of its list.
  static ZU_SEXP* list_of(const std::vector<ZU_SEXP*>& level) {
    ListBuilder out;
    for (ZU_SEXP* m : level) out.add(m);
    return out.head;
  }

  // A new list of an entry reversed, after its newest entry was put into
  // final order the same way, along the newest entries down.
  static ZU_SEXP* final_order(ZU_SEXP* entry) {
    std::vector<ZU_SEXP*> spine;
    ZU_SEXP* v = entry;
    for (; get_type(v) == ZU_TYPE_LIST; v = v->pair.car) spine.push_back(v);
    ZU_SEXP* closed = v;
    for (size_t i = spine.size(); i-- > 0;) {
      ZU_SEXP* r = cons(closed, nullptr);
      for (ZU_SEXP* p = spine[i]->pair.cdr; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) r = cons(p->pair.car, r);
      closed = r;
    }
    return closed;
  }

  std::vector<std::vector<ZU_SEXP*>> levels_;
};

ZU_SEXP* zu_V2H(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  constexpr const char* kFunc = "V2H";
  ZU_SEXP* x = get_el(form, 1);
  ZU_SEXP* cmp = get_el(form, 2);
  ZU_SEXP* conv = get_el(form, 3);
  if (get_type(x) == ZU_TYPE_NULL) return nullptr;
  if (get_type(x) != ZU_TYPE_LIST || get_type(cmp) != ZU_TYPE_FUNCTION ||
      (conv && get_type(conv) != ZU_TYPE_FUNCTION))
    return error_text_at(form, ZU_ER_TYPE, kFunc, "type missmatch");
  gc_set_nl(cmp, gc_qn_sexp);
  gc_set_nl(conv, gc_qn_sexp);
  auto converted = [&](ZU_SEXP* m) { return conv ? call_quoted(env, conv, m, nullptr, form) : m; };
  ZU_SEXP* first = converted(x->pair.car);
  if (get_type(first) == ZU_TYPE_ERROR) return first;
  Hierarchy tree(first);
  for (ZU_SEXP* p = x; get_type(p->pair.cdr) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* e = p->pair.cdr->pair.car;
    ZU_SEXP* err = nullptr;
    auto depth = static_cast<int32_t>(compare_neighbours(env, cmp, p->pair.car, e, form, kFunc, &err));
    if (err) return err;
    // A depth the tree does not have would lose the entry.
    if (depth < 0 || !tree.open_to(static_cast<size_t>(depth)))
      return error_text_at(form, ZU_ER_PARAM, kFunc, "depth out of range");
    tree.close_newest(static_cast<size_t>(depth));
    ZU_SEXP* v = converted(e);
    if (get_type(v) == ZU_TYPE_ERROR) return v;
    for (int32_t i = 0; i < depth; ++i) {
      if (get_type(v) != ZU_TYPE_LIST) return error_text_at(form, ZU_ER_PARAM, kFunc, "depth out of range");
      v = v->pair.car;
    }
    tree.add(static_cast<size_t>(depth), v);
  }
  return tree.finish();
}

// (m1 m2 ... mn) becomes ((... (mn mn-1) ...) m1); one member stands alone.
ZU_SEXP* zu_h2v(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* row = get_el(form, 1);
  if (get_type(row) == ZU_TYPE_NULL) return nullptr;
  if (get_type(row) != ZU_TYPE_LIST) return error_text_at(form, ZU_ER_TYPE, "h2v", "type missmatch");
  std::vector<ZU_SEXP*> members;
  for (ZU_SEXP* p = row; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) members.push_back(p->pair.car);
  ZU_SEXP* r = members.back();
  for (size_t i = members.size() - 1; i-- > 0;) r = List(r, members[i], ZU_LIST_END);
  return r;
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kCategorize[] = {{"Categorize", zu_Categorize, 1, 3, 3, T}, {}};
const QN_PRIM_DEF kV2H[] = {{"V2H", zu_V2H, 1, 3, 4, T}, {"h2v", zu_h2v, 1, 2, 2, T}, {}};

}  // namespace

void init_Categorize(ZUISP_ENV* env) { bind_prims(env, kCategorize); }
void init_V2H(ZUISP_ENV* env) { bind_prims(env, kV2H); }
