// Pieces the block coders share: refusals with a reason, and the owner of
// the record lists they build.
#pragma once

#include <cstddef>

#include "store/recordlist.h"

// Records the reason of a refusal; the null result of the refusing call.
inline std::nullptr_t mx_refuse(const char** why, const char* reason) {
  if (why) *why = reason;
  return nullptr;
}

// A headerless record list for a byte block, freed with its pieces and its
// joined block.
class RecordList {
 public:
  RecordList() : rl_(new_recordlist64(0, 0)) {}
  ~RecordList() { free_recordlist64(rl_); }
  RecordList(const RecordList&) = delete;
  RecordList& operator=(const RecordList&) = delete;
  RECORD_LIST64* get() const { return rl_; }

 private:
  RECORD_LIST64* rl_;
};
