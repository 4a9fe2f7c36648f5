// The stored form: byte order in place, conversion to record-list pieces,
// and validated conversion back from stored bytes. Elements are copied with
// their bytes swapped in one pass per vector, chosen once by element width.
#include "elements/stored.h"

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "base/alloc.h"
#include "base/endian.h"
#include "elements/compressed_code.h"
#include "elements/element_impl.h"
#include "elements/value.h"
#include "store/recordlist.h"

using namespace mxe;

namespace {

template <class U>
U bswap(U v) {
  if constexpr (sizeof(U) == 2) return __builtin_bswap16(v);
  else if constexpr (sizeof(U) == 4) return __builtin_bswap32(v);
  else return __builtin_bswap64(v);
}

// Copy n elements swapping the bytes of each (dst may equal src). The AVX2
// clones, chosen once at load time where the processor has it, swap 32
// bytes per instruction. ThreadSanitizer cannot run load-time choosers:
// its builds keep the plain loop.
#if defined(__SANITIZE_THREAD__)
#define MXE_CLONES
#else
#define MXE_CLONES __attribute__((target_clones("avx2", "default")))
#endif
#define MXE_SWAP_COPY(name, U, W)                                             \
  MXE_CLONES void name(uint8_t* dst, const uint8_t* src, int64_t n) { \
    for (int64_t i = 0; i < n; ++i) store<U>(dst + i * W, bswap(load<U>(src + i * W)));                       \
  }
MXE_SWAP_COPY(swap_copy16, uint16_t, 2)
MXE_SWAP_COPY(swap_copy32, uint32_t, 4)
MXE_SWAP_COPY(swap_copy64, uint64_t, 8)
#undef MXE_SWAP_COPY
#undef MXE_CLONES

// Elements from host to stored order or back: the same operation.
void copy_elements(uint8_t* dst, const uint8_t* src, int64_t n, int width) {
  if (n <= 0) return;
  if (!endian_flag || width <= 1) {
    if (dst != src) std::memcpy(dst, src, static_cast<size_t>(n) * (width ? width : 1));
    return;
  }
  switch (width) {
    case 2: swap_copy16(dst, src, n); break;
    case 4: swap_copy32(dst, src, n); break;
    default: swap_copy64(dst, src, n); break;
  }
}

template <class U>
void swap_in_place(void* d) {
  if (endian_flag) store<U>(d, bswap(load<U>(d)));
}

// dim and extents of a vector header in place.
void swap_header(uint8_t* v, int dim) {
  if (!endian_flag) return;
  swap_in_place<uint16_t>(v + 2);
  for (int i = 0; i < dim; ++i) swap_in_place<uint32_t>(v + 4 + 4 * i);
}

const uint8_t kZeroByte = 0;

CHAIN_LIST64* append(RECORD_LIST64* rlp, const void* p, int64_t n, int free_flag) {
  return set_recordlist_chain64(rlp, const_cast<void*>(p), n, free_flag);
}

// The header length and element bytes of the stored form of vector d of
// tp; false when d is no vector of tp.
bool net_shape(const MATRIX_DATA_TYPE* tp, const void* d, MATRIX_DH_SET* dh, int* h, int64_t* area) {
  if (get_matrix_dh_set(dh, d) != tp) return false;
  *h = mxt_header_length(tp, load<int16_t>(&dh->hd->dim));
  *area = *h < 0 ? -1 : element_area(tp, dh->total_element);
  return *area >= 0;
}

void vector_net_form(const MATRIX_DATA_TYPE* tp, const MATRIX_DH_SET& dh, int h, int64_t area, uint8_t* out) {
  int dim = load<int16_t>(&dh.hd->dim);
  out[0] = static_cast<uint8_t>(h);
  out[1] = static_cast<uint8_t>(tp->type);
  store_be16(out + 2, static_cast<uint16_t>(dim));
  for (int i = 0; i < dim; ++i) store_be32(out + 4 + 4 * i, static_cast<uint32_t>(load<int32_t>(dh.ix + i)));
  std::memset(out + 4 + 4 * dim, 0, static_cast<size_t>(h - 4 - 4 * dim));
  copy_elements(out + h, dh.offset, tp == &mx_type_bit_v ? area : dh.total_element, element_width(tp));
}

int vector_to_net(const MATRIX_DATA_TYPE* tp, RECORD_LIST64* rlp, const void* d) {
  MATRIX_DH_SET dh;
  int h = 0;
  int64_t area = 0;
  if (!net_shape(tp, d, &dh, &h, &area)) return -1;
  auto* out = static_cast<uint8_t*>(d_alloc(static_cast<size_t>(h + area)));
  vector_net_form(tp, dh, h, area, out);
  append(rlp, out, h + area, 1);
  return 0;
}

bool made_by_vector_to_net(const MATRIX_DATA_TYPE* tp) {
  return tp && tp->convert_to_net == mxt_convert_basic_to_net && mx_is_vector_code(tp->type);
}

void* vector_to_host(const MATRIX_DATA_TYPE* tp, const uint8_t* p, int64_t size, MX_ATYPE atype, MX_CACHE* w,
                     const char* file, int line) {
  VectorShape s;
  if (check_vector(p, size, true, &s) != 0 || s.tp != tp) return nullptr;
  auto* v = static_cast<uint8_t*>(new_vector(tp, atype, s.dim, s.ix, w, false, file, line));
  if (!v) return nullptr;
  uint8_t* elements = v + static_cast<int8_t>(v[0]);
  if (tp == &mx_type_bit_v) std::memcpy(elements, p + s.h, static_cast<size_t>(s.area));
  else copy_elements(elements, p + s.h, s.count, element_width(tp));
  return v;
}

// The stored string vector at p: its dim and extents, and the length of the
// whole value (texts included) when every text ends inside `avail` bytes.
struct StringvShape {
  int dim;
  int32_t ix[32];
  int64_t count;
  int64_t size;
};

int check_stringv(const uint8_t* p, int64_t avail, StringvShape* out) {
  if (!p || avail < 4) return -1;
  uint32_t word = load_be32(p);
  out->dim = static_cast<int>(word & 0xFFFF);
  if ((word >> 16) != MX_TYPE_STRING_V || out->dim > mxt_max_dim(&mx_type_string_v)) return -1;
  int64_t pos = 4 + 4 * out->dim;
  if (pos > avail) return -1;
  for (int i = 0; i < out->dim; ++i) out->ix[i] = static_cast<int32_t>(load_be32(p + 4 + 4 * i));
  out->count = checked_count(out->ix, out->dim);
  if (out->count < 0 || out->count > avail - pos) return -1;  // every slot takes a byte at least
  for (int64_t i = 0; i < out->count; ++i) {
    const void* z = std::memchr(p + pos, 0, static_cast<size_t>(avail - pos));
    if (!z) return -1;
    pos = static_cast<const uint8_t*>(z) - p + 1;
  }
  out->size = pos;
  return 0;
}

}  // namespace

