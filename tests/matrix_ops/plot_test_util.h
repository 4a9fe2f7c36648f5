// Helpers of the plot tests: a matrix that carries only a plot geometry
// (and hands out object ids), and plot lists written as hex plot code.
// The store and the language core are started by the folder's test
// environment (ops_test_util.cc).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "matrix/matrix.h"
#include "matrix_ops/plot_level.h"
#include "support/bytes.h"

struct PlotMatrix {
  MATRIX m{};
  std::vector<uint8_t> bs, dd;
  PlotMatrix(std::vector<uint8_t> block_size, std::vector<uint8_t> dim_divide);
  MATRIX* get() { return &m; }
};

// The list read from code (tagged unless sat), failing the test when it is
// damaged.
INTERNAL_PLOT* plot_of(MATRIX* m, const std::string& hex_code, SIMPLE_ALLOC_T* sat = nullptr);
// The list's code as hex ("" when it cannot be written); the list is freed
// unless keep.
std::string code_of(MATRIX* m, INTERNAL_PLOT* ip, bool keep = false);
// Reads code; -1 damaged, else the number of points, and the code written
// back from them in *again.
int read_back(MATRIX* m, Bytes code, SIMPLE_ALLOC_T* sat, Bytes* again);
