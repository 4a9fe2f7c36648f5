// The matrix file from the outside: a new file's records, scripts, a round
// trip through the element-access cache, node storage and the stored-node
// ring, the closer, every opening outcome (files that must stay unchanged
// compared byte for byte), and writers killed at random moments. Every file
// a test leaves is checked by validate_mx.py.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <mutex>
#include <random>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/log_hook.h"
#include "base/tick.h"
#include "elements/value.h"
#include "matrix/dim_code.h"
#include "matrix/element_cache.h"
#include "matrix/mx_file.h"
#include "matrix/node.h"
#include "matrix_test_util.h"
#include "runtime/call_lock.h"
#include "runtime/interp.h"
#include "support/child.h"
#include "support/runtime/interpreters.h"
#include "support/runtime/lock_service.h"
#include "support/temp_dir.h"
#include "text/convert.h"

namespace {

using Code = std::vector<int64_t>;

MX_FILE_WORK* work(MATRIX* m) { return static_cast<MX_FILE_WORK*>(m->file_work); }

// A 2-D matrix of 10 x 7 in 4 x 4 nodes: a scalar uint8 with default 7,
// then uint8, uint32 and rgb8 vectors, all kept in the file.
MxSpec vectors_spec() {
  static const uint8_t seven = 7;
  MxSpec s;
  s.dd = {1, 1};
  s.bs = {2, 2};
  s.ps = {10, 7};
  for (MATRIX_DATA_TYPE* tp : {&mx_type_uint8, &mx_type_uint8_v, &mx_type_uint32_v, &mx_type_RGB_v})
    s.channels.push_back({tp, kMxChFile, tp == &mx_type_uint8 ? const_cast<uint8_t*>(&seven) : nullptr, 0});
  return s;
}

// A 1-D matrix of 16 int8 in nodes of 4, kept in the file.
MxSpec int8_row_spec() {
  MxSpec s;
  s.dim = 1;
  s.dd = {1};
  s.bs = {2};
  s.ps = {16};
  s.channels = {{&mx_type_int8, kMxChFile, nullptr, 0}};
  return s;
}

// A cache over every channel of m; vector runs of channel i go through
// bufs[i] (x = 65535 where bufs[i] is null).
struct Cache {
  Cache(MATRIX* m, int channels) : ch(channels), ix(channels) {
    c.m = m;
    for (int i = 0; i < channels; ++i) ch[i] = i;
    c.access_ch = ch.data();
    c.ds_len = channels;
    c.gn_create = c.gn_wait = 3;
    mxc_setup(&c);
    p.c = &c;
    p.data_ix = ix.data();
  }
  ~Cache() {
    flush_mx_cache(&c, 1);
    mxc_release(&c);
  }
  int run(Code dc, std::vector<void*> bufs, int len, bool write) {
    slots = bufs;
    for (size_t i = 0; i < bufs.size(); ++i) {
      ix[i] = bufs[i] ? MX_CACHE_PARAM_IX{static_cast<uint16_t>(i < 4 ? i : 0), 0} : MX_CACHE_PARAM_IX{0, kMxcNoSlot};
      p.data_ptrs[i < 4 ? i : 0] = &slots[i];
    }
    p.dc = dc.data();
    p.vector_len = len;
    return write ? write_mx_cache_vector(&p) : read_mx_cache_vector(&p);
  }
  MX_CACHE c{};
  MX_CACHE_PARAM p{};
  std::vector<int> ch;
  std::vector<MX_CACHE_PARAM_IX> ix;
  std::vector<void*> slots;
};

Bytes file_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

void put_bytes(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(b.data()), b.size());
}

// load_matrix_header's outcome for the file, the matrix closed again.
int outcome(const std::string& path, int oflags = O_RDWR) {
  ZuThreadScope scope("outcome");
  MATRIX* m = open_matrix(nullptr, l_string(std_cm, path.c_str()), nullptr, nullptr, nullptr);
  int r = load_matrix_header(m, oflags, 0644);
  MATRIX_PARAM p{};
  p.close_file = close_matrix_file;
  set_matrix_param(m, &p);
  close_matrix(m);
  return r;
}

// The node at dc waited for (and unlocked again).
MATRIX_NODE* node(MATRIX* m, Code dc) {
  int err = 0;
  MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc.data(), 0);
  EXPECT_TRUE(n && err == 0) << err;
  if (n) unlock_node(n, nullptr);
  return n;
}

// Stores v into scalar channel ch of n, marking the node changed.
void set_scalar(MATRIX* m, Code dc, int ch, int8_t v) {
  int err = 0;
  MATRIX_NODE* n = nullptr;
  auto* d = static_cast<int8_t*>(get_matrix_node_channel(&err, &n, m, dc.data(), ch, 0, 0, nullptr, 0));
  ASSERT_TRUE(d) << err;
  *d = v;
  matrix_node_channel_unlock(n, 1);
}

