// MakeElement: a copy of a list edited by (InsertAfter tag new),
// (InsertBefore tag new) and (Delete tag) forms, applied in turn.
#include "zu/builtin_kit.h"
#include "zu/eval.h"
#include "zulib/library.h"
#include "zulib/lists.h"

namespace {

constexpr const char* kFunc = "MakeElement";

// Evaluates an operation's tag argument: a symbol, else an error value.
ZU_SEXP* eval_tag(ZUISP_ENV* env, ZU_SEXP* x, ZU_SEXP* form, const char* func) {
  ZU_SEXP* tag = eval(env, x);
  int t = get_type(tag);
  if (t == ZU_TYPE_ERROR || t == ZU_TYPE_SYMBOL) return tag;
  return error_text_at(form, ZU_ER_TYPE, func, "type missmatch");
}

ZU_SEXP* insert(ZUISP_ENV* env, ZU_SEXP* list, ZU_SEXP* op, ZU_SEXP* form, bool after) {
  const char* func = after ? "MakeElement/InsertAfter" : "MakeElement/InsertBefore";
  if (list_length(op) != 3) return error_text_at(form, ZU_ER_LENGTH, func, "invalid parameter length");
  ZU_SEXP* tag = eval_tag(env, get_el(op, 1), form, func);
  if (get_type(tag) == ZU_TYPE_ERROR) return tag;
  gc_set_nl(tag, gc_qn_sexp);
  ZU_SEXP* added = eval(env, get_el(op, 2));
  if (get_type(added) == ZU_TYPE_ERROR) return added;
  gc_set_nl(added, gc_qn_sexp);
  ListBuilder out;
  bool done = false;
  for (ZU_SEXP* p = list; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* m = p->pair.car;
    int tm = get_type(m);
    if (tm == ZU_TYPE_ERROR) return m;
    if (!done && tm == ZU_TYPE_LIST && get_type(m->pair.car) == ZU_TYPE_ERROR) return m->pair.car;
    if (!done && is_element_of(m, tag->symbol.atom)) {
      done = true;
      if (!after) out.add(added);
      out.add(m);
      if (after) out.add(added);
      continue;
    }
    out.add(m);
  }
  if (!done) out.add(added);
  return out.head;
}

ZU_SEXP* delete_tag(ZUISP_ENV* env, ZU_SEXP* list, ZU_SEXP* op, ZU_SEXP* form) {
  const char* func = "MakeElement/Delete";
  if (list_length(op) != 2) return error_text_at(form, ZU_ER_LENGTH, func, "invalid parameter length");
  ZU_SEXP* tag = eval_tag(env, get_el(op, 1), form, func);
  if (get_type(tag) == ZU_TYPE_ERROR) return tag;
  gc_set_nl(tag, gc_qn_sexp);
  ListBuilder out;
  for (ZU_SEXP* p = list; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* m = p->pair.car;
    if (get_type(m) == ZU_TYPE_ERROR) return m;
    if (!is_element_of(m, tag->symbol.atom)) out.add(m);
  }
  return out.head;
}

// One operation form applied to the list.
ZU_SEXP* apply_op(ZUISP_ENV* env, ZU_SEXP* list, ZU_SEXP* op, ZU_SEXP* form) {
  if (get_type(op) != ZU_TYPE_LIST)
    return error_text_at(form, ZU_ER_PARAM, kFunc, "(Insert/Delete element is required)");
  ZU_SEXP* head = op->pair.car;
  if (get_type(head) != ZU_TYPE_SYMBOL)
    return error_text_at(form, ZU_ER_PARAM, kFunc, "(Insert/Delete element is required(symbol))");
  if (zu_wcmp_ascii(sym_name(head), "InsertAfter") == 0) return insert(env, list, op, form, true);
  if (zu_wcmp_ascii(sym_name(head), "InsertBefore") == 0) return insert(env, list, op, form, false);
  if (zu_wcmp_ascii(sym_name(head), "Delete") == 0) return delete_tag(env, list, op, form);
  return error_text_at(form, ZU_ER_PARAM, kFunc, "(Invalid tag");
}

ZU_SEXP* zu_MakeElement(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* list = eval(env, get_el(form, 1));
  int t = get_type(list);
  if (t == ZU_TYPE_ERROR) return list;
  if (t != ZU_TYPE_LIST && t != ZU_TYPE_NULL) return error_text_at(form, ZU_ER_TYPE, kFunc, "type missmatch");
  gc_set_nl(list, gc_qn_sexp);
  for (ZU_SEXP* p = form->pair.cdr->pair.cdr; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    list = apply_op(env, list, p->pair.car, form);
    if (get_type(list) == ZU_TYPE_ERROR) break;
  }
  return list;
}

const QN_PRIM_DEF kMakeElement[] = {{"MakeElement", zu_MakeElement, 0, 2, -1, 0}, {}};

}  // namespace

void init_MakeElement(ZUISP_ENV* env) { bind_prims(env, kMakeElement); }
