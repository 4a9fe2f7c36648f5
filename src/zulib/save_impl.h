// The CSV writer of Save.
#pragma once

#include "stream/stream.h"
#include "zu/value.h"

// Writes records as a CSV table to st, with columns read from `columns`
// (has_columns) or made from the records. False when a write failed or the
// break check stopped the walk (then *stop holds its error).
bool write_csv(STREAM* st, ZU_SEXP* records, bool has_columns, ZU_SEXP* columns, ZU_SEXP* form, ZU_SEXP** stop);
