// Pyramid kernels. Google Benchmark cases: a 256 x 256 child block thinned
// by mean (uint8, uint16, float, double, rgb8) and level differences of the
// same size, the kernels' speed on one node.
//
// Then whole levels next to numpy, in process against in process: an
// 8192 x 8192 level of every element type the kernels serve thinned to
// 4096 x 4096 through the slots (1024 child blocks of 256 x 256, each into
// its parent's quarter), against numpy's fastest formulation of the same
// result, slice sums into arrays made beforehand (a[0::2, 0::2] + a[0::2,
// 1::2] + a[1::2, 0::2] + a[1::2, 1::2] in a wider type, then the
// truncated quotient, or the mean in double for floating types); and an
// 8192 x 8192 level of differences against its 4096 x 4096 parent level
// (uint8 with and without "CURVE", int16, float), against numpy on the same
// four phases. numpy runs in one Python process that keeps its arrays, and
// each of our passes is followed by one of numpy's (a pair), QNMX_BENCH_
// REPEATS times (default 5); a memcpy of the level's bytes after each pair
// gives the machine's memory bandwidth, in GB/s of the level's bytes next
// to ours and numpy's. numpy's result is compared with ours once. The
// program ends with the rows of bench/table.py.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "elements/element_type.h"
#include "elements/geometry.h"
#include "elements/value.h"
#include "elements/value_mode.h"
#include "row.h"

