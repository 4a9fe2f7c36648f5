// Rounds against a peer in the same run: the peer is a python3 program
// started once, which reads a line per round on its standard input, runs
// one round of its side and answers with one line of figures. A benchmark
// runs its own round, then the peer's, and so on (A B A B ...), so that
// both sides meet the same load on a shared machine; min and median over
// the rounds are then compared.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace peer_rounds {

class Peer {
 public:
  // python3 running `program` (the text of a script) with the arguments.
  Peer(const std::string& program, const std::vector<std::string>& args) {
    path_ = "/tmp/peer_rounds_" + std::to_string(getpid()) + "_" + std::to_string(++serial()) + ".py";
    if (FILE* f = std::fopen(path_.c_str(), "w")) {
      std::fputs(program.c_str(), f);
      std::fclose(f);
    } else {
      return;
    }
    int to[2], from[2];
    if (pipe(to) != 0) return;
    if (pipe(from) != 0) {
      close(to[0]);
      close(to[1]);
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      dup2(to[0], 0);
      dup2(from[1], 1);
      close(to[1]);
      close(from[0]);
      std::vector<char*> argv{const_cast<char*>("/usr/bin/python3"), const_cast<char*>(path_.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(to[0]);
    close(from[1]);
    if (pid_ < 0) {
      close(to[1]);
      close(from[0]);
      return;
    }
    in_ = fdopen(to[1], "w");
    out_ = fdopen(from[0], "r");
  }
  ~Peer() {
    if (in_) std::fclose(in_);
    if (out_) std::fclose(out_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    std::remove(path_.c_str());
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // One round of the peer: its answer line, "" when the peer is missing or
  // has stopped (numpy not installed, say).
  std::string round() {
    if (!in_ || !out_) return "";
    signal(SIGPIPE, SIG_IGN);
    if (std::fputs("round\n", in_) < 0 || std::fflush(in_) != 0) return "";
    char line[512];
    if (!std::fgets(line, sizeof line, out_)) return "";
    return line;
  }

 private:
  static int& serial() {
    static int n = 0;
    return n;
  }
  std::string path_;
  pid_t pid_ = -1;
  FILE* in_ = nullptr;
  FILE* out_ = nullptr;
};

// The peer field of a table row when numpy is missing.
inline const char* const kNumpyMissing =
    "missing: numpy is not installed (scripts/setup.sh installs python3-numpy)";

// numpy's order keys of 16-bit cells: spread(x) << 1 | spread(y) puts the
// bits of x and y in turn, x's first, as the plot order does.
inline const char* const kNumpySpread = R"(
def spread(a):
    a = a.astype(np.uint64)
    a = (a | (a << 8)) & 0x00FF00FF
    a = (a | (a << 4)) & 0x0F0F0F0F
    a = (a | (a << 2)) & 0x33333333
    return (a | (a << 1)) & 0x55555555
)";

inline double fastest(const std::vector<double>& v) { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }

inline double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace peer_rounds
