// File-backed balanced tree against SQLite's B-tree: insert N 64-bit keys
// in random order into one tree of a record file (through the node cache
// of 10000 records and the page cache) and close the file; then open it
// again, look every key up in another random order and close. SQLite
// inserts the same keys into an INTEGER PRIMARY KEY table in one
// transaction and closes, then looks them all up in one transaction with a
// prepared statement. Both have 128 MiB of page cache, neither syncs except
// where the record store's close and write-back order need it, and both
// are timed up to their close. N is 250k, 1M and 4M; ratios are printed at
// the end.
//
// QNMX_BENCH_DIR names the folder for the files (default the temporary
// folder).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "base/endian.h"
#include "store/favt64.h"
#include "store/l_favt64.h"
#include "store/pdb64.h"

namespace {

struct Keys {
  std::vector<uint64_t> insert_order;
  std::vector<uint64_t> lookup_order;
};

const Keys& keys(size_t n) {
  static std::map<size_t, Keys> all;
  auto it = all.find(n);
  if (it != all.end()) return it->second;
  Keys& k = all[n];
  std::mt19937_64 rng(1);
  k.insert_order.resize(n);
  for (auto& v : k.insert_order) v = rng() >> 2;  // fits SQLite's signed keys
  k.lookup_order = k.insert_order;
  std::shuffle(k.lookup_order.begin(), k.lookup_order.end(), rng);
  return k;
}

std::string bench_path(const char* name) {
  const char* d = std::getenv("QNMX_BENCH_DIR");
  return (d ? std::filesystem::path(d) : std::filesystem::temp_directory_path()) / name;
}

double since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void key_endian(void* d, int64_t len) {
  if (len != 8) return;
  uint64_t v;
  std::memcpy(&v, d, 8);
  v = swap_if64(v);
  std::memcpy(d, &v, 8);
}

int key_cmp(void* node_data, void* key, void*) {
  uint64_t a, b;
  std::memcpy(&a, node_data, 8);
  std::memcpy(&b, key, 8);
  return b < a ? 1 : b > a ? -1 : 0;
}

struct Times {
  double insert = 0, lookup = 0;
};
std::map<size_t, Times> tree_t, sqlite_t;

void BM_FileTree(benchmark::State& state) {
  size_t n = static_cast<size_t>(state.range(0));
  const Keys& k = keys(n);
  std::string file = bench_path("qnmx_tree_bench.db");
  Times& t = tree_t[n];
  for (auto _ : state) {
    std::filesystem::remove(file);
    init_l_favt64();
    fac_set_total_entries(kFacDefaultEntries);  // 128 MiB
    auto t0 = std::chrono::steady_clock::now();
    PDB64* p = open_filespace64(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, kPdb64WithFreeList, 31, nullptr);
    if (!p) {
      state.SkipWithError("cannot create the record file");
      return;
    }
    lock_task(l_favt64_lock);
    FAVT64_ROOT* r = favt64_alloc_root(p, 0x401, key_endian);
    uint64_t root_at = r->h.fofs;
    favt64_lock(r);
    int err = 0;
    for (uint64_t v : k.insert_order) {
      FAVT64_NODE* a = favt64_alloc_node(r, &v, 8);
      if (favt64_insert(&err, r, &r->node, a, key_cmp, nullptr) != a) favt64_free_node(a);
    }
    favt64_unlock(r);
    bool closed = close_filespace64(p) == 0;
    t.insert = since(t0);

    t0 = std::chrono::steady_clock::now();
    p = open_filespace64(file.c_str(), O_RDWR, 0644, kPdb64WithFreeList, 31, nullptr);
    r = p ? get_root64(&err, p, root_at, key_endian) : nullptr;
    size_t found = 0;
    if (r) {
      favt64_lock(r);
      for (uint64_t v : k.lookup_order) {
        FAVT64_NODE* top = root_node64(&err, r);
        found += favt64_search(&err, r, top, &v, key_cmp, nullptr) != nullptr;
      }
      favt64_unlock(r);
    }
    closed = closed && p && close_filespace64(p) == 0;
    unlock_task(l_favt64_lock, "bench");
    t.lookup = since(t0);
    if (!closed) state.SkipWithError("close failed");
    if (found != k.lookup_order.size()) state.SkipWithError("keys missing");
    state.SetIterationTime(t.insert + t.lookup);
  }
  state.counters["insert_s"] = t.insert;
  state.counters["lookup_s"] = t.lookup;
  std::filesystem::remove(file);
}

void BM_SQLiteIndex(benchmark::State& state) {
  size_t n = static_cast<size_t>(state.range(0));
  const Keys& k = keys(n);
  std::string file = bench_path("qnmx_tree_bench.sqlite");
  Times& t = sqlite_t[n];
  const char* settings = "PRAGMA synchronous=OFF; PRAGMA journal_mode=OFF; PRAGMA cache_size=-131072;";
  for (auto _ : state) {
    std::filesystem::remove(file);
    auto t0 = std::chrono::steady_clock::now();
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) {
      state.SkipWithError("cannot open SQLite");
      return;
    }
    sqlite3_exec(db, settings, nullptr, nullptr, nullptr);
    sqlite3_exec(db, "CREATE TABLE t(k INTEGER PRIMARY KEY);", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(db, "INSERT OR IGNORE INTO t(k) VALUES(?)", -1, &ins, nullptr);
    for (uint64_t v : k.insert_order) {
      sqlite3_bind_int64(ins, 1, static_cast<sqlite3_int64>(v));
      sqlite3_step(ins);
      sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    t.insert = since(t0);

    t0 = std::chrono::steady_clock::now();
    sqlite3_open(file.c_str(), &db);
    sqlite3_exec(db, settings, nullptr, nullptr, nullptr);
    sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
    sqlite3_stmt* sel = nullptr;
    sqlite3_prepare_v2(db, "SELECT k FROM t WHERE k = ?", -1, &sel, nullptr);
    size_t found = 0;
    for (uint64_t v : k.lookup_order) {
      sqlite3_bind_int64(sel, 1, static_cast<sqlite3_int64>(v));
      found += sqlite3_step(sel) == SQLITE_ROW;
      sqlite3_reset(sel);
    }
    sqlite3_finalize(sel);
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    t.lookup = since(t0);
    if (found != k.lookup_order.size()) state.SkipWithError("keys missing");
    state.SetIterationTime(t.insert + t.lookup);
  }
  state.counters["insert_s"] = t.insert;
  state.counters["lookup_s"] = t.lookup;
  std::filesystem::remove(file);
}

BENCHMARK(BM_FileTree)->Arg(250000)->Arg(1000000)->Arg(4000000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_SQLiteIndex)->Arg(250000)->Arg(1000000)->Arg(4000000)->Iterations(1)->UseManualTime()->Unit(
    benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  init_endian();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (auto& [n, s] : sqlite_t) {
    const Times& t = tree_t[n];
    if (s.insert > 0 && s.lookup > 0 && t.insert > 0)
      std::printf("%zu keys: tree / SQLite time: insert %.2f, lookup %.2f\n", n, t.insert / s.insert,
                  t.lookup / s.lookup);
  }
  return 0;
}
