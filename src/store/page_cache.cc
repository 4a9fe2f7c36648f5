// The page cache shared by every open record file.
//
// Pages are 4096 bytes at multiples of 4096. Each file indexes its pages by
// offset. Clean pages of all files sit in one ring, newest first, from which
// eviction takes the oldest; a page used again is only marked and gets a
// second round when eviction reaches it (so a hit moves nothing). A dirty
// page leaves the ring for its file's dirty list until it is written back,
// so eviction never walks over dirty pages. Writing back happens at flush,
// close, and when three quarters of the limit are dirty. The write paths
// are page_write.cc.
//
// Invariants: every cached page has len = min(file_size - offset, 4096);
// real_file_size <= file_size; every byte between real_file_size and
// file_size lies in a dirty page.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "base/alloc.h"
#include "base/file.h"
#include "base/panic.h"
#include "store/page_cache_impl.h"
#include "store/page_journal_impl.h"
#include "store/pdb64.h"

FAC_GENERAL fac_general_info;

namespace {

int sys_pwritev(int fd, iovec* iov, int cnt, int64_t offset) { return u_pwritev_full(fd, iov, cnt, offset); }
int sys_datasync(int fd) { return ::fdatasync(fd); }
int sys_allocate(int fd, int64_t offset, int64_t len) {
  int rc;
  do {
    rc = ::fallocate(fd, 0, static_cast<off_t>(offset), static_cast<off_t>(len));
  } while (rc < 0 && errno == EINTR);
  return rc;
}

}  // namespace

FAC_WRITE_OPS fac_write_ops{sys_pwritev, u_ftruncate64, sys_datasync, u_open64, sys_allocate};

int fac_pwrite(int fd, const void* data, size_t len, int64_t offset) {
  iovec v{const_cast<void*>(data), len};
  return fac_write_ops.pwritev(fd, &v, 1, offset);
}

// ---------------------------------------------------------------------------
// Pages: the ring, buffers, eviction

