// Sort, NaturalJoin and Projection, with the member order they share.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "zu/arith.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zulib/tables.h"
#include "zulib/tables_impl.h"

// ---- the member order

namespace {

// The symbols of a ","-separated name list, in order; empty names skipped.
ZU_SEXP* field_list(const L_CHAR* text) {
  ListBuilder out;
  for (const L_CHAR* p = text; p && *p;) {
    const L_CHAR* e = p;
    while (*e && *e != ',') ++e;
    if (e > p) out.add(get_symbol_len(p, static_cast<size_t>(e - p)));
    p = *e ? e + 1 : e;
  }
  return out.head;
}

}  // namespace

ZU_SEXP* field_value(ZU_SEXP* record, const ZU_ATOM* field) {
  for (ZU_SEXP* p = record; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    if (is_element_of(p->pair.car, field)) return p->pair.car;
  }
  return nullptr;
}

MemberOrder::MemberOrder(ZUISP_ENV* parent, const L_CHAR* fields, ZU_SEXP* form, const char* func)
    : env_(new_env(parent)), fields_(field_list(fields)), form_(form), func_(func) {
  gc_set_nl(env_, gc_qnlisp_env);
  bind_private_env(env_, get_symbol_ascii("field-list")->symbol.atom, fields_);
}

MemberOrder::MemberOrder(ZUISP_ENV* env, ZU_SEXP* cmp, ZU_SEXP* form, const char* func)
    : env_(env), cmp_(cmp), quote_(get_symbol_ascii("quote")), form_(form), func_(func) {
  gc_set_nl(cmp, gc_qn_sexp);  // its name may be rebound by the calls
  call_ = quoted_call(nullptr, nullptr);
}

ZU_SEXP* MemberOrder::quoted_call(ZU_SEXP* a, ZU_SEXP* b) {
  ZU_SEXP* call = List(cmp_, List(quote_, a, ZU_LIST_END), List(quote_, b, ZU_LIST_END), ZU_LIST_END);
  set_sexp_pos(call, form_->h.file, form_->h.line);
  return call;
}

bool MemberOrder::is_field(ZU_SEXP* m) const {
  if (!is_element(m)) return false;
  for (ZU_SEXP* f = fields_; f; f = f->pair.cdr) {
    if (m->pair.car->symbol.atom == f->pair.car->symbol.atom) return true;
  }
  return false;
}

ZU_SEXP* MemberOrder::compare(ZU_SEXP* a, ZU_SEXP* b, int* order) {
  // What one comparison makes is dropped when it ends, but for its error.
  size_t mark = gc_root_mark();
  ZU_SEXP* err = cmp_ ? compare_called(a, b, order) : compare_fields(a, b, order);
  gc_root_release(mark, err, gc_qn_sexp);
  return err;
}

ZU_SEXP* MemberOrder::compare_fields(ZU_SEXP* a, ZU_SEXP* b, int* order) {
  *order = 0;
  if (ZU_SEXP* stop = do_break_check(form_)) return stop;
  for (ZU_SEXP* f = fields_; f; f = f->pair.cdr) {
    const ZU_ATOM* name = f->pair.car->symbol.atom;
    ZU_SEXP* fa = field_value(a, name);
    ZU_SEXP* fb = field_value(b, name);
    for (int sign : {-1, 1}) {
      ZU_SEXP* lt = sign < 0 ? BINARY(lt_t, env_, fa, fb) : BINARY(lt_t, env_, fb, fa);
      if (get_type(lt) != ZU_TYPE_INTEGER) return lt;
      if (lt->integer.num != 0) {
        *order = sign;
        return nullptr;
      }
    }
  }
  return nullptr;
}

ZU_SEXP* MemberOrder::compare_called(ZU_SEXP* a, ZU_SEXP* b, int* order) {
  *order = 0;
  // A function of argument order 1 receives the values, never this form,
  // so one form serves every call; any other gets a form of its own.
  ZU_SEXP* call = call_;
  if (cmp_->func->order == 1) {
    get_el(call, 1)->pair.cdr->pair.car = a;
    get_el(call, 2)->pair.cdr->pair.car = b;
  } else {
    call = quoted_call(a, b);
  }
  ZU_SEXP* r = eval(env_, call);
  switch (get_type(r)) {
    case ZU_TYPE_INTEGER:
      *order = r->integer.num < 0 ? -1 : r->integer.num > 0;
      return nullptr;
    case ZU_TYPE_ERROR:
      return r;
    default:
      return error_text_at(form_, ZU_ER_TYPE, func_, "return value type missmatch of compare function");
  }
}

