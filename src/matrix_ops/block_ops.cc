// The block operations of matrix scripts: channel data packed into zlib,
// image and compound blocks and read back (block_codec.h holds the
// formats). Arguments are only read; results are new collected values in
// data items of the current node.
#include <cstdio>
#include <cstring>

#include "base/alloc.h"
#include "base/endian.h"
#include "elements/zu_convert.h"
#include "matrix_ops/block_codec.h"
#include "matrix_ops/block_impl.h"
#include "matrix_ops/matrix_ops.h"
#include "matrix_ops/op_frame_impl.h"
#include "store/recordlist.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"

namespace {

constexpr int kDefaultLevel = 7;
constexpr int kDefaultQuality = 80;

// The element data a pointer or raw value holds, borrowed from it: a block
// record or a vector. Pointer values must carry the marking function of
// element data, so no other record is read as one. Raw bytes are a vector
// when they begin as one (byte 1 a vector code), else a block's bytes.
struct Element {
  const MATRIX_DATA_TYPE* tp = nullptr;
  const void* value = nullptr;
  MATRIX_ALLOC_BLOCK_PARAM view{};  // raw bytes seen as a block
  bool is_block() const { return tp == &mx_type_block; }
  const MATRIX_ALLOC_BLOCK_PARAM* block() const { return static_cast<const MATRIX_ALLOC_BLOCK_PARAM*>(value); }
};

bool vector_element(ZU_SEXP* s, const uint8_t* b, Element* e) {
  const MATRIX_DATA_TYPE* tp = get_matrix_data_type(b[1]);
  if (!tp || !mx_is_vector_code(tp->type) || !tp->sexp2md) return false;
  int cpy = 0;
  void* d = tp->sexp2md(&cpy, tp, s);
  if (!d || cpy) return false;  // pointer and raw vectors are always borrowed
  e->tp = tp;
  e->value = d;
  return true;
}

bool element_of(ZU_SEXP* s, Element* e) {
  int64_t len = -1;
  const auto* b = static_cast<const uint8_t*>(get_vdata_len_from_sexp(s, &len));
  if (!b) return false;
  if (get_type(s) == ZU_TYPE_RAW) {
    if (len >= 4 && get_matrix_data_type(b[1]) && mx_is_vector_code(b[1])) return vector_element(s, b, e);
    if (len > INT32_MAX) return false;
    e->view = MATRIX_ALLOC_BLOCK_PARAM{{0, MX_TYPE_BLOCK, 0}, static_cast<int32_t>(len), const_cast<uint8_t*>(b), 0, 0};
    e->tp = &mx_type_block;
    e->value = &e->view;
    return true;
  }
  if (s->ptr.mark == gc_mtx_block) {
    int cpy = 0;
    e->value = mx_type_block.sexp2md(&cpy, &mx_type_block, s);
    e->tp = &mx_type_block;
    return e->value != nullptr;
  }
  if (s->ptr.mark != gc_text && s->ptr.mark != gc_mx_stringv_data) return false;
  return len >= 4 && vector_element(s, b, e);
}

// A collected value of type tp around v (kind 2).
ZU_SEXP* wrap(const MATRIX_DATA_TYPE* tp, void* v) {
  if (tp == &mx_type_block) return get_ptr(v, gc_mtx_block);
  return get_ptr(v, tp == &mx_type_string_v ? gc_mx_stringv_data : gc_text);
}

// A collected block holding a copy of n bytes.
ZU_SEXP* block_value(const void* bytes, int64_t n) {
  MATRIX_ALLOC_BLOCK_PARAM view{{0, MX_TYPE_BLOCK, 0}, static_cast<int32_t>(n), const_cast<void*>(bytes), 0, 0};
  return wrap(&mx_type_block, mx_type_block.alloc_data(&mx_type_block, MX_ATYPE::collector, &view, nullptr,
                                                       __FILE__, __LINE__));
}

// The result of a coder, its len bytes (which the caller's owner holds
// across the value's allocation), in a data item of the current node.
ZU_SEXP* block_item(const MATRIX_NODE* n, const uint8_t* bytes, int32_t len) {
  return mx_data_item(n->matrix, n->dim_code, block_value(bytes, len));
}

// 0x80040503 ("invalid parameter in <func>" reason): malformed input.
ZU_SEXP* reason_error(ZU_SEXP* form, const char* func, const char* reason) {
  char text[64];
  std::snprintf(text, sizeof text, "invalid parameter in %s", func);
  return error_at(form, ZU_ER_PARAM, func, data_list(text, get_symbol_ascii(reason)));
}

ZU_SEXP* mismatch(ZU_SEXP* form, const char* func, ZU_SEXP* what) {
  return error_at(form, ZU_ER_TYPE, func, data_list("type missmatch", what));
}

// The value of a data item given to an image operation: null with *err
// the refusal when the argument is not a list led by a symbol.
ZU_SEXP* image_item_value(ZU_SEXP* form, const char* func, ZU_SEXP** err) {
  ZU_SEXP* item = get_el(form, 1);
  if (get_type(item) != ZU_TYPE_LIST) *err = reason_error(form, func, "list is required for CH data");
  else if (!is_element(item)) *err = reason_error(form, func, "data type CH data is required");
  else return get_el(item, 2);
  return nullptr;
}

// ---- zlib blocks

ZU_SEXP* zu_mxCompressZ(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxCompressZ";
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  const L_CHAR* opt = head_option(sf, "opt");
  int64_t level = opt ? option_int64(opt) : kDefaultLevel;
  if (level < -1 || level > 9) return reason_error(form, kFunc, kMxWhyLevel);
  Element e;
  if (!element_of(get_el(get_el(form, 1), 2), &e)) return mx_param_error(form, kFunc);
  const char* why = nullptr;
  int32_t len = 0;
  Tagged<uint8_t> z(mx_zblock_encode(&len, e.tp, e.value, static_cast<int>(level), &why));
  return z ? block_item(t->process_node, z.get(), len) : reason_error(form, kFunc, why);
}

ZU_SEXP* zu_mxUncomressZ(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxUncomressZ";
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  Element e;
  if (!element_of(get_el(form, 1), &e) || !e.is_block()) return mx_type_error(form, kFunc);
  const char* why = nullptr;
  const MATRIX_DATA_TYPE* tp = nullptr;
  void* v = mx_zblock_decode(&tp, e.block()->block, e.block()->size, MX_ATYPE::collector, &why);
  if (!v) return reason_error(form, kFunc, why);
  MATRIX_NODE* n = t->process_node;
  return mx_data_item(n->matrix, n->dim_code, wrap(tp, v));
}

// ---- image blocks

ZU_SEXP* zu_mxCompressJPEG(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxCompressJPEG";
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  const L_CHAR* q = head_option(sf, "quality");
  int quality = q ? option_int(q) : kDefaultQuality;
  ZU_SEXP* err = nullptr;
  ZU_SEXP* value = image_item_value(form, kFunc, &err);
  if (err) return err;
  Element e;
  if (!element_of(value, &e) || e.is_block()) return mismatch(form, kFunc, get_string_ascii("vdata convert"));
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, e.value);
  if (dh.hd->dim != 2) return reason_error(form, kFunc, "data dimention is not 2");
  if (e.tp != &mx_type_uint8_v && e.tp != &mx_type_RGB_v)
    return mismatch(form, kFunc, get_string_ascii("UINT8 or RGB8 is required"));
  const char* why = nullptr;
  int32_t len = 0;
  Tagged<uint8_t> b(mx_image_encode(&len, &dh, quality, &why));
  return b ? block_item(t->process_node, b.get(), len) : reason_error(form, kFunc, why);
}