namespace {

// The first page that may be written ahead of a write-back when the last
// one left the file `end` bytes long: past the 12 bytes there (the longest
// record header) that stay zeros on disk until the next write-back, where
// a recovering walk stops.
uint64_t ahead_floor_after(uint64_t end) { return (end + 12 + kFacPageSize - 1) & kFacPageMask; }
// Whole-page runs at least this long that are not cached are read straight
// into the caller's buffer instead of through the cache.
constexpr uint64_t kBypassPages = 1;
constexpr size_t kEntryPoolMax = 256;

std::vector<FAC_ENTRY*>& entry_pool() {
  static auto* pool = new std::vector<FAC_ENTRY*>;  // lives to the end
  return *pool;
}

void ring_init(FAC_ENTRY* head) {
  head->h.next = head;
  head->h.prev = head;
}

void ring_unlink(FAC_ENTRY* e) {
  e->h.prev->h.next = e->h.next;
  e->h.next->h.prev = e->h.prev;
  e->h.next = e->h.prev = nullptr;
}

void ring_push_front(FAC_ENTRY* head, FAC_ENTRY* e) {
  e->h.next = head->h.next;
  e->h.prev = head;
  head->h.next->h.prev = e;
  head->h.next = e;
}

void ensure_general() {
  FAC_GENERAL& g = fac_general_info;
  if (g.entries.h.next) return;
  ring_init(&g.entries);
  g.info_list.next = g.info_list.prev = &g.info_list;
  g.total_entries = kFacDefaultEntries;
}

struct GeneralInit {
  GeneralInit() { ensure_general(); }
} general_init;

// Page buffers are cut from 2 MiB blocks that the kernel is asked to back
// with huge pages: pages are touched at random, and with one buffer per
// small page nearly every touch also missed the address translation cache.
// Buffers are page-aligned, so that the kernel copies whole pages in
// write-back. Blocks are kept for the life of the process; buffers not in
// use wait on a free list.
constexpr size_t kBufferBlock = size_t{2} << 20;

struct PageBuffers {
  std::vector<uint8_t*> blocks;
  std::vector<uint8_t*> free;
};

PageBuffers& page_buffers() {
  static auto* b = new PageBuffers;  // lives to the end
  return *b;
}

uint8_t* take_buffer() {
  PageBuffers& b = page_buffers();
  if (b.free.empty()) {
    auto* block = static_cast<uint8_t*>(std::aligned_alloc(kBufferBlock, kBufferBlock));
    if (!block) er_panic("fac_entry");
    ::madvise(block, kBufferBlock, MADV_HUGEPAGE);  // a hint; refusal is harmless
    b.blocks.push_back(block);
    for (size_t at = kBufferBlock; at > 0; at -= kFacPageSize) b.free.push_back(block + at - kFacPageSize);
  }
  uint8_t* page = b.free.back();
  b.free.pop_back();
  return page;
}

FAC_ENTRY* new_entry(FAC_INFO* info, uint64_t offset) {
  FAC_ENTRY* e;
  auto& pool = entry_pool();
  if (!pool.empty()) {
    // Not cleared here: whoever fills the page clears what it does not fill.
    e = pool.back();
    pool.pop_back();
  } else {
    e = static_cast<FAC_ENTRY*>(d_alloc(sizeof(FAC_ENTRY)));
    e->data = take_buffer();
  }
  e->h.next = e->h.prev = nullptr;
  e->dirty = 0;
  e->pinned = 0;
  e->used = 0;
  e->offset = offset;
  e->len = 0;
  e->info = info;
  return e;
}

void release_entry(FAC_ENTRY* e) {
  auto& pool = entry_pool();
  if (pool.size() < kEntryPoolMax) {
    pool.push_back(e);
    return;
  }
  page_buffers().free.push_back(e->data);
  d_f_ree(e);
}

// Takes a page out of the cache entirely (index, ring or dirty list, counts).
void drop_entry(FAC_ENTRY* e) {
  FAC_INFO* info = e->info;
  FAC_GENERAL& g = fac_general_info;
  ring_unlink(e);
  if (e->dirty) g.dirty_nos--;
  g.entries_nos--;
  if (!info->entries_tree->erase(e->offset)) er_panic("get_entry");
  if (info->last == e) info->last = nullptr;
  release_entry(e);
}

// Drops clean pages from the back of the ring until the cache is within its
// limit. A page used since the hand last passed it goes to the front
// instead, unmarked, so a page in use is not dropped and a hit costs no
// ring moves. Every page is met at most twice.
void evict(FAC_ENTRY* keep) {
  FAC_GENERAL& g = fac_general_info;
  FAC_ENTRY* v = g.entries.h.prev;
  for (int budget = 2 * g.entries_nos + 2; g.entries_nos > g.total_entries && budget > 0; --budget) {
    if (v == &g.entries) {
      v = v->h.prev;
      if (v == &g.entries) return;
      continue;
    }
    FAC_ENTRY* prev = v->h.prev;
    if (v != keep && !v->pinned) {
      if (v->used) {
        v->used = 0;
        ring_unlink(v);
        ring_push_front(&g.entries, v);
      } else {
        drop_entry(v);
      }
    }
    v = prev;
  }
}

int64_t page_len_for(const FAC_INFO* info, uint64_t page_ofs) {
  uint64_t rest = info->file_size > page_ofs ? info->file_size - page_ofs : 0;
  return static_cast<int64_t>(std::min<uint64_t>(rest, kFacPageSize));
}

}  // namespace

// ---------------------------------------------------------------------------
// Pages shared with the write paths (page_cache_impl.h)

FAC_ENTRY* fac_lookup(FAC_INFO* info, uint64_t page_ofs) {
  if (info->last && info->last->offset == page_ofs) return info->last;
  return info->entries_tree->find(page_ofs);
}

