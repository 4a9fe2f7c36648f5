#include <gtest/gtest.h>

#include "base/endian.h"

TEST(Endian, StoresBigEndian) {
  unsigned char b[8];
  store_be32(b, 0x01020304u);
  EXPECT_EQ(b[0], 1);
  EXPECT_EQ(load_be32(b), 0x01020304u);
}
