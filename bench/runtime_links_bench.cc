// Interpreter links over loopback TCP between two processes: remote-query
// round trips from 1, 4, 16 and 64 askers sharing one link, next to plain
// loopback echo round trips (one connection per asker) to the same peer
// process, and accepted line links per second. The program starts a copy of
// itself as the listening peer.
#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/lock.h"
#include "runtime/interp.h"
#include "runtime/remote.h"
#include "runtime/zu_init.h"
#include "text/convert.h"
#include "zu/env.h"
#include "zu/gc.h"
#include "support/loopback.h"
#include "support/runtime/interpreters.h"

extern char** environ;

namespace {

int peer_port = 0;
int echo_port = 0;
int link_iid = 0;

// The peer's plain echo: every byte read is written back.
void echo_conn(int fd) {
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    if (write(fd, buf, static_cast<size_t>(n)) != n) break;
  }
  close(fd);
}

int start_echo() {
  int port = 0;
  int lfd = listen_loopback(&port, 128);
  if (lfd < 0) return 0;
  std::thread([lfd] {
    for (;;) {
      int fd = accept(lfd, nullptr, nullptr);
      if (fd < 0) continue;
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::thread(echo_conn, fd).detach();
    }
  }).detach();
  return port;
}

// A connection to port without Nagle's delay.
int connect_nodelay(int port) {
  int fd = connect_loopback(port);
  int one = 1;
  if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

int serve(const char* portfile) {
  init_zu();
  ensure_main_interpreter();
  int port = 0;
  if (open_listener(&port) <= 0) return 1;
  int echo = start_echo();
  std::ofstream(std::string(portfile) + ".tmp") << port << " " << echo;
  std::rename((std::string(portfile) + ".tmp").c_str(), portfile);
  for (;;) pause();
}

void BM_RemoteQueryRoundTrip(benchmark::State& state) {
  SelfInterpreter me(true);
  {
    ZuThreadScope scope("bench");
    const L_CHAR cmd[] = {'(', '+', ' ', '1', ' ', '2', ')', 0};
    // The framework makes the askers wait for each other at the start and
    // the end of the loop: they wait there at a safe point, or a collection
    // that one of them starts would wait for the others for ever.
    BlockingRegion between;
    for (auto _ : state) {
      blocking_enter();
      bool ok;
      {
        GcFrame frame("q");
        ok = get_type(remote_query(link_iid, qnlisp_top_env1, cmd, nullptr)) == ZU_TYPE_INTEGER;
      }
      blocking_leave();
      if (!ok) {
        state.SkipWithError("query failed");
        break;
      }
    }
  }
  state.SetItemsProcessed(state.iterations());
}
// Every asker (a thread with an internal interpreter of its own) sends its
// queries over the same link and waits for each answer.
BENCHMARK(BM_RemoteQueryRoundTrip)->UseRealTime()->Threads(1)->Threads(4)->Threads(16)->Threads(64);

// The same round trips without interpreters: a line to the peer's echo and
// back, each asker on a connection of its own.
void BM_LoopbackEcho(benchmark::State& state) {
  int fd = connect_nodelay(echo_port);
  if (fd < 0) {
    state.SkipWithError("connect failed");
    return;
  }
  static const char kLine[] = "(+ 1 2)\n";
  char buf[64];
  for (auto _ : state) {
    if (write(fd, kLine, sizeof kLine - 1) != static_cast<ssize_t>(sizeof kLine - 1)) break;
    size_t got = 0;
    while (got < sizeof kLine - 1) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
  }
  close(fd);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LoopbackEcho)->UseRealTime()->Threads(1)->Threads(4)->Threads(16)->Threads(64);

// One accepted line link: connect, the opening line end, the admission,
// close.
void BM_AcceptLineLink(benchmark::State& state) {
  for (auto _ : state) {
    int fd = connect_loopback(peer_port);
    if (fd < 0) {
      state.SkipWithError("connect failed");
      break;
    }
    (void)!send(fd, "\n", 1, MSG_NOSIGNAL);
    std::string got;
    char buf[256];
    while (got.find("</Permission>\n") == std::string::npos) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    close(fd);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AcceptLineLink)->UseRealTime();

// Reads from fd until `count` more replies have come (a reply ends with
// "</Result>\n"); `tail` carries a mark cut between two reads. What was
// read is appended to *all when given.
bool read_replies(int fd, int count, std::string& tail, std::string* all = nullptr) {
  static const std::string_view kEnd = "</Result>\n";
  char buf[1 << 16];
  while (count > 0) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    if (all) all->append(buf, static_cast<size_t>(n));
    tail.append(buf, static_cast<size_t>(n));
    for (size_t at = tail.find(kEnd); at != std::string::npos; at = tail.find(kEnd, at + kEnd.size())) --count;
    size_t keep = std::min(tail.size(), kEnd.size() - 1);
    tail.erase(0, tail.size() - keep);
  }
  return true;
}

// An admitted line link to the peer; -1 when it is refused.
int open_line_link() {
  int fd = connect_nodelay(peer_port);
  if (fd < 0) return -1;
  std::string got;
  char buf[256];
  (void)!send(fd, "\n", 1, MSG_NOSIGNAL);
  while (got.find("</Permission>\n") == std::string::npos) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) {
      close(fd);
      return -1;
    }
    got.append(buf, static_cast<size_t>(n));
  }
  return got.find("Allow") == std::string::npos ? (close(fd), -1) : fd;
}

