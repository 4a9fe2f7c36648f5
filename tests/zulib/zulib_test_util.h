// Evaluating ZU text against the library in tests.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "runtime/services.h"
#include "stream/stream.h"
#include "text/codemethod.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zu/printer.h"
#include "zulib/library.h"

// The library bound once into the real top environments.
inline void init_library_once() {
  static bool done = [] {
    // The language core alone: no interpreter runtime, whose break check
    // would stop evaluations on threads without an interpreter.
    init_stream();
    init_qnlisp();
    static char prog[] = "prog";
    static char* argv[] = {prog, nullptr};
    init_function(qnlisp_top_env0, qnlisp_top_env1, 1, argv);
    return true;
  }();
  (void)done;
}

// A value as a reply shows it, with an error written as
// "error <hex code> <function> <data>" (no site or position).
inline std::string shown(ZU_SEXP* v) {
  STREAM* st = s_open_string_write(utf8_cm);
  if (get_type(v) == ZU_TYPE_ERROR) {
    s_printf(st, "error %x ", v->error->code);
    print_sexp(st, get_string(v->error->func), 0);
    s_printf(st, " ");
    print_sexp(st, v->error->data, 0);
  } else {
    print_sexp(st, v, 0);
  }
  std::string r = s_get_string(st);
  d_s_close(st);
  return r;
}

// Evaluates every form of `text` in order in env; the value of the last.
// The caller holds a ZuThreadScope.
inline ZU_SEXP* eval_text(ZUISP_ENV* env, const std::string& text) {
  ZU_SEXP* forms = sexp_commands(utf8_cm, text.c_str(), nullptr);
  if (get_type(forms) == ZU_TYPE_ERROR) return forms;
  gc_set_nl(forms, gc_qn_sexp);
  return eval_body(env, forms);
}

inline std::string run(ZUISP_ENV* env, const std::string& text) { return shown(eval_text(env, text)); }

// The bytes of a file, and a file made of bytes.
inline std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}
inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}
