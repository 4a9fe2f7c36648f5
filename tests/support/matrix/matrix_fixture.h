// Test support at the matrix store's layer, shared by the tests of the
// store (tests/matrix) and of the matrix operations (tests/matrix_ops): the
// fixture of a test that works with collected values, the store's lock
// held for a scope, scripts set from text, an environment in which scripts
// run for a node as the worker's would, a matrix file opened as the agent
// opens it, and the lines a command writes. Each folder's own test
// environment starts the store.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "matrix/matrix.h"
#include "zu/gc.h"

// A test that holds a collector scope for its values.
class MatrixTest : public ::testing::Test {
 protected:
  MatrixTest() : scope_("matrix test") {}
  ZuThreadScope scope_;
};

// Holds matrix_lock for a scope, around calls of the store's `_name`
// functions, which expect it held.
class MatrixLocked {
 public:
  MatrixLocked() { lock_task(matrix_lock); }
  ~MatrixLocked() { unlock_task(matrix_lock, "test"); }
  MatrixLocked(const MatrixLocked&) = delete;
  MatrixLocked& operator=(const MatrixLocked&) = delete;
};

// Sets the script of each of the slots to the forms of text (UTF-8).
void set_script(MATRIX* m, std::initializer_list<int> slots, const std::string& text);

// An environment under matrix_zu_env in which scripts run for node n as the
// worker's would (its work record a token running n), with the runtime's
// break check off meanwhile (this thread is no interpreter's).
class NodeScript {
 public:
  explicit NodeScript(MATRIX_NODE* n);
  ~NodeScript();
  NodeScript(const NodeScript&) = delete;
  NodeScript& operator=(const NodeScript&) = delete;
  // The value of the last form of text.
  ZU_SEXP* eval(const std::string& text);
  // Binds name to v in this environment.
  void let(const char* name, ZU_SEXP* v);
  ZUISP_ENV* env;

 private:
  MATRIX_TOKEN token_{};
};

// Opens the matrix of the file at path as the agent does: its header is
// loaded (O_RDWR | O_CREAT), the standard file hooks and `trigger` are
// installed, and a new file gets its shape from make_new (parameters,
// divisions, channels) and its header written. 0 with *mp the matrix (its
// scripts and mode still to set), or the outcome of the header's load or
// save with the matrix closed again and *mp null.
int open_matrix_file(MATRIX** mp, const std::string& path, const std::function<void(MATRIX*)>& make_new,
                     int (*trigger)(int event, void* arg) = nullptr);

// The lines a command writes on its standard output (with_stderr: and its
// standard error); the test fails when it exits with a failure.
std::vector<std::string> run_lines(const std::string& cmd, bool with_stderr = false);
