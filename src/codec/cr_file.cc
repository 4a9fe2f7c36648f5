// Opening CR files and reading their blocks through the entry cache.
#include "codec/cr_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/endian.h"
#include "base/file.h"
#include "codec/raster_io_impl.h"

namespace {

int fail(int code) {
  r64_error = code;
  return code;
}

int32_t blocks(int32_t side, int rect) { return (side + rect - 1) / rect; }

// Fills the level table; the number of table entries.
uint32_t compute_levels(CR_FILE* f) {
  const int rect = f->header.rect_size;
  int32_t w = f->header.width, h = f->header.height;
  uint32_t first = 0;
  int last = kCrLevels;
  for (int i = 0; i < kCrLevels; ++i) {
    f->level_entry[i] = static_cast<int32_t>(first);
    f->level_w[i] = w;
    f->level_h[i] = h;
    first += static_cast<uint32_t>(blocks(w, rect) * blocks(h, rect));
    w = (w + 1) / 2;
    h = (h + 1) / 2;
    if (w < 2 || h < 2) {
      last = i;
      break;
    }
  }
  for (int i = last; i < kCrLevels; ++i) {
    f->level_entry[i] = -1;
    f->level_w[i] = f->level_h[i] = 0;
  }
  return first;
}

bool sizes_ok(int rect_size, int width, int height) {
  return rect_size >= 1 && rect_size <= 256 && width >= 1 && height >= 1 && width <= INT16_MAX && height <= INT16_MAX;
}

void parse_header(const uint8_t* raw, CR_HEADER* h) {
  std::memcpy(h->magic, raw, 3);
  h->type = raw[3];
  h->width = static_cast<int16_t>(load_be16(raw + 4));
  h->height = static_cast<int16_t>(load_be16(raw + 6));
  h->rect_size = load_be16(raw + 8);
  h->dummy = load_be16(raw + 10);
  h->cr_tbl_nos = load_be32(raw + 12);
}

// Writes the header and a zeroed table of a new file; 0 or an error code.
// Block offsets are 32-bit, so a table that would not leave room for them
// is refused.
int create_layout(CR_FILE* f, int rect_size, int width, int height) {
  std::memcpy(f->header.magic, "CR", 3);
  f->header.width = static_cast<int16_t>(width);
  f->header.height = static_cast<int16_t>(height);
  f->header.rect_size = static_cast<uint16_t>(rect_size);
  f->header.cr_tbl_nos = compute_levels(f);
  const uint64_t end = kCrHeaderSize + uint64_t{kCrTableEntrySize} * f->header.cr_tbl_nos;
  if (end > UINT32_MAX) return kR64ErrMagic;
  uint8_t raw[kCrHeaderSize] = {'C', 'R', 0};
  store_be16(&raw[4], static_cast<uint16_t>(width));
  store_be16(&raw[6], static_cast<uint16_t>(height));
  store_be16(&raw[8], static_cast<uint16_t>(rect_size));
  store_be32(&raw[12], f->header.cr_tbl_nos);
  if (raster_pwrite(f->fd, raw, sizeof raw, 0) != kCrHeaderSize) return kR64ErrSystem;
  std::vector<uint8_t> zeros(std::min<uint64_t>(end - kCrHeaderSize, 1 << 16), 0);
  for (uint64_t at = kCrHeaderSize; at < end;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(zeros.size(), end - at));
    if (raster_pwrite(f->fd, zeros.data(), n, static_cast<int64_t>(at)) != static_cast<ssize_t>(n))
      return kR64ErrSystem;
    at += n;
  }
  f->write_ofs = static_cast<uint32_t>(end);
  return 0;
}

// Checks a header read from the file; 0 or an error code.
int check_header(CR_FILE* f, int64_t file_size) {
  const CR_HEADER& h = f->header;
  if (std::memcmp(h.magic, "CR", 3) != 0 || !sizes_ok(h.rect_size, h.width, h.height)) return kR64ErrMagic;
  uint32_t needed = compute_levels(f);
  if (h.cr_tbl_nos < needed || kCrHeaderSize + int64_t{kCrTableEntrySize} * h.cr_tbl_nos > file_size)
    return kR64ErrHeader;
  f->header.type = 0;
  f->write_ofs = file_size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(file_size);
  return 0;
}

void init_cache(CR_FILE* f) {
  CR_ENT* head = &f->cache[0];
  head->next = head->prev = head;
  f->free_list = nullptr;
  for (int i = kCrCacheEntries - 1; i >= 1; --i) {
    f->cache[i].next = f->free_list;
    f->free_list = &f->cache[i];
  }
}

void unlink_entry(CR_ENT* e) {
  e->prev->next = e->next;
  e->next->prev = e->prev;
}

void push_front(CR_FILE* f, CR_ENT* e) {
  CR_ENT* head = &f->cache[0];
  e->next = head->next;
  e->prev = head;
  head->next->prev = e;
  head->next = e;
}

// A free entry, or else the least recently used one with its data freed;
// the entry is out of the ring.
CR_ENT* take_entry(CR_FILE* f) {
  CR_ENT* e = f->free_list;
  if (e) {
    f->free_list = e->next;
    return e;
  }
  e = f->cache[0].prev;
  unlink_entry(e);
  std::free(e->b.buf);
  e->b.buf = nullptr;
  return e;
}

void give_back(CR_FILE* f, CR_ENT* e) {
  std::free(e->b.buf);
  e->b.buf = nullptr;
  e->next = f->free_list;
  f->free_list = e;
}

