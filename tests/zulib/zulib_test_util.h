// Evaluating ZU text against the library in tests.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "runtime/services.h"
#include "stream/stream.h"
#include "support/zulib/library_start.h"
#include "text/codemethod.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zu/printer.h"
#include "zulib/library.h"

// The library bound once into the real top environments over the
// language core alone: no interpreter runtime, whose break check would stop
// evaluations on threads without an interpreter.
inline void init_library_once() {
  bind_library_once([] {
    init_stream();
    init_qnlisp();
  });
}

// A value as a reply shows it, with an error written as
// "error <hex code> <function> <data>" (the function as a string; no site
// or position).
inline std::string shown(ZU_SEXP* v) { return shown_value(v, ErrorFunc::kQuoted); }

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
