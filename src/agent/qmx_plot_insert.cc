// qmxPgPlotInsert: records into points, each pushed down the plot blocks of
// a matrix's pyramid by PlotInserter (qmx_plot.h).
#include <cstdint>
#include <utility>
#include <vector>

#include "agent/agent_impl.h"
#include "agent/qmx_plot.h"
#include "agent/qmx_plot_impl.h"
#include "base/alloc.h"
#include "base/zutime.h"
#include "matrix_ops/plot_insert.h"
#include "stream/stream.h"
#include "zu/builtin_kit.h"
#include "zu/errcodes.h"
#include "zu/eval.h"
#include "zu/gc.h"

namespace {

constexpr const char* kFunc = "qmxPgPlotInsert";
constexpr const char* kReason = "invalid parameter in qmxPgPlotInsert";

// What stops one insertion, by PlotInserter::Result.
constexpr const char* kStopped[] = {nullptr, "cache error (Access to Matrix)", "cannot get channel block",
                                    "operation of PLOT", "operation of PLOT 1"};

using Code = std::vector<int64_t>;

ZU_SEXP* param_error(ZU_SEXP* form, const char* what) {
  return error_at(form, ZU_ER_PARAM, kFunc, data_list(kReason, what));
}

// ---------------------------------------------------------------------------
// The fields of one record

// A conversion that failed: its own result and the step that ran it.
struct Bad {
  int code = 0;
  const char* label = nullptr;
};

// The coordinate fields (one per dimension) and the point's fields of one
// record, all of kind none until a description fills them. The arrays are
// made once per command; what the descriptions of a record make is freed
// before the next record.
class RecordFields {
 public:
  RecordFields(int dim, int fields) : coord_(size_t(dim)), attr_(size_t(fields)) { clear(); }
  ~RecordFields() { clear(); }
  RecordFields(const RecordFields&) = delete;
  RecordFields& operator=(const RecordFields&) = delete;

  void clear() {
    reset(coord_);
    reset(attr_);
  }
  // The coordinate and the point field that o feeds, filled from data (a
  // ZU value, or with flag 1 a text): false with *bad set when a
  // conversion fails.
  bool fill(FD_OPT* o, void* data, int flag, const char* dim_step, const char* field_step, Bad* bad) {
    return fill_one(coord_, o->h.dim, o, data, flag, dim_step, bad) &&
           fill_one(attr_, o->h.target_label, o, data, flag, field_step, bad);
  }
  // The coordinates into crd[1..dim]: a field left of kind none is 0, an
  // int field its value; false for a field of another kind.
  bool coordinates(int64_t* crd) const {
    for (size_t d = 0; d < coord_.size(); ++d) {
      const IP_FIELD& f = coord_[d];
      if ((f.type & 0xF0) == kFdNone) crd[1 + d] = 0;
      else if ((f.type & 0xF0) == 0x30 && f.d.i) crd[1 + d] = f.d.i[0];
      else return false;
    }
    return true;
  }
  IP_FIELD* fields() { return attr_.data(); }

 private:
  static void reset(std::vector<IP_FIELD>& v) {
    for (IP_FIELD& f : v) {
      d_f_ree(f.d.str);
      f.type = kFdNone;
      f.len = 0;
      f.d.str = nullptr;
    }
    if (!v.empty()) v[0].len = static_cast<unsigned>(v.size());
  }
  static bool fill_one(std::vector<IP_FIELD>& v, int at, FD_OPT* o, void* data, int flag, const char* step, Bad* bad) {
    if (at < 0) return true;
    int r = -9;  // a description that reaches past the arrays (a matrix gone and replaced)
    if (size_t(at) < v.size()) {
      IP_FIELD& f = v[size_t(at)];
      // A second description for the same field replaces the first's value.
      d_f_ree(f.d.str);
      f.d.str = nullptr;
      f.type = kFdNone;
      const unsigned keep = f.len;
      r = fd_row(o->h.merge_type)->initial(&f, data, o, flag);
      f.len = keep;
    }
    if (r >= 0) return true;
    *bad = Bad{r, step};
    return false;
  }

