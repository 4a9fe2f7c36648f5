// Opening R64 files, their block cache and the pixel accesses.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/endian.h"
#include "base/file.h"
#include "codec/r64.h"
#include "codec/r64_impl.h"
#include "codec/raster_io_impl.h"

int ent_len = 0;

namespace {

constexpr size_t kFillChunk = size_t{1} << 16;

int fail(int code) {
  r64_error = code;
  return -1;
}

bool type_ok(char t) { return t == 'G' || t == 'P' || t == 'B'; }

size_t buffer_size(char type) { return type == 'P' ? 12288 : type == 'G' ? 4096 : 512; }

int32_t blocks_across(const R64_FILE* f, int level) { return (f->level_w[level] + kR64Block - 1) / kR64Block; }

uint64_t row_bytes(const R64_FILE* f, int level) {
  const uint64_t w = static_cast<uint32_t>(f->level_w[level]);
  return f->header.type == 'B' ? (w + 7) / 8 : w * r64_pixel_bytes(f);
}

size_t block_bytes(const R64_FILE* f, const R64_CACHE_ENT* e) {
  return f->header.type == 'B' ? size_t{(e->w_len + 7u) / 8u} * e->h_len
                               : size_t{e->w_len} * e->h_len * r64_pixel_bytes(f);
}

uint64_t block_start(const R64_FILE* f, const R64_CACHE_ENT* e) {
  const uint64_t stride = f->header.type == 'B' ? uint64_t{e->h_len} * 8 : uint64_t{e->h_len} * 64 * r64_pixel_bytes(f);
  return f->level_ofs[e->level] + row_bytes(f, e->level) * static_cast<uint32_t>(e->h_ofs) +
         static_cast<uint32_t>(e->w_ofs / kR64Block) * stride;
}

// Where a level's last byte of pixels ends. A bilevel level reserves
// w * h bytes but fills only its packed rows.
uint64_t level_end(const R64_FILE* f, int level) {
  return f->level_ofs[level] + row_bytes(f, level) * static_cast<uint32_t>(f->level_h[level]);
}

// Fills n bytes with the background as they lie from stored pixel byte
// `phase` on: three colour bytes repeated for 'P', the grey byte for 'G',
// all bits of the background's bit for 'B'.
void fill_background(const R64_FILE* f, uint8_t* dst, size_t n, uint64_t phase) {
  if (f->header.type == 'P') {
    for (size_t i = 0; i < n; ++i) dst[i] = f->background[(phase + i) % 3];
  } else {
    std::memset(dst, f->header.type == 'G' ? f->background[0] : f->background[0] ? 0xFF : 0, n);
  }
}

// Fills the level table; the number of block slots all levels need.
size_t compute_levels(R64_FILE* f) {
  int32_t w = f->header.width, h = f->header.height;
  uint64_t ofs = kR64HeaderSize;
  size_t blocks = 0;
  std::fill(std::begin(f->level_ofs), std::end(f->level_ofs), 0);
  for (int i = 0; i < kR64Levels; ++i) {
    const int32_t nw = (w + 1) / 2, nh = (h + 1) / 2;
    if (nw < 2 || nh < 2) break;
    f->level_ofs[i] = ofs;
    f->level_w[i] = w;
    f->level_h[i] = h;
    f->level_first_block[i] = static_cast<int32_t>(blocks);
    blocks += size_t(blocks_across(f, i)) * size_t((h + kR64Block - 1) / kR64Block);
    ofs += uint64_t(w) * uint64_t(h) * r64_pixel_bytes(f);
    w = nw;
    h = nh;
  }
  return blocks;
}

int16_t& slot_of(R64_FILE* f, int level, int32_t x, int32_t y) {
  return f->slot_of[f->level_first_block[level] + (y / kR64Block) * blocks_across(f, level) + x / kR64Block];
}

void unlink_entry(R64_CACHE_ENT* e) {
  e->prev->next = e->next;
  e->next->prev = e->prev;
}

void push_front(R64_FILE* f, R64_CACHE_ENT* e) {
  R64_CACHE_ENT* head = &f->cache[0];
  e->next = head->next;
  e->prev = head;
  head->next->prev = e;
  head->next = e;
}

// Appends background bytes from the end of the file up to `to`.
int fill_gap(R64_FILE* f, uint64_t to) {
  std::vector<uint8_t> chunk(static_cast<size_t>(std::min<uint64_t>(kFillChunk, to - f->file_end)));
  while (f->file_end < to) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), to - f->file_end));
    fill_background(f, chunk.data(), n, f->file_end - kR64HeaderSize);
    if (raster_pwrite(f->fd, chunk.data(), n, static_cast<int64_t>(f->file_end)) != static_cast<ssize_t>(n)) {
      std::perror("fill_background");
      return fail(kR64ErrSystem);
    }
    f->file_end += n;
  }
  return 0;
}

