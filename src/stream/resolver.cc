// The host-name resolver with its cache, and the blacklist of hosts whose
// connection timed out.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/task.h"
#include "base/tempbuf.h"
#include "stream/net.h"
#include "stream/stream_impl.h"

namespace {

// ---------------------------------------------------------------------------
// Resolver cache

enum { kPending = 0, kOk = 1, kFailed = 2 };

struct Entry {
  int state = kPending;
  std::vector<int> ips;  // forward look-ups: every IPv4 address of the name
  std::string name;      // reverse look-ups
  int64_t expires_us = 0;
};

// The system's look-ups (getaddrinfo, getnameinfo), or a table set for tests.
int system_forward(const char* name, int* ips, int max);
int system_reverse(int ip, char* host, size_t len);
const RESOLVER_OPS kSystemOps = {system_forward, system_reverse};
std::atomic<const RESOLVER_OPS*> ops{&kSystemOps};

std::atomic<int> cache_ms{600000};
std::atomic<int> negative_ms{60000};
std::atomic<int> wait_ms{10000};

SEM res_lock() {
  static SEM l = new_lock(LOCK_RESOLVER);
  return l;
}
// Guarded by res_lock(). Keys: "n:" name for forward, "a:" address for reverse.
std::map<std::string, Entry>& cache() {
  static auto* m = new std::map<std::string, Entry>();
  return *m;
}

std::string local_domain() {
  static std::string dom = [] {
    std::string d;
    if (FILE* f = std::fopen("/etc/resolv.conf", "r")) {
      char line[512];
      while (std::fgets(line, sizeof line, f)) {
        char key[16], val[256];
        if (std::sscanf(line, "%15s %255s", key, val) == 2 &&
            (std::strcmp(key, "domain") == 0 || (std::strcmp(key, "search") == 0 && d.empty())))
          d = val;
      }
      std::fclose(f);
    }
    return d;
  }();
  return dom;
}

int system_forward(const char* name, int* ips, int max) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int r;
  {
    BlockingRegion region;
    r = getaddrinfo(name, nullptr, &hints, &res);
  }
  if (r != 0) return -1;
  int n = 0;
  for (addrinfo* a = res; a && n < max; a = a->ai_next)
    ips[n++] = static_cast<int>(ntohl(reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr));
  freeaddrinfo(res);
  return n > 0 ? n : -1;
}

int system_reverse(int ip, char* host, size_t len) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(static_cast<uint32_t>(ip));
  BlockingRegion region;
  return getnameinfo(reinterpret_cast<sockaddr*>(&a), sizeof a, host, static_cast<socklen_t>(len), nullptr, 0,
                     NI_NAMEREQD) == 0
             ? 0
             : -1;
}

bool lookup_v4(const std::string& name, std::vector<int>* ips) {
  int got[16];
  int n = ops.load()->forward(name.c_str(), got, 16);
  if (n <= 0) return false;
  ips->assign(got, got + std::min(n, 16));
  return true;
}

struct Job {
  std::string key;
};

void resolve_task(TKEY data) {
  auto* job = static_cast<Job*>(data);
  const std::string& key = job->key;
  Entry result;
  if (key[0] == 'n') {
    std::string name = key.substr(2);
    bool ok = lookup_v4(name, &result.ips);
    // A name without a dot is also tried in the local domain.
    if (!ok && name.find('.') == std::string::npos && !local_domain().empty())
      ok = lookup_v4(name + "." + local_domain(), &result.ips);
    result.state = ok ? kOk : kFailed;
  } else {
    char host[NI_MAXHOST] = {};
    int r = ops.load()->reverse(static_cast<int>(std::stoul(key.substr(2))), host, sizeof host - 1);
    result.state = r == 0 && host[0] ? kOk : kFailed;
    if (result.state == kOk) result.name = host;
  }
  int life = result.state == kOk ? cache_ms.load() : negative_ms.load();
  result.expires_us = s_now_us() + static_cast<int64_t>(life) * 1000;
  lock_task(res_lock());
  cache()[key] = result;
  unlock_task(res_lock(), "resolver");
  wakeup_task(&cache());
  delete job;
}

