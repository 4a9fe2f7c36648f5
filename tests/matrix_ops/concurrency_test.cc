// Sixteen threads request, write, trigger and save nodes of a deep matrix
// with a small cache against a model of what each node must hold; a clock
// that runs fast makes the purge save and free nodes all the time.
#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "base/tick.h"
#include "ops_test_util.h"

namespace {

std::atomic<int64_t> clock_calls{0};
int64_t fast_clock() { return 1000000 + clock_calls.fetch_add(1, std::memory_order_relaxed) / 16; }

constexpr int kThreads = 16;
constexpr int kOps = 300;
constexpr int kLevels = 10;

struct Model {
  std::mutex mu;
  std::map<Code, int64_t> value;  // increments written per node
};

// A held node must still be the node that was asked for.
void check_held(MATRIX_NODE* n, const Code& dc) {
  lock_task(matrix_lock);
  EXPECT_GT(n->locked, 0);
  EXPECT_EQ(Code(n->dim_code, n->dim_code + 2), dc);
  unlock_task(matrix_lock, "check_held");
}

void work(MATRIX* m, Model* model, unsigned seed, double* longest) {
  std::mt19937 rng(seed);
  for (int op = 0; op < kOps; ++op) {
    int64_t level = rng() % kLevels;
    Code dc{level, static_cast<int64_t>(rng() % 512) >> level << level};
    auto start = std::chrono::steady_clock::now();
    int err = 0, kind = static_cast<int>(rng() % 4);
    if (kind == 2) {  // a write under the channel lock
      MATRIX_NODE* n = nullptr;
      auto* d = static_cast<int64_t*>(get_matrix_node_channel(&err, &n, m, dc.data(), 0, 0, 0, nullptr, 0));
      ASSERT_TRUE(d) << err;
      std::lock_guard<std::mutex> g(model->mu);
      ++*d;
      ++model->value[dc];
      matrix_node_channel_unlock(n, 1);
    } else if (MATRIX_NODE* n = kind == 1 ? get_matrix_node(&err, m, dc.data(), 0, nullptr, nullptr)
                                          : get_matrix_node_wait(&err, m, dc.data(), 0);
               n && err == 0) {
      check_held(n, dc);
      if (kind == 3) {  // a save only of what was written, else a reprocessing
        std::lock_guard<std::mutex> g(model->mu);
        matrix_trigger_access(n, model->value.count(dc) ? 21 : 15, 0);
      }
      unlock_node(n, nullptr);
    }
    *longest = std::max(*longest, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}

TEST_F(OpsTest, ConcurrentRequestsMatchTheModel) {
  del_tick_with_data(matrix_access_tick, nullptr);
  set_mx_clock(fast_clock);
  MATRIX* m = open_scripted(1, 1, kLevels);
  set_script(m, {15, 16, 17}, "(mxCH 0)");
  lock_task(matrix_lock);
  total_ncache_size = 8;
  const int64_t old_budget = node_cache_bytes;
  node_cache_bytes = 0;  // the purge frees nodes in use around it
  unlock_task(matrix_lock, "test");
  Model model;
  std::vector<double> longest(kThreads, 0);
  {
    BlockingRegion blocking;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) threads.emplace_back(work, m, &model, 7919u * i + 1, &longest[i]);
    for (std::thread& t : threads) t.join();
  }
  for (double s : longest) EXPECT_LT(s, 60.0) << "a request took too long";
  close_matrix(m);
  EXPECT_EQ(nd_cnt, 0);
  std::set<Code> saved, written;  // every written node saved, no other
  for (auto& [dc, n] : ev.saves) saved.insert(dc);
  for (auto& [dc, v] : model.value) {
    written.insert(dc);
    EXPECT_EQ(ev.saved[dc], v) << dc[0] << " " << dc[1];
  }
  EXPECT_EQ(saved, written);
  lock_task(matrix_lock);
  node_cache_bytes = old_budget;
  unlock_task(matrix_lock, "test");
  set_mx_clock(nullptr);
}

}  // namespace
