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
// answered Busy at once. A connection whose serving thread cannot be had is
// closed; nothing a client does stops the service. A connection may have
// kMaxWaits requests waiting (more are refused); a line (or token) longer
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
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/task.h"
#include "base/zutime.h"
#include "stream/net.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/core_init.h"
#include "zu/errcodes.h"
#include "zu/file.h"
#include "zu/gc.h"
#include "zu/peer_account.h"
#include "zu/printer.h"
#include "zu/reader.h"
#include "zu/unit.h"
#include "zu/value.h"

namespace {

bool verbose = false;
// Lock requests still to refuse; negative: every one.
long refuse_left = 0;
int idle_seconds = 600;
// Requests one connection may have waiting.
constexpr size_t kMaxWaits = 256;
// Longest line a connection may send: lock requests are short.
uint64_t line_cap = uint64_t{64} << 10;

void logf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void logf(const char* fmt, ...) {
  if (!verbose) return;
  va_list ap;
  va_start(ap, fmt);
  char* text = nullptr;
  int n = vasprintf(&text, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  std::fprintf(stderr, "lockd: %s\n", text);
  std::free(text);
}

// A std::mutex taken without keeping the collector waiting.
void lock_safely(std::mutex& m) {
  if (m.try_lock()) return;
  BlockingRegion region;
  m.lock();
}

struct Request;
using Queue = std::list<Request*>;

struct Conn {
  int id = 0;
  STREAM* st = nullptr;  // referenced by the Conn: the idle watch closes it too
  std::string peer;
  int ip = 0;
  // The agent its locks are held for (the reader's own): "conn N", or
  // "pid N" once the system has shown that process holds the other end;
  // `claimed` is the data number it was worked out for.
  std::string agent;
  long claimed = -1;
  std::mutex wmu;    // one message at a time
  bool dead = false;  // under wmu: nothing more is written
  // Seconds (ZU time) of the last input; the reader's own clock once it runs.
  std::atomic<int64_t> last_input{0};
  std::mutex fmu;          // guards f
  ZU_FILE* f = nullptr;    // the reader while it runs
  // Under table_mu: this connection's holds and waiting requests.
  std::list<Request*> mine;
  size_t waiting = 0;
  ~Conn() {
    if (st) {
      d_s_close(st);
      s_drop(st);
    }
  }
};
using ConnRef = std::shared_ptr<Conn>;

struct Request {
  ConnRef conn;
  std::string agent;
  std::u32string name;
  std::string shown;  // the name as UTF-8, for the log
  bool write = false;
  int seq = 0;        // event number at the client, 0 none
  int line = 0;       // input line of the request: the reply's number
  bool evented = false;  // holds: call-lock-event already sent
  uint64_t order = 0;    // arrival
  bool held = false;
  bool listed = false;              // in its name's hold or wait list, at `at`
  Queue::iterator at;
  std::list<Request*>::iterator own;  // in conn->mine
};

// The lock table, guarded by table_mu: granted holds and waiting requests
// by name (each wait list in order of arrival). Related names are found
// through the order of the maps: the prefixes of a name by look-up, the
// names it prefixes as one range.
// Never destroyed: connections may still be served while the process exits.
std::mutex& table_mu = *new std::mutex;
using Table = std::map<std::u32string, Queue, std::less<>>;
Table& holds = *new Table;
Table& waits = *new Table;
uint64_t arrivals = 0;

struct Outgoing {
  ConnRef conn;
  std::string text;
};

// Calls f(list) for every list of `table` whose name is related to name:
// the names it prefixes follow it as one range; the names that prefix it
// are found walking down from it. The greatest name not above `want` is
// either a prefix of want, or shares a shorter prefix with it beyond which
// no name that prefixes want can lie, so each step looks up one name and
// shortens want, and nothing is copied.
template <class F>
void for_related(Table& table, std::u32string_view name, F f) {
  for (std::u32string_view want = name; !want.empty();) {
    auto it = table.upper_bound(want);
    if (it == table.begin()) break;
    std::u32string_view k = (--it)->first;
    size_t common = static_cast<size_t>(std::mismatch(k.begin(), k.end(), want.begin(), want.end()).first - k.begin());
    if (common == k.size()) {
      f(it->second);
      if (k.empty()) break;
      common = k.size() - 1;
    }
    want = want.substr(0, common);
  }
  for (auto it = table.upper_bound(name); it != table.end() && it->first.starts_with(name); ++it) f(it->second);
}

bool conflicts(const Request& h, const Request& r) { return h.agent != r.agent && (h.write || r.write); }

std::string granted_text(int line) { return "<Result> " + std::to_string(line) + " ()</Result>\n"; }

void send_all(std::vector<Outgoing>& out) {
  for (Outgoing& o : out) {
    lock_safely(o.conn->wmu);
    std::lock_guard<std::mutex> g(o.conn->wmu, std::adopt_lock);
    if (o.conn->dead) continue;
    if (s_write(o.conn->st, o.text.data(), static_cast<int>(o.text.size())) < 0 ||
        s_flush(o.conn->st) < 0) {
      // The reading side sees the end of input and cleans up.
      o.conn->dead = true;
      s_close_queue(o.conn->st);
    }
  }
  out.clear();
}

// Whether a hold blocks r; with `event`, every blocking holder that gave a
// seq is told once. Table lock held.
bool blocked(Request& r, std::vector<Outgoing>* event) {
  bool any = false;
  for_related(holds, r.name, [&](Queue& q) {
    for (Request* h : q) {
      if (!conflicts(*h, r)) continue;
      any = true;
      if (event && h->seq != 0 && !h->evented) {
        h->evented = true;
        logf("conn %d event seq %d", h->conn->id, h->seq);
        event->push_back({h->conn, "(call-lock-event " + std::to_string(h->seq) + ")\n"});
      }
    }
  });
  return any;
}

void hold(Request* r, std::vector<Outgoing>& out) {
  Queue& q = holds[r->name];
  r->at = q.insert(q.end(), r);
  r->held = r->listed = true;
  out.push_back({r->conn, granted_text(r->line)});
}

// Grants, name by name in order of arrival, the waiting requests related to
// name that no hold blocks any more; a wait list stops at its first blocked
// request. Only the lists related to the released name are looked at. A
// holder granted here that a request still waiting is blocked by is told,
// as a holder is when a request starts waiting behind it. Table lock held.
void grant_waiting(const std::u32string& name, std::vector<Outgoing>& out) {
  std::vector<std::pair<uint64_t, std::u32string_view>> lists;
  for_related(waits, name, [&](Queue& q) { lists.emplace_back(q.front()->order, q.front()->name); });
  std::sort(lists.begin(), lists.end());
  std::vector<const Request*> granted;
  for (auto& [order, n] : lists) {
    auto it = waits.find(n);
    while (it != waits.end() && !it->second.empty()) {
      Request* r = it->second.front();
      if (blocked(*r, nullptr)) break;
      it->second.pop_front();
      r->listed = false;
      --r->conn->waiting;
      logf("conn %d granted %s \"%s\" (line %d)", r->conn->id, r->write ? "write" : "read", r->shown.c_str(),
           r->line);
      hold(r, out);
      granted.push_back(r);
    }
    if (it != waits.end() && it->second.empty()) waits.erase(it);
  }
  for (const Request* g : granted)
    for_related(waits, g->name, [&](Queue& q) {
      if (!q.empty()) blocked(*q.front(), &out);
    });
}

// Grants r or queues it; false when its connection has too many requests
// waiting already (r is then dropped).
bool request_lock(std::unique_ptr<Request> owned, std::vector<Outgoing>& out) {
  lock_safely(table_mu);
  std::lock_guard<std::mutex> g(table_mu, std::adopt_lock);
  Request* r = owned.get();
  Conn& c = *r->conn;
  auto queued = waits.find(r->name);
  bool behind = queued != waits.end() && !queued->second.empty();
  const bool waiting = blocked(*r, nullptr) || behind;
  if (waiting && c.waiting >= kMaxWaits) return false;
  // The connection owns r before any list holds it: short of memory part
  // way, its end (drop_conn) finds r and unlists only what was listed.
  r->own = c.mine.insert(c.mine.end(), r);
  owned.release();
  if (waiting) {
    blocked(*r, &out);  // tells the holders that gave a seq
    logf("conn %d waits", c.id);
    Queue& q = waits[r->name];
    r->order = ++arrivals;
    r->at = q.insert(q.end(), r);
    r->listed = true;
    ++c.waiting;
  } else {
    logf("conn %d granted", c.id);
    hold(r, out);
  }
  return true;
}

// Removes r from its hold or wait list; table lock held.
void unlist(Request* r) {
  if (!r->listed) return;
  r->listed = false;
  auto& table = r->held ? holds : waits;
  auto it = table.find(r->name);
  it->second.erase(r->at);
  if (it->second.empty()) table.erase(it);
  if (!r->held) --r->conn->waiting;
}

// Releases the hold of conn on name; false when it holds none.
bool release_lock(const ConnRef& conn, const std::u32string& name, std::vector<Outgoing>& out) {
  lock_safely(table_mu);
  std::lock_guard<std::mutex> g(table_mu, std::adopt_lock);
  for (Request* r : conn->mine) {
    if (r->held && r->name == name) {
      unlist(r);
      conn->mine.erase(r->own);
      delete r;
      grant_waiting(name, out);
      return true;
    }
  }
  return false;
}

// Forgets everything of a connection that ended; returns the holds given back.
int drop_conn(const ConnRef& conn, std::vector<Outgoing>& out) {
  lock_safely(table_mu);
  std::lock_guard<std::mutex> g(table_mu, std::adopt_lock);
  int n = 0;
  std::vector<std::u32string> released;
  for (Request* r : conn->mine) {
    if (r->held) {
      ++n;
      released.push_back(r->name);
    }
    unlist(r);
    delete r;
  }
  conn->mine.clear();
  for (const std::u32string& name : released) grant_waiting(name, out);
  return n;
}

// ---------------------------------------------------------------------------
// Connections: the registry the idle watch walks

std::mutex& conns_mu = *new std::mutex;
std::vector<std::weak_ptr<Conn>>& conns = *new std::vector<std::weak_ptr<Conn>>;  // conns_mu

int64_t zu_now() { return static_cast<int64_t>(get_zutime()); }

void register_conn(const ConnRef& c) {
  std::lock_guard<std::mutex> g(conns_mu);
  std::erase_if(conns, [](const std::weak_ptr<Conn>& w) { return w.expired(); });
  conns.push_back(c);
}

// Drops the connections that sent nothing for the idle time.
void idle_watch(TKEY) {
  for (;;) {
    {
      BlockingRegion region;
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(1000, idle_seconds * 250)));
    }
    std::vector<ConnRef> idle;
    {
      std::lock_guard<std::mutex> g(conns_mu);
      int64_t now = zu_now();
      for (const std::weak_ptr<Conn>& w : conns) {
        ConnRef c = w.lock();
        if (!c) continue;
        int64_t last = c->last_input.load();
        {
          std::lock_guard<std::mutex> fg(c->fmu);
          if (c->f) last = std::max(last, zu_file_input_time(c->f));
        }
        if (now - last > idle_seconds) idle.push_back(c);  // whole seconds: a second more at most
      }
    }
    for (const ConnRef& c : idle) {
      logf("conn %d idle, dropped", c->id);
      c->last_input = INT64_MAX / 2;  // once
      s_close_queue(c->st);
    }
  }
}