class MxFile : public MatrixTest {
 protected:
  std::string at(const char* name) { return dir_.at(name); }
  TempDir dir_{"mxfile"};
};

}  // namespace

// A new file: header, default datum (8-byte body for one byte), subheader
// and tree root in that order with an empty ring; scripts rewritten in
// place at the same length and moved at another; vectors of three types
// written through the cache, closed, reopened and read back as written.
TEST_F(MxFile, NewFileScriptsAndRoundTrip) {
  std::string path = at("a.mx");
  MATRIX* m = nullptr;
  ASSERT_EQ(open_mx_file(&m, path, vectors_spec()), 0);
  ASSERT_EQ(mx_file_sync(m), 0);
  EXPECT_EQ(mx_records(path), "600/88 602/8 601/896 101/12");
  EXPECT_EQ(work(m)->subheader.cache_next, work(m)->subheader_fofs);

  const char* v1[] = {"(a b)", nullptr};
  const char* v2[] = {"(c ", "d)", nullptr};
  const char* v3[] = {"(c d e f)", nullptr};
  const char* const* cals[kMxScriptSlots] = {};
  int64_t before = 0;
  cals[6] = v1;  // behind slot 5's record: a record that moves gets a new place
  for (auto [text, moves] : {std::pair{v1, true}, {v2, false}, {v3, true}}) {
    cals[5] = text;
    ASSERT_EQ(save_mode_cal(m, 1, cals, nullptr), 0);
    int64_t now = work(m)->subheader.mode_cal_fofs[1][5];
    EXPECT_EQ(now != before, moves) << text[0];
    before = now;
  }
  {
    ZuThreadScope scope("scripts");
    ZU_SEXP* back[kMxScriptSlots];
    int pri[kMxScriptSlots];
    ASSERT_EQ(load_mode_cal(back, pri, m, 1), 0);
    EXPECT_EQ(list_length(car(back[5])), 4);
    EXPECT_EQ(back[4], nullptr);
    EXPECT_EQ(load_mode_cal(back, pri, m, 3), -1);
  }

  // Rows of the model, and one coarser point through the point form.
  std::vector<std::vector<uint8_t>> u8(7, std::vector<uint8_t>(10));
  std::vector<std::vector<uint32_t>> u32(7, std::vector<uint32_t>(10)), rgb = u32;
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 10; ++x) {
      u8[y][x] = static_cast<uint8_t>(x * 16 + y);
      u32[y][x] = 100000u * y + x;
      rgb[y][x] = 0x01020300u * (x + 1) + y;
    }
  {
    Cache c(m, 4);
    for (int y = 0; y < 7; ++y)
      ASSERT_EQ(c.run({0, 0, y}, {nullptr, u8[y].data(), u32[y].data(), rgb[y].data()}, 10, true), 10);
    uint8_t seen[4] = {};
    c.p.data_ptrs[0] = seen;
    c.ix[0] = {0, 0};
    c.ix[1] = c.ix[2] = c.ix[3] = {0, kMxcNoSlot};
    Code top = {2, 9, 6};
    c.p.dc = top.data();
    ASSERT_EQ(read_mx_cache(&c.p), 0);
    EXPECT_EQ(seen[0], 7);  // the scalar's default
  }
  close_matrix(m);
  ASSERT_EQ(open_mx_file(&m, path, {}), 0);
  {
    Cache c(m, 4);
    for (int y = 0; y < 7; ++y) {
      std::vector<uint8_t> a(10);
      std::vector<uint32_t> b(10), d(10);
      ASSERT_EQ(c.run({0, 0, y}, {nullptr, a.data(), b.data(), d.data()}, 10, false), 10);
      EXPECT_EQ(a, u8[y]);
      EXPECT_EQ(b, u32[y]);
      EXPECT_EQ(d, rgb[y]);
    }
  }
  close_matrix(m);
  EXPECT_EQ(mx_validate({path}), "");
}

