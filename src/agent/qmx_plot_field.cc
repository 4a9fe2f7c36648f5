// qmxPgPlotField: field-description handles (qmx_plot.h).
#include <climits>

#include "agent/mx_entry.h"
#include "agent/qmx_plot.h"
#include "agent/qmx_plot_impl.h"
#include "zu/builtin_kit.h"
#include "zu/errcodes.h"
#include "zu/gc.h"

namespace {

constexpr const char* kFunc = "qmxPgPlotField";
constexpr const char* kReason = "invalid parameter in qmxPgPlotField";
// The largest point-field number: a point carries that many fields plus
// one, every record allocates them.
constexpr int kMaxLabel = 65535;

template <class T>
ZU_SEXP* param_error(ZU_SEXP* form, T what) {
  return error_at(form, ZU_ER_PARAM, kFunc, data_list(kReason, what));
}

bool is_letter(L_CHAR c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The input column of a `csv` text: -1 when absent; letters count as a
// spreadsheet's columns (A..Z 0..25, AA 26, ...), any other text is a
// decimal number. False when a column of letters is past the int range.
bool csv_column(const L_CHAR* text, int* out) {
  *out = -1;
  if (!text) return true;
  bool letters = *text != 0;
  for (const L_CHAR* p = text; *p && letters; ++p) letters = is_letter(*p);
  if (!letters) {
    *out = option_int(text);
    return true;
  }
  int64_t v = 0;  // bijective base 26: A is 1, Z 26, AA 27
  for (const L_CHAR* p = text; *p; ++p) {
    v = v * 26 + ((*p | 0x20) - 'a' + 1);
    if (v > INT_MAX) return false;
  }
  *out = static_cast<int>(v - 1);
  return true;
}

// The dimension count of the handle's matrix while an entry has it open,
// else -1 (the matrix may be gone: only its address is compared).
int open_matrix_dim(MATRIX* m) {
  lock_task(mx_entry_lock);
  // An entry in the table keeps its matrix open; dim is fixed before the
  // entry is registered.
  int dim = _search_mx_entry(m) ? m->p.dim : -1;
  unlock_task(mx_entry_lock, "qmxPgPlotField");
  return dim;
}

// Whether the description can make fields: a kind of the field table, an
// int merge rule that exists, a type byte plot code stores for a point
// field.
bool usable(const FD_OPT& o) {
  const unsigned type = o.h.merge_type;
  if (!fd_row(type)) return false;
  if ((type & 0xF0) == 0x30 && type > kFdIntMin) return false;
  return o.h.target_label < 0 || fd_stored_type(o.h.merge_type);
}

// Links o into the handle's list after the last description whose column
// is not greater.
void link_sorted(FD_OPT_PTR* h, FD_OPT* o) {
  FD_OPT** at = &h->opt;
  while (*at && (*at)->h.csv_label <= o->h.csv_label) at = &(*at)->h.next;
  o->h.next = *at;
  *at = o;
  if (o->h.target_label > h->last_label) h->last_label = o->h.target_label;
}

ZU_SEXP* new_handle(ZU_SEXP* form, ZU_SYM_FIELD* sf) {
  const L_CHAR* id = head_option(sf, "id");
  if (!id) return param_error(form, "id required");
  MX_ENTRY* e = hold_mx_entry(option_int(id));
  if (!e) return param_error(form, "invalid id");
  MATRIX* m = e->c.m;
  drop_mx_entry(e);
  auto* h = static_cast<FD_OPT_PTR*>(mmalloc(sizeof(FD_OPT_PTR), gc_fd_opt_ptr));
  h->m = m;
  return get_ptr(h, gc_fd_opt_ptr);
}

}  // namespace

ZU_SEXP* qn_qmxPgPlotField(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  const int len = list_length(form);
  if (len == 1) return new_handle(form, sf);
  ZU_SEXP* hv = get_el(form, 1);
  FD_OPT_PTR* h = fd_handle(hv);
  if (!h) return error_at(form, ZU_ER_TYPE, kFunc, data_list("type missmatch", "opt_list"));
  int column = -1;
  if (!csv_column(head_option(sf, "csv"), &column)) return param_error(form, "csv");
  auto* o = static_cast<FD_OPT*>(mmalloc(sizeof(FD_OPT), gc_fd_opt));
  o->h.csv_label = column;
  o->h.dim = -1;
  o->h.target_label = -1;
  if (const L_CHAR* dim = head_option(sf, "dim")) o->h.dim = option_int(dim) < 0 ? -1 : option_int(dim);
  if (const L_CHAR* label = head_option(sf, "label")) o->h.target_label = option_int(label) < 0 ? -1 : option_int(label);
  o->h.merge_type = static_cast<uint8_t>(option_int64(head_option(sf, "merge-type")));
  const FIELD_TYPE* row = fd_row(o->h.merge_type);
  if (!row) return param_error(form, "merge-type");
  const int dims = open_matrix_dim(h->m);
  if (dims < 0) return param_error(form, "invalid id");
  if (o->h.dim >= dims) return param_error(form, "dim");
  if (o->h.target_label > kMaxLabel) return param_error(form, "label");
  ZU_SEXP* settings = get_type(form->pair.cdr) == ZU_TYPE_LIST ? form->pair.cdr->pair.cdr : nullptr;
  if (int r = row->initial(nullptr, settings, o, 0); r < 0)
    return error_at(form, ZU_ER_PARAM, kFunc, data_list(kReason, "initialize", r));
  if (!usable(*o)) return param_error(form, "merge-type");
  if (len == 3) o->h.init_sexp = get_el(form, 2);
  link_sorted(h, o);
  return get_ptr(h, gc_fd_opt_ptr);
}
