// The plot built-ins: the constants, the difference of a parent's plot to
// its children's, sorting a plot block, rebuilding a child, and the empty
// plot structure of a block channel.
#include "matrix_ops/plot_ops.h"

#include <cstring>

#include "matrix/dim_code.h"
#include "matrix/node.h"
#include "matrix_ops/op_frame_impl.h"
#include "matrix_ops/plot_block.h"
#include "matrix_ops/plot_level.h"
#include "matrix_ops/plot_ops_impl.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/errcodes.h"
#include "zu/printer.h"

// ---- shared with mxObjID

int plot_switch(ZU_SYM_FIELD* sf, const char* name) {
  const L_CHAR* text = head_option(sf, name);
  if (!text || option_is(text, "off")) return 0;
  return option_is(text, "on") ? 1 : -1;
}

ItemBlock::ItemBlock(ZU_SEXP* item) {
  ZU_SEXP* v = get_type(item) == ZU_TYPE_LIST ? get_el(item, 2) : nullptr;
  int type = get_type(v);
  // A pointer value is read as a block only when it is marked as one: other
  // pointers (a structure block, say) are no block records.
  if ((type == ZU_TYPE_POINTER && v->ptr.mark == gc_mtx_block) || type == ZU_TYPE_RAW)
    blk_ = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(mx_type_block.sexp2md(&copy_, &mx_type_block, v));
}

ItemBlock::~ItemBlock() {
  if (blk_ && copy_) mx_type_block.free_data(&mx_type_block, blk_);
}

bool item_dim_code(MATRIX* m, ZU_SEXP* item, int64_t* out) { return dim_code_from_sexp(m, get_el(item, 1), out); }

ZU_SEXP* plot_block_item(MATRIX* m, const int64_t* dc, const void* bytes, int size) {
  MATRIX_ALLOC_BLOCK_PARAM src{};
  src.size = size;
  src.block = const_cast<void*>(bytes);
  void* r = mx_type_block.alloc_data(&mx_type_block, MX_ATYPE::collector, &src, nullptr, __FILE__, __LINE__);
  return mx_data_item(m, dc, get_ptr(r, gc_mtx_block));
}

