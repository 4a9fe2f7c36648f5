// Converters between ZU values and program records: URL records on the
// collector's heap and the survey of the code sets a value's text uses.
#pragma once

#include <cstdint>

#include "stream/url.h"
#include "zu/value.h"

struct CODE_METHOD;

// A copy of a URL record on the collector's heap (record and texts
// collected, pinned in the caller's frame; the record's mark function
// keeps its texts). Null for null.
URL* mcopy_url(const URL* u);
// Mark function of a record made by mcopy_url.
void gc_mcopy_url(void* u);

// Code-set survey: how often each code set occurs among the characters
// above 255 of a value's texts (strings, symbol names, attribute names and
// values, units, error functions and data). A character's code set is the
// identifier (lccode) of the first registered encoding that can express
// it. str_max bounds the characters examined (negative: no bound). With
// `against` set, the survey also counts in `missing` the characters above
// 255 that encoding cannot express.
struct CS_COUNT {
  CS_COUNT* next;
  L_CHAR code_set;
  int64_t count;
};
struct CS_WORK {
  CS_COUNT* head;  // most frequent first after each survey
  int str_max;
  int64_t examined;  // characters examined so far
  CODE_METHOD* against = nullptr;
  int64_t missing = 0;
};
// Adds the survey of s to w. cs_sexp_on_mem does not force delayed values
// (it passes them over); cs_sexp does.
void cs_sexp_on_mem(CS_WORK* w, ZU_SEXP* s);
void cs_sexp(CS_WORK* w, ZU_SEXP* s);
// Frees the counts (the record itself belongs to the caller).
void free_cs_work(CS_WORK* w);
