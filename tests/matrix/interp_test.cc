// Interpolated reads, slope estimates and the inverse lookup over a real
// matrix: a file-backed 2-D matrix with the extra element per node
// (index_hem), every level filled through the element-access cache, read
// back at real coordinates and checked against scipy and numpy.
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

#include "base/alloc.h"
#include "elements/algebra.h"
#include "elements/interp.h"
#include "elements/pool.h"
#include "elements/value.h"
#include "matrix/element_cache.h"
#include "matrix/mx_file.h"
#include "matrix_test_util.h"
#include "support/temp_dir.h"

namespace {

// The channels of the test matrix.
enum Channel { kRandA, kRandB, kRandF, kInt16, kAffine0, kAffine1, kCurve0, kCurve1, kFlat, kChannels };

// Level-0 size 40 x 24 in nodes of 16 x 16 (3 x 2 nodes); every level
// halves it, 7 levels.
constexpr int64_t kWidth = 40, kHeight = 24;

// A value in [-100, 100) that depends on every argument.
double noise(int64_t ch, int64_t level, int64_t x, int64_t y) {
  uint64_t h = static_cast<uint64_t>(ch * 1000003 + level * 10007 + x * 131 + y * 7919) + 0x9E3779B97F4A7C15ull;
  h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ull;
  h = (h ^ (h >> 27)) * 0x94D049BB133111EBull;
  h ^= h >> 31;
  return static_cast<double>(h >> 11) / 9007199254740992.0 * 200.0 - 100.0;
}

// Channel ch at the element of `level` whose origin is (x, y) in finest
// units: random grids, an affine map, a smooth map with a closed inverse,
// a constant.
double value(int ch, int level, double x, double y) {
  switch (ch) {
    case kRandA:
    case kRandF: return noise(0, level, static_cast<int64_t>(x), static_cast<int64_t>(y));
    case kRandB: return noise(1, level, static_cast<int64_t>(x), static_cast<int64_t>(y));
    case kInt16: return static_cast<double>(static_cast<int64_t>(x + y) % 100);
    case kAffine0: return 2.0 * x + 0.5 * y + 3.0;
    case kAffine1: return -0.3 * x + 1.5 * y - 7.0;
    case kCurve0: return x + 0.005 * x * x;
    case kCurve1: return y * (1.0 + 0.01 * x);
    default: return 5.0;
  }
}

// A cache over every channel of m, as the agent sets one up.
struct Cache {
  explicit Cache(MATRIX* m) {
    for (int i = 0; i < kChannels; ++i) ch[i] = i;
    c.m = m;
    c.access_ch = ch;
    c.ds_len = kChannels;
    c.gn_create = c.gn_wait = 3;
    mxc_setup(&c);
  }
  ~Cache() {
    flush_mx_cache(&c, 1);
    for (int k = 0; k < c.mblk_hashsize; ++k)  // kept when no node was held
      while (MBLK* b = c.mblk_hash[k]) {
        c.mblk_hash[k] = b->next;
        d_f_ree(b);
      }
    mxc_release(&c);
  }
  MX_CACHE c{};
  int ch[kChannels];
};

// A request through cache c: the channels named in `want` go to positions
// 0, 1, .. of output buffer 0, the others are not read.
struct Request {
  Request(MX_CACHE* c, std::initializer_list<int> want) {
    for (auto& ix : data_ix) ix = {kMxcNoSlot, kMxcNoSlot};
    uint16_t x = 0;
    for (int ch : want) data_ix[ch] = {0, x++};
    p.c = c;
    p.data_ix = data_ix;
    p.data_ptrs[0] = out;
  }
  // Reads at the real point (x, y) at `level`.
  int read(double x, double y, int level) {
    xy[0] = x, xy[1] = y;
    p.inp_buf = xy;
    p.inp_level = level;
    return read_mx_ip_double(&p);
  }
  MX_CACHE_PARAM p{};
  MX_CACHE_PARAM_IX data_ix[kChannels];
  double out[kChannels] = {};
  double xy[2] = {};
};

// Writes every element of every node of every level, the extra element of
// each node included (it holds the neighbour's first element).
void fill(MATRIX* m) {
  Cache k(m);
  MX_CACHE_PARAM_IX ix[kChannels];
  double d[kChannels];
  float f[kChannels];
  int16_t s[kChannels];
  MX_CACHE_PARAM p{};
  p.c = &k.c;
  p.data_ix = ix;
  p.data_ptrs[1] = s;
  p.data_ptrs[2] = f;
  p.data_ptrs[3] = d;
  for (int ch = 0; ch < kChannels; ++ch)
    ix[ch] = {static_cast<uint16_t>(ch == kInt16 ? 1 : ch == kRandF ? 2 : 3), static_cast<uint16_t>(ch)};
  for (int level = 0; level < m->total_levels; ++level) {
    const int64_t w = int64_t{1} << level;
    for (int64_t oy = 0; oy < m->pixel_size_list[level][1]; oy += 16)
      for (int64_t ox = 0; ox < m->pixel_size_list[level][0]; ox += 16)
        for (int j = 0; j <= 16; ++j)
          for (int i = 0; i <= 16; ++i) {
            int64_t dc[3] = {level, ox * w, oy * w};
            int ofs[2] = {i, j};
            for (int ch = 0; ch < kChannels; ++ch) {
              d[ch] = value(ch, level, static_cast<double>((ox + i) * w), static_cast<double>((oy + j) * w));
              f[ch] = static_cast<float>(d[ch]);
              s[ch] = static_cast<int16_t>(d[ch]);
            }
            p.dc = dc;
            p.ofs = ofs;
            write_mx_cache(&p);  // positions past a cut node's extent are refused
          }
  }
}

// Ends the test binary when the scope lasts longer than `seconds`: a
// search that does not end shows as a failure, not as a hung suite.
class Deadline {
 public:
  explicit Deadline(int seconds)
      : watch_([this, seconds] {
          std::unique_lock<std::mutex> l(mu_);
          if (!cv_.wait_for(l, std::chrono::seconds(seconds), [this] { return done_; })) {
            std::fprintf(stderr, "deadline of %d s passed\n", seconds);
            std::_Exit(1);
          }
        }) {}
  ~Deadline() {
    {
      std::lock_guard<std::mutex> l(mu_);
      done_ = true;
    }
    cv_.notify_one();
    watch_.join();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread watch_;
};

class InterpolatedRead : public MatrixTest {
 protected:
  static void SetUpTestSuite() {
    ZuThreadScope scope("interp fixture");
    dir_ = new TempDir("interp");
    MxSpec s;
    s.dd = {1, 1};
    s.bs = {4, 4};
    s.ps = {kWidth, kHeight};
    s.flags = kMxIndexHem;
    for (int ch = 0; ch < kChannels; ++ch) {
      MATRIX_DATA_TYPE* tp = ch == kRandF ? &mx_type_float_v : ch == kInt16 ? &mx_type_int16_v : &mx_type_double_v;
      s.channels.push_back({tp, kMxChFile, nullptr, 0});
    }
    ASSERT_EQ(open_mx_file(&m_, dir_->at("ip.mx"), s), 0);
    fill(m_);
  }
  static void TearDownTestSuite() {
    ZuThreadScope scope("interp fixture");
    close_matrix(m_);
    delete dir_;
  }
  static MATRIX* m_;
  static TempDir* dir_;
};

MATRIX* InterpolatedRead::m_ = nullptr;
TempDir* InterpolatedRead::dir_ = nullptr;

std::string hexes(const std::vector<double>& v) {
  std::string s;
  char buf[40];
  for (double d : v) s += (std::snprintf(buf, sizeof buf, " %a", d), buf);
  return s;
}

// The level's grid of channel ch, x fastest.
std::vector<double> grid(MATRIX* m, int ch, int level) {
  std::vector<double> g;
  const int64_t w = int64_t{1} << level;
  for (int64_t j = 0; j < m->pixel_size_list[level][1]; ++j)
    for (int64_t i = 0; i < m->pixel_size_list[level][0]; ++i)
      g.push_back(value(ch, level, static_cast<double>(i * w), static_cast<double>(j * w)));
  return g;
}

bool near(double got, double want, double tol) { return std::fabs(got - want) <= tol * std::max(1.0, std::fabs(want)); }

}  // namespace

// Random points (and points on cell origins) of levels 0 and 2, across
// node boundaries: values against scipy's RegularGridInterpolator, forward
// differences against np.diff, interpolated slopes against the slopes of
// the cell's edges, the float twins within single precision, and the
// batch read equal to the single reads bit for bit.
TEST_F(InterpolatedRead, MatchesScipy) {
  Cache k(m_);
  std::mt19937 rng(130);
  for (int level : {0, 2}) {
    const int64_t w = int64_t{1} << level, nx = m_->pixel_size_list[level][0], ny = m_->pixel_size_list[level][1];
    std::vector<double> pts;
    // Below the last grid line, where scipy's grid ends.
    std::uniform_real_distribution<float> ux(0.0f, static_cast<float>((nx - 1) * w) - 0.01f),
        uy(0.0f, static_cast<float>((ny - 1) * w) - 0.01f);
    for (int n = 0; n < 150; ++n) {
      float x = ux(rng), y = uy(rng);
      if (n % 10 == 0) x = std::floor(x / w) * w, y = std::floor(y / w) * w;  // a cell origin
      pts.push_back(x), pts.push_back(y);
    }
    TempDir tmp("interpref");
    std::string in = tmp.file("in.txt", std::to_string(w) + " " + std::to_string(nx) + " " + std::to_string(ny) +
                                            "\nA" + hexes(grid(m_, kRandA, level)) + "\nB" +
                                            hexes(grid(m_, kRandB, level)) + "\nP" + hexes(pts) + "\n");
    std::vector<std::string> ref = run_lines("/usr/bin/python3 " + std::string(test_path("interp_ref")) + " " + in);
    ASSERT_EQ(ref.size(), pts.size() / 2) << "is python3-scipy installed (scripts/setup.sh)?";
    Request r(&k.c, {kRandA, kRandB});
    Request rf(&k.c, {kRandF});
    std::vector<double> single;
    for (size_t n = 0; n < ref.size(); ++n) {
      std::vector<double> want;
      for (const char* s = ref[n].c_str(); *s;) want.push_back(std::strtod(s, const_cast<char**>(&s)));
      const double x = pts[2 * n], y = pts[2 * n + 1];
      ASSERT_EQ(r.read(x, y, level), 0) << x << "," << y;
      EXPECT_TRUE(near(r.out[0], want[0], 1e-12) && near(r.out[1], want[1], 1e-12)) << x << "," << y;
      single.push_back(r.out[0]), single.push_back(r.out[1]);
      for (auto [diff, base] : {std::pair{&read_mx_ipdiff_double, 2}, {read_mx_ipdiff_double2, 6}}) {
        void* j = diff(&r.p);
        ASSERT_NE(j, nullptr);
        MATRIX_DH_SET dh;
        get_matrix_dh_set(&dh, j);
        ASSERT_EQ(std::pair(dh.ix[0], dh.ix[1]), std::pair(2, 2));  // (dim, wanted channels)
        const auto* e = reinterpret_cast<const double*>(dh.offset);
        for (int i = 0; i < 4; ++i) EXPECT_TRUE(near(e[i], want[base + i], 1e-12)) << base << " " << x << "," << y;
        xx_mxc_free(&k.c, j, __FILE__, __LINE__);
      }
      float fxy[2] = {static_cast<float>(x), static_cast<float>(y)};
      rf.p.inp_buf = fxy;
      rf.p.inp_level = level;
      float fout = 0;
      rf.p.data_ptrs[0] = &fout;
      ASSERT_EQ(read_mx_ip_float(&rf.p), 0);
      EXPECT_TRUE(near(fout, want[0], 1e-5)) << fout << " " << want[0];
      // The float slopes read the next cell too, which must lie in the node.
      const int64_t cx = static_cast<int64_t>(x) / w, cy = static_cast<int64_t>(y) / w;
      if (cx % 16 < 15 && cy % 16 < 15 && cx < nx - 2 && cy < ny - 2) {
        void* j = read_mx_ipdiff_float(&rf.p);
        ASSERT_NE(j, nullptr);
        MATRIX_DH_SET dh;
        get_matrix_dh_set(&dh, j);
        const auto* e = reinterpret_cast<const float*>(dh.offset);
        EXPECT_TRUE(std::fabs(e[0] - want[6]) < 2e-3 && std::fabs(e[1] - want[7]) < 2e-3) << e[0] << " " << want[6];
        xx_mxc_free(&k.c, j, __FILE__, __LINE__);
      }
    }
    // The same points as one batch.
    std::vector<double> xs, ys;
    for (size_t n = 0; n < pts.size(); n += 2) xs.push_back(pts[n]), ys.push_back(pts[n + 1]);
    double* coords[2] = {xs.data(), ys.data()};
    MX_IP_V batch{static_cast<int>(xs.size()), nullptr, coords};
    MX_CACHE_PARAM bp = r.p;
    bp.inp_buf = &batch;
    bp.inp_level = level;
    bp.ret_buf = nullptr;
    testing::internal::CaptureStderr();
    ASSERT_EQ(read_mx_ip_double_v(&bp), 0);
    testing::internal::GetCapturedStderr();
    auto* out = static_cast<MX_IP_V*>(bp.ret_buf);
    ASSERT_NE(out, nullptr);
    for (size_t n = 0; n < xs.size(); ++n)
      EXPECT_TRUE(out->data[0][n] == single[2 * n] && out->data[1][n] == single[2 * n + 1]) << n;
    xx_mxc_free(&k.c, out, __FILE__, __LINE__);
  }
}

// The worked 2-D example, a point on a cell origin, the corner memory
// (a second read in the cell reads nothing; another level reads again),
// the batch's counters, and data changed after the corners were read:
// through the same cache, and through another cache while the first had
// let the node go.
TEST_F(InterpolatedRead, CornerMemory) {
  Cache k(m_);
  Request r(&k.c, {kRandA});
  auto v = [](int64_t x, int64_t y) { return value(kRandA, 0, static_cast<double>(x), static_cast<double>(y)); };
  ASSERT_EQ(r.read(0.25, 0.5, 0), 0);
  EXPECT_DOUBLE_EQ(r.out[0], 0.375 * v(0, 0) + 0.125 * v(1, 0) + 0.375 * v(0, 1) + 0.125 * v(1, 1));
  ASSERT_EQ(r.read(17, 5, 0), 0);
  EXPECT_EQ(r.out[0], v(17, 5));  // bit for bit
  const int64_t hits = k.c.hit_cnt + k.c.miss_hit_cnt;
  ASSERT_EQ(r.read(17.75, 5.5, 0), 0);
  EXPECT_EQ(k.c.hit_cnt + k.c.miss_hit_cnt, hits) << "the corners were read again";
  ASSERT_EQ(r.read(17.75, 5.5, 1), 0);
  EXPECT_GT(k.c.hit_cnt + k.c.miss_hit_cnt, hits);

  // Three points in one cell: one cell read (the first point), two reuses.
  double xs[3] = {3.1, 3.5, 3.9}, ys[3] = {2.2, 2.3, 2.9};
  double* coords[2] = {xs, ys};
  MX_IP_V batch{3, nullptr, coords};
  double o0[3], o1[3];
  double* outs[2] = {o0, o1};
  MX_IP_V results{3, nullptr, outs};
  MX_CACHE_PARAM bp = r.p;
  bp.inp_buf = &batch;
  bp.ret_buf = &results;
  testing::internal::CaptureStderr();
  ASSERT_EQ(read_mx_ip_double_v(&bp), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "vec-1\nvec-2 3 :: 1 0 0 0\nvec-3\n");

  // The corner (18, 6) of the cell at (17, 5) changes.
  auto write = [](MX_CACHE* c, double d) {
    MX_CACHE_PARAM_IX ix[kChannels];
    for (auto& e : ix) e = {kMxcNoSlot, kMxcNoSlot};
    ix[kRandA] = {0, 0};
    int64_t dc[3] = {0, 18, 6};
    MX_CACHE_PARAM p{};
    p.c = c;
    p.dc = dc;
    p.data_ix = ix;
    p.data_ptrs[0] = &d;
    ASSERT_EQ(write_mx_cache(&p), 0);
  };
  auto corner_weight = [&](double d) { return 0.75 * 0.5 * (d - v(18, 6)); };
  ASSERT_EQ(r.read(17.75, 5.5, 0), 0);
  const double before = r.out[0];
  write(&k.c, v(18, 6) + 8.0);
  ASSERT_EQ(r.read(17.75, 5.5, 0), 0);
  EXPECT_DOUBLE_EQ(r.out[0], before + corner_weight(v(18, 6) + 8.0));
  flush_mx_cache(&k.c, 0);
  {
    Cache other(m_);
    write(&other.c, v(18, 6) - 4.0);
  }
  ASSERT_EQ(r.read(17.75, 5.5, 0), 0);
  EXPECT_DOUBLE_EQ(r.out[0], before + corner_weight(v(18, 6) - 4.0));
  write(&k.c, v(18, 6));

  // Under the debug switch each corner's values go to the standard error
  // stream, read ("-") or remembered ("-1+").
  _mx_deb_flag = 1;
  testing::internal::CaptureStderr();
  r.read(30.5, 20.5, 0);
  r.read(30.25, 20.75, 0);
  std::string trace = testing::internal::GetCapturedStderr();
  _mx_deb_flag = 0;
  EXPECT_EQ(trace.rfind("- ", 0), 0u) << trace;
  EXPECT_EQ(std::count(trace.begin(), trace.end(), '\n'), 8);
  EXPECT_NE(trace.find("-1+ "), std::string::npos) << trace;

  // With no channel wanted the slopes have no rows.
  Request none(&k.c, {});
  none.p.inp_buf = none.xy;
  void* j = read_mx_ipdiff_double(&none.p);
  ASSERT_NE(j, nullptr);
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, j);
  EXPECT_EQ(std::pair(dh.ix[0], dh.ix[1]), std::pair(2, 0));
  xx_mxc_free(&k.c, j, __FILE__, __LINE__);

