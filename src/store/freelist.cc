// Free space inside a record file.
//
// Free segments (type 0x0104) are chained from the free-list head (type
// 0x0103) in descending order of offset; no two touch. The whole chain is
// read and checked when the file is opened and then kept in memory, with an
// index by offset and size (free_index_impl.h), so that freeing finds its
// neighbours and allocation its segment without walking the chain.
// Allocation is first fit in chain order, from the highest offset down.
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "store/pdb64.h"
#include "store/free_index_impl.h"
#include "store/pdb64_io_impl.h"

namespace {

int debug_check = 0;

uint64_t disk_of(const FREELIST64* f) { return freelist_disk_size(f); }

FREELIST64* new_element(uint16_t type, uint64_t size, uint64_t next, uint64_t fofs) {
  auto* e = static_cast<FREELIST64*>(d_calloc(1, sizeof(FREELIST64)));
  e->f.h = PN64_HEADER{type, {0, 0, 0}, size};
  e->f.next = next;
  e->fofs = fofs;
  return e;
}

// The element whose `next` is a segment at fofs (or would be): the next
// higher segment, or the head.
FREELIST64* before_of(PDB64* p, uint64_t fofs) {
  FREELIST64* above = p->free_index->lowest_above(fofs);
  return above ? above : p->freelist_work;
}

// Marks space that cannot join the chain as a free segment outside it, so
// that nothing searching by type finds the stale record.
int orphan_record(PDB64* p, uint64_t fofs) {
  uint8_t t[2];
  store_be16(t, kPn64FreeSegType);
  return pdb64_write_at(p, fofs, t, 2);
}

// Moves a segment to a new offset and size (the element keeps its place in
// memory), then links its predecessor to it.
int move_segment(PDB64* p, FREELIST64* before, FREELIST64* seg, uint64_t nofs, uint64_t nsize) {
  FREELIST64 moved = *seg;
  moved.f.h.size = nsize;
  if (save_freelist64(p, &moved, nofs) < 0) return -1;
  if (before->f.next != nofs) {
    uint64_t old = before->f.next;
    before->f.next = nofs;
    if (save_freelist64(p, before, before->fofs) < 0) {
      before->f.next = old;
      return -1;
    }
  }
  p->free_index->move(seg, nofs, nsize);
  return 0;
}

int run_debug_check(PDB64* p) { return debug_check && check_freelist64(p) == -2 ? -1 : 0; }

}  // namespace

void set_pdb64_debug_check(int on) { debug_check = on; }
int get_pdb64_debug_check() { return debug_check; }

int load_freelist64(PDB64* p, FREELIST64* f, uint64_t fofs) {
  PHYS_PN64_HEADER ph;
  if (pdb64_read_phys(p, fofs, &ph) < 0) return -1;
  uint64_t body = ph.length - static_cast<uint64_t>(ph.width);
  if (body < 8) {
    errno = EIO;
    return -1;
  }
  uint8_t next[8];
  if (pdb64_read_at(p, fofs + static_cast<uint64_t>(ph.width), next, 8) < 0) return -1;
  f->f.h = PN64_HEADER{ph.type, {0, 0, 0}, body + 16};
  f->f.next = load_be64(next);
  f->fofs = fofs;
  f->next = nullptr;
  return 0;
}

int save_freelist64(PDB64* p, FREELIST64* f, uint64_t fofs) {
  uint8_t buf[20];
  int w = pn64_encode_phys(buf, f->f.h.type, f->f.h.size);
  store_be64(buf + w, f->f.next);
  return pdb64_write_at(p, fofs, buf, static_cast<uint64_t>(w) + 8);
}

FREELIST64* next_freelist64(PDB64* p, FREELIST64* f) {
  if (f->next || f->f.next == 0) return f->next;
  FREELIST64 tmp;
  if (load_freelist64(p, &tmp, f->f.next) < 0 || tmp.f.h.type != kPn64FreeSegType) return nullptr;
  FREELIST64* e = new_element(tmp.f.h.type, tmp.f.h.size, tmp.f.next, tmp.fofs);
  f->next = e;
  if (p->free_index) p->free_index->insert(e);
  return e;
}