int write_back(R64_FILE* f, R64_CACHE_ENT* e) {
  const uint64_t start = block_start(f, e);
  if (start > f->file_end && fill_gap(f, start) != 0) return -1;
  const size_t n = block_bytes(f, e);
  if (raster_pwrite(f->fd, e->buf, n, static_cast<int64_t>(start)) != static_cast<ssize_t>(n)) {
    return fail(kR64ErrSystem);
  }
  f->file_end = std::max(f->file_end, start + n);
  e->flags &= static_cast<uint8_t>(~1u);
  return 0;
}

// Reads a block's bytes, or gives a block past the end of a writable file
// the background.
int load(R64_FILE* f, R64_CACHE_ENT* e) {
  const uint64_t start = block_start(f, e);
  if (start < f->file_end) {
    const size_t n = block_bytes(f, e);
    return raster_pread(f->fd, e->buf, n, static_cast<int64_t>(start)) == static_cast<ssize_t>(n)
               ? 0
               : fail(kR64ErrSystem);
  }
  if (!f->fctl) return fail(kR64ErrBeyondEnd);
  fill_background(f, e->buf, buffer_size(f->header.type), 0);
  e->flags |= 1;
  return 0;
}

// A slot for a new block: a free one, or else the least recently used,
// written back first when dirty. It is out of the ring and the index.
R64_CACHE_ENT* take_slot(R64_FILE* f) {
  R64_CACHE_ENT* e = f->free_list;
  if (e) {
    f->free_list = e->next;
    return e;
  }
  e = f->cache[0].prev;
  if ((e->flags & 1) && write_back(f, e) != 0) return nullptr;
  unlink_entry(e);
  slot_of(f, e->level, e->w_ofs, e->h_ofs) = -1;
  return e;
}

bool inside(const R64_FILE* f, int x, int y, int level) {
  return x >= 0 && y >= 0 && x < f->level_w[level] && y < f->level_h[level];
}

int close_and_free(R64_FILE* f) {
  const int rc = u_close(f->fd);
  std::free(f->buffers);
  std::free(f->slot_of);
  std::free(f);
  return rc;
}

// True when a new file's header can hold these.
bool header_ok(char filetype, int width, int height) {
  return type_ok(filetype) && width >= 1 && height >= 1 && width <= INT16_MAX && height <= INT16_MAX;
}

// Reads or writes the header of a newly opened file; 0 or an error code.
int read_header(R64_FILE* f, char filetype, int width, int height) {
  uint8_t raw[kR64HeaderSize];
  const ssize_t n = raster_pread(f->fd, raw, sizeof raw, 0);
  if (n < 0) return kR64ErrSystem;
  if (n == 0 && f->fctl) {
    if (!header_ok(filetype, width, height)) return kR64ErrMagic;
    std::memcpy(raw, "R64", 3);
    raw[3] = static_cast<uint8_t>(filetype);
    store_be16(raw + 4, static_cast<uint16_t>(width));
    store_be16(raw + 6, static_cast<uint16_t>(height));
    if (raster_pwrite(f->fd, raw, sizeof raw, 0) != kR64HeaderSize) return kR64ErrSystem;
  } else if (n != kR64HeaderSize) {
    return kR64ErrHeader;
  }
  std::memcpy(f->header.preamble, raw, 3);
  f->header.type = static_cast<char>(raw[3]);
  f->header.width = static_cast<int16_t>(load_be16(raw + 4));
  f->header.height = static_cast<int16_t>(load_be16(raw + 6));
  if (std::memcmp(raw, "R64", 3) != 0 || !type_ok(f->header.type) || f->header.width < 1 || f->header.height < 1)
    return kR64ErrMagic;
  return 0;
}

