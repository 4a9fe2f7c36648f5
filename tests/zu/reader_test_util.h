// Helpers for the reader and printer tests: reading from bytes, printing to
// bytes and comparing values field by field.
#pragma once

#include <iconv.h>

#include <string>

#include "stream/stream.h"
#include "support/text/wide.h"
#include "zu/file.h"
#include "zu/printer.h"
#include "zu/reader.h"
#include "zu/value.h"

inline std::u32string u32(const L_CHAR* s) {
  std::u32string r;
  for (; s && *s; ++s) r.push_back(static_cast<char32_t>(*s));
  return r;
}

// The lazy list of the forms of `bytes` (decoded with cm).
inline ZU_SEXP* open_text(const std::string& bytes, CODE_METHOD* cm = utf8_cm, uint32_t flags = 0) {
  STREAM* st = s_open_string_read(bytes.data(), cm, static_cast<int>(bytes.size()), 1);
  ZU_SEXP* l = init_parse(st, W(U"test"), nullptr);
  if (ZU_FILE* f = sexp_file(l)) f->flags |= flags;
  return l;
}

// Every form, read to the end (the list is forced member by member).
inline ZU_SEXP* read_all(const std::string& bytes, CODE_METHOD* cm = utf8_cm, uint32_t flags = 0) {
  ZU_SEXP* l = open_text(bytes, cm, flags);
  for (ZU_SEXP* p = l; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
  }
  return l;
}

// The first form.
inline ZU_SEXP* read_one(const std::string& bytes, uint32_t flags = 0) {
  ZU_SEXP* l = read_all(bytes, utf8_cm, flags);
  return get_type(l) == ZU_TYPE_LIST ? l->pair.car : nullptr;
}

inline std::string print_str(ZU_SEXP* s, int flags = 0, CODE_METHOD* cm = utf8_cm, int* rc = nullptr) {
  STREAM* st = s_open_string_write(cm);
  int r = print_sexp(st, s, flags);
  if (rc) *rc = r;
  std::string out(s_get_string(st), static_cast<size_t>(s_get_string_len(st)));
  d_s_close(st);
  return out;
}

// Bytes converted by iconv (the outside reference for every encoding);
// "<iconv failed>" when it cannot convert them.
inline std::string iconv_text(const std::string& bytes, const char* from, const char* to) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return "<iconv failed>";
  std::string out(bytes.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(bytes.data());
  size_t il = bytes.size();
  char* o = out.data();
  size_t ol = out.size();
  size_t r = iconv(cd, &in, &il, &o, &ol);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return "<iconv failed>";
  out.resize(out.size() - ol);
  return out;
}

// Structural equality as the round trip needs it: like cmp_sexp, but errors
// by their fields and a missing unit equal to an empty one.
bool same_value(ZU_SEXP* a, ZU_SEXP* b);
