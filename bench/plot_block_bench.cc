// Plot blocks, each next to a reference measured in the same run:
// - 1M random 2-D points inserted through commands 1 and 4 with the
//   agent's push-down (matrix_ops/plot_insert.h) into a new
//   in-memory matrix, in points per second, in rounds taken in turn with
//   std::sort of the 1M Z-order keys as the bound (the table's row
//   plot.insert); and the time per insert into one node holding 1k points and
//   holding 16k points (the divide check keeps per-child counts, so the two
//   stay close);
// - mxPgPlotDiff (sort on) and four mxPgPlotAdd over four children of
//   16,000 points through a script, in rounds taken in turn with numpy's
//   (min and median of each side): numpy doing the same merge from the
//   same plot records to the same records (interleaved keys, argsort,
//   unique + add.reduceat for the parent, the difference records, the
//   children rebuilt from both with their new ids; the benchmark table's
//   row plot.merge), and the merge on bare arrays without records in or
//   out, as a lower bound;
// - mxObjID over 1M points of one record layout through a script, in
//   rounds taken in turn with numpy setting the flags and id fields of the
//   same bytes as a structured array (the row plot.objid).
// Each row's pairs are our round, then the peer's (A B A B ...).
// The traces of the built-ins go to a string stream that is thrown away.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "elements/value.h"
#include "matrix/matrix.h"
#include "matrix/node.h"
#include "matrix/element_cache.h"
#include "matrix_ops/matrix_ops.h"
#include "matrix_ops/plot_block.h"
#include "matrix_ops/plot_insert.h"
#include "peer_rounds.h"
#include "plot_code_gen.h"
#include "row.h"
#include "runtime/front.h"
#include "runtime/services.h"
#include "runtime/zu_init.h"
#include "stream/stream.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/eval.h"
#include "zu/reader.h"

namespace {

using Clock = std::chrono::steady_clock;
using peer_rounds::fastest;
using peer_rounds::median;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// ---- the matrix

void set_script(MATRIX* m, const char* text) {
  ZuThreadScope scope("plot bench");
  STREAM* st = s_open_string_read(text, utf8_cm, static_cast<int>(std::strlen(text)), 1);
  ZU_SEXP* forms = init_parse(st, l_string(ascii_cm, "fetch"), nullptr);
  for (ZU_SEXP* f = forms; get_type(f) == ZU_TYPE_LIST; f = f->pair.cdr) {
  }
  for (int slot : {3, 4, 5}) set_matrix_cal(m, slot, forms);
}

// A 2-D matrix of side px in blocks of 256 x 256 (dim_divide 1), channel 0
// a plot block made empty by each node's fetch script.
MATRIX* plot_matrix(int64_t px) {
  static bool started = [] {
    init_zu();
    install_matrix_ops();
    init_matrix();
    set_matrix_gc_hooks();
    lock_task(matrix_lock);
    total_ncache_size = 1 << 30;  // nothing is purged while measuring
    unlock_task(matrix_lock, "bench");
    return true;
  }();
  (void)started;
  MATRIX* m = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
  MATRIX_PARAM p{};
  p.dim = 2;
  p.channel_nos = 1;
  set_matrix_param(m, &p);
  for (int d = 0; d < 2; ++d) {
    set_matrix_block_size(m, d, 8);
    set_matrix_dim_divide(m, d, 1);
    set_matrix_pixel_size(m, d, px);
  }
  MATRIX_CHANNEL_INFO inf{&mx_type_block, 0, nullptr, 0};
  set_matrix_channel_info(m, 0, &inf);
  set_script(m, R"((mxFinish normal-jump-status="MS_OK") (mxPgPlotInitialize channel="0"))");
  set_matrix_mode(m, kMxModeActive);
  return m;
}

MATRIX_NODE* node(MATRIX* m, std::vector<int64_t> dc) {
  int err = 0;
  MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc.data(), 0);
  if (n) unlock_node(n, nullptr);
  return n;
}

// ---- inserts

uint64_t spread(uint64_t a) {
  a = (a | (a << 8)) & 0x00FF00FF;
  a = (a | (a << 4)) & 0x0F0F0F0F;
  a = (a | (a << 2)) & 0x33333333;
  return (a | (a << 1)) & 0x55555555;
}

// The agent's insertion: the plot inserter on channel 0 through an element
// cache of its own with a writer's node access.
struct Inserts {
  explicit Inserts(MATRIX* m) {
    c.m = m;
    c.access_ch = &channel;
    c.ds_len = 1;
    c.gn_tree_node = 1;
    c.gn_create = c.gn_wait = 2;
    mxc_setup(&c);
    ins.emplace(&c, channel, false);
  }
  ~Inserts() {
    ins.reset();
    flush_mx_cache(&c, 1);
    mxc_release(&c);
  }
  int channel = 0;
  MX_CACHE c{};
  std::optional<PlotInserter> ins;
};

