// Record store against SQLite: write N records of random sizes (16 B to
// 64 KiB, log-uniform so that small and large records both count), then
// read them all back in random order. The record store runs through its
// page cache and in direct mode; SQLite inserts into a rowid table in one
// transaction and reads by rowid. Ratios are printed at the end.
//
// QNMX_BENCH_RECORDS sets N (default 1000000); QNMX_BENCH_DIR the folder
// for the files (default the temporary folder); QNMX_BENCH_CACHE_PAGES the
// page limit of the cached run (default 32768).
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

const Workload& workload() {
  static const Workload w = [] {
    Workload w;
    const char* env = std::getenv("QNMX_BENCH_RECORDS");
    size_t n = env ? std::strtoull(env, nullptr, 10) : 1000000;
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

std::string bench_path(const char* name) {
  const char* d = std::getenv("QNMX_BENCH_DIR");
  return (d ? std::filesystem::path(d) : std::filesystem::temp_directory_path()) / name;
}

void fill(uint8_t* p, uint32_t len, uint32_t i) {
  std::memset(p, static_cast<int>(i & 0xFF), len);
  if (len >= 4) store_be32(p, i);
}

std::map<std::string, double> seconds;  // "<engine> write|read" -> time

void record_time(const char* key, double s) { seconds[key] = s; }

double since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void run_store(benchmark::State& state, bool direct) {
  const Workload& w = workload();
  std::string path = bench_path(direct ? "qnmx_bench_direct.db" : "qnmx_bench_cached.db");
  const char* name = direct ? "direct" : "cached";
  for (auto _ : state) {
    const char* pages = std::getenv("QNMX_BENCH_CACHE_PAGES");
    fac_set_total_entries(direct ? 0 : pages ? std::atoi(pages) : kFacDefaultEntries);
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
    state.SetIterationTime(tw + tr);
    record_time((std::string(name) + " write").c_str(), tw);
    record_time((std::string(name) + " read").c_str(), tr);
    state.counters["write_s"] = tw;
    state.counters["read_s"] = tr;
    state.counters["write_MB/s"] = static_cast<double>(w.bytes) / tw / 1e6;
    state.counters["read_MB/s"] = static_cast<double>(w.bytes) / tr / 1e6;
  }
  std::filesystem::remove(path);
}

void BM_RecordStoreCached(benchmark::State& state) { run_store(state, false); }
void BM_RecordStoreDirect(benchmark::State& state) { run_store(state, true); }

void BM_SQLite(benchmark::State& state) {
  const Workload& w = workload();
  std::string path = bench_path("qnmx_bench.sqlite");
  for (auto _ : state) {
    std::filesystem::remove(path);
    std::vector<uint8_t> buf(65536 + 16);
    sqlite3* db = nullptr;
    auto t0 = std::chrono::steady_clock::now();
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
      state.SkipWithError("sqlite open failed");
      return;
    }
    // The record store does not sync either.
    sqlite3_exec(db, "PRAGMA synchronous=OFF; PRAGMA journal_mode=OFF;", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "CREATE TABLE r(v BLOB); BEGIN;", nullptr, nullptr, nullptr);
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
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    double tw = since(t0);

    t0 = std::chrono::steady_clock::now();
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
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
    state.SetIterationTime(tw + tr);
    record_time("sqlite write", tw);
    record_time("sqlite read", tr);
    state.counters["write_s"] = tw;
    state.counters["read_s"] = tr;
    state.counters["write_MB/s"] = static_cast<double>(w.bytes) / tw / 1e6;
    state.counters["read_MB/s"] = static_cast<double>(w.bytes) / tr / 1e6;
  }
  std::filesystem::remove(path);
}

BENCHMARK(BM_RecordStoreCached)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_RecordStoreDirect)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_SQLite)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const Workload& w = workload();
  std::printf("%zu records, %.2f GB of bodies\n", w.sizes.size(), static_cast<double>(w.bytes) / 1e9);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (seconds.count("sqlite write")) {
    for (const char* e : {"cached", "direct"}) {
      std::string k = e;
      if (!seconds.count(k + " write")) continue;
      std::printf("record store %s vs SQLite: write %.2fx, read %.2fx faster\n", e,
                  seconds["sqlite write"] / seconds[k + " write"], seconds["sqlite read"] / seconds[k + " read"]);
    }
  }
  return 0;
}
