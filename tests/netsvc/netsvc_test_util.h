// The network services in tests: the library and this layer started once
// per process, values printed as replies show them, wide texts.
#pragma once

#include <string>

#include "netsvc/netsvc.h"
#include "runtime/services.h"
#include "runtime/zu_init.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/printer.h"
#include "zulib/library.h"

inline void start_netsvc_once() {
  static bool done = [] {
    init_netsvc();
    init_zu();
    static char prog[] = "prog";
    static char* argv[] = {prog, nullptr};
    init_function(qnlisp_top_env0, qnlisp_top_env1, 1, argv);
    return true;
  }();
  (void)done;
}

inline std::basic_string<L_CHAR> wide(const std::string& s) {
  const L_CHAR* w = _l_string_1(utf8_cm, s.c_str());
  return w ? std::basic_string<L_CHAR>(w) : std::basic_string<L_CHAR>();
}

inline std::string narrow(const L_CHAR* s) { return s ? std::string(n_string(utf8_cm, s)) : "<null>"; }

// A value as a reply shows it; an error as "error <hex code> <function>
// <data>".
inline std::string shown(ZU_SEXP* v) {
  STREAM* st = s_open_string_write(utf8_cm);
  if (get_type(v) == ZU_TYPE_ERROR) {
    s_printf(st, "error %x %s ", v->error->code, n_string(utf8_cm, v->error->func));
    print_sexp(st, v->error->data, 0);
  } else {
    print_sexp(st, v, 0);
  }
  std::string r = s_get_string(st);
  d_s_close(st);
  return r;
}

// The forms of text; the caller holds a ZuThreadScope.
inline ZU_SEXP* forms_of(const std::string& text) { return sexp_commands(utf8_cm, text.c_str(), nullptr); }