// One pair: the points inserted into a new matrix, then the sort of their
// keys (made beforehand, untimed, as the points are).
void inserts() {
  constexpr int kPoints = 1000000;
  constexpr int64_t kSide = int64_t{1} << 16;
  std::mt19937_64 rng(3);
  std::vector<std::array<int64_t, 2>> pts(kPoints);
  for (auto& p : pts) p = {static_cast<int64_t>(rng() % kSide), static_cast<int64_t>(rng() % kSide)};
  int64_t v = 1;
  IP_FIELD f{};
  f.type = kFdIntAdd;
  f.len = 1;
  f.d.i = &v;
  std::vector<uint64_t> keys(kPoints);
  std::vector<double> ours, sorts;
  for (int round = 0; round < bench_row::repeats(); ++round) {
    MATRIX* m = plot_matrix(kSide);
    {
      Inserts push(m);
      auto t = Clock::now();
      for (const auto& p : pts) {
        int64_t crd[3] = {0, p[0], p[1]};
        if (push.ins->insert(crd, &f) != PlotInserter::kInserted) std::printf("insert failed\n");
      }
      ours.push_back(since(t));
    }
    close_matrix(m);
    for (int i = 0; i < kPoints; ++i) keys[i] = spread(pts[i][0]) << 1 | spread(pts[i][1]);
    auto t = Clock::now();
    std::sort(keys.begin(), keys.end());
    sorts.push_back(since(t));
  }
  std::printf("\n1M random points into a 65536 x 65536 matrix, commands 1 and 4 with the push-down, "
              "%zu rounds in turn with std::sort (min / median)\n",
              ours.size());
  std::printf("  %.0f points/s (%.2f / %.2f s)   std::sort of 1M Z-order keys %.0f keys/s (%.3f / %.3f s)   "
              "ratio %.1f / %.1f\n",
              kPoints / fastest(ours), fastest(ours), median(ours), kPoints / fastest(sorts), fastest(sorts),
              median(sorts), fastest(ours) / fastest(sorts), median(ours) / median(sorts));
  bench_row::print("plot.insert", "plot blocks: 1M random points inserted with the push-down", "std::sort (bound)",
                   "commands 1 and 4 into a new in-memory matrix of 65536 x 65536", "std::sort of 1M Z-order keys",
                   "in process", "-", ours, sorts);
}

// Time per insert (commands 1 and 4) into one node while it holds about 1k
// and about 16k points, spread over its quarters so that it never divides.
void per_node_size() {
  MATRIX* m = plot_matrix(1 << 10);
  constexpr int kWindow = 1024, kTotal = 16384;
  double first = 1e30, last = 1e30;
  for (int round = 0; round < 5; ++round) {
    MATRIX_NODE* n = node(m, {2, 0, 0});
    MX_STRUCT_BLOCK* sb = get_channel_struct_block(n, 0);
    INTERNAL_PLOT* gone = nullptr;
    pp_operation(PPC_TAKE, sb, &gone);
    free_internal_plot_list(gone);
    std::mt19937 rng(round);
    Clock::time_point t;
    for (int i = 0; i < kTotal; ++i) {
      if (i % kWindow == 0) t = Clock::now();
      int64_t crd[3] = {0, (i % 2) * 512 + static_cast<int64_t>(rng() % 512), ((i / 2) % 2) * 512 + static_cast<int64_t>(rng() % 512)};
      PPC_INSERT_T in{2, crd, nullptr};
      pp_operation(PPC_INSERT, sb, &in);
      if (pp_operation(PPC_DIVIDE_CHECK, sb, nullptr) != 0) std::printf("divided\n");
      if (i % kWindow == kWindow - 1) {
        double s = since(t) / kWindow;
        if (i < kWindow) first = std::min(first, s);
        if (i == kTotal - 1) last = std::min(last, s);
      }
    }
    matrix_node_channel_unlock(n, 0);
  }
  std::printf("  one node: %.0f ns per insert at 1k points, %.0f ns at 16k points   ratio %.2f\n", first * 1e9,
              last * 1e9, last / first);
}

// ---- scripts