// ---- byte order in place

void mxt_endian_nothing(void*) {}
void mxt_endian_int16(void* d) { swap_in_place<uint16_t>(d); }
void mxt_endian_int32(void* d) { swap_in_place<uint32_t>(d); }
void mxt_endian_float(void* d) { swap_in_place<uint32_t>(d); }
void mxt_endian_int64(void* d) { swap_in_place<uint64_t>(d); }
void mxt_endian_double(void* d) { swap_in_place<uint64_t>(d); }

void mxt_endian_vector_to_net(void* v) {
  MATRIX_DH_SET dh;
  if (!get_matrix_dh_set(&dh, v)) return;
  copy_elements(dh.offset, dh.offset, dh.total_element, element_width(dh.tp));
  swap_header(static_cast<uint8_t*>(v), load<int16_t>(&dh.hd->dim));
}

void mxt_endian_vector_to_host(void* v) {
  auto* b = static_cast<uint8_t*>(v);
  swap_header(b, static_cast<int16_t>(load_be16(b + 2)));
  MATRIX_DH_SET dh;
  if (get_matrix_dh_set(&dh, v)) copy_elements(dh.offset, dh.offset, dh.total_element, element_width(dh.tp));
}

void mxt_endian_bitv_to_net(void* v) { swap_header(static_cast<uint8_t*>(v), load<int16_t>(static_cast<uint8_t*>(v) + 2)); }
void mxt_endian_bitv_to_host(void* v) {
  auto* b = static_cast<uint8_t*>(v);
  swap_header(b, static_cast<int16_t>(load_be16(b + 2)));
}

// ---- conversion slots

int64_t mxt_vector_net_size(const MATRIX_DATA_TYPE* tp, const void* d) {
  MATRIX_DH_SET dh;
  int h = 0;
  int64_t area = 0;
  return d && made_by_vector_to_net(tp) && net_shape(tp, d, &dh, &h, &area) ? h + area : -1;
}

