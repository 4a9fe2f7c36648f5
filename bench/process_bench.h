// Whole-program benchmarks: each case runs a command (a program file given
// to an interpreter) five times and keeps its fastest run, so that two
// interpreters can be compared in the same run with their process
// start-up taken off.
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

inline bool have_guile() { return std::system("guile --version > /dev/null 2>&1") == 0; }

}  // namespace process_bench
