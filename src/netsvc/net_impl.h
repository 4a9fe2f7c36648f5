// Inside the network services: the registrations of the built-in families
// (handed to the library by init_netsvc) and the helpers they share.
#pragma once

#include <cstdint>

#include "text/convert.h"
#include "zu/env.h"
#include "zu/eval.h"
#include "zu/value.h"

// ---- registrations, in the library's binding order
void init_GetURL(ZUISP_ENV* env);
void init_OpenInterpreter(ZUISP_ENV* env);
void init_CloseInterpreter(ZUISP_ENV* env);
void init_Remote(ZUISP_ENV* env);
void init_GetIid(ZUISP_ENV* env);
void init_SetMainInterpreter(ZUISP_ENV* env);
void init_WaitInterpreter(ZUISP_ENV* env);
void init_SetThisAgentName(ZUISP_ENV* env);
void init_GetLocalHostName(ZUISP_ENV* env);
void init_GetLocalHostIP(ZUISP_ENV* env);
void init_SetLocalHostName(ZUISP_ENV* env);
void init_ComposeURL(ZUISP_ENV* env);
void init_GetCPUStatus(ZUISP_ENV* env);
void init_URLStringCode(ZUISP_ENV* env);
void init_DecodeURLString(ZUISP_ENV* env);
void init_SetProxy(ZUISP_ENV* env);
void init_GetProxy(ZUISP_ENV* env);
void init_GetMainInterpreter(ZUISP_ENV* env);
void init_GetZUIinfo(ZUISP_ENV* env);

// ---- helpers
// An error value positioned at the call form, from function `func`, with
// any data value.
inline ZU_SEXP* net_error_data(ZU_SEXP* form, uint32_t code, const char* func, ZU_SEXP* data) {
  return get_error_ascii(form ? form->h.file : nullptr, form ? form->h.line : 0, code, func, data);
}
// The same with the string `text` as data (nil when text is null).
inline ZU_SEXP* net_error(ZU_SEXP* form, uint32_t code, const char* func, const char* text) {
  return net_error_data(form, code, func, text ? get_string_ascii(text) : nullptr);
}
// The same with data a one-member list holding the string `text`.
inline ZU_SEXP* net_error_list(ZU_SEXP* form, uint32_t code, const char* func, const char* text) {
  return net_error_data(form, code, func, list(get_string_ascii(text)));
}
inline bool is_string(ZU_SEXP* s) { return get_type(s) == ZU_TYPE_STRING; }
inline bool is_integer(ZU_SEXP* s) { return get_type(s) == ZU_TYPE_INTEGER; }
// The text of the head symbol's attribute `name`, or null.
template <size_t N>
inline const L_CHAR* net_option(ZU_SYM_FIELD* sf, const char (&name)[N]) {
  return sf ? get_sf_attribute(sf, l_string(std_cm, name)) : nullptr;
}
// Appends one member to a list being built.
struct NET_LIST {
  ZU_SEXP* head = nullptr;
  ZU_SEXP* last = nullptr;
  void add(ZU_SEXP* v) {
    ZU_SEXP* c = cons(v, nullptr);
    if (last) last->pair.cdr = c;
    else head = c;
    last = c;
  }
};
