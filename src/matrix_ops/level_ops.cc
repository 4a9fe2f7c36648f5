// Level arithmetic of matrix scripts: a node's block thinned from its
// children's, level differences and their sums, samples cleared or filled
// at the positions a coarser level represents, and the largest number of a
// set of data items. The element arithmetic is the element types' (thinning
// and difference slots); these operations check the items, allocate the
// result in collected memory and never write into their arguments.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/alloc.h"
#include "elements/value.h"
#include "elements/value_mode.h"
#include "elements/zu_convert.h"
#include "matrix_ops/matrix_ops.h"
#include "matrix_ops/op_frame_impl.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"

namespace {

// A type whose values thinning reads: a vector type with its conversion
// from ZU values.
bool thinnable(const MATRIX_DATA_TYPE* tp) { return tp && mx_is_vector_code(tp->type) && tp->sexp2md; }

// The vector a pointer or raw value holds, checked by its type's
// conversion: its descriptor (data in *d), or null.
MATRIX_DATA_TYPE* vector_of(ZU_SEXP* s, void** d) {
  int64_t len = 0;
  const auto* b = static_cast<const uint8_t*>(get_vdata_len_from_sexp(s, &len));
  if (!b || (len >= 0 && len < 4)) return nullptr;
  MATRIX_DATA_TYPE* tp = get_matrix_data_type(b[1]);
  if (!thinnable(tp)) return nullptr;
  int cpy = 0;
  *d = tp->sexp2md(&cpy, tp, s);
  return *d ? tp : nullptr;
}

// A data item's value below its lists: (data dc value) gives value.
ZU_SEXP* item_value(ZU_SEXP* s) {
  for (int depth = 0; depth < 16 && get_type(s) == ZU_TYPE_LIST; ++depth) s = get_el(s, 2);
  return s;
}

bool is_vector_holder(ZU_SEXP* s) {
  int type = get_type(s);
  return type == ZU_TYPE_POINTER || type == ZU_TYPE_RAW;
}

ZU_SEXP* reason_error(ZU_SEXP* form, const char* func, const char* reason) {
  return error_at(form, ZU_ER_TYPE, func, get_string_ascii(reason));
}

ZU_SEXP* channel_error(ZU_SEXP* form, const char* func) {
  char text[64];
  std::snprintf(text, sizeof text, "invalid parameter in %s", func);
  return error_at(form, ZU_ER_PARAM, func, data_list(text, "channel No."));
}

// The `channel` attribute: -1 when absent, -2 when it names no channel of
// m, else the channel.
int channel_attribute(ZU_SYM_FIELD* sf, MATRIX* m) {
  const L_CHAR* text = head_option(sf, "channel");
  if (!text) return -1;
  int64_t ch = 0;
  int n = 0;
  for (; text[n] >= '0' && text[n] <= '9' && n < 6; ++n) ch = ch * 10 + (text[n] - '0');
  if (n == 0 || text[n] != 0 || ch >= mx_op_param(m).channel_nos) return -2;
  return static_cast<int>(ch);
}

// The items of a target list (data dc value) or (Children item ...): the
// first item and the list of all; or the reason text of a refusal.
const char* target_items(ZU_SEXP* target, ZU_SEXP** first, ZU_SEXP** rest) {
  if (get_type(target) != ZU_TYPE_LIST) return "target-list not a LIST";
  ZU_SEXP* head = get_el(target, 0);
  if (get_type(head) != ZU_TYPE_SYMBOL) return "target-list SYMBOL not a SYMBOL";
  if (option_is(sym_name(head), "data")) {
    *rest = List(target, ZU_LIST_END);
  } else if (option_is(sym_name(head), "Children")) {
    *rest = target->pair.cdr;
  } else {
    return "target-list data or Children is required";
  }
  *first = get_el(*rest, 0);
  return nullptr;
}

MATRIX_GEOMETRY geometry_of(MATRIX* m) {
  return mx_locked([m] { return m->geometry; });
}

// The result block's default: a tagged copy of channel ch's default (null
// without one). False when the channel holds another type than tp.
bool channel_default(MATRIX* m, int ch, const MATRIX_DATA_TYPE* tp, void** def) {
  *def = nullptr;
  if (ch < 0) return true;
  return mx_locked([&] {
    const MATRIX_CHANNEL_INFO& info = m->channel_info[ch];
    if (info.data_type != tp) return false;
    if (info.default_data)
      *def = tp->parent->alloc_copy(tp->parent, info.default_data, MX_ATYPE::tagged, nullptr, __FILE__, __LINE__);
    return true;
  });
}

ZU_SEXP* block_value(const MATRIX_DATA_TYPE* tp, void* v) {
  return get_ptr(v, tp->type == MX_TYPE_STRING_V ? gc_mx_stringv_data : gc_text);
}

// ---- mxThinnedOut

// The representative code: a list of integers, padded with zeros; zeros
// for anything else or a list shorter than two. Values outside 32 bits
// become -1, which the slots refuse.
void rep_code(ZU_SEXP* s, int dim, int32_t* rep) {
  for (int d = 0; d < dim; ++d) rep[d] = 0;
  if (list_length(s) < 2) return;
  for (int d = 0; d < dim && get_type(s) == ZU_TYPE_LIST; ++d, s = s->pair.cdr) {
    ZU_SEXP* e = s->pair.car;
    if (get_type(e) != ZU_TYPE_INTEGER) continue;
    int64_t v = e->integer.num;
    rep[d] = v >= INT32_MIN && v <= INT32_MAX ? static_cast<int32_t>(v) : -1;
  }
}

// The vector type of a child's datum read in place, as vector_of reads a
// copy of it; null where vector_of refuses.
MATRIX_DATA_TYPE* held_vector_type(const void* d) {
  MATRIX_DATA_TYPE* tp = get_matrix_data_type(static_cast<const uint8_t*>(d)[1]);
  return thinnable(tp) ? tp : nullptr;
}

// What a thinning is asked to do, read from its attributes: null, or the
// error to answer once the arguments are evaluated.
struct ThinAsk {
  bool average = false;
  int channel = -1;
};
ZU_SEXP* thin_ask(ZU_SYM_FIELD* sf, MATRIX* m, ZU_SEXP* form, const char* func, ThinAsk* a) {
  const L_CHAR* type = head_option(sf, "type");
  a->average = option_is(type, "average");
  if (type && !a->average && !option_is(type, "representative"))
    return error_at(form, ZU_ER_PARAM, func, data_list("invalid parameter in mxThinnedOut", get_string(type)));
  a->channel = channel_attribute(sf, m);
  return a->channel == -2 ? channel_error(form, func) : nullptr;
}

// Whether tp has the thinning asked for (a type without one is a type error).
bool thin_slot_ok(const ThinAsk& a, const MATRIX_DATA_TYPE* tp) {
  return a.average ? tp->thinned_avg != nullptr : tp->thinned_rep != nullptr;
}

// The parent block of node n, of tp, made from the channel's default:
// null, or the error to answer.
ZU_SEXP* thin_block(MATRIX* m, MATRIX_NODE* n, const ThinAsk& a, MATRIX_DATA_TYPE* tp, const MATRIX_GEOMETRY& g,
                    ZU_SEXP* form, const char* func, void** block) {
  if (!thin_slot_ok(a, tp)) return mx_type_error(form, func);
  void* def = nullptr;
  if (!channel_default(m, a.channel, tp, &def)) return mx_type_error(form, func);
  *block = mxt_alloc_vector_by_dim_code(&g, tp, MX_ATYPE::collector, n->dim_code, def);
  if (def) tp->parent->free_data(tp->parent, def);
  return *block ? nullptr : mx_loading_error(form, func);
}

int thin_one(const ThinAsk& a, MATRIX_DATA_TYPE* tp, const MATRIX_GEOMETRY& g, const int64_t* dc, const int32_t* rep,
             void* block, const void* data) {
  return a.average ? tp->thinned_avg(tp, &g, dc, 1, block, data) : tp->thinned_rep(tp, &g, dc, rep, 1, block, data);
}

// A node of no child (one a point read made over nothing, or the only node
// of a one-level matrix, whose top class thins) keeps what it holds in
// channel ch: no child changes it. The channel is the one mxCH read the
// children from; a list made otherwise names none, and the channel=
// attribute gives it. One that holds nothing there reads the channel's default, as the
// children the file does not hold leave it. Without a channel of vectors,
// the error a missing first item gives; without the thinning asked for, the
// type error that children of that type give.
ZU_SEXP* thin_nothing(MATRIX* m, MATRIX_NODE* n, const ThinAsk& a, int ch, ZU_SEXP* form, const char* func) {
  MATRIX_DATA_TYPE* tp = mx_locked([m, ch]() -> MATRIX_DATA_TYPE* {
    return ch >= 0 && ch < m->p.channel_nos ? m->channel_info[ch].data_type : nullptr;
  });
  if (!thinnable(tp)) return reason_error(form, func, "CH data type");
  if (!thin_slot_ok(a, tp)) return mx_type_error(form, func);
  ZU_SEXP* v = get_channel_data(n, ch, form, true);
  return sexp_type(v) == ZU_TYPE_ERROR ? v : mx_data_item(m, n->dim_code, v);
}

// The parent thinned from the children a reader noted, each child's datum
// read where it is under its channel lock; the checks and errors are those
// of the items mxCH would have answered, the last child first.
ZU_SEXP* thin_in_place(MATRIX* m, MATRIX_NODE* n, const ThinAsk& a, const MxChildrenRead& kids, ZU_SEXP* rep_form,
                       ZU_SEXP* form, const char* func) {
  const auto& held = kids.children();
  if (held.empty()) return thin_nothing(m, n, a, kids.channel(), form, func);
  MATRIX_GEOMETRY g = geometry_of(m);
  int32_t rep[kMxMaxDim];
  rep_code(rep_form, g.dim, rep);
  MATRIX_DATA_TYPE* tp = nullptr;
  void* block = nullptr;
  for (size_t i = 0; i < held.size(); ++i) {
    ZU_SEXP* err = nullptr;
    const void* d = get_channel_datum_held(held[i].n, kids.channel(), form, &err);
    if (!d) return err;  // gone since mxCH saw it: nothing else lets a datum go while its node is locked
    MATRIX_DATA_TYPE* it = held_vector_type(d);
    if (i == 0) {
      tp = it;
      err = !tp ? reason_error(form, func, "CH data type") : thin_block(m, n, a, tp, g, form, func, &block);
    } else if (!it) {
      err = reason_error(form, func, "CH data type(2)");
    } else if (it != tp) {
      err = mx_type_error(form, func);
    }
    int r = err ? 0 : thin_one(a, tp, g, held[i].dc, rep, block, d);
    matrix_node_channel_unlock(held[i].n, 0);
    if (err) return err;
    if (r < 0) return error_at(form, ZU_ER_NO_OBJECT, func, data_list("invalid matrix loading", r));
  }
  return mx_data_item(m, n->dim_code, block_value(tp, block));
}

// The arguments are evaluated here, in order. A target written as mxCH's
// read of the children is read in place (op_frame_impl.h), since the
// thinning only reads it, unless a representative code computed after it
// (a form, not a name or a constant) could change the children first: mxCH
// then copies them, and only the channel it read is noted.
ZU_SEXP* zu_mxThinnedOut(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxThinnedOut";
  const bool computed_rep = get_type(get_el(form, 2)) == ZU_TYPE_LIST;
  MxChildrenRead kids(get_el(form, 1), !computed_rep);
  ZU_SEXP* target = eval(env, get_el(form, 1));
  kids.disarm();
  if (get_type(target) == ZU_TYPE_ERROR) return target;
  gc_set_nl(target, gc_qn_sexp);  // a value found in an environment, kept across the allocations below
  ZU_SEXP* rep_form = nullptr;
  if (list_length(form) > 2) {
    rep_form = eval(env, get_el(form, 2));
    if (get_type(rep_form) == ZU_TYPE_ERROR) return rep_form;
    gc_set_nl(rep_form, gc_qn_sexp);
  }
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  MATRIX_NODE* n = t->process_node;
  MATRIX* m = n->matrix;
  ThinAsk a;
  if (ZU_SEXP* refused = thin_ask(sf, m, form, kFunc, &a)) return refused;
  if (kids.taken()) return thin_in_place(m, n, a, kids, rep_form, form, kFunc);
  ZU_SEXP *first = nullptr, *rest = nullptr;
  if (const char* why = target_items(target, &first, &rest)) return reason_error(form, kFunc, why);
  if (get_type(rest) != ZU_TYPE_LIST)
    return thin_nothing(m, n, a, kids.channel() >= 0 ? kids.channel() : a.channel, form, kFunc);
  MATRIX_GEOMETRY g = geometry_of(m);
  void* data = nullptr;
  MATRIX_DATA_TYPE* tp = vector_of(get_el(first, 2), &data);
  if (!tp) return reason_error(form, kFunc, "CH data type");
  int32_t rep[kMxMaxDim];
  rep_code(rep_form, g.dim, rep);
  void* block = nullptr;
  if (ZU_SEXP* refused = thin_block(m, n, a, tp, g, form, kFunc, &block)) return refused;
  int64_t dc[kMxMaxDim + 1];
  for (ZU_SEXP* p = rest; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* item = p->pair.car;
    if (!dim_code_from_sexp(m, get_el(item, 1), dc)) return reason_error(form, kFunc, "cannot convert dim_code");
    MATRIX_DATA_TYPE* it = vector_of(get_el(item, 2), &data);
    if (!it) return reason_error(form, kFunc, "CH data type(2)");
    if (it != tp) return mx_type_error(form, kFunc);  // read with this type's layout, it would be misread
    int r = thin_one(a, tp, g, dc, rep, block, data);
    if (r < 0) return error_at(form, ZU_ER_NO_OBJECT, kFunc, data_list("invalid matrix loading", r));
  }
  return mx_data_item(m, n->dim_code, block_value(tp, block));
}

// ---- mxDiff and mxAdd

ZU_SEXP* level_arithmetic(ZUISP_ENV* env, ZU_SEXP* form, ZU_SYM_FIELD* sf, const char* func, bool add) {
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  MATRIX* m = t->process_node->matrix;
  const L_CHAR* option = head_option(sf, "option");
  int mode = !option ? MX_MODE_NONE
             : option_is(option, "TRUNC") ? MX_MODE_TRUNC
             : option_is(option, "CURVE") ? MX_MODE_CURVE
                                          : -1;
  if (mode < 0) return mx_param_error(form, func);
  ZU_SEXP *a = get_el(form, 1), *b = get_el(form, 2);
  int64_t upper[kMxMaxDim + 1], lower[kMxMaxDim + 1];
  const bool codes = dim_code_from_sexp(m, get_el(a, 1), upper) && dim_code_from_sexp(m, get_el(b, 1), lower);
  void *pa = nullptr, *pb = nullptr;
  MATRIX_DATA_TYPE* tp = vector_of(get_el(a, 2), &pa);
  if (!codes || !tp || vector_of(get_el(b, 2), &pb) != tp) return mx_type_error(form, func);
  auto slot = add ? tp->v_add : tp->v_sub;
  // The first item must be the coarser one: a negative level count has no
  // cells.
  if (!slot || upper[0] < lower[0]) return mx_type_error(form, func);
  int64_t levels = upper[0] - lower[0];
  int parent = lower[0] < 0 || levels > INT32_MAX ? -1 : static_cast<int>(levels);
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, pb);
  MATRIX_ALLOC_VECTOR_PARAM p{dh.hd->dim, dh.ix, nullptr, nullptr};
  void* out = mxt_alloc_vector(tp, MX_ATYPE::collector, &p, nullptr);
  MATRIX_GEOMETRY g = geometry_of(m);
  if (!out || slot(tp, &g, lower, parent, mode, out, pa, pb) < 0) return mx_loading_error(form, func);
  return mx_data_item(m, lower, get_ptr(out, gc_text));
}

