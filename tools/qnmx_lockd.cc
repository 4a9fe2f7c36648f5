// qnmx_lockd: a small lock service for agents on one machine, and for the
// tests of the named-lock client.
//
//   qnmx_lockd PORT [-v] [--refuse[=N]] [--idle=SECONDS]
//
// Listens on 127.0.0.1:PORT (0: a free port). The port actually bound is
// printed on the standard output as "port N" once the service is ready.
// Every connection speaks the interpreters' line protocol: the peer's first
// byte is a line end, the service answers as an accepted interpreter does
// and then reads the peer's forms with the ZU reader. Requests:
//
//   <Lock type="read|write" file=".." line=".." data="pid" seq="n"> name </Lock>
//   <Unlock> name </Unlock>
//
// Each is answered with "<Result> line value</Result>", line being the input
// line on which the request began. A granted lock or a release answers (),
// a refusal an error value. Two locks conflict when their names are related
// (one is a prefix of the other), at least one of them is a write lock and
// they belong to different agents; a conflicting request waits, without
// blocking the connection, until the holders let go. An agent is told apart
// by its connection: the links of one process are one agent when the data
// attribute names that process and the system shows that process holds
// the connection's other end (an agent's tasks hold locks over links of
// their own); a number a client merely claims makes it no one else. Requests for one name are granted
// in the order they came: a request waits behind an earlier one for the
// same name that still waits. When a request starts waiting behind a holder
// that gave a nonzero seq, or a holder is granted while a request waits
// behind it, the holder's connection is sent "(call-lock-event seq)" once
// for that hold. A connection that ends gives
// back everything it held and forgets what it was waiting for.
//
// Bounds: until its first byte is in, a connection holds no thread: one
// doorman thread watches all of them, each must bring its byte within
// kFirstByteMs, and they hold at most waiting_slots() places; when
// those are all taken, a newcomer whose address holds less than its share
// takes the place of the longest-waiting connection of the address that
// holds most (the give-way rule of zu/peer_account.h), and anyone else is
// answered Busy at once. Once its first byte is in, a connection is
// served on a thread of its own in a served place, and what it lists is
// counted: the served places, the requests waiting and the bytes of the
// requests listed have totals, and the requests a share per address, with
// the same give-way (lockd_service.h); a connection with no place is
// answered Busy. A connection whose serving thread cannot be had is
// closed; nothing a client does stops the service. A connection may have
// 256 requests waiting (more are refused); a line (or token) longer
// than 64 KiB ends its connection (the environment variable
// QNMX_LOCKD_LINE_KIB sets another cap), which bounds names too; a
// connection that sends nothing for the idle time (600 s, a client's
// keep-alive comes every 150 s) is dropped; when descriptors run out,
// accepting backs off and goes on.
//
// -v logs every request and decision to the standard error stream;
// --refuse refuses every lock request, --refuse=N only the first N;
// --idle=SECONDS sets the idle time.
//
// Names are compared as the reader gives them: the words between the tags
// joined by single spaces.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/task.h"
#include "base/zutime.h"
#include "lockd_service.h"
#include "stream/net.h"
#include "stream/stream.h"
#include "zu/core_init.h"
#include "zu/file.h"
#include "zu/gc.h"
#include "zu/peer_account.h"
#include "zu/reader.h"
#include "zu/unit.h"