// The block buffers, the slot index and the free list; false when memory
// runs out.
bool init_cache(R64_FILE* f, size_t blocks) {
  const size_t size = buffer_size(f->header.type);
  f->buffers = static_cast<uint8_t*>(std::malloc(size * (kR64CacheEntries - 1)));
  f->slot_of = static_cast<int16_t*>(std::malloc(std::max<size_t>(blocks, 1) * sizeof(int16_t)));
  if (!f->buffers || !f->slot_of) return false;
  std::fill_n(f->slot_of, blocks, int16_t{-1});
  R64_CACHE_ENT* head = &f->cache[0];
  head->next = head->prev = head;
  for (int i = kR64CacheEntries - 1; i >= 1; --i) {
    f->cache[i].buf = f->buffers + size * static_cast<size_t>(i - 1);
    f->cache[i].next = f->free_list;
    f->free_list = &f->cache[i];
  }
  return true;
}

}  // namespace

R64_CACHE_ENT* r64_block(R64_FILE* f, int x, int y, int level) {
  int16_t& slot = slot_of(f, level, x, y);
  if (slot >= 0) {
    R64_CACHE_ENT* e = &f->cache[slot];
    if (f->cache[0].next != e) {
      unlink_entry(e);
      push_front(f, e);
    }
    return e;
  }
  R64_CACHE_ENT* e = take_slot(f);
  if (!e) return nullptr;
  e->level = static_cast<uint8_t>(level);
  e->w_ofs = x - x % kR64Block;
  e->h_ofs = y - y % kR64Block;
  e->w_len = static_cast<uint8_t>(std::min(kR64Block, f->level_w[level] - e->w_ofs));
  e->h_len = static_cast<uint8_t>(std::min(kR64Block, f->level_h[level] - e->h_ofs));
  e->flags = 0;
  if (load(f, e) != 0) {
    e->next = f->free_list;
    f->free_list = e;
    return nullptr;
  }
  slot = static_cast<int16_t>(e - f->cache);
  push_front(f, e);
  return e;
}

void r64_init() {
  r64_error = kR64Ok;
  ent_len = kR64CacheEntries;
}

R64_FILE* r64_open_file(const char* filename, int ctl, int mode, char filetype, int width, int height) {
  // Decided before the file is opened: an opening that empties a file must
  // be able to write its header, and one that cannot make no file.
  const bool writing = (ctl & O_ACCMODE) != O_RDONLY;
  const bool new_header = writing && header_ok(filetype, width, height);
  if ((ctl & O_TRUNC) && !new_header) {
    r64_error = kR64ErrMagic;
    return nullptr;
  }
  if (!new_header) ctl &= ~O_CREAT;
  const int fd = raster_open(filename, ctl, mode);
  if (fd < 0) {
    r64_error = writing && !new_header && errno == ENOENT ? kR64ErrMagic : kR64ErrSystem;
    return nullptr;
  }
  auto* f = static_cast<R64_FILE*>(std::calloc(1, sizeof(R64_FILE)));
  if (!f) {
    u_close(fd);
    r64_error = kR64ErrMemory;
    return nullptr;
  }
  f->fd = fd;
  f->rc_type = 1;
  f->fctl = (ctl & O_ACCMODE) != O_RDONLY;
  int rc = read_header(f, filetype, width, height);
  const int64_t size = rc == 0 ? u_fsize64(fd) : 0;
  if (rc == 0 && size < 0) rc = kR64ErrSystem;
  if (rc == 0 && !init_cache(f, compute_levels(f))) rc = kR64ErrMemory;
  if (rc != 0) {
    close_and_free(f);
    r64_error = rc;
    return nullptr;
  }
  f->file_end = static_cast<uint64_t>(size);
  r64_error = kR64Ok;
  return f;
}