// A stored script that cannot be read (its record gone, its text cut in a
// form) fails the reading of its mode with -129 and no slot filled; the
// other modes still read.
TEST_F(MxFile, UnreadableStoredScripts) {
  std::string path = at("s.mx");
  MATRIX* m = nullptr;
  ASSERT_EQ(open_mx_file(&m, path, vectors_spec()), 0);
  const char* fetch[] = {"(fetch it)", nullptr};
  const char* save[] = {"(save [here] it)", nullptr};
  const char* const* cals[kMxScriptSlots] = {};
  cals[3] = fetch;
  cals[21] = save;
  ASSERT_EQ(save_mode_cal(m, 1, cals, nullptr), 0);
  ASSERT_EQ(save_mode_cal(m, 2, cals, nullptr), 0);
  ZuThreadScope scope("scripts");
  ZU_SEXP* back[kMxScriptSlots];
  int64_t& slot = work(m)->subheader.mode_cal_fofs[1][21];
  int64_t kept = slot;
  slot = work(m)->header_fofs;
  EXPECT_EQ(load_mode_cal(back, nullptr, m, 1), kMxInvalidFile);
  EXPECT_EQ(std::count(back, back + kMxScriptSlots, nullptr), kMxScriptSlots);
  slot = kept;
  close_matrix(m);

  // "[here]" becomes "[here)": the form no longer ends.
  Bytes b = file_bytes(path);
  auto text = std::search(b.begin(), b.end(), save[0], save[0] + 16);
  ASSERT_NE(text, b.end());
  text[11] = ')';
  put_bytes(path, b);
  ASSERT_EQ(open_mx_file(&m, path, {}), 0);
  for (int mode : {1, 2}) {
    EXPECT_EQ(load_mode_cal(back, nullptr, m, mode), mode == 1 ? kMxInvalidFile : 0) << mode;
    EXPECT_EQ(back[3] == nullptr, mode == 1) << mode;
  }
  close_matrix(m);
}

// Channels 2 and 5 of a node chain 2 -> 5; with the ring at its limit a
// new node removes the least recently loaded one with all its records;
// loading a node from the middle of the ring makes it the newest; a level
// search starts at its code; a child list comes back.
TEST_F(MxFile, NodeStorageAndRing) {
  std::string path = at("r.mx");
  MxSpec s;
  s.dd = {7, 7};  // child lists, not bit fields
  s.bs = {1, 1};
  s.ps = {512, 512};
  s.flags = kMxCacheFile;
  for (int ch = 0; ch < 6; ++ch) s.channels.push_back({&mx_type_int8, ch == 2 || ch == 5 ? kMxChFile : 0, nullptr, 0});
  int saved_max = mx_cache_count_max;
  mx_cache_count_max = 4;
  MATRIX* m = nullptr;
  ASSERT_EQ(open_mx_file(&m, path, s), 0);
  MATRIX_NODE* a = node(m, {0, 0, 0});
  for (int ch : {1, 2, 5}) set_scalar(m, {0, 0, 0}, ch, static_cast<int8_t>(ch * 10));
  sync_matrix(m);
  PN64_MX_NODE raw{};
  ASSERT_EQ(load_raw_matrix_node(&raw, nullptr, nullptr, nullptr, m, a->fofs), 0);
  std::vector<int> chain;
  for (int64_t at = raw.channel_fofs; at;) {
    int id = -1;
    void* d = load_matrix_data(&at, &id, m, at, nullptr);
    ASSERT_TRUE(d);
    EXPECT_EQ(*static_cast<int8_t*>(d), id * 10);
    d_f_ree(d);
    chain.push_back(id);
  }
  EXPECT_EQ(chain, (std::vector<int>{2, 5}));

  node(m, {0, 2, 0});
  node(m, {0, 4, 0});
  // A sync saves as closing does: the first made its parent (1 0 0) again,
  // which holds data and so made (2 0 0) again; now the fifth node stored
  // makes the first go.
  MATRIX_NODE* top = node(m, {1, 0, 0});
  set_scalar(m, {1, 0, 0}, 2, 12);
  insert_dim_code_index(top, Code{0, 130, 2}.data(), 1);
  sync_matrix(m);
  EXPECT_EQ(work(m)->subheader.cache_count, 4);
  EXPECT_EQ(a->fofs, 0);
  int err = 0;
  MX_DIM_CODE_LIST* level = mx_search_level_node(m, Code{0, 2, 0}.data(), 100, &err);
  EXPECT_EQ(err, 0);
  std::vector<Code> found;
  for (MX_DIM_CODE_LIST* e = level; e; e = e->next) found.push_back(Code(e->dc, e->dc + 3));
  free_mx_dim_code_list(level);
  EXPECT_EQ(found, (std::vector<Code>{{0, 2, 0}, {0, 4, 0}}));
  Code lo(3), hi(3);
  ASSERT_EQ(mx_scale_of_dim_code(lo.data(), hi.data(), m), 0);
  EXPECT_EQ(lo, (Code{0, 2, 0}));
  EXPECT_EQ(hi, (Code{2, 0, 0}));
  EXPECT_EQ(mx_validate({path}, ""), "");

  close_matrix(m);
  ASSERT_EQ(open_mx_file(&m, path, {}), 0);
  MATRIX_NODE* mid = node(m, {0, 4, 0});
  EXPECT_EQ(work(m)->subheader.cache_next, mid->ring_fofs);
  EXPECT_EQ(node(m, {1, 0, 0})->nlist_dim_addr_len, 1);
  close_matrix(m);
  mx_cache_count_max = saved_max;
  EXPECT_EQ(mx_validate({path}), "");
}

