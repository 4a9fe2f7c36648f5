// qmxGetPoint: point, node-channel and node-status reads (qmx_point.h).
#include "agent/qmx_point.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "agent/agent_impl.h"
#include "base/alloc.h"
#include "base/tick.h"
#include "matrix/dim_code.h"
#include "matrix/element_cache.h"
#include "matrix/node.h"
#include "runtime/docpath.h"
#include "runtime/interp.h"
#include "runtime/later_services.h"
#include "store/recordlist.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/errcodes.h"
#include "zu/eval.h"
#include "zu/gc.h"
#include "zu/peer.h"

namespace {

constexpr const char* kFunc = "qmxGetPoint";

// ---- points

// A point written as a list: level, one coordinate per dimension, and
// optionally one offset per dimension, all integers.
enum class PointForm { kBad, kPlain, kOffsets };

PointForm parse_point(const MATRIX* m, ZU_SEXP* point, int64_t* dc, int* ofs) {
  const int dim = m->p.dim;
  int n = 0;
  for (ZU_SEXP* p = point; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr, ++n) {
    ZU_SEXP* v = p->pair.car;
    if (!is_integer(v) || n >= 2 * dim + 1) return PointForm::kBad;
    if (n <= dim) dc[n] = v->integer.num;
    else if (ofs) ofs[n - dim - 1] = static_cast<int>(static_cast<uint32_t>(v->integer.num));
  }
  if (n == dim + 1) return PointForm::kPlain;
  return n == 2 * dim + 1 && ofs ? PointForm::kOffsets : PointForm::kBad;
}

ZU_SEXP* param_error(ZU_SEXP* form) { return error_text_at(form, ZU_ER_PARAM, kFunc, "param"); }

// ---- element values

// The buffers of the element reads of one command, from the entry cache's
// pool: one per element size (1, 2, 4 and 8 bytes) with a slot per channel,
// the dim code and the offsets. Made once, so that the points of one call
// allocate nothing.
struct PointBuffers {
  MX_CACHE* c;
  MX_CACHE_PARAM param;
  void* blocks[6] = {};

