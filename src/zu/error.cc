// Error values.
#include "base/alloc.h"
#include "zu/value.h"

namespace {

ZU_ERROR* new_error(ZU_FILE* f, int line, uint32_t code, ZU_SEXP* data) {
  auto* e = static_cast<ZU_ERROR*>(mmalloc(sizeof(ZU_ERROR), nullptr));
  e->site = get_zulisp_site();
  e->file = f;
  e->line = line;
  e->code = code;
  e->data = data;
  return e;
}

}  // namespace

ZU_SEXP* get_error(ZU_FILE* f, int line, uint32_t code, const L_CHAR* func, ZU_SEXP* data) {
  ZU_SEXP* s = new_sexp(ZU_TYPE_ERROR);
  s->h.file = f;
  s->h.line = line;
  s->error = new_error(f, line, code, data);
  s->error->func = ll_copy_mstr(func);
  return s;
}

ZU_SEXP* get_error_ascii(ZU_FILE* f, int line, uint32_t code, const char* func, ZU_SEXP* data) {
  ZU_SEXP* s = new_sexp(ZU_TYPE_ERROR);
  s->h.file = f;
  s->h.line = line;
  s->error = new_error(f, line, code, data);
  s->error->func = ascii_copy_mstr(func);
  return s;
}