// A node made outside the cache (mx_make_node, as checks and tests make
// one to load or save on its own) has the shape the cache gives its nodes,
// in a matrix with bit fields and in one with child lists; it is in no
// table, and it loads from the file what the cache's node holds.
TEST_F(MxFile, ANodeOutsideTheCacheHasTheCachesShape) {
  for (bool lists : {false, true}) {
    SCOPED_TRACE(lists ? "child lists" : "bit fields");
    std::string path = at(lists ? "lists.mx" : "bits.mx");
    MxSpec s;
    s.dd = {lists ? 7 : 1, lists ? 7 : 1};
    s.bs = {1, 1};
    s.ps = {64, 64};
    for (int ch = 0; ch < 3; ++ch) s.channels.push_back({&mx_type_int8, kMxChFile, nullptr, 0});
    MATRIX* m = nullptr;
    ASSERT_EQ(open_mx_file(&m, path, s), 0);
    Code at{0, 6, 4};
    MATRIX_NODE* cached = node(m, at);
    set_scalar(m, at, 1, 42);
    sync_matrix(m);

    MATRIX_NODE* own = mx_make_node(m, Code{0, 7, 5}.data());  // normalised to the node's origin
    EXPECT_EQ(own->matrix, m);
    EXPECT_EQ(Code(own->dim_code, own->dim_code + 3), Code(cached->dim_code, cached->dim_code + 3));
    ASSERT_NE(own->channel, nullptr);
    EXPECT_EQ(own->nlist_dim_bit_field_len, cached->nlist_dim_bit_field_len);
    EXPECT_EQ(own->nlist_dim_bit_field != nullptr, cached->nlist_dim_bit_field != nullptr);
    EXPECT_EQ(own->status, 0);
    int err = 0;
    MATRIX_NODE* found = get_matrix_node(&err, m, at.data(), -1, nullptr, nullptr);
    EXPECT_EQ(found, cached) << "the lookup finds the cache's node only";
    if (found) unlock_node(found, nullptr);

    EXPECT_EQ(load_matrix_node(own), 0);
    auto held = [](const MATRIX_NODE* n, int ch) {
      const auto* d = static_cast<const int8_t*>(n->channel[ch].data);
      return d ? int{*d} : -1;
    };
    for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(held(own, ch), held(cached, ch)) << ch;
    EXPECT_EQ(held(own, 1), 42);
    mx_free_node(own);
    close_matrix(m);
  }
}

// With 11 files open one pass leaves 9; a file idle for 29 s stays open,
// one idle for 30 s closes; the next access opens it again.
TEST_F(MxFile, Closer) {
  static int64_t now = 1000;
  set_mx_clock([] { return now; });
  MxSpec s = int8_row_spec();
  std::vector<MATRIX*> ms(11);
  std::vector<std::string> paths;
  int base = mx_open_files_cnt;
  for (size_t i = 0; i < ms.size(); ++i) {
    paths.push_back(at(("c" + std::to_string(i) + ".mx").c_str()));
    ASSERT_EQ(open_mx_file(&ms[i], paths.back(), s), 0);
  }
  EXPECT_EQ(mx_open_files_cnt - base, 11);
  mx_file_gc(nullptr);
  EXPECT_EQ(mx_open_files_cnt - base, 9);
  now += 29;
  mx_file_gc(nullptr);
  EXPECT_EQ(mx_open_files_cnt - base, 9);
  now += 1;
  mx_file_gc(ms[0]);
  EXPECT_EQ(mx_open_files_cnt - base, 1);
  EXPECT_EQ(get_mx_file_pfd(ms[10]), nullptr);
  ASSERT_EQ(start_file_access(ms[10]), 0);
  EXPECT_NE(get_mx_file_pfd(ms[10]), nullptr);
  finish_file_access(ms[10], 0);
  for (MATRIX* m : ms) close_matrix(m);
  set_mx_clock(nullptr);
  EXPECT_EQ(mx_validate(paths), "");
}

namespace {

// A second process's outcome for the file (its exit status: -outcome - 100).
QNMX_CHILD_BODY(mx_open_outcome) {
  mx_test_init();
  int r = -outcome(args.at(0)) - 100;
  stop_gc_task();
  return r;
}

}  // namespace