  // A complete flush drops the record also when no node is held.
  ASSERT_NE(k.c.user_header, nullptr);
  flush_mx_cache(&k.c, 0);
  flush_mx_cache(&k.c, 1);
  EXPECT_EQ(k.c.user_header, nullptr);
}

// Requests the reads refuse, each before anything is read or written: the
// output stays as it was and the corner memory is not touched.
TEST_F(InterpolatedRead, MalformedRequestsAreRefused) {
  Cache k(m_);
  const double nan = std::nan(""), inf = INFINITY;
  struct Case {
    const char* what;
    std::function<void(Request&)> change;
    bool point_only = false;  // the slopes and the batch need no output buffer
  } cases[] = {
      {"output buffer 1", [](Request& r) { r.data_ix[kRandA].p = 1; }},
      {"position past the channels", [](Request& r) { r.data_ix[kRandA].x = kChannels; }},
      {"an int16 channel", [](Request& r) { r.data_ix[kInt16] = {0, 1}; }},
      {"a float channel", [](Request& r) { r.data_ix[kRandF] = {0, 1}; }},
      {"no output buffer", [](Request& r) { r.p.data_ptrs[0] = nullptr; }, true},
      {"no channel list", [](Request& r) { r.p.data_ix = nullptr; }},
      {"no cache", [](Request& r) { r.p.c = nullptr; }},
      {"NaN x", [nan](Request& r) { r.xy[0] = nan; }},
      {"infinite y", [inf](Request& r) { r.xy[1] = inf; }},
      {"negative x", [](Request& r) { r.xy[0] = -0.5; }},
      {"x of 2^62", [](Request& r) { r.xy[0] = 4611686018427387904.0; }},
      {"x past the matrix", [](Request& r) { r.xy[0] = kWidth; }},
      {"y past level 2", [](Request& r) { r.xy[1] = 24, r.p.inp_level = 2; }},
      {"level -1", [](Request& r) { r.p.inp_level = -1; }},
      {"level 7", [](Request& r) { r.p.inp_level = 7; }},
  };
  for (const Case& c : cases) {
    Request r(&k.c, {kRandA});
    r.xy[0] = 3.5, r.xy[1] = 2.5;
    r.p.inp_buf = r.xy;
    c.change(r);
    r.out[0] = r.out[1] = -7.0;
    EXPECT_EQ(read_mx_ip_double(&r.p), -1) << c.what;
    EXPECT_TRUE(r.out[0] == -7.0 && r.out[1] == -7.0) << c.what;
    if (c.point_only) continue;
    EXPECT_EQ(read_mx_ipdiff_double(&r.p), nullptr) << c.what;
    EXPECT_EQ(read_mx_ipdiff_double2(&r.p), nullptr) << c.what;
    double xs[1] = {r.xy[0]}, ys[1] = {r.xy[1]};
    double* coords[2] = {xs, ys};
    MX_IP_V batch{1, nullptr, coords};
    r.p.inp_buf = &batch;
    EXPECT_EQ(read_mx_ip_double_v(&r.p), -1) << c.what;
    EXPECT_EQ(r.p.ret_buf, nullptr) << c.what;
  }
  // A point from a dim code: negative coordinates and levels are refused.
  Request r(&k.c, {kRandA});
  for (auto dc : {std::array<int64_t, 3>{0, -1, 2}, {0, 3, -16}, {-1, 3, 2}, {7, 3, 2}}) {
    r.p.dc = dc.data();
    r.p.inp_level = static_cast<int>(dc[0]);
    EXPECT_EQ(read_mx_ip_double(&r.p), -1) << dc[1] << "," << dc[2];
    EXPECT_EQ(read_mx_ipdiff_double(&r.p), nullptr) << dc[1] << "," << dc[2];
  }
  // The float reads take float channels only, and refuse what the double
  // ones refuse.
  Request rf(&k.c, {kRandA});
  float fxy[2] = {3.5f, -1.0f};
  rf.p.inp_buf = fxy;
  EXPECT_EQ(read_mx_ip_float(&rf.p), -1);
  Request rg(&k.c, {kRandF});
  rg.p.inp_buf = fxy;
  EXPECT_EQ(read_mx_ip_float(&rg.p), -1);
  EXPECT_EQ(read_mx_ipdiff_float(&rg.p), nullptr);
  fxy[1] = std::nanf("");
  EXPECT_EQ(read_mx_ip_float(&rg.p), -1);
}