FREELIST64* insert_freelist64(PDB64* p, FREELIST64* f, uint64_t fofs, uint64_t size) {
  if (size < 24) return nullptr;
  FREELIST64* e = new_element(kPn64FreeSegType, size, f->f.next, fofs);
  if (save_freelist64(p, e, fofs) < 0) {
    d_f_ree(e);
    return nullptr;
  }
  uint64_t old = f->f.next;
  f->f.next = fofs;
  if (save_freelist64(p, f, f->fofs) < 0) {
    f->f.next = old;
    d_f_ree(e);
    return nullptr;
  }
  e->next = f->next;
  f->next = e;
  if (p->free_index) p->free_index->insert(e);
  return e;
}

int delete_freelist64(uint64_t* retp, PDB64* p, FREELIST64* b) {
  FREELIST64* x = next_freelist64(p, b);
  if (!x) return -1;
  uint64_t old = b->f.next;
  b->f.next = x->f.next;
  if (save_freelist64(p, b, b->fofs) < 0) {
    b->f.next = old;
    return -1;
  }
  b->next = x->next;
  if (retp) *retp = x->fofs;
  if (p->free_index) p->free_index->erase(x->fofs);
  d_f_ree(x);
  return 0;
}

void free_freelist64(FREELIST64* f) {
  while (f) {
    FREELIST64* n = f->next;
    d_f_ree(f);
    f = n;
  }
}

void pdb64_drop_chain(PDB64* p) {
  free_freelist64(p->freelist_work);
  p->freelist_work = nullptr;
  delete p->free_index;
  p->free_index = nullptr;
}

int pdb64_load_chain(PDB64* p) {
  FREELIST64* head = p->freelist_work;
  if (!head) return 0;
  // The chain is indexed once it has been read whole.
  delete p->free_index;
  p->free_index = nullptr;
  uint64_t size = static_cast<uint64_t>(pdb64_file_size(p));
  uint64_t head_end = head->fofs + pn64_disk_size(head->f.h.size);
  FREELIST64* prev = head;
  while (prev->f.next != 0) {
    uint64_t o = prev->f.next;
    bool bad = o >= size || o < 32 || (o < head_end && o >= head->fofs);
    if (!bad && prev != head) bad = o >= prev->fofs;
    FREELIST64* e = bad ? nullptr : next_freelist64(p, prev);
    if (e) {
      uint64_t end = o + disk_of(e);
      bad = end > size || (end > head->fofs && o < head->fofs) || (prev != head && end >= prev->fofs);
    }
    if (!e || bad) {
      // Unlink what was loaded: the file stays as it is, and the open fails.
      free_freelist64(head->next);
      head->next = nullptr;
      p->free_index = new FreeIndex;
      errno = EIO;
      return -1;
    }
    prev = e;
  }
  p->free_index = new FreeIndex;
  p->free_index->build_descending(head->next);
  return 0;
}

int check_freelist64(PDB64* p) {
  FREELIST64* head = p->freelist_work;
  if (!head) return -1;
  uint64_t size = static_cast<uint64_t>(pdb64_file_size(p));
  size_t count = 0;
  FREELIST64* prev = nullptr;
  for (FREELIST64* f = head; f; prev = f, f = f->next) {
    FREELIST64 disk;
    const char* fault = nullptr;
    if (f->next && f->next->fofs != f->f.next)
      fault = "check_freelist(-1)";
    else if (!f->next && f->f.next != 0)
      fault = "check_freelist(-1)";
    else if (f->fofs >= size)
      fault = "check_freelist64(0)";
    else if (prev && f->f.h.type != kPn64FreeSegType)
      fault = "check_freelist64(1)";
    else if (prev && prev != head && prev->fofs <= f->fofs)
      fault = "check_freelist64(2)";
    else if (prev && prev != head && prev->fofs <= f->fofs + disk_of(f))
      fault = "check_freelist64(3)";
    else if (load_freelist64(p, &disk, f->fofs) < 0 || disk.f.h.type != f->f.h.type ||
             disk.f.h.size != f->f.h.size || disk.f.next != f->f.next)
      fault = "check_freelist64(4)";
    if (fault) {
      std::fprintf(stderr, "prv%lli ofs%lli typ%x siz%lli\n", prev ? static_cast<long long>(prev->fofs) : -1LL,
                   static_cast<long long>(f->fofs), f->f.h.type, static_cast<long long>(f->f.h.size));
      std::fprintf(stderr, "%s\n", fault);
      return -2;
    }
    if (f != head) ++count;
  }
  if (p->free_index && p->free_index->size() != count) {
    std::fprintf(stderr, "check_freelist64(5)\n");
    return -2;
  }
  return 0;
}