// ---- the merge

namespace {

struct Run {
  int32_t head;  // first member's index, -1 for none
  int32_t tail;
};

class Merger {
 public:
  Merger(ZU_SEXP* list, MemberOrder* order) : order_(order) {
    for (ZU_SEXP* p = list; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) items_.push_back(p->pair.car);
    next_.assign(items_.size(), -1);
  }

  ZU_SEXP* sort() {
    std::vector<Run> chain;
    for (size_t i = items_.size(); i-- > 0;) chain.push_back({static_cast<int32_t>(i), static_cast<int32_t>(i)});
    std::vector<Run> made;
    while (chain.size() > 1) {
      made.clear();
      for (size_t k = 0; k + 1 < chain.size(); k += 2) {
        Run r{-1, -1};
        if (ZU_SEXP* err = merge(chain[k], chain[k + 1], &r)) return err;
        made.push_back(r);
      }
      if (chain.size() % 2) made.push_back(chain.back());
      chain.assign(made.rbegin(), made.rend());
    }
    ZU_SEXP* r = nullptr;
    for (int32_t i = chain.empty() ? -1 : chain[0].head; i >= 0; i = next_[i]) r = cons(items_[i], r);
    return r;
  }

 private:
  void put(Run* out, int32_t i) {
    if (out->tail >= 0) next_[out->tail] = i;
    else out->head = i;
    out->tail = i;
  }

  ZU_SEXP* merge(Run first, Run second, Run* out) {
    int32_t a = first.head;
    int32_t b = second.head;
    while (a >= 0 && b >= 0) {
      int order = 0;
      if (ZU_SEXP* err = order_->compare(items_[a], items_[b], &order)) return err;
      int32_t& from = order < 0 ? b : a;
      int32_t moved = from;
      from = next_[moved];
      put(out, moved);
    }
    for (int32_t rest = a >= 0 ? a : b; rest >= 0;) {
      int32_t moved = rest;
      rest = next_[moved];
      put(out, moved);
    }
    next_[out->tail] = -1;
    return nullptr;
  }

  MemberOrder* order_;
  std::vector<ZU_SEXP*> items_;  // members of a list the caller keeps
  std::vector<int32_t> next_;    // the run each member is in, as links
};

}  // namespace

ZU_SEXP* merge_sort(ZU_SEXP* list, MemberOrder* order) { return Merger(list, order).sort(); }

// ---- Sort

