// The write paths of the page cache: writes through the cache, direct mode,
// long appends written ahead of the cache straight from the caller's bytes,
// rewrites that write only the pages whose bytes change (and those past the
// ahead floor straight to disk), and the complete appended pages written
// behind in batches. Each write leaves the invariants of page_cache_impl.h
// as it found them, or fails with nothing changed.
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "base/file.h"
#include "base/panic.h"
#include "store/page_cache_impl.h"
#include "store/pdb64.h"

namespace {

// Appended pages that are complete are written back in batches of this
// many (256 KiB, within the processor's cache), so that a long run of
// appends streams to disk from warm memory instead of piling up until three
// quarters of the cache is dirty, which measured three times slower. Pages
// written in place are not affected.
constexpr uint64_t kWriteBehindPages = 64;

int write_behind(FAC_INFO* info, uint64_t write_start) {
  static thread_local std::vector<iovec> iov;
  static thread_local std::vector<FAC_ENTRY*> pages;
  // Only pages from the ahead floor on: a recovering walk stops before
  // them, where the last write-back ended, and never mistakes these pages
  // for records (see fac_flush).
  uint64_t start = std::max(info->real_file_size & kFacPageMask, info->ahead_floor);
  // Pages of the write just made stay: a record is often reserved (zeros)
  // and written right after.
  uint64_t stop = write_start & kFacPageMask;
  if (stop < start + kWriteBehindPages * kFacPageSize) return 0;
  while (start < stop) {
    iov.clear();
    pages.clear();
    uint64_t from = start;
    for (; start < stop && iov.size() < IOV_MAX; start += kFacPageSize) {
      FAC_ENTRY* e = info->entries_tree->find(start);
      if (!e || !e->dirty || e->len != kFacPageSize) er_panic("write_behind");
      pages.push_back(e);
      iov.push_back(iovec{e->data, kFacPageSize});
    }
    if (fac_write_ops.pwritev(info->fd, iov.data(), static_cast<int>(iov.size()), from) < 0) {
      // Refused (no space, a size limit): the pages stay for the write-back,
      // which cuts what part of them reached the disk, and nothing more is
      // written ahead until one succeeds.
      info->disk_size = std::max(info->disk_size, start);
      info->ahead_floor = UINT64_MAX;
      return -1;
    }
    for (FAC_ENTRY* e : pages) fac_mark_clean(e);
    info->real_file_size = start;
    info->disk_size = std::max(info->disk_size, start);
  }
  return 0;
}

// Direct mode. Zeros appended at the end are not written: the logical end
// moves and the file is extended at the next flush (a later write past the
// disk end leaves a hole, which reads as zeros too).
int64_t direct_write(FAC_INFO* info, const iovec* iov, int cnt) {
  static const uint8_t zeros[65536] = {};
  uint64_t pos = info->seek_point;
  uint64_t len = 0;
  bool all_zero = true;
  for (int i = 0; i < cnt; ++i) {
    len += iov[i].iov_len;
    all_zero = all_zero && !iov[i].iov_base;
  }
  uint64_t end = pos + len;
  uint64_t old_real = info->real_file_size;
  int rc = 0;
  if (!all_zero) {
    iovec v[kFacMaxPieces];
    if (cnt > kFacMaxPieces) {
      errno = EINVAL;
      return -1;
    }
    for (int i = 0; i < cnt; ++i)
      if (!iov[i].iov_base && iov[i].iov_len > sizeof zeros) {
        // A long zero run among data: piece by piece.
        for (int k = 0; k < cnt; ++k)
          if (direct_write(info, iov + k, 1) < 0) return -1;
        return static_cast<int64_t>(len);
      }
    for (int i = 0; i < cnt; ++i)
      v[i] = iovec{iov[i].iov_base ? iov[i].iov_base : const_cast<uint8_t*>(zeros), iov[i].iov_len};
    rc = fac_write_ops.pwritev(info->fd, v, cnt, static_cast<int64_t>(pos));
  } else {
    for (uint64_t p = pos; rc == 0 && p < std::min(end, old_real);) {
      uint64_t c = std::min<uint64_t>(sizeof zeros, std::min(end, old_real) - p);
      rc = fac_pwrite(info->fd, zeros, c, static_cast<int64_t>(p));
      p += c;
    }
  }
  if (rc < 0) {
    int saved = errno;
    if (end > old_real) fac_write_ops.ftruncate(info->fd, static_cast<int64_t>(old_real));
    errno = saved;  // the caller's write fails: nothing waits for a write-back
    return -1;
  }
  info->seek_point = end;
  if (!all_zero && end > info->real_file_size) info->real_file_size = end;
  if (end > info->file_size) info->file_size = end;
  return static_cast<int64_t>(len);
}

// Makes sure a page that a write covers only in part holds its bytes from
// disk before the write changes anything, and pins it.
int prepare_partial(FAC_INFO* info, uint64_t page_ofs, FAC_ENTRY** pinned, int* np) {
  if (page_ofs >= info->real_file_size) return 0;  // nothing on disk to keep
  int st;
  FAC_ENTRY* e = fac_get_entry(&st, info, page_ofs);
  if (!e) {
    errno = EIO;
    return -1;
  }
  if (st == 1 && fac_load_page(info, e) < 0) return -1;
  e->pinned = 1;
  pinned[(*np)++] = e;
  return 0;
}

// The bytes of a write given in pieces, taken in order; a piece without a
// base is zeros.
class Pieces {
 public:
  Pieces(const iovec* iov, int cnt) : iov_(iov), cnt_(cnt) { step(0); }
  // Copies the next n bytes to out and takes them.
  void take(uint8_t* out, uint64_t n) {
    while (n > 0) {
      const iovec& v = iov_[i_];
      uint64_t c = std::min<uint64_t>(n, v.iov_len - at_);
      if (v.iov_base)
        std::memcpy(out, static_cast<const uint8_t*>(v.iov_base) + at_, c);
      else
        std::memset(out, 0, c);
      out += c;
      n -= c;
      step(c);
    }
  }
  void skip(uint64_t n) {
    while (n > 0) {
      uint64_t c = std::min<uint64_t>(n, iov_[i_].iov_len - at_);
      n -= c;
      step(c);
    }
  }
  // True when the next n bytes equal those at `with`; nothing is taken.
  bool same(const uint8_t* with, uint64_t n) const {
    Pieces p = *this;
    while (n > 0) {
      const iovec& v = p.iov_[p.i_];
      uint64_t c = std::min<uint64_t>(n, v.iov_len - p.at_);
      const auto* b = static_cast<const uint8_t*>(v.iov_base);
      if (b ? std::memcmp(with, b + p.at_, c) != 0 : std::any_of(with, with + c, [](uint8_t x) { return x != 0; }))
        return false;
      with += c;
      n -= c;
      p.step(c);
    }
    return true;
  }
  // Appends the next n bytes to out as system-call pieces; false when some
  // of them are zeros without a base. Nothing is taken.
  bool gather(std::vector<iovec>* out, uint64_t n) const {
    Pieces p = *this;
    while (n > 0) {
      const iovec& v = p.iov_[p.i_];
      uint64_t c = std::min<uint64_t>(n, v.iov_len - p.at_);
      if (!v.iov_base) return false;
      out->push_back(iovec{static_cast<uint8_t*>(v.iov_base) + p.at_, c});
      n -= c;
      p.step(c);
    }
    return true;
  }