  explicit PointBuffers(MX_ENTRY* e) : c(&e->c), param(e->p) {
    const MATRIX* m = c->m;
    const size_t channels = static_cast<size_t>(m->p.channel_nos);
    for (int k = 0; k < 4; ++k) blocks[k] = param.data_ptrs[k] = alloc(channels << k);
    blocks[4] = param.dc = static_cast<int64_t*>(alloc(sizeof(int64_t) * (m->p.dim + 1)));
    blocks[5] = alloc(sizeof(int) * m->p.dim);
    param.ofs = nullptr;
  }
  ~PointBuffers() {
    for (void* b : blocks) mxc_pool_free(c, b, __FILE__, __LINE__);
  }
  void* alloc(size_t size) { return mxc_pool_alloc(c, size ? size : 1, __FILE__, __LINE__); }
  int* offsets() { return static_cast<int*>(blocks[5]); }
};

// An element as its type gives it; the types without a number (blocks,
// texts, ZU values) give the empty list.
ZU_SEXP* element_value(MATRIX_DATA_TYPE* tp, const void* d) {
  MATRIX_DATA_TYPE* et = tp->parent ? tp->parent : tp;
  switch (mx_scalar_code(et->type)) {
    case MX_TYPE_BLOCK:
    case MX_TYPE_STRING:
    case MX_TYPE_SEXP:
      return nullptr;
    default:
      return et->md2sexp(et, d);
  }
}

ZU_SEXP* read_1point_normal(MX_ENTRY* e, PointBuffers& b, ZU_SEXP* point, ZU_SEXP* form) {
  if (ZU_SEXP* err = list_error(point)) return err;
  MATRIX* m = e->c.m;
  MX_CACHE_PARAM& p = b.param;
  PointForm f = parse_point(m, point, p.dc, b.offsets());
  if (f == PointForm::kBad) return param_error(form);
  p.ofs = f == PointForm::kOffsets ? b.offsets() : nullptr;
  if (int r = read_mx_cache(&p); r < 0) {
    if (!mx_is_load_fault(r)) return error_text_at(form, ZU_ER_NO_OBJECT, kFunc, "object");
    // A node the file holds but that could not be read is named, with why.
    return qmx_node_fault(form, kFunc, m, p.dc, r);
  }
  ListBuilder out;
  for (int i = 0; i < e->c.ds_len; ++i) {
    const MX_CACHE_PARAM_IX ix = p.data_ix[i];
    if (ix.x == kMxcNoSlot) continue;
    const uint8_t* at = static_cast<const uint8_t*>(p.data_ptrs[ix.p]) + (size_t{ix.x} << ix.p);
    if (qmx_trace()) ss_printf("G %i %p\n", ix.x, static_cast<const void*>(at));
    MATRIX_DATA_TYPE* tp = m->channel_info[ix.x].data_type;
    out.add(List(get_integer(ix.x, nullptr), tp ? element_value(tp, at) : nullptr, ZU_LIST_END));
  }
  return out.head;
}

// ---- node reads

int node_wait_tries_from_env() {
  const char* v = std::getenv("QNMX_NODE_WAIT_TRIES");
  int n = v ? std::atoi(v) : 0;
  return n > 0 ? n : 600;
}

ZU_SEXP* node_error(ZU_SEXP* form, const char* reason, int status, ZU_SEXP* dcl) {
  return qmx_node_error(form, kFunc, reason, status, dcl);
}

// The ready node of the point, locked, with its dim code in *dc; or null
// and *err the error value. Nothing is created on the way.
MATRIX_NODE* ready_node(MX_ENTRY* e, ZU_SEXP* point, ZU_SEXP* form, int64_t* dc, ZU_SEXP** err) {
  MATRIX* m = e->c.m;
  set_matrix_env(m, "create-node", "disable");
  if (parse_point(m, point, dc, nullptr) != PointForm::kPlain) {
    *err = param_error(form);
    return nullptr;
  }
  int status = 0;
  ZU_SEXP* stop = nullptr;
  if (MATRIX_NODE* n = wait_matrix_node(m, dc, kMxFetchSlot, form, &status, &stop)) return n;
  *err = stop ? stop : qmx_node_fault(form, kFunc, m, dc, status);
  return nullptr;
}

// The stored form of a channel datum as a raw value, or null.
ZU_SEXP* stored_bytes(MATRIX_DATA_TYPE* tp, const void* d) {
  Owned<RECORD_LIST64, free_recordlist64> rl(new_recordlist64(0, 0));
  if (!rl || tp->convert_to_net(tp, rl.get(), d) != 0) return nullptr;
  int64_t size = setup_recordlist64(rl.get());
  return size >= 0 && size <= UINT32_MAX ? get_raw(size ? rl->data : "", static_cast<uint32_t>(size)) : nullptr;
}

// What read_node_status reports of a node, copied under matrix_lock.
struct NodeStatus {
  std::vector<std::pair<int, bool>> channels;  // (channel, holds data), typed channels descending
  bool has_table = false;
  std::vector<uint8_t> bits;                   // child bit field
  std::vector<std::vector<int64_t>> list;      // child dim codes, stored order
};

NodeStatus copy_status(MATRIX_NODE* n) {
  MATRIX* m = n->matrix;
  NodeStatus s;
  lock_task(matrix_lock);
  s.has_table = n->channel != nullptr;
  for (int ch = m->p.channel_nos - 1; s.has_table && ch >= 0; --ch)
    if (m->channel_info[ch].data_type) s.channels.emplace_back(ch, n->channel[ch].data != nullptr);
  if (n->nlist_dim_bit_field)
    s.bits.assign(n->nlist_dim_bit_field, n->nlist_dim_bit_field + n->nlist_dim_bit_field_len);
  else
    for (int i = 0; n->nlist_dim_addr && i < n->nlist_dim_addr_len; ++i)
      s.list.emplace_back(n->nlist_dim_addr[i], n->nlist_dim_addr[i] + m->p.dim + 1);
  unlock_task(matrix_lock, "read_node_status");
  return s;
}

ZU_SEXP* children_of(MATRIX* m, const int64_t* dc, const NodeStatus& s) {
  ListBuilder codes;
  if (!s.bits.empty()) {
    int bits = 0;
    for (int d = 0; d < m->p.dim; ++d) bits += m->dim_divide[d];
    const int64_t count = std::min<int64_t>(int64_t{1} << bits, int64_t(s.bits.size()) * 8);
    for (int64_t i = 0; i < count; ++i) {
      if (!(s.bits[size_t(i / 8)] >> (i % 8) & 1)) continue;
      codes.add(get_sexp_from_dim_code(m, get_dim_code_from_index(m, dc, i).get()));
    }
    ListBuilder bytes;
    for (uint8_t b : s.bits) bytes.add(get_integer(b, nullptr));
    return List(get_string_ascii("bitFieldType"), codes.head, bytes.head, ZU_LIST_END);
  }
  if (!s.list.empty()) {
    for (auto it = s.list.rbegin(); it != s.list.rend(); ++it) codes.add(get_sexp_from_dim_code(m, it->data()));
    return List(get_string_ascii("ListType"), codes.head, ZU_LIST_END);
  }
  return list(get_string_ascii("NoChildren"));
}

// Takes the command lock of an entry the caller holds a reference to, reads
// and gives both back; a node the cache holds afterwards is released.
ZU_SEXP* read_entry(MX_ENTRY* e, ZU_SEXP* points, ZU_SYM_FIELD* sf, ZU_SEXP* form) {
  EntryHold held(e);
  if (held.lock() != 0) return error_at(form, ZU_ER_OPEN, kFunc, nullptr);
  ZU_SEXP* r = read_point(e, points, sf, form);
  const int id = e->id;
  held.unlock();
  if (get_type(r) == ZU_TYPE_LIST && get_type(r->pair.car) == ZU_TYPE_SYMBOL) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", id);
    set_attribute(r->pair.car, l_string(ascii_cm, "id"), l_string(ascii_cm, text));
  }
  return r;
}