FAC_ENTRY* fac_get_entry(int* status, FAC_INFO* info, uint64_t offset) {
  if (offset > info->file_size) return nullptr;
  FAC_GENERAL& g = fac_general_info;
  uint64_t po = offset & kFacPageMask;
  FAC_ENTRY* e = fac_lookup(info, po);
  if (e) {
    *status = 0;
    e->used = 1;
  } else {
    e = new_entry(info, po);
    e->len = static_cast<int>(page_len_for(info, po));
    if (!info->entries_tree->insert(e)) er_panic("get_entry");
    *status = 1;
    g.entries_nos++;
    ring_push_front(&g.entries, e);
  }
  info->last = e;
  evict(e);
  return e;
}

int fac_load_page(FAC_INFO* info, FAC_ENTRY* e) {
  uint64_t n = 0;
  if (e->offset < info->real_file_size)
    n = std::min<uint64_t>(static_cast<uint64_t>(e->len), info->real_file_size - e->offset);
  std::memset(e->data + n, 0, kFacPageSize - n);
  if (n == 0) return 0;
  ssize_t r = u_pread_full(info->fd, e->data, n, static_cast<int64_t>(e->offset));
  if (r == static_cast<ssize_t>(n)) return 0;
  if (r >= 0) errno = EIO;  // the file is shorter than it should be
  int saved = errno;
  drop_entry(e);
  errno = saved;
  return -1;
}

void fac_mark_dirty(FAC_ENTRY* e) {
  if (e->dirty) return;
  ring_unlink(e);
  ring_push_front(&e->info->dirty_head, e);
  e->dirty = 1;
  fac_general_info.dirty_nos++;
}

void fac_mark_clean(FAC_ENTRY* e) {
  ring_unlink(e);
  e->dirty = 0;
  fac_general_info.dirty_nos--;
  ring_push_front(&fac_general_info.entries, e);
}

// ---------------------------------------------------------------------------
// Write-back

