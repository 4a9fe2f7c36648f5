// The element-access cache: its pool behind the kind-4 interface, hits and
// misses, extents, bit channels, a fill that finds no data, and a cache
// left to its owner while every matrix closes.
#include <fcntl.h>

#include <set>
#include <thread>

#include "base/alloc.h"

#include "elements/pool.h"
#include "elements/value.h"
#include "matrix/element_cache.h"
#include "matrix/mx_file.h"
#include "matrix_test_util.h"
#include "support/temp_dir.h"

namespace {

using Code = std::vector<int64_t>;

MBLK* head(void* p) { return reinterpret_cast<MBLK*>(static_cast<char*>(p) - ((sizeof(MBLK) + 15) & ~size_t{15})); }

// A cache over channels chs of m with the agent's fetch codes.
struct Cache {
  Cache(MATRIX* m, std::vector<int> chs) : ch(std::move(chs)) {
    c.m = m;
    c.access_ch = ch.data();
    c.ds_len = static_cast<int>(ch.size());
    c.gn_create = c.gn_wait = 3;
    mxc_setup(&c);
  }
  ~Cache() {
    flush_mx_cache(&c, 1);
    mxc_release(&c);
  }
  MX_CACHE c{};
  std::vector<int> ch;
};

}  // namespace

// Size classes of 512-byte granules: 512 -> 1, 513 -> 2, 7680 the largest
// pooled, 7681 direct; blocks are reused; a flush without a node keeps
// them; a block given back twice stops the process.
TEST_F(MatrixTest, CachePool) {
  MX_CACHE c{};
  mxc_setup(&c);
  struct Case {
    size_t size;
    uint16_t cls;
  } cases[] = {{0, 0}, {512, 1}, {513, 2}, {7680, 15}, {7681, kMblkDirect}};
  for (const Case& k : cases) {
    void* p = xx_mxc_alloc(&c, k.size, __FILE__, __LINE__);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(head(p)->size, k.cls) << k.size;
    xx_mxc_free(&c, p, __FILE__, __LINE__);
    if (k.cls == kMblkDirect) continue;
    void* again = xx_mxc_alloc(&c, k.size, __FILE__, __LINE__);
    EXPECT_EQ(again, p);
    EXPECT_EQ(head(again)->cnt, 2);
    xx_mxc_free(&c, again, __FILE__, __LINE__);
  }
  void* kept = xx_mxc_alloc(&c, 100, __FILE__, __LINE__);
  xx_mxc_free(&c, kept, __FILE__, __LINE__);
  flush_mx_cache(&c, 1);  // no node held: nothing happens
  EXPECT_EQ(xx_mxc_alloc(&c, 100, __FILE__, __LINE__), kept);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        xx_mxc_free(&c, kept, __FILE__, __LINE__);
        xx_mxc_free(&c, kept, __FILE__, __LINE__);
      },
      "twice");
  xx_mxc_free(&c, kept, __FILE__, __LINE__);
  for (int k = 0; k < c.mblk_hashsize; ++k)
    while (MBLK* b = c.mblk_hash[k]) {
      c.mblk_hash[k] = b->next;
      d_f_ree(b);
    }
  mxc_release(&c);
}

