// Record store against SQLite: write N records of random sizes (16 B to
// 64 KiB, log-uniform so that small and large records both count), then
// read them all back in random order. SQLite inserts into a rowid table in
// one transaction and reads by rowid.
//
// Both sides get the same terms. Cache: the store's page cache holds
// QNMX_BENCH_CACHE_PAGES pages of 4 KiB (default 32768, 128 MiB) and SQLite
// gets a page cache of the same bytes; the store's direct mode (no cache) is
// set against SQLite with the smallest cache it takes. Durability: the store
// syncs the file when it is closed and SQLite when the transaction commits
// (synchronous=NORMAL), and neither syncs its rollback journal. Each case
// runs QNMX_BENCH_REPEATS times (default 5); the ratios printed at the end
// are SQLite's time over the store's, from the fastest runs and from the
// median runs.
//
// QNMX_BENCH_RECORDS sets N (default 100000); QNMX_BENCH_DIR the folder for
// the files (default the temporary folder).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
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

// "<case> write|read" -> the time of every run.
std::map<std::string, std::vector<double>> seconds;

double since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void report(benchmark::State& state, const std::string& name, double tw, double tr) {
  const Workload& w = workload();
  state.SetIterationTime(tw + tr);
  seconds[name + " write"].push_back(tw);
  seconds[name + " read"].push_back(tr);
  state.counters["write_s"] = tw;
  state.counters["read_s"] = tr;
  state.counters["write_MB/s"] = static_cast<double>(w.bytes) / tw / 1e6;
  state.counters["read_MB/s"] = static_cast<double>(w.bytes) / tr / 1e6;
}

void run_store(benchmark::State& state, bool direct) {
  const Workload& w = workload();
  std::string path = bench_path(direct ? "qnmx_bench_direct.db" : "qnmx_bench_cached.db");
  for (auto _ : state) {
    fac_set_total_entries(direct ? 0 : cache_pages());
    std::filesystem::remove(path);
    std::vector<int64_t> at(w.sizes.size());
    std::vector<uint8_t> buf(16 + 65536);
    auto t0 = std::chrono::steady_clock::now();
    PDB64* p = open_filespace64(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, kPdb64WithFreeList, 1, nullptr);
    if (!p) {
      state.SkipWithError("open failed");
      return;
    }
    for (size_t i = 0; i < w.sizes.size(); ++i) {
      uint64_t m = 16 + uint64_t{w.sizes[i]};
      PN64_HEADER h{0x0200, {0, 0, 0}, m < 24 ? 24 : m};
      at[i] = alloc_filespace64(p, &h);
      auto* rec = reinterpret_cast<PN64_HEADER*>(buf.data());
      *rec = h;
      change_endian_header64(rec);
      fill(buf.data() + 16, static_cast<uint32_t>(h.size - 16), static_cast<uint32_t>(i));
      if (at[i] < 0 || write_filespace64f(p, static_cast<uint64_t>(at[i]), rec) < 0) {
        state.SkipWithError("write failed");
        close_filespace64(p);
        return;
      }
    }
    // The close writes everything back and syncs the file.
    if (close_filespace64(p) != 0) state.SkipWithError("close failed");
    double tw = since(t0);

    t0 = std::chrono::steady_clock::now();
    p = open_filespace64(path.c_str(), O_RDONLY, 0644, kPdb64WithFreeList, 1, nullptr);
    uint64_t check = 0;
    for (uint32_t i : w.order) {
      PN64_HEADER* r = read_filespace64f(p, static_cast<uint64_t>(at[i]));
      if (!r) {
        state.SkipWithError("read failed");
        break;
      }
      check += load_be32(r + 1) == i;
      d_f_ree(r);
    }
    close_filespace64(p);
    double tr = since(t0);
    if (check != w.sizes.size()) state.SkipWithError("wrong data read back");
    report(state, direct ? "direct" : "cached", tw, tr);
  }
  std::filesystem::remove(path);
}

// The page cache of the store's run, in SQLite's terms (negative: KiB).
std::string cache_pragma(bool small) {
  // SQLite keeps at least a handful of pages whatever it is told.
  long kib = small ? 1 : static_cast<long>(cache_pages()) * (kFacPageSize / 1024);
  return "PRAGMA cache_size=-" + std::to_string(kib) + ";";
}

