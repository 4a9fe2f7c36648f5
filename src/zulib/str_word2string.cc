// Word2String: text decoded from byte codes written a fixed number of
// bytes per code.
#include <algorithm>
#include <cstdlib>
#include <string>

#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zulib/strings.h"

namespace {

constexpr const char* kFunc = "Word2String";

// A character's code without its code-set bits: the tagged ranges keep
// their low 24, 16 or 8 bits.
uint32_t plain_code(L_CHAR c) {
  if (c >= 0x80000000 && c <= 0xBFFFFFFF) return c & 0xFFFFFF;
  if (c >= 0xC0000000 && c <= 0xDFFFFFFF) return c & 0xFFFF;
  if (c >= 0xE0000000 && c <= 0xEFFFFFFF) return c & 0xFF;
  return c;
}

void put_code(std::string* bytes, uint32_t code, int word) {
  for (int k = word - 1; k >= 0; --k) bytes->push_back(static_cast<char>((code >> (8 * k)) & 0xFF));
}

// Appends x's bytes: 0 done, -1 a value that gives no bytes, -2 nested too
// deeply.
int put_bytes(std::string* bytes, ZU_SEXP* x, int word) {
  if (zu_stack_low()) return -2;
  switch (get_type(x)) {
    case ZU_TYPE_STRING:
      for (const L_CHAR* p = str_text(x); *p; ++p) put_code(bytes, plain_code(*p), word);
      return 0;
    case ZU_TYPE_INTEGER:
      put_code(bytes, static_cast<uint32_t>(x->integer.num), word);
      return 0;
    case ZU_TYPE_NULL:
      return 0;
    case ZU_TYPE_LIST:
      for (ZU_SEXP* p = x; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
        if (int rc = put_bytes(bytes, p->pair.car, word); rc < 0) return rc;
      }
      return 0;
    default:
      return -1;
  }
}

ZU_SEXP* zu_Word2String(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  const L_CHAR* w = head_option(sf, "word");
  long word = w ? std::strtol(n_string(std_cm, w), nullptr, 0) : 1;
  word = std::clamp(word, 1L, 4L);
  const L_CHAR* name = head_option(sf, "encoding");
  CODE_METHOD* cm = name ? get_encoding(name) : std_cm;
  if (!cm) return error_text_at(form, ZU_ER_PARAM, kFunc, "invalid encoding");
  std::string bytes;
  int rc = put_bytes(&bytes, get_el(form, 1), static_cast<int>(word));
  if (rc == -2) return error_list_at(form, ZU_ER_EVAL_DEPTH, kFunc, "list nested too deeply");
  if (rc < 0) return error_text_at(form, ZU_ER_TYPE, kFunc, "type missmatch");
  // Zero units end the text, whatever the encoding's unit size.
  bytes.append(4, '\0');
  return get_string(_l_string_1(cm, bytes.data()));
}

const QN_PRIM_DEF kWord2String[] = {{"Word2String", zu_Word2String, 1, 2, 2, ZU_FUNC_FORM_TRANSIENT}, {}};

}  // namespace

void init_Word2String(ZUISP_ENV* env) { bind_prims(env, kWord2String); }
