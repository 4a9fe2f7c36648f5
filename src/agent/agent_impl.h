// Helpers shared by the matrix commands beyond the kit of every folder that
// writes built-ins (zu/builtin_kit.h): stored modes by name, the store's
// refusals as error values, and the trace switch.
#pragma once

#include <cstdint>

#include "zu/value.h"

// A stored mode named by text: "direct" 0, "server" 1, "client" 2; -1 for
// any other text.
int qmx_mode_number(const L_CHAR* text);

// A refusal of the matrix store: code 0x80041015 with the store's result,
// at the position of `at` from function `func`.
ZU_SEXP* qmx_store_error(ZU_SEXP* at, const char* func, int result);

// Non-zero when QNMX_TRACE is set: per-call debug lines go to standard
// error only then.
bool qmx_trace();
