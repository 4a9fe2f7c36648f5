// zucore_run: runs a ZU file with the language core alone. Each top-level
// form is evaluated in one child of the second top environment and its
// value is printed on its own line (list form). The exit status is 0, or 1
// when the file cannot be opened or its text ends inside a form.
// Start-up: streams, the language core, units, then the collector task.
#include <fcntl.h>

#include <cstdio>
#include <cstring>

#include "stream/stream.h"
#include "zu/core_init.h"
#include "zu/env.h"
#include "zu/eval.h"
#include "zu/printer.h"
#include "zu/reader.h"
#include "zu/unit.h"

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '-') {
    std::fprintf(stderr, "usage: zucore_run FILE.zu\n");
    return 2;
  }
  init_stream();
  init_qnlisp();
  init_unit();
  init_gc_task();
  int status = 0;
  // Every way out passes stop_gc_task: the collector task must end before
  // the main thread's own collector state goes away at exit.
  STREAM* st = s_open_file(argv[1], O_RDONLY, 0);
  if (!st) {
    std::fprintf(stderr, "zucore_run: cannot open %s: %s\n", argv[1], std::strerror(errno));
    status = 1;
  } else {
    ZuThreadScope scope("zucore_run");
    ZU_SEXP* name = n_get_string(argv[1]);
    ZU_SEXP* forms = init_parse(st, str_text(name), nullptr);
    ZUISP_ENV* env = new_env(qnlisp_top_env1);
    // Only the unread rest of the file is held, so a long script's read
    // forms can be collected once evaluated.
    ZU_SEXP* rest = cons(forms, nullptr);
    forms = nullptr;
    for (;;) {
      GcFrame frame("zucore_run form");
      ZU_SEXP* p = rest->pair.car;
      int t = get_type(p);
      if (t == ZU_TYPE_ERROR) {  // the text ended inside a form
        print_sexp(s_stdout, p, 0);
        s_printf(s_stdout, "\n");
        status = 1;
        break;
      }
      if (t != ZU_TYPE_LIST) break;
      if (error_code(p->pair.car) == ZU_ER_END_OF_INPUT) status = 1;
      ZU_SEXP* v = eval(env, p->pair.car);
      print_sexp(s_stdout, v, 0);
      s_printf(s_stdout, "\n");
      rest->pair.car = p->pair.cdr;
    }
    s_flush(s_stdout);
  }
  stop_gc_task();
  return status;
}
