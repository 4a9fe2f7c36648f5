// Helpers of the matrix store tests: the store started with the runtime and
// its collector hooks installed, matrices made with given sizes and
// released again, file-backed matrices whose scripts load and save nodes
// through the standard hooks, the file validator, and lines read from the
// Python reference codec. The fixture, the lock scope, scripts and
// commands are the layer's shared support (support/matrix).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "matrix/matrix.h"
#include "support/bytes.h"
#include "support/matrix/matrix_fixture.h"
#include "zu/gc.h"

// Starts the runtime and the store with the collector hooks and the test
// built-ins (once; the test environment and child bodies call it).
void mx_test_init();

// A matrix with dim dimensions and the given per-dimension sizes (empty:
// left unset); released with drop_matrix.
MATRIX* make_matrix(int dim, const std::vector<int>& dd, const std::vector<int>& bs,
                    const std::vector<int64_t>& ps, int channels = 1);
void drop_matrix(MATRIX* m);

// A node of m at dc (normalised), made by the node cache's own mx_make_node
// outside the cache; freed with its channel data by drop_node (mx_free_node).
MATRIX_NODE* make_node(MATRIX* m, const std::vector<int64_t>& dc);
void drop_node(MATRIX_NODE* n);

// The Python reference codec with its arguments.
std::string codec_cmd(const std::string& args);

std::vector<int64_t> csv_ints(const std::string& s);

// ---- matrix files
struct MxSpec {
  int dim = 2;
  std::vector<int> dd, bs;
  std::vector<int64_t> ps;
  std::vector<MATRIX_CHANNEL_INFO> channels;  // every channel, in order
  int flags = 0;                              // MATRIX_PARAM flags
};
// Opens the matrix of the file at path as the agent does: the header is
// loaded (O_RDWR | O_CREAT); a new file gets spec and its header written.
// Scripts fetch a node from the file (making it when the file has none)
// and save it. Returns load_matrix_header's outcome; *mp is the active
// matrix, or null after a refusal (the matrix closed again).
int open_mx_file(MATRIX** mp, const std::string& path, const MxSpec& spec);
// validate_mx.py on the files ("--closed" and the like in opts): its output,
// empty when every file is valid.
std::string mx_validate(const std::vector<std::string>& paths, const std::string& opts = "--closed");
// The file's records in order, as validate_mx.py --records prints them.
std::string mx_records(const std::string& path);