namespace {

// Writes pages[from, to) (sorted, each dirty) joining neighbouring pages
// into one system call, and marks them clean. 0 or -1.
int write_pages(FAC_INFO* info, std::vector<FAC_ENTRY*>& pages, size_t from, size_t to) {
  static thread_local std::vector<iovec> iov;
  size_t i = from;
  while (i < to) {
    size_t j = i;
    iov.clear();
    for (;;) {
      iov.push_back(iovec{pages[j]->data, static_cast<size_t>(pages[j]->len)});
      if (j + 1 >= to || iov.size() >= IOV_MAX) break;
      if (pages[j]->len != kFacPageSize || pages[j + 1]->offset != pages[j]->offset + kFacPageSize) break;
      ++j;
    }
    if (fac_write_ops.pwritev(info->fd, iov.data(), static_cast<int>(iov.size()), pages[i]->offset) < 0) {
      // Part of it may be on disk: the length there is not known below
      // the end of what was tried, which a later write-back cuts.
      uint64_t tried = pages[j]->offset + static_cast<uint64_t>(pages[j]->len);
      info->disk_size = std::max(info->disk_size, tried);
      return -1;
    }
    for (size_t k = i; k <= j; ++k) {
      uint64_t end = pages[k]->offset + static_cast<uint64_t>(pages[k]->len);
      if (end > info->disk_size) info->disk_size = end;
      // Every byte between the old value and `end` is cached (in a dirty
      // page, or in one written now), so a clean page written here that is
      // dropped later reads back from disk, even if the write-back fails
      // further on.
      if (end > info->real_file_size) info->real_file_size = end;
      fac_mark_clean(pages[k]);
    }
    i = j + 1;
  }
  return 0;
}

// Makes the disk give the blocks that the pages of pages[from..) take past
// the end of the last write-back (where the file only has a hole, or
// nothing), before anything in place changes: no space, or a file-size
// limit, then fails the write-back while the file still holds its last
// one (the blocks read as zeros, where a recovering walk stops). A file
// system that cannot do this writes them as it can. 0 or -1.
int claim_growth(FAC_INFO* info, const std::vector<FAC_ENTRY*>& pages, size_t from) {
  uint64_t end = 0;
  for (size_t i = from; i < pages.size(); ++i)
    end = std::max(end, pages[i]->offset + static_cast<uint64_t>(pages[i]->len));
  if (end <= info->whole_end) return 0;
  const auto at = static_cast<int64_t>(info->whole_end);
  const int rc = fac_write_ops.allocate(info->fd, at, static_cast<int64_t>(end) - at);
  const int saved = errno;
  // The file may be that long now, though a failure may have taken only
  // part of it: a later write-back cuts what is too much.
  info->disk_size = std::max(info->disk_size, end);
  if (rc == 0 || saved == EOPNOTSUPP || saved == ENOSYS) return 0;
  errno = saved;
  return -1;
}

// Makes a stuck file whole again before anything more is written to it:
// the journal that its failed write-back left whole is replayed onto it,
// as a recovery would after a crash, so that the file holds that
// write-back. Writing the next journal over that one first would leave,
// for as long as it is not whole, a file that part of a write-back was
// written to and no journal to finish it. Every page the journal holds is
// still cached (clean ones as the journal has them, dirty ones newer), or
// was written and dropped, or lies past the length the file has now; the
// pages written since, or past the journal's length, are dirty: the
// write-back that follows writes them. 0, or -1 (the file stays stuck).
int restore_stuck(FAC_INFO* info) {
  uint64_t length = 0;
  const int rc = fac_journal_restore(info->journal, info->fd, &length);
  if (rc <= 0) {
    // No whole journal to replay: nobody but this opening writes it, so
    // that cannot happen unless it was changed beside the cache; the
    // file is left alone.
    if (rc == 0) errno = info->write_errno;
    return -1;
  }
  info->stuck = 0;
  info->disk_size = info->whole_end = length;
  return 0;
}

// Writes one file back. Pages beyond the ahead floor go first, without a
// journal: until the journal is complete a crash leaves the file as the
// last write-back did, and a recovering walk stops short of them. Then the
// rest: the pages past the end on disk, the pages in place, the first page
// (the open mark and the free-list head) last; then the file is cut to its
// length. Anything of the rest more than one page or one cut that changes
// what is on disk is journalled first (see fac_flush in pdb64.h). A
// failure past the whole journal leaves the file stuck: what is on disk is
// then part old, part new, and only the journal makes it whole again.
int purge_pages(FAC_INFO* info, bool ahead_only = false) {
  static thread_local std::vector<FAC_ENTRY*> pages;
  if (info->view) return 0;  // its dirty pages are a view, never written
  if (info->stuck) {
    // Nothing goes ahead of a write-back after a failed one.
    if (ahead_only) return 0;
    if (restore_stuck(info) < 0) return -1;
  }
  // After a failed write-back nothing goes ahead until one succeeds; for
  // room alone only the pages past the floor are looked at.
  if (ahead_only && info->ahead_floor == UINT64_MAX) return 0;
  pages.clear();
  for (FAC_ENTRY* e = info->dirty_head.h.next; e != &info->dirty_head; e = e->h.next)
    if (!ahead_only || e->offset >= info->ahead_floor) pages.push_back(e);
  bool cut = info->disk_size > info->file_size;
  if (pages.empty() && !cut) return 0;
  const uint64_t disk = info->disk_size, floor = info->ahead_floor;
  auto rank = [disk, floor](const FAC_ENTRY* e) {
    return e->offset >= floor ? 0 : e->offset >= disk ? 1 : e->offset ? 2 : 3;
  };
  std::sort(pages.begin(), pages.end(), [&rank](const FAC_ENTRY* a, const FAC_ENTRY* b) {
    int ra = rank(a), rb = rank(b);
    return ra != rb ? ra < rb : a->offset < b->offset;
  });
  size_t ahead = 0, in_place = 0;
  for (FAC_ENTRY* e : pages) {
    ahead += e->offset >= floor;
    in_place += e->offset < disk && e->offset < floor;
  }
  if (write_pages(info, pages, 0, ahead) < 0) return -1;
  if (ahead_only) return 0;
  if (claim_growth(info, pages, ahead) < 0) return -1;
  size_t rest = pages.size() - ahead;
  bool journal = info->journal && (in_place > 0 || cut) && rest + (cut ? 1 : 0) > 1;
  if (journal) {
    if (fac_journal_write(info->journal, pages.data() + ahead, rest, info->file_size) < 0) {
      info->journal_failed = 1;
      return -1;
    }
    info->journal_made = 1;
  }
  auto stuck = [info, journal] {
    if (journal) info->stuck = 1;
    return -1;
  };
  if (write_pages(info, pages, ahead, pages.size()) < 0) return stuck();
  if (cut) {
    if (fac_write_ops.ftruncate(info->fd, static_cast<int64_t>(info->file_size)) < 0) return stuck();
    info->disk_size = info->file_size;
  }
  // A journal left whole would be replayed over what later write-backs
  // put in place without one.
  if (journal && fac_journal_clear(info->journal) < 0 && u_unlink(info->journal) < 0 && errno != ENOENT)
    return stuck();
  info->real_file_size = info->file_size;
  if (info->disk_size != info->file_size) {
    // Every byte past the on-disk end lies in a dirty page, so this cannot
    // happen unless the cache is broken.
    er_panic("fac_purge(2)");
  }
  return 0;
}

// A write-back moves the ahead floor past the file's new end; a failed one
// leaves the disk uncertain, so nothing is written ahead until one
// succeeds. Its reason stays with the file for whoever asks, until a
// whole write-back succeeds: one for room alone leaves it as it was.
int fac_purge_onlyone(FAC_INFO* info, bool ahead_only = false) {
  const bool journal_failed = info->journal_failed;
  info->journal_failed = 0;
  int rc = purge_pages(info, ahead_only);
  if (rc < 0) {
    info->write_errno = errno ? errno : EIO;
    info->ahead_floor = UINT64_MAX;
    info->retry_dirty = fac_retry_mark();
    errno = info->write_errno;
  } else if (!info->view && !ahead_only) {
    info->write_errno = 0;
    info->whole_end = info->file_size;
    info->ahead_floor = ahead_floor_after(info->file_size);
  } else {
    info->journal_failed = journal_failed;
  }
  return rc;
}

}  // namespace