namespace {

// Takes a free segment's space for a record of disk size hd (first fit):
// its offset, 0 when no segment fits, -1 on failure.
int64_t take_free_space(PDB64* p, uint64_t hd) {
  FREELIST64* seg = p->free_index->fit(hd);
  if (!seg) return 0;
  uint64_t ofs = seg->fofs;
  FREELIST64* prev = before_of(p, ofs);
  uint64_t sd = disk_of(seg);
  if (sd == hd) {
    if (delete_freelist64(&ofs, p, prev) < 0) return -1;
  } else if (move_segment(p, prev, seg, ofs + hd, pn64_mem_size(sd - hd)) < 0) {
    return -1;
  }
  return static_cast<int64_t>(ofs);
}

bool allocatable(const PDB64* p, uint64_t size) {
  if (p && p->freelist_work && size >= 24 && size <= kPn64MaxMemSize) return true;
  errno = EINVAL;
  return false;
}

}  // namespace

int64_t alloc_filespace64(PDB64* p, const PN64_HEADER* h) {
  if (!h || !allocatable(p, h->size)) return -1;
  if (run_debug_check(p) < 0) return -1;
  uint64_t hd = pn64_disk_size(h->size);
  uint8_t ph[12];
  int w = pn64_encode_phys(ph, h->type, h->size);
  int64_t result = take_free_space(p, hd);
  if (result > 0) {
    if (pdb64_write_at(p, static_cast<uint64_t>(result), ph, static_cast<uint64_t>(w)) < 0) return -1;
  } else if (result == 0) {
    PN64_HEADER net = *h;
    change_endian_header64(&net);
    result = fs_raw_write64(p, &net, 3);
  }
  if (result < 0 || run_debug_check(p) < 0) return -1;
  return result;
}

int64_t alloc_write_filespace64(PDB64* p, const PN64_HEADER* h, std::span<const iovec> body) {
  PN64_HEADER host = h ? *h : PN64_HEADER{};
  change_endian_header64(&host);
  uint64_t len = 0;
  for (const iovec& v : body) len += v.iov_len;
  if (!h || !allocatable(p, host.size) || len != host.size - 16) {
    errno = EINVAL;
    return -1;
  }
  if (run_debug_check(p) < 0) return -1;
  int64_t at = take_free_space(p, pn64_disk_size(host.size));
  if (at < 0) return -1;
  uint64_t end = static_cast<uint64_t>(pdb64_file_size(p));
  uint64_t place = at > 0 ? static_cast<uint64_t>(at) : end;
  if (fac_lseek(&p->fac, static_cast<int64_t>(place), 0) != static_cast<int64_t>(place)) {
    errno = EIO;
    return -1;
  }
  if (pdb64_write_pieces(p, h, body, false) < 0) {
    if (at == 0) {
      // An appended record that could not be written whole leaves no trace.
      int saved = errno;
      fac_truncate(&p->fac, end);
      errno = saved;
    }
    return -1;
  }
  if (run_debug_check(p) < 0) return -1;
  return static_cast<int64_t>(place);
}

int truncate_check64(PDB64* p, uint64_t length) {
  if (!p->freelist_work) return -1;
  FREELIST64* seg = p->free_index->highest_below(length);
  if (!seg || seg->fofs + disk_of(seg) != length) return 0;
  uint64_t ofs;
  if (delete_freelist64(&ofs, p, before_of(p, seg->fofs)) < 0) return -1;
  return fac_truncate(&p->fac, ofs);
}

