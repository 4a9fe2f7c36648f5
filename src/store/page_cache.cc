// The page cache shared by every open record file.
//
// Pages are 4096 bytes at multiples of 4096. Each file indexes its pages by
// offset. Clean pages of all files sit in one least-recently-used ring, from
// which eviction takes the oldest; a dirty page leaves the ring for its
// file's dirty list until it is written back, so eviction never walks over
// dirty pages. Writing back happens at flush, close, and when three quarters
// of the limit are dirty.
//
// Invariants: every cached page has len = min(file_size - offset, 4096);
// real_file_size <= file_size; every byte between real_file_size and
// file_size lies in a dirty page.
#include <fcntl.h>
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
#include "store/pdb64.h"

FAC_GENERAL fac_general_info;

namespace {

constexpr uint64_t kPageMask = ~uint64_t{kFacPageSize - 1};
// Whole-page runs at least this long that are not cached are read straight
// into the caller's buffer instead of through the cache.
constexpr uint64_t kBypassPages = 4;
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

FAC_ENTRY* new_entry(FAC_INFO* info, uint64_t offset) {
  FAC_ENTRY* e;
  auto& pool = entry_pool();
  if (!pool.empty()) {
    e = pool.back();
    pool.pop_back();
    std::memset(e->data, 0, kFacPageSize);
  } else {
    e = static_cast<FAC_ENTRY*>(d_alloc(sizeof(FAC_ENTRY)));
    e->data = static_cast<uint8_t*>(std::calloc(1, kFacPageSize));
    if (!e->data) er_panic("fac_entry");
  }
  e->h.next = e->h.prev = nullptr;
  e->dirty = 0;
  e->pinned = 0;
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
  std::free(e->data);
  d_f_ree(e);
}

// Takes a page out of the cache entirely (index, ring or dirty list, counts).
void drop_entry(FAC_ENTRY* e) {
  FAC_INFO* info = e->info;
  FAC_GENERAL& g = fac_general_info;
  ring_unlink(e);
  if (e->dirty) g.dirty_nos--;
  g.entries_nos--;
  if (info->entries_tree->erase(e->offset) != 1) er_panic("get_entry");
  if (info->last == e) info->last = nullptr;
  release_entry(e);
}

void evict(FAC_ENTRY* keep) {
  FAC_GENERAL& g = fac_general_info;
  FAC_ENTRY* v = g.entries.h.prev;
  while (g.entries_nos > g.total_entries && v != &g.entries) {
    FAC_ENTRY* prev = v->h.prev;
    if (v != keep && !v->pinned) drop_entry(v);
    v = prev;
  }
}

int64_t page_len_for(const FAC_INFO* info, uint64_t page_ofs) {
  uint64_t rest = info->file_size > page_ofs ? info->file_size - page_ofs : 0;
  return static_cast<int64_t>(std::min<uint64_t>(rest, kFacPageSize));
}

FAC_ENTRY* lookup(FAC_INFO* info, uint64_t page_ofs) {
  if (info->last && info->last->offset == page_ofs) return info->last;
  auto it = info->entries_tree->find(page_ofs);
  return it == info->entries_tree->end() ? nullptr : it->second;
}

// Fetches the page holding `offset`; status 1 for a page made now (its bytes
// not yet read), 0 for one already held. Null beyond the logical end.
FAC_ENTRY* get_entry(int* status, FAC_INFO* info, uint64_t offset) {
  if (offset > info->file_size) return nullptr;
  FAC_GENERAL& g = fac_general_info;
  uint64_t po = offset & kPageMask;
  FAC_ENTRY* e = lookup(info, po);
  if (e) {
    *status = 0;
    if (!e->dirty) {
      ring_unlink(e);
      ring_push_front(&g.entries, e);
    }
  } else {
    e = new_entry(info, po);
    e->len = static_cast<int>(page_len_for(info, po));
    if (!info->entries_tree->emplace(po, e).second) er_panic("get_entry");
    *status = 1;
    g.entries_nos++;
    ring_push_front(&g.entries, e);
  }
  info->last = e;
  evict(e);
  return e;
}

// Fills a page made now from the disk. The bytes past the on-disk end stay
// zero. On failure the page is dropped and -1 returned.
int load_page(FAC_INFO* info, FAC_ENTRY* e) {
  if (e->offset >= info->real_file_size || e->len == 0) return 0;
  uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(e->len), info->real_file_size - e->offset);
  ssize_t r = u_pread_full(info->fd, e->data, n, static_cast<int64_t>(e->offset));
  if (r == static_cast<ssize_t>(n)) return 0;
  if (r >= 0) errno = EIO;  // the file is shorter than it should be
  int saved = errno;
  drop_entry(e);
  errno = saved;
  return -1;
}

void mark_dirty(FAC_ENTRY* e) {
  if (e->dirty) return;
  ring_unlink(e);
  ring_push_front(&e->info->dirty_head, e);
  e->dirty = 1;
  fac_general_info.dirty_nos++;
}

