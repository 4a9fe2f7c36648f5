// Inside the page cache (record-store sources only): a file's page index
// and the page operations that the cache (page_cache.cc: fetching, eviction,
// write-back, reads) and its write paths (page_write.cc) share.
//
// What stays true is what pdb64.h says of the cache: every cached page has
// len = min(file_size - offset, 4096); a dirty page sits in its file's dirty
// list, a clean one in the ring; real_file_size <= file_size, and every byte
// between them lies in a dirty page. Like the whole cache, these run under
// the record-store lock, which callers hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "store/pdb64.h"

constexpr uint64_t kFacPageMask = ~uint64_t{kFacPageSize - 1};

// Open addressing with linear probing on the page number; deletion shifts
// the following entries back, so there are no tombstones.
struct FacPageIndex {
  std::vector<FAC_ENTRY*> slots = std::vector<FAC_ENTRY*>(64, nullptr);
  size_t count = 0;
  uint64_t max_offset = 0;  // no page lies above this offset

  size_t mask() const { return slots.size() - 1; }
  static size_t hash(uint64_t ofs) { return static_cast<size_t>((ofs >> 12) * 0x9E3779B97F4A7C15ull >> 20); }

  FAC_ENTRY* find(uint64_t ofs) const {
    for (size_t i = hash(ofs) & mask();; i = (i + 1) & mask()) {
      FAC_ENTRY* e = slots[i];
      if (!e || e->offset == ofs) return e;
    }
  }
  bool insert(FAC_ENTRY* e) {
    if ((count + 1) * 2 > slots.size()) grow();
    size_t i = hash(e->offset) & mask();
    for (; slots[i]; i = (i + 1) & mask())
      if (slots[i]->offset == e->offset) return false;
    slots[i] = e;
    ++count;
    if (e->offset > max_offset) max_offset = e->offset;
    return true;
  }
  bool erase(uint64_t ofs) {
    size_t i = hash(ofs) & mask();
    for (;; i = (i + 1) & mask()) {
      if (!slots[i]) return false;
      if (slots[i]->offset == ofs) break;
    }
    slots[i] = nullptr;
    --count;
    // Move back entries whose probe run passed through the freed slot.
    for (size_t j = (i + 1) & mask(); slots[j]; j = (j + 1) & mask()) {
      size_t home = hash(slots[j]->offset) & mask();
      bool between = i <= j ? (home <= i || home > j) : (home <= i && home > j);
      if (between) {
        slots[i] = slots[j];
        slots[j] = nullptr;
        i = j;
      }
    }
    return true;
  }
  void grow() {
    std::vector<FAC_ENTRY*> old(slots.size() * 2, nullptr);
    old.swap(slots);
    count = 0;
    for (FAC_ENTRY* e : old)
      if (e) insert(e);
  }
};

// The cached page at page_ofs (a multiple of 4096), or null.
FAC_ENTRY* fac_lookup(FAC_INFO* info, uint64_t page_ofs);
// Fetches the page holding `offset`; status 1 for a page made now (its bytes
// not yet read), 0 for one already held. Null beyond the logical end. May
// evict other clean pages.
FAC_ENTRY* fac_get_entry(int* status, FAC_INFO* info, uint64_t offset);
// Fills a page made now from the disk; the bytes past the on-disk end are
// zero. On failure the page is dropped and -1 returned.
int fac_load_page(FAC_INFO* info, FAC_ENTRY* e);
// Moves a page from the ring to its file's dirty list, and back once it is
// written.
void fac_mark_dirty(FAC_ENTRY* e);
void fac_mark_clean(FAC_ENTRY* e);

// The count of dirty pages at which a write-back that failed now (or one
// for room that left the cache full) is tried again: an eighth of the
// limit more than are dirty now.
int fac_retry_mark();

// Makes room when the cache is full of dirty pages: every file written
// back, but those written back at their owner's points only past the
// ahead floor. 0, or -1 when a write-back failed.
int fac_purge_for_room();

// The system calls by which the cache changes a file or its journal on
// disk. They are a table so that a test can make any one of them fail as a
// full disk would; nothing else replaces them. Each returns what its system
// call does (open a descriptor; the others 0), or -1 with errno.
struct FAC_WRITE_OPS {
  int (*pwritev)(int fd, iovec* iov, int cnt, int64_t offset);  // all of it, or -1
  int (*ftruncate)(int fd, int64_t length);
  int (*datasync)(int fd);
  int (*open)(const char* path, int oflags, int mode);  // the journal's
  int (*allocate)(int fd, int64_t offset, int64_t len);  // fallocate, mode 0
};
extern FAC_WRITE_OPS fac_write_ops;
// The same as u_pwrite_full through the table: 0 or -1.
int fac_pwrite(int fd, const void* data, size_t len, int64_t offset);
// Puts len bytes at the page offset page_ofs of a view (FAC_INFO::view)
// as a dirty page, which is never written (the file's logical length must
// reach the page). 0, or -1 when the page could not be read from disk
// first.
int fac_overlay_page(FAC_INFO* info, uint64_t page_ofs, const uint8_t* data, size_t len);
