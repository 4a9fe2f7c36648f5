// The program body.
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "agent/mx_entry.h"
#include "matrix/matrix.h"
#include "matrix_ops/matrix_ops.h"
#include "base/checked.h"
#include "base/panic.h"
#include "base/signals.h"
#include "netsvc/netsvc.h"
#include "runtime/agent_end.h"
#include "runtime/front.h"
#include "runtime/zu_init.h"
#include "store/l_favt64.h"
#include "zu/peer.h"
#include "zulib/library.h"
#include "zulib/printing.h"

// An exit that did not come through the end (a library's own exit)
// closes the matrices all the same; after the end it does nothing.
void agent_exit_handler() { close_all_mx(); }

int close_matrices_at_end() {
  close_all_mx();
  return mx_end_unsaved();
}

void start_agent(int argc, char** argv) {
  // The network services fill the runtime's and the library's hooks before
  // either starts.
  init_netsvc();
  init_zu();
  set_matrix_gc_hooks();
  init_l_favt64();
  // From here an interrupt (or SIGTERM) asks for the end ("Interrupted",
  // status 1) instead of cancelling a terminal evaluation; the end closes
  // the matrices in its turn, and the watchdog that may cut it short names
  // the closes it cut.
  int_handler.store(zu_end_int_handler);
  set_end_close_matrices(close_matrices_at_end);
  set_end_close_files(close_print_files);
  end_stall_hook.store(mx_end_stalled);
  install_matrix_ops();
  init_matrix();
  // An exit through u_exit that does not come through the end (an
  // interrupt before the script starts, a library's own exit) closes the
  // open matrices first.
  static std::once_flag once;
  std::call_once(once, [] { std::atexit(agent_exit_handler); });
  init_qns();
  init_function(qnlisp_top_env0, qnlisp_top_env1, argc, argv);
  init_qmx_function(qnlisp_top_env0, qnlisp_top_env1);
  if (const char* name = peer_rule_unbound(); name && QNMX_CHECKED) {
    std::string what = std::string("the rule of what a peer may call names no built-in: ") + name;
    er_panic(what.c_str());
  }
  if (std::vector<std::string> rowless = peer_rule_missing(); !rowless.empty() && QNMX_CHECKED) {
    std::string what = "built-ins without a row in the rule of what a peer may call:";
    for (const std::string& name : rowless) what += " " + name;
    er_panic(what.c_str());
  }
}

// The script, then the end (runtime/agent_end.h): a script that could not
// be started keeps its status (1), and so does a change the end could not
// save (its nodes named on the standard error).
int run_agent(int argc, char** argv) { return zu_setup_file(argc, argv); }

int _main(int argc, char** argv) {
  start_agent(argc, argv);
  return run_agent(argc, argv);
}
