// iCalendar reader.
//
// get_cal reads iCalendar text from a stream into nested lists:
// - continuation lines (a line beginning with a blank or a tab) are joined
//   to the line before them, less that first character; lines may end with
//   CRLF or LF;
// - BEGIN:X ... END:X becomes the element (X members...), X a symbol;
// - a property line NAME;P1=V1;P2="V:2":VALUE becomes (NAME "VALUE"), NAME a
//   symbol carrying the parameters as attributes P1="V1" P2="V:2" (quotes
//   around a parameter value are taken off);
// - in values the escapes \n and \N (line feed), \, \; and \\ are decoded
//   (another escaped character stands for itself);
// - the result is the list of the top-level items in order (components, and
//   any property line found outside a component).
// Failures give error values from "get_cal" whose data is (reason line):
// 0x80040503 for text that is not iCalendar (a line without ":" or without
// a name, END without its BEGIN or naming another component, a component
// left open at the end, nesting deeper than 64, a line longer than 1 MiB
// once unfolded) and 0x80010101 when the stream cannot be read.
#pragma once

#include "zu/value.h"

struct CODE_METHOD;

// Reads the whole stream (encoding null: UTF-8). The caller holds the
// memory lock; the stream is not closed.
ZU_SEXP* get_cal(STREAM* st, CODE_METHOD* encoding);
