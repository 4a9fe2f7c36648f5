// Free space under churn, against SQLite: a file holds N live records of
// random sizes (24 to 1024 bytes); then P pairs each free a random live
// record and allocate a new one of a random size, which first fit places in
// the free space that the freeing leaves. SQLite holds the same blobs in a
// rowid table and deletes and inserts a row per pair, in one transaction,
// with a page cache as large as the record store's; once without a journal,
// and once with its rollback journal, which guards against a killed process
// as the record store's write-back journal does. Nothing is synced but at
// the record store's close. Both are timed up to close. The time per pair is printed for each quarter of the pairs, so
// that a cost growing with the number of free segments shows.
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

struct Result {
  double fill = 0, churn = 0;
  double quarter[4] = {};
};
Result store_r, sqlite_r, sqlite_j;

void record_quarters(Result* r, const std::vector<double>& marks) {
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

void BM_RecordStoreChurn(benchmark::State& state) {
  const Workload& w = workload();
  std::string path = bench_path("qnmx_churn.db");
  for (auto _ : state) {
    std::filesystem::remove(path);
    fac_set_total_entries(kFacDefaultEntries);
    std::vector<uint8_t> buf(16 + 1024);
    auto t0 = std::chrono::steady_clock::now();
    PDB64* p = open_filespace64(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, kPdb64WithFreeList, 1, nullptr);
    if (!p) {
      state.SkipWithError("open failed");
      return;
    }
    std::vector<int64_t> live(w.sizes.size());
    for (size_t i = 0; i < w.sizes.size(); ++i) live[i] = put(p, w.sizes[i], static_cast<uint32_t>(i), buf);
    store_r.fill = since(t0);
    t0 = std::chrono::steady_clock::now();
    std::vector<double> marks{0};
    size_t pairs = w.victim.size();
    for (size_t i = 0; i < pairs; ++i) {
      uint32_t v = w.victim[i];
      if (free_filespace64(p, static_cast<uint64_t>(live[v])) < 0 ||
          (live[v] = put(p, w.fresh[i], static_cast<uint32_t>(i), buf)) < 0) {
        state.SkipWithError("churn failed");
        break;
      }
      if ((i + 1) * 4 % pairs == 0 || i + 1 == pairs) marks.push_back(since(t0));
    }
    if (close_filespace64(p) != 0) state.SkipWithError("close failed");
    store_r.churn = since(t0);
    marks.resize(5, store_r.churn);
    record_quarters(&store_r, marks);
    state.SetIterationTime(store_r.churn);
  }
  state.counters["fill_s"] = store_r.fill;
  state.counters["churn_s"] = store_r.churn;
  std::filesystem::remove(path);
}

void sqlite_churn(benchmark::State& state, bool journal) {
  const Workload& w = workload();
  Result& res = journal ? sqlite_j : sqlite_r;
  std::string path = bench_path("qnmx_churn.sqlite");
  for (auto _ : state) {
    std::filesystem::remove(path);
    std::vector<uint8_t> buf(1024);
    sqlite3* db = nullptr;
    auto t0 = std::chrono::steady_clock::now();
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
      state.SkipWithError("sqlite open failed");
      return;
    }
    // Neither side syncs; both have 128 MiB of pages.
    sqlite3_exec(db, journal ? "PRAGMA synchronous=OFF; PRAGMA journal_mode=DELETE; PRAGMA cache_size=-131072;"
                             : "PRAGMA synchronous=OFF; PRAGMA journal_mode=OFF; PRAGMA cache_size=-131072;",
                 nullptr, nullptr, nullptr);
    sqlite3_exec(db, "CREATE TABLE r(v BLOB); BEGIN;", nullptr, nullptr, nullptr);
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
      insert(live[i], w.sizes[i], static_cast<uint32_t>(i));
    }
    sqlite3_exec(db, "COMMIT; BEGIN;", nullptr, nullptr, nullptr);
    res.fill = since(t0);
    t0 = std::chrono::steady_clock::now();
    std::vector<double> marks{0};
    int64_t next_rowid = static_cast<int64_t>(w.sizes.size()) + 1;
    size_t pairs = w.victim.size();
    for (size_t i = 0; i < pairs; ++i) {
      uint32_t v = w.victim[i];
      sqlite3_bind_int64(del, 1, live[v]);
      bool ok = sqlite3_step(del) == SQLITE_DONE;
      sqlite3_reset(del);
      live[v] = next_rowid++;
      if (!ok || !insert(live[v], w.fresh[i], static_cast<uint32_t>(i))) {
        state.SkipWithError("sqlite churn failed");
        break;
      }
      if ((i + 1) * 4 % pairs == 0 || i + 1 == pairs) marks.push_back(since(t0));
    }
    sqlite3_finalize(ins);
    sqlite3_finalize(del);
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    res.churn = since(t0);
    marks.resize(5, res.churn);
    record_quarters(&res, marks);
    state.SetIterationTime(res.churn);
  }
  state.counters["fill_s"] = res.fill;
  state.counters["churn_s"] = res.churn;
  std::filesystem::remove(path);
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

void BM_SQLiteChurn(benchmark::State& state) { sqlite_churn(state, false); }
void BM_SQLiteChurnJournal(benchmark::State& state) { sqlite_churn(state, true); }

BENCHMARK(BM_RecordStoreChurn)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_SQLiteChurn)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_SQLiteChurnJournal)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_ReopenWithFreeSegments)
    ->Arg(500000)
    ->Arg(1000000)
    ->Arg(2000000)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  init_endian();
  benchmark::Initialize(&argc, argv);
  const Workload& w = workload();
  std::printf("%zu live records, %zu free-and-allocate pairs\n", w.sizes.size(), w.victim.size());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  double per = 4e6 / static_cast<double>(w.victim.size());  // microseconds per pair in a quarter
  for (auto [name, r] : {std::pair{"record store", &store_r}, std::pair{"SQLite", &sqlite_r},
                         std::pair{"SQLite+jnl", &sqlite_j}})
    std::printf("%-12s us per pair by quarter: %.2f %.2f %.2f %.2f\n", name, r->quarter[0] * per,
                r->quarter[1] * per, r->quarter[2] * per, r->quarter[3] * per);
  for (auto [name, r] : {std::pair{"SQLite", &sqlite_r}, std::pair{"SQLite with its journal", &sqlite_j}})
    if (r->churn > 0)
      std::printf("record store / %s time: fill %.2f, churn %.2f\n", name, store_r.fill / r->fill,
                  store_r.churn / r->churn);
  return 0;
}
