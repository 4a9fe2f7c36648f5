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
#include "base/lost_output.h"
#include "base/panic.h"
#include "base/signals.h"
#include "netsvc/netsvc.h"
#include "runtime/front.h"
#include "runtime/zu_init.h"
#include "store/l_favt64.h"
#include "zu/peer.h"
#include "zulib/library.h"
#include "zulib/printing.h"

void agent_exit_handler() { close_all_mx(); }

void start_agent(int argc, char** argv) {
  // The network services fill the runtime's and the library's hooks before
  // either starts.
  init_netsvc();
  init_zu();
  set_matrix_gc_hooks();
  init_l_favt64();
  // From here an interrupt (or SIGTERM) ends the program ("Interrupted",
  // status 1) instead of cancelling a terminal evaluation: peers and the
  // scripts stop first, while the links the close needs stay open.
  int_handler.store(zu_end_int_handler);
  // The close of the matrices that the interrupt's exit runs may wait for
  // a slow script of a matrix: the exit waits for it, bounded.
  exit_saving.store(mx_end_saving);
  install_matrix_ops();
  init_matrix();
  // An exit through u_exit (an interrupt, a fatal script error) closes the
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

int run_agent(int argc, char** argv) {
  // A script that could not be started is a failure of the command line,
  // not a success: its status (1) is kept. At the end every matrix is
  // closed while the links its close needs (the lock service's) are still
  // open; script threads may still be running: no matrix opens from there
  // on, and entries close first, each waiting for the commands using it.
  // A change the end could not save (its nodes named on the standard
  // error) fails the run.
  int status = zu_setup_file(argc, argv, close_all_mx);
  close_all_mx();
  if (mx_end_unsaved() > 0) status = 1;
  // Output the script asked for and the end could not write fails the run
  // too: replies or a printed file cut short (said on the standard error).
  close_print_files();
  if (lost_output()) status = 1;
  return status;
}

int _main(int argc, char** argv) {
  start_agent(argc, argv);
  return run_agent(argc, argv);
}