void mark_clean(FAC_ENTRY* e) {
  ring_unlink(e);
  e->dirty = 0;
  fac_general_info.dirty_nos--;
  ring_push_front(&fac_general_info.entries, e);
}

// pwritev until everything is written; 0 or -1.
int pwritev_full(int fd, iovec* iov, int cnt, uint64_t off) {
  while (cnt > 0) {
    ssize_t n = ::pwritev(fd, iov, cnt, static_cast<off_t>(off));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) {
      errno = EIO;
      return -1;
    }
    off += static_cast<uint64_t>(n);
    auto left = static_cast<size_t>(n);
    while (cnt > 0 && left >= iov->iov_len) {
      left -= iov->iov_len;
      ++iov;
      --cnt;
    }
    if (cnt > 0) {
      iov->iov_base = static_cast<char*>(iov->iov_base) + left;
      iov->iov_len -= left;
    }
  }
  return 0;
}

// Writes one file's dirty pages in ascending order, joining neighbouring
// pages into one system call.
int fac_purge_onlyone(FAC_INFO* info) {
  static thread_local std::vector<FAC_ENTRY*> pages;
  static thread_local std::vector<iovec> iov;
  pages.clear();
  for (FAC_ENTRY* e = info->dirty_head.h.next; e != &info->dirty_head; e = e->h.next) pages.push_back(e);
  if (pages.empty()) return 0;
  std::sort(pages.begin(), pages.end(), [](const FAC_ENTRY* a, const FAC_ENTRY* b) { return a->offset < b->offset; });
  size_t i = 0;
  while (i < pages.size()) {
    size_t j = i;
    iov.clear();
    for (;;) {
      iov.push_back(iovec{pages[j]->data, static_cast<size_t>(pages[j]->len)});
      if (j + 1 >= pages.size() || iov.size() >= IOV_MAX) break;
      if (pages[j]->len != kFacPageSize || pages[j + 1]->offset != pages[j]->offset + kFacPageSize) break;
      ++j;
    }
    if (pwritev_full(info->fd, iov.data(), static_cast<int>(iov.size()), pages[i]->offset) < 0) return -1;
    for (size_t k = i; k <= j; ++k) {
      uint64_t end = pages[k]->offset + static_cast<uint64_t>(pages[k]->len);
      if (end > info->real_file_size) info->real_file_size = end;
      mark_clean(pages[k]);
    }
    i = j + 1;
  }
  if (info->real_file_size != info->file_size) {
    // Every byte past the on-disk end lies in a dirty page, so this cannot
    // happen unless the cache is broken.
    er_panic("fac_purge(2)");
  }
  return 0;
}

}  // namespace

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
  int64_t size = u_fsize64(info->fd);
  if (size < 0) size = 0;  // open_pdb64 checks the descriptor first
  info->file_size = info->real_file_size = static_cast<uint64_t>(size);
  if (info->direct) {
    info->next = info->prev = info;
    return;
  }
  info->entries_tree = new std::map<uint64_t, FAC_ENTRY*>;
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
    ssize_t r = u_pread_full(info->fd, out, len, static_cast<int64_t>(pos));
    if (r < 0) return -1;
    info->seek_point = pos + static_cast<uint64_t>(r);
    return r;
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
             !lookup(info, pos + k * kFacPageSize))
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
    FAC_ENTRY* e = get_entry(&st, info, pos);
    if (!e) {
      errno = EIO;
      info->seek_point = pos;
      return -1;
    }
    if (st == 1 && load_page(info, e) < 0) {
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

namespace {

int64_t direct_write(FAC_INFO* info, const void* data, uint64_t len) {
  static const uint8_t zeros[65536] = {};
  uint64_t pos = info->seek_point;
  uint64_t end = pos + len;
  uint64_t old_size = info->file_size;
  int rc = 0;
  if (data) {
    rc = u_pwrite_full(info->fd, data, len, static_cast<int64_t>(pos)) < 0 ? -1 : 0;
  } else {
    // Zeros below the end are written; past the end the file is extended.
    uint64_t p = pos;
    while (rc == 0 && p < std::min(end, old_size)) {
      uint64_t c = std::min<uint64_t>(sizeof zeros, std::min(end, old_size) - p);
      rc = u_pwrite_full(info->fd, zeros, c, static_cast<int64_t>(p)) < 0 ? -1 : 0;
      p += c;
    }
    if (rc == 0 && end > old_size) rc = u_ftruncate64(info->fd, static_cast<int64_t>(end));
  }
  if (rc < 0) {
    int saved = errno;
    if (end > old_size) u_ftruncate64(info->fd, static_cast<int64_t>(old_size));
    errno = saved;
    return -1;
  }
  info->seek_point = end;
  if (end > info->file_size) info->file_size = info->real_file_size = end;
  return static_cast<int64_t>(len);
}

// Makes sure a page that a write covers only in part holds its bytes from
// disk before the write changes anything, and pins it.
int prepare_partial(FAC_INFO* info, uint64_t page_ofs, FAC_ENTRY** pinned, int* np) {
  if (page_ofs >= info->real_file_size) return 0;  // nothing on disk to keep
  int st;
  FAC_ENTRY* e = get_entry(&st, info, page_ofs);
  if (!e) {
    errno = EIO;
    return -1;
  }
  if (st == 1 && load_page(info, e) < 0) return -1;
  e->pinned = 1;
  pinned[(*np)++] = e;
  return 0;
}

}  // namespace

int64_t fac_write(FAC_INFO* info, const void* data, uint64_t len) {
  if (len > kPn64MaxMemSize || info->seek_point > kPn64MaxMemSize) {
    errno = EFBIG;
    return -1;
  }
  if (info->direct) return direct_write(info, data, len);
  uint64_t pos = info->seek_point;
  if (pos > info->file_size) {
    errno = EIO;
    return -1;
  }
  if (len == 0) return 0;
  const auto* in = static_cast<const uint8_t*>(data);
  uint64_t end = pos + len;
  FAC_ENTRY* pinned[2];
  int np = 0;
  uint64_t first = pos & kPageMask;
  uint64_t last = (end - 1) & kPageMask;
  bool ok = true;
  if ((pos & (kFacPageSize - 1)) != 0 || end < first + kFacPageSize)
    ok = prepare_partial(info, first, pinned, &np) == 0;
  if (ok && last != first && (end & (kFacPageSize - 1)) != 0) ok = prepare_partial(info, last, pinned, &np) == 0;
  if (!ok) {
    int saved = errno;
    for (int i = 0; i < np; ++i) pinned[i]->pinned = 0;
    errno = saved;
    return -1;
  }
  uint64_t done = 0;
  while (pos < end) {
    int st;
    FAC_ENTRY* e = get_entry(&st, info, pos);
    if (!e) er_panic("fac_write");  // pos never passes file_size here
    uint64_t ip = pos - e->offset;
    if (ip > static_cast<uint64_t>(e->len)) er_panic("fac_write(2)");
    uint64_t piece = std::min<uint64_t>(end - pos, kFacPageSize - ip);
    mark_dirty(e);
    if (in)
      std::memcpy(e->data + ip, in + done, piece);
    else if (st == 0)
      std::memset(e->data + ip, 0, piece);
    if (ip + piece > static_cast<uint64_t>(e->len)) e->len = static_cast<int>(ip + piece);
    pos += piece;
    done += piece;
    if (pos > info->file_size) info->file_size = pos;
  }
  for (int i = 0; i < np; ++i) pinned[i]->pinned = 0;
  info->seek_point = pos;
  FAC_GENERAL& g = fac_general_info;
  if (static_cast<double>(g.dirty_nos) >= 0.75 * static_cast<double>(g.total_entries)) {
    // A failure leaves the pages dirty; the file's next flush reports it.
    fac_purge_all();
  }
  return static_cast<int64_t>(len);
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
  int64_t on_disk = u_fsize64(info->fd);
  if (on_disk < 0) return -1;
  if (length < static_cast<uint64_t>(on_disk) && u_ftruncate64(info->fd, static_cast<int64_t>(length)) < 0) return -1;
  info->file_size = length;
  if (info->seek_point > length) info->seek_point = length;
  info->real_file_size = std::min<uint64_t>(static_cast<uint64_t>(on_disk), length);
  if (info->direct) return 0;
  auto& tree = *info->entries_tree;
  auto it = tree.upper_bound(length);
  while (it != tree.end()) {
    FAC_ENTRY* e = it->second;
    ++it;
    drop_entry(e);
  }
  if (!tree.empty()) {
    FAC_ENTRY* e = tree.rbegin()->second;
    if (e->offset + static_cast<uint64_t>(e->len) > length) {
      int keep = static_cast<int>(length - e->offset);
      std::memset(e->data + keep, 0, static_cast<size_t>(e->len - keep));
      e->len = keep;
    }
  }
  return 0;
}

int fac_flush(FAC_INFO* info) {
  if (info->direct) return 0;
  return fac_purge_onlyone(info);
}

int fac_close(FAC_INFO* info) {
  if (info->direct) return 0;
  int rc = fac_purge_onlyone(info);
  auto* tree = info->entries_tree;
  while (!tree->empty()) drop_entry(tree->begin()->second);
  delete tree;
  info->entries_tree = nullptr;
  info->prev->next = info->next;
  info->next->prev = info->prev;
  info->next = info->prev = nullptr;
  return rc;
}

int fac_purge_all() {
  int rc = 0;
  FAC_INFO* head = &fac_general_info.info_list;
  for (FAC_INFO* i = head->next; i != head; i = i->next)
    if (fac_purge_onlyone(i) < 0) rc = -1;
  return rc;
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
  fac_lseek(&p->fac, 0, 0);
  return p;
}

int close_pdb64(PDB64* p) {
  int rc = fac_close(&p->fac);
  // On Linux the descriptor is gone even when close reports EINTR, so it
  // is never retried.
  if (u_close(p->fid) < 0 && errno != EINTR) rc = -1;
  d_f_ree(p);
  return rc;
}
