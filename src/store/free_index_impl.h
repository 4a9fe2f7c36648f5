// The index of an open file's free space (record-store sources only).
//
// Free segments of the chain sit in a balanced tree by offset (a treap whose
// nodes are the chain elements themselves), each node carrying the largest
// disk size of its subtree, so that the highest segment large enough for a
// request is found in logarithmic time. Segments of one disk size are also
// kept by size for exact fits. Space freed outside the chain (a merge whose
// size no record can have) is remembered as an orphan until a neighbour is
// freed. Guarded, like the file, by the record-store lock.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <unordered_map>

#include "store/pdb64.h"

struct FreeIndex {
  FREELIST64* root = nullptr;
  size_t count = 0;
  std::unordered_map<uint64_t, std::set<uint64_t>> by_size;  // disk size -> offsets
  std::map<uint64_t, uint64_t> orphans;                       // offset -> disk size
  uint64_t seed = 0x2545F4914F6CDD1Dull;

  // e keyed by e->fofs, sized by its memory size; e must not be indexed.
  void insert(FREELIST64* e);
  // Takes the segment at fofs out; it, or null.
  FREELIST64* erase(uint64_t fofs);
  // Gives an indexed segment a new offset and memory size.
  void move(FREELIST64* e, uint64_t fofs, uint64_t mem_size);
  FREELIST64* find(uint64_t fofs) const;
  FREELIST64* lowest_above(uint64_t fofs) const;     // offset > fofs
  FREELIST64* lowest_at_or_above(uint64_t fofs) const;
  FREELIST64* highest_below(uint64_t fofs) const;    // offset < fofs
  // The segment that first fit in chain order (from the highest offset
  // down) gives a record of disk size hd: an exact fit, or one larger by
  // more than 12 bytes whose remainder some record can cover. Null if none.
  FREELIST64* fit(uint64_t hd) const;
  // Indexes a chain given from its highest element down, in linear time;
  // the index must be empty.
  void build_descending(FREELIST64* first);
  size_t size() const { return count; }
};

// Disk size of a chain element.
inline uint64_t freelist_disk_size(const FREELIST64* f) { return pn64_disk_size(f->f.h.size); }