void run_sqlite(benchmark::State& state, bool small) {
  const Workload& w = workload();
  std::string path = bench_path(small ? "qnmx_bench_small.sqlite" : "qnmx_bench.sqlite");
  const std::string pragmas = "PRAGMA page_size=4096; PRAGMA journal_mode=DELETE; PRAGMA synchronous=NORMAL; " +
                              cache_pragma(small);
  for (auto _ : state) {
    std::filesystem::remove(path);
    std::vector<uint8_t> buf(65536 + 16);
    sqlite3* db = nullptr;
    auto t0 = std::chrono::steady_clock::now();
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
        sqlite3_exec(db, pragmas.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, "CREATE TABLE r(v BLOB); BEGIN;", nullptr, nullptr, nullptr) != SQLITE_OK) {
      state.SkipWithError("sqlite open failed");
      sqlite3_close(db);
      return;
    }
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO r(rowid, v) VALUES(?, ?)", -1, &ins, nullptr);
    for (size_t i = 0; i < w.sizes.size(); ++i) {
      uint32_t len = std::max<uint32_t>(w.sizes[i], 8);
      fill(buf.data(), len, static_cast<uint32_t>(i));
      sqlite3_bind_int64(ins, 1, static_cast<sqlite3_int64>(i) + 1);
      sqlite3_bind_blob(ins, 2, buf.data(), static_cast<int>(len), SQLITE_STATIC);
      if (sqlite3_step(ins) != SQLITE_DONE) {
        state.SkipWithError("sqlite insert failed");
        break;
      }
      sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    // The commit writes everything and syncs the file.
    if (sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) != SQLITE_OK) state.SkipWithError("commit failed");
    sqlite3_close(db);
    double tw = since(t0);

    t0 = std::chrono::steady_clock::now();
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_exec(db, (cache_pragma(small) + " BEGIN;").c_str(), nullptr, nullptr, nullptr);
    sqlite3_stmt* sel = nullptr;
    sqlite3_prepare_v2(db, "SELECT v FROM r WHERE rowid = ?", -1, &sel, nullptr);
    uint64_t check = 0;
    for (uint32_t i : w.order) {
      sqlite3_bind_int64(sel, 1, static_cast<sqlite3_int64>(i) + 1);
      if (sqlite3_step(sel) != SQLITE_ROW) {
        state.SkipWithError("sqlite read failed");
        break;
      }
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
    double tr = since(t0);
    if (check != w.sizes.size()) state.SkipWithError("sqlite: wrong data read back");
    report(state, small ? "sqlite small" : "sqlite", tw, tr);
  }
  std::filesystem::remove(path);
}

double fastest(std::vector<double> v) { return *std::min_element(v.begin(), v.end()); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const Workload& w = workload();
  int repeats = static_cast<int>(env_number("QNMX_BENCH_REPEATS", 5));
  std::printf("%zu records, %.2f GB of bodies, %d runs a case, cache %d pages\n", w.sizes.size(),
              static_cast<double>(w.bytes) / 1e9, repeats, cache_pages());
  struct Case {
    const char* name;
    void (*run)(benchmark::State&, bool);
    bool flag;
  };
  const Case kCases[] = {{"RecordStoreCached", run_store, false}, {"SQLiteSameCache", run_sqlite, false},
                         {"RecordStoreDirect", run_store, true},  {"SQLiteSmallCache", run_sqlite, true}};
  for (const Case& c : kCases)
    benchmark::RegisterBenchmark(c.name, [c](benchmark::State& s) { c.run(s, c.flag); })
        ->Iterations(1)
        ->Repetitions(repeats)
        ->ReportAggregatesOnly(false)
        ->UseManualTime()
        ->Unit(benchmark::kSecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const std::pair<const char*, const char*> kPairs[] = {{"cached", "sqlite"}, {"direct", "sqlite small"}};
  for (auto [store, sqlite] : kPairs) {
    for (const char* phase : {"write", "read"}) {
      std::string a = std::string(store) + " " + phase, b = std::string(sqlite) + " " + phase;
      if (seconds[a].empty() || seconds[b].empty()) continue;
      std::printf("record store %s vs %s, %s: %.2fx (fastest runs), %.2fx (median runs); store %.3f/%.3f s\n", store,
                  sqlite, phase, fastest(seconds[b]) / fastest(seconds[a]), median(seconds[b]) / median(seconds[a]),
                  fastest(seconds[a]), median(seconds[a]));
    }
  }
  return 0;
}