namespace {

ZU_SEXP* zu_Sort(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "Sort";
  ZU_SEXP* x = get_el(form, 1);
  if (get_type(x) != ZU_TYPE_LIST || list_length(x) < 0)
    return error_at(form, ZU_ER_TYPE, kFunc, data_list("list", "is type missmatch"));
  if (const L_CHAR* fields = head_option(sf, "field")) {
    MemberOrder order(env, fields, form, kFunc);
    return merge_sort(x, &order);
  }
  ZU_SEXP* cmp = get_el(form, 2);
  if (get_type(cmp) != ZU_TYPE_FUNCTION)
    return error_at(form, ZU_ER_TYPE, kFunc, data_list("compare function", "is type missmatch"));
  MemberOrder order(env, cmp, form, kFunc);
  return merge_sort(x, &order);
}

// ---- NaturalJoin and Projection

// Whether the switch named by the option is on: anything but "off".
bool switch_on(const L_CHAR* v) { return !v || zu_wcmp_ascii(v, "off") != 0; }

// A table: a proper list (maybe empty) of records that are lists. Sorted
// first when `sort` is set. Null with *err set when it is not a table or
// the sort failed.
std::vector<ZU_SEXP*> table_rows(ZU_SEXP* t, bool sort, MemberOrder* order, ZU_SEXP* form, const char* func,
                                 ZU_SEXP** err) {
  std::vector<ZU_SEXP*> rows;
  *err = nullptr;
  if (list_length(t) < 0 && get_type(t) != ZU_TYPE_NULL) {
    *err = error_text_at(form, ZU_ER_TYPE, func, "type missmatch");
    return rows;
  }
  for (ZU_SEXP* p = t; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    int type = get_type(p->pair.car);
    if (type != ZU_TYPE_LIST && type != ZU_TYPE_NULL) {
      *err = error_text_at(form, ZU_ER_TYPE, func, "type missmatch");
      return rows;
    }
  }
  if (sort && t) {
    t = merge_sort(t, order);
    if (get_type(t) == ZU_TYPE_ERROR) {
      *err = t;
      return rows;
    }
  }
  for (ZU_SEXP* p = t; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) rows.push_back(p->pair.car);
  return rows;
}

// Adds a record's members after its tag (all of them when it has no tag
// symbol) less its field children.
void add_non_fields(ListBuilder* out, ZU_SEXP* record, const MemberOrder& order) {
  ZU_SEXP* p = record;
  if (is_element(p)) p = p->pair.cdr;
  for (; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    if (!order.is_field(p->pair.car)) out->add(p->pair.car);
  }
}

ZU_SEXP* joined(ZU_SEXP* a, ZU_SEXP* b, const MemberOrder& order) {
  ListBuilder out;
  for (ZU_SEXP* p = a; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) out.add(p->pair.car);
  add_non_fields(&out, b, order);
  return out.head;
}

ZU_SEXP* zu_NaturalJoin(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "NaturalJoin";
  MemberOrder order(qnlisp_top_env0, head_option(sf, "field"), form, kFunc);
  ZU_SEXP* err = nullptr;
  auto as = table_rows(get_el(form, 1), switch_on(head_option(sf, "sort1")), &order, form, kFunc, &err);
  if (err) return err;
  auto bs = table_rows(get_el(form, 2), switch_on(head_option(sf, "sort2")), &order, form, kFunc, &err);
  if (err) return err;
  // A merge join; a run of equal records of b meets every equal record of a.
  ZU_SEXP* r = nullptr;
  size_t i = 0;
  size_t j = 0;
  while (i < as.size() && j < bs.size()) {
    int c = 0;
    if ((err = order.compare(as[i], bs[j], &c))) return err;
    if (c < 0) {
      ++i;
    } else if (c > 0) {
      ++j;
    } else {
      for (size_t k = j; k < bs.size(); ++k) {
        if (k > j && (err = order.compare(as[i], bs[k], &c))) return err;
        if (c != 0) break;
        r = cons(joined(as[i], bs[k], order), r);
      }
      ++i;
    }
  }
  return r;
}

// The key of a group: the first record's tag (`record` when it has none)
// and its field values, last field first.
ZU_SEXP* group_key(ZU_SEXP* record, const MemberOrder& order) {
  ZU_SEXP* values = nullptr;
  for (ZU_SEXP* f = order.fields(); f; f = f->pair.cdr)
    values = cons(field_value(record, f->pair.car->symbol.atom), values);
  ZU_SEXP* tag = is_element(record) ? record->pair.car : get_symbol_ascii("record");
  return cons(tag, values);
}

// (key... (table (record ...) ...)), the group's records last first.
ZU_SEXP* group_element(ZU_SEXP* key, const std::vector<ZU_SEXP*>& group, const MemberOrder& order) {
  ListBuilder table;
  table.add(get_symbol_ascii("table"));
  for (auto g = group.rbegin(); g != group.rend(); ++g) {
    ListBuilder rec;
    rec.add(get_symbol_ascii("record"));
    add_non_fields(&rec, *g, order);
    table.add(rec.head);
  }
  ListBuilder out;
  for (ZU_SEXP* p = key; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) out.add(p->pair.car);
  out.add(table.head);
  return out.head;
}

ZU_SEXP* zu_Projection(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "Projection";
  MemberOrder order(qnlisp_top_env0, head_option(sf, "field"), form, kFunc);
  ZU_SEXP* err = nullptr;
  auto rows = table_rows(get_el(form, 1), switch_on(head_option(sf, "sort1")), &order, form, kFunc, &err);
  if (err) return err;
  ZU_SEXP* r = nullptr;
  ZU_SEXP* key = nullptr;
  std::vector<ZU_SEXP*> group;
  for (ZU_SEXP* row : rows) {
    int c = 0;
    if ((err = order.compare(row, key, &c))) return err;
    if (c != 0) {
      if (!group.empty()) r = cons(group_element(key, group, order), r);
      group.clear();
      key = group_key(row, order);
    }
    group.push_back(row);
  }
  if (!group.empty()) r = cons(group_element(key, group, order), r);
  return r;
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kSort[] = {{"Sort", zu_Sort, 1, 2, 3, T}, {}};
const QN_PRIM_DEF kNaturalJoin[] = {{"NaturalJoin", zu_NaturalJoin, 1, 3, 3, T}, {}};
const QN_PRIM_DEF kProjection[] = {{"Projection", zu_Projection, 1, 2, 2, T}, {}};

}  // namespace

void init_Sort(ZUISP_ENV* env) { bind_prims(env, kSort); }
void init_NaturalJoin(ZUISP_ENV* env) { bind_prims(env, kNaturalJoin); }
void init_Projection(ZUISP_ENV* env) { bind_prims(env, kProjection); }
