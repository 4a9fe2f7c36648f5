// Helpers of the matrix store tests: the store started with its collector
// hooks installed, matrices made with given sizes and released again, and
// lines read from the Python reference codec.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "matrix/matrix.h"
#include "support/bytes.h"
#include "zu/gc.h"

// The store started once per test binary; collections mark its values.
class MatrixTest : public ::testing::Test {
 protected:
  MatrixTest() : scope_("matrix test") {}
  ZuThreadScope scope_;
};

// A matrix with dim dimensions and the given per-dimension sizes (empty:
// left unset); released with drop_matrix.
MATRIX* make_matrix(int dim, const std::vector<int>& dd, const std::vector<int>& bs,
                    const std::vector<int64_t>& ps, int channels = 1);
void drop_matrix(MATRIX* m);

// A node of m at dc (normalised) with its child list made as the node cache
// makes it, outside the cache; freed with its channel data by drop_node.
MATRIX_NODE* make_node(MATRIX* m, const std::vector<int64_t>& dc);
void drop_node(MATRIX_NODE* n);

// Lines the command prints on its standard output; the test fails when it
// exits with a failure.
std::vector<std::string> run_lines(const std::string& cmd);
// The Python reference codec with its arguments.
std::string codec_cmd(const std::string& args);

Bytes unhex(const std::string& s);
std::vector<int64_t> csv_ints(const std::string& s);
