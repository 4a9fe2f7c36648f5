#include "netsvc/proxy.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/leaf_mutex.h"
#include "text/convert.h"
#include "zu/site.h"

const char* const type_chr[PROXY_HTTP + 1] = {nullptr, "NoProxy", "ZUoHTTP", nullptr, "HTTPProxy"};

namespace {

LeafMutex proxy_lock;
// Guarded by proxy_lock.
PROXY_INFO proxyinfo{PROXY_NONE, nullptr, 0, nullptr};

std::atomic<int> keep_alive{32};

void free_servers(SERVER_LIST* s) {
  while (s) {
    SERVER_LIST* next = s->next;
    d_f_ree(s->name);
    d_f_ree(s);
    s = next;
  }
}

// proxy_lock held.
void _clear_setting() {
  assert_leaf_held(proxy_lock);
  d_f_ree(proxyinfo.proxy_server);
  proxyinfo.proxy_server = nullptr;
  proxyinfo.proxy_port = 0;
}

bool is_own_host(const char* host) {
  if (std::strcmp(host, "localhost") == 0 || std::strcmp(host, "127.0.0.1") == 0) return true;
  if (const L_CHAR* site = get_zulisp_site(); site && std::strcmp(host, n_string(std_cm, site)) == 0) return true;
  HOST_ADDR a;
  get_zulisp_site_ip(&a);
  char dotted[16];
  std::snprintf(dotted, sizeof dotted, "%i.%i.%i.%i", a.addr[0], a.addr[1], a.addr[2], a.addr[3]);
  return std::strcmp(host, dotted) == 0;
}

ZU_SEXP* type_name(int type) { return get_string_ascii(type_chr[type]); }

}  // namespace

void init_proxy_table() {
  std::lock_guard<LeafMutex> g(proxy_lock);
  _clear_setting();
  free_servers(proxyinfo.da_servers);
  proxyinfo = PROXY_INFO{PROXY_NONE, nullptr, 0, nullptr};
}

int set_proxy(int type, const char* server, int port) {
  if (type != PROXY_NONE && type != PROXY_ZUOHTTP && (type != PROXY_HTTP || !server)) return -1;
  char* copy = type == PROXY_HTTP ? copy_str(server) : nullptr;
  SERVER_LIST* dropped = nullptr;
  {
    std::lock_guard<LeafMutex> g(proxy_lock);
    _clear_setting();
    proxyinfo.proxy_type = static_cast<char>(type);
    if (type == PROXY_HTTP) {
      proxyinfo.proxy_server = copy;
      proxyinfo.proxy_port = port;
    } else {
      dropped = proxyinfo.da_servers;
      proxyinfo.da_servers = nullptr;
    }
  }
  free_servers(dropped);
  return 0;
}

int set_direct_access(int type, const char* server) {
  if ((type != PROXY_NONE && type != PROXY_ZUOHTTP) || !server) return -1;
  auto* fresh = static_cast<SERVER_LIST*>(d_alloc(sizeof(SERVER_LIST)));
  *fresh = SERVER_LIST{nullptr, static_cast<char>(type), copy_str(server)};
  {
    std::lock_guard<LeafMutex> g(proxy_lock);
    for (SERVER_LIST* s = proxyinfo.da_servers; s; s = s->next) {
      if (std::strcmp(s->name, server) == 0) {
        s->type = static_cast<char>(type);
        fresh->type = 0;
        break;
      }
    }
    if (fresh->type) {
      fresh->next = proxyinfo.da_servers;
      proxyinfo.da_servers = fresh;
      return 0;
    }
  }
  free_servers(fresh);
  return 0;
}

ZU_SEXP* get_proxyinfo() {
  // Copied under the lock; the values are made outside it.
  int type, port = 0;
  std::string server;
  std::vector<std::pair<int, std::string>> entries;
  {
    std::lock_guard<LeafMutex> g(proxy_lock);
    type = proxyinfo.proxy_type;
    if (type == PROXY_HTTP) {
      server = proxyinfo.proxy_server ? proxyinfo.proxy_server : "";
      port = proxyinfo.proxy_port;
      for (SERVER_LIST* s = proxyinfo.da_servers; s; s = s->next) entries.emplace_back(s->type, s->name);
    }
  }
  GcFrame frame("get_proxyinfo");
  ZU_SEXP* head = cons(get_symbol_ascii("proxyinfo"), nullptr);
  ZU_SEXP* last = cons(type_name(type), nullptr);
  head->pair.cdr = last;
  auto add = [&last](ZU_SEXP* v) { last = last->pair.cdr = cons(v, nullptr); };
  if (type == PROXY_HTTP) {
    add(n_get_string(server.c_str()));
    add(get_integer(port, nullptr));
    for (const auto& [t, name] : entries)
      add(List(get_symbol_ascii("server"), type_name(t), n_get_string(name.c_str()), ZU_LIST_END));
  }
  return frame.keep(head, gc_qn_sexp);
}

void check_proxy_table(PROXY_INFO* info, const char* host) {
  *info = PROXY_INFO{PROXY_NONE, nullptr, 0, nullptr};
  if (!host || is_own_host(host)) return;
  std::lock_guard<LeafMutex> g(proxy_lock);
  for (SERVER_LIST* s = proxyinfo.da_servers; s; s = s->next) {
    if (std::strcmp(s->name, host) == 0) {
      info->proxy_type = s->type;
      return;
    }
  }
  info->proxy_type = proxyinfo.proxy_type;
  // A copy: the setting may change while the caller connects.
  info->proxy_server = proxyinfo.proxy_server ? copy_str(proxyinfo.proxy_server) : nullptr;
  info->proxy_port = proxyinfo.proxy_port;
}

int get_proxy_keep_alive() { return keep_alive.load(); }
void set_proxy_keep_alive(int mode) { keep_alive.store(mode ? 32 : 0); }