int mxt_vector_to_net_into(const MATRIX_DATA_TYPE* tp, const void* d, uint8_t* out) {
  MATRIX_DH_SET dh;
  int h = 0;
  int64_t area = 0;
  if (!d || !out || !made_by_vector_to_net(tp) || !net_shape(tp, d, &dh, &h, &area)) return -1;
  vector_net_form(tp, dh, h, area, out);
  return 0;
}

int mxt_convert_basic_to_net(const MATRIX_DATA_TYPE* tp, RECORD_LIST64* rlp, const void* d) {
  if (!d || !rlp) return -1;
  if (mx_is_vector_code(tp->type)) return vector_to_net(tp, rlp, d);
  int64_t n = tp->get_size(tp, d);
  if (n <= 0) return -1;
  void* piece = d_alloc(static_cast<size_t>(n));
  std::memcpy(piece, d, static_cast<size_t>(n));
  tp->endian_to_net(piece);
  append(rlp, piece, n, 1);
  return 0;
}

void* mxt_convert_basic_to_host(const MATRIX_DATA_TYPE* tp, const void* d, int64_t size, MX_ATYPE atype,
                                MX_CACHE* at_work, const char* file, int line) {
  const auto* p = static_cast<const uint8_t*>(d);
  if (!p || size < 0) return nullptr;
  if (mx_is_vector_code(tp->type)) return vector_to_host(tp, p, size, atype, at_work, file, line);
  int64_t n = tp->get_size(tp, nullptr);
  if (tp->type == MX_TYPE_STRING) {
    const void* z = std::memchr(p, 0, static_cast<size_t>(size));
    if (!z) return nullptr;
    n = static_cast<const uint8_t*>(z) - p + 1;
  } else if (size != n) {
    return nullptr;
  }
  auto* v = static_cast<uint8_t*>(raw_alloc(n, atype, at_work, nullptr, false, file, line));
  if (!v) return nullptr;
  std::memcpy(v, p, static_cast<size_t>(n));
  tp->endian_to_host(v);
  if (tp->type == MX_TYPE_BIT) v[0] = v[0] != 0;
  return v;
}

int mxt_convert_block_to_net(const MATRIX_DATA_TYPE*, RECORD_LIST64* rlp, const void* d) {
  const auto* r = static_cast<const MATRIX_ALLOC_BLOCK_PARAM*>(d);
  if (!r || !rlp || r->size < 0 || (r->size > 0 && !r->block)) return -1;
  if (r->size > 0) append(rlp, r->block, r->size, 0);
  return 0;
}

void* mxt_convert_block_to_host(const MATRIX_DATA_TYPE* tp, const void* d, int64_t size, MX_ATYPE atype,
                                MX_CACHE* at_work, const char* file, int line) {
  if (size < 0 || size > kMaxValueBytes || (size > 0 && !d)) return nullptr;
  MATRIX_ALLOC_BLOCK_PARAM from{{0, MX_TYPE_BLOCK, 0}, static_cast<int32_t>(size), const_cast<void*>(d), 0, 0};
  return mxt_alloc_block_data(tp, atype, &from, at_work, file, line);
}

int mxt_convert_stringv_to_net(const MATRIX_DATA_TYPE* tp, RECORD_LIST64* rlp, const void* d) {
  MATRIX_DH_SET dh;
  if (!d || !rlp || get_matrix_dh_set(&dh, d) != tp) return -1;
  int dim = load<int16_t>(&dh.hd->dim);
  auto* head = static_cast<uint8_t*>(d_alloc(4 + 4 * static_cast<size_t>(dim)));
  store_be32(head, static_cast<uint32_t>(MX_TYPE_STRING_V) << 16 | static_cast<uint16_t>(dim));
  for (int i = 0; i < dim; ++i) store_be32(head + 4 + 4 * i, static_cast<uint32_t>(load<int32_t>(dh.ix + i)));
  append(rlp, head, 4 + 4 * dim, 1);
  char* const* slots = mxt_stringv_slots(const_cast<void*>(d));
  for (int64_t i = 0; i < dh.total_element; ++i) {
    if (slots[i] && slots[i][0]) append(rlp, slots[i], static_cast<int64_t>(std::strlen(slots[i])) + 1, 0);
    else append(rlp, &kZeroByte, 1, 0);
  }
  return 0;
}

