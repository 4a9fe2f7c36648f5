#include "runtime/reply_code.h"

#include "text/convert.h"
#include "zu/convert.h"
#include "zu/reader.h"

namespace {

// The first atom reached through the first elements of nested lists.
ZU_SEXP* first_atom(ZU_SEXP* s) {
  for (int depth = 0; sexp_type(s) == ZU_TYPE_LIST && depth < ZU_READ_MAX_DEPTH; ++depth) s = s->pair.car;
  return s;
}

// The encoding named by a leading (?zu encoding="...") or (?xml
// encoding="..."), or null.
CODE_METHOD* header_encoding(ZU_SEXP* s) {
  ZU_SEXP* a = first_atom(s);
  if (sexp_type(a) != ZU_TYPE_SYMBOL ||
      (zu_wcmp_ascii(sym_name(a), "?zu") != 0 && zu_wcmp_ascii(sym_name(a), "?xml") != 0))
    return nullptr;
  const L_CHAR* enc = get_sf_attribute(sym_field(a), l_string(std_cm, "encoding"));
  return enc ? get_encoding(enc) : nullptr;
}

// The survey lists the most frequent code set first. A character that no
// encoding covers has no code set worth switching to: it is written as a
// character reference in whatever encoding the stream has.
L_CHAR first_known_code_set(const CS_WORK& w) {
  for (CS_COUNT* c = w.head; c; c = c->next)
    if (search_cm_by_lccode(c->code_set)) return c->code_set;
  return ZU_CODE_NONE;
}

// Unicode encodings carry every character (those they lack as references).
bool carries_all(CODE_METHOD* cm) {
  static CODE_METHOD* const unicode[] = {utf8_cm, search_cm("UTF-16"), search_cm("EXTUCS-4"), int_cm};
  for (CODE_METHOD* u : unicode)
    if (cm == u) return true;
  return false;
}

}  // namespace

L_CHAR get_proper_code(ZU_SEXP* s, int str_max) {
  if (CODE_METHOD* cm = header_encoding(s)) return cm->lccode;
  CS_WORK w{nullptr, str_max, 0};
  if (str_max == -2) {
    w.str_max = -1;
    cs_sexp(&w, s);
  } else {
    cs_sexp_on_mem(&w, s);
  }
  L_CHAR code = first_known_code_set(w);
  free_cs_work(&w);
  return code;
}

bool cm_carries(CODE_METHOD* cm, ZU_SEXP* s) {
  if (carries_all(cm)) return true;
  CS_WORK w{nullptr, -1, 0};
  w.against = cm;
  cs_sexp_on_mem(&w, s);
  bool all = w.missing == 0;
  free_cs_work(&w);
  return all;
}

CODE_METHOD* reply_switch(ZU_SEXP* s, CODE_METHOD* cur) {
  if (!cur || carries_all(cur)) return nullptr;
  CODE_METHOD* named = header_encoding(s);
  if (named == cur) return nullptr;
  CS_WORK w{nullptr, -1, 0};
  w.against = cur;
  cs_sexp_on_mem(&w, s);
  L_CHAR code = named ? named->lccode : first_known_code_set(w);
  CODE_METHOD* need = code == ZU_CODE_NONE ? nullptr : search_cm_by_lccode(code);
  bool carried = w.missing == 0;
  free_cs_work(&w);
  return need && need != cur && !carried ? need : nullptr;
}
