// Record lists: build one record (or any byte block) from a fixed part and
// a chain of pieces, joined once before the record is written or sent.
//
// Usual order: new_recordlist64, fill the fixed part through `data` (past
// the 16-byte header), append pieces, setup_recordlist64, use `data` (a
// caller that keeps the joined block takes it and sets the field to null),
// free_recordlist64.
#pragma once

#include <cstdint>

#include "store/pdb64.h"

// One piece appended to a list.
struct CHAIN_LIST64 {
  CHAIN_LIST64* next;
  void* ptr;        // the piece's bytes
  int64_t len;      // their length
  int free_flag;    // non-zero: ptr is a tagged block freed with the chain
};

struct RECORD_LIST64 {
  RECORD_LIST64* next;        // next list of a run (set up and freed together)
  PN64_HEADER header;         // record type and size, host order
  uint64_t fofs;              // for the caller's use
  void* data;                 // fixed part; after set-up the joined block
  void* ptr;                  // position helper
  int64_t body;               // length of the fixed part
  CHAIN_LIST64* chain_head;
  CHAIN_LIST64* chain_tail;
  uint32_t enable_header;     // 1: data begins with a copy of header
};

// A new list whose fixed part has `size` bytes (the 16-byte header
// included; a zeroed body follows it). (0, 0) makes a headerless list for a
// plain byte block. Null for 0 < size < 16 or a size that cannot be held.
RECORD_LIST64* new_recordlist64(uint16_t type, uint64_t size);
// Appends a piece; the bytes are not copied until set-up. The new piece.
CHAIN_LIST64* set_recordlist_chain64(RECORD_LIST64* lst, void* ptr, int64_t len, int free_flag);
// Inserts a piece directly after `before`, one of the list's pieces.
CHAIN_LIST64* set_recordlist_chain64_middle(RECORD_LIST64* lst, CHAIN_LIST64* before, void* ptr, int64_t len,
                                            int free_flag);
// Writes the full size (fixed part plus pieces) into the header at the
// start of data without joining. 0, or -1 when the size cannot be held.
int setup_recordlist64_size(RECORD_LIST64* lst);
// Joins one list: the size it now has, 0 when it had no pieces, -1 (list
// unchanged) when the joined size cannot be held or allocated.
int64_t _setup_recordlist64(RECORD_LIST64* lst);
// Joins every list of the run; the sum of the joined sizes, or -1.
int64_t setup_recordlist64(RECORD_LIST64* lst);
void free_recordlist64(RECORD_LIST64* lst);
void free_chain_list64(CHAIN_LIST64* c);
void set_recordlist_ptr64(RECORD_LIST64* lst, int64_t body);
int check_recordlist_ptr64(RECORD_LIST64* lst);