namespace {

// A run of free space: from `start` to `stop`, made of the chain segments
// and orphans in `pieces` and the record being freed.
struct FreeRun {
  uint64_t start, stop;
  std::vector<uint64_t> segments;  // chain segments in the run
  std::vector<uint64_t> orphans;   // orphans in the run
};

// Free space that touches [fofs, fofs + rd): chain segments, orphans of
// this session, and, above, free records outside the chain left by earlier
// sessions. Chain segments never touch each other, but orphans lie between
// them.
FreeRun gather_run(PDB64* p, uint64_t fofs, uint64_t rd) {
  FreeIndex& idx = *p->free_index;
  FreeRun run{fofs, fofs + rd, {}, {}};
  for (;;) {
    auto o = idx.orphans.lower_bound(run.start);
    if (o != idx.orphans.begin() && std::prev(o)->first + std::prev(o)->second == run.start) {
      run.start = std::prev(o)->first;
      run.orphans.push_back(run.start);
      continue;
    }
    FREELIST64* below = idx.highest_below(run.start);
    if (below && below->fofs + disk_of(below) == run.start) {
      run.start = below->fofs;
      run.segments.push_back(run.start);
      continue;
    }
    break;
  }
  uint64_t end = static_cast<uint64_t>(pdb64_file_size(p));
  while (run.stop < end) {
    if (auto o = idx.orphans.find(run.stop); o != idx.orphans.end()) {
      run.orphans.push_back(run.stop);
      run.stop += o->second;
    } else if (FREELIST64* seg = idx.find(run.stop)) {
      run.segments.push_back(run.stop);
      run.stop += disk_of(seg);
    } else {
      PHYS_PN64_HEADER ph;
      if (pdb64_read_phys(p, run.stop, &ph) < 0 || ph.type != kPn64FreeSegType) break;
      run.orphans.push_back(run.stop);
      idx.orphans.emplace(run.stop, ph.length);
      run.stop += ph.length;
    }
  }
  return run;
}

// Takes the pieces of a run out of the chain and the orphans.
int drop_pieces(PDB64* p, const FreeRun& run) {
  for (uint64_t o : run.orphans) p->free_index->orphans.erase(o);
  for (uint64_t s : run.segments)
    if (delete_freelist64(nullptr, p, before_of(p, s)) < 0) return -1;
  return 0;
}

}  // namespace

int free_filespace64(PDB64* p, uint64_t fofs) {
  if (!p || fofs == 0) {
    errno = EINVAL;
    return -1;
  }
  if (run_debug_check(p) < 0) return -1;
  FREELIST64* head = p->freelist_work;
  PHYS_PN64_HEADER ph;
  if (pdb64_read_phys(p, fofs, &ph) < 0) return -1;
  uint64_t rd = ph.length;
  uint64_t end = static_cast<uint64_t>(pdb64_file_size(p));
  if (!head) {
    // Without a free list only the last record can be given back.
    if (fofs + rd < end) {
      errno = EINVAL;
      return -1;
    }
    return fac_truncate(&p->fac, fofs);
  }
  FreeIndex& idx = *p->free_index;
  // The head, free space, and space overlapping a free segment are never
  // given back (again).
  FREELIST64* above = idx.lowest_at_or_above(fofs);
  FREELIST64* below = idx.highest_below(fofs);
  if (head->fofs == fofs || ph.type == kPn64FreeSegType || (above && fofs + rd > above->fofs) ||
      (below && below->fofs + disk_of(below) > fofs)) {
    errno = EINVAL;
    return -1;
  }
  FreeRun run = gather_run(p, fofs, rd);
  int rc;
  if (run.stop >= end) {
    // The run reaches the end of the file, which is cut back to its start.
    rc = drop_pieces(p, run) < 0 || fac_truncate(&p->fac, run.start) < 0 ? -1 : 0;
  } else if (uint64_t d = run.stop - run.start; d >= 12 && pn64_disk_size_ok(d)) {
    // One segment over the whole run, written before the chain leads to it.
    rc = drop_pieces(p, run) < 0 || !insert_freelist64(p, before_of(p, run.start), run.start, pn64_mem_size(d)) ? -1 : 0;
  } else {
    // No record covers the run: the freed record is marked free outside the
    // chain, so no search by type finds it, and joins the next neighbour
    // freed.
    rc = orphan_record(p, fofs);
    if (rc == 0) idx.orphans.emplace(fofs, rd);
  }
  if (rc < 0) return -1;
  return run_debug_check(p);
}
