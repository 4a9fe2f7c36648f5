// Whole-program benchmarks: a case runs a command (a program file given to
// an interpreter) as a whole process, so that two interpreters can be
// compared in the same run with their process start-up taken off. add()
// registers a case that keeps its fastest of five runs; paired() runs our
// side and the peer's in turn and gives a table row (bench/row.h).
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "peer_rounds.h"
#include "row.h"

namespace process_bench {

namespace fs = std::filesystem;

inline fs::path& dir() {
  static fs::path d;
  return d;
}
inline std::map<std::string, double>& best() {  // fastest run of each case, seconds
  static std::map<std::string, double> b;
  return b;
}

// A fresh directory for the program files (removed by finish()).
inline void start(const char* name) {
  dir() = fs::temp_directory_path() / (std::string(name) + "_" + std::to_string(getpid()));
  fs::create_directories(dir());
}
inline void finish() { fs::remove_all(dir()); }

// <build>/<rel>, found from the benchmark's own path (<build>/bench/x).
inline std::string build_file(const char* rel) {
  fs::path self = fs::read_symlink("/proc/self/exe");
  return (self.parent_path().parent_path() / rel).string();
}

inline std::string write_program(const std::string& name, const char* text) {
  fs::path p = dir() / name;
  std::ofstream(p) << text;
  return p.string();
}

inline double run_seconds(const std::string& cmd) {
  auto t0 = std::chrono::steady_clock::now();
  int rc = std::system((cmd + " > /dev/null").c_str());
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return rc == 0 ? s : -1.0;
}

inline void add(const std::string& key, const std::string& cmd, bool available) {
  benchmark::RegisterBenchmark(key.c_str(), [key, cmd, available](benchmark::State& st) {
    if (!available) {
      st.SkipWithError("program not available");
      return;
    }
    for (auto _ : st) {
      double s = run_seconds(cmd);
      if (s < 0) {
        st.SkipWithError(("failed: " + cmd).c_str());
        return;
      }
      st.SetIterationTime(s);
      auto it = best().find(key);
      if (it == best().end() || s < it->second) best()[key] = s;
    }
  })->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
}

// Prints a's and b's fastest runs less their start-up cases and a / b.
inline void ratio(const char* what, const char* a, const char* a_start, const char* b, const char* b_start,
                  const char* a_label, const char* b_label) {
  auto& m = best();
  if (!m.count(a) || !m.count(b) || !m.count(a_start) || !m.count(b_start)) return;
  double x = std::max(m[a] - m[a_start], 1e-6);
  double y = std::max(m[b] - m[b_start], 1e-6);
  std::printf("%-14s %s %8.1f ms   %s %8.1f ms   %s/%s %.2f\n", what, a_label, x * 1e3, b_label, y * 1e3, a_label,
              b_label, x / y);
}

// One side of a paired comparison: the command running the operation and
// the command of its start-up (the same process without the operation).
struct Side {
  std::string name;  // the program, for messages
  std::string start, run;
  bool available = true;
};

// Each side's seconds in every pair, its run less its start-up; error says
// why ours failed, peer_error (the row's peer field) why the peer is
// missing or failed.
struct Pairs {
  std::vector<double> ours, peer;
  std::string error, peer_error;
};

// The seconds of one side's run less its start-up run just before it,
// clamped above 0; negative when either run fails.
inline double side_seconds(const Side& s) {
  double start = run_seconds(s.start);
  double run = start < 0 ? -1.0 : run_seconds(s.run);
  return run < 0 ? -1.0 : std::max(run - start, 1e-6);
}

// n pairs, each ours-start, ours, peer-start, peer in turn, so that load
// on the machine falls on both sides alike. The peer not being available
// (peer_missing says why) or failing leaves our runs alone.
inline Pairs paired(const Side& ours, const Side& peer, const std::string& peer_missing, int n = bench_row::repeats()) {
  Pairs p;
  if (!ours.available) p.error = ours.name + " is not built";
  if (!peer.available) p.peer_error = "missing: " + peer_missing;
  for (int i = 0; i < n && p.error.empty(); ++i) {
    double a = side_seconds(ours);
    if (a < 0) {
      p.error = ours.name + " failed";
      break;
    }
    p.ours.push_back(a);
    if (!p.peer_error.empty()) continue;
    double b = side_seconds(peer);
    if (b < 0) {
      p.peer_error = "missing: " + peer.name + " failed";
      p.peer.clear();
      continue;
    }
    p.peer.push_back(b);
  }
  return p;
}

// Prints the fastest and median of each side and their ratios, then the
// table row (both sides whole processes).
inline void row(const Pairs& p, const char* what, const char* a_label, const char* b_label, const std::string& id,
                const std::string& path, const std::string& peer, const std::string& ours_does,
                const std::string& peer_does, const std::string& aim) {
  if (p.error.empty() && p.peer_error.empty())
    std::printf("%-14s %s %8.1f / %8.1f ms   %s %8.1f / %8.1f ms   %s/%s %.2f / %.2f  (fastest / median)\n", what,
                a_label, peer_rounds::fastest(p.ours) * 1e3, peer_rounds::median(p.ours) * 1e3, b_label,
                peer_rounds::fastest(p.peer) * 1e3, peer_rounds::median(p.peer) * 1e3, a_label, b_label,
                peer_rounds::fastest(p.ours) / peer_rounds::fastest(p.peer),
                peer_rounds::median(p.ours) / peer_rounds::median(p.peer));
  if (!p.error.empty()) {
    bench_row::print_failed(id, path, peer, ours_does, peer_does, "processes", aim, p.error);
    return;
  }
  const std::string theirs = p.peer_error.empty() ? bench_row::times(p.peer) : p.peer_error;
  bench_row::print(id, path, peer, ours_does, peer_does, "processes", aim, p.ours, theirs);
}

inline const char* const kGuileMissing = "guile is not installed (scripts/setup.sh installs guile-3.0)";

inline bool have_guile() { return std::system("guile --version > /dev/null 2>&1") == 0; }

}  // namespace process_bench