// ---------------------------------------------------------------------------
// Reading requests

std::string utf8(const std::u32string& s) {
  char* t = ln_copy_str(utf8_cm, reinterpret_cast<const L_CHAR*>(s.c_str()));
  std::string r = t ? t : "";
  d_f_ree(t);
  return r;
}

std::string utf8(const L_CHAR* s) {
  char* t = ln_copy_str(utf8_cm, s);
  std::string r = t ? t : "";
  d_f_ree(t);
  return r;
}

bool head_is(ZU_SEXP* form, const char* name) {
  if (get_type(form) != ZU_TYPE_LIST) return false;
  ZU_SEXP* h = form->pair.car;
  return get_type(h) == ZU_TYPE_SYMBOL && zu_wcmp_ascii(sym_name(h), name) == 0;
}

// The words after the head joined by single spaces; false when one of
// them is not a string (the reader makes every word between tags one).
bool name_of(ZU_SEXP* form, std::u32string* name) {
  name->clear();
  for (ZU_SEXP* p = cdr(form); get_type(p) == ZU_TYPE_LIST; p = cdr(p)) {
    ZU_SEXP* w = car(p);
    if (get_type(w) != ZU_TYPE_STRING) return false;
    if (!name->empty()) name->push_back(U' ');
    for (const L_CHAR* c = str_text(w); *c; ++c) name->push_back(static_cast<char32_t>(*c));
  }
  return !name->empty();
}

