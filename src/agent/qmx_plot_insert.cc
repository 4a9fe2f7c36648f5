// qmxPgPlotInsert: records into points, points into the plot blocks of a
// matrix's pyramid (qmx_plot.h).
#include <cstdint>
#include <unordered_set>
#include <utility>
#include <vector>

#include "agent/agent_impl.h"
#include "agent/qmx_plot.h"
#include "agent/qmx_plot_impl.h"
#include "base/alloc.h"
#include "base/zutime.h"
#include "matrix/dim_code.h"
#include "matrix/node.h"
#include "matrix_ops/plot_block.h"
#include "matrix_ops/plot_level.h"
#include "stream/stream.h"
#include "zu/builtin_kit.h"
#include "zu/errcodes.h"
#include "zu/eval.h"
#include "zu/gc.h"

namespace {

constexpr const char* kFunc = "qmxPgPlotInsert";
constexpr const char* kReason = "invalid parameter in qmxPgPlotInsert";

// What stops one insertion.
constexpr const char* kNoNode = "cache error (Access to Matrix)";
constexpr const char* kNoBlock = "cannot get channel block";
constexpr const char* kRefused = "operation of PLOT";
constexpr const char* kNotAdopted = "operation of PLOT 1";

using Code = std::vector<int64_t>;

ZU_SEXP* param_error(ZU_SEXP* form, const char* what) {
  return error_at(form, ZU_ER_PARAM, kFunc, data_list(kReason, what));
}

int plot_op(MX_STRUCT_BLOCK* sb, int cmd, void* param) { return sb->tbl->operation(cmd, sb, param); }

// a followed by b.
INTERNAL_PLOT* join(INTERNAL_PLOT* a, INTERNAL_PLOT* b) {
  if (!a) return b;
  INTERNAL_PLOT* t = a;
  while (t->next) t = t->next;
  t->next = b;
  return a;
}

// Takes a block's points out when it holds any (its list, tagged, or null).
INTERNAL_PLOT* take_held(MX_STRUCT_BLOCK* sb) {
  INTERNAL_PLOT* held = nullptr;
  plot_op(sb, PPC_GET, &held);
  if (held) plot_op(sb, PPC_TAKE, &held);
  return held;
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
// Points into the pyramid

// Inserts points through an entry's cache, whose node access the caller has
// set to a writer's. The cache holds one node; a node it lets go of is
// marked changed exactly when this inserter changed its plot block.
class Inserter {
 public:
  Inserter(MX_ENTRY* e, int channel) : c_(&e->c), m_(e->c.m), ch_(channel), trace_(qmx_trace()) {
    lock_task(matrix_lock);
    dim_ = m_->p.dim;
    levels_ = m_->total_levels;
    extent_.assign(m_->pixel_size, m_->pixel_size + dim_);
    unlock_task(matrix_lock, kFunc);
    scratch_.resize(size_t(dim_) + 1);
  }
  ~Inserter() { release(); }
  Inserter(const Inserter&) = delete;
  Inserter& operator=(const Inserter&) = delete;

  int dim() const { return dim_; }

  // Inserts the point at the finest-level coordinates crd[1..dim] (crd[0]
  // becomes 0) with a copy of fields: null, or what stopped it.
  const char* insert(int64_t* crd, IP_FIELD* fields) {
    crd[0] = 0;
    // A point outside the matrix has no node (and would otherwise stay in
    // the last node above it that could be fetched).
    for (int d = 0; d < dim_; ++d)
      if (crd[1 + d] < 0 || crd[1 + d] >= extent_[size_t(d)]) return kNoNode;
    int64_t level = 0;
    if (!(leaf_ && c_->n && held_has(crd, &level))) {
      leaf_ = false;
      if (const char* why = descend(crd, &level)) return why;
    }
    MATRIX_NODE* n = c_->n;
    MX_STRUCT_BLOCK* sb = get_channel_struct_block(n, ch_);
    if (!sb) return kNoBlock;
    PPC_INSERT_T in{level, crd, fields};
    if (plot_op(sb, PPC_INSERT, &in) != 0) {
      matrix_node_channel_unlock(n, 0);
      return kRefused;
    }
    c_->dirty = 1;
    // A level-0 block has nowhere to hand its points: it keeps them.
    if (level == 0 || plot_op(sb, PPC_DIVIDE_CHECK, nullptr) != 1) {
      matrix_node_channel_unlock(n, 1);
      leaf_ = true;
      return nullptr;
    }
    INTERNAL_PLOT* taken = nullptr;
    plot_op(sb, PPC_TAKE, &taken);
    matrix_node_channel_unlock(n, 1);
    if (trace_) ss_printf("INSERT PLOT DATA ==========================\n");
    const char* why = push_down(level, taken);
    if (trace_) ss_printf("INSERT PLOT DATA END ======================\n");
    return why;
  }

  // Lets go of the held node, marked changed when it was.
  void release() {
    flush_mx_cache(c_, 0);
    c_->dirty = 0;
    leaf_ = false;
  }

 private:
  // Makes the cache hold the node holding dc: 0 or -1.
  int fetch(const int64_t* dc) {
    if (c_->n && cmp_dim_code(m_, c_->n->dim_code, dc) == 0) return 0;
    release();
    return get_mx_cache(c_, dc);
  }

  // Whether the held node holds crd; *level its level.
  bool held_has(const int64_t* crd, int64_t* level) {
    std::copy(crd, crd + dim_ + 1, scratch_.begin());
    scratch_[0] = *level = c_->n->dim_code[0];
    return cmp_dim_code(m_, c_->n->dim_code, scratch_.data()) == 0;
  }

  // Goes down the nodes holding crd from the top to the first one without
  // children (level 0 at the latest), which the cache then holds. A node
  // seen with children keeps them, so the nodes this command has seen so
  // are passed without a fetch.
  const char* descend(const int64_t* crd, int64_t* level) {
    for (int64_t l = levels_ - 1; l >= 0; --l) {
      scratch_[0] = l;
      for (int d = 0; d < dim_; ++d) scratch_[size_t(1 + d)] = mx_origin(crd[1 + d], mx_shift(m_, l, d));
      if (l > 0 && inner_.count(scratch_)) continue;
      if (fetch(scratch_.data()) != 0) return kNoNode;
      *level = l;
      if (l == 0 || !check_children(c_->n)) return nullptr;
      inner_.insert(scratch_);
    }
    return kNoNode;  // a matrix without levels
  }

  // Hands the points of the node at `level`, which the cache holds and
  // whose block they were taken from, to its children, in the order of
  // the dim-code stepping; takes `points` over. On a failure the points not
  // yet handed on go back to that block.
  const char* push_down(int64_t level, INTERNAL_PLOT* points) {
    MATRIX_NODE* n = c_->n;
    // Held in memory while the children are fetched, for the points that
    // may have to go back.
    lock_task(matrix_lock);
    _lock_node(n, nullptr);
    unlock_task(matrix_lock, kFunc);
    if (trace_) ss_printf("IPD %s\n", pt_dc(m_, n->dim_code, 1));
    const size_t w = size_t(dim_) + 1;
    Code lo(w), hi(w), step(w), ix(w);
    lo[0] = hi[0] = step[0] = level - 1;
    for (int d = 0; d < dim_; ++d) {
      const int s = mx_shift(m_, level, d), cs = mx_shift(m_, level - 1, d);
      lo[1 + d] = mx_origin(n->dim_code[1 + d], s);
      // The store keeps every node shift below 63.
      step[1 + d] = cs < 63 ? int64_t{1} << cs : INT64_MAX;
      if (s >= 63 || __builtin_add_overflow(lo[1 + d], int64_t{1} << s, &hi[1 + d])) hi[1 + d] = INT64_MAX;
    }
    std::vector<Code> placed;
    const char* why = nullptr;
    bool adopted = false;
    ix = lo;
    do {
      if (trace_) ss_printf("IPD-2 %s\n", pt_dc(m_, ix.data(), 1));
      int err = 0;
      INTERNAL_PLOT* sub = shift_under_plot(m_, points, level, ix.data(), &err);
      if (err) {
        why = kNotAdopted;
        break;
      }
      if (!sub) {
        if (trace_) ss_printf("NONE\n");
        continue;
      }
      if ((why = hand_to(ix.data(), level - 1, sub, &adopted))) break;
      placed.push_back(ix);
    } while (inc_dim_code_ix(ix.data(), lo.data(), step.data(), hi.data(), dim_) == 0);
    if (why) {
      if (adopted) placed.push_back(ix);  // the child took them and placed what it could
      put_back(n, level, &points, placed);
    }
    free_internal_plot_list(points);
    unlock_node(n, nullptr);
    return why;
  }

  // The child at dc (of `level`) takes sub, beside the points it may hold
  // already (a child its parent did not list), and divides in turn.
  // *adopted tells whether its block took them.
  const char* hand_to(const int64_t* dc, int64_t level, INTERNAL_PLOT* sub, bool* adopted) {
    *adopted = false;
    if (fetch(dc) != 0) {
      if (trace_) ss_printf("A\n");
      free_internal_plot_list(sub);
      return kNoNode;
    }
    MATRIX_NODE* n = c_->n;
    if (trace_) ss_printf("IPD-3 %s\n", pt_dc(m_, n->dim_code, 1));
    MX_STRUCT_BLOCK* sb = get_channel_struct_block(n, ch_);
    if (!sb) {
      if (trace_) ss_printf("B\n");
      free_internal_plot_list(sub);
      return kNoBlock;
    }
    INTERNAL_PLOT* had = take_held(sb);
    INTERNAL_PLOT* tail = sub;
    while (tail->next) tail = tail->next;
    tail->next = had;
    if (plot_op(sb, PPC_REPLACE, sub) != 0) {
      if (trace_) ss_printf("C\n");
      tail->next = nullptr;
      if (had) plot_op(sb, PPC_REPLACE, had);
      matrix_node_channel_unlock(n, had ? 1 : 0);
      free_internal_plot_list(sub);
      return kNotAdopted;
    }
    *adopted = true;
    c_->dirty = 1;
    if (level > 0 && plot_op(sb, PPC_DIVIDE_CHECK, nullptr) == 1) {
      INTERNAL_PLOT* taken = nullptr;
      plot_op(sb, PPC_TAKE, &taken);
      matrix_node_channel_unlock(n, 1);
      return push_down(level, taken);
    }
    if (trace_) ss_printf("D\n");
    matrix_node_channel_unlock(n, 1);
    return nullptr;
  }

  // Moves the points of *points that lie in no placed child back into the
  // block of n (at `level`), beside what it holds.
  void put_back(MATRIX_NODE* n, int64_t level, INTERNAL_PLOT** points, const std::vector<Code>& placed) {
    INTERNAL_PLOT* back = nullptr;
    INTERNAL_PLOT** back_tail = &back;
    INTERNAL_PLOT** keep = points;
    Code crd(size_t(dim_) + 1), child(crd.size());
    child[0] = level - 1;
    for (INTERNAL_PLOT* p = *points; p;) {
      INTERNAL_PLOT* next = p->next;
      get_plot_crd(crd.data(), m_, p, level);
      for (int d = 0; d < dim_; ++d)
        child[1 + d] = mx_origin(n->dim_code[1 + d], mx_shift(m_, level, d)) +
                       mx_origin(crd[1 + d], mx_shift(m_, level - 1, d));
      bool done = false;
      for (const Code& c : placed) done = done || cmp_dim_code(m_, c.data(), child.data()) == 0;
      if (done) {
        *keep = p;
        keep = &p->next;
      } else {
        *back_tail = p;
        back_tail = &p->next;
      }
      p = next;
    }
    *keep = nullptr;
    *back_tail = nullptr;
    if (!back) return;
    MX_STRUCT_BLOCK* sb = get_channel_struct_block(n, ch_);
    if (!sb) {  // the node is held in memory: its block cannot go
      ss_printf("qmxPgPlotInsert: %i points lost at %s\n", get_internal_plot_len(back), pt_dc(m_, n->dim_code, 1));
      free_internal_plot_list(back);
      return;
    }
    plot_op(sb, PPC_REPLACE, join(back, take_held(sb)));
    matrix_node_channel_unlock(n, 1);
    if (c_->n == n) c_->dirty = 1;
  }

  MX_CACHE* c_;
  MATRIX* m_;
  int ch_;
  bool trace_;
  int dim_ = 0;
  int64_t levels_ = 0;
  // The held node is where the last point went and had no children then.
  bool leaf_ = false;
  // Node origins (level first) seen with children by this command.
  struct CodeHash {
    size_t operator()(const Code& c) const {
      uint64_t h = 1469598103934665603u;
      for (int64_t v : c) h = (h ^ static_cast<uint64_t>(v)) * 1099511628211u;
      return static_cast<size_t>(h);
    }
  };
  std::unordered_set<Code, CodeHash> inner_;
  Code scratch_;
  Code extent_;  // pixels per dimension
};

// ---------------------------------------------------------------------------
// The command

ZU_SEXP* conversion_error(ZU_SEXP* form, const Bad& bad) {
  return error_at(form, static_cast<uint32_t>(bad.code), kFunc, data_list("type missmatch or others", bad.label));
}

// Inserts the point of a filled record: null or the error.
ZU_SEXP* insert_fields(Inserter& ins, RecordFields& rf, Code& crd, ZU_SEXP* form) {
  if (!rf.coordinates(crd.data()))
    return error_at(form, ZU_ER_TYPE, kFunc, data_list("type missmatch", "dimmention data type missmatch"));
  if (const char* why = ins.insert(crd.data(), rf.fields())) return param_error(form, why);
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
  Inserter& ins;
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
  Inserter ins(e, option_int(channel));
  RecordFields rf(ins.dim(), h->last_label + 1);
  Job job{ins, rf, h->opt, form};
  if (!head_option(sf, "csv")) return insert_record(job, data);
  return insert_lines(job, data, option_int64(head_option(sf, "startline")), walk);
}

}  // namespace

ZU_SEXP* qn_qmxPgPlotInsert(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  GcFrame frame(kFunc);
  return frame.keep(run_insert(env, form, sf), gc_qn_sexp);
}