// An environment in which scripts run for node n as the worker's would.
struct Script {
  MATRIX_TOKEN token{};
  ZUISP_ENV* env;
  explicit Script(MATRIX_NODE* n) {
    set_break_check_hook(nullptr);
    token.process_node = n;
    env = new_env(matrix_zu_env);
    gc_set_nl(env, gc_qnlisp_env);
    set_env_work(env, &token);
  }
  ~Script() { set_break_check_hook(_zui_break_check); }
  ZU_SEXP* run(const char* text) {
    ZU_SEXP* forms = sexp_commands(utf8_cm, text, nullptr);
    gc_set_nl(forms, gc_qn_sexp);
    return eval_body(env, forms);
  }
  void let(const char* name, ZU_SEXP* v) { set_env(env, l_string(ascii_cm, name), v); }
};

ZU_SEXP* block_item(MATRIX* m, std::vector<int64_t> dc, const std::vector<uint8_t>& bytes) {
  MATRIX_ALLOC_BLOCK_PARAM src{};
  src.size = static_cast<int32_t>(bytes.size());
  src.block = const_cast<uint8_t*>(bytes.data());
  void* r = mx_type_block.alloc_data(&mx_type_block, MX_ATYPE::collector, &src, nullptr, __FILE__, __LINE__);
  return List(get_symbol_ascii("data"), get_sexp_from_dim_code(m, dc.data()), get_ptr(r, gc_mtx_block), ZU_LIST_END);
}

std::string write_file(const std::string& tag, const void* data, size_t bytes) {
  std::string path = "/tmp/plot_block_bench_" + std::to_string(getpid()) + "." + tag;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f) {
    std::fwrite(data, 1, bytes, f);
    std::fclose(f);
  }
  return path;
}

// Traces into a stream nobody reads.
struct QuietTraces {
  STREAM* old = s_stderr;
  QuietTraces() { s_stderr = s_open_string_write(utf8_cm); }
  ~QuietTraces() {
    d_s_close(s_stderr);
    s_stderr = old;
  }
};

// `rounds` pairs of our script (its traces thrown away), then the peer's
// round, after a first pair that warms both sides up and is not counted;
// keep reads each counted answer of the peer.
template <class Keep>
void script_pairs(int rounds, Script& s, const char* text, peer_rounds::Peer& peer, std::vector<double>* ours,
                  Keep keep) {
  for (int round = -1; round < rounds; ++round) {
    {
      QuietTraces quiet;
      auto t = Clock::now();
      s.run(text);
      if (round >= 0) ours->push_back(since(t));
    }
    std::string answer = peer.round();
    if (round >= 0) keep(answer);
  }
}

