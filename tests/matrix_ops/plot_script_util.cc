#include "plot_script_util.h"

#include <fcntl.h>
#include <zlib.h>

#include <mutex>

#include "base/alloc.h"
#include "matrix/dim_code.h"
#include "matrix/mx_file.h"
#include "matrix/struct_block.h"
#include "matrix_ops/plot_block.h"
#include "runtime/front.h"
#include "runtime/services.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/errcodes.h"
#include "zu/eval.h"

namespace {

std::mutex kept_mu;
std::vector<std::pair<Code, Bytes>> kept;

Code item_code(MATRIX* m, ZU_SEXP* item) {
  Code c;
  for (ZU_SEXP* p = get_el(item, 1); get_type(p) == ZU_TYPE_LIST && c.size() < 1u + m->p.dim; p = p->pair.cdr)
    c.push_back(get_type(p->pair.car) == ZU_TYPE_INTEGER ? p->pair.car->integer.num : 0);
  return c;
}

ZU_SEXP* zu_keep_blocks(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  auto* t = static_cast<MATRIX_TOKEN*>(get_env_work(env));
  ZU_SEXP* v = ::eval(env, get_el(form, 1));
  if (get_type(v) == ZU_TYPE_ERROR) {
    std::lock_guard<std::mutex> g(ev.mu);
    ev.notes.push_back(shown(v));
    return nullptr;
  }
  MATRIX* m = t->process_node->matrix;
  std::lock_guard<std::mutex> g(kept_mu);
  if (is_symbol_named(get_el(v, 0), "data")) {
    kept.emplace_back(item_code(m, v), item_bytes(v));
  } else {
    for (ZU_SEXP* p = is_element(v) ? v->pair.cdr : v; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr)
      kept.emplace_back(item_code(m, p->pair.car), item_bytes(p->pair.car));
  }
  return v;
}

ZU_SEXP* zu_sbPlot(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZU_SEXP* ch = ::eval(env, get_symbol_ascii("___channel"));
  if (get_type(ch) != ZU_TYPE_INTEGER) return error_at(form, ZU_ER_TYPE, "sbPlot", nullptr);
  auto* t = static_cast<MATRIX_TOKEN*>(get_env_work(env));
  MX_SB_NEW place{nullptr, t->process_node, static_cast<int>(ch->integer.num)};
  PP_SB_NEW init{nullptr, 0,
                 (option_is(head_option(sf, "compress"), "on") ? kPpCompressed : 0) |
                     (option_is(head_option(sf, "sat"), "on") ? kPpInSat : 0)};
  return mx_sb_hand_out(pp_new_sb(&place, &init));
}

ZU_SEXP* zu_node_dirty(ZUISP_ENV* env, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  MATRIX_NODE* n = static_cast<MATRIX_TOKEN*>(get_env_work(env))->process_node;
  lock_task(matrix_lock);
  bool dirty = n->dirty_file_time != 0;
  unlock_task(matrix_lock, "node-dirty");
  return get_integer(dirty ? 1 : 0, nullptr);
}


void set_shape(MATRIX* m) {
  MATRIX_PARAM p{};
  p.dim = 2;
  p.channel_nos = 3;
  EXPECT_EQ(set_matrix_param(m, &p), 0);
}

void set_plot_geometry(MATRIX* m, const std::vector<int64_t>& px, bool file, int block_size = 8) {
  for (int d = 0; d < 2; ++d) {
    EXPECT_EQ(set_matrix_dim_divide(m, d, 1), 0);
    EXPECT_EQ(set_matrix_block_size(m, d, block_size), 0);
    EXPECT_EQ(set_matrix_pixel_size(m, d, px[static_cast<size_t>(d)]), 0);
  }
  int kept_flag = file ? kMxChFile : 0;
  MATRIX_CHANNEL_INFO infos[3] = {{&mx_type_block, kept_flag, nullptr, 0},
                                  {&mx_type_block, kept_flag, nullptr, 0},
                                  {&mx_type_int64, 0, nullptr, 0}};
  for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(set_matrix_channel_info(m, ch, &infos[ch]), 0);
}

}  // namespace

void bind_plot_test_prims() {
  static std::once_flag once;
  std::call_once(once, [] {
    static const QN_PRIM_DEF prims[] = {
        {"keep-blocks", zu_keep_blocks, 0, 2, 2, 0},
        {"sbPlot", zu_sbPlot, 1, 1, 1, 0},
        {"node-dirty", zu_node_dirty, 1, 1, 1, 0},
        {}};
    bind_prims(matrix_zu_env, prims);
  });
}

MATRIX* open_plot_matrix(const std::vector<int64_t>& px, int block_size) {
  MATRIX* m = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
  MATRIX_PARAM hooks{};
  hooks.trigger = tell_waiters;
  EXPECT_EQ(set_matrix_param(m, &hooks), 0);
  set_shape(m);
  set_plot_geometry(m, px, false, block_size);
  set_script(m, {3, 4, 5}, R"((mxFinish normal-jump-status="MS_OK"))");
  set_matrix_mode(m, kMxModeActive);
  return m;
}

