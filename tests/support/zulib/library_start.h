// Test support at the library's layer: the library bound once per process
// into the real top environments, and a value shown as a reply shows it.
// Header-only, as the other layers' support.
#pragma once

#include <string>

#include "stream/stream.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/env.h"
#include "zu/printer.h"
#include "zulib/library.h"

// Runs `start` (what the caller's tests need below the library: the core
// alone, or the interpreter runtime and the layers above it), then binds
// the library into the two top environments with the command line "prog".
// Once per process: later calls do nothing, whatever they name.
inline void bind_library_once(void (*start)()) {
  static bool done = [start] {
    start();
    static char prog[] = "prog";
    static char* argv[] = {prog, nullptr};
    init_function(qnlisp_top_env0, qnlisp_top_env1, 1, argv);
    return true;
  }();
  (void)done;
}

// How an error value's function is written: as its bare text, or printed
// as a ZU string (in quotes).
enum class ErrorFunc { kBare, kQuoted };

// A value as a reply shows it; an error as "error <hex code> <function>
// <data>" (no site or position).
inline std::string shown_value(ZU_SEXP* v, ErrorFunc func) {
  STREAM* st = s_open_string_write(utf8_cm);
  if (get_type(v) == ZU_TYPE_ERROR) {
    s_printf(st, "error %x ", v->error->code);
    if (func == ErrorFunc::kQuoted) print_sexp(st, get_string(v->error->func), 0);
    else s_printf(st, "%s", n_string(utf8_cm, v->error->func));
    s_printf(st, " ");
    print_sexp(st, v->error->data, 0);
  } else {
    print_sexp(st, v, 0);
  }
  std::string r = s_get_string(st);
  d_s_close(st);
  return r;
}
