// The agent's name, set by the script built-in that names this agent and
// read by the log and the document paths.
#pragma once

#include "text/lchar.h"

// Keeps a copy of name (null clears it).
void set_agent_name(const L_CHAR* name);
// A tagged copy of the name the caller frees, or null when none is set.
L_CHAR* copy_agent_name();