 private:
  void step(uint64_t c) {
    at_ += c;
    while (i_ < cnt_ && at_ == iov_[i_].iov_len) {
      ++i_;
      at_ = 0;
    }
  }
  const iovec* iov_;
  int cnt_;
  int i_ = 0;
  uint64_t at_ = 0;  // into piece i_
};

// Writes [pos, end) of the file from src through the cache; where `only`
// is given, only the pages it marks (by their number from pos's page) are
// written and the others' bytes skipped. -1, with nothing changed, when a
// page written in part cannot be read from disk first.
int cache_write(FAC_INFO* info, uint64_t pos, uint64_t end, Pieces& src, const std::vector<bool>* only = nullptr) {
  if (pos >= end) return 0;
  FAC_ENTRY* pinned[2];
  int np = 0;
  uint64_t first = pos & kFacPageMask;
  uint64_t last = (end - 1) & kFacPageMask;
  bool ok = true;
  // A partly covered end page is loaded only when it is to be written: a
  // page `only` leaves out must not fail the write by an unneeded read.
  if ((pos & (kFacPageSize - 1)) != 0 || end < first + kFacPageSize)
    if (!only || only->front()) ok = prepare_partial(info, first, pinned, &np) == 0;
  if (ok && last != first && (end & (kFacPageSize - 1)) != 0 && (!only || only->back()))
    ok = prepare_partial(info, last, pinned, &np) == 0;
  if (!ok) {
    int saved = errno;
    for (int i = 0; i < np; ++i) pinned[i]->pinned = 0;
    errno = saved;
    return -1;
  }
  for (size_t k = 0; pos < end; ++k) {
    uint64_t ip = pos & (kFacPageSize - 1);
    uint64_t piece = std::min<uint64_t>(end - pos, kFacPageSize - ip);
    if (only && !(*only)[k]) {
      src.skip(piece);
      pos += piece;
      continue;
    }
    int st;
    FAC_ENTRY* e = fac_get_entry(&st, info, pos);
    if (!e) er_panic("fac_write");  // pos never passes file_size here
    if (ip > static_cast<uint64_t>(e->len)) er_panic("fac_write(2)");
    fac_mark_dirty(e);
    if (st == 1) {
      // A page made now holds nothing from disk worth keeping (see
      // prepare_partial): clear what this piece does not cover.
      std::memset(e->data, 0, ip);
      std::memset(e->data + ip + piece, 0, kFacPageSize - ip - piece);
    }
    src.take(e->data + ip, piece);
    if (ip + piece > static_cast<uint64_t>(e->len)) e->len = static_cast<int>(ip + piece);
    pos += piece;
    if (pos > info->file_size) info->file_size = pos;
  }
  for (int i = 0; i < np; ++i) pinned[i]->pinned = 0;
  return 0;
}

// Appends at least this long go to disk straight from the caller's bytes,
// past the cache: no copy into pages, no pages to make, and nothing left
// for the write-back.
constexpr uint64_t kAheadMinPages = 8;
// At most this many complete dirty pages before such a run join its write.
constexpr size_t kAheadMaxHead = 256;

// The whole pages of a write of [pos, end) that go to disk at once: from
// the ahead floor on, past every cached page (which lie at or below the
// logical end's page), and none of them zeros without a base. Empty
// (from == to) when there are too few.
struct Ahead {
  uint64_t from = 0, to = 0;
};

Ahead plan_ahead(const FAC_INFO* info, uint64_t pos, uint64_t end, const Pieces& src) {
  uint64_t from = std::max((info->file_size & kFacPageMask) + kFacPageSize, info->ahead_floor);
  uint64_t to = end & kFacPageMask;
  static thread_local std::vector<iovec> probe;
  probe.clear();
  if (from >= to || to - from < kAheadMinPages * kFacPageSize) return {};
  Pieces at = src;
  at.skip(from - pos);
  if (!at.gather(&probe, to - from)) return {};
  return {from, to};
}

// Writes the run a.from..a.to from src (positioned at a.from) to disk in
// one call, the complete dirty pages from the ahead floor up to it first
// (they are complete once the write's head is in the cache). False when
// the system refused; nothing is marked then.
bool write_ahead(FAC_INFO* info, Ahead a, const Pieces& src) {
  static thread_local std::vector<iovec> iov;
  static thread_local std::vector<FAC_ENTRY*> head;
  iov.clear();
  head.clear();
  uint64_t start = std::max(info->real_file_size & kFacPageMask, info->ahead_floor);
  for (uint64_t o = start; o < a.from; o += kFacPageSize) {
    FAC_ENTRY* e = info->entries_tree->find(o);
    if (!e || !e->dirty || e->len != kFacPageSize || head.size() >= kAheadMaxHead) {
      head.clear();  // they stay for the write-back
      break;
    }
    head.push_back(e);
  }
  if (head.empty()) start = a.from;
  for (FAC_ENTRY* e : head) iov.push_back(iovec{e->data, kFacPageSize});
  src.gather(&iov, a.to - a.from);
  if (fac_write_ops.pwritev(info->fd, iov.data(), static_cast<int>(iov.size()), static_cast<int64_t>(start)) < 0) {
    info->ahead_floor = UINT64_MAX;  // as write_behind
    return false;
  }
  for (FAC_ENTRY* e : head) fac_mark_clean(e);
  // Every byte from the old value to a.from is cached: in a dirty page, or
  // in one written now.
  info->real_file_size = a.to;
  info->disk_size = std::max(info->disk_size, a.to);
  info->file_size = std::max(info->file_size, a.to);
  return true;
}

// Sums the pieces' lengths into *len; false (errno set) for too many
// pieces or a length that cannot be held.
bool pieces_length(const FAC_INFO* info, const iovec* iov, int cnt, uint64_t* len) {
  if (cnt < 0 || cnt > kFacMaxPieces) {
    errno = EINVAL;
    return false;
  }
  *len = 0;
  for (int i = 0; i < cnt; ++i) {
    if (iov[i].iov_len > kPn64MaxMemSize - *len) {
      errno = EFBIG;
      return false;
    }
    *len += iov[i].iov_len;
  }
  if (info->seek_point > kPn64MaxMemSize) {
    errno = EFBIG;
    return false;
  }
  return true;
}

// After a write-back for room that failed, or left three quarters of the
// cache dirty (pages that wait for their owner's flush), the next is tried
// only once this many pages more are dirty: a disk that stays full, or a
// cache full of such pages, must not cost a pass over every dirty page per
// write.
int purge_retry_dirty = 0;

// What every cached write ends with: the position, the pages written
// behind, and a write-back when three quarters of the cache are dirty.
void finish_write(FAC_INFO* info, uint64_t start, uint64_t end) {
  info->seek_point = end;
  // Failures leave the pages dirty; the file's next flush reports them.
  write_behind(info, start);
  FAC_GENERAL& g = fac_general_info;
  if (!fac_pressed()) {
    purge_retry_dirty = 0;
    return;
  }
  if (g.dirty_nos < purge_retry_dirty) return;
  bool failed = fac_purge_for_room() < 0;
  purge_retry_dirty = failed || fac_pressed() ? fac_retry_mark() : 0;
}

// A rewrite compares at most this many pages read from disk at once; and
// once this many pages in a row have changed, the rest is written without
// comparing (a rewrite that changes that much mostly changes all).
constexpr uint64_t kRewriteRun = 16;

// Marks in *changed which pages of [pos, end) (inside the file) would get
// other bytes from src. Partly covered pages are loaded and pinned into
// pinned/np as a cached write would load them. -1, with nothing changed,
// when the disk cannot be read.
int changed_pages(FAC_INFO* info, uint64_t pos, uint64_t end, Pieces src, std::vector<bool>* changed,
                  FAC_ENTRY** pinned, int* np) {
  static thread_local std::vector<uint8_t> disk(kRewriteRun * kFacPageSize);
  changed->clear();
  uint64_t in_row = 0;
  auto mark = [&](bool c, uint64_t piece) {
    changed->push_back(c);
    in_row = c ? in_row + 1 : 0;
    src.skip(piece);
  };
  while (pos < end) {
    uint64_t ip = pos & (kFacPageSize - 1);
    uint64_t piece = std::min<uint64_t>(end - pos, kFacPageSize - ip);
    FAC_ENTRY* e = fac_lookup(info, pos & kFacPageMask);
    if (in_row >= kRewriteRun) {
      mark(true, piece);
    } else if (e) {
      mark(!src.same(e->data + ip, piece), piece);
    } else if (piece == kFacPageSize && pos + kFacPageSize <= info->real_file_size) {
      // A run of whole pages held only on disk, read at once.
      uint64_t n = 1, stop = std::min(end, info->real_file_size);
      while (n < kRewriteRun && pos + (n + 1) * kFacPageSize <= stop && !fac_lookup(info, pos + n * kFacPageSize)) ++n;
      ssize_t r = u_pread_full(info->fd, disk.data(), n * kFacPageSize, static_cast<int64_t>(pos));
      if (r != static_cast<ssize_t>(n * kFacPageSize)) {
        if (r >= 0) errno = EIO;
        return -1;
      }
      for (uint64_t k = 0; k < n; ++k)
        mark(in_row >= kRewriteRun || !src.same(disk.data() + k * kFacPageSize, kFacPageSize), kFacPageSize);
      piece = n * kFacPageSize;
    } else {
      // In part (the first or the last page): loaded as a cached write loads it.
      if (*np < 2 && prepare_partial(info, pos & kFacPageMask, pinned, np) < 0) return -1;
      e = fac_lookup(info, pos & kFacPageMask);
      mark(!e || !src.same(e->data + ip, piece), piece);
    }
    pos += piece;
  }
  return 0;
}

// Moves from *changed to *ahead the runs of changed whole pages of
// [pos, end) that lie past the ahead floor and that only the disk holds:
// like appended pages there, they need neither the cache nor the journal
// (a walk after a crash stops before them).
void pick_rewrite_ahead(FAC_INFO* info, uint64_t pos, uint64_t end, std::vector<bool>* changed,
                        std::vector<bool>* ahead) {
  const uint64_t first = pos & kFacPageMask;
  auto direct = [&](size_t k) {
    uint64_t o = first + k * kFacPageSize;
    return (*changed)[k] && o >= pos && o + kFacPageSize <= end && o >= info->ahead_floor &&
           o + kFacPageSize <= info->real_file_size && !fac_lookup(info, o);
  };
  ahead->assign(changed->size(), false);
  for (size_t k = 0; k < changed->size();) {
    size_t j = k;
    while (j < changed->size() && direct(j)) ++j;
    if (j - k >= kAheadMinPages)
      for (size_t i = k; i < j; ++i) {
        (*changed)[i] = false;
        (*ahead)[i] = true;
      }
    k = std::max(j, k + 1);
  }
}

// Writes the runs that *ahead marks straight to disk from src (positioned
// at pos), unmarking each run written; a run the system refuses stays.
void write_rewrite_ahead(FAC_INFO* info, uint64_t pos, const Pieces& src, std::vector<bool>* ahead) {
  static thread_local std::vector<iovec> iov;
  const uint64_t first = pos & kFacPageMask;
  for (size_t k = 0; k < ahead->size();) {
    if (!(*ahead)[k]) {
      ++k;
      continue;
    }
    size_t j = k;
    while (j < ahead->size() && (*ahead)[j]) ++j;
    iov.clear();
    Pieces at = src;
    uint64_t from = first + k * kFacPageSize;
    at.skip(from - pos);
    if (!at.gather(&iov, (j - k) * kFacPageSize)) {
      k = j;
      continue;
    }
    if (fac_write_ops.pwritev(info->fd, iov.data(), static_cast<int>(iov.size()), static_cast<int64_t>(from)) == 0)
      std::fill(ahead->begin() + static_cast<long>(k), ahead->begin() + static_cast<long>(j), false);
    else
      info->ahead_floor = UINT64_MAX;  // as write_behind
    k = j;
  }
}

// Nothing is written to a reader's view of a file.
bool writable(const FAC_INFO* info) {
  if (!info->view) return true;
  errno = EBADF;
  return false;
}

}  // namespace

