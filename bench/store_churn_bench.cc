// Free space under churn, against SQLite: a file holds N live records of
// random sizes (24 to 1024 bytes); then P pairs each free a random live
// record and allocate a new one of a random size, which first fit places in
// the free space that the freeing leaves. SQLite holds the same blobs in a
// rowid table and deletes and inserts a row per pair, in one transaction,
// with a page cache as large as the record store's; once without a journal,
// and once with its rollback journal, which guards against a killed process
// as the record store's write-back journal does. Both make everything
// durable once, at the end of the churn: the record store syncs at its
// close, SQLite at the churn's commit (the fill commits with
// synchronous=OFF, the churn with FULL, whose sync takes the fill's pages
// with it). Both are timed up to close, the churn apart
// from the fill. The runs go in pairs, the record store's and SQLite's
// right after it, QNMX_BENCH_REPEATS times (default 5) for each of SQLite's
// two modes, every run on fresh files; the program ends with the rows of
// bench/table.py (seconds of every churn; the table gives the ratios,
// record store over SQLite). The time per pair is printed for each quarter
// of the pairs of every run, so that a cost growing with the number of free
// segments shows.
//
// Opening a file indexes its whole free chain: BM_ReopenWithFreeSegments
// times the opening of a file of 2F small records of which every other one
// is free (F segments that cannot merge; the file is warm in the system's
// cache), for F of 0.5M, 1M and 2M, so that a cost growing faster than the
// chain shows.
//
// QNMX_BENCH_RECORDS sets N (default 1000000), QNMX_BENCH_PAIRS sets P
// (default 200000); QNMX_BENCH_DIR the folder for the files.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/endian.h"
#include "row.h"
#include "store/pdb64.h"