void* mxt_convert_stringv_to_host(const MATRIX_DATA_TYPE*, const void* d, int64_t size, MX_ATYPE atype,
                                  MX_CACHE* at_work, const char* file, int line) {
  const auto* p = static_cast<const uint8_t*>(d);
  StringvShape s;
  if (check_stringv(p, size, &s) != 0 || s.size != size) return nullptr;
  void* v = new_stringv(atype, s.dim, s.ix, at_work, file, line);
  if (!v) return nullptr;
  int kind = mxt_stringv_kind(v);
  char** slots = mxt_stringv_slots(v);
  const auto* text = reinterpret_cast<const char*>(p + 4 + 4 * s.dim);
  for (int64_t i = 0; i < s.count; ++i) {
    size_t n = std::strlen(text);
    if (n) slots[i] = copy_text(text, kind, file, line);
    text += n + 1;
  }
  return v;
}

int64_t get_size_endian(const void* ptr, int64_t avail) {
  const auto* p = static_cast<const uint8_t*>(ptr);
  if (!p || avail < 4) return -1;
  StringvShape ss;
  if (p[0] == 0 && p[1] == MX_TYPE_STRING_V) return check_stringv(p, avail, &ss) == 0 ? ss.size : -1;
  int dim = static_cast<int16_t>(load_be16(p + 2));
  if (dim < 0 || 4 + 4 * static_cast<int64_t>(dim) > avail) return -1;
  VectorShape s;
  if (check_vector(p, -1, true, &s) != 0) return -1;
  return s.h + s.area;
}

int set_recordlist_code(RECORD_LIST64* rl, CHAIN_LIST64* ptr) {
  if (!rl) return -1;
  int64_t total = 0;
  for (const CHAIN_LIST64* c = ptr ? ptr->next : rl->chain_head; c; c = c->next) {
    if (c->len < 0 || total > INT64_MAX - c->len) return -1;
    total += c->len;
  }
  auto* code = static_cast<uint8_t*>(d_alloc(17));
  int64_t n = get_compressed_code64(code, total) - code;
  if (ptr) {
    set_recordlist_chain64_middle(rl, ptr, code, n, 1);
    return 0;
  }
  CHAIN_LIST64* c = set_recordlist_chain64(rl, code, n, 1);
  if (rl->chain_head != c) {  // appended last: move it to the front
    CHAIN_LIST64* before = rl->chain_head;
    while (before->next != c) before = before->next;
    before->next = nullptr;
    rl->chain_tail = before;
    c->next = rl->chain_head;
    rl->chain_head = c;
  }
  return 0;
}

namespace mxe {

void fill_stored_slots() {
  struct Row {
    MATRIX_DATA_TYPE* tp;
    void (*endian)(void*);
  };
  const Row scalars[] = {
      {&mx_type_bit, mxt_endian_nothing},     {&mx_type_int8, mxt_endian_nothing},  {&mx_type_uint8, mxt_endian_nothing},
      {&mx_type_int16, mxt_endian_int16},     {&mx_type_uint16, mxt_endian_int16},  {&mx_type_int32, mxt_endian_int32},
      {&mx_type_uint32, mxt_endian_int32},    {&mx_type_RGB, mxt_endian_int32},     {&mx_type_float, mxt_endian_float},
      {&mx_type_int64, mxt_endian_int64},     {&mx_type_uint64, mxt_endian_int64},  {&mx_type_double, mxt_endian_double},
      {&mx_type_string, mxt_endian_nothing},  {&mx_type_block, mxt_endian_nothing},
  };
  for (const Row& r : scalars) {
    r.tp->endian_to_net = r.tp->endian_to_host = r.endian;
    r.tp->convert_to_net = mxt_convert_basic_to_net;
    r.tp->convert_to_host = mxt_convert_basic_to_host;
  }
  mx_type_block.convert_to_net = mxt_convert_block_to_net;
  mx_type_block.convert_to_host = mxt_convert_block_to_host;
  for (MATRIX_DATA_TYPE* tp : kAllTypes) {
    if (!mx_is_vector_code(tp->type) || tp == &mx_type_string_v) continue;
    bool bitv = tp == &mx_type_bit_v;
    tp->endian_to_net = bitv ? mxt_endian_bitv_to_net : mxt_endian_vector_to_net;
    tp->endian_to_host = bitv ? mxt_endian_bitv_to_host : mxt_endian_vector_to_host;
    tp->convert_to_net = mxt_convert_basic_to_net;
    tp->convert_to_host = mxt_convert_basic_to_host;
  }
  mx_type_string_v.convert_to_net = mxt_convert_stringv_to_net;
  mx_type_string_v.convert_to_host = mxt_convert_stringv_to_host;
}

}  // namespace mxe