// ---------------------------------------------------------------------------
// Files in the cache: opening, reading, position and length

void fac_init_general() {
  ensure_general();
  fac_general_info.total_entries = kFacDefaultEntries;
}

void fac_set_total_entries(int pages) {
  ensure_general();
  fac_general_info.total_entries = pages < 0 ? 0 : pages;
}

void fac_init(FAC_INFO* info) {
  ensure_general();
  info->seek_point = 0;
  info->entries_tree = nullptr;
  info->last = nullptr;
  info->direct = fac_general_info.total_entries == 0;
  info->journal = nullptr;
  info->journal_made = 0;
  info->journal_failed = 0;
  info->view = 0;
  info->at_points = 0;
  info->stuck = 0;
  info->write_errno = 0;
  info->retry_dirty = 0;
  int64_t size = u_fsize64(info->fd);
  if (size < 0) size = 0;  // open_pdb64 checks the descriptor first
  info->file_size = info->real_file_size = info->disk_size = info->whole_end = static_cast<uint64_t>(size);
  info->ahead_floor = ahead_floor_after(info->file_size);
  if (info->direct) {
    info->next = info->prev = info;
    return;
  }
  info->entries_tree = new FacPageIndex;
  ring_init(&info->dirty_head);
  FAC_INFO* head = &fac_general_info.info_list;
  info->next = head->next;
  info->prev = head;
  head->next->prev = info;
  head->next = info;
}

