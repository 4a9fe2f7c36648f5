// Start-up of the ZU library and the command-line script runner.
#pragma once

#include "runtime/interp.h"

// Brings the whole library up in its fixed order (once; later calls do
// nothing).
void init_zu();

// Runs the command line: argv[1] the script (looked up on the search path),
// argv[2] the output file, argv[3] the error file ("-" the standard stream,
// "/" ends the list), and then, once it is asked for, the end
// (agent_end.h), of which the calling thread is the runner. The exit
// status: 0, 1 after writing to the standard error why the script could
// not start, or the end's.
int zu_setup_file(int argc, char** argv);

// The file kind's stream set-up (called through setup_i; as the other
// kinds' _setup_i_ functions, it runs under no lock).
int _setup_i_file(ZU_INTERPRETER* zui);
