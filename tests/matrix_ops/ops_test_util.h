// Scripted runs of the node pipeline: the store with the operations bound,
// matrices whose load and write hooks use an in-memory store, a gate that
// holds the node worker, and built-ins that record what scripts saw.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "matrix/matrix.h"
#include "matrix/node.h"
#include "support/matrix/matrix_fixture.h"
#include "zu/gc.h"

using Code = std::vector<int64_t>;

// Everything the worker reports to a test, under one lock: the in-memory
// matrix file behind read_file and write_file (channel 0; the write reads
// the datum and clears the save mark under the node's channel lock, so a
// change made meanwhile stays marked), loads kept for later, and the lines
// that (note form) and (peek form) recorded: the printed value of form
// ("error <hex code> <data>" for an error), which note returns and peek
// drops.
struct Events {
  std::mutex mu;
  std::condition_variable cv;
  std::map<Code, int64_t> saved;
  std::map<Code, int> saves;
  bool load_later = false;  // read_file answers 1 and keeps the token
  std::vector<MATRIX_TOKEN*> later;
  int reads = 0;
  std::vector<std::string> notes;
};
extern Events& ev;  // never destroyed: the worker may report after a test ends
// Waits (a safe point) until pred holds under ev.mu; ev.cv is told of every
// event, and of every token count of a matrix reaching 0.
void wait_for(const std::function<bool()>& pred);
std::vector<std::string> notes();
void wait_idle(MATRIX* m);
// The trigger hook of the matrices here: tells the waiters when a matrix
// comes to rest (event 4).
int tell_waiters(int event, void* arg);

// A matrix of `dim` dimensions, dim_divide dd, block size 0 and `levels`
// levels, active, with channel 0 int64 (send, file) and channel 1 int64
// (send), the memory hooks, a fetch script that loads and ends ready (or
// MS_LOADING_ERR_1), and save scripts that save. pri: slot priority words.
MATRIX* open_scripted(int dim, int dd, int levels, const std::vector<int>& pri = {}, const char* key = nullptr);
// The node at dc, waited for and unlocked again; null when it failed.
MATRIX_NODE* ready_node(MATRIX* m, const Code& dc);
// The node at dc when it is in memory (looked at, nothing else).
MATRIX_NODE* node_at(MATRIX* m, const Code& dc);
// Waits until the completion byte of kind `kind` of n is set.
signed char wait_byte(MATRIX_NODE* n, int kind);
std::string printed(ZU_SEXP* s);
// "error <hex code> <printed data>" for an error value, else the printed
// value.
std::string shown(ZU_SEXP* v);

// A matrix kept in the file at path (made when missing): two dimensions of
// 1024 elements, block size 8, dim_divide 1, the given channels. Its nodes
// are fetched from the file (made there when they are missing) and saved
// to it through the standard hooks; null when the file does not open.
MATRIX* open_file_matrix(const std::string& path, const std::vector<MATRIX_CHANNEL_INFO>& channels);
// The notes of a script run in the edit slots of node dc, the waits of
// forms that ran again left out.
std::vector<std::string> run_edit(MATRIX* m, const Code& dc, const std::string& script);

// Holds the node worker while it lives: tokens queue behind it.
class WorkerGate {
 public:
  WorkerGate();
  ~WorkerGate();

 private:
  static void run(MATRIX_TOKEN* t);
  int state_ = 0;  // under ev.mu: 1 holding the worker, 2 opened, 3 the worker went on
};

class OpsTest : public MatrixTest {};
