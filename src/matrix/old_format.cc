// CR and R64 node data decoded into packed-pixel vectors, and the matrix
// script built-in that does it (old_format.h).
#include "matrix/old_format.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/alloc.h"
#include "codec/cr_block.h"
#include "codec/limits.h"
#include "elements/value.h"
#include "elements/zu_convert.h"
#include "matrix/matrix_impl.h"
#include "matrix/node.h"
#include "stream/stream.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/errcodes.h"
#include "zu/printer.h"

namespace {

constexpr char kFunc[] = "mxUncompressOldFormat";
// Positions beyond this cannot touch an output of 2^28 pixels; they are
// refused before any arithmetic could overflow.
constexpr int64_t kMaxPosition = int64_t{1} << 40;

uint32_t pack(uint32_t r, uint32_t g, uint32_t b) { return r * 4 | (g * 4) << 10 | (b * 4) << 20; }

bool int_of(ZU_SEXP* s, int64_t* v) {
  if (get_type(s) != ZU_TYPE_INTEGER) return false;
  *v = s->integer.num;
  return true;
}

// The output: a w x h uint32 vector every element of which is uncovered,
// for w and h the payload's first two members; null for sizes that are not
// positive integers or exceed the image ceiling.
void* new_output(ZU_SEXP* net, int64_t* w, int64_t* h, uint32_t** px) {
  if (!int_of(get_el(net, 0), w) || !int_of(get_el(net, 1), h) || *w <= 0 || *h <= 0) return nullptr;
  const auto limit = static_cast<int64_t>(kCodecMaxPixels);
  if (*w > limit || *h > limit || *w * *h > limit) return nullptr;
  const int32_t ix[2] = {static_cast<int32_t>(*w), static_cast<int32_t>(*h)};
  const uint32_t uncovered = kMxUncovered;
  MATRIX_ALLOC_VECTOR_PARAM vp{2, ix, &uncovered, nullptr};
  void* v = mx_type_uint32_v.alloc_data(&mx_type_uint32_v, MX_ATYPE::collector, &vp, nullptr, __FILE__, __LINE__);
  MATRIX_DH_SET dh{};
  if (!v || !get_matrix_dh_set(&dh, v)) return nullptr;
  *px = reinterpret_cast<uint32_t*>(dh.offset);
  return v;
}

// A parent vector: packed pixels, its width and element count.
struct Parent {
  const uint8_t* px = nullptr;
  int64_t w = 0;
  int64_t total = 0;
  // The 8-bit channel c of element i (i inside the vector).
  int channel(int64_t i, int c) const {
    uint32_t v = 0;
    std::memcpy(&v, px + 4 * i, 4);
    return static_cast<int>((v >> (10 * c)) & 0x3FF) >> 2;
  }
};

bool parent_of(const void* d, Parent* p) {
  MATRIX_DH_SET dh{};
  if (!get_matrix_dh_set(&dh, d) || dh.tp != &mx_type_uint32_v || dh.hd->dim != 2) return false;
  *p = Parent{dh.offset, dh.ix[0], dh.total_element};
  return true;
}

struct Tile {
  int64_t x, y, px, py;
};

// Four integers (x y px py), within reach of any output; else false.
bool tile_position(ZU_SEXP* pos, Tile* t) {
  int64_t v[4];
  for (int i = 0; i < 4; ++i)
    if (!int_of(get_el(pos, i), &v[i])) return false;
  *t = Tile{v[0], v[1], v[2], v[3]};
  return true;
}

bool within_reach(const Tile& t) {
  return std::all_of(&t.x, &t.py + 1, [](int64_t v) { return v > -kMaxPosition && v < kMaxPosition; });
}

// Writes one tile's pixels into the output; a tile that does not decode,
// and pixels outside the output or the parent, are skipped.
void put_tile(uint32_t* out, int64_t w, int64_t h, const Parent* parent, const Tile& pos, ZU_SEXP* tile) {
  if (get_type(tile) != ZU_TYPE_RAW) {
    if (mx_trace()) {
      ss_printf("RAW %i\n", get_type(tile));
      if (get_type(tile) == ZU_TYPE_ERROR) {
        print_sexp(s_stderr, tile, 0);
        ss_printf("\n");
      }
    }
    return;
  }
  const uint8_t* data = tile->raw.data;
  const int32_t size = static_cast<int32_t>(std::min<uint32_t>(tile->raw.size, INT32_MAX));
  if (size < 4 || !within_reach(pos)) return;
  const CR_CODEC* codec = get_cr_codec(static_cast<char>(data[0]));
  if (!codec) {
    ss_printf("get_cr_buf unsupport type %c\n", data[0]);
    return;
  }
  const int8_t cal[3] = {static_cast<int8_t>(data[1]), static_cast<int8_t>(data[2]), static_cast<int8_t>(data[3])};
  int32_t tw = 0, th = 0;
  uint8_t* buf = codec->uncompress(&tw, &th, data + 4, size - 4);
  if (!buf) return;
  for (int64_t j = std::max<int64_t>(0, -pos.y); j < th && pos.y + j < h; ++j)
    for (int64_t i = std::max<int64_t>(0, -pos.x); i < tw && pos.x + i < w; ++i) {
      const uint8_t* t = buf + 4 * (tw * j + i);
      uint32_t& o = out[(pos.x + i) + (pos.y + j) * w];
      if (!parent) {
        o = pack(t[0], t[1], t[2]);
        continue;
      }
      const int64_t pi = ((i + pos.px) / 2 % 256) + ((j + pos.py) / 2 % 256) * parent->w;
      if (pi < 0 || pi >= parent->total) continue;
      int v[3];
      for (int c = 0; c < 3; ++c) v[c] = std::max(std::min(cr_inv_cal(t[c], cal[c]) + parent->channel(pi, c), 255), 0);
      o = pack(static_cast<uint32_t>(v[0]), static_cast<uint32_t>(v[1]), static_cast<uint32_t>(v[2]));
    }
  std::free(buf);
}

// size bytes at d that hold a whole two-dimensional uint32 vector.
bool whole_vector(const uint8_t* d, int64_t size) {
  if (!d || size < 12) return false;
  MATRIX_DATA_HEADER hd;
  std::memcpy(&hd, d, sizeof hd);
  int32_t ix[2];
  std::memcpy(ix, d + 4, sizeof ix);
  if (hd.type != mx_type_uint32_v.type || hd.dim != 2 || hd.offset < 12 || ix[0] < 0 || ix[1] < 0) return false;
  return static_cast<uint64_t>(hd.offset) + 4 * static_cast<uint64_t>(ix[0]) * static_cast<uint64_t>(ix[1]) <=
         static_cast<uint64_t>(size);
}

ZU_SEXP* zu_mxUncompressOldFormat(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  auto* t = static_cast<MATRIX_TOKEN*>(get_env_work(env));
  if (!t || !t->process_node) return nullptr;
  const L_CHAR* format = head_option(sf, "format");
  const bool r64 = format && zu_wcmp_ascii(format, "R64") == 0;
  if (format && !r64 && zu_wcmp_ascii(format, "CR") != 0)
    return error_at(form, ZU_ER_PARAM, kFunc, get_string_ascii("invalid parameter in mxUncompressOldFormat"));
  const bool with_parent = list_length(form) >= 3;
  ZU_SEXP* parent = with_parent ? get_el(form, 1) : nullptr;
  ZU_SEXP* item = get_el(form, with_parent ? 2 : 1);
  if (mx_trace()) {
    ss_printf("**** ");
    print_sexp(s_stderr, item, ZU_PRINT_RAW_SIZE);
    ss_printf("\n");
  }
  MATRIX* m = t->process_node->matrix;
  ZU_SEXP* dcs = get_el(item, 1);
  MxDimCode dc = get_dim_code_from_sexp(m, dcs);
  if (!dc) return error_at(form, ZU_ER_TYPE, kFunc, dcs);
  const void* parent_d = nullptr;
  bool usable = true;
  if (with_parent) {
    ZU_SEXP* p = get_el(parent, 2);
    if (get_type(p) != ZU_TYPE_POINTER && get_type(p) != ZU_TYPE_RAW) return error_at(form, ZU_ER_TYPE, kFunc, dcs);
    // Element data only, read no further than its bytes: a pointer value
    // of another kind (a structure a script kept) is never followed.
    int64_t len = -1;
    parent_d = get_vdata_len_from_sexp(p, &len);
    usable = whole_vector(static_cast<const uint8_t*>(parent_d), len);
  }
  ZU_SEXP* payload = get_el(item, 2);
  void* v = !usable ? nullptr : r64 ? uncompress_r64(payload) : uncompress_cr(t->process_node, parent_d, payload);
  ZU_SEXP* vector = get_ptr(v, gc_text);
  return List(get_symbol_ascii("data"), get_sexp_from_dim_code(m, dc.get()), vector, ZU_LIST_END);
}

const QN_PRIM_DEF kOldFormat[] = {{kFunc, zu_mxUncompressOldFormat, 1, 1, 3, 0}, {}};

}  // namespace