int64_t fac_writev(FAC_INFO* info, const iovec* iov, int cnt) {
  uint64_t len;
  if (!writable(info) || !pieces_length(info, iov, cnt, &len)) return -1;
  if (info->direct) return direct_write(info, iov, cnt);
  uint64_t pos = info->seek_point;
  if (pos > info->file_size) {
    errno = EIO;
    return -1;
  }
  if (len == 0) return 0;
  uint64_t end = pos + len;
  Pieces src(iov, cnt);
  Ahead a = plan_ahead(info, pos, end, src);
  bool ahead = a.from < a.to;
  if (cache_write(info, pos, ahead ? a.from : end, src) < 0) return -1;
  if (ahead) {
    if (write_ahead(info, a, src)) {
      src.skip(a.to - a.from);
    } else {
      // Refused, perhaps after part of it reached the disk: the pages go
      // through the cache, and the write-back cuts what is past the end.
      info->disk_size = std::max(info->disk_size, a.to);
      if (cache_write(info, a.from, a.to, src) < 0) er_panic("fac_writev");
    }
    // Past the disk's content now: nothing to read, so this cannot fail.
    if (cache_write(info, a.to, end, src) < 0) er_panic("fac_writev(2)");
  }
  finish_write(info, pos, end);
  return static_cast<int64_t>(len);
}

