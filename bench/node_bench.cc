// The node cache and the node worker: looking up and releasing ready nodes
// from 1 to 16 threads (nodes per second; the ratio to one thread shows how
// the store's one lock scales), and the latency of a new node through the
// whole pipeline (token, queue, worker, script, load hook, wake-up), one at
// a time and as a batch of 10,000. Then element reads on a cold element
// cache: every read lands in another ready node, so each is a miss that
// lets the held node go and takes the next with all its channels (caches
// of 1 and 4 channels, from 1 and 4 threads over nodes of their own).
#include <benchmark/benchmark.h>

#include <atomic>
#include <vector>

#include "elements/element_type.h"
#include "matrix/element_cache.h"
#include "matrix/matrix.h"
#include "matrix/node.h"
#include "matrix_ops/matrix_ops.h"
#include "runtime/zu_init.h"
#include "stream/stream.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/reader.h"

namespace {

constexpr int kReady = 1024;
constexpr int kCacheChannels = 4;
constexpr int kCacheThreads = 4;

// The load hook of an in-memory matrix: every channel takes the node's x.
int load(MATRIX_TOKEN* t, const L_CHAR*) {
  MATRIX_NODE* n = t->process_node;
  matrix_node_channel_lock(n);
  int64_t v = n->dim_code[1];
  for (int ch = 0; ch < n->matrix->p.channel_nos; ++ch)
    if (!n->channel[ch].data)
      n->channel[ch].data =
          mx_type_int64.alloc_copy(&mx_type_int64, &v, MX_ATYPE::tagged, nullptr, __FILE__, __LINE__);
  matrix_node_channel_unlock(n, 0);
  return 0;
}

// A 1-D matrix of 2^40 elements in blocks of 256 with `channels` int64
// channels, whose fetch script loads the node and makes it ready; `ready`
// level-0 nodes are ready at start.
MATRIX* make_matrix(int channels, int ready) {
  static bool started = [] {
    init_zu();
    install_matrix_ops();
    init_matrix();
    set_matrix_gc_hooks();
    return true;
  }();
  (void)started;
  MATRIX* x = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
  MATRIX_PARAM p{};
  p.dim = 1;
  p.channel_nos = channels;
  p.read_file = load;
  set_matrix_param(x, &p);
  set_matrix_block_size(x, 0, 8);
  set_matrix_dim_divide(x, 0, 1);
  set_matrix_pixel_size(x, 0, int64_t{1} << 40);
  MATRIX_CHANNEL_INFO inf{&mx_type_int64, kMxChSend, nullptr, 0};
  for (int ch = 0; ch < channels; ++ch) set_matrix_channel_info(x, ch, &inf);
  {
    ZuThreadScope scope("bench");
    const char text[] = R"((mxFinish normal-jump-status="MS_OK") (mxLoad))";
    STREAM* st = s_open_string_read(text, utf8_cm, sizeof text - 1, 1);
    ZU_SEXP* forms = init_parse(st, l_string(ascii_cm, "fetch"), nullptr);
    for (ZU_SEXP* f = forms; get_type(f) == ZU_TYPE_LIST; f = f->pair.cdr) {
    }
    for (int slot : {3, 4, 5}) set_matrix_cal(x, slot, forms);
  }
  set_matrix_mode(x, kMxModeActive);
  lock_task(matrix_lock);
  total_ncache_size = 1 << 30;  // nothing is purged while measuring
  unlock_task(matrix_lock, "bench");
  for (int64_t i = 0; i < ready; ++i) {
    int err = 0;
    int64_t dc[2] = {0, i << 8};
    unlock_node(get_matrix_node_wait(&err, x, dc, 0), nullptr);
  }
  return x;
}

MATRIX* the_matrix() {
  static MATRIX* m = make_matrix(1, kReady);
  return m;
}

void BM_GetAndUnlockReadyNode(benchmark::State& state) {
  MATRIX* m = the_matrix();
  int64_t i = state.thread_index() * 97;
  for (auto _ : state) {
    int err = 0;
    int64_t dc[2] = {0, (i++ % kReady) << 8};
    MATRIX_NODE* n = get_matrix_node(&err, m, dc, 0, nullptr, nullptr);
    unlock_node(n, nullptr);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetAndUnlockReadyNode)->ThreadRange(1, 16)->UseRealTime();

std::atomic<int64_t> next_new{int64_t{1} << 20};

void BM_NewNodeThroughTheWorker(benchmark::State& state) {
  MATRIX* m = the_matrix();
  for (auto _ : state) {
    int err = 0;
    int64_t dc[2] = {0, next_new++ << 8};
    MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, 0);
    if (!n) state.SkipWithError("no node");
    unlock_node(n, nullptr);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NewNodeThroughTheWorker)->UseRealTime();

// 10,000 new nodes asked for at once, then waited for.
void BM_TenThousandNewNodes(benchmark::State& state) {
  MATRIX* m = the_matrix();
  constexpr int kBatch = 10000;
  std::vector<int64_t> first(kBatch);
  for (auto _ : state) {
    for (int k = 0; k < kBatch; ++k) {
      int err = 0;
      int64_t dc[2] = {0, (first[k] = next_new++) << 8};
      get_matrix_node(&err, m, dc, 0, nullptr, nullptr);
    }
    for (int k = 0; k < kBatch; ++k) {
      int err = 0;
      int64_t dc[2] = {0, first[k] << 8};
      unlock_node(get_matrix_node_wait(&err, m, dc, 0), nullptr);
    }
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_TenThousandNewNodes)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_ElementReadOnAColdCache(benchmark::State& state) {
  static MATRIX* m = make_matrix(kCacheChannels, kReady * kCacheThreads);
  const int channels = static_cast<int>(state.range(0));
  std::vector<int> access(static_cast<size_t>(channels));
  std::vector<MX_CACHE_PARAM_IX> ix(static_cast<size_t>(channels));
  for (int ch = 0; ch < channels; ++ch) {
    access[static_cast<size_t>(ch)] = ch;
    ix[static_cast<size_t>(ch)] = MX_CACHE_PARAM_IX{0, static_cast<uint16_t>(ch)};
  }
  MX_CACHE c{};
  c.m = m;
  c.access_ch = access.data();
  c.ds_len = channels;
  c.gn_create = c.gn_wait = 3;  // as the agent's entries ask
  mxc_setup(&c);
  int64_t out[kCacheChannels] = {};
  MX_CACHE_PARAM p{};
  p.c = &c;
  p.data_ix = ix.data();
  p.data_ptrs[0] = out;
  int64_t dc[2] = {0, 0};
  p.dc = dc;
  const int64_t first = int64_t{state.thread_index()} * kReady;
  int64_t i = 0;
  for (auto _ : state) {
    dc[1] = ((first + i++ % kReady) << 8) + 17;
    if (read_mx_cache(&p) != 0) state.SkipWithError("read failed");
  }
  flush_mx_cache(&c, 1);
  mxc_release(&c);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ElementReadOnAColdCache)
    ->Arg(1)
    ->Arg(kCacheChannels)
    ->Threads(1)
    ->Threads(kCacheThreads)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