ZU_SEXP* zu_mxDiff(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  return level_arithmetic(env, form, sf, "mxDiff", false);
}

ZU_SEXP* zu_mxAdd(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  return level_arithmetic(env, form, sf, "mxAdd", true);
}

// ---- mxSquash and mxStuffing

// One vector argument with the matrix's number of dimensions: its copy in
// collected memory, or null with *err set.
struct Sampled {
  MATRIX_DATA_TYPE* tp = nullptr;
  void* data = nullptr;
  MATRIX_DH_SET dh{};
};

ZU_SEXP* read_vector(ZU_SEXP* arg, ZU_SEXP* form, const char* func, Sampled* out) {
  ZU_SEXP* s = item_value(arg);
  if (!is_vector_holder(s)) return mx_type_error(form, func);
  out->tp = vector_of(s, &out->data);
  if (!out->tp) return mx_param_error(form, func);
  get_matrix_dh_set(&out->dh, out->data);
  return nullptr;
}

// The offsets list (nil: zeros): up to dim integers, each inside its
// extent. False when refused.
bool read_offsets(ZU_SEXP* s, const MATRIX_DH_SET& dh, int32_t* ofs) {
  int dim = dh.hd->dim;
  for (int d = 0; d < dim; ++d) ofs[d] = 0;
  if (is_nil(s)) return true;
  int len = list_length(s);
  if (len < 0 || len > dim) return false;
  for (int d = 0; d < len; ++d, s = s->pair.cdr) {
    ZU_SEXP* e = s->pair.car;
    if (get_type(e) != ZU_TYPE_INTEGER || e->integer.num < 0 || e->integer.num >= std::max(dh.ix[d], 1)) return false;
    ofs[d] = static_cast<int32_t>(e->integer.num);
  }
  return true;
}