namespace {

// An inverse lookup over two channels of the test matrix.
struct Lookup {
  Lookup(MX_CACHE* c, int ch0, int ch1, std::array<double, 9> avg) : r(c, {ch0, ch1}) {
    ret = double_matrix(1, 2), target = double_matrix(1, 2), model = double_matrix(3, 3);
    std::copy(avg.begin(), avg.end(), elems(model));
    r.p.ret_buf = ret;
    r.p.inp_buf = target;
    r.p.avg_mtx = model;
    r.p.tolerance = 0.01;
    r.p.try_avg = 5.0;
  }
  ~Lookup() {
    for (void* v : {ret, target, model}) mxt_free_data(&mx_type_double_v, v);
  }
  static void* double_matrix(int32_t cols, int32_t rows) {
    const int32_t ix[2] = {cols, rows};
    MATRIX_ALLOC_VECTOR_PARAM vp{2, ix, nullptr, nullptr};
    return mxt_alloc_vector(&mx_type_double_v, MX_ATYPE::tagged, &vp, nullptr);
  }
  static double* elems(void* v) {
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, v);
    return reinterpret_cast<double*>(dh.offset);
  }
  // Looks for y from `start` at `level`: newton_status.
  int run(std::array<double, 2> start, std::array<double, 2> y, int level) {
    std::copy(start.begin(), start.end(), elems(ret));
    std::copy(y.begin(), y.end(), elems(target));
    r.p.inp_level = level;
    Deadline d(10);
    EXPECT_EQ(matrix_newton_double(&r.p), 0);
    return r.p.newton_status;
  }
  double distance(std::array<double, 2> x) {
    const double* e = elems(ret);
    return std::hypot(e[0] - x[0], e[1] - x[1]);
  }
  Request r;
  void *ret, *target, *model;
};

}  // namespace