const L_CHAR* attribute(ZU_SEXP* form, const char* name) {
  return get_sf_attribute(sym_field(form->pair.car), l_string(ascii_cm, name));
}

long attribute_number(ZU_SEXP* form, const char* name) {
  const L_CHAR* v = attribute(form, name);
  if (!v) return 0;
  std::string t = utf8(v);
  char* end = nullptr;
  long n = std::strtol(t.c_str(), &end, 10);
  return end && *end == 0 ? n : 0;
}

// "<Result> line #error(...)</Result>\n" printed in the connection's encoding.
std::string error_text(ZU_SEXP* form, int line, const char* func, const char* why) {
  GcFrame frame("lockd error");
  ZU_SEXP* e = get_error_ascii(sexp_file(form), line, ZU_ER_PARAM, func, get_string_ascii(why));
  STREAM* s = s_open_string_write(nullptr);
  if (!s) return granted_text(line);  // cannot happen short of memory
  s_printf(s, "<Result> %i ", line);
  print_sexp(s, e, 0);
  s_printf(s, "</Result>\n");
  std::string r = s_get_string(s);
  d_s_close(s);
  return r;
}

// ---------------------------------------------------------------------------
// Who holds the other end of a connection

// The inode of the socket at the other end of the connection on fd, as the
// system lists the machine's TCP sockets (0: not found). The other end's
// own address is its local one there, and ours its remote one.
uint64_t peer_socket_inode(int fd) {
  sockaddr_in ours{}, theirs{};
  socklen_t n = sizeof ours;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &n) != 0) return 0;
  n = sizeof theirs;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &n) != 0) return 0;
  // The table prints an address's four bytes as one number in the host's
  // order, and a port as a number.
  char local[32], remote[32];
  std::snprintf(local, sizeof local, "%08X:%04X", theirs.sin_addr.s_addr, ntohs(theirs.sin_port));
  std::snprintf(remote, sizeof remote, "%08X:%04X", ours.sin_addr.s_addr, ntohs(ours.sin_port));
  std::unique_ptr<FILE, int (*)(FILE*)> table(std::fopen("/proc/net/tcp", "r"), std::fclose);
  if (!table) return 0;
  char line[512];
  while (std::fgets(line, sizeof line, table.get())) {
    char l[64], r[64];
    unsigned long long inode = 0;
    if (std::sscanf(line, " %*u: %63s %63s %*x %*s %*s %*s %*u %*u %llu", l, r, &inode) == 3 &&
        std::strcmp(l, local) == 0 && std::strcmp(r, remote) == 0) {
      return inode;
    }
  }
  return 0;
}