// Walks the indexes (storage order) whose coordinate along d is ofs[d] +
// k * step[d] below ix[d]; stops when f returns false. Counters on the
// stack.
template <class F>
void walk(int dim, const int32_t* ix, const int32_t* ofs, const int32_t* step, F f) {
  int32_t at[kMxMaxDim];
  int64_t index = 0, stride[kMxMaxDim];
  int64_t s = 1;
  for (int d = 0; d < dim; ++d) {
    if (ofs[d] >= ix[d]) return;
    at[d] = ofs[d];
    stride[d] = s;
    index += ofs[d] * stride[d];
    s *= ix[d];
  }
  for (;;) {
    if (!f(index)) return;
    int d = 0;
    for (; d < dim; ++d) {
      at[d] += step[d];
      index += step[d] * stride[d];
      if (at[d] < ix[d]) break;
      index -= (at[d] - ofs[d]) * stride[d];
      at[d] = ofs[d];
    }
    if (d >= dim) return;
  }
}

// Element i of vector v becomes the element datum (a text for strings, a
// byte for bits).
void set_element(const MATRIX_DATA_TYPE* tp, void* v, const MATRIX_DH_SET& dh, int64_t i, const void* datum) {
  if (tp->type == MX_TYPE_STRING_V) {
    mxt_stringv_set(v, i, static_cast<const char*>(datum));
  } else if (tp->type == MX_TYPE_BIT + MX_TYPE_VECTOR) {
    uint8_t bit = static_cast<uint8_t>(1u << (i % 8));
    if (*static_cast<const uint8_t*>(datum)) dh.offset[i / 8] |= bit;
    else dh.offset[i / 8] &= static_cast<uint8_t>(~bit);
  } else {
    int w = mxt_vector_element_size(tp);
    std::memcpy(dh.offset + i * w, datum, static_cast<size_t>(w));
  }
}

