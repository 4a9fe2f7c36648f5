// The node pool: the blocks of vectors as large as a node, let go as nodes
// leave the cache, serve the next vector of that size.
#include <cstring>

#include "base/alloc.h"
#include "elements/value.h"
#include "matrix/node.h"
#include "matrix_test_util.h"

namespace {

void* pixel_vector(int side, const void* def = nullptr) {
  const int32_t ix[2] = {side, side};
  MATRIX_ALLOC_VECTOR_PARAM p{2, ix, def, nullptr};
  return mxt_alloc_vector(&mx_type_RGB_v, MX_ATYPE::tagged, &p, nullptr);
}

void give(MATRIX_DATA_TYPE* tp, void* d) {
  MatrixLocked held;
  mx_node_pool_give(tp, d);
}

// True when every element of the pixel vector v is w.
bool all_words(void* v, uint32_t w) {
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  for (int64_t i = 0; i < dh.total_element; ++i) {
    uint32_t e;
    std::memcpy(&e, dh.offset + 4 * i, 4);
    if (e != w) return false;
  }
  return dh.total_element > 0;
}

}  // namespace

// A node-sized block comes back, for the next vector of its size, made up
// as a fresh one would be (zeros, or the default in every element), never
// with the pixels of the node it served before; a vector of another size
// does not take it.
TEST_F(MatrixTest, NodePoolServesTheNextVectorOfItsSize) {
  MATRIX* m = make_matrix(2, {1, 1}, {8, 8}, {1024, 1024});
  void* a = pixel_vector(256);
  const size_t size = d_alloc_size(a);
  std::memset(a, 0xAB, size);
  give(&mx_type_RGB_v, a);
  EXPECT_EQ(mx_node_pool_bytes(), static_cast<int64_t>(size));

  void* other = pixel_vector(255);  // another size: fresh memory
  EXPECT_NE(other, a);
  EXPECT_EQ(mx_node_pool_bytes(), static_cast<int64_t>(size));

  void* b = pixel_vector(256);
  EXPECT_EQ(b, a);
  EXPECT_EQ(mx_node_pool_bytes(), 0);
  EXPECT_TRUE(all_words(b, 0));
  give(&mx_type_RGB_v, b);
  const uint32_t grey = 0x80808000u;
  void* c = pixel_vector(256, &grey);
  EXPECT_EQ(c, a);
  EXPECT_TRUE(all_words(c, grey));

  mxt_free_data(&mx_type_RGB_v, c);
  mxt_free_data(&mx_type_RGB_v, other);
  drop_matrix(m);
}

// What the pool does not keep is freed at once: vectors below a node's
// size, string vectors (their texts are theirs), a block let go without the
// store's lock (a node no table held), and blocks past the bound of
// node_cache_bytes. The last matrix freed empties the pool.
TEST_F(MatrixTest, NodePoolKeepsOnlyNodeBlocksWithinItsBound) {
  MATRIX* m = make_matrix(2, {1, 1}, {8, 8}, {1024, 1024});
  give(&mx_type_RGB_v, pixel_vector(64));  // 16 KiB
  EXPECT_EQ(mx_node_pool_bytes(), 0);
  mx_node_pool_give(&mx_type_RGB_v, pixel_vector(256));
  EXPECT_EQ(mx_node_pool_bytes(), 0);

  const int32_t ix[2] = {128, 128};
  MATRIX_ALLOC_VECTOR_PARAM sp{2, ix, nullptr, nullptr};
  void* texts = mxt_alloc_stringv_data(&mx_type_string_v, MX_ATYPE::tagged, &sp, nullptr, __FILE__, __LINE__);
  ASSERT_NE(texts, nullptr);
  ASSERT_EQ(mxt_stringv_set(texts, 5, "kept by the vector"), 0);
  give(&mx_type_string_v, texts);
  EXPECT_EQ(mx_node_pool_bytes(), 0);

  void* a = pixel_vector(256);
  void* b = pixel_vector(256);
  const auto size = static_cast<int64_t>(d_alloc_size(a));
  const int64_t cache = node_cache_bytes;
  {
    MatrixLocked held;
    node_cache_bytes = size + size / 2;  // room for one block
  }
  give(&mx_type_RGB_v, a);
  give(&mx_type_RGB_v, b);
  EXPECT_EQ(mx_node_pool_bytes(), size);
  {
    MatrixLocked held;
    node_cache_bytes = cache;
  }
  drop_matrix(m);
  EXPECT_EQ(mx_node_pool_bytes(), 0);
}