// Whether process pid has the socket of this inode open.
bool holds_socket(long pid, uint64_t inode) {
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
  if (!d) return false;
  const std::string want = "socket:[" + std::to_string(inode) + "]";
  char target[64];
  while (dirent* e = readdir(d.get())) {
    ssize_t n = readlinkat(dirfd(d.get()), e->d_name, target, sizeof target - 1);
    if (n > 0 && want.compare(0, std::string::npos, target, static_cast<size_t>(n)) == 0) return true;
  }
  return false;
}

// The agent conn's locks are held for, when it names process `data`: that
// process, if it holds the other end of the connection, else the
// connection alone. Worked out again only when the number changes.
const std::string& agent_of(Conn& conn, long data) {
  if (conn.agent.empty() || data != conn.claimed) {
    conn.claimed = data;
    uint64_t inode = data > 0 ? peer_socket_inode(s_get_fd(conn.st)) : 0;
    bool shown = inode && data != getpid() && holds_socket(data, inode);
    conn.agent = shown ? "pid " + std::to_string(data) : "conn " + std::to_string(conn.id);
  }
  return conn.agent;
}

bool take_refusal() {
  lock_safely(table_mu);
  std::lock_guard<std::mutex> g(table_mu, std::adopt_lock);
  if (refuse_left == 0) return false;
  if (refuse_left > 0) --refuse_left;
  return true;
}

