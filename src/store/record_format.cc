// The record file's byte forms (pdb64.h): a record's physical header in its
// three widths (4, 8 or 12 bytes, chosen by the memory size, so that a
// record written back keeps its size on disk), and the byte-order changes
// of the in-memory header, the physical header, the file header and the
// free-list records.
#include <cstring>

#include "base/endian.h"
#include "store/pdb64.h"

int pn64_encode_phys(uint8_t* out, uint16_t type, uint64_t m) {
  store_be16(out, type);
  int width = pn64_width_for_mem(m);
  if (width == 4) {
    store_be16(out + 2, static_cast<uint16_t>(m - 12));
  } else if (width == 8) {
    store_be16(out + 2, 0xFFFE);
    store_be32(out + 4, static_cast<uint32_t>(m - 8));
  } else {
    store_be16(out + 2, 0xFFFF);
    store_be64(out + 4, m - 4);
  }
  return width;
}

int pn64_decode_phys(const uint8_t* in, size_t avail, PHYS_PN64_HEADER* out) {
  if (avail < 4) return -1;
  out->type = load_be16(in);
  uint16_t s = load_be16(in + 2);
  if (s == 0xFFFE) {
    if (avail < 8) return -1;
    out->width = 8;
    out->length = load_be32(in + 4);
  } else if (s == 0xFFFF) {
    if (avail < 12) return -1;
    out->width = 12;
    out->length = load_be64(in + 4);
  } else {
    out->width = 4;
    out->length = s;
  }
  if (out->length < static_cast<uint64_t>(out->width)) return -1;
  // Lengths past this bound would overflow offset arithmetic; no real file
  // comes near it.
  if (out->length > kPn64MaxMemSize) return -1;
  // Only the form that the memory size selects is valid: a record written
  // back with its memory size must keep its disk size.
  if (pn64_width_for_mem(out->length - static_cast<uint64_t>(out->width) + 16) != out->width) return -1;
  return 0;
}

void change_endian_header64(PN64_HEADER* h) {
  h->type = swap_if16(h->type);
  h->size = swap_if64(h->size);
}

namespace {

// The raw physical header: 16-bit type and length, then an optional 32- or
// 64-bit length at byte 4 (not aligned).
void swap_phys_tail(uint8_t* b, uint16_t host_len) {
  if (!endian_flag) return;
  if (host_len == 0xFFFE) {
    uint32_t v;
    std::memcpy(&v, b + 4, 4);
    v = __builtin_bswap32(v);
    std::memcpy(b + 4, &v, 4);
  } else if (host_len == 0xFFFF) {
    uint64_t v;
    std::memcpy(&v, b + 4, 8);
    v = __builtin_bswap64(v);
    std::memcpy(b + 4, &v, 8);
  }
}

void swap_phys_head(uint8_t* b) {
  uint16_t t, s;
  std::memcpy(&t, b, 2);
  std::memcpy(&s, b + 2, 2);
  t = swap_if16(t);
  s = swap_if16(s);
  std::memcpy(b, &t, 2);
  std::memcpy(b + 2, &s, 2);
}

uint16_t raw_len16(const uint8_t* b) {
  uint16_t s;
  std::memcpy(&s, b + 2, 2);
  return s;
}

}  // namespace

void change_endian_phys_header64_to_net(void* h) {
  auto* b = static_cast<uint8_t*>(h);
  uint16_t host_len = raw_len16(b);  // judged before converting
  swap_phys_head(b);
  swap_phys_tail(b, host_len);
}

void change_endian_phys_header64_to_host(void* h) {
  auto* b = static_cast<uint8_t*>(h);
  swap_phys_head(b);
  swap_phys_tail(b, raw_len16(b));  // judged after converting
}

void change_endian_file_header64(PN64_FILE_HEADER* f) {
  change_endian_header64(&f->h);
  f->type = static_cast<int32_t>(swap_if32(static_cast<uint32_t>(f->type)));
  f->flags = static_cast<int32_t>(swap_if32(static_cast<uint32_t>(f->flags)));
}

void change_endian_freelist64_to_net(PN64_FREELIST* f) {
  change_endian_header64(&f->h);
  f->next = swap_if64(f->next);
}

void change_endian_freelist64_to_host(PN64_FREELIST* f) {
  change_endian_header64(&f->h);
  f->next = swap_if64(f->next);
}
