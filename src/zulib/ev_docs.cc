// Eval, ListEval and FormatEval.
#include <string>
#include <vector>

#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zulib/evaluation.h"

namespace {

using WString = std::basic_string<L_CHAR>;

ZU_SEXP* zu_Eval(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* e = get_el(form, 1);
  if (get_type(e) != ZU_TYPE_ENV) return error_text_at(form, ZU_ER_TYPE, "Eval", "type missmatch");
  return eval(e->env, get_el(form, 2));
}

// (hook item) evaluated in env, positioned at the built-in's call.
ZU_SEXP* call_hook(ZUISP_ENV* env, const char* hook, ZU_SEXP* item, ZU_SEXP* form) {
  ZU_SEXP* name = get_symbol_ascii(hook);
  set_sexp_pos(name, form->h.file, form->h.line);
  ZU_SEXP* call = List(name, item, ZU_LIST_END);
  set_sexp_pos(call, form->h.file, form->h.line);
  return eval(env, call);
}

// Results are gathered with ListBuilder: its cells are made in the call's
// collector frame, so the list and what it holds stay pinned.

// ---- ListEval

struct ListEvalOptions {
  std::vector<WString> omit;
  bool text = false;
  bool integer = false;
  bool floating = false;
};

// The head's attributes in order; a later one of a name replaces an
// earlier one.
ListEvalOptions read_options(ZU_SYM_FIELD* sf) {
  ListEvalOptions o;
  for (; sf; sf = sf->next) {
    if (!sf->name) continue;
    const L_CHAR* v = sf->value ? sf->value : l_string(std_cm, "");
    if (zu_wcmp_ascii(sf->name, "omit") == 0) {
      o.omit.clear();
      WString part;
      for (const L_CHAR* p = v;; ++p) {
        if (*p == ',' || *p == 0) {
          if (!part.empty()) o.omit.push_back(part);
          part.clear();
          if (*p == 0) break;
        } else {
          part.push_back(*p);
        }
      }
    } else if (zu_wcmp_ascii(sf->name, "text") == 0) {
      o.text = true;
    } else if (zu_wcmp_ascii(sf->name, "integer") == 0) {
      o.integer = true;
    } else if (zu_wcmp_ascii(sf->name, "floating") == 0) {
      o.floating = true;
    }
  }
  return o;
}

// The element's name for the priority and omit rules: a symbol's, or the
// head symbol's of a list; null otherwise.
const ZU_ATOM* element_name(ZU_SEXP* el, bool symbol_too) {
  if (symbol_too && get_type(el) == ZU_TYPE_SYMBOL) return el->symbol.atom;
  if (get_type(el) == ZU_TYPE_LIST && get_type(el->pair.car) == ZU_TYPE_SYMBOL) return el->pair.car->symbol.atom;
  return nullptr;
}

bool omitted(const ListEvalOptions& o, ZU_SEXP* el) {
  const ZU_ATOM* a = element_name(el, false);
  if (!a) return false;
  for (const WString& w : o.omit) {
    if (w.size() == a->len && w.compare(0, w.size(), a->name, a->len) == 0) return true;
  }
  return false;
}

// The main pass's evaluation of one element.
ZU_SEXP* list_item(ZUISP_ENV* env, const ListEvalOptions& o, ZU_SEXP* el, ZU_SEXP* form) {
  switch (get_type(el)) {
    case ZU_TYPE_STRING:
      if (o.text) return call_hook(env, "__text", el, form);
      break;
    case ZU_TYPE_INTEGER:
      if (o.integer) return call_hook(env, "__integer", el, form);
      break;
    case ZU_TYPE_FLOATING:
      if (o.floating) return call_hook(env, "__float", el, form);
      break;
    default:
      break;
  }
  return eval(env, el);
}

// (ListEval env list name...): the elements named by the further arguments
// first, in their order, then every other element in list order.
ZU_SEXP* zu_ListEval(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZU_SEXP* e = get_el(form, 1);
  if (get_type(e) == ZU_TYPE_ENV) env = e->env;
  else if (get_type(e) != ZU_TYPE_NULL)
    return error_text_at(form, ZU_ER_TYPE, "ListEval", nullptr);
  ZU_SEXP* items = get_el(form, 2);
  if (get_type(items) == ZU_TYPE_NULL) return nullptr;
  int n = list_length(items);
  if (get_type(items) != ZU_TYPE_LIST || n < 0) return error_text_at(form, ZU_ER_TYPE, "ListEval", nullptr);
  ListEvalOptions o = read_options(sf);
  std::vector<char> marked(static_cast<size_t>(n), 0);
  ListBuilder result;
  for (ZU_SEXP* a = form->pair.cdr->pair.cdr->pair.cdr; get_type(a) == ZU_TYPE_LIST; a = a->pair.cdr) {
    ZU_SEXP* want = a->pair.car;
    if (get_type(want) != ZU_TYPE_SYMBOL) {
      result.add(want);
      continue;
    }
    ZU_SEXP* v = nullptr;
    int i = 0;
    for (ZU_SEXP* p = items; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr, ++i) {
      if (marked[static_cast<size_t>(i)] || element_name(p->pair.car, true) != want->symbol.atom) continue;
      marked[static_cast<size_t>(i)] = 1;
      v = eval(env, p->pair.car);
      if (get_type(v) == ZU_TYPE_ERROR) return v;
      break;
    }
    result.add(v);
  }
  int i = 0;
  for (ZU_SEXP* p = items; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr, ++i) {
    if (ZU_SEXP* b = do_break_check(form)) return b;  // a long document answers a cancel
    if (marked[static_cast<size_t>(i)] || omitted(o, p->pair.car)) continue;
    ZU_SEXP* v = list_item(env, o, p->pair.car, form);
    if (get_type(v) == ZU_TYPE_ERROR) return v;
    result.add(v);
  }
  return result.head;
}

// ---- FormatEval

// Walks items into out; an error that ends the walk is returned.
ZU_SEXP* format_walk(ZUISP_ENV* env, ZU_SEXP* items, ListBuilder* out, ZU_SEXP* form) {
  if (zu_stack_low()) return error_text_at(form, ZU_ER_EVAL_DEPTH, "FormatEval", "evaluation nested too deeply");
  for (ZU_SEXP* p = items; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    if (ZU_SEXP* b = do_break_check(form)) return b;
    ZU_SEXP* item = p->pair.car;
    switch (get_type(item)) {
      case ZU_TYPE_ERROR:
        return item;
      case ZU_TYPE_LIST: {
        int h = get_type(item->pair.car);
        if (h == ZU_TYPE_ERROR) return item->pair.car;
        if (h == ZU_TYPE_SYMBOL || h == ZU_TYPE_FUNCTION) {
          out->add(eval(env, item));
          break;
        }
        // Another head: one entry, the walk of the list's own members.
        ListBuilder sub;
        if (ZU_SEXP* e = format_walk(env, item, &sub, form)) return e;
        out->add(sub.head);
        break;
      }
      case ZU_TYPE_STRING:
      case ZU_TYPE_INTEGER:
      case ZU_TYPE_FLOATING:
        out->add(call_hook(env, "__text", item, form));
        out->add(item);
        break;
      default:
        out->add(eval(env, item));
        break;
    }
  }
  return nullptr;
}

ZU_SEXP* zu_FormatEval(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* e = get_el(form, 1);
  if (get_type(e) != ZU_TYPE_ENV) return error_text_at(form, ZU_ER_TYPE, "FormatEval", nullptr);
  ListBuilder result;
  if (ZU_SEXP* err = format_walk(e->env, form->pair.cdr->pair.cdr, &result, form)) return err;
  return result.head;
}

const QN_PRIM_DEF kEval[] = {{"Eval", zu_Eval, 1, 3, 3, ZU_FUNC_FORM_TRANSIENT}, {}};
const QN_PRIM_DEF kListEval[] = {{"ListEval", zu_ListEval, 1, 3, -1, 0}, {}};
const QN_PRIM_DEF kFormatEval[] = {{"FormatEval", zu_FormatEval, 1, 3, -1, 0}, {}};

}  // namespace

void init_Eval(ZUISP_ENV* env) { bind_prims(env, kEval); }
void init_ListEval(ZUISP_ENV* env) { bind_prims(env, kListEval); }
void init_FormatEval(ZUISP_ENV* env) { bind_prims(env, kFormatEval); }