const L_CHAR* wide(const char* text) { return l_string(ascii_cm, text); }

}  // namespace

int qmx_node_wait_tries() {
  static const int tries = node_wait_tries_from_env();
  return tries;
}

int qmx_node_wait_check(double seconds) {
  if (mx_program_ending() || seconds >= qmx_node_wait_tries()) return 1;
  // Only an interpreter's thread has a break to check.
  return get_my_zui() && do_break_check_now(nullptr) ? 1 : 0;
}

MATRIX_NODE* wait_matrix_node(MATRIX* m, const int64_t* dc, int access, ZU_SEXP* form, int* status, ZU_SEXP** stop) {
  const int tries = qmx_node_wait_tries();
  *stop = nullptr;
  if (access >= 0) retry_busy_node(m, dc);
  for (int t = 0; t < tries; ++t) {
    *status = 0;
    MATRIX_NODE* n = get_matrix_node(status, m, dc, access, nullptr, nullptr);
    if (*status == 0) return n;
    // A loading node comes back unless nothing is loading it any more.
    if (*status != kMxLoading || !n || mx_program_ending()) return nullptr;
    if ((*stop = do_break_check_now(form))) return nullptr;
    // Sleeps until the node settles or one tick passes.
    lock_task(matrix_lock);
    int err = 0;
    MATRIX_NODE* loading = _get_matrix_node(&err, m, dc, -1, dc[0], nullptr, 0);
    if (loading && err == kMxLoading)
      _i_sleep_task_timeout(loading, matrix_lock, get_tick_unit_ms() / 1000.0, __FILE__, __LINE__);
    else
      unlock_task(matrix_lock, "wait_matrix_node");
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Reads

ZU_SEXP* read_point(MX_ENTRY* e, ZU_SEXP* points, ZU_SYM_FIELD* sf, ZU_SEXP* form) {
  ZU_SEXP* first = get_type(points) == ZU_TYPE_LIST ? points->pair.car : nullptr;
  const int type = get_type(first);
  if (type == ZU_TYPE_INTEGER || type == ZU_TYPE_FLOATING) return read_1point(e, points, sf, form);
  if (type != ZU_TYPE_LIST) return error_at(form, ZU_ER_PARAM, kFunc, data_list("read_point", points));
  const L_CHAR* mode = head_option(sf, "mode");
  const bool normal = !mode || option_is(mode, "normal");
  ListBuilder out;
  const size_t mark = gc_root_mark();
  if (normal) {
    PointBuffers b(e);
    for (ZU_SEXP* p = points; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
      ZU_SEXP* v = read_1point_normal(e, b, p->pair.car, form);
      if (get_type(v) == ZU_TYPE_ERROR) return v;
      out.add(v);
      gc_root_release(mark, out.head, gc_qn_sexp);
    }
    return out.head;
  }
  for (ZU_SEXP* p = points; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* v = read_1point(e, p->pair.car, sf, form);
    if (get_type(v) == ZU_TYPE_ERROR) return v;
    out.add(v);
    gc_root_release(mark, out.head, gc_qn_sexp);
  }
  return out.head;
}

ZU_SEXP* read_1point(MX_ENTRY* e, ZU_SEXP* point, ZU_SYM_FIELD* sf, ZU_SEXP* form) {
  const L_CHAR* mode = head_option(sf, "mode");
  if (!mode || option_is(mode, "normal")) {
    PointBuffers b(e);
    return read_1point_normal(e, b, point, form);
  }
  if (option_is(mode, "block")) {
    const L_CHAR* channel = head_option(sf, "channel");
    if (!channel) return error_text_at(form, ZU_ER_PARAM, kFunc, "attribute channel is required");
    return read_node_channel(e, point, option_int(channel), form);
  }
  if (option_is(mode, "node")) return read_node_status(e, point, form);
  return error_text_at(form, ZU_ER_PARAM, kFunc, "attribute::mode");
}

ZU_SEXP* read_node_channel(MX_ENTRY* e, ZU_SEXP* point, int channel, ZU_SEXP* form) {
  MATRIX* m = e->c.m;
  if (channel < 0 || channel >= m->p.channel_nos)
    return error_text_at(form, ZU_ER_PARAM, kFunc, "invalid parameter in qmxGetPoint");
  int64_t dc[1 + kMxMaxDim];
  ZU_SEXP* err = nullptr;
  MATRIX_NODE* n = ready_node(e, point, form, dc, &err);
  if (!n) return err;
  // The channel lock keeps the datum while its stored form is made.
  matrix_node_channel_lock(n);
  lock_task(matrix_lock);
  const bool table = n->channel != nullptr;
  MATRIX_DATA_TYPE* tp = m->channel_info[channel].data_type;
  const void* d = table ? n->channel[channel].data : nullptr;
  unlock_task(matrix_lock, "read_node_channel");
  ZU_SEXP* dcl = get_sexp_from_dim_code(m, dc);
  ZU_SEXP* r;
  if (!table) r = node_error(form, "others(2)", 0, dcl);
  else if (!tp) r = node_error(form, "channel not exist", 0, dcl);
  else if (!d) r = node_error(form, "channel data not exist", 0, dcl);
  else if (ZU_SEXP* raw = stored_bytes(tp, d)) r = List(get_symbol_ascii("data"), dcl, raw, ZU_LIST_END);
  else r = node_error(form, "channel data not exist", 0, dcl);
  matrix_node_channel_unlock(n, 0);
  unlock_node(n, nullptr);
  return r;
}

ZU_SEXP* read_node_status(MX_ENTRY* e, ZU_SEXP* point, ZU_SEXP* form) {
  MATRIX* m = e->c.m;
  int64_t dc[1 + kMxMaxDim];
  ZU_SEXP* err = nullptr;
  MATRIX_NODE* n = ready_node(e, point, form, dc, &err);
  if (!n) return err;
  NodeStatus s = copy_status(n);
  std::vector<int64_t> own(n->dim_code, n->dim_code + m->p.dim + 1);
  unlock_node(n, nullptr);
  ListBuilder channels;
  for (auto [ch, held] : s.channels)
    channels.add(List(get_integer(ch, nullptr), get_integer(m->channel_info[ch].data_type->type, nullptr),
                      get_string_ascii(held ? "exist" : "empty"), ZU_LIST_END));
  return List(channels.head, children_of(m, own.data(), s), ZU_LIST_END);
}

// ---------------------------------------------------------------------------
// The command

ZU_SEXP* open_mxread_related(ZU_SEXP* path, ZU_SEXP* form, ZU_SEXP* points, ZU_SYM_FIELD* sf) {
  Tagged<L_CHAR> candidates[2];
  ZU_GETFILE* gf = nullptr;
  if (ZU_SEXP* err = get_path(candidates, &gf, str_text(path), form, wide("Get"))) return err;
  ZU_SEXP* r = nullptr;
  if (!gf->mode || zu_wcmp_ascii(gf->mode, "lod") != 0) {
    r = error_text_at(form, ZU_ER_NOT_AVAILABLE, "Get", "unsupport Get mode");
  } else {
    for (const Tagged<L_CHAR>& file : candidates) {
      if (!file) continue;
      if (MX_ENTRY* e = open_mxread(nullptr, file.get(), nullptr, 1)) {
        r = read_entry(e, points, sf, form);
        break;
      }
    }
    // No candidate opened (one or two of them).
    if (!r) r = error_at(form, ZU_ER_OPEN, kFunc, nullptr);
  }
  return r;
}

ZU_SEXP* qn_qmxGetPoint(int s_flag, ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf) {
  const L_CHAR* path_type = head_option(sf, "path-type");
  const bool absolute = !path_type || option_is(path_type, "absolute");
  if (!s_flag && absolute) return error_text_at(form, ZU_ER_DENIED, kFunc, "file path");
  ZU_SEXP* path = get_el(form, 1);
  ZU_SEXP* points = get_el(form, 2);
  if (!is_string(path) || get_type(points) != ZU_TYPE_LIST) return error_at(form, ZU_ER_TYPE, kFunc, nullptr);
  const L_CHAR* name = str_text(path);
  if (option_is(path_type, "related")) {
    if (!s_flag || evaluates_for_peer()) {
      ZU_SEXP* denied = auth_filepath_passive(path, "Get");
      if (get_type(denied) == ZU_TYPE_ERROR)
        return get_error(form->h.file, form->h.line, denied->error->code, denied->error->func, denied->error->data);
    }
    return open_mxread_related(path, form, points, sf);
  }
  ZU_SEXP* err = nullptr;
  if (MX_ENTRY* e = open_mxread_typed(form, kFunc, path_type, name, 0, nullptr, &err))
    return read_entry(e, points, sf, form);
  return err ? err : error_text_at(form, ZU_ER_PARAM, kFunc, "attribute:path-type");
}

ZU_SEXP* qn_qmxGetPoint_s(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  return qn_qmxGetPoint(1, env, form, args_env, sf);
}

ZU_SEXP* qn_qmxGetPoint_n(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  return qn_qmxGetPoint(0, env, form, args_env, sf);
}
