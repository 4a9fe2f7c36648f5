// The GIF encoder: one GIF87a image with a global colour table, its
// indices LZW-coded into data sub-blocks.
#include <cstring>
#include <memory>
#include <new>

#include "base/alloc.h"
#include "base/lock.h"
#include "codec/gif.h"
#include "codec/gif_impl.h"
#include "codec/limits.h"

namespace {

constexpr int kMaxCode = 4096;
constexpr size_t kFirstOutput = 8192;
constexpr int kCodeBufferBytes = 259;
constexpr int kFlushAfter = 253;  // bytes in the code buffer before a sub-block goes out
constexpr int kMaxSide = 65535;

// The state of the running encoding; guarded by gif_lock() from
// init_gif_compress to close_gif_compress.
struct GifEncoder {
  uint8_t* out = nullptr;
  size_t length = 0;  // bytes written
  size_t capacity = 0;
  bool failed = false;  // the output could not grow
  // LZW
  int code_size = 0;
  int clear_code = 0;
  int eof_code = 0;
  int free_code = 0;
  int max_code = 0;
  int bit_pos = 0;  // in code_buf
  uint8_t code_buf[kCodeBufferBytes] = {};
  int prefix_code = 0;
  int suffix_char = 0;
  int probe = 0;
  int step = 0;
  // the indices being coded
  const uint8_t* pixels = nullptr;
  size_t pixel_count = 0;
  size_t next_pixel = 0;
};

GifEncoder enc;

SEM gif_lock() {
  static SEM lock = new_lock(LOCK_GIF);
  return lock;
}

void byte_writer(int c) {
  if (enc.length == enc.capacity) {
    const size_t grown = enc.capacity ? enc.capacity * 2 : kFirstOutput;
    auto* p = static_cast<uint8_t*>(d_re_alloc(enc.out, grown));
    if (!p) {
      enc.failed = true;
      return;
    }
    enc.out = p;
    enc.capacity = grown;
  }
  enc.out[enc.length++] = static_cast<uint8_t>(c);
}

void write_bytes(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) byte_writer(p[i]);
}

void write_word(int v) {
  byte_writer(v & 0xFF);
  byte_writer((v >> 8) & 0xFF);
}

int pixel_reader() { return enc.next_pixel < enc.pixel_count ? enc.pixels[enc.next_pixel++] : -1; }

void write_screen_desc(int width, int height, bool has_map, int cr, int bp) {
  write_word(width);
  write_word(height);
  byte_writer(has_map ? 0x80 | ((cr - 1) & 7) << 4 | ((bp - 1) & 15) : ((cr - 1) & 7) << 4);
  byte_writer(0);  // background colour index
  byte_writer(0);  // pixel aspect ratio
}

void write_color_map(const GIF_RGB* map, int bp, int cr, int normalize) {
  const int scale = (1 << cr) - 1;
  for (int i = 0; i < (1 << bp); ++i)
    for (uint8_t v : {map[i].r, map[i].g, map[i].b}) byte_writer(normalize ? v * 255 / scale : v);
}

void write_image_desc(int width, int height, int interlaced, const GIF_RGB* local_map, int bp, int cr,
                      int normalize) {
  byte_writer(0x2C);
  write_word(0);
  write_word(0);
  write_word(width);
  write_word(height);
  if (local_map) {
    byte_writer(0x80 | interlaced << 6 | ((bp - 1) & 15));
    write_color_map(local_map, bp, cr, normalize);
  } else {
    byte_writer(interlaced ? 0x40 : 0);
  }
}

// One data sub-block of the code buffer's first n bytes.
void buffer_flush(int n) {
  byte_writer(n);
  write_bytes(enc.code_buf, static_cast<size_t>(n));
}

void write_code(int code) {
  if ((enc.bit_pos >> 3) > kFlushAfter) {
    const int full = enc.bit_pos >> 3;
    buffer_flush(full);
    enc.code_buf[0] = enc.code_buf[full];
    enc.bit_pos &= 7;
  }
  const int at = enc.bit_pos >> 3, shift = enc.bit_pos & 7;
  const uint32_t v = static_cast<uint32_t>(code) << shift;
  enc.code_buf[at] = static_cast<uint8_t>(shift ? enc.code_buf[at] | v : v);
  enc.code_buf[at + 1] = static_cast<uint8_t>(v >> 8);
  enc.code_buf[at + 2] = static_cast<uint8_t>(v >> 16);
  enc.bit_pos += enc.code_size;
}

void init_table(code_entry* table, int m) {
  enc.code_size = m + 1;
  enc.clear_code = 1 << m;
  enc.eof_code = enc.clear_code + 1;
  enc.free_code = enc.clear_code + 2;
  enc.max_code = 1 << enc.code_size;
  std::memset(table, 0, sizeof(code_entry) * kGifHashSlots);
}