CR_ENT* find_entry(CR_FILE* f, int32_t x0, int32_t y0, int level) {
  for (CR_ENT* e = f->cache[0].next; e != &f->cache[0]; e = e->next)
    if (e->w_ofs == x0 && e->h_ofs == y0 && e->level == level) return e;
  return nullptr;
}

// Reads the entry's table record and block data; 0 or an error code.
int load_entry(CR_FILE* f, CR_ENT* e, int64_t tbl_ofs) {
  uint8_t raw[kCrTableEntrySize];
  ssize_t n = raster_pread(f->fd, raw, sizeof raw, tbl_ofs);
  if (n < 0) return kR64ErrSystem;
  if (n != kCrTableEntrySize) return kR64ErrHeader;
  CR_MEM_TBL& b = e->b;
  const uint32_t ofs = load_be32(raw);
  b.type = static_cast<char>(raw[4]);
  std::memcpy(b.cal, raw + 5, 3);
  b.size = static_cast<int32_t>(load_be32(raw + 8));
  int64_t file_size = u_fsize64(f->fd);
  if (file_size < 0) return kR64ErrSystem;
  if (ofs == 0 || b.size <= 0 || b.size > file_size - int64_t{ofs}) return kR64ErrHeader;
  b.buf = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(b.size)));
  if (!b.buf) return kR64ErrSystem;
  n = raster_pread(f->fd, b.buf, static_cast<size_t>(b.size), ofs);
  if (n < 0) return kR64ErrSystem;
  return n == b.size ? 0 : kR64ErrHeader;
}

}  // namespace

CR_FILE* cr_open_file(const char* filename, int ctl, int mode, int rect_size, int width, int height) {
  int fd = raster_open(filename, ctl, mode);
  if (fd < 0) {
    r64_error = kR64ErrSystem;
    return nullptr;
  }
  auto* f = static_cast<CR_FILE*>(std::calloc(1, sizeof(CR_FILE)));
  if (!f) {
    u_close(fd);
    r64_error = kR64ErrMemory;
    return nullptr;
  }
  f->fd = fd;
  f->fctl = (ctl & O_ACCMODE) != O_RDONLY;
  uint8_t raw[kCrHeaderSize];
  ssize_t n = raster_pread(fd, raw, sizeof raw, 0);
  int rc;
  if (n == kCrHeaderSize) {
    parse_header(raw, &f->header);
    rc = check_header(f, u_fsize64(fd));
  } else if (n == 0 && f->fctl) {
    rc = sizes_ok(rect_size, width, height) ? create_layout(f, rect_size, width, height) : kR64ErrMagic;
  } else {
    rc = n < 0 ? kR64ErrSystem : kR64ErrHeader;
  }
  if (rc != 0) {
    u_close(fd);
    std::free(f);
    r64_error = rc;
    return nullptr;
  }
  init_cache(f);
  r64_error = kR64Ok;
  return f;
}

int cr_close_file(CR_FILE* f) {
  if (!f) return -1;
  int rc = u_close(f->fd);
  for (CR_ENT& e : f->cache) std::free(e.b.buf);
  std::free(f);
  r64_error = kR64Ok;
  return rc;
}

int cr_check_level(const CR_FILE* f, int level) {
  return level >= 0 && level < kCrLevels && f->level_entry[level] >= 0 ? 1 : 0;
}

int64_t get_tbl_ofs(const CR_FILE* f, int x, int y, int level) {
  if (!cr_check_level(f, level) || x < 0 || y < 0 || x >= f->level_w[level] || y >= f->level_h[level]) return -1;
  const int rect = f->header.rect_size;
  int64_t index = f->level_entry[level] + int64_t{y / rect} * blocks(f->level_w[level], rect) + x / rect;
  return kCrHeaderSize + kCrTableEntrySize * index;
}

int cr_read(CR_MEM_TBL* b, CR_FILE* f, int x, int y, int level) {
  if (!cr_check_level(f, level)) return fail(kR64ErrLevel);
  int64_t tbl_ofs = get_tbl_ofs(f, x, y, level);
  if (tbl_ofs < 0) return fail(kR64ErrPosition);
  if (tbl_ofs + kCrTableEntrySize > kCrHeaderSize + int64_t{kCrTableEntrySize} * f->header.cr_tbl_nos)
    return fail(kR64ErrHeader);
  const int rect = f->header.rect_size;
  const int32_t x0 = x - x % rect, y0 = y - y % rect;
  CR_ENT* e = find_entry(f, x0, y0, level);
  if (e) {
    unlink_entry(e);
  } else {
    e = take_entry(f);
    if (int rc = load_entry(f, e, tbl_ofs); rc != 0) {
      give_back(f, e);
      return fail(rc);
    }
    e->w_ofs = x0;
    e->h_ofs = y0;
    e->level = static_cast<uint8_t>(level);
    e->w_len = static_cast<uint16_t>(std::min(rect, f->level_w[level] - x0));
    e->h_len = static_cast<uint16_t>(std::min(rect, f->level_h[level] - y0));
  }
  push_front(f, e);
  auto* copy = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(e->b.size)));
  if (!copy) return fail(kR64ErrSystem);
  std::memcpy(copy, e->b.buf, static_cast<size_t>(e->b.size));
  *b = e->b;
  b->buf = copy;
  r64_error = kR64Ok;
  return 0;
}

void free_cr_mem_tbl(CR_MEM_TBL* b) {
  std::free(b->buf);
  b->buf = nullptr;
}
