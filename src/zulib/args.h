// The script arguments: the command line from a lone "/" on, as the
// built-ins Arg and ArgOption read it.
//
// The state is written by init_sh_arg (or set_arg) in the start-up thread
// before any script runs and only read afterwards, so it takes no lock.
#pragma once

#include "zu/env.h"

// Keeps the argument vector (not copied) and finds the separator: the first
// argument from index 1 on that is exactly "/" (argc when there is none).
void init_sh_arg(int argc, char** argv);
// Keeps a private copy of the vector (each text copied, ended by a null
// entry) with the separator index given. Nothing in the program calls it.
void set_arg(int argc, char** argv, int offset);

// Registration of Arg and ArgOption (second top environment).
void init_Arg(ZUISP_ENV* env);
