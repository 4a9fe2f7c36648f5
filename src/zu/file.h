// Reader states (ZU_FILE): one per source the reader reads. Values read from
// a source point to its state, so a state lives while any of them does; the
// collector drops states that nothing references and calls their close
// functions once the world runs again.
#pragma once

#include <cstdint>

#include "text/codemethod.h"
#include "text/lchar.h"
#include "zu/gc.h"

struct STREAM;

// flags
constexpr uint32_t ZU_FILE_HTML = 16;       // tag and attribute names upper-cased
constexpr uint32_t ZU_FILE_NO_NUMBER = 32;  // text between tags is never a number
// The reader leaves the stream open when it closes (the caller owns it, as
// an interpreter owns a connection that it also replies on).
constexpr uint32_t ZU_FILE_KEEP_STREAM = 0x100;

// Close function: code 1 when the source is closed (finished, abandoned or
// dropped by the collector), code 2 while the collector marks the state (the
// function then marks what `work` holds and must not allocate or block).
using ZU_CLOSE_FUNC = void (*)(int code, void* work);

struct ZU_FILE {
  L_CHAR* name;            // the source's path (collected text) or null
  STREAM* st;              // its stream
  uint32_t flags;
  int32_t line;            // current line
  ZU_CLOSE_FUNC close_func;
  void* work;              // argument of close_func
  void* reader;            // the reader's own state
  GC_MARK_FUNC reader_mark;  // marks `reader` (null: not looked into)
  // Called once when the state is closed or dropped, after close_func: the
  // reader's teardown (closing the stream, freeing decoder state).
  void (*release)(ZU_FILE* f);
  int32_t reg_index;       // position in the list of open states, -1 none
  uint8_t closed;
  // Reader fields.
  L_CHAR* comment;         // description given to init_parse (collected text)
  CODE_METHOD* cm;         // current encoding of the bytes not yet decoded
  CM_WORK cm_work;         // its decoder state
  void* zui;               // the interpreter reading this source, or null
  void (*result_hook)(ZU_FILE* f);  // called after each top-level form is read
  // Asked on the reading thread (memory lock held) before the reader takes
  // more bytes from its stream; it may wait. A negative answer ends the
  // input with the error "input over its memory budget". Null: always read.
  int (*admit_hook)(ZU_FILE* f);
  int64_t rb_time;         // time of the last input (ZU seconds)
};

// A new open reader state (collected, registered).
ZU_FILE* new_zu_file(const L_CHAR* name, STREAM* st);
// Sets the function that is called with `work` when the source closes.
void set_close_func(ZU_FILE* f, ZU_CLOSE_FUNC func, void* work);
// Closes a state now: close function (1), release; later calls do nothing.
void close_zu_file(ZU_FILE* f);
// Number of open (registered) states.
int zu_file_count();
// Mark function of a reader state.
void gc_qn_file(void* f);
