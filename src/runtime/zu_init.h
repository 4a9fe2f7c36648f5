// Start-up of the ZU library and the command-line script runner.
#pragma once

#include "runtime/interp.h"

// Brings the whole library up in its fixed order (once; later calls do
// nothing).
void init_zu();

// Runs the command line: argv[1] the script (looked up on the search path),
// argv[2] the output file, argv[3] the error file ("-" the standard stream,
// "/" ends the list), and then the end (interp.h): once the main
// interpreter has closed (or only internal interpreters are left) it waits
// for the agent's own session requests in flight, at most
// kEndRequestWaitSeconds, calls before_links (when given) while the
// agent's own links are still open, and shuts the interpreters down.
// Returns 0, or 1 after writing the reason to the standard error.
int zu_setup_file(int argc, char** argv, void (*before_links)() = nullptr);

// The file kind's stream set-up (called through setup_i; as the other
// kinds' _setup_i_ functions, it runs under no lock).
int _setup_i_file(ZU_INTERPRETER* zui);