  std::vector<IP_FIELD> coord_, attr_;
};

// The descriptions without a column (they lead the list), applied to their
// initial values: the first description with a column, or null; *ok false
// when a conversion failed.
FD_OPT* fill_initial(RecordFields& rf, FD_OPT* o, Bad* bad, bool* ok) {
  *ok = true;
  for (; o && o->h.csv_label < 0; o = o->h.next)
    if (!(*ok = rf.fill(o, o->h.init_sexp, 0, "get data1", "get data3", bad))) return nullptr;
  return o;
}

// The descriptions of column k and after, from the one at o: those of
// column k, applied to data. The first description of a later column.
FD_OPT* fill_column(RecordFields& rf, FD_OPT* o, int k, void* data, int flag, const char* dim_step,
                    const char* field_step, Bad* bad, bool* ok) {
  *ok = true;
  for (; o && o->h.csv_label < k; o = o->h.next) {
  }
  for (; o && o->h.csv_label == k; o = o->h.next)
    if (!(*ok = rf.fill(o, data, flag, dim_step, field_step, bad))) return nullptr;
  return o;
}

// A CSV line split in place at its commas: each column to its descriptions
// (as text), up to the end of the line, an empty column, or the last
// description.
bool fill_line(RecordFields& rf, FD_OPT* o, L_CHAR* line, Bad* bad) {
  bool ok = true;
  for (int k = 0; o && *line; ++k) {
    L_CHAR* end = line;
    while (*end && *end != ',') ++end;
    if (end == line) break;
    const bool last = *end == 0;
    *end = 0;
    o = fill_column(rf, o, k, line, 1, "getDim1", "get data2", bad, &ok);
    if (!ok || last) break;
    line = end + 1;
  }
  return ok;
}

// A list record: element k to the descriptions of column k (as a value).
bool fill_record(RecordFields& rf, FD_OPT* o, ZU_SEXP* record, Bad* bad) {
  bool ok = true;
  int k = 0;
  for (ZU_SEXP* p = record; o && ok && get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr, ++k)
    o = fill_column(rf, o, k, p->pair.car, 0, "getDim", "get data", bad, &ok);
  return ok;
}

// ---------------------------------------------------------------------------
// The command

ZU_SEXP* conversion_error(ZU_SEXP* form, const Bad& bad) {
  return error_at(form, static_cast<uint32_t>(bad.code), kFunc, data_list("type missmatch or others", bad.label));
}

// Inserts the point of a filled record: null or the error.
ZU_SEXP* insert_fields(PlotInserter& ins, RecordFields& rf, Code& crd, ZU_SEXP* form) {
  if (!rf.coordinates(crd.data()))
    return error_at(form, ZU_ER_TYPE, kFunc, data_list("type missmatch", "dimmention data type missmatch"));
  if (PlotInserter::Result why = ins.insert(crd.data(), rf.fields())) return param_error(form, kStopped[why]);
  return nullptr;
}

// A CSV line as wide text ending in 0, without its line end.
void copy_line(const L_CHAR* text, std::vector<L_CHAR>* line) {
  line->clear();
  for (const L_CHAR* p = text; p && *p; ++p) line->push_back(*p);
  while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
  line->push_back(0);
}

struct Job {
  PlotInserter& ins;
  RecordFields& rf;
  FD_OPT* opt;
  ZU_SEXP* form;
};

// The lines of data from line `startline` on; the roots above `walk` hold
// data, and from here only the line being read and the rest of the list.
ZU_SEXP* insert_lines(Job& j, ZU_SEXP* data, int64_t startline, size_t walk) {
  Code crd(size_t(j.ins.dim()) + 1);
  std::vector<L_CHAR> line;
  const bool trace = qmx_trace();
  unsigned last_report = 0;
  int64_t n = 0;
  ZU_SEXP* p = data;
  for (; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr, ++n) {
    gc_root_release(walk, p, gc_qn_sexp);
    if (n < startline) continue;
    if (trace && get_zutime() != last_report) {
      last_report = get_zutime();
      ss_printf("CNT=%lli\n", static_cast<long long>(n));
    }
    ZU_SEXP* s = p->pair.car;
    if (get_type(s) != ZU_TYPE_STRING) continue;
    copy_line(str_text(s), &line);
    if (line.size() == 1) continue;  // an empty line is no record
    j.rf.clear();
    Bad bad;
    bool ok = true;
    FD_OPT* o = fill_initial(j.rf, j.opt, &bad, &ok);
    if (ok) ok = fill_line(j.rf, o, line.data(), &bad);
    if (!ok) return conversion_error(j.form, bad);
    if (ZU_SEXP* err = insert_fields(j.ins, j.rf, crd, j.form)) return err;
    gc_safepoint();
  }
  // A list whose reading failed ends in the error.
  return get_type(p) == ZU_TYPE_ERROR ? p : nullptr;
}

ZU_SEXP* insert_record(Job& j, ZU_SEXP* record) {
  Code crd(size_t(j.ins.dim()) + 1);
  Bad bad;
  bool ok = true;
  FD_OPT* o = fill_initial(j.rf, j.opt, &bad, &ok);
  if (ok) ok = fill_record(j.rf, o, record, &bad);
  if (!ok) return conversion_error(j.form, bad);
  return insert_fields(j.ins, j.rf, crd, j.form);
}

ZU_SEXP* run_insert(ZUISP_ENV* env, ZU_SEXP* form, ZU_SYM_FIELD* sf) {
  const L_CHAR* id_text = head_option(sf, "id");
  const int id = option_int(id_text);
  if (!id_text || !search_mx_entry_by_id(id)) return param_error(form, "matrix id");
  const size_t base = gc_root_mark();
  ZU_SEXP* data = eval(env, get_el(form, 2));
  if (get_type(data) == ZU_TYPE_ERROR) return data;
  gc_set_nl(data, gc_qn_sexp);
  ZU_SEXP* hv = eval(env, get_el(form, 1));
  if (get_type(hv) == ZU_TYPE_ERROR) return hv;
  FD_OPT_PTR* h = fd_handle(hv);
  if (!h) return error_at(form, ZU_ER_TYPE, kFunc, data_list("type missmatch", "fd option"));
  // The handle and the data stay; what evaluating them made may go (no
  // allocation between the two calls lets a collection in).
  gc_root_release(base, hv, gc_qn_sexp);
  const size_t walk = gc_root_mark();
  gc_set_nl(data, gc_qn_sexp);
  EntryUse used(id);
  MX_ENTRY* e = used.get();
  if (!e) return param_error(form, "matrix id");
  if (h->m != e->c.m) return param_error(form, "matrix in the id and fd ptr");
  const L_CHAR* channel = head_option(sf, "channel");
  if (!channel) return param_error(form, "channel");
  if (get_type(data) != ZU_TYPE_LIST && !is_nil(data))
    return error_at(form, ZU_ER_TYPE, kFunc, data_list("type missmatch", "data"));
  // Both inputs write as a writer does, so that every node made on the way
  // is entered in its parent's child list.
  set_matrix_env(e->c.m, "create-node", "enable");
  CacheAccess access(&e->c, 1, 2, 2);
  PlotInserter ins(&e->c, option_int(channel), qmx_trace());
  RecordFields rf(ins.dim(), h->last_label + 1);
  Job job{ins, rf, h->opt, form};
  // The nodes it makes are saved as it goes: a write-back that failed
  // meanwhile is said now, as the other writing commands say it.
  const WriteWatch writes(e->c.m);
  ZU_SEXP* r = head_option(sf, "csv") ? insert_lines(job, data, option_int64(head_option(sf, "startline")), walk)
                                      : insert_record(job, data);
  if (get_type(r) == ZU_TYPE_ERROR) return r;
  ZU_SEXP* fault = writes.fault(form, kFunc);
  return fault ? fault : r;
}

}  // namespace

ZU_SEXP* qn_qmxPgPlotInsert(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  GcFrame frame(kFunc);
  return frame.keep(run_insert(env, form, sf), gc_qn_sexp);
}