// The slot of prefix + c: the one holding it (*found), else the free slot
// where it belongs, else -1 when the probe sequence meets no free slot.
int find_slot(const code_entry* table, int prefix, int c, bool* found) {
  enc.probe = ((c << 5) ^ prefix) % kGifHashSlots;
  enc.step = 1;
  for (int tries = 0; tries < kGifHashSlots; ++tries) {
    const code_entry& e = table[enc.probe];
    if (e.code_id == 0) break;
    if (e.prior_code == prefix && e.added_char == c) {
      *found = true;
      return enc.probe;
    }
    enc.probe = (enc.probe + enc.step) % kGifHashSlots;
    enc.step += 2;
  }
  *found = false;
  return table[enc.probe].code_id == 0 ? enc.probe : -1;
}

// Codes the pending bits and ends the data with a 0-length sub-block.
void finish_data() {
  const int pending = (enc.bit_pos + 7) >> 3;
  for (int at = 0; at < pending; at += 255) {
    const int n = pending - at < 255 ? pending - at : 255;
    byte_writer(n);
    write_bytes(enc.code_buf + at, static_cast<size_t>(n));
  }
  byte_writer(0);
}

int enLZW_v2(int m) {
  if (m == 1) m = 2;
  if (m < 2 || m > 9) return -3;
  std::unique_ptr<code_entry[]> table(new (std::nothrow) code_entry[kGifHashSlots]);
  if (!table) return -2;
  byte_writer(m);
  enc.bit_pos = 0;
  init_table(table.get(), m);
  write_code(enc.clear_code);
  int c = pixel_reader();
  if (c >= 0) {
    enc.prefix_code = c;
    while ((enc.suffix_char = c = pixel_reader()) >= 0) {
      bool found;
      const int slot = find_slot(table.get(), enc.prefix_code, c, &found);
      if (found) {
        enc.prefix_code = table[slot].code_id;
        continue;
      }
      write_code(enc.prefix_code);
      const int f = enc.free_code;
      if (enc.free_code < kMaxCode) {
        // A string the table has no room for still takes its code: the
        // decoder counts it.
        if (slot >= 0) table[slot] = code_entry{enc.prefix_code, enc.free_code, static_cast<uint8_t>(c)};
        ++enc.free_code;
      }
      if (f == enc.max_code) {
        if (enc.code_size < 12) {
          ++enc.code_size;
          enc.max_code *= 2;
        } else {
          write_code(enc.clear_code);
          init_table(table.get(), m);
        }
      }
      enc.prefix_code = c;
    }
    write_code(enc.prefix_code);
  }
  write_code(enc.eof_code);
  finish_data();
  return 0;
}

}  // namespace

void init_gif_compress() {
  lock_task(gif_lock());
  enc = GifEncoder{};
}

uint8_t* close_gif_compress(size_t* length) {
  uint8_t* out = enc.out;
  *length = enc.length;
  if (enc.failed) {
    d_f_ree(out);
    out = nullptr;
    *length = 0;
  }
  enc = GifEncoder{};
  unlock_task(gif_lock(), "close_gif_compress");
  return out;
}

int __gif_compress(const uint8_t* bitmap, int width, int height, int cr, int interlaced, int bp, int normalize,
                   const GIF_RGB* color_map) {
  write_bytes(reinterpret_cast<const uint8_t*>("GIF87a"), 6);
  write_screen_desc(width, height, color_map != nullptr, cr, bp);
  if (color_map) write_color_map(color_map, bp, cr, normalize);
  write_image_desc(width, height, interlaced, nullptr, bp, cr, normalize);
  enc.pixels = bitmap;
  enc.pixel_count = size_t(width) * size_t(height);
  enc.next_pixel = 0;
  if (int rc = enLZW_v2(bp); rc != 0) return rc;
  byte_writer(0x3B);
  return enc.failed ? -2 : 0;
}

uint8_t* gif_compress(int32_t* ret_length, GIF_ENV* ret_ge, GIF_ENV* /*ge*/, const void* data, int32_t width,
                      int32_t height) {
  *ret_length = 0;
  if (!data || !ret_ge || width < 1 || height < 1 || width > kMaxSide || height > kMaxSide ||
      uint64_t(width) * uint64_t(height) > kCodecMaxPixels)
    return nullptr;
  const size_t n = size_t(width) * size_t(height);
  auto* bitmap = static_cast<uint8_t*>(d_calloc(n, 1));
  init_gif_compress();
  ret_ge->width = width;
  ret_ge->height = height;
  MedianCut(data, width, height, ret_ge->cmap, bitmap, 1);
  GIF_RGB table[256];
  for (int i = 0; i < 256; ++i) table[i] = GIF_RGB{ret_ge->cmap[i].r, ret_ge->cmap[i].g, ret_ge->cmap[i].b};
  const int rc = __gif_compress(bitmap, width, height, 8, 0, 8, 0, table);
  d_f_ree(bitmap);
  size_t length = 0;
  uint8_t* out = close_gif_compress(&length);
  if (rc != 0 || !out) {
    d_f_ree(out);
    return nullptr;
  }
  *ret_length = static_cast<int32_t>(length);
  return out;
}