ZU_SEXP* zu_mxUncompressJPEG(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxUncompressJPEG";
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  ZU_SEXP* err = nullptr;
  ZU_SEXP* value = image_item_value(form, kFunc, &err);
  if (err) return err;
  Element e;
  if (!element_of(value, &e) || !e.is_block()) return mx_type_error(form, kFunc);
  const char* why = nullptr;
  void* v = mx_image_decode(e.block()->block, e.block()->size, MX_ATYPE::collector, &why);
  if (!v) return reason_error(form, kFunc, why);
  MATRIX_NODE* n = t->process_node;
  return mx_data_item(n->matrix, n->dim_code, get_ptr(v, gc_text));
}

// ---- compound blocks

// Appends the item of one value (a data item stands for its value); null,
// or the refusal.
ZU_SEXP* add_item(RECORD_LIST64* rl, ZU_SEXP* given, ZU_SEXP* form) {
  constexpr const char* kFunc = "mxCompound";
  ZU_SEXP* v = get_type(given) == ZU_TYPE_LIST ? get_el(given, 2) : given;
  auto refused = [&] { return error_at(form, ZU_ER_PARAM, kFunc, data_list("invalid parameter in mxCompound", given)); };
  switch (get_type(v)) {
    case ZU_TYPE_STRING: {
      size_t n = 0;
      char* text = ln_copy_bytes(utf8_cm, str_text(v), &n);
      CHAIN_LIST64* mark = mx_compound_open(rl, MX_TYPE_STRING);
      if (n) set_recordlist_chain64(rl, text, static_cast<int64_t>(n), 1);  // freed with the list
      else d_f_ree(text);
      return mx_compound_close(rl, mark) == 0 ? nullptr : refused();
    }
    case ZU_TYPE_INTEGER:
      return mx_compound_add(rl, MX_TYPE_INT64, &v->integer.num) == 0 ? nullptr : refused();
    case ZU_TYPE_FLOATING:
      return mx_compound_add(rl, MX_TYPE_DOUBLE, &v->floating.num) == 0 ? nullptr : refused();
    case ZU_TYPE_POINTER:
    case ZU_TYPE_RAW: {
      Element e;
      if (!element_of(v, &e)) return refused();
      return mx_compound_add(rl, e.tp->type, e.value) == 0 ? nullptr : refused();
    }
    case ZU_TYPE_LIST:
      return refused();  // a data item inside a data item
    default:
      return mismatch(form, kFunc, v);
  }
}