// Writing far more nodes than the node cache's target, with no byte budget
// or one too small for them: the cache stays near its target (nodes are
// saved and freed as new ones come, however recently they were used), and
// every pixel reads back after closing; reading them all back, the cache
// again stays near its target. With a budget that holds the picture every
// node read stays.
TEST_F(MxFile, WritingPastTheNodeCacheKeepsItsSize) {
  constexpr int kTarget = 10;
  constexpr int64_t kW = 512, kH = 256, kBlock = 8;  // 64 x 32 level-0 nodes
  constexpr int kNodes = kW * kH / kBlock / kBlock;
  auto pixel = [](int64_t x, int64_t y) { return static_cast<uint8_t>((x * 7 + y * 13 + (x >> 5)) & 255); };
  MxSpec s;
  s.dd = {1, 1};
  s.bs = {3, 3};
  s.ps = {kW, kH};
  s.channels = {{&mx_type_uint8_v, kMxChFile, nullptr, 0}};
  struct Case {
    int64_t budget;  // node_cache_bytes
    bool holds;      // the picture's nodes fit in it
  } cases[] = {{0, false}, {4096, false}, {int64_t{256} << 20, true}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.budget);
    std::string path = at(("big" + std::to_string(k.budget) + ".mx").c_str());
    del_tick_with_data(matrix_access_tick, nullptr);  // the target stays as set
    lock_task(matrix_lock);
    const int old_target = total_ncache_size;
    const int64_t old_budget = node_cache_bytes;
    total_ncache_size = kTarget;
    node_cache_bytes = k.holds ? k.budget : 0;
    unlock_task(matrix_lock, "test");
    auto most_nodes = [](int* most) {
      lock_task(matrix_lock);
      *most = std::max(*most, nd_cnt);
      unlock_task(matrix_lock, "test");
    };
    MATRIX* m = nullptr;
    ASSERT_EQ(open_mx_file(&m, path, s), 0);
    int most = 0;
    {
      Cache c(m, 1);
      std::vector<uint8_t> row(kBlock);
      for (int64_t by = 0; by < kH; by += kBlock)
        for (int64_t bx = 0; bx < kW; bx += kBlock) {
          for (int64_t y = by; y < by + kBlock; ++y) {
            for (int64_t x = 0; x < kBlock; ++x) row[x] = pixel(bx + x, y);
            ASSERT_EQ(c.run({0, bx, y}, {row.data()}, kBlock, true), kBlock);
          }
          most_nodes(&most);
        }
    }
    if (!k.holds) {
      EXPECT_LE(most, 6 * kTarget) << "of " << kNodes << " nodes written";
    }
    sync_matrix(m);
    EXPECT_EQ(m->dirty_list, nullptr);
    close_matrix(m);
    lock_task(matrix_lock);
    node_cache_bytes = k.budget;
    unlock_task(matrix_lock, "test");
    ASSERT_EQ(open_mx_file(&m, path, {}), 0);
    most = 0;
    {
      Cache c(m, 1);
      std::vector<uint8_t> row(kW);
      for (int64_t y = 0; y < kH; ++y) {
        ASSERT_EQ(c.run({0, 0, y}, {row.data()}, kW, false), kW);
        for (int64_t x = 0; x < kW; ++x) ASSERT_EQ(row[x], pixel(x, y)) << x << " " << y;
        most_nodes(&most);
      }
    }
    if (k.holds) EXPECT_GE(most, kNodes) << "nodes read were freed";
    else EXPECT_LE(most, 6 * kTarget) << "of " << kNodes << " nodes read";
    close_matrix(m);
    lock_task(matrix_lock);
    total_ncache_size = old_target;
    node_cache_bytes = old_budget;
    unlock_task(matrix_lock, "test");
    new_tick(matrix_access_tick, 11, nullptr);
    EXPECT_EQ(mx_validate({path}), "");
  }
}

// Every opening outcome; where the file must stay as it was it is compared
// byte for byte.
TEST_F(MxFile, OpeningOutcomes) {
  std::string good = at("good.mx");
  MATRIX* m = nullptr;
  ASSERT_EQ(open_mx_file(&m, good, vectors_spec()), 0);
  {
    Cache c(m, 4);
    std::vector<uint8_t> row(10, 9);
    ASSERT_EQ(c.run({0, 0, 3}, {nullptr, row.data(), nullptr, nullptr}, 10, true), 10);
  }
  sync_matrix(m);
  // What a writer killed now leaves: both open marks set.
  Bytes unclean = file_bytes(good);
  Child other = start_body("mx_open_outcome", {good});
  EXPECT_EQ(other.wait(), 28);  // -128: open for writing elsewhere
  close_matrix(m);

  Bytes closed = file_bytes(good);
  Bytes flipped = closed;
  flipped[52] ^= 0x40;  // the header's dim
  Bytes cut(unclean.begin(), unclean.end() - 7);
  struct Case {
    std::string name;
    Bytes bytes;
    int want;
    bool same;
  } cases[] = {
      {"unclean.mx", unclean, 0, false}, {"flipped.mx", flipped, kMxInvalidFile, true},
      {"cut.mx", cut, kMxInvalidFile, true}, {"junk.mx", Bytes(300, 0x5a), kMxInvalidFile, true},
      {"empty.mx", {}, kMxNewFile, false},
  };
  for (const Case& c : cases) {
    put_bytes(at(c.name.c_str()), c.bytes);
    EXPECT_EQ(outcome(at(c.name.c_str())), c.want) << c.name;
    if (c.same) {
      EXPECT_EQ(file_bytes(at(c.name.c_str())), c.bytes) << c.name;
    }
  }
  EXPECT_EQ(mx_validate({at("unclean.mx")}), "");
  EXPECT_EQ(outcome(at("none.mx")), kMxCannotOpen);
  EXPECT_EQ(outcome(at("no/such/dir.mx"), O_RDWR | O_CREAT), kMxCannotOpen);

  {
    LockService refusing({"--refuse"});
    EXPECT_EQ(outcome(good), kMxFileBusy);
    EXPECT_EQ(file_bytes(good), closed);
  }
  EXPECT_EQ(outcome(good), 0);
  EXPECT_EQ(mx_validate({good}), "");
}