int64_t fac_read(FAC_INFO* info, void* data, uint64_t len) {
  auto* out = static_cast<uint8_t*>(data);
  uint64_t pos = info->seek_point;
  if (info->direct) {
    // Bytes between the disk end and the logical end are appended zeros not
    // yet materialised (see direct_write).
    uint64_t n = pos < info->file_size ? std::min(len, info->file_size - pos) : 0;
    ssize_t r = u_pread_full(info->fd, out, n, static_cast<int64_t>(pos));
    if (r < 0) return -1;
    auto got = static_cast<uint64_t>(r);
    if (got < n) {
      if (pos + got < info->real_file_size) {
        errno = EIO;  // the file shrank under us
        return -1;
      }
      std::memset(out + got, 0, n - got);
    }
    info->seek_point = pos + n;
    return static_cast<int64_t>(n);
  }
  if (pos > info->file_size) {
    errno = EIO;
    return -1;
  }
  uint64_t n = std::min(len, info->file_size - pos);
  uint64_t done = 0;
  while (done < n) {
    if ((pos & (kFacPageSize - 1)) == 0 && n - done >= kBypassPages * kFacPageSize) {
      uint64_t k = 0;
      uint64_t max_pages = (n - done) / kFacPageSize;
      while (k < max_pages && pos + (k + 1) * kFacPageSize <= info->real_file_size &&
             !fac_lookup(info, pos + k * kFacPageSize))
        ++k;
      if (k >= kBypassPages) {
        uint64_t bytes = k * kFacPageSize;
        ssize_t r = u_pread_full(info->fd, out + done, bytes, static_cast<int64_t>(pos));
        if (r != static_cast<ssize_t>(bytes)) {
          if (r >= 0) errno = EIO;
          info->seek_point = pos;
          return -1;
        }
        pos += bytes;
        done += bytes;
        continue;
      }
    }
    int st;
    FAC_ENTRY* e = fac_get_entry(&st, info, pos);
    if (!e) {
      errno = EIO;
      info->seek_point = pos;
      return -1;
    }
    if (st == 1 && fac_load_page(info, e) < 0) {
      info->seek_point = pos;
      return -1;
    }
    uint64_t ip = pos - e->offset;
    uint64_t c = std::min<uint64_t>(n - done, static_cast<uint64_t>(e->len) - ip);
    if (c == 0) break;
    std::memcpy(out + done, e->data + ip, c);
    pos += c;
    done += c;
  }
  info->seek_point = pos;
  return static_cast<int64_t>(done);
}

int64_t fac_lseek(FAC_INFO* info, int64_t ofs, int pos) {
  int64_t base;
  if (pos == 0)
    base = 0;
  else if (pos == 1)
    base = static_cast<int64_t>(info->seek_point);
  else if (pos == 2)
    base = static_cast<int64_t>(info->file_size);
  else
    return -1;
  if ((ofs > 0 && base > INT64_MAX - ofs)) return -3;
  int64_t target = base + ofs;
  if (target < 0) return -2;
  if (!info->direct && static_cast<uint64_t>(target) > info->file_size) return -3;
  info->seek_point = static_cast<uint64_t>(target);
  return target;
}