namespace {

// ---------------------------------------------------------------------------
// Connections: the registry the idle watch walks

std::mutex& conns_mu = *new std::mutex;
std::vector<std::weak_ptr<LockConn>>& conns = *new std::vector<std::weak_ptr<LockConn>>;  // conns_mu

int64_t zu_now() { return static_cast<int64_t>(get_zutime()); }

void register_conn(const ConnRef& c) {
  std::lock_guard<std::mutex> g(conns_mu);
  std::erase_if(conns, [](const std::weak_ptr<LockConn>& w) { return w.expired(); });
  conns.push_back(c);
}

// Drops the connections that sent nothing for the idle time.
void idle_watch(TKEY) {
  for (;;) {
    {
      BlockingRegion region;
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(1000, lockd_options.idle_seconds * 250)));
    }
    std::vector<ConnRef> idle;
    {
      std::lock_guard<std::mutex> g(conns_mu);
      int64_t now = zu_now();
      for (const std::weak_ptr<LockConn>& w : conns) {
        ConnRef c = w.lock();
        if (!c) continue;
        if (now - lockd_last_input(*c) > lockd_options.idle_seconds) idle.push_back(c);  // whole seconds: a second more at most
      }
    }
    for (const ConnRef& c : idle) {
      lockd_log("conn %d idle, dropped", c->id);
      c->last_input = INT64_MAX / 2;  // once
      s_close_queue(c->st);
    }
  }
}

// ---------------------------------------------------------------------------
// Connections waiting for their first byte

// How long a connection may wait for its first byte, the line end every
// link opens with.
constexpr int64_t kFirstByteMs = 10 * 1000;

// How many may wait at once: half the descriptor limit, at most 1,024.
int waiting_slots() {
  static const int slots = [] {
    rlimit lim{};
    long half = getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY
                    ? static_cast<long>(lim.rlim_cur / 2)
                    : 1024;
    return static_cast<int>(std::clamp<long>(half, 8, 1024));
  }();
  return slots;
}

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The waiting connections, by arrival, with the time each came; what each
// address holds of them is counted in its account (kWaiting). A leaf
// mutex; the doorman is woken through `wake` when one comes.
struct Door {
  using Waiting = std::list<std::pair<ConnRef, int64_t>>;
  std::mutex mu;
  Waiting waiting;
  int wake = -1;
};
Door& door() {
  static Door* d = new Door;  // never destroyed, as the table
  return *d;
}

// Takes the waiting connection at `it` out, giving back its place in its
// address's account; the next one (mu held).
Door::Waiting::iterator _leave_at(Door& d, Door::Waiting::iterator it) {
  account_give(it->first->ip, PEER_HOLD::kWaiting, 1);
  return d.waiting.erase(it);
}

// Takes conn out of the waiting ones: false when it is no longer there
// (mu held).
bool _leave_door(Door& d, const ConnRef& conn) {
  auto it = std::find_if(d.waiting.begin(), d.waiting.end(), [&conn](const auto& w) { return w.first == conn; });
  if (it == d.waiting.end()) return false;
  _leave_at(d, it);
  return true;
}

// Takes out of the waiting ones those whose peers have gone, into `gone`
// (mu held): a place that the doorman has not yet seen freed is free.
void _sweep_door(Door& d, std::vector<ConnRef>* gone) {
  std::vector<pollfd> fds;
  for (const auto& [conn, since] : d.waiting) fds.push_back(pollfd{s_get_fd(conn->st), POLLRDHUP, 0});
  if (poll(fds.data(), fds.size(), 0) <= 0) return;
  size_t i = 0;
  for (auto it = d.waiting.begin(); it != d.waiting.end(); ++i) {
    if (!(fds[i].revents & (POLLRDHUP | POLLHUP | POLLERR))) {
      ++it;
      continue;
    }
    gone->push_back(it->first);
    it = _leave_at(d, it);
  }
}

// Takes conn in among the waiting: false when there is no place for it.
// When all are taken, the longest-waiting connection of the address that
// gives way (account_gives_way) is dropped for it.
bool enter_door(const ConnRef& conn) {
  Door& d = door();
  ConnRef gives_way;  // closed as the last reference goes, after the lock
  std::vector<ConnRef> gone;
  {
    std::lock_guard<std::mutex> g(d.mu);
    if (static_cast<int>(d.waiting.size()) >= waiting_slots()) _sweep_door(d, &gone);
    if (static_cast<int>(d.waiting.size()) >= waiting_slots()) {
      int top = account_gives_way(PEER_HOLD::kWaiting, conn->ip, waiting_slots() / kAddressShareParts);
      auto it = std::find_if(d.waiting.begin(), d.waiting.end(),
                             [top](const auto& w) { return top && w.first->ip == top; });
      if (it == d.waiting.end()) return false;
      gives_way = it->first;
      _leave_door(d, gives_way);
    }
    d.waiting.emplace_back(conn, now_ms());
    account_take(conn->ip, PEER_HOLD::kWaiting, 1, kNoCap);
  }
  if (gives_way) lockd_log("conn %d gives way to conn %d", gives_way->id, conn->id);
  uint64_t one = 1;
  if (write(d.wake, &one, sizeof one) < 0) lockd_log("cannot wake the doorman");
  return true;
}

