#include "block_test_util.h"

#include <random>

#include "base/alloc.h"
#include "base/endian.h"
#include "codec/zlib_block.h"
#include "elements/stored.h"
#include "elements/value.h"
#include "elements/zu_convert.h"
#include "matrix/matrix.h"
#include "plot_test_util.h"
#include "store/recordlist.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/core_init.h"
#include "zu/gc.h"
#include "zu/value.h"

namespace {

ZU_SEXP* value_of(ZU_SEXP* s) {
  if (get_type(s) == ZU_TYPE_LIST && get_type(s->pair.car) == ZU_TYPE_SYMBOL) return get_el(s, 2);
  return s;
}

ZU_SEXP* block_of(const uint8_t* b, size_t n) {
  MATRIX_ALLOC_BLOCK_PARAM view{{0, MX_TYPE_BLOCK, 0}, static_cast<int32_t>(n), const_cast<uint8_t*>(b), 0, 0};
  return get_ptr(mx_type_block.alloc_data(&mx_type_block, MX_ATYPE::collector, &view, nullptr, __FILE__, __LINE__),
                 gc_mtx_block);
}

std::vector<uint8_t> stored_of(const MATRIX_DATA_TYPE* tp, const void* v) {
  RECORD_LIST64* rl = new_recordlist64(0, 0);
  std::vector<uint8_t> out;
  if (tp->convert_to_net(tp, rl, v) == 0) {
    int64_t n = setup_recordlist64(rl);
    if (n > 0) out.assign(static_cast<uint8_t*>(rl->data), static_cast<uint8_t*>(rl->data) + n);
  }
  free_recordlist64(rl);
  return out;
}

// The bytes a value holds; false for other values.
bool bytes_of(ZU_SEXP* v, std::vector<uint8_t>* out) {
  if (get_type(v) != ZU_TYPE_POINTER || !v->ptr.ptr) return false;
  if (v->ptr.mark == gc_mtx_block) {
    auto* r = static_cast<const MATRIX_ALLOC_BLOCK_PARAM*>(v->ptr.ptr);
    out->assign(static_cast<uint8_t*>(r->block), static_cast<uint8_t*>(r->block) + r->size);
    return true;
  }
  MATRIX_DH_SET dh;
  const MATRIX_DATA_TYPE* tp = get_matrix_dh_set(&dh, v->ptr.ptr);
  if (!tp) return false;
  *out = stored_of(tp, v->ptr.ptr);
  return true;
}

int64_t int_arg(ZU_SEXP* form, int i) { return get_el(form, i)->integer.num; }

ZU_SEXP* zu_bytes(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  std::vector<uint8_t> b = unhex(n_string(std_cm, str_text(get_el(form, 1))));
  return block_of(b.data(), b.size());
}

ZU_SEXP* zu_stored(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  std::vector<uint8_t> b = unhex(n_string(std_cm, str_text(get_el(form, 1))));
  const MATRIX_DATA_TYPE* tp = b.size() > 1 ? get_matrix_data_type(b[1]) : nullptr;
  void* v = tp ? tp->convert_to_host(tp, b.data(), static_cast<int64_t>(b.size()), MX_ATYPE::collector, nullptr,
                                     __FILE__, __LINE__)
               : nullptr;
  EXPECT_TRUE(v) << "not a stored vector";
  return get_ptr(v, tp == &mx_type_string_v ? gc_mx_stringv_data : gc_text);
}

ZU_SEXP* zu_zeros(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  std::vector<uint8_t> b(static_cast<size_t>(int_arg(form, 1)));
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i);
  return block_of(b.data(), b.size());
}

ZU_SEXP* zu_sample(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  MATRIX_DATA_TYPE* tp = get_matrix_data_type(static_cast<int>(int_arg(form, 1)));
  const int32_t ix[2] = {static_cast<int32_t>(int_arg(form, 2)), static_cast<int32_t>(int_arg(form, 3))};
  std::mt19937 rng(static_cast<uint32_t>(int_arg(form, 4)));
  MATRIX_ALLOC_VECTOR_PARAM p{2, ix, nullptr, nullptr};
  void* v = tp->alloc_data(tp, MX_ATYPE::collector, &p, nullptr, __FILE__, __LINE__);
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  if (tp == &mx_type_string_v) {
    const char* texts[] = {"a", nullptr, "bc", "def", nullptr, "\xe6\x97\xa5"};
    for (int64_t i = 0; i < dh.total_element; ++i) mxt_stringv_set(v, i, texts[rng() % 6]);
    return get_ptr(v, gc_mx_stringv_data);
  }
  int64_t bytes = tp == &mx_type_bit_v ? (dh.total_element + 7) / 8 : dh.total_element * mxt_vector_element_size(tp);
  for (int64_t i = 0; i < bytes; ++i) dh.offset[i] = static_cast<uint8_t>(rng());
  if (tp == &mx_type_bit_v)  // elements are bits; bytes past them stay clear
    for (int64_t i = dh.total_element; i < bytes * 8; ++i) dh.offset[i / 8] &= static_cast<uint8_t>(~(1u << (i % 8)));
  return get_ptr(v, gc_text);
}

