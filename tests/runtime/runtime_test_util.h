#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/alloc.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "text/lchar.h"
#include "runtime/interp.h"
#include "stream/stream.h"
#include "zu/env.h"
#include "zu/gc.h"
#include "support/temp_dir.h"
#include "zu/printer.h"

// Wide text from ASCII, and back (for comparisons).
inline std::basic_string<L_CHAR> W(const std::string& s) {
  return std::basic_string<L_CHAR>(s.begin(), s.end());
}
// Takes a tagged wide result (may be null: "<null>") and frees it.
inline std::string take(L_CHAR* s) {
  if (!s) return "<null>";
  std::string r;
  for (L_CHAR* p = s; *p; ++p) r.push_back(static_cast<char>(*p));
  d_f_ree(s);
  return r;
}

// A value in list form, as a reply would show it.
inline std::string printed(ZU_SEXP* v) {
  STREAM* st = s_open_string_write(utf8_cm);
  print_sexp(st, v, 0);
  std::string r = s_get_string(st);
  d_s_close(st);
  return r;
}

// A main interpreter that reads a FIFO nobody writes to, so that it lives
// until the process ends: when the main interpreter closes, no other
// interpreter may start in the process. True while it is the main one.
inline bool ensure_main_interpreter() {
  static int main_iid = -1;
  if (get_main_interpreter_state() == 0) {
    TempDir dir("main");
    std::string fifo = dir.at("main.fifo");
    if (mkfifo(fifo.c_str(), 0600) != 0) return false;
    static int writer = open(fifo.c_str(), O_RDWR);  // kept open: no end of input
    (void)writer;
    ZuThreadScope scope("test");
    ZU_INTERPRETER* z = new_zu_interpreter();
    z->a_type = ZUI_FILE;
    z->env = new_env(qnlisp_top_env1);
    z->input_file_name = nl_copy_str(std_cm, fifo.c_str());
    main_iid = setup_i(z);  // the FIFO stays open after its folder is gone
  }
  return get_main_interpreter_state() == 1 && get_main_interpreter() == main_iid;
}

// The end of a child body (support/child.h) that started the library: the
// collector task stops before the process's thread-local state goes, as
// the test environment of test_env.cc does after the tests.
inline int child_exit(int status) {
  stop_gc_task();
  return status;
}
