// Scripted runs of the node pipeline: the store with the operations bound,
// matrices whose load and write hooks use an in-memory store, a gate that
// holds the node worker, and a note built-in that records what scripts saw.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "matrix/matrix.h"
#include "matrix/node.h"
#include "zu/gc.h"

using Code = std::vector<int64_t>;

// The in-memory matrix file behind read_file and write_file (channel 0).
// The write reads the datum and clears the save mark under the node's
// channel lock, so a change made meanwhile stays marked.
struct MemStore {
  std::mutex mu;
  std::condition_variable cv;     // a load was kept for later
  std::map<Code, int64_t> saved;  // value of channel 0 per node
  std::map<Code, int> saves;      // write_file calls per node
  std::vector<MATRIX_TOKEN*> later;  // loads that finish later
  bool load_later = false;        // read_file answers 1 and keeps the token
  int reads = 0;                  // read_file calls
};
extern MemStore mem_store;

// Lines that (note form) and (peek form) recorded: the printed value of
// form ("error <hex code> <data>" for an error), which note returns and
// peek drops. wait_notes waits for n lines.
std::vector<std::string> notes();
void clear_notes();
void wait_notes(size_t n);

// A matrix of `dim` dimensions, dim_divide dd, block size 0 and `levels`
// levels, active, with channel 0 int64 (send, file) and channel 1 int64
// (send only), the memory hooks, a fetch script that loads and ends ready
// (fails to MS_LOADING_ERR_1), and save scripts that save. pri: the
// priority words of the 24 slots (empty: 0).
MATRIX* open_scripted(int dim, int dd, int levels, const std::vector<int>& pri = {}, const char* key = nullptr);
// Sets the script of the slots from ZU text.
void set_script(MATRIX* m, std::initializer_list<int> slots, const std::string& text);
// Waits until m has no token left.
void wait_idle(MATRIX* m);
// The node at dc, waited for and unlocked again; null when it failed.
MATRIX_NODE* ready_node(MATRIX* m, const Code& dc);
// The printed form of a value.
std::string printed(ZU_SEXP* s);
// True when s contains every one of the texts.
bool has_all(const std::string& s, std::initializer_list<const char*> texts);
// The node at dc when it is in memory (looked at, not touched otherwise).
MATRIX_NODE* node_at(MATRIX* m, const Code& dc);
// Waits until the completion byte of slot kind `kind` of n is set.
signed char wait_byte(MATRIX_NODE* n, int kind);

// Holds the node worker while it lives: tokens queue behind it.
class WorkerGate {
 public:
  WorkerGate();
  ~WorkerGate() { open(); }
  // Lets the worker go on (again: nothing).
  void open();

 private:
  static void run(MATRIX_TOKEN* t);
  std::mutex mu_;
  std::condition_variable cv_;
  int state_ = 0;  // 1 holding the worker, 2 opened, 3 the worker went on
};

class OpsTest : public ::testing::Test {
 protected:
  OpsTest() : scope_("ops test") { clear_notes(); }
  ZuThreadScope scope_;
};