ZU_SEXP* zu_image(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  MATRIX_DATA_TYPE* tp = get_matrix_data_type(static_cast<int>(int_arg(form, 1)));
  const int32_t w = static_cast<int32_t>(int_arg(form, 2)), h = static_cast<int32_t>(int_arg(form, 3));
  const int32_t ix[2] = {w, h};
  MATRIX_ALLOC_VECTOR_PARAM p{2, ix, nullptr, nullptr};
  void* v = tp->alloc_data(tp, MX_ATYPE::collector, &p, nullptr, __FILE__, __LINE__);
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      uint32_t r = static_cast<uint32_t>(x * 255 / std::max(w - 1, 1)), g = static_cast<uint32_t>(y * 255 / std::max(h - 1, 1));
      size_t i = static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x);
      if (tp == &mx_type_uint8_v) {
        dh.offset[i] = static_cast<uint8_t>((r + g) / 2);
      } else {
        uint32_t word = r << 24 | g << 16 | ((r + g) / 2) << 8;
        std::memcpy(dh.offset + 4 * i, &word, 4);
      }
    }
  return get_ptr(v, gc_text);
}

ZU_SEXP* zu_hex(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* v = value_of(get_el(form, 1));
  std::vector<uint8_t> b;
  if (!bytes_of(v, &b)) return v;
  if (list_length(form) > 2) b.resize(std::min(b.size(), static_cast<size_t>(int_arg(form, 2))));
  return get_string_ascii(to_hex(b).c_str());
}

ZU_SEXP* zu_inflate(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  std::vector<uint8_t> b;
  if (!bytes_of(value_of(get_el(form, 1)), &b)) return nullptr;
  int32_t n = 0;
  auto* p = static_cast<uint8_t*>(zlib_uncompress(&n, b.data(), static_cast<int32_t>(b.size())));
  if (!p) return nullptr;
  std::string s = to_hex(std::vector<uint8_t>(p, p + n));
  d_f_ree(p);
  return get_string_ascii(s.c_str());
}

bool same(ZU_SEXP* a, ZU_SEXP* b) {
  a = value_of(a);
  b = value_of(b);
  if (get_type(a) == ZU_TYPE_LIST && get_type(b) == ZU_TYPE_LIST) {
    for (; get_type(a) == ZU_TYPE_LIST && get_type(b) == ZU_TYPE_LIST; a = a->pair.cdr, b = b->pair.cdr)
      if (!same(a->pair.car, b->pair.car)) return false;
    return !a && !b;
  }
  std::vector<uint8_t> ba, bb;
  bool pa = bytes_of(a, &ba), pb = bytes_of(b, &bb);
  if (pa || pb) return pa && pb && a->ptr.mark == b->ptr.mark && ba == bb;
  return cmp_sexp(a, b) == 0;
}

ZU_SEXP* zu_same(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return get_integer(same(get_el(form, 1), get_el(form, 2)) ? 1 : 0, nullptr);
}

ZU_SEXP* zu_maxdiff(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  void* a = get_vdata_from_sexp(value_of(get_el(form, 1)));
  void* b = get_vdata_from_sexp(value_of(get_el(form, 2)));
  MATRIX_DH_SET da, db;
  if (!a || !b || !get_matrix_dh_set(&da, a) || !get_matrix_dh_set(&db, b) || cmp_dh_set(&da, &db) != 0)
    return get_integer(-1, nullptr);
  bool grey = da.tp == &mx_type_uint8_v;
  int most = 0;
  for (int64_t i = 0; i < da.total_element; ++i) {
    if (grey) {
      most = std::max(most, std::abs(da.offset[i] - db.offset[i]));
      continue;
    }
    uint32_t wa, wb;
    std::memcpy(&wa, da.offset + 4 * i, 4);
    std::memcpy(&wb, db.offset + 4 * i, 4);
    for (int shift = 8; shift < 32; shift += 8)
      most = std::max(most, std::abs(static_cast<int>((wa >> shift) & 255) - static_cast<int>((wb >> shift) & 255)));
  }
  return get_integer(most, nullptr);
}

}  // namespace

void bind_block_test_prims() {
  static bool bound = false;
  if (std::exchange(bound, true)) return;
  ZuThreadScope scope("block test prims");
  static const QN_PRIM_DEF prims[] = {{"bytes", zu_bytes, 1, 2, 2, 0},     {"stored", zu_stored, 1, 2, 2, 0},
                                      {"zeros", zu_zeros, 1, 2, 2, 0},     {"sample", zu_sample, 1, 5, 5, 0},
                                      {"image", zu_image, 1, 4, 4, 0},     {"hex", zu_hex, 1, 2, 3, 0},
                                      {"head", zu_hex, 1, 3, 3, 0},        {"inflate", zu_inflate, 1, 2, 2, 0},
                                      {"same", zu_same, 1, 3, 3, 0},       {"maxdiff", zu_maxdiff, 1, 3, 3, 0},
                                      {}};
  bind_prims(matrix_zu_env, prims);
}

std::string to_hex(const std::vector<uint8_t>& b) {
  std::string s;
  char two[3];
  for (uint8_t v : b) {
    std::snprintf(two, sizeof two, "%02x", v);
    s += two;
  }
  return s;
}

std::vector<uint8_t> stored_vector(int code, const std::vector<int32_t>& ix, const std::vector<uint8_t>& elements) {
  const MATRIX_DATA_TYPE* tp = get_matrix_data_type(code);
  std::vector<uint8_t> b(4 + 4 * ix.size());
  int h = mxt_header_length(tp, static_cast<int>(ix.size()));
  b.resize(static_cast<size_t>(h));
  b[0] = static_cast<uint8_t>(h);
  b[1] = static_cast<uint8_t>(code);
  store_be16(b.data() + 2, static_cast<uint16_t>(ix.size()));
  for (size_t d = 0; d < ix.size(); ++d) store_be32(b.data() + 4 + 4 * d, static_cast<uint32_t>(ix[d]));
  b.insert(b.end(), elements.begin(), elements.end());
  return b;
}
