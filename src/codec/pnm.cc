// PNM header reading and writing, the row cache and the row write buffer.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/file.h"
#include "codec/pnm_impl.h"

namespace {

// The header text read with netpbm's rules. get() turns a comment into the
// line end that closes it.
struct HeaderText {
  const uint8_t* buf;
  size_t len;
  size_t pos = 0;

  int raw() { return pos < len ? buf[pos++] : -1; }
  int get() {
    int ch = raw();
    if (ch == '#')
      do ch = raw();
      while (ch != '\n' && ch != '\r' && ch >= 0);
    return ch;
  }
  static bool space(int ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r'; }

  // White space, a decimal number, and the one byte after it, which must
  // be white space (or a comment). -1 when anything else is found.
  int64_t number() {
    int ch;
    do ch = get();
    while (space(ch));
    if (ch < '0' || ch > '9') return -1;
    int64_t v = 0;
    for (; ch >= '0' && ch <= '9'; ch = get()) {
      v = v * 10 + (ch - '0');
      if (v > INT32_MAX) return -1;
    }
    return space(ch) ? v : -1;
  }
};

void start_caches(PPM_INFO* p) {
  for (PPM_CACHE& e : p->pi_cache) e = PPM_CACHE{0, nullptr};
  p->pi_write = nullptr;
  p->pi_write_offset = 0;
  p->pi_lastacc = UINT64_MAX;
}

bool inside(const PPM_INFO* p, uint32_t w, uint32_t h) { return w < p->pi_width && h < p->pi_height; }

int64_t row_offset(const PPM_INFO* p, uint32_t h, int spp) {
  return p->pi_offset + static_cast<int64_t>(h) * p->pi_width * spp;
}

// The cached line of row h, moved to the front; null on a miss.
uint8_t* get_pixel(PPM_INFO* p, uint32_t h) {
  for (int i = 0; i < kPpmCacheRows; ++i) {
    PPM_CACHE e = p->pi_cache[i];
    if (!e.pc_line || static_cast<uint32_t>(e.pc_h) != h) continue;
    std::memmove(&p->pi_cache[1], &p->pi_cache[0], sizeof(PPM_CACHE) * static_cast<size_t>(i));
    p->pi_cache[0] = e;
    return e.pc_line;
  }
  return nullptr;
}

// Replaces the least recently used line by a zeroed one for row h, at the
// front. Null when the row cannot be held.
uint8_t* new_line(PPM_INFO* p, uint32_t h, size_t bytes) {
  std::free(p->pi_cache[kPpmCacheRows - 1].pc_line);
  p->pi_cache[kPpmCacheRows - 1].pc_line = nullptr;
  auto* line = static_cast<uint8_t*>(std::calloc(bytes, 1));
  if (!line) return nullptr;
  std::memmove(&p->pi_cache[1], &p->pi_cache[0], sizeof(PPM_CACHE) * (kPpmCacheRows - 1));
  p->pi_cache[0] = PPM_CACHE{static_cast<int32_t>(h), line};
  return line;
}

// Loads row h into the cache; bytes past the end of the file stay 0.
uint8_t* refresh(PPM_INFO* p, uint32_t h, int spp) {
  size_t bytes = size_t{p->pi_width} * static_cast<size_t>(spp);
  uint8_t* line = new_line(p, h, bytes);
  if (!line) return nullptr;
  int64_t at = row_offset(p, h, spp);
  if (u_pread_full(p->pi_fd, line, bytes, at) < 0) std::memset(line, 0, bytes);
  p->pi_lastacc = static_cast<uint64_t>(at) + bytes;
  return line;
}

// write_ppm hands the kernel pieces from one page-aligned buffer that
// stays in the cache: its copy into the file's pages then starts at the
// same page offset on both sides. Copied straight from the image, whose
// rows lie at whatever offset the caller's memory and the header's length
// give, the kernel's copy runs at half speed when the file's pages are a
// few bytes ahead of the image's (a malloc'd image and a 17-byte header).
constexpr uint64_t kWritePiece = uint64_t{1} << 20;
constexpr size_t kPage = 4096;

// A copy in 64-byte vector moves, which keep their speed at any relative
// offset of source and destination. The empty asm keeps the compiler from
// turning the loop back into a call of memcpy, whose string-move path is
// the slow one here.
void copy_unaliased(uint8_t* dst, const uint8_t* src, size_t len) {
  using V16 = uint8_t __attribute__((vector_size(16)));
  size_t i = 0;
  for (; i + 64 <= len; i += 64) {
    V16 a, b, c, d;
    std::memcpy(&a, src + i, 16);
    std::memcpy(&b, src + i + 16, 16);
    std::memcpy(&c, src + i + 32, 16);
    std::memcpy(&d, src + i + 48, 16);
    std::memcpy(dst + i, &a, 16);
    std::memcpy(dst + i + 16, &b, 16);
    std::memcpy(dst + i + 32, &c, 16);
    std::memcpy(dst + i + 48, &d, 16);
    asm volatile("" ::: "memory");
  }
  std::memcpy(dst + i, src + i, len - i);
}

int flush_write_row(PPM_INFO* p) {
  if (!p->pi_write) return 0;
  size_t bytes = size_t{p->pi_width} * static_cast<size_t>(pnm_samples(p));
  ssize_t n = u_pwrite_full(p->pi_fd, p->pi_write, bytes, p->pi_write_offset);
  std::free(p->pi_write);
  p->pi_write = nullptr;
  return n == static_cast<ssize_t>(bytes) ? 0 : -1;
}

}  // namespace

int pnm_samples(const PPM_INFO* p) {
  if (p->pi_max < 1 || p->pi_max > 255) return 0;
  if (std::strcmp(p->pi_type, "P6") == 0) return 3;
  if (std::strcmp(p->pi_type, "P5") == 0) return 1;
  return 0;
}

int read_header(PPM_INFO* p) {
  uint8_t buf[kPnmHeaderMax];
  ssize_t got = u_pread_full(p->pi_fd, buf, sizeof buf, 0);
  if (got < 3) return -1;
  HeaderText t{buf, static_cast<size_t>(got)};
  int m0 = t.raw(), m1 = t.raw();
  if (m0 != 'P' || m1 < '1' || m1 > '6') return -1;
  int64_t width = t.number(), height = width < 0 ? -1 : t.number();
  if (height < 0) return -1;
  int64_t max = 1;
  if (m1 != '1' && m1 != '4') {
    max = t.number();
    if (max < 1 || max > 65535) return -1;
  }
  p->pi_type[0] = 'P';
  p->pi_type[1] = static_cast<char>(m1);
  p->pi_type[2] = p->pi_type[3] = '\0';
  p->pi_width = static_cast<uint32_t>(width);
  p->pi_height = static_cast<uint32_t>(height);
  p->pi_max = static_cast<int32_t>(max);
  p->pi_offset = static_cast<int64_t>(t.pos);
  start_caches(p);
  return 0;
}

void pnm_sample_table(int32_t max, uint8_t table[256]) {
  const int32_t m = max < 1 ? 1 : max;
  for (int32_t v = 0; v < 256; ++v) table[v] = static_cast<uint8_t>(v >= m ? 255 : (v * 255 + m / 2) / m);
}

int write_header_magic(PPM_INFO* p, const char* magic) {
  char text[64];
  int n = std::snprintf(text, sizeof text, "%s\n%u %u\n%i\n", magic, p->pi_width, p->pi_height, p->pi_max);
  start_caches(p);
  std::snprintf(p->pi_type, sizeof p->pi_type, "%s", magic);
  p->pi_offset = n;
  return u_pwrite_full(p->pi_fd, text, static_cast<size_t>(n), 0) == n ? 0 : -1;
}

int write_header(PPM_INFO* p) { return write_header_magic(p, "P6"); }

int read_pixel(PPM_INFO* p, uint32_t w, uint32_t h, uint8_t* c) {
  c[0] = c[1] = c[2] = 0;
  int spp = pnm_samples(p);
  if (spp == 0 || !inside(p, w, h)) return -1;
  uint8_t* line = get_pixel(p, h);
  if (!line && !(line = refresh(p, h, spp))) return -1;
  const uint8_t* px = line + size_t{w} * static_cast<size_t>(spp);
  if (spp == 1)
    c[0] = c[1] = c[2] = px[0];
  else
    std::memcpy(c, px, 3);
  return 0;
}

int write_pixel(PPM_INFO* p, uint32_t w, uint32_t h, const uint8_t* c) {
  int spp = pnm_samples(p);
  if (spp == 0 || !inside(p, w, h)) return -1;
  const size_t at = size_t{w} * static_cast<size_t>(spp);
  for (PPM_CACHE& e : p->pi_cache)
    if (e.pc_line && static_cast<uint32_t>(e.pc_h) == h) std::memcpy(e.pc_line + at, c, static_cast<size_t>(spp));
  int64_t ofs = row_offset(p, h, spp);
  if (!p->pi_write || ofs != p->pi_write_offset) {
    if (flush_write_row(p) != 0) return -1;
    size_t bytes = size_t{p->pi_width} * static_cast<size_t>(spp);
    p->pi_write = static_cast<uint8_t*>(std::calloc(bytes, 1));
    if (!p->pi_write) return -1;
    if (u_pread_full(p->pi_fd, p->pi_write, bytes, ofs) < 0) std::memset(p->pi_write, 0, bytes);
    p->pi_write_offset = ofs;
  }
  std::memcpy(p->pi_write + at, c, static_cast<size_t>(spp));
  return 0;
}

int write_ppm(PPM_INFO* p, const uint8_t* data) {
  char text[64];
  const int n = std::snprintf(text, sizeof text, "P6\n%u %u\n%i\n", p->pi_width, p->pi_height, p->pi_max);
  const uint64_t bytes = uint64_t{p->pi_width} * p->pi_height * 3;
  if (bytes > 0 && !data) return -1;
  const uint64_t total = static_cast<uint64_t>(n) + bytes;
  const auto piece = static_cast<size_t>(std::min(total, kWritePiece));
  std::unique_ptr<uint8_t, decltype(&std::free)> buffer(
      static_cast<uint8_t*>(std::aligned_alloc(kPage, (piece + kPage - 1) / kPage * kPage)), std::free);
  if (!buffer) return -1;
  for (uint64_t at = 0; at < total; at += piece) {
    const auto len = static_cast<size_t>(std::min<uint64_t>(piece, total - at));
    size_t head = 0;
    if (at < static_cast<uint64_t>(n)) {
      head = std::min(len, static_cast<size_t>(n) - static_cast<size_t>(at));
      std::memcpy(buffer.get(), text + at, head);
    }
    if (len > head) copy_unaliased(buffer.get() + head, data + (at + head - static_cast<uint64_t>(n)), len - head);
    if (u_pwrite_full(p->pi_fd, buffer.get(), len, static_cast<int64_t>(at)) != static_cast<ssize_t>(len)) return -1;
  }
  return 0;
}

int close_ppm(PPM_INFO* p) {
  int flushed = flush_write_row(p);
  for (PPM_CACHE& e : p->pi_cache) {
    std::free(e.pc_line);
    e.pc_line = nullptr;
  }
  int rc = u_close(p->pi_fd);
  return flushed != 0 ? -1 : rc;
}