// Two reads in one node are one miss and one hit; positions beyond a
// vector's extent, starts outside the matrix and runs past its end are
// refused; a run of no elements is 0; bits travel one byte per element and
// stay inside their node's bytes; a fill whose channel has no type holds
// nothing.
TEST_F(MatrixTest, CacheAccess) {
  TempDir dir("mxcache");
  MxSpec s;
  s.dd = {1, 1};
  s.bs = {3, 1};
  s.ps = {13, 3};
  s.channels = {{&mx_type_bit_v, kMxChFile, nullptr, 0},
                {&mx_type_int16_v, kMxChFile, nullptr, 0},
                {nullptr, 0, nullptr, 0}};
  MATRIX* m = nullptr;
  ASSERT_EQ(open_mx_file(&m, dir.at("b.mx"), s), 0);
  {
    Cache k(m, {0, 1});
    MX_CACHE_PARAM_IX ix[2] = {{0, 0}, {1, 0}};
    std::vector<uint8_t> bits = {1, 0, 1, 1, 0, 0, 0, 1, 1, 0, 1, 0, 1};
    std::vector<int16_t> vals(13);
    for (int i = 0; i < 13; ++i) vals[i] = static_cast<int16_t>(i * 100 - 600);
    void* b0[1] = {bits.data()};
    void* b1[1] = {vals.data()};
    Code dc = {0, 0, 2};
    MX_CACHE_PARAM p{};
    p.c = &k.c;
    p.dc = dc.data();
    p.data_ix = ix;
    p.data_ptrs[0] = b0;
    p.data_ptrs[1] = b1;
    p.vector_len = 13;
    ASSERT_EQ(write_mx_cache_vector(&p), 13);
    std::vector<uint8_t> rb(13, 9);
    std::vector<int16_t> rv(13);
    b0[0] = rb.data();
    b1[0] = rv.data();
    ASSERT_EQ(read_mx_cache_vector(&p), 13);
    EXPECT_EQ(rb, bits);
    EXPECT_EQ(rv, vals);
    p.vector_len = 0;
    EXPECT_EQ(read_mx_cache_vector(&p), 0);

    // Points: a miss into the first node, then a hit in it.
    uint8_t bit = 0;
    int16_t v = 0;
    p.data_ptrs[0] = &bit;
    p.data_ptrs[1] = &v;
    flush_mx_cache(&k.c, 0);
    int64_t hits = k.c.hit_cnt, misses = k.c.miss_hit_cnt;
    for (auto [x, want_bit, want_v] : {std::tuple{3, 1, -300}, {5, 0, -100}, {12, 1, 600}}) {
      dc = {0, x, 2};
      ASSERT_EQ(read_mx_cache(&p), 0);
      EXPECT_EQ(std::pair(int(bit), int(v)), std::pair(want_bit, want_v)) << x;
      if (x == 5) {
        EXPECT_EQ(std::pair(k.c.hit_cnt - hits, k.c.miss_hit_cnt - misses), std::pair(int64_t{1}, int64_t{1}));
      }
    }
    int ofs[2] = {5, 0};  // 12 + 5 lies past the last node's 5 elements
    dc = {0, 12, 2};
    p.ofs = ofs;
    EXPECT_EQ(read_mx_cache(&p), -1);
    p.flags = 1;  // even unchecked, nothing is read past the data
    EXPECT_EQ(read_mx_cache(&p), -1);
    p.ofs = nullptr;
    p.flags = 0;
    p.data_ptrs[0] = b0;
    p.data_ptrs[1] = b1;
    for (auto [start, len, want] : {std::tuple{-1, 2, -1}, {13, 1, -1}, {10, 5, -1}}) {
      dc = {0, start, 2};
      p.vector_len = len;
      EXPECT_EQ(write_mx_cache_vector(&p), want) << start;
      EXPECT_EQ(read_mx_cache_vector(&p), want) << start;
    }
  }
  {
    Cache k(m, {1, 2});  // channel 2 has no type: no data to hold
    EXPECT_EQ(get_mx_cache(&k.c, Code{0, 0, 0}.data()), -1);
    EXPECT_EQ(k.c.n, nullptr);
  }
  close_matrix(m);
  EXPECT_EQ(mx_validate({dir.at("b.mx")}), "");
}