int64_t fac_write(FAC_INFO* info, const void* data, uint64_t len) {
  iovec v{const_cast<void*>(data), static_cast<size_t>(len)};
  return fac_writev(info, &v, 1);
}

int64_t fac_rewritev(FAC_INFO* info, const iovec* iov, int cnt) {
  uint64_t len;
  if (!writable(info) || !pieces_length(info, iov, cnt, &len)) return -1;
  if (info->direct) return direct_write(info, iov, cnt);
  uint64_t pos = info->seek_point;
  if (pos > info->file_size || len > info->file_size - pos) {
    errno = EINVAL;
    return -1;
  }
  if (len == 0) return 0;
  uint64_t end = pos + len;
  static thread_local std::vector<bool> changed;
  FAC_ENTRY* pinned[2];
  int np = 0;
  const Pieces src(iov, cnt);
  int rc = changed_pages(info, pos, end, src, &changed, pinned, &np);
  for (int i = 0; i < np; ++i) pinned[i]->pinned = 0;
  if (rc < 0) return -1;
  static thread_local std::vector<bool> ahead;
  pick_rewrite_ahead(info, pos, end, &changed, &ahead);
  auto any = [](const std::vector<bool>& v) { return std::find(v.begin(), v.end(), true) != v.end(); };
  Pieces through = src;
  if (any(changed) && cache_write(info, pos, end, through, &changed) < 0) return -1;
  write_rewrite_ahead(info, pos, src, &ahead);
  // Refused: through the cache after all (whole pages, nothing to load).
  through = src;
  if (any(ahead) && cache_write(info, pos, end, through, &ahead) < 0) er_panic("fac_rewritev");
  finish_write(info, pos, end);
  return static_cast<int64_t>(len);
}