// Targets of an affine map and of a smooth map are found within the
// tolerance of their analytic inverses, from several starts and levels;
// the value vector may list the channels in another order than the cache.
TEST_F(InterpolatedRead, LookupFindsTheInverse) {
  Cache k(m_);
  Lookup affine(&k.c, kAffine0, kAffine1, {2, 0.5, 3, -0.3, 1.5, -7, 0, 0, 1});
  // The least-squares affine fit of the smooth map over the matrix.
  Lookup curve(&k.c, kCurve0, kCurve1, {1.2, 0, -4.0 / 3.0, 0.12, 1.2, -2.4, 0, 0, 1});
  Lookup swapped(&k.c, kAffine0, kAffine1, {-0.3, 1.5, -7, 2, 0.5, 3, 0, 0, 1});
  swapped.r.data_ix[kAffine0].x = 1, swapped.r.data_ix[kAffine1].x = 0;
  // Newton steps are not bounded by the matrix: a target near its edge,
  // looked for from afar, can lead a step out of it, where the affine model
  // is the only guide (LookupGivesUp). These lie inside enough.
  for (auto x : {std::array{13.3, 7.7}, {2.25, 19.5}, {30.6, 4.1}, {20.0, 12.0}}) {
    for (auto [start, level] : {std::pair{std::array{20.0, 12.0}, 0}, {std::array{1.0, 1.0}, 3}, {x, 0}}) {
      EXPECT_LT(affine.run(start, {value(kAffine0, 0, x[0], x[1]), value(kAffine1, 0, x[0], x[1])}, level), 3);
      EXPECT_LE(affine.distance(x), 0.01) << x[0] << "," << x[1];
      EXPECT_LT(swapped.run(start, {value(kAffine1, 0, x[0], x[1]), value(kAffine0, 0, x[0], x[1])}, level), 3);
      EXPECT_LE(swapped.distance(x), 0.01) << x[0] << "," << x[1];
      EXPECT_LT(curve.run(start, {value(kCurve0, 0, x[0], x[1]), value(kCurve1, 0, x[0], x[1])}, level), 3);
      EXPECT_LE(curve.distance(x), 0.01) << x[0] << "," << x[1];
      EXPECT_EQ(curve.r.p.inp_level, 0);
      EXPECT_LT(curve.r.p.result_tolerance, 0.01);
    }
  }
  // The step limit: two steps, then given up.
  affine.r.p.try_max = 1;
  EXPECT_EQ(affine.run({1.0, 1.0}, {50, 20}, 3), 3);
}