// close_all_matrix leaves the node a cache holds to the cache's owner: the
// close waits, the owner still reads through its cache, and once the owner
// lets go the matrix closes with the owner's change written.
TEST_F(MatrixTest, CloseAllLeavesACacheToItsOwner) {
  TempDir dir("mxcache");
  const MxSpec s{2, {1, 1}, {2, 2}, {8, 8}, {{&mx_type_int16_v, kMxChFile, nullptr, 0}}};
  MATRIX* m = nullptr;
  ASSERT_EQ(open_mx_file(&m, dir.at("c.mx"), s), 0);
  Cache k(m, {0});
  int16_t v = 5;
  MX_CACHE_PARAM_IX ix{0, 0};
  Code dc = {0, 1, 1};
  MX_CACHE_PARAM p{};
  p.c = &k.c;
  p.dc = dc.data();
  p.data_ix = &ix;
  p.data_ptrs[0] = &v;
  ASSERT_EQ(write_mx_cache(&p), 0);
  MATRIX_NODE* held = k.c.n;
  std::thread closer([] { close_all_matrix(); });
  for (bool closing = false; !closing; gc_safepoint()) {
    lock_task(matrix_lock);
    closing = m->mode == kMxModeClosed;  // m stays while its node is held
    unlock_task(matrix_lock, "test");
  }
  EXPECT_EQ(k.c.n, held);
  v = 0;
  EXPECT_EQ(read_mx_cache(&p), 0);
  EXPECT_EQ(v, 5);
  flush_mx_cache(&k.c, 0);
  {
    BlockingRegion region;
    closer.join();
  }
  EXPECT_EQ(matrices_root.mx_next, &matrices_root);
  ASSERT_EQ(open_mx_file(&m, dir.at("c.mx"), {}), 0);
  Cache again(m, {0});
  p.c = &again.c;
  v = 0;
  EXPECT_EQ(read_mx_cache(&p), 0);
  EXPECT_EQ(v, 5);
  flush_mx_cache(&again.c, 0);
  close_matrix(m);
  EXPECT_EQ(mx_validate({dir.at("c.mx")}), "");
}

// Rectangles of pixel words land where their positions say: cut at the
// matrix's edges and where positions pass the 64-bit range, only where the
// validity bytes allow, at a coarser level on every other finest unit.
// Bands end at node rows, where the matrix starts or ends, and at their
// cap. A write steps the generation count with the dirty flag; a read
// leaves the node clean.
TEST_F(MatrixTest, CacheRectangles) {
  TempDir dir("mxrect");
  const MxSpec s{2, {1, 1}, {2, 2}, {10, 7}, {{&mx_type_uint32_v, kMxChFile, nullptr, 0}}};
  MATRIX* m = nullptr;
  ASSERT_EQ(open_mx_file(&m, dir.at("r.mx"), s), 0);
  Cache k(m, {0});
  int64_t at[3] = {};
  const MX_PIXEL_RECT all{0, 0, 0, 0, 10, 7};
  std::vector<uint32_t> model(70), back(70, 0xEEEEEEEE);
  ASSERT_EQ(read_mx_cache_rect(&k.c, all, 0, 7, model.data(), at), 0);
  EXPECT_EQ(k.c.dirty, 0);
  const MX_PIXEL_RECT over{0, 0, -3, -2, 16, 12};
  std::vector<uint32_t> words(16 * 12);
  std::vector<uint8_t> valid(words.size());
  for (size_t i = 0; i < words.size(); ++i) {
    words[i] = static_cast<uint32_t>(1000 + i);
    valid[i] = i % 5 != 0;
  }
  const uint64_t generation = k.c.generation;
  ASSERT_EQ(write_mx_cache_rect(&k.c, over, 0, 12, words.data(), valid.data(), at), 0);
  EXPECT_EQ(k.c.dirty, 1);
  EXPECT_GT(k.c.generation, generation);
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 10; ++x)
      if (size_t i = static_cast<size_t>((y + 2) * 16 + x + 3); valid[i]) model[static_cast<size_t>(y * 10 + x)] = words[i];
  const int64_t far = INT64_MAX - 5;
  for (const MX_PIXEL_RECT& r : {MX_PIXEL_RECT{0, 0, 0, far, 16, 12}, MX_PIXEL_RECT{0, 0, far, 0, 16, 12},
                                 MX_PIXEL_RECT{0, 0, -far, -far, 16, 12}})
    EXPECT_EQ(write_mx_cache_rect(&k.c, r, 0, 12, words.data(), nullptr, at), 0);
  const MX_PIXEL_RECT coarse{0, 1, 0, 0, 5, 4};
  std::vector<uint32_t> coarse_back(20);
  ASSERT_EQ(write_mx_cache_rect(&k.c, coarse, 0, 4, words.data(), nullptr, at), 0);
  flush_mx_cache(&k.c, 0);
  ASSERT_EQ(read_mx_cache_rect(&k.c, all, 0, 7, back.data(), at), 0);
  EXPECT_EQ(back, model);
  EXPECT_EQ(k.c.dirty, 0);
  ASSERT_EQ(read_mx_cache_rect(&k.c, coarse, 0, 4, coarse_back.data(), at), 0);
  EXPECT_EQ(coarse_back, std::vector<uint32_t>(words.begin(), words.begin() + 20));
  struct Band {
    MX_PIXEL_RECT r;
    int64_t h, cap, rows;
  } bands[] = {
      {all, 0, 100, 4},  {all, 4, 100, 3},  {MX_PIXEL_RECT{0, 0, 0, 1, 10, 7}, 0, 100, 3},
      {all, 0, 2, 2},    {over, 0, 100, 2}, {over, 9, 100, 3},
      {over, 12, 100, 0}, {MX_PIXEL_RECT{0, 0, 0, far, 16, 600}, 0, 256, 256},
  };
  for (const Band& b : bands)
    EXPECT_EQ(mx_rect_band(&k.c, b.r, b.h, b.cap), b.rows) << b.r.y << " " << b.h << " " << b.cap;
  flush_mx_cache(&k.c, 0);
  close_matrix(m);
  EXPECT_EQ(mx_validate({dir.at("r.mx")}), "");
}

