// Version records of the program's layers, kept in one global list, newest
// first.
#pragma once

#include <cstdint>

struct VERSION {
  const char* layer;
  const char* name;
  const char* publisher;
  const char* version;
  uint16_t year;
  uint8_t month;  // 0 when only the year is known
  uint8_t day;    // 0 when only the year and month are known
  VERSION* next;
  const char* comment;
};

// Links the record at the head of the list. The record is not copied: it
// must live for the rest of the process (usually a static). Linking the same
// record twice is a broken invariant and stops the process.
void set_version(VERSION* v);
// The first record whose layer equals `layer`, null when none; with null,
// the head of the list. Records are never unlinked, so a caller may follow
// `next` without a lock.
VERSION* get_version(const char* layer);
// Frees a record made with the tagged allocator, and its tagged texts (for
// records built at run time, never for linked ones). Null is ignored.
void free_version(VERSION* v);