ZU_SEXP* zu_mxCompound(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxCompound";
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  ZU_SEXP* values = head_option(sf, "type") ? form->pair.cdr : get_el(form, 1);
  if (values && get_type(values) != ZU_TYPE_LIST)
    return error_at(form, ZU_ER_PARAM, kFunc, data_list("invalid parameter in mxCompound", values));
  RecordList rl;
  for (ZU_SEXP* p = values; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr)
    if (ZU_SEXP* refused = add_item(rl.get(), p->pair.car, form)) return refused;
  int64_t size = setup_recordlist64(rl.get());
  if (size < 0 || size > INT32_MAX) return mx_param_error(form, kFunc);
  MATRIX_NODE* n = t->process_node;
  return mx_data_item(n->matrix, n->dim_code, block_value(rl.get()->data, size));
}

// The ZU value of one item: types 5, 11 and 14 bare, the others in a data
// item of the current node; null with *why when its data do not read.
ZU_SEXP* item_value(const MX_COMPOUND_ITEM& it, const MATRIX_NODE* n, const char** why) {
  if (it.type == MX_TYPE_INT64) return get_integer(static_cast<int64_t>(load_be64(it.data)), nullptr);
  if (it.type == MX_TYPE_DOUBLE) {
    uint64_t bits = load_be64(it.data);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return get_floating(d, nullptr);
  }
  if (it.type == MX_TYPE_STRING) {
    size_t len = 0;
    Tagged<L_CHAR> w(nl_copy_bytes(utf8_cm, it.data, static_cast<size_t>(it.size), &len));
    return get_string_len(w.get(), len);
  }
  void* v = mx_compound_value(&it, MX_ATYPE::collector, why);
  if (!v) return nullptr;
  return mx_data_item(n->matrix, n->dim_code, wrap(it.type == MX_TYPE_BLOCK ? &mx_type_block : get_matrix_data_type(it.type), v));
}

ZU_SEXP* zu_mxSeparate(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxSeparate";
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  Element e;
  if (!element_of(get_el(form, 1), &e) || !e.is_block()) return mx_param_error(form, kFunc);
  const auto* p = static_cast<const uint8_t*>(e.block()->block);
  const uint8_t* end = p + e.block()->size;
  const char* why = nullptr;
  ZU_SEXP* result = nullptr;
  MX_COMPOUND_ITEM it{};
  int k = 0;
  while ((k = mx_compound_next(&it, &p, end, &why)) == 1) {
    ZU_SEXP* v = item_value(it, t->process_node, &why);
    if (!v) break;
    result = cons(v, result);  // the last item first
  }
  return k == 0 ? result : reason_error(form, kFunc, why);
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kCompressZ[] = {{"mxCompressZ", zu_mxCompressZ, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kUncomressZ[] = {{"mxUncomressZ", zu_mxUncomressZ, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kCompressJPEG[] = {{"mxCompressJPEG", zu_mxCompressJPEG, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kUncompressJPEG[] = {{"mxUncompressJPEG", zu_mxUncompressJPEG, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kCompound[] = {{"mxCompound", zu_mxCompound, 1, 2, -1, T}, {}};
const QN_PRIM_DEF kSeparate[] = {{"mxSeparate", zu_mxSeparate, 1, 2, -1, T}, {}};

}  // namespace

void init_mxCompressZ(ZUISP_ENV* env) { bind_prims(env, kCompressZ); }
void init_mxUncomressZ(ZUISP_ENV* env) { bind_prims(env, kUncomressZ); }
void init_mxCompressJPEG(ZUISP_ENV* env) { bind_prims(env, kCompressJPEG); }
void init_mxUncompressJPEG(ZUISP_ENV* env) { bind_prims(env, kUncompressJPEG); }
void init_mxCompound(ZUISP_ENV* env) { bind_prims(env, kCompound); }
void init_mxSeparate(ZUISP_ENV* env) { bind_prims(env, kSeparate); }