namespace {

constexpr int kSide = 256;  // a node's block

// dim 2, dim_divide 1, block size 8, level0 x level0 at level 0.
struct Geometry {
  uint8_t dd[2] = {1, 1}, bs[2] = {8, 8};
  std::vector<std::vector<int64_t>> rows;
  std::vector<const int64_t*> ptrs;
  MATRIX_GEOMETRY g{};
  explicit Geometry(int64_t level0) {
    for (int64_t p = level0; p >= 1; p /= 2) rows.push_back({p, p});
    for (auto& r : rows) ptrs.push_back(r.data());
    g = MATRIX_GEOMETRY{2, 0, dd, bs, ptrs.data(), static_cast<int>(rows.size())};
  }
};

const MATRIX_GEOMETRY* geometry(int64_t level0) {
  static std::map<int64_t, Geometry> made;
  auto it = made.find(level0);
  if (it == made.end()) it = made.try_emplace(level0, level0).first;
  return &it->second.g;
}

uint32_t next(uint32_t& seed) { return (seed = seed * 1103515245u + 12345u) >> 8; }

void* new_block(const MATRIX_DATA_TYPE* tp) {
  int32_t ix[2] = {kSide, kSide};
  MATRIX_ALLOC_VECTOR_PARAM p{2, ix, nullptr, nullptr};
  return mxt_alloc_vector(tp, MX_ATYPE::heap, &p, nullptr);
}

uint8_t* elements(void* v) {
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  return dh.offset;
}

// Element i of a level of random values: floating types r / 7, 64-bit
// integers within 2^61 (numpy sums four of them in 64 bits), the rest any
// bits of their width.
void random_element(const MATRIX_DATA_TYPE* tp, uint8_t* e, uint32_t& seed) {
  const uint64_t r = uint64_t{next(seed)} << 40 ^ uint64_t{next(seed)} << 20 ^ next(seed);
  if (tp == &mx_type_float_v) {
    float f = static_cast<float>(r % 100000) / 7.0f;
    std::memcpy(e, &f, 4);
  } else if (tp == &mx_type_double_v) {
    double d = static_cast<double>(r % 100000) / 7.0;
    std::memcpy(e, &d, 8);
  } else if (mxt_vector_element_size(tp) == 8) {
    int64_t v = static_cast<int64_t>(r << 3) >> 3;  // sign-extended 61 bits
    if (tp == &mx_type_uint64_v) v &= (int64_t{1} << 61) - 1;
    std::memcpy(e, &v, 8);
  } else {
    std::memcpy(e, &r, static_cast<size_t>(mxt_vector_element_size(tp)));
  }
}

// ---- Google Benchmark cases: one node

struct Blocks {
  void *parent, *child, *out;
};
const Blocks& blocks_of(const MATRIX_DATA_TYPE* tp) {
  static std::map<const MATRIX_DATA_TYPE*, Blocks> made;
  auto it = made.find(tp);
  if (it == made.end()) {
    Blocks b{new_block(tp), new_block(tp), new_block(tp)};
    uint32_t seed = 1;
    for (void* v : {b.parent, b.child, b.out})
      for (int64_t i = 0; i < int64_t{kSide} * kSide; ++i)
        random_element(tp, elements(v) + i * mxt_vector_element_size(tp), seed);
    it = made.emplace(tp, b).first;
  }
  return it->second;
}

struct Thinning {
  const char* name;
  const MATRIX_DATA_TYPE* tp;
  const char* dtype;  // numpy's ("rgb": four uint8 lanes)
};
const Thinning kThinning[] = {{"int8", &mx_type_int8_v, "i1"},     {"int16", &mx_type_int16_v, "i2"},
                              {"int32", &mx_type_int32_v, "i4"},   {"int64", &mx_type_int64_v, "i8"},
                              {"uint8", &mx_type_uint8_v, "u1"},   {"uint16", &mx_type_uint16_v, "u2"},
                              {"uint32", &mx_type_uint32_v, "u4"}, {"uint64", &mx_type_uint64_v, "u8"},
                              {"float", &mx_type_float_v, "f4"},   {"double", &mx_type_double_v, "f8"},
                              {"rgb8", &mx_type_RGB_v, "rgb"}};
const int kNodeThinning[] = {4, 5, 8, 9, 10};  // the node cases: uint8 uint16 float double rgb8

struct Difference {
  const char* name;
  const MATRIX_DATA_TYPE* tp;
  bool add;
  int mode;
  const char* dtype;
};
const Difference kDifference[] = {{"uint8 sub", &mx_type_uint8_v, false, 0, "u1"},
                                  {"uint8 sub CURVE", &mx_type_uint8_v, false, MX_MODE_CURVE, "u1"},
                                  {"uint8 add", &mx_type_uint8_v, true, 0, "u1"},
                                  {"uint8 add CURVE", &mx_type_uint8_v, true, MX_MODE_CURVE, "u1"},
                                  {"int16 sub", &mx_type_int16_v, false, 0, "i2"},
                                  {"float sub", &mx_type_float_v, false, 0, "f4"}};

// The node cases: the child at level 0 (256, 256) fills its parent's
// quarter at (128, 128); differences take the same place one level up
// (a difference needs a child above level 0).
int64_t child_dc[3] = {0, 256, 256};
int64_t diff_dc[3] = {1, 512, 512};

void BM_ThinnedAvg(benchmark::State& state) {
  const Thinning& t = kThinning[kNodeThinning[state.range(0)]];
  const Blocks& b = blocks_of(t.tp);
  for (auto _ : state) t.tp->thinned_avg(t.tp, geometry(8192), child_dc, 1, b.parent, b.child);
  state.SetLabel(t.name);
  state.SetItemsProcessed(state.iterations() * kSide * kSide);
}
BENCHMARK(BM_ThinnedAvg)->DenseRange(0, 4);

void BM_LevelDifference(benchmark::State& state) {
  const Difference& d = kDifference[state.range(0)];
  const Blocks& b = blocks_of(d.tp);
  for (auto _ : state)
    (d.add ? d.tp->v_add : d.tp->v_sub)(d.tp, geometry(8192), diff_dc, 1, d.mode, b.out, b.parent, b.child);
  state.SetLabel(d.name);
  state.SetItemsProcessed(state.iterations() * kSide * kSide);
}
BENCHMARK(BM_LevelDifference)->DenseRange(0, 5);

// ---- whole levels

double since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// numpy's side: one Python process holding its arrays, driven by lines.
//   load NAME DTYPE SIDE PATH   an array of SIDE x SIDE elements
//   thin DTYPE | diff NAME      one timed pass over the loaded arrays:
//                               answers its seconds
//   dump PATH                   the last result, written raw
const char* kNumpy = R"(
import sys, time, numpy as np
arrays, out = {}, None
curve = np.array([round((u - 127.5) ** 3 / 127.5 ** 2 + (u - 127.5)) for u in range(256)], np.int16)
inverse = np.array([max([u for u in range(256) if curve[u] <= s], default=0) for s in range(-255, 256)], np.uint8)
WIDE = {"i1": "i2", "i2": "i4", "i4": "i8", "i8": "i8", "u1": "u2", "u2": "u4", "u4": "u8", "u8": "u8",
        "f4": "f8", "f8": "f8", "rgb": "u2"}

def thinning(dt):
    a = arrays["c"]
    if dt == "rgb":
        a = a.view(np.uint8).reshape(a.shape[0], a.shape[1], 4)
    q = [a[0::2, 0::2], a[0::2, 1::2], a[1::2, 0::2], a[1::2, 1::2]]
    wide = np.dtype(WIDE[dt])
    s = np.empty(q[0].shape, wide)
    t = np.empty(q[0].shape, wide)
    res = np.empty(q[0].shape, a.dtype)
    shift = wide.itemsize * 8 - 1
    def run():
        np.add(q[0], q[1], out=s, dtype=wide)
        np.add(s, q[2], out=s)
        np.add(s, q[3], out=s)
        if wide.kind == "f":
            np.multiply(s, 0.25, out=s)
        elif wide.kind == "i":  # the quotient truncated toward zero
            np.right_shift(s, shift, out=t)
            np.bitwise_and(t, 3, out=t)
            np.add(s, t, out=s)
            np.right_shift(s, 2, out=s)
        else:
            np.right_shift(s, 2, out=s)
        np.copyto(res, s, casting="unsafe")
    return run, (lambda: res.view(arrays["c"].dtype) if dt == "rgb" else res)

def difference(name):
    p, c = arrays["p"], arrays["c"]
    res = np.empty(c.shape, c.dtype)
    phases = [(c[i::2, j::2], res[i::2, j::2]) for i in (0, 1) for j in (0, 1)]
    wide = np.empty(p.shape, np.int32 if name == "int16 sub" else np.int16)
    small = np.empty(p.shape, np.uint8)
    lo, hi = (-32768, 32767) if name == "int16 sub" else (0, 255)
    def run():
        for ci, oi in phases:
            if name == "float sub":
                np.subtract(p, ci, out=oi)
                continue
            if name == "uint8 add CURVE":
                np.take(curve, ci, out=wide)
                np.add(wide, p, out=wide)
            elif name.endswith("add"):
                np.add(p, ci, out=wide, dtype=wide.dtype)
            else:
                np.subtract(p, ci, out=wide, dtype=wide.dtype)
            if name == "uint8 sub CURVE":
                np.add(wide, 255, out=wide)
                np.take(inverse, wide, out=small)
                np.copyto(oi, small)
            else:
                np.clip(wide, lo, hi, out=wide)
                np.copyto(oi, wide, casting="unsafe")
    return run, lambda: res

last = None
for line in sys.stdin:
    line = line.strip()
    w = line.split(maxsplit=4)
    if w[0] == "load":
        dt = "u4" if w[2] == "rgb" else w[2]
        arrays[w[1]] = np.fromfile(w[4], dtype=dt).reshape(int(w[3]), int(w[3]))
        print("ok", flush=True)
    elif w[0] in ("thin", "diff"):
        if last is None or last[0] != line:
            last = (line,) + (thinning(w[1]) if w[0] == "thin" else difference(line.split(maxsplit=1)[1]))
        t = time.perf_counter()
        last[1]()
        print(time.perf_counter() - t, flush=True)
    elif w[0] == "dump":
        last[2]().tofile(w[1])
        print("ok", flush=True)
    elif w[0] == "free":
        arrays, last = {}, None
        print("ok", flush=True)
)";