int open_plot_file(MATRIX** mp, const std::string& path, bool compressed) {
  int r = open_matrix_file(mp, path, [](MATRIX* m) {
    set_shape(m);
    set_plot_geometry(m, {1024, 1024}, true);
  }, tell_waiters);
  if (r != 0) return r;
  set_script(*mp, {3, 4, 5}, std::string(R"((mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1")
      (mxLoad target="file-n-create") (mxPgPlotInitialize channel="0" )") +
                                 (compressed ? R"(compress="on")" : "") + ") (mxLoadSB)");
  set_script(*mp, {21, 22, 23}, "(mxSaveSB) (mxSave)");
  set_matrix_mode(*mp, kMxModeActive);
  return 0;
}

PlotPush::PlotPush(MATRIX* m, int ch) : ch_{ch} {
  c_.m = m;
  c_.access_ch = ch_.data();
  c_.ds_len = 1;
  c_.gn_tree_node = 1;
  c_.gn_create = c_.gn_wait = 2;
  mxc_setup(&c_);
  ins_ = std::make_unique<PlotInserter>(&c_, ch, false);
}

PlotPush::~PlotPush() {
  ins_.reset();
  flush_mx_cache(&c_, 1);
  mxc_release(&c_);
}

PlotInserter::Result PlotPush::insert(const int64_t* xy, IP_FIELD* fields) {
  Code crd(1);
  crd.insert(crd.end(), xy, xy + ins_->dim());
  return ins_->insert(crd.data(), fields);
}

std::set<Code> pyramid_nodes(MATRIX* m) {
  std::set<Code> seen;
  std::vector<Code> todo{Code(1 + size_t(m->p.dim))};
  todo[0][0] = m->total_levels - 1;
  int bits = 0;
  for (int d = 0; d < m->p.dim; ++d) bits += m->dim_divide[d];
  while (!todo.empty()) {
    Code dc = todo.back();
    todo.pop_back();
    int err = 0;
    MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc.data(), 0);
    if (!n) continue;
    if (!err && seen.insert(dc).second && dc[0] > 0)
      for (int64_t ix = 0; ix < (int64_t{1} << bits); ++ix) {
        MxDimCode child = get_dim_code_from_index(m, dc.data(), ix);
        lock_task(matrix_lock);
        if (_check_dim_code(n, child.get())) todo.emplace_back(child.get(), child.get() + 1 + m->p.dim);
        unlock_task(matrix_lock, "pyramid_nodes");
      }
    unlock_node(n, nullptr);
  }
  return seen;
}

ZU_SEXP* plot_item(MATRIX* m, const Code& dc, const Bytes& bytes) {
  MATRIX_ALLOC_BLOCK_PARAM src{};
  src.size = static_cast<int32_t>(bytes.size());
  src.block = const_cast<uint8_t*>(bytes.data());
  void* r = mx_type_block.alloc_data(&mx_type_block, MX_ATYPE::collector, &src, nullptr, __FILE__, __LINE__);
  return List(get_symbol_ascii("data"), get_sexp_from_dim_code(m, dc.data()), get_ptr(r, gc_mtx_block), ZU_LIST_END);
}

Bytes item_bytes(ZU_SEXP* item) {
  ZU_SEXP* v = get_el(item, 2);
  if (get_type(v) != ZU_TYPE_POINTER || !v->ptr.ptr) return {};
  const auto* b = static_cast<const MATRIX_ALLOC_BLOCK_PARAM*>(v->ptr.ptr);
  const auto* p = static_cast<const uint8_t*>(b->block);
  return Bytes(p, p + b->size);
}

std::vector<std::pair<Code, Bytes>> kept_blocks() {
  std::lock_guard<std::mutex> g(kept_mu);
  return std::exchange(kept, {});
}

Bytes zlib_of(const Bytes& bytes) {
  uLongf n = compressBound(bytes.size());
  Bytes out(n);
  EXPECT_EQ(compress2(out.data(), &n, bytes.data(), bytes.size(), 7), Z_OK);
  out.resize(n);
  return out;
}

Bytes zip_block(const Bytes& code) {
  Bytes typed{kPpBlockType};
  typed.insert(typed.end(), code.begin(), code.end());
  return zlib_of(typed);
}

Bytes inflate(const Bytes& z) {
  Bytes out(std::max<size_t>(1 << 16, 64 * z.size()));
  uLongf n = out.size();
  if (uncompress(out.data(), &n, z.data(), z.size()) != Z_OK) return {};
  out.resize(n);
  return out;
}

Bytes channel_bytes(MATRIX_NODE* n, int ch) {
  matrix_node_channel_lock(n);
  lock_task(matrix_lock);
  Bytes out;
  if (n->channel && n->channel[ch].data) {
    const auto* b = static_cast<const MATRIX_ALLOC_BLOCK_PARAM*>(n->channel[ch].data);
    const auto* p = static_cast<const uint8_t*>(b->block);
    out.assign(p, p + b->size);
  }
  unlock_task(matrix_lock, "channel_bytes");
  matrix_node_channel_unlock(n, 0);
  return out;
}