// Looks key up, starting a resolver task when needed and waiting for it.
bool cached(const std::string& key, Entry* out) {
  int64_t deadline = s_now_us() + static_cast<int64_t>(wait_ms.load()) * 1000;
  lock_task(res_lock());
  for (;;) {
    auto& c = cache();
    auto it = c.find(key);
    int64_t now = s_now_us();
    if (it == c.end() || (it->second.state != kPending && it->second.expires_us <= now)) {
      Entry e;
      e.state = kPending;
      c[key] = e;
      auto* job = new Job{key};
      if (create_task(resolve_task, job, 2) < 0) {
        delete job;
        c.erase(key);
        unlock_task(res_lock(), "resolver");
        return false;
      }
      continue;
    }
    if (it->second.state != kPending) {
      *out = it->second;
      unlock_task(res_lock(), "resolver");
      return out->state == kOk;
    }
    double left = static_cast<double>(deadline - now) / 1e6;
    if (left <= 0) {
      unlock_task(res_lock(), "resolver");
      return false;
    }
    _i_sleep_task_timeout(&cache(), res_lock(), left, __FILE__, __LINE__);
    lock_task(res_lock());
  }
}

}  // namespace

int resolve_host(const char* name, int* ip) {
  if (!name || !*name || !ip || std::strlen(name) > 253) return -1;
  in_addr a{};
  if (inet_aton(name, &a)) {
    *ip = static_cast<int>(ntohl(a.s_addr));
    return 0;
  }
  std::string key = "n:";
  for (const char* p = name; *p; ++p) key += static_cast<char>(*p >= 'A' && *p <= 'Z' ? *p + 32 : *p);
  Entry e;
  if (!cached(key, &e) || e.ips.empty()) return -1;
  *ip = e.ips.front();
  return 0;
}

int resolve_confirms(const char* name, int ip) {
  if (!name || !*name || std::strlen(name) > 253) return 0;
  in_addr a{};
  if (inet_aton(name, &a)) return static_cast<int>(ntohl(a.s_addr)) == ip;
  std::string key = "n:";
  for (const char* p = name; *p; ++p) key += static_cast<char>(*p >= 'A' && *p <= 'Z' ? *p + 32 : *p);
  Entry e;
  if (!cached(key, &e)) return 0;
  return std::find(e.ips.begin(), e.ips.end(), ip) != e.ips.end();
}

void set_resolver_ops(const RESOLVER_OPS* table) {
  ops.store(table ? table : &kSystemOps);
  resolver_clear();
}

char* resolve_addr(int ip) {
  Entry e;
  if (!cached("a:" + std::to_string(static_cast<uint32_t>(ip)), &e)) return nullptr;
  char* r = copy_str(e.name.c_str());
  set_buffer(r);
  return r;
}

void resolver_set_times(int cache_time, int negative_time, int wait_time) {
  cache_ms.store(cache_time);
  negative_ms.store(negative_time);
  wait_ms.store(wait_time);
}

void resolver_clear() {
  lock_task(res_lock());
  for (auto it = cache().begin(); it != cache().end();)
    it = it->second.state == kPending ? std::next(it) : cache().erase(it);
  unlock_task(res_lock(), "resolver");
}