// The held node's words are its own vector of 4-byte elements, read in
// place with the vector's extents (index_hem's row and column included);
// nothing while no node is held, for a slot the cache has not, or for a
// channel of other elements (two-byte, bits, a scalar).
TEST_F(MatrixTest, HeldNodeWordsInPlace) {
  TempDir dir("mxwords");
  MxSpec s{2, {1, 1}, {2, 2}, {8, 8},
           {{&mx_type_uint32_v, kMxChFile, nullptr, 0}, {&mx_type_int16_v, kMxChFile, nullptr, 0},
            {&mx_type_bit_v, kMxChFile, nullptr, 0}, {&mx_type_uint32, kMxChFile, nullptr, 0}}};
  s.flags = kMxIndexHem;
  MATRIX* m = nullptr;
  ASSERT_EQ(open_mx_file(&m, dir.at("w.mx"), s), 0);
  {
    Cache k(m, {0, 1, 2, 3});
    int64_t w = -1, h = -1, at[3] = {};
    EXPECT_EQ(mx_cache_node_words(&k.c, 0, &w, &h), nullptr);
    std::vector<uint32_t> words(16);
    for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint32_t>(0xA0000000u + i);
    ASSERT_EQ(write_mx_cache_rect(&k.c, MX_PIXEL_RECT{0, 0, 4, 4, 4, 4}, 0, 4, words.data(), nullptr, at), 0);
    const int64_t dc[3] = {0, 4, 4};
    ASSERT_EQ(get_mx_cache(&k.c, dc), 0);
    const uint8_t* p = mx_cache_node_words(&k.c, 0, &w, &h);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ((std::vector<int64_t>{w, h}), (std::vector<int64_t>{5, 5}));
    for (int64_t y = 0; y < 4; ++y)
      for (int64_t x = 0; x < 4; ++x) {
        uint32_t v;
        std::memcpy(&v, p + (y * w + x) * 4, 4);
        EXPECT_EQ(v, words[static_cast<size_t>(y * 4 + x)]) << x << " " << y;
      }
    for (int slot : {1, 2, 3, 4, -1}) {
      w = h = -1;
      EXPECT_EQ(mx_cache_node_words(&k.c, slot, &w, &h), nullptr) << slot;
      EXPECT_EQ((std::vector<int64_t>{w, h}), (std::vector<int64_t>{-1, -1})) << slot;
    }
    flush_mx_cache(&k.c, 0);
    EXPECT_EQ(mx_cache_node_words(&k.c, 0, &w, &h), nullptr);
  }
  close_matrix(m);
}

