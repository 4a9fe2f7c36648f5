// Parse: the forms of a string, read lazily and not evaluated.
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/eval.h"
#include "zu/reader.h"
#include "zulib/io_impl.h"
#include "zulib/library.h"
#include "zulib/printing.h"

namespace {

// The text is handed to the reader in the internal encoding (each code as
// its four bytes), so every character reaches it unchanged.
ZU_SEXP* zu_Parse(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* s = get_el(form, 1);
  if (get_type(s) != ZU_TYPE_STRING) return error_text_at(form, ZU_ER_TYPE, "Parse", "type missmatch");
  const L_CHAR* text = str_text(s);
  size_t bytes = l_strlen(text) * sizeof(L_CHAR);
  if (bytes > INT32_MAX) return error_text_at(form, ZU_ER_PARAM, "Parse", "text too long");
  STREAM* st = s_open_string_read(reinterpret_cast<const char*>(text), int_cm, static_cast<int>(bytes), 1);
  if (!st) return error_text_at(form, ZU_ER_STREAM, "Parse", "access stream");
  static const L_CHAR kName[] = {'P', 'a', 'r', 's', 'e', 0};
  ZU_SEXP* forms = init_parse(st, kName, kName);
  if (sexp_type(forms) == ZU_TYPE_ERROR) {
    d_s_close(st);
    return forms;
  }
  zu_set_cm(sexp_file(forms), int_cm);
  return forms;
}

const QN_PRIM_DEF kParse[] = {{"Parse", zu_Parse, 1, 2, 2, ZU_FUNC_FORM_TRANSIENT}, {}};

}  // namespace

void init_Parse(ZUISP_ENV* env) { bind_prims(env, kParse); }