namespace {

std::mutex close_log_mu;
std::string close_log;

int keep_close_log(int, int, void*, const char* fmt, va_list ap) {
  char buf[512];
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  std::lock_guard<std::mutex> g(close_log_mu);
  close_log += buf;
  return 0;
}

}  // namespace

// A matrix that broke while open refuses its nodes, but its close neither
// cuts nor rewrites the file: what was synced validates and reads back, and
// the close leaves a log record saying the matrix was broken.
TEST_F(MxFile, BrokenMatrixKeepsItsFile) {
  std::string path = at("broken.mx");
  MxSpec s = int8_row_spec();
  MATRIX* m = nullptr;
  ASSERT_EQ(open_mx_file(&m, path, s), 0);
  set_scalar(m, {0, 4}, 0, 42);
  sync_matrix(m);
  {
    MatrixLocked held;
    m->flags |= kMxBroken;
  }
  int err = 0;
  EXPECT_EQ(get_matrix_node(&err, m, Code{0, 8}.data(), 0, nullptr, nullptr), nullptr);
  EXPECT_EQ(err, kMxInactive);
  Bytes synced = file_bytes(path);
  LOG_VPRINTF old = __log_vprintf.exchange(keep_close_log);
  close_matrix(m);
  __log_vprintf.store(old);
  EXPECT_NE(close_log.find("closed while broken"), std::string::npos) << close_log;
  Bytes closed = file_bytes(path);
  ASSERT_EQ(closed.size(), synced.size());
  EXPECT_EQ(mx_validate({path}), "");

  ASSERT_EQ(open_mx_file(&m, path, {}), 0);
  MATRIX_NODE* n = nullptr;
  Code kept{0, 4};
  auto* d = static_cast<int8_t*>(get_matrix_node_channel(&err, &n, m, kept.data(), 0, 0, 0, nullptr, 0));
  ASSERT_TRUE(d) << err;
  EXPECT_EQ(*d, 42);
  matrix_node_channel_unlock(n, 0);
  close_matrix(m);
}

namespace {

// A second process writes 99 at (0, 4) of the int8 row of the file (its
// exit status: 0, or -outcome - 100).
QNMX_CHILD_BODY(mx_write_row) {
  mx_test_init();
  MATRIX* m = nullptr;
  int r = open_mx_file(&m, args.at(0), int8_row_spec());
  if (r == 0) {
    set_scalar(m, {0, 4}, 0, 99);
    close_matrix(m);
  }
  stop_gc_task();
  return r == 0 ? 0 : -r - 100;
}

// The file's matrix opened for reading as the agent's reader opens it.
MATRIX* open_reader(const std::string& path) {
  ZuThreadScope scope("open_reader");
  MATRIX* m = open_matrix(nullptr, l_string(std_cm, path.c_str()), nullptr, nullptr, nullptr);
  EXPECT_EQ(load_matrix_header(m, O_RDONLY, 0644), 0);
  MATRIX_PARAM hooks{};
  hooks.read_file = matrix_standard_read_file;
  hooks.close_file = close_matrix_file;
  EXPECT_EQ(set_matrix_param(m, &hooks), 0);
  set_script(m, {3, 4, 5}, "(fload)");
  set_matrix_mode(m, kMxModeActive);
  return m;
}

// The int8 at dc, or the node code of a read that failed.
int read_scalar(MATRIX* m, Code dc) {
  int err = 0;
  MATRIX_NODE* n = nullptr;
  auto* d = static_cast<int8_t*>(get_matrix_node_channel(&err, &n, m, dc.data(), 0, 0, kMxFetchSlot, nullptr, 0));
  if (!d) return err;
  int v = *d;
  matrix_node_channel_unlock(n, 0);
  return v;
}

}  // namespace