class Numpy {
 public:
  explicit Numpy(const std::string& script) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      // argv[0] is the whole path: Python finds its library from it, and a
      // bare name would be looked up on the PATH, where another Python
      // (without numpy) may come first.
      execl("/usr/bin/python3", "/usr/bin/python3", script.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_ = fdopen(in[1], "w");
    from_ = fdopen(out[0], "r");
  }
  ~Numpy() {
    if (to_) std::fclose(to_);
    if (from_) std::fclose(from_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  // The answer to one command line, or empty when numpy is not there.
  std::string ask(const std::string& line) {
    if (!to_ || !from_) return {};
    std::fputs((line + "\n").c_str(), to_);
    std::fflush(to_);
    char buf[256];
    if (!std::fgets(buf, sizeof buf, from_)) return {};
    std::string s(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
  }

 private:
  pid_t pid_ = -1;
  FILE* to_ = nullptr;
  FILE* from_ = nullptr;
};

// A level held as 256 x 256 blocks, row of blocks after row of blocks.
struct Level {
  const MATRIX_DATA_TYPE* tp;
  int side;
  std::vector<void*> blocks;
  Level(const MATRIX_DATA_TYPE* t, int s) : tp(t), side(s) {
    for (int i = 0; i < (s / kSide) * (s / kSide); ++i) blocks.push_back(new_block(t));
  }
  ~Level() {
    for (void* v : blocks) std::free(v);
  }
  Level(const Level&) = delete;
  Level& operator=(const Level&) = delete;
  size_t esize() const { return static_cast<size_t>(mxt_vector_element_size(tp)); }
  size_t bytes() const { return size_t(side) * side * esize(); }
  uint8_t* at(int x, int y) {
    return elements(blocks[size_t(y / kSide) * (side / kSide) + x / kSide]) +
           (size_t(y % kSide) * kSide + x % kSide) * esize();
  }
  void fill(uint32_t seed) {
    for (int y = 0; y < side; ++y)
      for (int x = 0; x < side; ++x) random_element(tp, at(x, y), seed);
  }
  // The level as one raw array, rows in order (numpy's input).
  bool write(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = true;
    for (int y = 0; y < side; ++y)
      for (int bx = 0; bx < side / kSide; ++bx) ok = ok && std::fwrite(at(bx * kSide, y), esize(), kSide, f) == kSide;
    return std::fclose(f) == 0 && ok;
  }
  // Whether a raw array in the file equals the level.
  bool equals(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::vector<uint8_t> row(esize() * kSide);
    bool same = true;
    for (int y = 0; y < side && same; ++y)
      for (int bx = 0; bx < side / kSide && same; ++bx)
        same = std::fread(row.data(), 1, row.size(), f) == row.size() &&
               std::memcmp(row.data(), at(bx * kSide, y), row.size()) == 0;
    std::fclose(f);
    return same;
  }
};

// Seconds of a memcpy of every block of the level into one array.
double memcpy_seconds(Level& level, std::vector<uint8_t>& into) {
  const size_t block = size_t(kSide) * kSide * level.esize();
  into.resize(level.bytes());
  auto t0 = std::chrono::steady_clock::now();
  for (size_t i = 0; i < level.blocks.size(); ++i) std::memcpy(into.data() + i * block, elements(level.blocks[i]), block);
  double s = since(t0);
  benchmark::DoNotOptimize(into.data());
  return s;
}

struct Pairs {
  std::vector<double> ours, numpy, copy;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::string gbs(size_t bytes, const std::vector<double>& s) {
  char b[32];
  std::snprintf(b, sizeof b, "%.1f GB/s", static_cast<double>(bytes) / median(s) / 1e9);
  return b;
}

// Our passes and numpy's in pairs, a memcpy of the child level after each;
// pass() is ours, ask the numpy command.
Pairs run_pairs(Numpy& np, const std::string& ask, Level& child, const std::function<void()>& pass) {
  Pairs p;
  std::vector<uint8_t> copy;
  // The first touch of the results' pages is no one's work.
  pass();
  np.ask(ask);
  memcpy_seconds(child, copy);
  for (int i = 0; i < bench_row::repeats(); ++i) {
    auto t0 = std::chrono::steady_clock::now();
    pass();
    p.ours.push_back(since(t0));
    std::string answer = np.ask(ask);
    if (!answer.empty()) p.numpy.push_back(std::atof(answer.c_str()));
    p.copy.push_back(memcpy_seconds(child, copy));
  }
  if (p.numpy.size() != p.ours.size()) p.numpy.clear();
  return p;
}

void print_row(const std::string& id, const std::string& path, const std::string& ours, const std::string& peer,
               size_t bytes, const Pairs& p, const std::string& check) {
  const std::string floor = "; memcpy of the same bytes " + gbs(bytes, p.copy) + " (memory bandwidth)";
  bench_row::print(id, path, "numpy", ours + ", " + gbs(bytes, p.ours) + floor + check,
                   p.numpy.empty() ? "-" : peer + ", " + gbs(bytes, p.numpy), "in process", "ratio<1; faster than numpy",
                   p.ours,
                   p.numpy.empty() ? "missing: numpy did not answer (scripts/setup.sh installs python3-numpy)"
                                   : bench_row::times(p.numpy));
}

void levels() {
  char tmpl[] = "/tmp/pyramid_bench_XXXXXX";
  if (!mkdtemp(tmpl)) return;
  const std::string dir = tmpl;
  {
    FILE* f = std::fopen((dir + "/peer.py").c_str(), "w");
    if (!f) return;
    std::fputs(kNumpy, f);
    std::fclose(f);
  }
  Numpy np(dir + "/peer.py");
  const std::string in = dir + "/level", out = dir + "/result";
  constexpr int kLevel = 8192;

  // Thinning: an 8192 x 8192 level at level 0 into its 4096 x 4096 parents.
  for (const Thinning& t : kThinning) {
    Level child(t.tp, kLevel), parents(t.tp, kLevel / 2);
    child.fill(7);
    if (!child.write(in)) break;
    np.ask(std::string("load c ") + t.dtype + " " + std::to_string(kLevel) + " " + in);
    auto pass = [&] {
      for (int by = 0; by < kLevel / kSide; ++by)
        for (int bx = 0; bx < kLevel / kSide; ++bx) {
          int64_t dc[3] = {0, int64_t{bx} * kSide, int64_t{by} * kSide};
          t.tp->thinned_avg(t.tp, geometry(kLevel), dc, 1, parents.blocks[size_t(by / 2) * (kLevel / kSide / 2) + bx / 2],
                            child.blocks[size_t(by) * (kLevel / kSide) + bx]);
        }
    };
    Pairs p = run_pairs(np, std::string("thin ") + t.dtype, child, pass);
    std::string check;
    if (!p.numpy.empty() && np.ask("dump " + out) == "ok")
      check = parents.equals(out) ? "; numpy's result equals ours" : "; numpy's result DIFFERS";
    np.ask("free");
    print_row(std::string("pyramid.thin.") + t.name,
              std::string("pyramid: an 8192x8192 ") + t.name + " level thinned by mean to 4096x4096", "thinned_avg of 1024 child blocks into their parents",
              "slice sums into arrays made beforehand", child.bytes(), p, check);
  }

  // Differences: an 8192 x 8192 level (level 1 of 16384) against its parent level.
  for (const Difference& d : kDifference) {
    Level child(d.tp, kLevel), parent(d.tp, kLevel / 2), result(d.tp, kLevel);
    child.fill(11);
    parent.fill(13);
    if (!child.write(in) || !parent.write(in + "p")) break;
    np.ask(std::string("load c ") + d.dtype + " " + std::to_string(kLevel) + " " + in);
    np.ask(std::string("load p ") + d.dtype + " " + std::to_string(kLevel / 2) + " " + in + "p");
    auto fn = d.add ? d.tp->v_add : d.tp->v_sub;
    auto pass = [&] {
      for (int by = 0; by < kLevel / kSide; ++by)
        for (int bx = 0; bx < kLevel / kSide; ++bx) {
          int64_t dc[3] = {1, int64_t{bx} * 2 * kSide, int64_t{by} * 2 * kSide};
          const size_t i = size_t(by) * (kLevel / kSide) + bx;
          fn(d.tp, geometry(2 * kLevel), dc, 1, d.mode, result.blocks[i],
             parent.blocks[size_t(by / 2) * (kLevel / kSide / 2) + bx / 2], child.blocks[i]);
        }
    };
    Pairs p = run_pairs(np, std::string("diff ") + d.name, child, pass);
    std::string check;
    if (!p.numpy.empty() && np.ask("dump " + out) == "ok")
      check = result.equals(out) ? "; numpy's result equals ours" : "; numpy's result DIFFERS";
    np.ask("free");
    std::string id = std::string("pyramid.diff.") + d.name;
    std::replace(id.begin(), id.end(), ' ', '.');
    print_row(id, std::string("pyramid: an 8192x8192 level of differences to its parent level, ") + d.name,
              "v_" + std::string(d.add ? "add" : "sub") + " of 1024 child blocks", "the four phases on slices, into arrays made beforehand",
              child.bytes(), p, check);
  }
  std::system(("rm -rf " + dir).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  init_element_types();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  levels();
  return 0;
}
