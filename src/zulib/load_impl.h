// The pending loads of Load and their reading, shared by Load and Save.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/lock.h"
#include "stream/stream.h"
#include "text/codemethod.h"
#include "text/regex.h"
#include "zu/file.h"
#include "zu/value.h"

// The terminator of a text load. Characters are fed one at a time; every
// attempt to match that starts at a character lives on as long as the
// automaton can go on, and attempts in the same automaton state are one
// (the earliest), so each character costs at most one step per state and
// a terminator that never completes stays linear. A match is the longest
// one from the earliest start at which one can begin, and needs at least
// one character.
struct STATE_CHECKER {
  AUTOMATON* a = nullptr;
  size_t stptr = 0;   // start of the match found (index in the piece)
  size_t endptr = 0;  // just past its end

  struct Attempt {
    size_t start;
    A_STATE* state;
  };
  A_STATE* start_state = nullptr;
  std::vector<Attempt> live;  // attempts that have not matched, earliest first
  bool leader = false;        // an attempt has matched (every live one starts before it)
  size_t lead_start = 0, lead_end = 0;
  A_STATE* lead_state = nullptr;  // null once it cannot go on
  std::vector<uint32_t> seen;     // per state id: the step that holds it
  uint32_t step = 0;

  explicit STATE_CHECKER(AUTOMATON* automaton);
  void reset();
};
// Feeds the character at index `index` of the piece: 1 when a match is
// complete (stptr and endptr set), else 0.
int en_state_checker(STATE_CHECKER* sc, L_CHAR c, size_t index);
// At the end of the input: 1 when the characters fed hold a match (the
// longest found so far), else 0.
int en_state_checker_end(STATE_CHECKER* sc);

// Replaces each "&cx<hex>;" (or "&Cx", "&cX" ...; the ";" may be missing
// at the end of the text) in the first n characters of text by the
// character it names; returns the new length.
size_t zu_load_escape(L_CHAR* text, size_t n);

// Reading state of a text load.
struct TEXT_READ;

// A pending raw or text load, in collected memory (mark: zu_load_gc).
struct DELAY_LOAD_T {
  DELAY_FUNC h;
  STREAM* st;  // the open file, null once closed
  void* work;
  ZU_CLOSE_FUNC close_func;
  DELAY_LOAD_T* next;  // on df_list
  AUTOMATON* term_a;
  L_CHAR* backbuffer;  // characters read past a match, read again first
  size_t bb_size;
  size_t bb_ptr;       // next to take; empty when not below bb_size
  int escapeflag;
  SEM lk;              // one force of the load at a time
  int64_t offset;      // raw: bytes handed out so far
  TEXT_READ* text;     // text modes: decoder and piece
};

// A new pending load on an open stream, pushed on df_list; its delayed
// value (the list) is the result. Text modes give a terminator (or null)
// and the escape flag. Stream, terminator and work are taken only once it
// returns: a refusal for memory leaves them the caller's.
ZU_SEXP* new_delay_load(STREAM* st, bool text, AUTOMATON* term_a, int escapeflag, ZU_CLOSE_FUNC func, void* work);

// The error that ends a raw or text list: 0x80010101 from "load" with
// (why); load_read_error's reason is "cannot read the file", that of a
// text piece longer than the cap "line too long".
ZU_SEXP* load_error(const char* why);
ZU_SEXP* load_read_error();

// Copies the unread rest of the raw load behind delayed value d to out
// without forcing d (which stays as it was): 1 done, 0 when d is no
// unforced raw load of a regular file, -1 when reading failed, -2 when
// writing failed, or an error value in *stop when the break check stopped
// it (result -3).
int load_raw_copy(ZU_SEXP* d, STREAM* out, ZU_SEXP* form, ZU_SEXP** stop);