namespace {

size_t env_size(const char* name, size_t dflt) {
  const char* e = std::getenv(name);
  return e ? std::strtoull(e, nullptr, 10) : dflt;
}

struct Workload {
  std::vector<uint32_t> sizes;   // body bytes of the first N records
  std::vector<uint32_t> victim;  // per pair: index into the live set
  std::vector<uint32_t> fresh;   // per pair: body bytes of the new record
};

const Workload& workload() {
  static const Workload w = [] {
    Workload w;
    size_t n = env_size("QNMX_BENCH_RECORDS", 1000000), pairs = env_size("QNMX_BENCH_PAIRS", 200000);
    std::mt19937_64 rng(3);
    std::uniform_int_distribution<uint32_t> size(8, 1008);
    for (size_t i = 0; i < n; ++i) w.sizes.push_back(size(rng));
    for (size_t i = 0; i < pairs; ++i) {
      w.victim.push_back(static_cast<uint32_t>(rng() % n));
      w.fresh.push_back(size(rng));
    }
    return w;
  }();
  return w;
}

std::string bench_path(const char* name) {
  const char* d = std::getenv("QNMX_BENCH_DIR");
  return (d ? std::filesystem::path(d) : std::filesystem::temp_directory_path()) / name;
}

double since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Seconds of the fill and of the churn (up to close) of one run, and of
// each quarter of the pairs; an empty error when it went through.
struct Result {
  double fill = 0, churn = 0;
  double quarter[4] = {};
  std::string error;
};

void record_quarters(Result* r, std::vector<double> marks) {
  marks.resize(5, r->churn);
  for (int q = 0; q < 4; ++q) r->quarter[q] = marks[static_cast<size_t>(q) + 1] - marks[static_cast<size_t>(q)];
}

int64_t put(PDB64* p, uint32_t body, uint32_t tag, std::vector<uint8_t>& buf) {
  uint64_t m = 16 + uint64_t{body};
  PN64_HEADER h{0x0200, {0, 0, 0}, m};
  int64_t at = alloc_filespace64(p, &h);
  if (at < 0) return at;
  store_be16(buf.data(), 0x0200);
  std::memset(buf.data() + 2, 0, 6);
  store_be64(buf.data() + 8, m);
  std::memset(buf.data() + 16, static_cast<int>(tag & 0xFF), body);
  return write_filespace64f(p, static_cast<uint64_t>(at), reinterpret_cast<PN64_HEADER*>(buf.data())) < 0 ? -1 : at;
}

Result run_store() {
  const Workload& w = workload();
  const std::string path = bench_path("qnmx_churn.db");
  std::filesystem::remove(path);
  fac_set_total_entries(kFacDefaultEntries);
  std::vector<uint8_t> buf(16 + 1024);
  Result res;
  auto t0 = std::chrono::steady_clock::now();
  PDB64* p = open_filespace64(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, kPdb64WithFreeList, 1, nullptr);
  if (!p) return Result{0, 0, {}, "open failed"};
  std::vector<int64_t> live(w.sizes.size());
  for (size_t i = 0; i < w.sizes.size(); ++i)
    if ((live[i] = put(p, w.sizes[i], static_cast<uint32_t>(i), buf)) < 0) res.error = "fill failed";
  res.fill = since(t0);
  t0 = std::chrono::steady_clock::now();
  std::vector<double> marks{0};
  size_t pairs = w.victim.size();
  for (size_t i = 0; i < pairs && res.error.empty(); ++i) {
    uint32_t v = w.victim[i];
    if (free_filespace64(p, static_cast<uint64_t>(live[v])) < 0 ||
        (live[v] = put(p, w.fresh[i], static_cast<uint32_t>(i), buf)) < 0)
      res.error = "churn failed";
    if ((i + 1) * 4 % pairs == 0 || i + 1 == pairs) marks.push_back(since(t0));
  }
  if (close_filespace64(p) != 0 && res.error.empty()) res.error = "close failed";
  res.churn = since(t0);
  record_quarters(&res, std::move(marks));
  std::filesystem::remove(path);
  return res;
}

Result run_sqlite(bool journal) {
  const Workload& w = workload();
  const std::string path = bench_path("qnmx_churn.sqlite");
  std::filesystem::remove(path);
  std::vector<uint8_t> buf(1024);
  Result res;
  sqlite3* db = nullptr;
  auto t0 = std::chrono::steady_clock::now();
  // Both have 128 MiB of pages.
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
      sqlite3_exec(db,
                   journal ? "PRAGMA synchronous=OFF; PRAGMA journal_mode=DELETE; PRAGMA cache_size=-131072;"
                           : "PRAGMA synchronous=OFF; PRAGMA journal_mode=OFF; PRAGMA cache_size=-131072;",
                   nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_exec(db, "CREATE TABLE r(v BLOB); BEGIN;", nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return Result{0, 0, {}, "SQLite open failed"};
  }
  sqlite3_stmt* ins = nullptr;
  sqlite3_stmt* del = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO r(rowid, v) VALUES(?, ?)", -1, &ins, nullptr);
  sqlite3_prepare_v2(db, "DELETE FROM r WHERE rowid = ?", -1, &del, nullptr);
  auto insert = [&](int64_t rowid, uint32_t body, uint32_t tag) {
    std::memset(buf.data(), static_cast<int>(tag & 0xFF), body);
    sqlite3_bind_int64(ins, 1, rowid);
    sqlite3_bind_blob(ins, 2, buf.data(), static_cast<int>(body), SQLITE_STATIC);
    bool ok = sqlite3_step(ins) == SQLITE_DONE;
    sqlite3_reset(ins);
    return ok;
  };
  std::vector<int64_t> live(w.sizes.size());
  for (size_t i = 0; i < w.sizes.size(); ++i) {
    live[i] = static_cast<int64_t>(i) + 1;
    if (!insert(live[i], w.sizes[i], static_cast<uint32_t>(i))) res.error = "SQLite fill failed";
  }
  sqlite3_exec(db, "COMMIT; PRAGMA synchronous=FULL; BEGIN;", nullptr, nullptr, nullptr);
  res.fill = since(t0);
  t0 = std::chrono::steady_clock::now();
  std::vector<double> marks{0};
  int64_t next_rowid = static_cast<int64_t>(w.sizes.size()) + 1;
  size_t pairs = w.victim.size();
  for (size_t i = 0; i < pairs && res.error.empty(); ++i) {
    uint32_t v = w.victim[i];
    sqlite3_bind_int64(del, 1, live[v]);
    bool ok = sqlite3_step(del) == SQLITE_DONE;
    sqlite3_reset(del);
    live[v] = next_rowid++;
    if (!ok || !insert(live[v], w.fresh[i], static_cast<uint32_t>(i))) res.error = "SQLite churn failed";
    if ((i + 1) * 4 % pairs == 0 || i + 1 == pairs) marks.push_back(since(t0));
  }
  sqlite3_finalize(ins);
  sqlite3_finalize(del);
  if (sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) != SQLITE_OK && res.error.empty())
    res.error = "SQLite commit failed";
  sqlite3_close(db);
  res.churn = since(t0);
  record_quarters(&res, std::move(marks));
  std::filesystem::remove(path);
  return res;
}

void BM_ReopenWithFreeSegments(benchmark::State& state) {
  size_t segments = static_cast<size_t>(state.range(0));
  std::string path = bench_path("qnmx_reopen.db");
  std::filesystem::remove(path);
  fac_set_total_entries(kFacDefaultEntries);
  std::vector<uint8_t> buf(16 + 1024);
  PDB64* p = open_filespace64(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, kPdb64WithFreeList, 1, nullptr);
  if (!p) {
    state.SkipWithError("open failed");
    return;
  }
  std::vector<int64_t> at(2 * segments);
  for (size_t i = 0; i < at.size(); ++i) at[i] = put(p, 8, static_cast<uint32_t>(i), buf);
  for (size_t i = 0; i < at.size(); i += 2)
    if (free_filespace64(p, static_cast<uint64_t>(at[i])) < 0) state.SkipWithError("free failed");
  if (close_filespace64(p) != 0) state.SkipWithError("close failed");
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    p = open_filespace64(path.c_str(), O_RDWR, 0644, kPdb64WithFreeList, 1, nullptr);
    double open_s = since(t0);
    if (!p || close_filespace64(p) != 0) {
      state.SkipWithError("reopen failed");
      break;
    }
    state.SetIterationTime(open_s);
    state.counters["ns_per_segment"] = open_s * 1e9 / static_cast<double>(segments);
  }
  std::filesystem::remove(path);
}

