// Start-up and interpreter services of the network layer, the log and the
// named locks, as the library start-up and the interpreters call them.
//
// The network services belong to a layer above this one; they are declared
// with their table (net_ops.h), which this header brings in.
#pragma once

#include "runtime/net_ops.h"
#include "zu/env.h"

// Keeps a copy of the agent identification text and returns it; the caller
// keeps its own text.
char* set_setagent_msg(const char* text);
// The text last handed to set_setagent_msg, or null.
const char* get_setagent_msg();

// The log (given the two top environments) and the named locks.
void init_log(ZUISP_ENV* env0, ZUISP_ENV* env1);
void init_call_lock();