// The datum of element i of vector v, as set_element takes it.
const void* element_datum(const MATRIX_DATA_TYPE* tp, const MATRIX_DH_SET& dh, int64_t i, uint8_t* bit) {
  if (tp->type == MX_TYPE_STRING_V) return reinterpret_cast<char* const*>(dh.offset)[i];
  if (tp->type == MX_TYPE_BIT + MX_TYPE_VECTOR) {
    *bit = (dh.offset[i / 8] >> (i % 8)) & 1;
    return bit;
  }
  return dh.offset + i * mxt_vector_element_size(tp);
}

// The target of mxSquash and mxStuffing: read, checked against the matrix
// geometry and copied; the offsets and the cell steps.
ZU_SEXP* sample_target(MATRIX* m, ZU_SEXP* form, const char* func, Sampled* v, int32_t* ofs, int32_t* step) {
  if (ZU_SEXP* e = read_vector(get_el(form, 1), form, func, v)) return e;
  MATRIX_GEOMETRY g = geometry_of(m);
  if (v->dh.hd->dim != g.dim || !read_offsets(get_el(form, 3), v->dh, ofs)) return mx_param_error(form, func);
  for (int d = 0; d < g.dim; ++d) step[d] = int32_t{1} << std::min<int>(g.dim_divide[d], 30);
  v->data = v->tp->alloc_copy(v->tp, v->data, MX_ATYPE::collector, nullptr, __FILE__, __LINE__);
  if (!v->data) return mx_param_error(form, func);
  get_matrix_dh_set(&v->dh, v->data);
  return nullptr;
}

