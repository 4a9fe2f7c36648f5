// Pieces shared by the printing built-ins.
#pragma once

#include "stream/stream.h"

// Points a standard stream (&s_stdout or &s_stderr) at `to` (nothing for a
// null stream). A chain stream that it pointed at before and that no
// standard stream names any more is closed.
void redirect_std(STREAM** slot, STREAM* to);