// Lookups that cannot succeed end with newton_status 3 in bounded time: a
// target outside the map's range, slopes and model both singular, and
// malformed requests (refused at once with -1).
TEST_F(InterpolatedRead, LookupGivesUp) {
  Cache k(m_);
  Lookup far(&k.c, kAffine0, kAffine1, {2, 0.5, 3, -0.3, 1.5, -7, 0, 0, 1});
  EXPECT_EQ(far.run({20, 12}, {1000, -500}, 0), 3);
  EXPECT_GT(far.r.p.try_avg, 5.0);
  Lookup flat(&k.c, kAffine0, kFlat, {0, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(flat.run({20, 12}, {50, 5}, 0), 3);

  struct Case {
    const char* what;
    std::function<void(Lookup&)> change;
  } cases[] = {
      {"tolerance 0", [](Lookup& l) { l.r.p.tolerance = 0; }},
      {"NaN tolerance", [](Lookup& l) { l.r.p.tolerance = std::nan(""); }},
      {"one channel", [](Lookup& l) { l.r.data_ix[kAffine1] = {kMxcNoSlot, kMxcNoSlot}; }},
      {"three channels", [](Lookup& l) { l.r.data_ix[kCurve0] = {0, 2}; }},
      {"one position twice", [](Lookup& l) { l.r.data_ix[kAffine1].x = 0; }},
      {"a 3 x 3 start", [](Lookup& l) { l.r.p.ret_buf = l.model; }},
      {"a 3 x 3 target", [](Lookup& l) { l.r.p.inp_buf = l.model; }},
      {"a (1, 2) model", [](Lookup& l) { l.r.p.avg_mtx = l.target; }},
      {"a negative step limit", [](Lookup& l) { l.r.p.try_max = -1; }},
      {"level 7", [](Lookup& l) { l.r.p.inp_level = 7; }},
  };
  for (const Case& c : cases) {
    Lookup l(&k.c, kAffine0, kAffine1, {2, 0.5, 3, -0.3, 1.5, -7, 0, 0, 1});
    c.change(l);
    l.r.p.newton_status = 0;
    const double before = Lookup::elems(l.ret)[0];
    EXPECT_EQ(matrix_newton_double(&l.r.p), -1) << c.what;
    EXPECT_EQ(l.r.p.newton_status, 3) << c.what;
    EXPECT_EQ(matrix_newton_double_loop(&l.r.p, 0, 0.0), -1.0) << c.what;
    EXPECT_EQ(Lookup::elems(l.ret)[0], before) << c.what;
  }
}

// The grid search: a spacing below one unit leaves the point where it is;
// a huge starting spacing still ends (at most 64 halvings); a moderate one
// brings the point to within a grid step of the target.
TEST_F(InterpolatedRead, GridSearch) {
  Cache k(m_);
  Lookup l(&k.c, kAffine0, kAffine1, {2, 0.5, 3, -0.3, 1.5, -7, 0, 0, 1});
  const std::array x{13.3, 7.7};
  auto search = [&l, x](std::array<double, 2> start, double tr) {
    std::copy(start.begin(), start.end(), Lookup::elems(l.ret));
    const double y[2] = {value(kAffine0, 0, x[0], x[1]), value(kAffine1, 0, x[0], x[1])};
    std::copy(y, y + 2, Lookup::elems(l.target));
    Deadline d(10);
    generate_rand(&l.r.p, tr);
  };
  search({10, 10}, 2.0);
  EXPECT_EQ(l.distance({10, 10}), 0.0);
  EXPECT_GT(l.r.p.result_y_tolerance, 0.0);
  search({10, 10}, 1e30);
  EXPECT_EQ(l.distance({10, 10}), 0.0);
  search({10, 10}, 20.0);
  EXPECT_LT(l.distance(x), 1.0);
  EXPECT_GE(l.r.p.result_y_tolerance, 0.0);
  search({-50, 10}, 2.0);  // nothing around it can be read
  EXPECT_EQ(l.r.p.result_y_tolerance, -1.0);
}
