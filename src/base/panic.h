// The fatal stop: only for broken in-memory invariants, never for bad input.
#pragma once

// Writes "\n************\n<label> (<pid>)\n************\n" straight to file
// descriptor 2 and ends the process with status 1.
[[noreturn]] void er_panic(const char* label);
