// Replays the matrix-file fuzz target over valid files made here (a child
// list matrix with the ring, a bit-field matrix), the committed corpus, and
// mutations: nothing may crash, stop the process or leak, and refused files
// stay as they were (the target checks).
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdlib>
#include <fstream>

#include "base/alloc.h"
#include "elements/value.h"
#include "matrix/dim_code.h"
#include "matrix/mx_file.h"
#include "matrix/node.h"
#include "support/fuzz_replay.h"
#include "support/temp_dir.h"
#include "support/test_paths.h"
#include "text/convert.h"
#include "zu/core_init.h"
#include "zu/gc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

// A file of dd-bit levels with three stored level-0 nodes and one above.
Bytes make_file(const std::string& path, int dd, int flags) {
  ZuThreadScope scope("seed");
  MATRIX* m = open_matrix(nullptr, l_string(std_cm, path.c_str()), nullptr, nullptr, nullptr);
  EXPECT_EQ(load_matrix_header(m, O_RDWR | O_CREAT, 0644), kMxNewFile);
  MATRIX_PARAM p{};
  p.dim = 2;
  p.channel_nos = 2;
  p.flags = flags;
  p.close_file = close_matrix_file;
  set_matrix_param(m, &p);
  for (int d = 0; d < 2; ++d) {
    set_matrix_dim_divide(m, d, dd);
    set_matrix_block_size(m, d, 1);
    set_matrix_pixel_size(m, d, 64);
  }
  int16_t def = 3;
  MATRIX_CHANNEL_INFO a{&mx_type_int16, kMxChFile, &def, 0}, b{&mx_type_uint8_v, kMxChFile, nullptr, 0};
  set_matrix_channel_info(m, 0, &a);
  set_matrix_channel_info(m, 1, &b);
  EXPECT_EQ(save_matrix_header(m), 0);
  const int64_t codes[][3] = {{0, 0, 0}, {0, 2, 4}, {0, 6, 0}, {1, 0, 0}};
  for (const auto& dc : codes) {
    MATRIX_NODE* n = mx_make_node(m, dc);
    int16_t v = static_cast<int16_t>(dc[1] + 1);
    n->channel[0].data = mx_type_int16.alloc_copy(&mx_type_int16, &v, MX_ATYPE::tagged, nullptr, __FILE__, __LINE__);
    n->channel[1].data = mxt_alloc_vector_by_dim_code(&m->geometry, &mx_type_uint8_v, MX_ATYPE::tagged, dc, nullptr);
    if (dc[0] == 1) insert_dim_code_index(n, codes[0], 0);
    EXPECT_EQ(save_matrix_node(n), 0);
    mx_free_node(n);
  }
  close_matrix(m);
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

}  // namespace

TEST(MxFileFuzzReplay, SeedsAndMutationsNeverCrash) {
  init_qnlisp();
  init_matrix();
  TempDir dir("mxfuzz");
  FuzzReplay r;
  r.seeds = {make_file(dir.at("ring.mx"), 7, kMxCacheFile), make_file(dir.at("bits.mx"), 1, 0)};
  // QNMX_WRITE_SEEDS=<dir> keeps the made files as a corpus for `make fuzz`.
  if (const char* out = std::getenv("QNMX_WRITE_SEEDS"))
    for (size_t i = 0; i < r.seeds.size(); ++i)
      std::ofstream(std::string(out) + "/seed" + std::to_string(i) + ".mx", std::ios::binary)
          .write(reinterpret_cast<const char*>(r.seeds[i].data()), static_cast<std::streamsize>(r.seeds[i].size()));
  for (Bytes& b : read_corpus(test_path("seeds"))) r.seeds.push_back(std::move(b));
  r.rounds = QNMX_REPLAY_ROUNDS;
  r.rng_seed = 21;
  fuzz_replay(LLVMFuzzerTestOneInput, r);
}
