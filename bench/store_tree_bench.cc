// File-backed balanced tree against SQLite's B-tree: insert N 64-bit keys
// in random order into one tree of a record file (through the node cache
// of 10000 records and the page cache) and close the file; then open it
// again, look every key up in another random order and close. SQLite
// inserts the same keys into an INTEGER PRIMARY KEY table in one
// transaction and closes, then looks them all up in one transaction with a
// prepared statement. Both have 128 MiB of page cache and make their
// inserts durable alike: the record store syncs at its close, SQLite
// (synchronous=FULL, no journal) at its commit; the look-ups write
// nothing (the record file is opened for reading) and sync nothing. Both
// are timed up to their close. N is 250k, 1M and 4M. The sizes run in
// pairs, the tree's run and SQLite's one right after the other, each pair
// QNMX_BENCH_REPEATS times (default 5), every run on fresh files; the
// program ends with the rows of bench/table.py (seconds of every run; the
// table gives the ratios, tree over SQLite).
//
// QNMX_BENCH_DIR names the folder for the files (default the temporary
// folder).
#include <fcntl.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/endian.h"
#include "row.h"
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

// Seconds of the insert and of the look-up of one run; an empty error when
// it went through.
struct Run {
  double insert = 0, lookup = 0;
  std::string error;
};

Run run_tree(const Keys& k) {
  const std::string file = bench_path("qnmx_tree_bench.db");
  std::filesystem::remove(file);
  init_l_favt64();
  fac_set_total_entries(kFacDefaultEntries);  // 128 MiB
  Run run;
  auto t0 = std::chrono::steady_clock::now();
  PDB64* p = open_filespace64(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, kPdb64WithFreeList, 31, nullptr);
  if (!p) return Run{0, 0, "cannot create the record file"};
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
  run.insert = since(t0);

  t0 = std::chrono::steady_clock::now();
  p = open_filespace64(file.c_str(), O_RDONLY, 0644, kPdb64WithFreeList, 31, nullptr);
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
  run.lookup = since(t0);
  std::filesystem::remove(file);
  if (!closed) run.error = "close failed";
  else if (found != k.lookup_order.size()) run.error = "keys missing";
  return run;
}

Run run_sqlite(const Keys& k) {
  const std::string file = bench_path("qnmx_tree_bench.sqlite");
  const char* settings = "PRAGMA synchronous=FULL; PRAGMA journal_mode=OFF; PRAGMA cache_size=-131072;";
  std::filesystem::remove(file);
  Run run;
  auto t0 = std::chrono::steady_clock::now();
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK ||
      sqlite3_exec(db, settings, nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_exec(db, "CREATE TABLE t(k INTEGER PRIMARY KEY); BEGIN;", nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return Run{0, 0, "cannot open SQLite"};
  }
  sqlite3_stmt* ins = nullptr;
  sqlite3_prepare_v2(db, "INSERT OR IGNORE INTO t(k) VALUES(?)", -1, &ins, nullptr);
  for (uint64_t v : k.insert_order) {
    sqlite3_bind_int64(ins, 1, static_cast<sqlite3_int64>(v));
    if (sqlite3_step(ins) != SQLITE_DONE) run.error = "SQLite insert failed";
    sqlite3_reset(ins);
  }
  sqlite3_finalize(ins);
  if (sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) != SQLITE_OK) run.error = "SQLite commit failed";
  sqlite3_close(db);
  run.insert = since(t0);
  if (!run.error.empty()) return run;

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
  run.lookup = since(t0);
  std::filesystem::remove(file);
  if (found != k.lookup_order.size()) run.error = "SQLite: keys missing";
  return run;
}

// The pairs of one number of keys: insert and look-up of the tree, then of
// SQLite.
struct Case {
  size_t n;
  const char* id;     // in the row ids
  const char* label;  // in the rows' text
  std::vector<double> insert[2], lookup[2];  // tree, SQLite
  std::string error;
};

}  // namespace

int main() {
  init_endian();
  const int repeats = bench_row::repeats();
  Case cases[] = {{250000, "250k", "250k", {}, {}, {}},
                  {1000000, "1m", "1M", {}, {}, {}},
                  {4000000, "4m", "4M", {}, {}, {}}};
  std::printf("tree against SQLite, %d pairs a size\n", repeats);
  std::fflush(stdout);
  for (int i = 0; i < repeats; ++i)
    for (Case& c : cases) {
      if (!c.error.empty()) continue;
      const Keys& k = keys(c.n);
      Run a = run_tree(k);
      Run b = a.error.empty() ? run_sqlite(k) : Run{};
      if (!a.error.empty() || !b.error.empty()) {
        c.error = a.error.empty() ? b.error : a.error;
        std::printf("%zu keys pair %d: %s\n", c.n, i + 1, c.error.c_str());
        continue;
      }
      c.insert[0].push_back(a.insert);
      c.insert[1].push_back(b.insert);
      c.lookup[0].push_back(a.lookup);
      c.lookup[1].push_back(b.lookup);
      std::printf("%zu keys pair %d: insert %.3f / %.3f s, lookup %.3f / %.3f s (tree / SQLite)\n", c.n, i + 1,
                  a.insert, b.insert, a.lookup, b.lookup);
      std::fflush(stdout);
    }
  const std::string ours_insert = "a file-backed balanced tree, 128 MiB page cache, synced at close";
  const std::string peer_insert =
      "an INTEGER PRIMARY KEY table, one transaction, 128 MiB cache, no journal, synchronous=FULL (synced at commit)";
  const std::string ours_lookup = "the tree reopened for reading";
  const std::string peer_lookup = "one transaction, a prepared statement";
  const std::string aim = "ratio<=1; at most SQLite's time";
  for (Case& c : cases)
    for (int phase = 0; phase < 2; ++phase) {
      const std::string id = std::string("store.tree.") + (phase ? "lookup." : "insert.") + c.id;
      const std::string label = c.label;
      const std::string path = "record store: " + (phase ? "look-up of " + label + " keys in random order"
                                                         : label + " random 64-bit keys into a tree") +
                               ", up to close";
      const std::string& ours = phase ? ours_lookup : ours_insert;
      const std::string& peer = phase ? peer_lookup : peer_insert;
      const auto& t = phase ? c.lookup : c.insert;
      if (c.error.empty())
        bench_row::print(id, path, "SQLite", ours, peer, "in process", aim, t[0], t[1]);
      else
        bench_row::print_failed(id, path, "SQLite", ours, peer, "in process", aim, c.error);
    }
  return 0;
}