// numpy's rounds: each answers "records arrays" in seconds. The children's
// plot code (16-byte records of flags, cells, a sum field) comes from one
// file, four codes one after the other.
const std::string kMergeNumpy = std::string(R"(
import numpy as np, sys, time
raw = np.fromfile(sys.argv[1], dtype=np.uint8).reshape(4, -1)
rec = np.dtype([("flags", "u1"), ("pad", "u1"), ("x", ">u2"), ("y", ">u2"), ("ft", "u1"), ("v", ">i8"), ("end", "u1")])
idrec = np.dtype([("flags", "u1"), ("pad", "u1"), ("x", ">u2"), ("y", ">u2"), ("id", ">i8"), ("ft", "u1"),
                  ("v", ">i8"), ("end", "u1")])
corner = [(0, 0), (128, 0), (0, 128), (128, 128)]
)") + peer_rounds::kNumpySpread + R"(
def records(dtype, n, **cols):
    r = np.zeros(n, dtype=dtype)
    for k, v in cols.items():
        r[k] = v
    r["ft"] = 0x31
    return r
def code(r):
    return r.tobytes() + b"\0"
def with_records():
    parents, diffs = [], []
    for c in range(4):
        a = np.frombuffer(raw[c, :-1].tobytes(), dtype=rec)
        x, y, v = a["x"].astype(np.uint16), a["y"].astype(np.uint16), a["v"].astype(np.int64)
        order = np.argsort((spread(x) << 1) | spread(y), kind="stable")
        x, y, v = x[order], y[order], v[order]
        k = (spread(x) << 1) | spread(y)
        coarse, first = np.unique(k >> 2, return_index=True)
        merged = np.diff(first, append=k.size) > 1
        parents.append(records(rec, first.size, flags=np.where(merged, 9, 1), x=(x[first] >> 1) + corner[c][0],
                               y=(y[first] >> 1) + corner[c][1], v=np.add.reduceat(v, first)))
        flags = np.ones(k.size, dtype=np.uint8)
        flags[first] |= 0x10
        diffs.append(code(records(rec, k.size, flags=flags, x=x & 1, y=y & 1, v=v)))
    parent = code(np.concatenate(parents).astype(rec))  # concatenate gives native byte order
    next_id = 256
    for c in range(4):
        up = np.frombuffer(parent[:-1], dtype=rec)
        inside = ((up["x"] >> 7) == corner[c][0] >> 7) & ((up["y"] >> 7) == corner[c][1] >> 7)
        up = up[inside]
        d = np.frombuffer(diffs[c][:-1], dtype=rec)
        group = np.cumsum((d["flags"] & 0x10) != 0) - 1
        alone = np.bincount(group)[group] == 1
        ids = np.where(alone, 0, 0)
        ids[~alone] = np.arange(next_id, next_id + 256 * np.count_nonzero(~alone), 256)
        next_id += 256 * np.count_nonzero(~alone)
        code(records(idrec, d.size, flags=d["flags"] | np.where(alone, 0, 0x40), x=((up["x"][group] & 127) << 1) | d["x"],
                     y=((up["y"][group] & 127) << 1) | d["y"], id=ids, v=d["v"]))
def arrays_only():
    xy = [np.frombuffer(raw[c, :-1].tobytes(), dtype=rec) for c in range(4)]
    parents, diffs = [], []
    for c in range(4):
        key = (spread(xy[c]["x"]) << 1) | spread(xy[c]["y"])
        order = np.argsort(key, kind="stable")
        k, vs = key[order], xy[c]["v"].astype(np.int64)[order]
        coarse, first, group = np.unique(k >> 2, return_index=True, return_inverse=True)
        sums = np.add.reduceat(vs, first)
        parents.append((coarse + (c << 14), sums))
        diffs.append((k & 3, vs - sums[group], group))
    pk = np.concatenate([p[0] for p in parents]); pv = np.concatenate([p[1] for p in parents])
    for c in range(4):
        fine, dv, group = diffs[c]
        off = np.searchsorted(pk, c << 14)
        ((pk[off + group] - (c << 14)) << 2) | fine, pv[off + group] + dv
for line in sys.stdin:
    t = time.perf_counter()
    with_records()
    a = time.perf_counter() - t
    t = time.perf_counter()
    arrays_only()
    print(a, time.perf_counter() - t, flush=True)
)";

void diff_and_add() {
  constexpr size_t kPoints = 16000;
  // Rounds are short: more pairs than the table's default steady the median.
  const int rounds = std::max(21, bench_row::repeats());
  MATRIX* m = plot_matrix(1 << 10);
  Script s(node(m, {2, 0, 0}));
  std::vector<uint8_t> codes;
  const int64_t corner[4][2] = {{0, 0}, {512, 0}, {0, 512}, {512, 512}};
  const char* names[4] = {"c0", "c1", "c2", "c3"};
  for (int c = 0; c < 4; ++c) {
    std::vector<uint8_t> code = plot_code_of(kPoints, 8, 11 + c, nullptr, nullptr);
    codes.insert(codes.end(), code.begin(), code.end());
    s.let(names[c], block_item(m, {1, corner[c][0], corner[c][1]}, code));
  }
  s.let("children", s.run("(list (quote Children) c0 c1 c2 c3)"));
  std::string path = write_file("codes", codes.data(), codes.size());
  peer_rounds::Peer numpy(kMergeNumpy, {path});
  std::vector<double> ours, records, arrays;
  script_pairs(rounds, s,
               R"((define d (mxPgPlotDiff sort="on" children))
                  (mxPgPlotAdd (car d) (car (cdr d))) (mxPgPlotAdd (car d) (car (cdr (cdr d))))
                  (mxPgPlotAdd (car d) (car (cdr (cdr (cdr d))))) (mxPgPlotAdd (car d) (car (cdr (cdr (cdr (cdr d)))))))",
               numpy, &ours, [&](const std::string& answer) {
                 double a = 0, b = 0;
                 if (std::sscanf(answer.c_str(), "%lf %lf", &a, &b) != 2) return;
                 records.push_back(a);
                 arrays.push_back(b);
               });
  std::remove(path.c_str());
  std::printf("\nmxPgPlotDiff (sort on) + 4 mxPgPlotAdd over four children of 16,000 points, %d rounds in turn "
              "with numpy (min / median)\n", rounds);
  std::printf("  ours %.1f / %.1f ms\n", fastest(ours) * 1e3, median(ours) * 1e3);
  bench_row::print("plot.merge", "plot blocks: mxPgPlotDiff + 4 mxPgPlotAdd over four children of 16,000 points",
                   "numpy", "the built-ins through a script, sort on, plain blocks in and out",
                   "the same merge from the children's plot records to the parent's, the differences' and the "
                   "rebuilt children's records (with new ids)",
                   "in process", "ratio<=3; at most 3x numpy", ours,
                   records.empty() ? std::string(peer_rounds::kNumpyMissing) : bench_row::times(records));
  if (records.empty()) {
    std::printf("  (numpy missing: run scripts/setup.sh)\n");
    return;
  }
  std::printf("  numpy from and to plot records %.1f / %.1f ms   ratio %.2f / %.2f (aim: at most 3)\n",
              fastest(records) * 1e3, median(records) * 1e3, fastest(ours) / fastest(records),
              median(ours) / median(records));
  std::printf("  numpy on bare arrays (no records in or out) %.1f / %.1f ms   ratio %.2f / %.2f\n",
              fastest(arrays) * 1e3, median(arrays) * 1e3, fastest(ours) / fastest(arrays),
              median(ours) / median(arrays));
}

