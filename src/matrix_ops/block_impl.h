// Pieces the block coders share: refusals with a reason, and owners of the
// tagged buffers and record lists they build.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/alloc.h"
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

// A tagged buffer of n bytes (contents undefined), freed with its owner
// unless released.
class TaggedBuffer {
 public:
  explicit TaggedBuffer(size_t n) : p_(static_cast<uint8_t*>(d_alloc(n ? n : 1))) {}
  ~TaggedBuffer() {
    if (p_) d_f_ree(p_);
  }
  TaggedBuffer(const TaggedBuffer&) = delete;
  TaggedBuffer& operator=(const TaggedBuffer&) = delete;
  uint8_t* get() const { return p_; }
  uint8_t* release() {
    uint8_t* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  uint8_t* p_;
};