ZU_SEXP* zu_mxSquash(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxSquash";
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  MATRIX_NODE* n = t->process_node;
  Sampled v;
  int32_t ofs[kMxMaxDim], step[kMxMaxDim];
  if (ZU_SEXP* e = sample_target(n->matrix, form, kFunc, &v, ofs, step)) return e;
  const MATRIX_DATA_TYPE* scalar = v.tp->parent;
  int cpy = 0;
  ZU_SEXP* given = get_el(form, 2);
  const void* datum = is_nil(given) ? get_zero_datum(scalar) : scalar->sexp2md(&cpy, scalar, given);
  if (!datum) return mx_param_error(form, kFunc);
  auto free_copy = [scalar](void* d) { scalar->free_data(scalar, d); };
  std::unique_ptr<void, decltype(free_copy)> copy(cpy ? const_cast<void*>(datum) : nullptr, free_copy);
  walk(v.dh.hd->dim, v.dh.ix, ofs, step, [&](int64_t i) {
    set_element(v.tp, v.data, v.dh, i, datum);
    return true;
  });
  return mx_data_item(n->matrix, n->dim_code, block_value(v.tp, v.data));
}

ZU_SEXP* zu_mxStuffing(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxStuffing";
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  MATRIX_NODE* n = t->process_node;
  Sampled source, v;
  if (ZU_SEXP* e = read_vector(get_el(form, 2), form, kFunc, &source)) return e;
  int32_t ofs[kMxMaxDim], step[kMxMaxDim];
  if (ZU_SEXP* e = sample_target(n->matrix, form, kFunc, &v, ofs, step)) return e;
  // Elements of another type would be copied with the target's size.
  if (source.tp != v.tp) return mx_type_error(form, kFunc);
  if (source.dh.total_element > 0) {
    // The source's indexes in storage order are 0, 1, 2, ...; the walk
    // stops when either side has passed its last position.
    int64_t next = 0;
    walk(v.dh.hd->dim, v.dh.ix, ofs, step, [&](int64_t i) {
      uint8_t bit = 0;
      set_element(v.tp, v.data, v.dh, i, element_datum(v.tp, source.dh, next, &bit));
      return ++next < source.dh.total_element;
    });
  }
  return mx_data_item(n->matrix, n->dim_code, block_value(v.tp, v.data));
}

