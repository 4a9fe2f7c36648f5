#include "zu/site.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>

#include "zu/value.h"

namespace {

constexpr size_t kMaxSites = 4096;
constexpr size_t kMaxSiteLen = 255;
constexpr int kLoopback = 0x7F000001;

struct Site {
  std::mutex m;
  std::atomic<const L_CHAR*> name{nullptr};
  int ip = 0;
  bool have_ip = false;
  std::unordered_set<std::u32string> texts;  // interned site texts
};

Site& S() {
  static Site* s = [] {
    auto* x = new Site;
    x->texts.insert(U"?");
    return x;
  }();
  return *s;
}

const L_CHAR* intern_locked(Site& s, const std::u32string& t) {
  auto it = s.texts.find(t);
  if (it == s.texts.end()) {
    if (s.texts.size() >= kMaxSites) return nullptr;
    it = s.texts.insert(t).first;
  }
  return reinterpret_cast<const L_CHAR*>(it->c_str());
}

std::u32string widen(const char* n) {
  std::u32string t;
  for (const char* p = n; *p; ++p) t.push_back(static_cast<unsigned char>(*p));
  return t;
}

void find_locked(Site& s) {
  if (s.name.load()) return;
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || !host[0]) std::strcpy(host, "localhost");
  s.name = intern_locked(s, widen(host));
}

}  // namespace

const L_CHAR* get_zulisp_site() {
  Site& s = S();
  if (const L_CHAR* n = s.name.load()) return n;
  std::lock_guard<std::mutex> l(s.m);
  find_locked(s);
  return s.name.load();
}

int zulisp_site_ipv4() {
  HOST_ADDR a{};
  get_zulisp_site_ip(&a);
  return static_cast<int>((uint32_t(a.addr[0]) << 24) | (a.addr[1] << 16) | (a.addr[2] << 8) | a.addr[3]);
}

int get_zulisp_site_ip(HOST_ADDR* out) {
  Site& s = S();
  std::string host;
  {
    std::lock_guard<std::mutex> l(s.m);
    find_locked(s);
    if (s.have_ip) {
      if (out) *out = getHA_v4(s.ip);
      return 0;
    }
    for (const L_CHAR* p = s.name.load(); *p; ++p) host.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
  }
  // Resolve outside the lock: the resolver may wait.
  int ip = 0;
  if (resolve_host(host.c_str(), &ip) != 0) ip = kLoopback;
  std::lock_guard<std::mutex> l(s.m);
  if (!s.have_ip) {
    s.ip = ip;
    s.have_ip = true;
  }
  if (out) *out = getHA_v4(s.ip);
  return 0;
}

int set_zulisp_site(const char* name) {
  if (!name || !*name || std::strlen(name) > kMaxSiteLen) return -1;
  int ip = 0;
  if (resolve_host(name, &ip) != 0) return -1;
  Site& s = S();
  std::lock_guard<std::mutex> l(s.m);
  const L_CHAR* t = intern_locked(s, widen(name));
  if (!t) return -1;
  s.name = t;
  s.ip = ip;
  s.have_ip = true;
  return 0;
}

const L_CHAR* zu_intern_site(const L_CHAR* text) {
  std::u32string t;
  if (text)
    for (const L_CHAR* p = text; *p && t.size() < kMaxSiteLen; ++p) t.push_back(static_cast<char32_t>(*p));
  Site& s = S();
  std::lock_guard<std::mutex> l(s.m);
  if (const L_CHAR* r = intern_locked(s, t)) return r;
  // Too many distinct sites: keep the error readable rather than grow.
  return intern_locked(s, U"?");
}