void handle_form(const ConnRef& conn, ZU_SEXP* form, std::vector<Outgoing>& out) {
  int line = form ? form->h.line : 0;
  if (get_type(form) == ZU_TYPE_ERROR) {  // a syntax error: say so, read on
    logf("conn %d line %d unreadable request", conn->id, line);
    out.push_back({conn, error_text(form, line, "lockd", "unreadable request")});
    return;
  }
  if (head_is(form, "Lock")) {
    Request r;
    r.conn = conn;
    r.line = line;
    std::string type = attribute(form, "type") ? utf8(attribute(form, "type")) : "";
    const L_CHAR* file = attribute(form, "file");
    long data = attribute_number(form, "data");
    r.seq = static_cast<int>(attribute_number(form, "seq"));
    r.agent = agent_of(*conn, data);
    bool named = name_of(form, &r.name);
    r.shown = utf8(r.name);
    logf("conn %d line %d lock %s \"%s\" agent %s seq %d file \"%s\" line %ld", conn->id, line,
         type.c_str(), r.shown.c_str(), r.agent.c_str(), r.seq, file ? utf8(file).c_str() : "",
         attribute_number(form, "line"));
    if (!named || (type != "read" && type != "write")) {
      logf("conn %d bad lock request", conn->id);
      out.push_back({conn, error_text(form, line, "Lock", "bad lock request")});
      return;
    }
    if (take_refusal()) {
      logf("conn %d refused", conn->id);
      out.push_back({conn, error_text(form, line, "Lock", "lock refused")});
      return;
    }
    r.write = type == "write";
    if (!request_lock(std::make_unique<Request>(std::move(r)), out)) {
      logf("conn %d has too many waiting requests", conn->id);
      out.push_back({conn, error_text(form, line, "Lock", "too many waiting requests")});
    }
    return;
  }
  if (head_is(form, "Unlock")) {
    std::u32string name;
    bool named = name_of(form, &name);
    logf("conn %d line %d unlock \"%s\"", conn->id, line, utf8(name).c_str());
    bool held = named && release_lock(conn, name, out);
    logf("conn %d %s", conn->id, held ? "released" : "held no such lock");
    out.push_back({conn, held ? granted_text(line) : error_text(form, line, "Unlock", "lock not held")});
    return;
  }
  // Replies to our call-lock-event queries, and stray permission answers.
  if (head_is(form, "Result") || head_is(form, "Permission")) return;
  logf("conn %d line %d unknown request", conn->id, line);
  out.push_back({conn, error_text(form, line, "lockd", "unknown request")});
}

// Takes the connection's reader out of the idle watch's sight and closes it.
void close_conn_file(const ConnRef& conn) {
  ZU_FILE* f = nullptr;
  {
    std::lock_guard<std::mutex> g(conn->fmu);
    std::swap(f, conn->f);
  }
  if (f) close_zu_file(f);
}

// Ends a connection: its reader closed, what it held or waited for given
// back and the grants that frees sent, then marked dead. After a failure
// (close_stream) its stream is closed first and the giving back must not
// throw again; otherwise a failure there goes to serve, which ends the
// connection that way.
void end_conn(const ConnRef& conn, bool close_stream) {
  close_conn_file(conn);
  if (close_stream) s_close_queue(conn->st);
  std::vector<Outgoing> out;
  try {
    int n = drop_conn(conn, out);
    send_all(out);
    logf("conn %d closed, %d lock%s given back", conn->id, n, n == 1 ? "" : "s");
  } catch (const std::exception&) {
    if (!close_stream) throw;
    logf("conn %d: its holds are given back with nothing sent", conn->id);
  }
  lock_safely(conn->wmu);
  conn->dead = true;
  conn->wmu.unlock();
}

