// The qnmx command: starts the ZU library and runs the script named on the
// command line (qnmx script [output-file [error-file]]). The exit status is
// the script runner's.
#include "base/entry.h"
#include "base/signals.h"
#include "runtime/zu_init.h"

namespace {

int qnmx_main(int argc, char** argv) {
  init_zu();
  // An interrupt ends the program ("Interrupted", status 1) instead of
  // cancelling a terminal evaluation.
  int_handler.store(nullptr);
  return zu_setup_file(argc, argv);
}

}  // namespace

int main(int argc, char** argv) { call_main(argc, argv, qnmx_main); }