// A reader's file closed meanwhile (by the closer or a lock event) opens
// again as long as nobody wrote it; once another process has written it,
// the reader reads nothing more from it: the nodes it holds came from the
// file as it was, and new ones would mix with them.
TEST_F(MxFile, ReaderRefusesAFileWrittenWhileItWasClosed) {
  std::string path = at("shared.mx");
  MATRIX* w = nullptr;
  ASSERT_EQ(open_mx_file(&w, path, int8_row_spec()), 0);
  set_scalar(w, {0, 4}, 0, 42);
  set_scalar(w, {0, 8}, 0, 43);
  close_matrix(w);
  MATRIX* r = open_reader(path);
  EXPECT_EQ(read_scalar(r, {0, 4}), 42);
  EXPECT_EQ(start_body("mx_write_row", {path}).wait(), 28) << "a writer while the file is read: -128";
  mx_file_lock_event(0, r);
  EXPECT_EQ(read_scalar(r, {0, 8}), 43) << "closed and opened again unchanged";
  mx_file_lock_event(0, r);
  Bytes before = file_bytes(path);
  EXPECT_EQ(start_body("mx_write_row", {path}).wait(), 0);
  ASSERT_NE(file_bytes(path), before);
  EXPECT_EQ(start_file_access(r), kMxFileBusy);
  EXPECT_EQ(get_mx_file_pfd(r), nullptr);
  EXPECT_LT(read_scalar(r, {0, 12}), 0);
  close_matrix(r);
  EXPECT_EQ(mx_validate({path}), "");

  // A writer's change to data read before the file was written elsewhere is
  // refused at its save for good: lost once, and no longer dirty, so that
  // nothing fires its save again and the cache may let the node go.
  ASSERT_EQ(open_mx_file(&w, path, int8_row_spec()), 0);
  set_scalar(w, {0, 4}, 0, 7);
  MATRIX_TOKEN save{};
  save.process_node = node(w, {0, 4});
  w->file_gen.fetch_add(1);  // as an opening that found the file written elsewhere
  EXPECT_EQ(matrix_standard_write_file(&save), kMxNoAccess);
  EXPECT_EQ(save.process_node->dirty_file_time, 0u);
  EXPECT_EQ(close_matrix(w), 1);
}

// A lock event closes the file and gives back its named lock; the next
// access asks for the lock again, and a refusal fails it with -128 and
// leaves the file as it was. Once the lock can be had the file opens.
TEST_F(MxFile, RefusedLockAfterALockEvent) {
  std::string path = at("event.mx");
  MxSpec s = int8_row_spec();
  MATRIX* m = nullptr;
  ASSERT_EQ(open_mx_file(&m, path, s), 0);
  set_scalar(m, {0, 4}, 0, 42);
  sync_matrix(m);
  mx_file_lock_event(1, m);
  EXPECT_EQ(get_mx_file_pfd(m), nullptr);
  Bytes closed = file_bytes(path);
  {
    LockService refusing({"--refuse"});
    EXPECT_EQ(start_file_access(m), kMxFileBusy);
    EXPECT_EQ(get_mx_file_pfd(m), nullptr);
    EXPECT_EQ(file_bytes(path), closed);
  }
  ASSERT_EQ(start_file_access(m), 0);
  EXPECT_NE(get_mx_file_pfd(m), nullptr);
  finish_file_access(m, 0);
  close_matrix(m);
  EXPECT_EQ(mx_validate({path}), "");
}

// Every cut and every byte flipped of a file holding two stored nodes with
// a child list: a cut is new only where it leaves just the record file's
// header and free list; a flipped file opens exactly when validate_mx.py
// finds it valid (which cannot know the type codes: a type flipped to one
// that does not exist may be refused too); every refused file is -129 and
// unchanged.
TEST_F(MxFile, DamagedFilesAreRefusedUnchanged) {
  std::string good = at("good.mx");
  MxSpec s;
  s.dd = {7, 7};
  s.bs = {1, 1};
  s.ps = {256, 256};
  s.channels = {{&mx_type_int8, kMxChFile, nullptr, 0}, {&mx_type_int16, kMxChFile, nullptr, 0}};
  MATRIX* m = nullptr;
  ASSERT_EQ(open_mx_file(&m, good, s), 0);
  set_scalar(m, {0, 2, 0}, 1, 5);
  MATRIX_NODE* top = node(m, {1, 0, 0});
  insert_dim_code_index(top, Code{0, 2, 0}.data(), 1);
  close_matrix(m);
  Bytes bytes = file_bytes(good);
  ASSERT_EQ(mx_validate({good}), "");

  // The header record at 44: 32 bytes of fields, the two dims' divides and
  // block sizes, their two-byte pixel sizes, then 12 bytes a channel.
  const size_t types = 44 + 4 + 32 + 4 + 4;
  ASSERT_EQ(load_be16(&bytes[types]), mx_type_int8.type);
  ASSERT_EQ(load_be16(&bytes[types + 12]), mx_type_int16.type);
  auto in_types = [&](size_t at) { return at - types < 2 || at - types - 12 < 2; };
  std::vector<std::string> paths;
  for (size_t at = 0; at < bytes.size(); ++at) {
    Bytes b = bytes;
    b[at] ^= 0xFF;
    paths.push_back(this->at(("f" + std::to_string(at) + ".mx").c_str()));
    put_bytes(paths.back(), b);
  }
  std::string problems = mx_validate(paths, "");
  int refused = 0;
  for (size_t at = 0; at < bytes.size(); ++at) {
    Bytes b = file_bytes(paths[at]);
    bool valid = problems.find(paths[at] + ":") == std::string::npos;
    int r = outcome(paths[at], O_RDWR | O_CREAT);
    if (!in_types(at) || r == 0) {
      EXPECT_EQ(r, valid ? 0 : kMxInvalidFile) << "byte " << at;
    }
    if (r != 0) {
      EXPECT_EQ(file_bytes(paths[at]), b) << "byte " << at;
      ++refused;
    }
  }
  EXPECT_GT(refused, static_cast<int>(bytes.size()) / 2);

  std::string cut = at("cut.mx");
  for (size_t len = 1; len < bytes.size(); ++len) {
    Bytes b(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(len));
    put_bytes(cut, b);
    // 44 bytes: the record file's header (32) and free list (12).
    int want = len == 44 ? kMxNewFile : kMxInvalidFile;
    ASSERT_EQ(outcome(cut, O_RDWR | O_CREAT), want) << "cut at " << len;
    if (want == kMxInvalidFile) {
      ASSERT_EQ(file_bytes(cut), b) << "cut at " << len;
    }
  }
}

