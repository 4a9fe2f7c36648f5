// Table rows from C++ benchmarks: the ROW line that bench/table.py reads,
// and the number of pairs a comparison runs (QNMX_BENCH_REPEATS, default
// 5). A pair is our run and the peer's run one right after the other, so
// that load on the machine falls on both alike.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace bench_row {

inline int repeats() {
  const char* env = std::getenv("QNMX_BENCH_REPEATS");
  int n = env ? std::atoi(env) : 5;
  return n > 0 ? n : 5;
}

inline std::string times(const std::vector<double>& v) {
  std::string s;
  char b[32];
  for (double x : v) {
    std::snprintf(b, sizeof b, "%s%.6g", s.empty() ? "" : ",", x);
    s += b;
  }
  return s;
}

// Prints "ROW id | path | peer | ours does | peer does | how | aim | ours |
// peer"; peer_times is a comma list, "missing: why" or "-".
inline void print(const std::string& id, const std::string& path, const std::string& peer,
                  const std::string& ours_does, const std::string& peer_does, const std::string& how,
                  const std::string& aim, const std::vector<double>& ours, const std::string& peer_times) {
  std::printf("ROW %s | %s | %s | %s | %s | %s | %s | %s | %s\n", id.c_str(), path.c_str(), peer.c_str(),
              ours_does.c_str(), peer_does.c_str(), how.c_str(), aim.c_str(), times(ours).c_str(),
              peer_times.c_str());
  std::fflush(stdout);
}

inline void print(const std::string& id, const std::string& path, const std::string& peer,
                  const std::string& ours_does, const std::string& peer_does, const std::string& how,
                  const std::string& aim, const std::vector<double>& ours, const std::vector<double>& theirs) {
  print(id, path, peer, ours_does, peer_does, how, aim, ours, times(theirs));
}

// The row of a comparison whose own side failed: why, in place of its
// times.
inline void print_failed(const std::string& id, const std::string& path, const std::string& peer,
                         const std::string& ours_does, const std::string& peer_does, const std::string& how,
                         const std::string& aim, const std::string& why) {
  std::printf("ROW %s | %s | %s | %s | %s | %s | %s | failed: %s | -\n", id.c_str(), path.c_str(), peer.c_str(),
              ours_does.c_str(), peer_does.c_str(), how.c_str(), aim.c_str(), why.c_str());
  std::fflush(stdout);
}

}  // namespace bench_row