namespace {

constexpr const char* kParamText = "invalid parameter in mxPgPlotDiff";

ZU_SEXP* param_error(ZU_SEXP* form, const char* func, const char* reason) {
  return error_at(form, ZU_ER_PARAM, func, data_list(kParamText, reason));
}

ZU_SEXP* type_error(ZU_SEXP* form, const char* func, const char* reason) {
  return error_at(form, ZU_ER_TYPE, func, data_list("type missmatch", reason));
}

// The non-empty list of a plot block (tagged, or into sat), or the reason
// of a refusal: reasons[0] for a block that does not inflate, reasons[1]
// for damaged code or an empty plot.
const char* read_block(INTERNAL_PLOT** out, MATRIX* m, const MATRIX_ALLOC_BLOCK_PARAM* b, bool compress,
                       SIMPLE_ALLOC_T* sat, const char* const reasons[2]) {
  int r = read_plot_block(out, m, b->block, b->size, compress, sat);
  if (r == -1) return reasons[0];
  return r == -2 || !*out ? reasons[1] : nullptr;
}

// ---- mxPgPlotDiff

// The data items of a target list: (target) for a data item, the members
// after the head for Children; or the reason of a refusal.
const char* target_items(ZU_SEXP* target, ZU_SEXP** items) {
  if (get_type(target) != ZU_TYPE_LIST) return "target-list not a LIST";
  ZU_SEXP* head = get_el(target, 0);
  if (get_type(head) != ZU_TYPE_SYMBOL) return "target-list SYMBOL not aSYMBOL";
  if (is_symbol_named(head, "data")) *items = List(target, ZU_LIST_END);
  else if (is_symbol_named(head, "Children")) *items = target->pair.cdr;
  else return "target-list data or Children is required";
  return nullptr;
}

// The parent's list grows in parent_sat, which holds it whole: every
// child's coarse part is made there and spliced in.
struct DiffRun {
  DiffRun(MATRIX* matrix, ZU_SEXP* f, bool c, bool s) : m(matrix), form(f), compress(c), sort(s) {}
  MATRIX* m;
  ZU_SEXP* form;
  bool compress;
  bool sort;
  HeldBump parent_sat;
  INTERNAL_PLOT* parent = nullptr;
  int parent_len = 0;
  ListBuilder children;
};

// The item of a list packed as a block in *item; the error or null. The
// traces name the steps of a child's difference list or of the parent.
ZU_SEXP* pack_item(DiffRun& r, const int64_t* dc, INTERNAL_PLOT* ip, bool child, ZU_SEXP** item) {
  int size = 0;
  void* code = internal2code(&size, r.m, ip);
  if (!code) return param_error(r.form, "mxPgPlotDiff", "internal plot code");
  if (child) ss_printf("mxPgPlotDiff-10\n");
  else ss_printf("mxPgPlotDiff-6 c-size = %i %s\n", size, pt_dc(r.m, dc, 1));
  int packed_size = 0;
  HeldBytes packed(pack_plot_code(code, size, r.compress, &packed_size));
  if (!packed.get()) return param_error(r.form, "mxPgPlotDiff", "zlib compress");
  if (child) ss_printf("mxPgPlotDiff-11\n");
  *item = plot_block_item(r.m, dc, packed.get(), packed_size);
  if (!child) ss_printf("mxPgPlotDiff-END %i\n", packed_size);
  return nullptr;
}

ZU_SEXP* diff_child(DiffRun& r, ZU_SEXP* item) {
  constexpr const char* kFunc = "mxPgPlotDiff";
  ItemBlock blk(item);
  if (!blk.get()) return type_error(r.form, kFunc, "CH data type(2)");
  int64_t dc[kMxMaxDim + 1];
  if (!item_dim_code(r.m, item, dc)) return param_error(r.form, kFunc, "dim code");
  ss_printf("mxPgPlotDiff-5-prev %i\n", blk.get()->size);
  HeldBytes inflated;
  const uint8_t* code = nullptr;
  int n = 0;
  if (!plot_block_code(blk.get()->block, blk.get()->size, r.compress, inflated.out(), &code, &n))
    return param_error(r.form, kFunc, "zlib uncompress");
  ss_printf("mxPgPlotDiff-5 %i\n", n);
  // The child's points live only until its difference list is made.
  HeldBump down_sat;
  int err = 0;
  INTERNAL_PLOT* down =
      r.sort ? code2sorted_plot(r.m, code, n, &down_sat.sat, &err)
             : code2internal(r.m, reinterpret_cast<PRIMITIVE_PLOT*>(const_cast<uint8_t*>(code)), n, &down_sat.sat, &err);
  if (err) return param_error(r.form, kFunc, "internal plot code");
  ss_printf("mxPgPlotDiff-7 %s %p\n", pt_dc(r.m, dc, 1), static_cast<void*>(down));
  // The difference list lives until it is packed.
  HeldBump diff_sat;
  INTERNAL_PLOT* diff = nullptr;
  INTERNAL_PLOT* up = diff_pp(r.m, &diff, down, &r.parent_sat.sat, &diff_sat.sat, &err);
  if (err) return param_error(r.form, kFunc, "field kind");
  ss_printf("mxPgPlotDiff-8\n");
  r.parent = shift_insert_plot(r.m, r.parent, up, dc, &err);
  if (err) return param_error(r.form, kFunc, "plot splice");
  r.parent_len += get_internal_plot_len(up);
  ss_printf("mxPgPlotDiff-9 %i\n", r.parent_len);
  ZU_SEXP* packed = nullptr;
  if (ZU_SEXP* e = pack_item(r, dc, diff, true, &packed)) return e;
  r.children.add(packed);
  return nullptr;
}

ZU_SEXP* zu_mxPgPlotDiff(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxPgPlotDiff";
  ss_printf("mxPgPlotDiff\n");
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  ss_printf("mxPgPlotDiff-1\n");
  int compress = plot_switch(sf, "compress");
  if (compress < 0) return param_error(form, kFunc, "compress");
  ss_printf("mxPgPlotDiff-2\n");
  int sort = plot_switch(sf, "sort");
  if (sort < 0) return param_error(form, kFunc, "sort");
  ss_printf("mxPgPlotDiff-3\n");
  ZU_SEXP* items = nullptr;
  if (const char* why = target_items(get_el(form, 1), &items)) return type_error(form, kFunc, why);
  ss_printf("mxPgPlotDiff-4\n");
  print_sexp(s_stderr, items, 0);
  ss_printf("\n");
  MATRIX_NODE* n = t->process_node;
  DiffRun r(n->matrix, form, compress == 1, sort == 1);
  if (plot_geometry_check(r.m) != 0) return param_error(form, kFunc, "block size");
  for (ZU_SEXP* p = items; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    if (ZU_SEXP* e = diff_child(r, p->pair.car)) return e;
  }
  ss_printf("mxPgPlotDiff-6 %i\n", r.parent_len);
  ZU_SEXP* parent = nullptr;
  if (ZU_SEXP* e = pack_item(r, n->dim_code, r.parent, false, &parent)) return e;
  return cons(parent, r.children.head);
}

// ---- mxPgPlotSort

ZU_SEXP* zu_mxPgPlotSort(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxPgPlotSort";
  static const char* const kReasons[2] = {"zlib uncompress", "internal plot code"};
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  int compress = plot_switch(sf, "compress");
  if (compress < 0) return param_error(form, kFunc, "compress");
  MATRIX* m = t->process_node->matrix;
  ZU_SEXP* item = get_el(form, 1);
  ItemBlock blk(item);
  if (!blk.get()) return type_error(form, kFunc, "CH data type(2)");
  int64_t dc[kMxMaxDim + 1];
  if (!item_dim_code(m, item, dc)) return param_error(form, kFunc, "dim code");
  if (plot_geometry_check(m) != 0) return param_error(form, kFunc, "block size");
  HeldList ip;
  if (const char* why = read_block(ip.out(), m, blk.get(), compress == 1, nullptr, kReasons))
    return param_error(form, kFunc, why);
  ip.reset(sort_plot(m, ip.release()));
  int size = 0;
  HeldBytes packed(pack_plot(m, ip.get(), compress == 1, &size));
  if (!packed.get()) return param_error(form, kFunc, "internal plot code");
  return plot_block_item(m, dc, packed.get(), size);
}

// ---- mxPgPlotAdd

// The type check of a data item named `who`: the reason, or null.
const char* check_item(ZU_SEXP* item, const ItemBlock& blk, const char* const reasons[4]) {
  if (get_type(item) != ZU_TYPE_LIST) return reasons[0];
  ZU_SEXP* head = get_el(item, 0);
  if (get_type(head) != ZU_TYPE_SYMBOL) return reasons[1];
  if (!is_symbol_named(head, "data")) return reasons[2];
  return blk.get() ? nullptr : reasons[3];
}

// The points of a parent's block that lie in the child at dc, as add_diff
// would find them (into sat), or the reason of a refusal.
const char* read_parent_run(INTERNAL_PLOT** out, MATRIX* m, const MATRIX_ALLOC_BLOCK_PARAM* b, bool compress,
                            const int64_t* dc, SIMPLE_ALLOC_T* sat) {
  HeldBytes inflated;
  const uint8_t* code = nullptr;
  int n = 0, from = 0, to = 0, points = 0;
  if (!plot_block_code(b->block, b->size, compress, inflated.out(), &code, &n)) return "zlib uncompress parent";
  if (child_run(m, code, n, dc, &from, &to, &points) != 0 || points == 0) return "parent internal plot code";
  HeldBytes run(d_alloc(static_cast<size_t>(to - from) + 1));
  auto* p = static_cast<uint8_t*>(run.get());
  std::memcpy(p, code + from, static_cast<size_t>(to - from));
  p[to - from] = 0;
  int err = 0;
  *out = code2internal(m, reinterpret_cast<PRIMITIVE_PLOT*>(p), to - from + 1, sat, &err);
  return err ? "parent internal plot code" : nullptr;
}

ZU_SEXP* zu_mxPgPlotAdd(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxPgPlotAdd";
  static const char* const kParent[4] = {"parent not a LIST", "parent SYMBOL not aSYMBOL", "parent data is required",
                                         "parent CH data type(2)"};
  static const char* const kChild[4] = {"child not a LIST", "child SYMBOL not aSYMBOL", "child data is required",
                                        "child CH data type(2)"};
  static const char* const kChildRead[2] = {"zlib uncompress child", "child internal plot code"};
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  int compress = plot_switch(sf, "compress");
  if (compress < 0) return param_error(form, kFunc, "compress");
  MATRIX_NODE* n = t->process_node;
  MATRIX* m = n->matrix;
  ZU_SEXP* parent = get_el(form, 1);
  ZU_SEXP* child = get_el(form, 2);
  ItemBlock up_blk(parent), down_blk(child);
  if (const char* why = check_item(parent, up_blk, kParent)) return type_error(form, kFunc, why);
  if (const char* why = check_item(child, down_blk, kChild)) return type_error(form, kFunc, why);
  int64_t up_dc[kMxMaxDim + 1], down_dc[kMxMaxDim + 1];
  if (!item_dim_code(m, parent, up_dc) || !item_dim_code(m, child, down_dc))
    return param_error(form, kFunc, "dim code");
  if (plot_geometry_check(m) != 0) return param_error(form, kFunc, "block size");
  HeldBump up_sat, diff_sat, out_sat;
  // The lists live in the bump allocators, freed whole with them. Of the
  // parent only the run of points that add_diff reads for this child is
  // read (the whole code is checked).
  INTERNAL_PLOT *up = nullptr, *diff = nullptr;
  if (const char* why = read_parent_run(&up, m, up_blk.get(), compress == 1, down_dc, &up_sat.sat))
    return param_error(form, kFunc, why);
  if (const char* why = read_block(&diff, m, down_blk.get(), compress == 1, &diff_sat.sat, kChildRead))
    return param_error(form, kFunc, why);
  int err = 0;
  INTERNAL_PLOT* rebuilt = add_diff(m, up, diff, down_dc, &out_sat.sat, &err);
  if (err) return param_error(form, kFunc, "field kind");
  int size = 0;
  HeldBytes packed(pack_plot(m, rebuilt, compress == 1, &size));
  if (!packed.get()) return param_error(form, kFunc, "internal plot code");
  return plot_block_item(m, n->dim_code, packed.get(), size);
}

// ---- mxPgPlotInitialize

ZU_SEXP* zu_mxPgPlotInitialize(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxPgPlotDiff";  // as scripts have always seen it
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  int compress = plot_switch(sf, "compress");
  if (compress < 0) return param_error(form, kFunc, "compress");
  const L_CHAR* channel = head_option(sf, "channel");
  if (!channel) return param_error(form, kFunc, "attribute channel");
  int ch = option_int(channel);
  MATRIX_NODE* n = t->process_node;
  MATRIX* m = n->matrix;
  int sat = plot_switch(sf, "sat");
  int flags = (compress == 1 ? kPpCompressed : 0) | (sat == 1 ? kPpInSat : 0);
  matrix_node_channel_lock(n);
  MX_STRUCT_BLOCK* old = nullptr;
  const char* why = mx_locked([&]() -> const char* {
    if (ch < 0 || ch >= m->p.channel_nos) return "channel range";
    if (m->channel_info[ch].data_type != &mx_type_block) return "channel data type is not BLOCK";
    if (sat < 0) return "attribute sat";
    if (plot_geometry_check(m) != 0) return "block size";
    PP_SB_NEW init{nullptr, 0, flags};
    MX_SB_NEW place{m, n, ch};
    MX_STRUCT_BLOCK* sb = pp_new_sb(&place, &init);
    if (!sb) return "block size";
    // A node without channel data yet gets its zeroed channels, as
    // installing any structure block does.
    if (!n->channel) n->channel = static_cast<MATRIX_CHANNEL*>(d_calloc(sizeof(MATRIX_CHANNEL), m->p.channel_nos));
    old = n->channel[ch].sb;
    n->channel[ch].sb = sb;
    return nullptr;
  });
  if (old) old->tbl->free_sb(old);
  matrix_node_channel_unlock(n, 0);
  return why ? param_error(form, kFunc, why) : nullptr;
}

// ---- registration

struct Constant {
  const char* name;
  int value;
};
constexpr Constant kConstants[] = {
    {"mxPgPointColor", 0},      {"mxPgPointImg", 1},        {"mxPgNONE", kFdNone},
    {"mxPgSTRING", kFdStr},     {"mxPgSTRING_INHERIT", kFdStrInherit}, {"mxPgSTRING_ERASE", kFdStrErase},
    {"mxPgINT_ADD", kFdIntAdd}, {"mxPgINT_AVG", kFdIntAvg}, {"mxPgINT_MAX", kFdIntMax},
    {"mxPgINT_MIN", kFdIntMin}, {"mxPgRGBA", kFdRgba},      {"mxPgTYPE_NONE", 0x10},
    {"mxPgTYPE_STRING", 0x20},  {"mxPgTYPE_INT", 0x30},     {"mxPgTYPE_RGBA", 0x40},
    {"mxPgFDIT_INT", kFditInt}, {"mxPgFDIT_FLOAT", kFditFloat}, {"mxPgFDIT_DD", kFditDd},
    {"mxPgFDIT_DDMMSS", kFditDdmmss},
};

const QN_PRIM_DEF kPlotPrims[] = {{"mxPgPlotDiff", zu_mxPgPlotDiff, 1, 2, 2, 0},
                                  {"mxPgPlotSort", zu_mxPgPlotSort, 1, 2, 2, 0},
                                  {"mxPgPlotAdd", zu_mxPgPlotAdd, 1, 3, 3, 0},
                                  {"mxPgPlotInitialize", zu_mxPgPlotInitialize, 1, 1, 1, 0},
                                  {}};

}  // namespace

void init_mxPgPlot(ZUISP_ENV* env) {
  for (const Constant& c : kConstants) bind_agent(env, c.name, get_integer(c.value, nullptr));
  bind_prims(env, kPlotPrims);
}