int fac_truncate(FAC_INFO* info, uint64_t length) {
  if (length > info->file_size) return -1;
  if (info->direct && !info->view) {
    int64_t on_disk = u_fsize64(info->fd);
    if (on_disk < 0) return -1;
    if (length < static_cast<uint64_t>(on_disk) && fac_write_ops.ftruncate(info->fd, static_cast<int64_t>(length)) < 0)
      return -1;
    info->disk_size = std::min<uint64_t>(static_cast<uint64_t>(on_disk), length);
  }
  // Cached, the file on disk is cut at the next write-back, with the pages
  // it writes (see fac_flush).
  info->file_size = length;
  if (info->seek_point > length) info->seek_point = length;
  info->real_file_size = std::min(info->real_file_size, length);
  if (info->direct) {
    if (!info->view) info->real_file_size = info->disk_size;
    return 0;
  }
  FacPageIndex& idx = *info->entries_tree;
  // Pages wholly past the new end go; the one holding the end stays.
  uint64_t first = (length & kFacPageMask) + kFacPageSize;
  if (idx.max_offset >= first) {
    uint64_t probes = (idx.max_offset - first) / kFacPageSize + 1;
    if (probes <= idx.slots.size()) {
      for (uint64_t o = first; o <= idx.max_offset; o += kFacPageSize)
        if (FAC_ENTRY* e = idx.find(o)) drop_entry(e);
    } else {
      for (size_t i = 0; i < idx.slots.size();) {
        FAC_ENTRY* e = idx.slots[i];
        if (e && e->offset > length)
          drop_entry(e);  // a later entry may have moved into slot i
        else
          ++i;
      }
    }
    idx.max_offset = length & kFacPageMask;
  }
  if (FAC_ENTRY* e = idx.find(length & kFacPageMask)) {
    if (e->offset + static_cast<uint64_t>(e->len) > length) {
      int keep = static_cast<int>(length - e->offset);
      std::memset(e->data + keep, 0, static_cast<size_t>(e->len - keep));
      e->len = keep;
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Flush, close, reload

namespace {

int direct_flush(FAC_INFO* info) {
  if (info->view || info->real_file_size >= info->file_size) return 0;
  if (fac_write_ops.ftruncate(info->fd, static_cast<int64_t>(info->file_size)) < 0) {
    info->write_errno = errno;
    return -1;
  }
  info->real_file_size = info->file_size;
  info->write_errno = 0;
  return 0;
}

}  // namespace

int fac_flush(FAC_INFO* info) {
  if (info->direct) return direct_flush(info);
  return fac_purge_onlyone(info);
}

int fac_sync(FAC_INFO* info) {
  if (info->view) return 0;
  if (fac_write_ops.datasync(info->fd) == 0) return 0;
  info->write_errno = errno;
  return -1;
}

int fac_start_writeback(FAC_INFO* info, uint64_t from, uint64_t len) {
  if (from > INT64_MAX || len > INT64_MAX - from) {
    errno = EINVAL;
    return -1;
  }
  return ::sync_file_range(info->fd, static_cast<off64_t>(from), static_cast<off64_t>(len), SYNC_FILE_RANGE_WRITE) < 0
             ? -1
             : 0;
}

namespace {

// Takes every page of a file out of the cache, written back or not.
void drop_all_pages(FAC_INFO* info) {
  FacPageIndex* idx = info->entries_tree;
  for (size_t i = 0; i < idx->slots.size();) {
    if (idx->slots[i])
      drop_entry(idx->slots[i]);  // a later entry may have moved into slot i
    else
      ++i;
  }
  idx->max_offset = 0;
}

}  // namespace

int fac_close(FAC_INFO* info) {
  if (info->direct) return direct_flush(info);
  int rc = fac_purge_onlyone(info);
  int err = errno;
  drop_all_pages(info);
  FacPageIndex* idx = info->entries_tree;
  delete idx;
  info->entries_tree = nullptr;
  // A journal of this opening's own goes; one left by a crashed writer
  // stays for recovery (this opening may have been refused), and so does
  // one that a failed write-back still needs.
  if (info->journal_made && rc == 0 && u_unlink(info->journal) < 0 && errno != ENOENT) {
    rc = -1;
    err = info->write_errno = errno;
  }
  std::free(info->journal);
  info->journal = nullptr;
  info->prev->next = info->next;
  info->next->prev = info->prev;
  info->next = info->prev = nullptr;
  errno = err;
  return rc;
}

int fac_reload(FAC_INFO* info) {
  int64_t size = u_fsize64(info->fd);
  if (size < 0) return -1;
  if (!info->direct) {
    if (info->dirty_head.h.next != &info->dirty_head) er_panic("fac_reload");
    drop_all_pages(info);
  }
  info->file_size = info->real_file_size = info->disk_size = info->whole_end = static_cast<uint64_t>(size);
  info->ahead_floor = ahead_floor_after(info->file_size);
  info->seek_point = 0;
  return 0;
}

namespace {

// Writes back every cached file (for room: those written back at their
// owner's points only past the ahead floor). 0, or -1 with the errno of
// the last failure.
int purge_every(bool for_room) {
  int rc = 0, err = 0;
  FAC_INFO* head = &fac_general_info.info_list;
  for (FAC_INFO* i = head->next; i != head; i = i->next)
    if (fac_purge_onlyone(i, for_room && i->at_points) < 0) {
      rc = -1;
      err = errno;
    }
  errno = err;
  return rc;
}

}  // namespace

int fac_purge_all() { return purge_every(false); }
int fac_purge_for_room() { return purge_every(true); }

int fac_retry_mark() {
  const FAC_GENERAL& g = fac_general_info;
  return g.dirty_nos + std::max(1, g.total_entries / 8);
}

bool fac_retry_due(const FAC_INFO* info) {
  return !info->write_errno || fac_general_info.dirty_nos >= info->retry_dirty;
}

bool fac_pressed() {
  const FAC_GENERAL& g = fac_general_info;
  return static_cast<double>(g.dirty_nos) >= 0.75 * static_cast<double>(g.total_entries);
}

int fac_overlay_page(FAC_INFO* info, uint64_t page_ofs, const uint8_t* data, size_t len) {
  int st;
  FAC_ENTRY* e = fac_get_entry(&st, info, page_ofs);
  if (!e || (st == 1 && fac_load_page(info, e) < 0)) return -1;
  size_t n = std::min(len, static_cast<size_t>(e->len));
  std::memcpy(e->data, data, n);
  fac_mark_dirty(e);
  return 0;
}

void fa_print_dump(const char* msg, FAC_ENTRY* e, int ptr, int size) {
  int end = size < 0 ? kFacPageSize : ptr + size;
  std::fprintf(stderr, "%s [%i %i : %i %i]\n", msg, e->len, end, ptr, end);
  int start = ptr - ptr % 20;
  for (int i = start; i < e->len && i < end; ++i) {
    int col = (i - start) % 20;
    if (col == 0) std::fprintf(stderr, "%s%s %04i = ", i == start ? "" : "\n", msg, i);
    std::fprintf(stderr, "%02x ", e->data[i]);
    if (col == 9)
      std::fprintf(stderr, "+ ");
    else if (col == 4 || col == 14)
      std::fprintf(stderr, "- ");
  }
  std::fprintf(stderr, "\n");
}

// ---------------------------------------------------------------------------
// Record files

PDB64* open_pdb64(const char* filename, int oflags, int mode, int flags) {
  int fd = u_open64(filename, oflags, mode);
  if (fd < 0) return nullptr;
  if (u_fsize64(fd) < 0) {
    int saved = errno;
    u_close(fd);
    errno = saved;
    return nullptr;
  }
  auto* p = static_cast<PDB64*>(d_calloc(1, sizeof(PDB64)));
  p->fid = fd;
  p->flags = flags;
  p->oflags = oflags;
  p->fac.fd = fd;
  p->fac.long_file = 1;
  fac_init(&p->fac);
  if (!p->fac.direct && (oflags & O_ACCMODE) == O_RDWR) {
    size_t n = std::strlen(filename);
    p->fac.journal = static_cast<char*>(std::malloc(n + sizeof "-journal"));
    if (!p->fac.journal) er_panic("open_pdb64");
    std::memcpy(p->fac.journal, filename, n);
    std::memcpy(p->fac.journal + n, "-journal", sizeof "-journal");
  }
  fac_lseek(&p->fac, 0, 0);
  return p;
}

PDB64_STAMP pdb64_stamp(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return {};
  auto ns = [](const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; };
  return {st.st_dev, st.st_ino, st.st_size, ns(st.st_mtim), ns(st.st_ctim), true};
}

int close_pdb64(PDB64* p, PDB64_STAMP* left) {
  int rc = fac_close(&p->fac);
  if (left) *left = pdb64_stamp(p->fid);  // the last write done, the lock still held
  // The advisory lock belongs to the open file, which a child forked by
  // another thread shares until it execs: let go of the lock itself, so
  // that the file is free for the next open the moment it is closed here.
  if (p->locked) {
    struct flock fl {};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fcntl(p->fid, F_OFD_SETLK, &fl);
    p->locked = 0;
  }
  // On Linux the descriptor is gone even when close reports EINTR, so it
  // is never retried.
  if (u_close(p->fid) < 0 && errno != EINTR) rc = -1;
  d_f_ree(p);
  return rc;
}