BENCHMARK(BM_ReopenWithFreeSegments)
    ->Arg(500000)
    ->Arg(1000000)
    ->Arg(2000000)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// One row: the record store's churn against SQLite's in one mode.
struct Case {
  const char* id;
  bool journal;
  std::vector<double> churn[2];  // record store, SQLite
  std::string error;
};

// "200k" for 200000, "1M" for 1000000.
std::string count_text(size_t n) {
  if (n >= 1000000 && n % 1000000 == 0) return std::to_string(n / 1000000) + "M";
  if (n >= 1000 && n % 1000 == 0) return std::to_string(n / 1000) + "k";
  return std::to_string(n);
}

// Microseconds per pair in each quarter of the pairs of a run.
void print_quarters(const char* name, const Result& r) {
  double per = 4e6 / static_cast<double>(workload().victim.size());
  std::printf("  %-24s us per pair by quarter: %.2f %.2f %.2f %.2f\n", name, r.quarter[0] * per,
              r.quarter[1] * per, r.quarter[2] * per, r.quarter[3] * per);
}

}  // namespace

int main(int argc, char** argv) {
  init_endian();
  benchmark::Initialize(&argc, argv);
  const Workload& w = workload();
  const int repeats = bench_row::repeats();
  std::printf("%zu live records, %zu free-and-allocate pairs, %d pairs of runs a row\n", w.sizes.size(),
              w.victim.size(), repeats);
  std::fflush(stdout);
  // The reopen figures first; the churn rows end the output.
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  Case cases[] = {{"store.churn", false, {}, {}}, {"store.churn.journal", true, {}, {}}};
  for (int i = 0; i < repeats; ++i)
    for (Case& c : cases) {
      if (!c.error.empty()) continue;
      Result a = run_store();
      Result b = a.error.empty() ? run_sqlite(c.journal) : Result{};
      if (!a.error.empty() || !b.error.empty()) {
        c.error = a.error.empty() ? b.error : a.error;
        std::printf("%s pair %d: %s\n", c.id, i + 1, c.error.c_str());
        continue;
      }
      c.churn[0].push_back(a.churn);
      c.churn[1].push_back(b.churn);
      std::printf("%s pair %d: fill %.3f / %.3f s, churn %.3f / %.3f s (record store / SQLite)\n", c.id, i + 1,
                  a.fill, b.fill, a.churn, b.churn);
      print_quarters("record store", a);
      print_quarters(c.journal ? "SQLite with its journal" : "SQLite", b);
      std::fflush(stdout);
    }
  const std::string path = "record store: " + count_text(w.victim.size()) + " free-and-allocate pairs among " +
                           count_text(w.sizes.size()) + " live records";
  const std::string ours = "free a record, allocate one (first fit), synced at close";
  const std::string aim = "ratio<=2; within 2x of SQLite";
  for (Case& c : cases) {
    const std::string peer = c.journal ? "SQLite with its journal" : "SQLite";
    const std::string peer_does = std::string("delete and insert a row, one transaction, ") +
                                  (c.journal ? "rollback journal" : "no journal") +
                                  ", synchronous=FULL (synced at commit)";
    if (c.error.empty())
      bench_row::print(c.id, path, peer, ours, peer_does, "in process", aim, c.churn[0], c.churn[1]);
    else
      bench_row::print_failed(c.id, path, peer, ours, peer_does, "in process", aim, c.error);
  }
  return 0;
}