namespace {

// A writer that saves generation after generation of 8 nodes (channel 0,
// every element the generation number) with sync_matrix between them and
// says each synced generation on its standard output.
QNMX_CHILD_BODY(mx_writer) {
  mx_test_init();
  MxSpec s;
  s.dd = {1, 1};
  s.bs = {2, 2};
  s.ps = {16, 8};
  s.channels = {{&mx_type_int32_v, kMxChFile, nullptr, 0}};
  MATRIX* m = nullptr;
  if (open_mx_file(&m, args.at(0), s) != 0) return 2;
  sync_matrix(m);
  std::printf("0\n");
  std::fflush(stdout);
  std::vector<int32_t> row(16);
  for (int32_t g = 1;; ++g) {
    std::fill(row.begin(), row.end(), g);
    {
      Cache c(m, 1);
      for (int y = 0; y < 8; ++y)
        if (c.run({0, 0, y}, {row.data()}, 16, true) != 16) return 3;
    }
    sync_matrix(m);
    std::printf("%d\n", g);
    std::fflush(stdout);
  }
}

}  // namespace

// Writers killed at random moments: on reopen the file either opens,
// validates and holds the last synced generation or a later one in every
// node, or is refused unchanged; it is never made new again.
TEST_F(MxFile, KilledWriters) {
  const char* env = std::getenv("QNMX_KILL_TRIALS");
  int trials = env ? std::atoi(env) : 100;
  std::mt19937 rng(2024);
  int opened = 0, refused = 0;
  for (int t = 0; t < trials; ++t) {
    std::string path = at(("k" + std::to_string(t) + ".mx").c_str());
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ChildOptions opt;
    opt.out = p[1];
    Child w = start_body("mx_writer", {path}, opt);
    close(p[1]);
    FILE* f = fdopen(p[0], "r");
    int synced = -1, want = static_cast<int>(rng() % 4);
    while (synced < want && std::fscanf(f, "%d", &synced) == 1) {
    }
    usleep(rng() % 20000);
    w.kill(SIGKILL);
    w.wait();
    for (int g; std::fscanf(f, "%d", &g) == 1;) synced = g;
    fclose(f);
    Bytes before = file_bytes(path);
    MATRIX* m = nullptr;
    int r = open_mx_file(&m, path, {});
    if (r == kMxInvalidFile) {
      ++refused;
      EXPECT_EQ(file_bytes(path), before);
      continue;
    }
    ASSERT_EQ(r, 0) << "trial " << t;
    ++opened;
    Cache c(m, 1);
    for (int y = 0; y < 8; ++y) {
      std::vector<int32_t> row(16, -1);
      ASSERT_EQ(c.run({0, 0, y}, {row.data()}, 16, false), 16);
      for (int32_t v : row) EXPECT_TRUE(v >= synced && v <= synced + 1) << "trial " << t << " row " << y << ": " << v;
    }
    flush_mx_cache(&c.c, 0);
    close_matrix(m);
    EXPECT_EQ(mx_validate({path}), "") << "trial " << t;
  }
  RecordProperty("opened", opened);
  RecordProperty("refused", refused);
  std::printf("kill -9 trials: %d opened, %d refused unchanged\n", opened, refused);
}
