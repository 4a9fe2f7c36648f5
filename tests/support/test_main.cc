// The main of every test binary: runs a child body when started as one
// (support/child.h), else the tests.
#include <gtest/gtest.h>

#include "support/child.h"

int main(int argc, char** argv) {
  int status = 0;
  if (run_child_body(argc, argv, &status)) return status;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
