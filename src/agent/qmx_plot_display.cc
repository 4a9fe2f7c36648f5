// qmxPgDisplay: the points of a plot block as a list (qmx_plot.h).
#include <climits>
#include <cstdint>

#include "agent/agent_impl.h"
#include "agent/mx_entry.h"
#include "agent/qmx_plot.h"
#include "base/alloc.h"
#include "base/smpalloc.h"
#include "matrix_ops/plot_block.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/errcodes.h"
#include "zu/gc.h"

namespace {

constexpr const char* kFunc = "qmxPgDisplay";

ZU_SEXP* type_error(ZU_SEXP* form) { return error_at(form, ZU_ER_TYPE, kFunc, nullptr); }

// A block that is not plot code, or does not inflate to it.
ZU_SEXP* refused(ZU_SEXP* form) {
  return error_at(form, ZU_ER_PARAM, kFunc, data_list("invalid parameter in qmxPgPlotInsert", "operation of PLOT"));
}

ZU_SEXP* num(int64_t v) { return get_integer(v, nullptr); }
ZU_SEXP* sym(const char* name) { return get_symbol_ascii(name); }

ZU_SEXP* field_of(const IP_FIELD& f) {
  const unsigned type = f.type;
  switch (type >> 4) {
    case 1:
      return List(sym("NONE"), num(type), ZU_LIST_END);
    case 2:
      // Inherit and erase fields carry no text.
      return List(sym("STRING"), num(type), f.d.str ? get_string(l_string(utf8_cm, f.d.str)) : nullptr, ZU_LIST_END);
    case 3:
      if (type == kFdIntAvg) return List(sym("INT"), num(type), num(f.d.i[0]), num(f.d.i[1]), ZU_LIST_END);
      return List(sym("INT"), num(type), num(f.d.i[0]), ZU_LIST_END);
    case 4: {
      const unsigned char* c = f.d.rgba->rgba;
      const int64_t rgba = int64_t{c[0]} << 24 | int64_t{c[1]} << 16 | int64_t{c[2]} << 8 | c[3];
      return List(sym("INT"), num(type), num(rgba), num(f.d.rgba->count), ZU_LIST_END);
    }
    default:
      return List(sym("DEFAULT"), num(type), ZU_LIST_END);
  }
}

ZU_SEXP* point_of(const INTERNAL_PLOT* p, int dim) {
  ListBuilder c, base, fields;
  c.add(sym("c"));
  for (int d = 0; d < dim; ++d) c.add(num(p->c[d]));
  if (p->base) {
    base.add(sym("base"));
    for (int d = 0; d < dim; ++d) base.add(num(p->base[d]));
  }
  if (p->fields && p->fields[0].len) {
    fields.add(sym("fields"));
    for (unsigned i = 0; i < p->fields[0].len; ++i) fields.add(field_of(p->fields[i]));
  }
  return List(sym("point"), num(p->flags), c.head, base.head, fields.head, ZU_LIST_END);
}

// The list of the points the block holds, or the refusal.
ZU_SEXP* display(MATRIX* m, const ZU_RAW& raw, bool compressed, ZU_SEXP* form) {
  if (raw.size > INT_MAX) return refused(form);
  void* inflated = nullptr;
  const uint8_t* code = nullptr;
  int code_size = 0;
  if (!plot_block_code(raw.data, static_cast<int>(raw.size), compressed, &inflated, &code, &code_size))
    return refused(form);
  // The inflated block is its type byte and the code.
  const int64_t size = compressed ? int64_t{code_size} + 1 : raw.size;
  SIMPLE_ALLOC_T sat;
  smp_init(&sat);
  Owned<SIMPLE_ALLOC_T, free_smp> points_memory(&sat);
  int err = 0;
  INTERNAL_PLOT* points =
      code2internal(m, reinterpret_cast<PRIMITIVE_PLOT*>(const_cast<uint8_t*>(code)), code_size, &sat, &err);
  d_f_ree(inflated);
  if (err) return refused(form);
  const int dim = m->p.dim;
  ListBuilder ip;
  ip.add(sym("ip"));
  const size_t mark = gc_root_mark();
  int64_t count = 0;
  for (const INTERNAL_PLOT* p = points; p; p = p->next, ++count) {
    ip.add(point_of(p, dim));
    gc_root_release(mark, ip.head, gc_qn_sexp);
  }
  return List(sym("pg"), num(size), num(raw.size), num(count), ip.head, ZU_LIST_END);
}

}  // namespace

ZU_SEXP* qn_qmxPgDisplay(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZU_SEXP* item = get_el(form, 1);
  if (get_type(item) != ZU_TYPE_LIST || list_length(item) != 3) return type_error(form);
  const L_CHAR* id = head_option(sf, "id");
  if (!id) {
    ZU_SEXP* head = item->pair.car;
    if (get_type(head) != ZU_TYPE_SYMBOL) return type_error(form);
    id = head_option(sym_field(head), "id");
  }
  EntryHold e(id ? hold_mx_entry(option_int(id)) : nullptr);
  if (!e) return error_text_at(form, ZU_ER_PARAM, kFunc, "attribute:path-type");
  ZU_SEXP* block = get_el(item, 2);
  return get_type(block) == ZU_TYPE_RAW ? display(e.get()->c.m, block->raw, option_is(head_option(sf, "compress"), "on"), form)
                                        : type_error(form);
}
