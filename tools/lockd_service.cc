// The lock table and the serving of connections past their first byte
// (lockd_service.h).
#include "lockd_service.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string_view>
#include <vector>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/zutime.h"
#include "text/convert.h"
#include "zu/errcodes.h"
#include "zu/gc.h"
#include "zu/peer_account.h"
#include "zu/printer.h"
#include "zu/reader.h"
#include "zu/value.h"

LOCKD_OPTIONS lockd_options;

void lockd_log(const char* fmt, ...) {
  if (!lockd_options.verbose) return;
  va_list ap;
  va_start(ap, fmt);
  char* text = nullptr;
  int n = vasprintf(&text, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  std::fprintf(stderr, "lockd: %s\n", text);
  std::free(text);
}

void lock_safely(std::mutex& m) {
  if (m.try_lock()) return;
  BlockingRegion region;
  m.lock();
}

int64_t lockd_last_input(LockConn& conn) {
  int64_t last = conn.last_input.load();
  std::lock_guard<std::mutex> g(conn.fmu);
  return conn.f ? std::max(last, zu_file_input_time(conn.f)) : last;
}

LockConn::~LockConn() {
  if (st) {
    d_s_close(st);
    s_drop(st);
  }
}

namespace {

// Requests one connection may have waiting.
constexpr size_t kMaxWaits = 256;
// Requests waiting, and bytes of listed requests, for all addresses
// together: far more than agents sharing files ask for (a few requests of
// a path's length each), far less than the process can hold.
constexpr int64_t kWaitsTotal = 4096;
constexpr int64_t kBytesTotal = int64_t{64} << 20;
// What a request costs besides its name: its record, its list nodes and
// its share of the map's node.
constexpr int64_t kRequestBytes = 256;
// What a served connection costs the address space: its thread's stack
// (base/task.cc) and its reader's buffers.
constexpr int64_t kConnBytes = int64_t{9} << 20;

using Queue = std::list<LockRequest*>;

}  // namespace

struct LockRequest {
  ConnRef conn;
  std::string agent;
  std::u32string name;
  std::string shown;  // the name as UTF-8, for the log
  bool write = false;
  int seq = 0;           // event number at the client, 0 none
  int line = 0;          // input line of the request: the reply's number
  bool evented = false;  // holds: call-lock-event already sent
  uint64_t order = 0;    // arrival
  bool held = false;
  bool listed = false;  // in its name's hold or wait list, at `at`
  int64_t cost = 0;     // bytes counted for it in its address's account
  Queue::iterator at;
  std::list<LockRequest*>::iterator own;  // in conn->mine
};

const LOCKD_TOTALS& lockd_totals() {
  static const LOCKD_TOTALS totals = [] {
    rlimit lim{};
    const int64_t files = getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY
                              ? static_cast<int64_t>(lim.rlim_cur)
                              : 2048;
    // The other half of the descriptors is for the connections waiting for
    // their first byte; a few are the service's own (its listener, the
    // doorman's wake, the files of /proc it reads).
    int64_t conns = std::clamp<int64_t>(files / 2 - 32, 8, 1024);
    int64_t bytes = kBytesTotal;
    if (getrlimit(RLIMIT_AS, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY) {
      const auto space = static_cast<int64_t>(lim.rlim_cur);
      conns = std::clamp<int64_t>(space / 2 / kConnBytes, 8, conns);
      bytes = std::clamp<int64_t>(space / 8, int64_t{1} << 20, bytes);
    }
    return LOCKD_TOTALS{conns, kWaitsTotal, bytes};
  }();
  return totals;
}

namespace {

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
size_t listed_count = 0;

// The connections that hold a served place (served_mu, taken under
// table_mu or alone; it takes no other lock).
std::mutex& served_mu = *new std::mutex;
std::list<ConnRef>& served = *new std::list<ConnRef>;

struct Outgoing {
  ConnRef conn;
  std::string text;
};

// A waiting request given up for another address's: answered with an
// error once the table lock is let go.
struct Refusal {
  ConnRef conn;
  int line;
};

// Why a request is refused, or a waiting one given up, for lack of room.
constexpr char kNoRoom[] = "too many requests from this address";

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

bool conflicts(const LockRequest& h, const LockRequest& r) { return h.agent != r.agent && (h.write || r.write); }

std::string granted_text(int line) { return "<Result> " + std::to_string(line) + " ()</Result>\n"; }

void send_all(std::vector<Outgoing>& out) {
  for (Outgoing& o : out) {
    lock_safely(o.conn->wmu);
    std::lock_guard<std::mutex> g(o.conn->wmu, std::adopt_lock);
    if (o.conn->dead) continue;
    STREAM* to = o.conn->out ? o.conn->out : o.conn->st;
    if (s_write(to, o.text.data(), static_cast<int>(o.text.size())) < 0 || s_flush(to) < 0) {
      // The reading side sees the end of input and cleans up.
      o.conn->dead = true;
      s_close_queue(o.conn->st);
    }
  }
  out.clear();
}

// Whether a hold blocks r; with `event`, every blocking holder that gave a
// seq is told once. Table lock held.
bool blocked(LockRequest& r, std::vector<Outgoing>* event) {
  bool any = false;
  for_related(holds, r.name, [&](Queue& q) {
    for (LockRequest* h : q) {
      if (!conflicts(*h, r)) continue;
      any = true;
      if (event && h->seq != 0 && !h->evented) {
        h->evented = true;
        lockd_log("conn %d event seq %d", h->conn->id, h->seq);
        event->push_back({h->conn, "(call-lock-event " + std::to_string(h->seq) + ")\n"});
      }
    }
  });
  return any;
}

void hold(LockRequest* r, std::vector<Outgoing>& out) {
  Queue& q = holds[r->name];
  r->at = q.insert(q.end(), r);
  r->held = r->listed = true;
  r->conn->held_bytes += r->cost;
  out.push_back({r->conn, granted_text(r->line)});
}

// A waiting request no longer waits: its connection's count and its
// address's account say so. Table lock held.
void _stop_waiting(LockRequest* r) {
  --r->conn->waiting;
  account_give(r->conn->ip, PEER_HOLD::kQueued, 1);
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
  std::vector<const LockRequest*> granted;
  for (auto& [order, n] : lists) {
    auto it = waits.find(n);
    while (it != waits.end() && !it->second.empty()) {
      LockRequest* r = it->second.front();
      if (blocked(*r, nullptr)) break;
      it->second.pop_front();
      r->listed = false;
      _stop_waiting(r);
      lockd_log("conn %d granted %s \"%s\" (line %d)", r->conn->id, r->write ? "write" : "read", r->shown.c_str(),
                r->line);
      hold(r, out);
      granted.push_back(r);
    }
    if (it != waits.end() && it->second.empty()) waits.erase(it);
  }
  for (const LockRequest* g : granted)
    for_related(waits, g->name, [&](Queue& q) {
      if (!q.empty()) blocked(*q.front(), &out);
    });
}

// Removes r from its hold or wait list; table lock held.
void unlist(LockRequest* r) {
  if (!r->listed) return;
  r->listed = false;
  auto& table = r->held ? holds : waits;
  auto it = table.find(r->name);
  it->second.erase(r->at);
  if (it->second.empty()) table.erase(it);
  if (!r->held) _stop_waiting(r);
}

// Unlists r and frees it, giving back what it cost; the caller takes it
// out of its connection's list. Table lock held.
void _discard(LockRequest* r) {
  unlist(r);
  r->conn->bytes -= r->cost;
  if (r->held) r->conn->held_bytes -= r->cost;
  account_give(r->conn->ip, PEER_HOLD::kInput, r->cost);
  --listed_count;
  delete r;
}

// Forgets conn's requests, or only those that wait (each of them then
// into `refused`), and grants what that frees: a hold given back, or a
// wait that requests behind it in its list waited for; returns the holds
// given back. Table lock held.
int _drop_requests(const ConnRef& conn, bool waits_only, std::vector<Outgoing>& out,
                   std::vector<Refusal>* refused = nullptr) {
  std::list<LockRequest*> gone;
  for (auto it = conn->mine.begin(); it != conn->mine.end();) {
    auto r = it++;
    if (!waits_only || !(*r)->held) gone.splice(gone.end(), conn->mine, r);
  }
  int holds = 0;
  for (LockRequest* r : gone) {
    holds += r->held;
    if (refused && !r->held) refused->push_back({conn, r->line});
    unlist(r);
  }
  // The names are read before the requests are freed.
  for (LockRequest* r : gone) grant_waiting(r->name, out);
  for (LockRequest* r : gone) _discard(r);
  return holds;
}

int drop_conn(const ConnRef& conn, std::vector<Outgoing>& out) {
  lock_safely(table_mu);
  std::lock_guard<std::mutex> g(table_mu, std::adopt_lock);
  return _drop_requests(conn, false, out);
}

// The served connection of address ip that can give back most of kind
// (waiting requests or their bytes), or null. A lock is never taken from
// its holder, so what a connection can give back is what its waiting
// requests hold. Table lock held.
ConnRef _heaviest(int ip, PEER_HOLD kind) {
  std::lock_guard<std::mutex> g(served_mu);
  ConnRef best;
  int64_t most = 0;
  for (const ConnRef& c : served) {
    if (c->ip != ip || c->ending) continue;
    const int64_t n = kind == PEER_HOLD::kQueued ? static_cast<int64_t>(c->waiting) : c->bytes - c->held_bytes;
    if (n > most) best = c, most = n;
  }
  return best;
}

// The served connection of address ip that may give its place: one that
// already gave way, else the one idle longest among those that hold no
// lock (an agent's link holding one is idle between its keep-alives, and
// its locks must stay with it); null when every one holds a lock. Table
// lock held.
ConnRef _idlest_free(int ip) {
  std::lock_guard<std::mutex> g(served_mu);
  ConnRef idlest;
  int64_t since = 0;
  for (const ConnRef& c : served) {
    if (c->ip != ip || c->held_bytes) continue;
    if (c->ending) return c;
    const int64_t last = lockd_last_input(*c);
    if (!idlest || last < since) idlest = c, since = last;
  }
  return idlest;
}

// Ends conn, which holds no lock, for a newcomer: its stream closed, what
// it waited for given up now (the grants that frees go to out), and
// nothing more listed for it. Table lock held.
void _give_way(const ConnRef& conn, std::vector<Outgoing>& out) {
  conn->ending = true;
  s_close_queue(conn->st);
  _drop_requests(conn, false, out);
  lockd_log("conn %d from %s gives way", conn->id, conn->peer.c_str());
}

// Gives up conn's waiting requests for a newcomer (their answers go to
// refused); conn holds a lock, which it keeps, and its connection with it.
// Table lock held.
void _give_up_waits(const ConnRef& conn, std::vector<Outgoing>& out, std::vector<Refusal>& refused) {
  const size_t before = refused.size();
  _drop_requests(conn, true, out, &refused);
  lockd_log("conn %d from %s gives up %zu waiting requests", conn->id, conn->peer.c_str(), refused.size() - before);
}

// Counts n more of kind (kQueued or kInput) for conn's address: within its
// share and the total, or by the address that holds most giving way when
// the total is all taken and conn's address holds less than its share.
// False when neither. Table lock held.
bool _take(const ConnRef& conn, PEER_HOLD kind, int64_t n, std::vector<Outgoing>& out,
           std::vector<Refusal>& refused) {
  const int64_t total = kind == PEER_HOLD::kQueued ? lockd_totals().waits : lockd_totals().bytes;
  const int64_t share = total / kAddressShareParts;
  // Each round ends a connection that held some of kind; a few rounds
  // free room for any request within a share.
  for (int round = 0; round < 16; ++round) {
    if (account_take(conn->ip, kind, n, share, total)) return true;
    const int top = account_held(conn->ip, kind) <= share - n ? account_gives_way(kind, conn->ip, share) : 0;
    ConnRef heaviest = top ? _heaviest(top, kind) : nullptr;
    if (!heaviest) return false;
    if (heaviest->held_bytes)
      _give_up_waits(heaviest, out, refused);
    else
      _give_way(heaviest, out);
  }
  return false;
}

enum class Listed { kYes, kTooManyWaiting, kNoRoom, kEnding };

// Grants r or queues it, counting it in its address's account; otherwise
// r is dropped: its connection has too many requests waiting already, its
// address or all have no room for it, or the connection gave way. Waiting
// requests of other connections given up to make room go to refused.
Listed request_lock(std::unique_ptr<LockRequest> owned, std::vector<Outgoing>& out,
                    std::vector<Refusal>& refused) {
  lock_safely(table_mu);
  std::lock_guard<std::mutex> g(table_mu, std::adopt_lock);
  LockRequest* r = owned.get();
  const ConnRef& c = r->conn;
  if (c->ending) return Listed::kEnding;
  auto waits_now = [r] {
    auto queued = waits.find(r->name);
    return blocked(*r, nullptr) || (queued != waits.end() && !queued->second.empty());
  };
  bool waiting = waits_now();
  if (waiting && c->waiting >= kMaxWaits) return Listed::kTooManyWaiting;
  // The name is kept in the request and as the key of its list (4 bytes a
  // character each), and as UTF-8 for the log.
  const int64_t cost = kRequestBytes + static_cast<int64_t>(r->name.size()) * 8 + static_cast<int64_t>(r->shown.size());
  if (!_take(c, PEER_HOLD::kInput, cost, out, refused)) return Listed::kNoRoom;
  if (waiting && !_take(c, PEER_HOLD::kQueued, 1, out, refused)) {
    account_give(c->ip, PEER_HOLD::kInput, cost);
    return Listed::kNoRoom;
  }
  // A connection that gave way above may have held what r waited for.
  if (waiting && !waits_now()) {
    waiting = false;
    account_give(c->ip, PEER_HOLD::kQueued, 1);
  }
  // The connection owns r before any list holds it: short of memory part
  // way, its end (drop_conn) finds r and unlists only what was listed.
  r->cost = cost;
  c->bytes += cost;
  ++listed_count;
  r->own = c->mine.insert(c->mine.end(), r);
  owned.release();
  if (waiting) {
    blocked(*r, &out);  // tells the holders that gave a seq
    lockd_log("conn %d waits", c->id);
    Queue& q = waits[r->name];
    r->order = ++arrivals;
    r->at = q.insert(q.end(), r);
    r->listed = true;
    ++c->waiting;
  } else {
    lockd_log("conn %d granted", c->id);
    hold(r, out);
  }
  return Listed::kYes;
}

// Releases the hold of conn on name; false when it holds none.
bool release_lock(const ConnRef& conn, const std::u32string& name, std::vector<Outgoing>& out) {
  lock_safely(table_mu);
  std::lock_guard<std::mutex> g(table_mu, std::adopt_lock);
  for (LockRequest* r : conn->mine) {
    if (r->held && r->name == name) {
      conn->mine.erase(r->own);
      _discard(r);
      grant_waiting(name, out);
      return true;
    }
  }
  return false;
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
const std::string& agent_of(LockConn& conn, long data) {
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
  long& left = lockd_options.refuse_left;
  if (left == 0) return false;
  if (left > 0) --left;
  return true;
}

void handle_form(const ConnRef& conn, ZU_SEXP* form, std::vector<Outgoing>& out) {
  int line = form ? form->h.line : 0;
  if (get_type(form) == ZU_TYPE_ERROR) {  // a syntax error: say so, read on
    lockd_log("conn %d line %d unreadable request", conn->id, line);
    out.push_back({conn, error_text(form, line, "lockd", "unreadable request")});
    return;
  }
  if (head_is(form, "Lock")) {
    LockRequest r;
    r.conn = conn;
    r.line = line;
    std::string type = attribute(form, "type") ? utf8(attribute(form, "type")) : "";
    const L_CHAR* file = attribute(form, "file");
    long data = attribute_number(form, "data");
    r.seq = static_cast<int>(attribute_number(form, "seq"));
    r.agent = agent_of(*conn, data);
    bool named = name_of(form, &r.name);
    r.shown = utf8(r.name);
    lockd_log("conn %d line %d lock %s \"%s\" agent %s seq %d file \"%s\" line %ld", conn->id, line, type.c_str(),
              r.shown.c_str(), r.agent.c_str(), r.seq, file ? utf8(file).c_str() : "",
              attribute_number(form, "line"));
    if (!named || (type != "read" && type != "write")) {
      lockd_log("conn %d bad lock request", conn->id);
      out.push_back({conn, error_text(form, line, "Lock", "bad lock request")});
      return;
    }
    if (take_refusal()) {
      lockd_log("conn %d refused", conn->id);
      out.push_back({conn, error_text(form, line, "Lock", "lock refused")});
      return;
    }
    r.write = type == "write";
    std::vector<Refusal> refused;
    const Listed listed = request_lock(std::make_unique<LockRequest>(std::move(r)), out, refused);
    for (const Refusal& w : refused) out.push_back({w.conn, error_text(form, w.line, "Lock", kNoRoom)});
    switch (listed) {
      case Listed::kYes:
      case Listed::kEnding:  // gave way: nothing more is answered
        break;
      case Listed::kTooManyWaiting:
        lockd_log("conn %d has too many waiting requests", conn->id);
        out.push_back({conn, error_text(form, line, "Lock", "too many waiting requests")});
        break;
      case Listed::kNoRoom:
        lockd_log("conn %d from %s: no room for its request", conn->id, conn->peer.c_str());
        out.push_back({conn, error_text(form, line, "Lock", kNoRoom)});
        break;
    }
    return;
  }
  if (head_is(form, "Unlock")) {
    std::u32string name;
    bool named = name_of(form, &name);
    lockd_log("conn %d line %d unlock \"%s\"", conn->id, line, utf8(name).c_str());
    bool held = named && release_lock(conn, name, out);
    lockd_log("conn %d %s", conn->id, held ? "released" : "held no such lock");
    out.push_back({conn, held ? granted_text(line) : error_text(form, line, "Unlock", "lock not held")});
    return;
  }
  // Replies to our call-lock-event queries, and stray permission answers.
  if (head_is(form, "Result") || head_is(form, "Permission")) return;
  lockd_log("conn %d line %d unknown request", conn->id, line);
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
// throw again; otherwise a failure there goes to lockd_serve, which ends
// the connection that way.
void end_conn(const ConnRef& conn, bool close_stream) {
  close_conn_file(conn);
  if (close_stream) s_close_queue(conn->st);
  std::vector<Outgoing> out;
  try {
    int n = drop_conn(conn, out);
    send_all(out);
    lockd_log("conn %d closed, %d lock%s given back", conn->id, n, n == 1 ? "" : "s");
  } catch (const std::exception&) {
    if (!close_stream) throw;
    lockd_log("conn %d: its holds are given back with nothing sent", conn->id);
  }
  lock_safely(conn->wmu);
  conn->dead = true;
  conn->wmu.unlock();
}

int64_t zu_now() { return static_cast<int64_t>(get_zutime()); }

}  // namespace

bool lockd_read_requests(const ConnRef& conn) {
  std::vector<Outgoing> out;
  // The peer opens a line link with a line end; anything else is not ours.
  conn->last_input = zu_now();
  unsigned char c = 0;
  if (s_read(conn->st, &c, 1) != 1 || (c != '\n' && c != '\r') || s_push(conn->st, c) < 0) {
    lockd_log("conn %d is not a line link", conn->id);
    return false;
  }
  CODE_METHOD* cm = s_get_cm(conn->st);
  if (!cm) {
    cm = std_cm;
    s_set_cm(conn->st, cm);
  }
  char hello[128];
  std::snprintf(hello, sizeof hello, "\n&cx%x;\n<Permission>Allow</Permission>\n", static_cast<unsigned>(cm->lccode));
  out.push_back({conn, hello});
  send_all(out);
  ZuThreadScope scope("lockd conn");
  ZU_SEXP* rest = init_parse(conn->st, nullptr, nullptr);
  ZU_FILE* f = sexp_file(rest);
  if (f) {
    f->flags |= ZU_FILE_KEEP_STREAM | ZU_FILE_NO_NUMBER;
    zu_set_line_cap(f, lockd_options.line_cap);
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
  return true;
}

void lockd_end(const ConnRef& conn) { end_conn(conn, false); }

namespace {

bool placed(const ConnRef& conn) {
  conn->placed = true;
  lock_safely(served_mu);
  std::lock_guard<std::mutex> g(served_mu, std::adopt_lock);
  served.push_back(conn);
  return true;
}

// A held lock is never taken back to make room, so where the give-way finds
// no connection it may end, a reserve of places past the total stands in:
// only an address that holds no other place takes one of it.
int64_t reserve_of(int64_t total) { return std::max<int64_t>(2, total / 16); }

bool take_reserved(const ConnRef& conn, int64_t total) {
  const int64_t reserve = reserve_of(total);
  return account_take_reserved(conn->ip, PEER_HOLD::kTasks, 1, kNoCap, total + reserve, reserve, 1) && placed(conn);
}

}  // namespace

bool lockd_take_place(const ConnRef& conn) {
  const int64_t total = lockd_totals().conns;
  // Each round ends a connection of another address: a few rounds free a
  // place for a newcomer within its share.
  for (int round = 0; round < 16; ++round) {
    if (account_take(conn->ip, PEER_HOLD::kTasks, 1, kNoCap, total)) return placed(conn);
    const int top = account_gives_way(PEER_HOLD::kTasks, conn->ip, total / kAddressShareParts);
    if (!top) return take_reserved(conn, total);
    // One of that address that holds no lock gives way, chosen and marked
    // under the table lock, so that it lists nothing more once chosen. Its
    // thread ends as its input does and gives back what it waited for (a
    // wait granted meanwhile too, whose answer it never reads), sending the
    // grants that frees: those may wait on slow readers, as this thread,
    // which admits every connection, must not.
    ConnRef idlest;
    {
      lock_safely(table_mu);
      std::lock_guard<std::mutex> g(table_mu, std::adopt_lock);
      idlest = _idlest_free(top);
      if (!idlest) {
        lockd_log("conn %d: every connection of the address holding most holds a lock", conn->id);
        return take_reserved(conn, total);
      }
      lockd_log("conn %d from %s gives way to conn %d", idlest->id, idlest->peer.c_str(), conn->id);
      idlest->ending = true;
    }
    s_close_queue(idlest->st);
    lockd_give_place(idlest);
    // The place it gave is the newcomer's, also while the reserve holds
    // places past the total: one connection ends for one newcomer.
    if (account_take(conn->ip, PEER_HOLD::kTasks, 1, kNoCap, total + reserve_of(total))) return placed(conn);
  }
  return false;
}

void lockd_give_place(const ConnRef& conn) {
  if (!conn->placed.exchange(false)) return;
  account_give(conn->ip, PEER_HOLD::kTasks, 1);
  lock_safely(served_mu);
  std::lock_guard<std::mutex> g(served_mu, std::adopt_lock);
  auto it = std::find(served.begin(), served.end(), conn);
  if (it != served.end()) served.erase(it);
}

void lockd_serve(const ConnRef& conn) {
  try {
    if (lockd_read_requests(conn)) end_conn(conn, false);
  } catch (const std::exception& e) {
    lockd_log("conn %d ended: %s", conn->id, e.what());
    end_conn(conn, true);
  }
  lockd_give_place(conn);
}

size_t lockd_listed() {
  lock_safely(table_mu);
  std::lock_guard<std::mutex> g(table_mu, std::adopt_lock);
  return listed_count;
}