// Replies per second on one line link: 32 forms sent together, then their
// 32 replies read; the peer reads and evaluates each form and writes its
// reply. Arg 0: a small number; arg 1: a list of 256 texts with kana,
// which the link's encoding (EUC-JP) carries; arg 2: texts whose
// characters are mostly ones it lacks, so that each reply goes between
// encoding switches (checked on the first batch). The reply's encoding
// survey walks every text.
void BM_LineLinkReplies(benchmark::State& state) {
  constexpr int kBatch = 32;
  int fd = open_line_link();
  if (fd < 0) {
    state.SkipWithError("no line link");
    return;
  }
  std::string tail;
  const char* form = "(+ 1 2)\n";
  if (state.range(0) > 0) {
    const char* chars = state.range(0) == 2 ? "&#x3042;&#x1F600;&#x1F601;&#x1F602;" : "&#x3042;&#x3044;";
    std::string def = "(define big (quote (";
    for (int i = 0; i < 256; ++i) def += std::string("\"") + chars + " text " + std::to_string(i) + "\" ";
    def += ")))\n";
    if (write(fd, def.data(), def.size()) != static_cast<ssize_t>(def.size()) || !read_replies(fd, 1, tail)) {
      state.SkipWithError("define failed");
      close(fd);
      return;
    }
    form = "big\n";
  }
  std::string batch, seen;
  for (int i = 0; i < kBatch; ++i) batch += form;
  const bool switches = state.range(0) == 2;
  bool first = true;
  for (auto _ : state) {
    if (write(fd, batch.data(), batch.size()) != static_cast<ssize_t>(batch.size()) ||
        !read_replies(fd, kBatch, tail, first ? &seen : nullptr)) {
      state.SkipWithError("link failed");
      break;
    }
    if (first && switches != (seen.find("&cx") != std::string::npos)) {
      state.SkipWithError(switches ? "the replies did not switch" : "the replies switched");
      break;
    }
    first = false;
  }
  close(fd);
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_LineLinkReplies)->Arg(0)->Arg(1)->Arg(2)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (const char* pf = std::getenv("QNMX_LINK_BENCH_PEER")) return serve(pf);
  std::string pf = "/tmp/qnmx_link_bench_port_" + std::to_string(getpid());
  std::string env = "QNMX_LINK_BENCH_PEER=" + pf;
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e) envp.push_back(*e);
  envp.push_back(env.data());
  envp.push_back(nullptr);
  char* pargv[] = {argv[0], nullptr};
  pid_t pid;
  if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, pargv, envp.data()) != 0) return 1;
  for (int i = 0; i < 1000 && !peer_port; ++i) {
    std::ifstream(pf) >> peer_port >> echo_port;
    if (!peer_port) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  unlink(pf.c_str());
  if (!peer_port) return 1;
  init_zu();
  ensure_main_interpreter();
  link_iid = open_link(peer_port);
  int rc = 1;
  if (link_iid > 0) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    rc = 0;
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  _exit(rc);
}
