#include "zulib/lib_impl.h"

ZU_SEXP* lib_error_data(ZU_SEXP* form, uint32_t code, const char* func, ZU_SEXP* data) {
  ZU_FILE* f = form ? form->h.file : nullptr;
  int line = form ? form->h.line : 0;
  return get_error_ascii(f, line, code, func, data);
}

ZU_SEXP* lib_error(ZU_SEXP* form, uint32_t code, const char* func, const char* text) {
  return lib_error_data(form, code, func, text ? get_string_ascii(text) : nullptr);
}