int hostcmp(const char* name1, int ip1, const char* name2, int ip2) {
  if (name1 && name2 && strcasecmp(name1, name2) == 0) return 0;
  if (name1 && *name1 && resolve_host(name1, &ip1) < 0) return 1;
  if (name2 && *name2 && resolve_host(name2, &ip2) < 0) return 1;
  if (ip1 == ip2) return 0;
  auto loopback = [](int ip) { return (static_cast<uint32_t>(ip) >> 24) == 127; };
  return loopback(ip1) && loopback(ip2) ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Blacklist

namespace {

std::atomic<int> bl_fail_ms{60000};
std::atomic<int> bl_probe_first_ms{60000};
std::atomic<int> bl_probe_max_ms{900000};

SEM bl_lock() {
  static SEM l = new_lock(LOCK_BLACKLIST);
  return l;
}
BL_ENTRY* bl_head = nullptr;  // guarded by bl_lock()

BL_ENTRY* _bl_entry(const char* host) {
  assert_lock_held(bl_lock());
  for (BL_ENTRY* e = bl_head; e; e = e->next)
    if (strcasecmp(e->host, host) == 0) return e;
  auto* e = static_cast<BL_ENTRY*>(d_calloc(sizeof(BL_ENTRY), 1));
  e->host = copy_str(host);
  e->next = bl_head;
  bl_head = e;
  return e;
}

void probe_task(TKEY data) {
  auto* e = static_cast<BL_ENTRY*>(data);
  lock_task(bl_lock());
  for (;;) {
    int wait = e->interval_ms;
    unlock_task(bl_lock(), "blacklist");
    {
      // A plain timed wait: nothing wakes this key early.
      _i_sleep_task_timeout(&e->interval_ms, nullptr, wait / 1000.0, __FILE__, __LINE__);
    }
    lock_task(bl_lock());
    if (!e->failed || !e->retry) break;
    BL_RETRY retry = e->retry;
    unlock_task(bl_lock(), "blacklist");
    int r = retry(e);
    lock_task(bl_lock());
    if (r != 2) {
      e->failed = 0;
      break;
    }
    e->interval_ms = std::min(e->interval_ms * 2, bl_probe_max_ms.load());
  }
  e->probing = 0;
  unlock_task(bl_lock(), "blacklist");
}

std::string host_key(const char* host, int ip) {
  if (host && *host) return host;
  in_addr a{};
  a.s_addr = htonl(static_cast<uint32_t>(ip));
  char buf[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &a, buf, sizeof buf) ? buf : "?";
}

}  // namespace

BL_ENTRY* bl_entry(const char* host) {
  if (!host) return nullptr;
  lock_task(bl_lock());
  BL_ENTRY* e = _bl_entry(host);
  unlock_task(bl_lock(), "blacklist");
  return e;
}

int bl_do(BL_COMMAND* cmd) {
  if (!cmd || !cmd->host || !cmd->connect) return -1;
  lock_task(bl_lock());
  BL_ENTRY* e = _bl_entry(cmd->host);
  bool failed = e->failed;
  unlock_task(bl_lock(), "blacklist");
  if (failed) return -1;
  int r = cmd->connect(cmd, e);
  cmd->result = r;
  if (r == 2) {
    lock_task(bl_lock());
    e->failed = 1;
    e->retry = cmd->retry;
    if (!e->probing && e->retry) {
      e->probing = 1;
      e->interval_ms = bl_probe_first_ms.load();
      if (create_task(probe_task, e, 1) < 0) e->probing = 0;
    }
    unlock_task(bl_lock(), "blacklist");
  }
  return r;
}

void bl_set_times(int fail_ms, int probe_first_ms, int probe_max_ms) {
  bl_fail_ms.store(fail_ms);
  bl_probe_first_ms.store(probe_first_ms);
  bl_probe_max_ms.store(probe_max_ms);
}

void bl_clear() {
  lock_task(bl_lock());
  for (BL_ENTRY* e = bl_head; e; e = e->next) {
    e->failed = 0;
    e->until_ms = 0;
  }
  unlock_task(bl_lock(), "blacklist");
}

int bl_is_failed(const char* host) {
  if (!host) return 0;
  lock_task(bl_lock());
  int failed = _bl_entry(host)->failed;
  unlock_task(bl_lock(), "blacklist");
  return failed ? 1 : 0;
}

STREAM* bl_new_connection(int* cerr, const char* host, int ip, int port, void* func, void* work) {
  int dummy;
  if (!cerr) cerr = &dummy;
  std::string key = host_key(host, ip);
  int64_t now_ms = s_now_us() / 1000;
  lock_task(bl_lock());
  BL_ENTRY* e = _bl_entry(key.c_str());
  bool blocked = e->until_ms > now_ms;
  unlock_task(bl_lock(), "blacklist");
  if (blocked) {
    *cerr = ETIMEDOUT;
    return nullptr;
  }
  STREAM* s = new_connection(cerr, host, ip, port, func, work);
  lock_task(bl_lock());
  e->port = port;
  if (!s && *cerr == ETIMEDOUT)
    e->until_ms = s_now_us() / 1000 + bl_fail_ms.load();
  else if (s)
    e->until_ms = 0;
  unlock_task(bl_lock(), "blacklist");
  return s;
}