// A cache marks changed only the nodes it wrote (stored nodes it then only
// reads are released clean), and with index_hem a run across nodes lands
// where its coordinates say, though each vector holds one element more.
TEST_F(MatrixTest, CacheWritesMarkOnlyTheirNodes) {
  TempDir dir("mxcache");
  MxSpec s{2, {1, 1}, {2, 1}, {16, 2}, {{&mx_type_int16_v, kMxChFile, nullptr, 0}}};
  s.flags = kMxIndexHem;
  std::vector<int16_t> run(16), back(16);
  for (int i = 0; i < 16; ++i) run[i] = static_cast<int16_t>(i + 1);
  void* table[1] = {run.data()};
  int16_t v = 0;
  MX_CACHE_PARAM_IX ix{1, 0};
  Code dc = {0, 0, 1};
  MX_CACHE_PARAM p{};
  p.dc = dc.data();
  p.data_ix = &ix;
  for (bool stored : {false, true}) {  // the first pass stores the four nodes
    MATRIX* m = nullptr;
    ASSERT_EQ(open_mx_file(&m, dir.at("d.mx"), s), 0);
    {
      Cache k(m, {0});
      p.c = &k.c;
      p.data_ptrs[1] = table;
      p.vector_len = stored ? 1 : 16;
      dc = {0, 0, 1};
      ASSERT_EQ(write_mx_cache_vector(&p), p.vector_len);
      MATRIX_NODE *written = k.c.n, *last = written;
      p.data_ptrs[1] = &v;
      for (int64_t x = 0; x < 16; ++x) {
        dc = {0, x, 1};
        ASSERT_EQ(read_mx_cache(&p), 0);
        EXPECT_EQ(v, run[x]) << x;
        MatrixLocked locked;
        if (stored && k.c.n != last && last != written) {
          EXPECT_EQ(last->dirty_file_time, 0u) << x;
        }
        last = k.c.n;
      }
    }
    close_matrix(m);
  }
  EXPECT_EQ(mx_validate({dir.at("d.mx")}), "");
}

// A run of elements asks ahead for exactly the nodes it crosses: one that
// ends at a node's edge makes no node past it (a made node is stored), at
// level 0 and at level 1 alike, for writes and reads.
TEST_F(MatrixTest, RunsAskForTheNodesTheyCross) {
  TempDir dir("mxcache");
  MxSpec s{2, {1, 1}, {2, 1}, {16, 2}, {{&mx_type_int16_v, kMxChFile, nullptr, 0}}};
  struct Case {
    int64_t level, x, len;
    std::set<int64_t> nodes;  // the x origins, in level-0 units
  };
  const Case cases[] = {{0, 0, 4, {0}},  {0, 2, 4, {0, 4}},        {0, 4, 8, {4, 8}},  {0, 3, 1, {0}},
                        {0, 12, 4, {12}}, {0, 1, 15, {0, 4, 8, 12}}, {1, 8, 4, {8}},     {1, 6, 2, {0, 8}},
                        {1, 0, 8, {0, 8}}};
  std::vector<int16_t> run(16, 7);
  void* table[1] = {run.data()};
  MX_CACHE_PARAM_IX ix{0, 0};
  int file = 0;
  for (const Case& c : cases)
    for (bool write : {true, false}) {
      std::string path = dir.at("r" + std::to_string(file++) + ".mx");
      MATRIX* m = nullptr;
      ASSERT_EQ(open_mx_file(&m, path, s), 0);
      {
        Cache k(m, {0});
        Code dc = {c.level, c.x, 0};
        MX_CACHE_PARAM p{};
        p.c = &k.c;
        p.dc = dc.data();
        p.data_ix = &ix;
        p.data_ptrs[0] = table;
        p.vector_len = static_cast<int>(c.len);
        ASSERT_EQ(write ? write_mx_cache_vector(&p) : read_mx_cache_vector(&p), c.len) << c.x;
        std::set<int64_t> made;
        MatrixLocked locked;
        for (MATRIX_NODE* head : m->node_hash)
          for (MATRIX_NODE* n = head; n; n = n->nh_next)
            if (n->dim_code[0] == c.level) made.insert(n->dim_code[1]);
        EXPECT_EQ(made, c.nodes) << "level " << c.level << " x " << c.x << " len " << c.len << " write " << write;
      }
      close_matrix(m);
    }
}

