// Type names and casts: Cast converts a value to another type named by
// text, TypeOf and GetType name a value's type. The number reading of
// Cast's string conversions is offered here on its own so that it can be
// driven directly (by the fuzz target among others).
//
// Reading a number from text: every tab, line feed, carriage return and
// space is removed wherever it stands (with zero skipping, also each "0"
// that a decimal digit follows, until the first character kept); then an
// optional sign and the number are read, and the rest of the text is the
// number's unit. Integers take "0x" hexadecimal, a leading "0" octal,
// decimal otherwise, and must fit in 64 bits; floating numbers are
// decimal with an optional fraction and exponent, read in double
// precision. A text without digits reads as 0 and is all unit.
#pragma once

#include <cstdint>
#include <string>

#include "zu/env.h"

struct CAST_NUMBER {
  std::u32string text;  // the text as compacted
  size_t unit_at = 0;   // where the unit begins in text
  int64_t integer = 0;
  double floating = 0.0;
};

// 0, or -1 when the number does not fit (no result then).
int cast_read_integer(const L_CHAR* s, bool zero_ignore, CAST_NUMBER* out);
int cast_read_floating(const L_CHAR* s, bool zero_ignore, CAST_NUMBER* out);

// Registrations (root environment).
void init_Cast(ZUISP_ENV* env);  // Cast and TypeOf
void init_GetType(ZUISP_ENV* env);