// numpy's rounds: each answers its seconds.
const char* kIdsNumpy = R"(
import numpy as np, sys, time
raw = np.fromfile(sys.argv[1], dtype=np.uint8)
rec = np.dtype([("flags", "u1"), ("pad", "u1"), ("x", ">u2"), ("y", ">u2"), ("ft", "u1"), ("v", ">i8"), ("end", "u1")])
out = np.dtype([("flags", "u1"), ("pad", "u1"), ("x", ">u2"), ("y", ">u2"), ("id", ">i8"), ("ft", "u1"), ("v", ">i8"),
                ("end", "u1")])
n = (raw.size - 1) // 16
for line in sys.stdin:
    t = time.perf_counter()
    a = np.frombuffer(raw[:n * 16].tobytes(), dtype=rec)
    b = np.empty(n, dtype=out)
    for f in rec.names:
        b[f] = a[f]
    b["flags"] |= 0x40
    b["id"] = np.arange(256, 256 * (n + 1), 256, dtype=np.int64)
    code = b.tobytes() + b"\0"
    print(time.perf_counter() - t, flush=True)
)";

void obj_ids() {
  constexpr size_t kPoints = 1000000;
  // Rounds are short: more pairs than the table's default steady the median.
  const int rounds = std::max(11, bench_row::repeats());
  MATRIX* m = plot_matrix(1 << 16);
  Script s(node(m, {0, 0, 0}));
  std::vector<uint8_t> code = plot_code_of(kPoints, 8, 5, nullptr, nullptr);
  s.let("b", block_item(m, {0, 0, 0}, code));
  std::string path = write_file("code", code.data(), code.size());
  peer_rounds::Peer numpy(kIdsNumpy, {path});
  std::vector<double> ours, theirs;
  script_pairs(rounds, s, "(mxObjID b)", numpy, &ours, [&](const std::string& answer) {
    double np = 0;
    if (std::sscanf(answer.c_str(), "%lf", &np) == 1) theirs.push_back(np);
  });
  std::remove(path.c_str());
  std::printf("\nmxObjID over 1M points of one record layout (with its trace line per id), %d rounds in turn with "
              "numpy (min / median)\n", rounds);
  std::printf("  %.1f / %.1f ms", fastest(ours) * 1e3, median(ours) * 1e3);
  if (theirs.empty()) std::printf("   (numpy missing: run scripts/setup.sh)\n");
  else
    std::printf("   numpy structured array %.1f / %.1f ms   ratio %.2f / %.2f\n", fastest(theirs) * 1e3,
                median(theirs) * 1e3, fastest(ours) / fastest(theirs), median(ours) / median(theirs));
  bench_row::print("plot.objid", "plot blocks: mxObjID over 1M points", "numpy",
                   "mxObjID through a script, a new block with ids, its trace lines to a string thrown away",
                   "the records copied into a structured array with an id field, flags and id fields set, its bytes "
                   "taken",
                   "in process", "-", ours,
                   theirs.empty() ? std::string(peer_rounds::kNumpyMissing) : bench_row::times(theirs));
}

}  // namespace

// plot_block_bench [inserts|diff|ids]: one part, or (any other argument)
// all three.
int main(int argc, char** argv) {
  std::string only = argc > 1 ? argv[1] : "";
  auto part = [&only](const char* name) { return only != "inserts" && only != "diff" && only != "ids" ? true : only == name; };
  // A long-running agent's heap keeps the pages of freed points.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  if (part("inserts")) {
    inserts();
    per_node_size();
  }
  ZuThreadScope scope("plot bench scripts");
  if (part("diff")) diff_and_add();
  if (part("ids")) obj_ids();
  return 0;
}
