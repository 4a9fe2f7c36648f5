// Record store against SQLite: write N records of random sizes (16 B to
// 64 KiB, log-uniform so that small and large records both count), then
// read them all back in random order. SQLite inserts into a rowid table in
// one transaction and reads by rowid.
//
// Both sides get the same terms. Cache: the store's page cache holds
// QNMX_BENCH_CACHE_PAGES pages of 4 KiB (default 32768, 128 MiB) and SQLite
// gets a page cache of the same bytes; the store's direct mode (no cache) is
// set against SQLite with the smallest cache it takes. Durability: the
// store as it ships, which syncs the file when it is closed (before and
// after the header that marks it closed); SQLite with its rollback journal
// (journal_mode=DELETE) and synchronous=NORMAL, which syncs when the
// transaction commits. Both are timed up to their close. The cases run in
// pairs, the store's run and SQLite's one right after the other, each pair
// QNMX_BENCH_REPEATS times (default 5); the program ends with the rows of
// bench/table.py (seconds of every run; the table gives the ratios, store
// over SQLite).
//
// QNMX_BENCH_RECORDS sets N (default 100000); QNMX_BENCH_DIR the folder for
// the files (default the temporary folder).
#include <fcntl.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "row.h"
#include "store/pdb64.h"

namespace {

struct Workload {
  std::vector<uint32_t> sizes;  // body bytes of each record
  std::vector<uint32_t> order;  // read order
  uint64_t bytes = 0;
};

long env_number(const char* name, long fallback) {
  const char* env = std::getenv(name);
  long n = env ? std::atol(env) : 0;
  return n > 0 ? n : fallback;
}

const Workload& workload() {
  static const Workload w = [] {
    Workload w;
    size_t n = static_cast<size_t>(env_number("QNMX_BENCH_RECORDS", 100000));
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> u(std::log(16.0), std::log(65536.0));
    w.sizes.resize(n);
    for (auto& s : w.sizes) {
      s = static_cast<uint32_t>(std::exp(u(rng)));
      w.bytes += s;
    }
    w.order.resize(n);
    for (size_t i = 0; i < n; ++i) w.order[i] = static_cast<uint32_t>(i);
    std::shuffle(w.order.begin(), w.order.end(), rng);
    return w;
  }();
  return w;
}

int cache_pages() { return static_cast<int>(env_number("QNMX_BENCH_CACHE_PAGES", kFacDefaultEntries)); }

std::string bench_path(const char* name) {
  const char* d = std::getenv("QNMX_BENCH_DIR");
  return (d ? std::filesystem::path(d) : std::filesystem::temp_directory_path()) / name;
}

void fill(uint8_t* p, uint32_t len, uint32_t i) {
  std::memset(p, static_cast<int>(i & 0xFF), len);
  if (len >= 4) store_be32(p, i);
}

double since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Seconds of the write and of the read of one run; an empty error when it
// went through.
struct Run {
  double write_s = 0, read_s = 0;
  std::string error;
};

Run run_store(bool direct) {
  const Workload& w = workload();
  const std::string path = bench_path(direct ? "qnmx_bench_direct.db" : "qnmx_bench_cached.db");
  Run run;
  fac_set_total_entries(direct ? 0 : cache_pages());
  std::filesystem::remove(path);
  std::vector<int64_t> at(w.sizes.size());
  std::vector<uint8_t> buf(16 + 65536);
  auto t0 = std::chrono::steady_clock::now();
  PDB64* p = open_filespace64(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, kPdb64WithFreeList, 1, nullptr);
  if (!p) return Run{0, 0, "open failed"};
  for (size_t i = 0; i < w.sizes.size(); ++i) {
    uint64_t m = 16 + uint64_t{w.sizes[i]};
    PN64_HEADER h{0x0200, {0, 0, 0}, m < 24 ? 24 : m};
    at[i] = alloc_filespace64(p, &h);
    auto* rec = reinterpret_cast<PN64_HEADER*>(buf.data());
    *rec = h;
    change_endian_header64(rec);
    fill(buf.data() + 16, static_cast<uint32_t>(h.size - 16), static_cast<uint32_t>(i));
    if (at[i] < 0 || write_filespace64f(p, static_cast<uint64_t>(at[i]), rec) < 0) {
      close_filespace64(p);
      return Run{0, 0, "write failed"};
    }
  }
  // The close writes everything back and syncs the file.
  if (close_filespace64(p) != 0) return Run{0, 0, "close failed"};
  run.write_s = since(t0);

  t0 = std::chrono::steady_clock::now();
  p = open_filespace64(path.c_str(), O_RDONLY, 0644, kPdb64WithFreeList, 1, nullptr);
  if (!p) return Run{0, 0, "reopen failed"};
  uint64_t check = 0;
  for (uint32_t i : w.order) {
    PN64_HEADER* r = read_filespace64f(p, static_cast<uint64_t>(at[i]));
    if (!r) break;
    check += load_be32(r + 1) == i;
    d_f_ree(r);
  }
  close_filespace64(p);
  run.read_s = since(t0);
  if (check != w.sizes.size()) run.error = "wrong data read back";
  std::filesystem::remove(path);
  return run;
}

// The page cache of the store's run, in SQLite's terms (negative: KiB).
std::string cache_pragma(bool small) {
  // SQLite keeps at least a handful of pages whatever it is told.
  long kib = small ? 1 : static_cast<long>(cache_pages()) * (kFacPageSize / 1024);
  return "PRAGMA cache_size=-" + std::to_string(kib) + ";";
}

Run run_sqlite(bool small) {
  const Workload& w = workload();
  const std::string path = bench_path(small ? "qnmx_bench_small.sqlite" : "qnmx_bench.sqlite");
  const std::string pragmas = "PRAGMA page_size=4096; PRAGMA journal_mode=DELETE; PRAGMA synchronous=NORMAL; " +
                              cache_pragma(small);
  Run run;
  std::filesystem::remove(path);
  std::vector<uint8_t> buf(65536 + 16);
  sqlite3* db = nullptr;
  auto t0 = std::chrono::steady_clock::now();
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
      sqlite3_exec(db, pragmas.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_exec(db, "CREATE TABLE r(v BLOB); BEGIN;", nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return Run{0, 0, "sqlite open failed"};
  }
  sqlite3_stmt* ins = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO r(rowid, v) VALUES(?, ?)", -1, &ins, nullptr);
  for (size_t i = 0; i < w.sizes.size() && run.error.empty(); ++i) {
    uint32_t len = std::max<uint32_t>(w.sizes[i], 8);
    fill(buf.data(), len, static_cast<uint32_t>(i));
    sqlite3_bind_int64(ins, 1, static_cast<sqlite3_int64>(i) + 1);
    sqlite3_bind_blob(ins, 2, buf.data(), static_cast<int>(len), SQLITE_STATIC);
    if (sqlite3_step(ins) != SQLITE_DONE) run.error = "sqlite insert failed";
    sqlite3_reset(ins);
  }
  sqlite3_finalize(ins);
  // The commit writes everything and syncs the file.
  if (sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) != SQLITE_OK) run.error = "commit failed";
  sqlite3_close(db);
  run.write_s = since(t0);
  if (!run.error.empty()) return run;

  t0 = std::chrono::steady_clock::now();
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_exec(db, (cache_pragma(small) + " BEGIN;").c_str(), nullptr, nullptr, nullptr);
  sqlite3_stmt* sel = nullptr;
  sqlite3_prepare_v2(db, "SELECT v FROM r WHERE rowid = ?", -1, &sel, nullptr);
  uint64_t check = 0;
  for (uint32_t i : w.order) {
    sqlite3_bind_int64(sel, 1, static_cast<sqlite3_int64>(i) + 1);
    if (sqlite3_step(sel) != SQLITE_ROW) break;
    // Copied out, as the record store hands out a block of its own.
    int n = sqlite3_column_bytes(sel, 0);
    auto* out = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(n)));
    std::memcpy(out, sqlite3_column_blob(sel, 0), static_cast<size_t>(n));
    check += load_be32(out) == i;
    std::free(out);
    sqlite3_reset(sel);
  }
  sqlite3_finalize(sel);
  sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  run.read_s = since(t0);
  if (check != w.sizes.size()) run.error = "sqlite: wrong data read back";
  std::filesystem::remove(path);
  return run;
}