// A connection's thread.
void serve(TKEY data) {
  ConnRef conn = *static_cast<ConnRef*>(data);
  delete static_cast<ConnRef*>(data);
  lockd_serve(conn);
}

constexpr char kBusy[] = "<Permission>Busy</Permission>\n";

void answer_busy(const ConnRef& conn) {
  if (s_write(conn->st, kBusy, sizeof kBusy - 1) == sizeof kBusy - 1) s_flush(conn->st);
}

// A connection whose first byte has come is served on a thread of its
// own, in a served place; with no place it is answered Busy, and without a
// thread it is closed.
void start_serving(const ConnRef& conn) {
  if (!lockd_take_place(conn)) {
    lockd_log("conn %d from %s: no place to be served, busy", conn->id, conn->peer.c_str());
    answer_busy(conn);
    return;
  }
  auto* held = new (std::nothrow) ConnRef(conn);
  if (held && create_task(serve, held, 3) >= 0) return;
  delete held;
  lockd_give_place(conn);
  lockd_log("conn %d: no thread to serve it", conn->id);
}

// Watches every waiting connection at once: one that brings its first byte
// is handed to a thread of its own, one that ends or waits too long is
// dropped.
void doorman(TKEY) {
  Door& d = door();
  std::vector<pollfd> fds;
  std::vector<ConnRef> watched;  // held across the poll: no descriptor is reused under it
  for (;;) {
    std::vector<ConnRef> late;
    fds.assign(1, pollfd{d.wake, POLLIN, 0});
    watched.clear();
    {
      std::lock_guard<std::mutex> g(d.mu);
      const int64_t now = now_ms();
      while (!d.waiting.empty() && now - d.waiting.front().second >= kFirstByteMs) {
        late.push_back(d.waiting.front().first);
        _leave_door(d, late.back());
      }
      for (const auto& [conn, since] : d.waiting) {
        fds.push_back(pollfd{s_get_fd(conn->st), POLLIN, 0});
        watched.push_back(conn);
      }
    }
    for (const ConnRef& c : late) lockd_log("conn %d sent nothing in time, dropped", c->id);
    late.clear();
    {
      BlockingRegion region;
      poll(fds.data(), fds.size(), 1000);
    }
    uint64_t woken;
    if (fds[0].revents && read(d.wake, &woken, sizeof woken) < 0) lockd_log("doorman: wake not read");
    for (size_t i = 1; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      const ConnRef& conn = watched[i - 1];
      bool mine;
      {
        std::lock_guard<std::mutex> g(d.mu);
        mine = _leave_door(d, conn);  // not when it gave way meanwhile
      }
      if (mine && (fds[i].revents & POLLIN)) start_serving(conn);
    }
  }
}

// Takes an accepted connection in among those waiting for their first
// byte, or answers it Busy; the Conn that owns the stream closes it,
// however this ends.
void take_in(ACCESS_KEY* key, int id) {
  STREAM* st = key->s;
  int ip = key->ip;
  d_f_ree(key);
  ConnRef conn;
  try {
    conn = std::make_shared<LockConn>();
  } catch (...) {
    d_s_close(st);
    throw;
  }
  conn->id = id;
  conn->st = st;
  s_hold(conn->st);
  conn->ip = ip;
  conn->peer = std::to_string((ip >> 24) & 255) + "." + std::to_string((ip >> 16) & 255) + "." +
               std::to_string((ip >> 8) & 255) + "." + std::to_string(ip & 255);
  s_set_write_abort(conn->st, 1, 10);
  conn->last_input = zu_now();
  lockd_log("conn %d open from %s", conn->id, conn->peer.c_str());
  register_conn(conn);
  if (enter_door(conn)) return;
  lockd_log("conn %d: no place to wait, busy", conn->id);
  answer_busy(conn);
}