int r64_flush(R64_FILE* f) {
  int rc = 0;
  for (R64_CACHE_ENT* e = f->cache[0].next; e != &f->cache[0]; e = e->next)
    if ((e->flags & 1) && write_back(f, e) != 0) rc = -1;
  return rc;
}

int r64_close_file(R64_FILE* f) {
  if (!f) return -1;
  int rc = r64_flush(f);
  if (close_and_free(f) != 0) rc = -1;
  r64_error = rc == 0 ? kR64Ok : kR64ErrSystem;
  return rc;
}

int r64_ctl(R64_FILE* f, int command, const void* value) {
  if (!value) return fail(kR64ErrControl);
  if (command == 0) {
    const int rule = *static_cast<const int*>(value);
    if (rule != 0 && rule != 1) return fail(kR64ErrControl);
    f->rc_type = rule;
    return 0;
  }
  if (command == 1) {
    std::memcpy(f->background, value, static_cast<size_t>(r64_pixel_bytes(f)));
    return 0;
  }
  return fail(kR64ErrControl);
}

int r64_check_level(R64_FILE* f, int level) {
  if (!r64_level_present(f, level)) return 0;
  int64_t size = u_fsize64(f->fd);
  uint64_t end = size < 0 ? f->file_end : static_cast<uint64_t>(size);
  for (R64_CACHE_ENT* e = f->cache[0].next; e != &f->cache[0]; e = e->next)
    if (e->flags & 1) end = std::max<uint64_t>(end, block_start(f, e) + block_bytes(f, e));
  return end >= level_end(f, level) ? 1 : 0;
}

int r64_red(void* buf, R64_FILE* f, int w, int h, int level) {
  if (!r64_level_present(f, level)) return fail(kR64ErrLevel);
  auto* out = static_cast<uint8_t*>(buf);
  if (!inside(f, w, h, level)) {
    if (f->rc_type == 0) {
      if (f->header.type == 'B')
        out[0] = f->background[0] ? 255 : 0;
      else
        std::memcpy(out, f->background, static_cast<size_t>(r64_pixel_bytes(f)));
      return 0;
    }
    if (f->rc_type != 1) return fail(kR64ErrRule);
    w = std::clamp(w, 0, f->level_w[level] - 1);
    h = std::clamp(h, 0, f->level_h[level] - 1);
  }
  R64_CACHE_ENT* e = r64_block(f, w, h, level);
  if (!e) return -1;
  r64_get_pixel(f, e, w, h, out);
  return 0;
}

int r64_set(R64_FILE* f, int w, int h, int level, const void* buf) {
  if (!r64_level_present(f, level)) return fail(kR64ErrLevel);
  if (!inside(f, w, h, level)) return fail(kR64ErrPosition);
  R64_CACHE_ENT* e = r64_block(f, w, h, level);
  if (!e) return -1;
  r64_put_pixel(f, e, w, h, static_cast<const uint8_t*>(buf));
  return 0;
}

int r64_plane(uint8_t** data, int* w, int* h, int* size, R64_FILE* f, int x, int y, int level) {
  *data = nullptr;
  if (!r64_level_present(f, level)) return fail(kR64ErrLevel);
  if (!inside(f, x, y, level)) {
    r64_error = kR64Ok;
    return 0;
  }
  R64_CACHE_ENT* e = r64_block(f, x, y, level);
  if (!e) return -1;
  *data = e->buf;
  *w = e->w_len;
  *h = e->h_len;
  *size = static_cast<int>(block_bytes(f, e));
  return 0;
}