// A rectangle written asks for the nodes of each row it crosses before it
// fills them, and for no node past its edges or the matrix's: the nodes
// made are exactly those its pixels fall in, at level 0 and level 1, and
// what was written reads back.
TEST_F(MatrixTest, RectangleWritesAskForTheNodesOfTheirRows) {
  TempDir dir("mxrect");
  const MxSpec s{2, {1, 1}, {2, 1}, {16, 8}, {{&mx_type_uint32_v, kMxChFile, nullptr, 0}}};  // nodes of 4 x 2
  struct Case {
    MX_PIXEL_RECT r;
    std::set<std::pair<int64_t, int64_t>> nodes;  // origins in level-0 units
  };
  const Case cases[] = {
      {{0, 0, 0, 0, 4, 2}, {{0, 0}}},
      {{0, 0, 2, 1, 4, 2}, {{0, 0}, {4, 0}, {0, 2}, {4, 2}}},
      {{0, 0, 4, 6, 8, 1}, {{4, 6}, {8, 6}}},
      {{0, 0, -3, -1, 5, 2}, {{0, 0}}},
      {{0, 0, 14, 7, 6, 3}, {{12, 6}}},
      {{0, 1, 8, 0, 2, 2}, {{8, 0}}},
      {{0, 1, 0, 0, 8, 4}, {{0, 0}, {8, 0}, {0, 4}, {8, 4}}},
  };
  int file = 0;
  for (const Case& c : cases) {
    MATRIX* m = nullptr;
    ASSERT_EQ(open_mx_file(&m, dir.at("a" + std::to_string(file++) + ".mx"), s), 0);
    {
      Cache k(m, {0});
      std::vector<uint32_t> words(static_cast<size_t>(c.r.width * c.r.height)), back(words.size(), 0);
      for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint32_t>(0x100 * (i + 1));
      int64_t at[3] = {};
      ASSERT_EQ(write_mx_cache_rect(&k.c, c.r, 0, c.r.height, words.data(), nullptr, at), 0);
      std::set<std::pair<int64_t, int64_t>> made;
      {
        MatrixLocked locked;
        for (MATRIX_NODE* head : m->node_hash)
          for (MATRIX_NODE* n = head; n; n = n->nh_next)
            if (n->dim_code[0] == c.r.level) made.insert({n->dim_code[1], n->dim_code[2]});
      }
      EXPECT_EQ(made, c.nodes) << "case " << file;
      if (c.r.x >= 0 && c.r.y >= 0 && c.r.x + (c.r.width << c.r.level) <= 16 && c.r.y + (c.r.height << c.r.level) <= 8) {
        ASSERT_EQ(read_mx_cache_rect(&k.c, c.r, 0, c.r.height, back.data(), at), 0);
        EXPECT_EQ(back, words) << "case " << file;
      }
    }
    close_matrix(m);
  }
}