int usage() {
  std::fprintf(stderr, "usage: qnmx_lockd PORT [-v] [--refuse[=N]] [--idle=SECONDS]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int port = -1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-v") {
      lockd_options.verbose = true;
    } else if (a == "--refuse") {
      lockd_options.refuse_left = -1;
    } else if (a.rfind("--refuse=", 0) == 0) {
      char* end = nullptr;
      lockd_options.refuse_left = std::strtol(a.c_str() + 9, &end, 10);
      if (!end || *end || lockd_options.refuse_left < 0) return usage();
    } else if (a.rfind("--idle=", 0) == 0) {
      char* end = nullptr;
      long n = std::strtol(a.c_str() + 7, &end, 10);
      if (!end || *end || n < 1 || n > 86400 * 365) return usage();
      lockd_options.idle_seconds = static_cast<int>(n);
    } else if (port < 0 && !a.empty() && a[0] != '-') {
      char* end = nullptr;
      long p = std::strtol(a.c_str(), &end, 10);
      if (!end || *end || p < 0 || p > 65535) return usage();
      port = static_cast<int>(p);
    } else {
      return usage();
    }
  }
  if (port < 0) return usage();
  if (const char* kib = std::getenv("QNMX_LOCKD_LINE_KIB")) {
    char* end = nullptr;
    long n = std::strtol(kib, &end, 10);
    if (end && !*end && n > 0 && n <= (1L << 20)) lockd_options.line_cap = static_cast<uint64_t>(n) << 10;
  }
  signal(SIGPIPE, SIG_IGN);
  init_stream();
  init_qnlisp();
  init_unit();
  init_gc_task();
  int bound = 0;
  // Port 0: the first free port of a range that depends on the process id,
  // so that test runs side by side seldom try the same ports.
  STREAM* listener = port ? init_server2(&bound, port, 1, 0x7F000001)
                          : init_server2(&bound, 20000 + getpid() % 20000, 5000, 0x7F000001);
  if (!listener) {
    std::fprintf(stderr, "qnmx_lockd: cannot listen on 127.0.0.1:%d\n", port);
    stop_gc_task();
    return 1;
  }
  std::printf("port %d\n", bound);
  std::fflush(stdout);
  lockd_log("listening on 127.0.0.1:%d", bound);
  create_task(idle_watch, nullptr, 2);
  door().wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (door().wake < 0 || create_task(doorman, nullptr, 2) < 0) {
    std::fprintf(stderr, "qnmx_lockd: cannot start its doorman\n");
    stop_gc_task();
    return 1;
  }
  int next_id = 0;
  int pause_ms = 0;
  for (;;) {
    ACCESS_KEY* key = accept_connection(listener);
    if (!key) {
      // Out of descriptors, most likely: connections that end or go idle
      // give theirs back, so wait a little and go on serving.
      if (!s_exist(listener)) break;
      if (!pause_ms) lockd_log("accepting failed, backing off");
      pause_ms = pause_ms ? std::min(pause_ms * 2, 500) : 5;
      BlockingRegion region;
      std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
      continue;
    }
    pause_ms = 0;
    // Short of memory the connection is let go, never the service.
    try {
      take_in(key, ++next_id);
    } catch (const std::exception& e) {
      lockd_log("conn %d dropped: %s", next_id, e.what());
    }
  }
  std::fprintf(stderr, "qnmx_lockd: the listener failed\n");
  stop_gc_task();
  return 1;
}