void serve_conn(const ConnRef& conn) {
  std::vector<Outgoing> out;
  // The peer opens a line link with a line end; anything else is not ours.
  conn->last_input = zu_now();
  unsigned char c = 0;
  if (s_read(conn->st, &c, 1) != 1 || (c != '\n' && c != '\r') || s_push(conn->st, c) < 0) {
    logf("conn %d is not a line link", conn->id);
    return;
  }
  CODE_METHOD* cm = s_get_cm(conn->st);
  if (!cm) {
    cm = std_cm;
    s_set_cm(conn->st, cm);
  }
  char hello[128];
  std::snprintf(hello, sizeof hello, "\n&cx%x;\n<Permission>Allow</Permission>\n",
                static_cast<unsigned>(cm->lccode));
  out.push_back({conn, hello});
  send_all(out);
  {
    ZuThreadScope scope("lockd conn");
    ZU_SEXP* rest = init_parse(conn->st, nullptr, nullptr);
    ZU_FILE* f = sexp_file(rest);
    if (f) {
      f->flags |= ZU_FILE_KEEP_STREAM | ZU_FILE_NO_NUMBER;
      zu_set_line_cap(f, line_cap);
    }
    {
      std::lock_guard<std::mutex> g(conn->fmu);
      conn->f = f;
    }
    for (;;) {
      GcFrame frame("lockd form");
      gc_set(rest, gc_qn_sexp);
      if (get_type(rest) != ZU_TYPE_LIST) break;
      ZU_SEXP* form = rest->pair.car;
      if (get_type(form) == ZU_TYPE_ERROR && error_code(form) == ZU_ER_END_OF_INPUT) break;
      handle_form(conn, form, out);
      send_all(out);
      rest = rest->pair.cdr;
    }
    close_conn_file(conn);  // while the scope still holds the reader
  }
  end_conn(conn, false);
}

// A connection's thread: short of memory the connection ends and gives
// back what it held, never the service.
void serve(TKEY data) {
  ConnRef conn = *static_cast<ConnRef*>(data);
  delete static_cast<ConnRef*>(data);
  try {
    serve_conn(conn);
  } catch (const std::exception& e) {
    logf("conn %d ended: %s", conn->id, e.what());
    end_conn(conn, true);
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
  if (gives_way) logf("conn %d gives way to conn %d", gives_way->id, conn->id);
  uint64_t one = 1;
  if (write(d.wake, &one, sizeof one) < 0) logf("cannot wake the doorman");
  return true;
}

// A connection whose first byte has come is served on a thread of its
// own; without one it is closed.
void start_serving(const ConnRef& conn) {
  auto* held = new (std::nothrow) ConnRef(conn);
  if (held && create_task(serve, held, 3) >= 0) return;
  delete held;
  logf("conn %d: no thread to serve it", conn->id);
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
    for (const ConnRef& c : late) logf("conn %d sent nothing in time, dropped", c->id);
    late.clear();
    {
      BlockingRegion region;
      poll(fds.data(), fds.size(), 1000);
    }
    uint64_t woken;
    if (fds[0].revents && read(d.wake, &woken, sizeof woken) < 0) logf("doorman: wake not read");
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
    conn = std::make_shared<Conn>();
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
  logf("conn %d open from %s", conn->id, conn->peer.c_str());
  register_conn(conn);
  if (enter_door(conn)) return;
  logf("conn %d: no place to wait, busy", conn->id);
  static constexpr char kBusy[] = "<Permission>Busy</Permission>\n";
  if (s_write(conn->st, kBusy, sizeof kBusy - 1) == sizeof kBusy - 1) s_flush(conn->st);
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
      verbose = true;
    } else if (a == "--refuse") {
      refuse_left = -1;
    } else if (a.rfind("--refuse=", 0) == 0) {
      char* end = nullptr;
      refuse_left = std::strtol(a.c_str() + 9, &end, 10);
      if (!end || *end || refuse_left < 0) return usage();
    } else if (a.rfind("--idle=", 0) == 0) {
      char* end = nullptr;
      long n = std::strtol(a.c_str() + 7, &end, 10);
      if (!end || *end || n < 1 || n > 86400 * 365) return usage();
      idle_seconds = static_cast<int>(n);
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
    if (end && !*end && n > 0 && n <= (1L << 20)) line_cap = static_cast<uint64_t>(n) << 10;
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
  logf("listening on 127.0.0.1:%d", bound);
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
      if (!pause_ms) logf("accepting failed, backing off");
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
      logf("conn %d dropped: %s", next_id, e.what());
    }
  }
  std::fprintf(stderr, "qnmx_lockd: the listener failed\n");
  stop_gc_task();
  return 1;
}