// One comparison: the store in one mode against SQLite with its cache.
struct Case {
  const char* id;  // row id, "write" or "read" appended
  bool direct;     // the store's mode, and SQLite's smallest cache
  std::vector<double> write[2], read[2];  // store, SQLite
  std::string error;
};

}  // namespace

int main() {
  const Workload& w = workload();
  const int repeats = bench_row::repeats();
  const double gb = static_cast<double>(w.bytes) / 1e9;
  std::printf("%zu records, %.2f GB of bodies, %d pairs a case, cache %d pages\n", w.sizes.size(), gb, repeats,
              cache_pages());
  std::fflush(stdout);
  const std::string cache_mib = std::to_string(cache_pages() * (kFacPageSize / 1024) / 1024) + " MiB";
  Case cases[] = {{"store.cached", false, {}, {}, {}}, {"store.direct", true, {}, {}, {}}};
  const std::string ours_cached = "the store as it ships, page cache " + cache_mib + ", synced at close";
  const std::string ours_direct = "the store in direct mode (no page cache), synced at close";
  const std::string peer_cached = "a rowid table in one transaction, cache " + cache_mib +
                                  ", journal_mode=DELETE, synchronous=NORMAL (synced at commit)";
  const std::string peer_small = "the same with SQLite's smallest cache";
  for (int i = 0; i < repeats; ++i)
    for (Case& c : cases) {
      if (!c.error.empty()) continue;
      Run a = run_store(c.direct);
      Run b = run_sqlite(c.direct);
      if (!a.error.empty() || !b.error.empty()) {
        c.error = a.error.empty() ? b.error : a.error;
        continue;
      }
      c.write[0].push_back(a.write_s);
      c.write[1].push_back(b.write_s);
      c.read[0].push_back(a.read_s);
      c.read[1].push_back(b.read_s);
      std::printf("%s pair %d: write %.3f / %.3f s, read %.3f / %.3f s (store / SQLite)\n", c.id, i + 1, a.write_s,
                  b.write_s, a.read_s, b.read_s);
      std::fflush(stdout);
    }
  char what[160];
  for (Case& c : cases)
    for (int phase = 0; phase < 2; ++phase) {
      const std::string id = std::string(c.id) + (phase ? ".read" : ".write");
      std::snprintf(what, sizeof what, "record store: %s %zu records of 16 B-64 KiB (%.2f GB)",
                    phase ? "read back in random order" : "write and close", w.sizes.size(), gb);
      const std::string& ours = c.direct ? ours_direct : ours_cached;
      const std::string& peer = c.direct ? peer_small : peer_cached;
      const auto& t = phase ? c.read : c.write;
      bench_row::print(id, what, "SQLite (library)", ours, peer, "in process", "ratio<1; faster than SQLite",
                       c.error.empty() ? t[0] : std::vector<double>{},
                       c.error.empty() ? bench_row::times(t[1]) : "missing: " + c.error);
    }
  return 0;
}
