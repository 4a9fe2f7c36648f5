// Recovery of a record file whose writer ended without closing it: the
// journal of an interrupted write-back, the tail a crash leaves, and the
// free chain rebuilt from the free records of the file.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/endian.h"
#include "store/free_index_impl.h"
#include "store/page_cache_impl.h"
#include "store/page_journal_impl.h"
#include "store/pdb64_io_impl.h"

namespace {

struct Walk {
  uint64_t end = 0;                                // where the records end
  uint64_t head = 0;                               // the free-list head, 0 for none
  std::vector<std::pair<uint64_t, uint64_t>> free;  // free records: offset, disk size
};

// Walks the records from offset 0. A walk that stops at what a crash
// leaves behind (zeros where the last write-back ended, or a record running
// past the end of the file) gives the offset to cut at; anything else is
// damage that recovery does not guess about: -1.
int walk_records(PDB64* p, Walk* w) {
  uint64_t size = static_cast<uint64_t>(pdb64_file_size(p));
  uint64_t o = 0;
  while (o < size) {
    uint8_t b[12] = {};
    uint64_t avail = std::min<uint64_t>(sizeof b, size - o);
    if (pdb64_read_at(p, o, b, avail) < 0) return -1;
    PHYS_PN64_HEADER ph;
    bool zeros = std::all_of(b, b + avail, [](uint8_t c) { return c == 0; });
    bool cut_short = avail < 4 || (load_be16(b + 2) == 0xFFFE && avail < 8) || (load_be16(b + 2) == 0xFFFF && avail < 12);
    if (zeros || cut_short) break;
    if (pn64_decode_phys(b, avail, &ph) < 0) return -1;
    if (ph.length > size - o) break;  // a record cut short by the end
    if (ph.type == kPn64FreeSegType) w->free.emplace_back(o, ph.length);
    if (ph.type == kPn64FreeListType && !w->head && o > 0) w->head = o;
    o += ph.length;
  }
  w->end = o;
  return 0;
}

// Rebuilds the chain from the free records found: touching ones are joined
// into one segment where some record covers the whole run, free space at
// the end is cut off, and what cannot join the chain stays marked free.
int rebuild_chain(PDB64* p, Walk& w, std::vector<std::pair<uint64_t, uint64_t>>* orphans) {
  std::vector<std::pair<uint64_t, uint64_t>> segs;  // ascending
  for (size_t i = 0; i < w.free.size();) {
    size_t j = i;
    uint64_t start = w.free[i].first, stop = start + w.free[i].second;
    while (j + 1 < w.free.size() && w.free[j + 1].first == stop) stop += w.free[++j].second;
    // Longest prefix of the run that some record covers; the rest stays
    // outside the chain.
    size_t k = j;
    while (k > i && !(stop - start >= 12 && pn64_disk_size_ok(stop - start))) stop = w.free[k--].first;
    if (stop - start >= 12 && pn64_disk_size_ok(stop - start)) {
      segs.emplace_back(start, stop - start);  // written with its link below
    } else {
      orphans->push_back(w.free[i]);
    }
    for (size_t m = k + 1; m <= j; ++m) orphans->push_back(w.free[m]);
    i = j + 1;
  }
  // Free space at the end goes back to the file system.
  uint64_t end = w.end;
  while (!segs.empty() && segs.back().first + segs.back().second == end) {
    end = segs.back().first;
    segs.pop_back();
  }
  while (!orphans->empty() && orphans->back().first + orphans->back().second == end) {
    end = orphans->back().first;
    orphans->pop_back();
    while (!segs.empty() && segs.back().first + segs.back().second == end) {
      end = segs.back().first;
      segs.pop_back();
    }
  }
  if (end < w.end && fac_truncate(&p->fac, end) < 0) return -1;
  w.end = end;
  p->recovery.free_segments = segs.size();
  // Linked from the highest down, as the chain runs.
  uint64_t next = 0;
  for (auto [at, d] : segs) {
    FREELIST64 f{};
    f.f.h = PN64_HEADER{kPn64FreeSegType, {0, 0, 0}, pn64_mem_size(d)};
    f.f.next = next;
    if (save_freelist64(p, &f, at) < 0) return -1;
    next = at;
  }
  FREELIST64 head{};
  head.f.h = PN64_HEADER{kPn64FreeListType, {0, 0, 0}, 24};
  head.f.next = next;
  return save_freelist64(p, &head, w.head);
}

// Walks the records and cuts the tail a crash left: from the file on disk
// first when on_disk (it holds nothing of the last write-back, and a disk
// left full by a write-back that failed gets its room back before the
// recovery needs some), else from the cached length only. 0, -1 the cut
// failed, -2 damage a crash does not leave (errno EIO).
int cut_crash_tail(PDB64* p, Walk* w, bool on_disk) {
  if (walk_records(p, w) < 0) {
    errno = EIO;
    return -2;
  }
  uint64_t size = static_cast<uint64_t>(pdb64_file_size(p));
  p->recovery.cut = size - w->end;
  if (w->end >= size) return 0;
  if (on_disk)
    return fac_write_ops.ftruncate(p->fid, static_cast<int64_t>(w->end)) < 0 || fac_reload(&p->fac) < 0 ? -1 : 0;
  return fac_truncate(&p->fac, w->end) < 0 ? -1 : 0;
}

}  // namespace

int pdb64_recover(PDB64* p, std::vector<std::pair<uint64_t, uint64_t>>* orphans) {
  p->recovery = PDB64_RECOVERY{1, 0, 0, 0};
  if (p->fac.journal) {
    int j = fac_journal_replay(p->fac.journal, p->fid);
    if (j < 0 || fac_reload(&p->fac) < 0) return -1;
    p->recovery.journal = j;
  }
  Walk w;
  const uint64_t size = static_cast<uint64_t>(pdb64_file_size(p));
  if (int r = cut_crash_tail(p, &w, true)) return r;
  if (w.head && rebuild_chain(p, w, orphans) < 0) return -1;
  p->recovery.cut = size - w.end;  // free space at the end goes too
  return fac_flush(&p->fac) < 0 || fac_sync(&p->fac) < 0 ? -1 : 0;
}

int pdb64_recovered_view(PDB64* p, const char* path) {
  p->recovery = PDB64_RECOVERY{1, 0, 0, 0};
  p->fac.view = 1;
  if (!p->fac.direct) {
    std::string journal = std::string(path) + "-journal";
    int j = fac_journal_overlay(journal.c_str(), &p->fac);
    if (j < 0) return -1;
    p->recovery.journal = j;
  }
  Walk w;
  return cut_crash_tail(p, &w, false);
}