void* uncompress_cr(MATRIX_NODE*, const void* parent_d, ZU_SEXP* net_d) {
  Parent parent;
  if (parent_d && !parent_of(parent_d, &parent)) return nullptr;
  int64_t w = 0, h = 0;
  uint32_t* out = nullptr;
  void* v = new_output(net_d, &w, &h, &out);
  if (!v) return nullptr;
  ZU_SEXP* pos = get_el(net_d, 2);
  for (ZU_SEXP* tiles = get_el(net_d, 3); get_type(tiles) == ZU_TYPE_LIST; tiles = cdr(tiles), pos = cdr(pos)) {
    Tile at{};
    if (!tile_position(car(pos), &at)) return nullptr;
    put_tile(out, w, h, parent_d ? &parent : nullptr, at, car(tiles));
  }
  return v;
}

void* uncompress_r64(ZU_SEXP* net_d) {
  int64_t w = 0, h = 0;
  uint32_t* out = nullptr;
  void* v = new_output(net_d, &w, &h, &out);
  if (!v) return nullptr;
  ZU_SEXP* type = get_el(net_d, 2);
  const bool rgb = get_type(type) == ZU_TYPE_STRING && str_text(type)[0] == 'P';
  ZU_SEXP* pixels = get_el(net_d, 3);
  if (get_type(pixels) != ZU_TYPE_RAW) return v;
  const int64_t bpp = rgb ? 3 : 1;
  const int64_t have = std::min<int64_t>(pixels->raw.size / bpp, w * h);
  auto copy = rgb ? copy_buf_p_of : copy_buf_g_of;
  // Whole rows first, then what there is of the next one.
  copy(out, pixels->raw.data, w, have / w);
  copy(out + have / w * w, pixels->raw.data + have / w * w * bpp, have % w, 1);
  return v;
}

void copy_buf_p_of(uint32_t* buf, const uint8_t* ptr, int64_t w, int64_t h) {
  for (int64_t i = 0; i < w * h; ++i, ptr += 3) buf[i] = pack(ptr[0], ptr[1], ptr[2]);
}

void copy_buf_g_of(uint32_t* buf, const uint8_t* ptr, int64_t w, int64_t h) {
  for (int64_t i = 0; i < w * h; ++i) buf[i] = ptr[i] * 0x401004u;
}

void init_mxUncompressOldFormat(ZUISP_ENV* env) { bind_prims(env, kOldFormat); }
