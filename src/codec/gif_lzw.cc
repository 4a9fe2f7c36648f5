// LZW decoding of one GIF image's data and the placing of its lines.
#include <algorithm>
#include <cstring>
#include <vector>

#include "codec/gif_impl.h"

namespace {

constexpr uint16_t kCodeMask[13] = {0, 0x1, 0x3, 0x7, 0xF, 0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};

// Loads the next sub-block; false when the data end. A sub-block cut short
// by the end of the stream gives the bytes that are there.
bool next_sub_block(GIF_DECODE* d) {
  int n = d->in->get_byte();
  if (n <= 0) return false;
  size_t have = std::min<size_t>(static_cast<size_t>(n), d->in->left());
  if (have == 0) return false;
  std::memcpy(d->byte_buff, d->in->pos, have);
  d->in->pos += have;
  d->pbytes = d->byte_buff;
  d->navail_bytes = static_cast<int16_t>(have);
  return true;
}

bool next_byte(GIF_DECODE* d) {
  if (d->navail_bytes <= 0 && !next_sub_block(d)) return false;
  d->b1 = *d->pbytes++;
  --d->navail_bytes;
  return true;
}

// Starts the next interlace pass that has a row; false after the fourth.
bool next_pass(GIF_IMAGE_ITERATOR* it) {
  while (it->iypos >= it->height) {
    if (++it->ipass > 4) return false;
    if (it->ipass >= 3) it->istep /= 2;
    it->iypos = it->istep / 2;
  }
  return true;
}

}  // namespace

int gif_get_next_code(GIF_DECODE* d) {
  if (d->nbits_left == 0) {
    if (!next_byte(d)) return -1;
    d->nbits_left = 8;
  }
  unsigned ret = d->b1 >> (8 - d->nbits_left);
  while (d->curr_size > d->nbits_left) {
    if (!next_byte(d)) return -1;
    ret |= unsigned{d->b1} << d->nbits_left;
    d->nbits_left = static_cast<int16_t>(d->nbits_left + 8);
  }
  d->nbits_left = static_cast<int16_t>(d->nbits_left - d->curr_size);
  return static_cast<int>(ret & kCodeMask[d->curr_size]);
}

void gif_set_row(GIF_IMAGE_ITERATOR* it, const uint8_t* line, int32_t n) {
  std::memcpy(it->row, line, static_cast<size_t>(std::min(n, it->width)));
}

int gif_out_line(GIF_IMAGE_ITERATOR* it, const uint8_t* line, int32_t n) {
  int32_t y;
  if (!it->interlaced) {
    if (it->rows_done >= it->height) return -1;
    y = it->rows_done++;
  } else {
    if (it->ipass > 4 || it->iypos >= it->height) return -1;
    y = it->iypos;
    it->iypos += it->istep;
    if (it->iypos >= it->height && !next_pass(it)) it->ipass = 5;
  }
  it->row = it->image + static_cast<size_t>(y) * static_cast<size_t>(it->width);
  gif_set_row(it, line, n);
  return 0;
}

int lzw_decode_func(GIF_DECODE* d, GIF_IMAGE_ITERATOR* it) {
  int size = d->in->get_byte();
  if (size < 2 || size > 9) return -1;
  d->curr_size = static_cast<int16_t>(size + 1);
  d->clear = static_cast<int16_t>(1 << size);
  d->ending = static_cast<int16_t>(d->clear + 1);
  d->newcodes = d->slot = static_cast<int16_t>(d->ending + 1);
  d->top_slot = static_cast<int16_t>(1 << d->curr_size);
  d->navail_bytes = d->nbits_left = 0;
  std::memset(d->suffix, 0, sizeof d->suffix);
  std::memset(d->prefix, 0, sizeof d->prefix);

  const int32_t width = it->width;
  std::vector<uint8_t> line(static_cast<size_t>(width) + 1);
  uint8_t* buf = line.data();
  int32_t bufcnt = width;
  uint8_t* const stack_end = d->stack + kGifMaxCodes;
  int oc = 0, fc = 0, c;
  auto put = [&](uint8_t index) {
    *buf++ = index;
    if (--bufcnt > 0) return true;
    buf = line.data();
    bufcnt = width;
    return gif_out_line(it, line.data(), width) == 0;
  };
  while ((c = gif_get_next_code(d)) != d->ending) {
    if (c < 0) return -1;
    if (c == d->clear) {
      d->curr_size = static_cast<int16_t>(size + 1);
      d->slot = d->newcodes;
      d->top_slot = static_cast<int16_t>(1 << d->curr_size);
      while ((c = gif_get_next_code(d)) == d->clear) {
      }
      if (c < 0) return -1;
      if (c == d->ending) break;
      if (c >= d->slot) c = 0;
      oc = fc = c;
      if (!put(static_cast<uint8_t>(c))) return -1;
      continue;
    }
    uint8_t* sp = d->stack;
    int code = c;
    if (code >= d->slot) {
      *sp++ = static_cast<uint8_t>(fc);
      code = oc;
    }
    // A chain longer than the table can only come from a damaged stream.
    while (code >= d->newcodes) {
      if (sp == stack_end) return -1;
      *sp++ = d->suffix[code];
      code = d->prefix[code];
    }
    if (sp == stack_end) return -1;
    *sp++ = static_cast<uint8_t>(code);
    if (d->slot < d->top_slot) {
      fc = code;
      d->suffix[d->slot] = static_cast<uint8_t>(fc);
      d->prefix[d->slot++] = static_cast<uint16_t>(oc);
      oc = c;
    }
    if (d->slot >= d->top_slot && d->curr_size < 12) {
      d->top_slot = static_cast<int16_t>(d->top_slot << 1);
      ++d->curr_size;
    }
    while (sp > d->stack)
      if (!put(*--sp)) return -1;
  }
  if (bufcnt != width) gif_out_line(it, line.data(), width - bufcnt);
  return 0;
}
