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
#include "support/runtime/interpreters.h"
#include "support/temp_dir.h"
#include "support/text/wide.h"
#include "zu/printer.h"

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

// The end of a child body (support/child.h) that started the library: the
// collector task stops before the process's thread-local state goes, as
// the folder's STOP_COLLECTOR environment does after the tests.
inline int child_exit(int status) {
  stop_gc_task();
  return status;
}