// ---- mxMax

ZU_SEXP* zu_mxMax(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxMax";
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  MATRIX_NODE* n = t->process_node;
  MATRIX* m = n->matrix;
  if (channel_attribute(sf, m) == -2) return channel_error(form, kFunc);
  ZU_SEXP *first = nullptr, *rest = nullptr;
  if (const char* why = target_items(get_el(form, 1), &first, &rest)) return reason_error(form, kFunc, why);
  bool has_int = false, has_float = false;
  int64_t imax = 0;
  double fmax = 0.0;
  for (ZU_SEXP* p = rest; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* item = p->pair.car;
    if (!is_dim_code_sexp(m, get_el(item, 1))) return reason_error(form, kFunc, "cannot convert dim_code");
    ZU_SEXP* value = get_el(item, 2);
    if (get_type(value) == ZU_TYPE_INTEGER) {
      if (!has_int || value->integer.num > imax) imax = value->integer.num;
      has_int = true;
    } else if (get_type(value) == ZU_TYPE_FLOATING) {
      if (!has_float || value->floating.num > fmax) fmax = value->floating.num;
      has_float = true;
    } else {
      // No element type offers a largest element.
      return reason_error(form, kFunc, "CH data type(2)");
    }
  }
  bool integer = has_int && (!has_float || static_cast<double>(imax) >= fmax);
  ZU_SEXP* r = integer ? get_integer(imax, nullptr) : get_floating(fmax, nullptr);
  return mx_data_item(m, n->dim_code, r);
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
// mxThinnedOut evaluates its own arguments.
const QN_PRIM_DEF kThinnedOut[] = {{"mxThinnedOut", zu_mxThinnedOut, 0, 2, 3, 0}, {}};
const QN_PRIM_DEF kDiff[] = {{"mxDiff", zu_mxDiff, 1, 3, 3, T}, {}};
const QN_PRIM_DEF kAdd[] = {{"mxAdd", zu_mxAdd, 1, 3, 3, T}, {}};
const QN_PRIM_DEF kSquash[] = {{"mxSquash", zu_mxSquash, 1, 2, 4, T}, {}};
const QN_PRIM_DEF kStuffing[] = {{"mxStuffing", zu_mxStuffing, 1, 3, 4, T}, {}};
const QN_PRIM_DEF kMax[] = {{"mxMax", zu_mxMax, 1, 2, 2, T}, {}};

}  // namespace

void init_mxThinnedOut(ZUISP_ENV* env) { bind_prims(env, kThinnedOut); }
void init_mxDiff(ZUISP_ENV* env) { bind_prims(env, kDiff); }
void init_mxAdd(ZUISP_ENV* env) { bind_prims(env, kAdd); }
void init_mxSquash(ZUISP_ENV* env) { bind_prims(env, kSquash); }
void init_mxStuffing(ZUISP_ENV* env) { bind_prims(env, kStuffing); }
void init_mxMax(ZUISP_ENV* env) { bind_prims(env, kMax); }
