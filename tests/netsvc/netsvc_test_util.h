// The network services in tests: the library and this layer started once
// per process, values printed as replies show them, wide texts.
#pragma once

#include <string>

#include "netsvc/netsvc.h"
#include "runtime/services.h"
#include "runtime/zu_init.h"
#include "stream/stream.h"
#include "support/zulib/library_start.h"
#include "text/convert.h"
#include "zu/printer.h"
#include "zulib/library.h"

inline void start_netsvc_once() {
  bind_library_once([] {
    init_netsvc();
    init_zu();
  });
}

inline std::basic_string<L_CHAR> wide(const std::string& s) {
  const L_CHAR* w = _l_string_1(utf8_cm, s.c_str());
  return w ? std::basic_string<L_CHAR>(w) : std::basic_string<L_CHAR>();
}

inline std::string narrow(const L_CHAR* s) { return s ? std::string(n_string(utf8_cm, s)) : "<null>"; }

// A value as a reply shows it; an error as "error <hex code> <function>
// <data>", the function bare.
inline std::string shown(ZU_SEXP* v) { return shown_value(v, ErrorFunc::kBare); }

// The forms of text; the caller holds a ZuThreadScope.
inline ZU_SEXP* forms_of(const std::string& text) { return sexp_commands(utf8_cm, text.c_str(), nullptr); }
