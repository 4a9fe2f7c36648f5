// Saving nodes to the matrix file: a node whose data are what its records
// hold writes only its node record; a change, marked with or without save
// scripts, and a datum made without a mark are written; what is saved
// reads back, and the file validates.
#include <cstring>
#include <fstream>
#include <string>

#include "elements/value.h"
#include "matrix/matrix_impl.h"
#include "matrix/mx_file.h"
#include "matrix/node.h"
#include "matrix_test_util.h"
#include "support/temp_dir.h"

namespace {

using Code = std::vector<int64_t>;

// "rchar" or "wchar" of this process so far.
int64_t io_count(const std::string& what) {
  std::ifstream f("/proc/self/io");
  std::string key;
  int64_t v = 0;
  while (f >> key >> v)
    if (key == what + ":") return v;
  return -1;
}

// One node of 256 x 256 pixel words (channel 0) beside 256 x 256 bytes
// (channel 1), both kept in the file.
MxSpec two_channels() {
  MxSpec s;
  s.dd = {1, 1};
  s.bs = {8, 8};
  s.ps = {256, 256};
  s.channels = {{&mx_type_RGB_v, kMxChFile, nullptr, 0}, {&mx_type_uint8_v, kMxChFile, nullptr, 0}};
  return s;
}

const Code kNode = {0, 0, 0};

// The elements of channel ch of the node, through f, under the channel
// lock; `changed` marks the node changed as a writer does.
template <class F>
void with_elements(MATRIX* m, int ch, bool changed, F f) {
  int err = 0;
  MATRIX_NODE* n = nullptr;
  void* d = get_matrix_node_channel(&err, &n, m, kNode.data(), ch, 0, 0, nullptr, 0);
  ASSERT_TRUE(d) << err;
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, d);
  f(dh.offset, dh.total_element);
  matrix_node_channel_unlock(n, changed ? 1 : 0);
}

MATRIX_NODE* node_of(MATRIX* m) {
  int err = 0;
  MATRIX_NODE* n = get_matrix_node_wait(&err, m, kNode.data(), 0);
  EXPECT_TRUE(n) << err;
  if (n) unlock_node(n, nullptr);
  return n;
}

// Saves n as the save hook does: (bytes read, bytes written) meanwhile.
std::pair<int64_t, int64_t> save_counted(MATRIX_NODE* n) {
  const int64_t r = io_count("rchar"), w = io_count("wchar");
  matrix_node_channel_lock(n);
  EXPECT_EQ(save_matrix_node(n), 0);
  matrix_node_channel_unlock(n, 0);
  return {io_count("rchar") - r, io_count("wchar") - w};
}

uint32_t word_at(MATRIX* m, int64_t i) {
  uint32_t w = 0;
  with_elements(m, 0, false, [&](uint8_t* e, int64_t) { std::memcpy(&w, e + 4 * i, 4); });
  return w;
}

}  // namespace

// Saved once, the node is saved again without a byte of its data read or
// written (the rewrite of the same bytes used to read them back to compare);
// a datum made since without a mark (a read through a cache makes one)
// changes the channel chain and is written; a changed element is written.
// Reopened, the file holds the last of each.
TEST_F(MatrixTest, SavingAnUnchangedNodeWritesOnlyItsNodeRecord) {
  TempDir dir("mxsave");
  const std::string path = dir.at("s.mx");
  MATRIX* m = nullptr;
  ASSERT_EQ(open_mx_file(&m, path, two_channels()), 0);
  with_elements(m, 0, true, [](uint8_t* e, int64_t n) {
    for (int64_t i = 0; i < n; ++i) {
      const uint32_t w = static_cast<uint32_t>(i * 2654435761u) << 8;
      std::memcpy(e + 4 * i, &w, 4);
    }
  });
  sync_matrix(m);
  MATRIX_NODE* n = node_of(m);
  ASSERT_TRUE(n);
  auto [read, written] = save_counted(n);
  EXPECT_LT(read, 4096);
  EXPECT_LT(written, 4096);
  EXPECT_EQ(mx_validate({path}, ""), "");

  {
    MatrixLocked held;
    _matrix_node_channel_lock(n);
    ASSERT_TRUE(_mx_channel_datum_unchanged(n, 1));
    _matrix_node_channel_unlock(n, 0);
  }
  std::tie(read, written) = save_counted(n);
  EXPECT_GE(written, 256 * 256 / 2);  // channel 1's record, its whole pages at once

  with_elements(m, 0, true, [](uint8_t* e, int64_t) { std::memset(e + 4 * 1000, 0x5A, 4); });
  save_counted(n);
  sync_matrix(m);
  close_matrix(m);

  ASSERT_EQ(open_mx_file(&m, path, {}), 0);
  EXPECT_EQ(word_at(m, 1000), 0x5A5A5A5Au);
  EXPECT_EQ(word_at(m, 999), static_cast<uint32_t>(999 * 2654435761u) << 8);
  int err = 0;
  MATRIX_NODE* back = nullptr;
  EXPECT_TRUE(get_matrix_node_channel(&err, &back, m, kNode.data(), 1, 0, -1, nullptr, 0)) << err;
  if (back) matrix_node_channel_unlock(back, 0);
  close_matrix(m);
  EXPECT_EQ(mx_validate({path}), "");
}

// Without save scripts a change is not marked for saving, but a save asked
// for by name still writes it: the record is written again, whatever the
// marks say.
TEST_F(MatrixTest, AChangeWithoutSaveScriptsIsStillSaved) {
  TempDir dir("mxsave");
  const std::string path = dir.at("u.mx");
  MATRIX* m = nullptr;
  ASSERT_EQ(open_mx_file(&m, path, two_channels()), 0);
  with_elements(m, 0, true, [](uint8_t* e, int64_t n) { std::memset(e, 0x11, static_cast<size_t>(4 * n)); });
  sync_matrix(m);
  for (int slot : {21, 22, 23}) ASSERT_EQ(set_matrix_cal(m, slot, nullptr), 0);
  MATRIX_NODE* n = node_of(m);
  ASSERT_TRUE(n);
  with_elements(m, 0, true, [](uint8_t* e, int64_t) { std::memset(e + 4 * 7, 0x22, 4); });
  {
    MatrixLocked held;
    EXPECT_EQ(n->dirty_file_time, 0u);  // nothing marked it
  }
  save_counted(n);
  close_matrix(m);
  ASSERT_EQ(open_mx_file(&m, path, {}), 0);
  EXPECT_EQ(word_at(m, 7), 0x22222222u);
  EXPECT_EQ(word_at(m, 8), 0x11111111u);
  close_matrix(m);
  EXPECT_EQ(mx_validate({path}), "");
}
