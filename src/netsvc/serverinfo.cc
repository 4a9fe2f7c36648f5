#include "netsvc/serverinfo.h"

#include <cstdint>
#include <mutex>
#include <unordered_set>

#include "base/alloc.h"
#include "base/leaf_mutex.h"
#include "base/zutime.h"
#include "text/lchar.h"

namespace {

constexpr int kChains = 13;

LeafMutex si_lock;
// Guarded by si_lock.
_SERVER_INFO* by_name[kChains];
_SERVER_INFO* by_ip[kChains];

int name_chain(const L_CHAR* name) {
  unsigned sum = 0;
  for (const L_CHAR* p = name; *p; ++p) sum += static_cast<unsigned>(*p);
  return static_cast<int>(sum % kChains);
}
int ip_chain(unsigned ip) { return static_cast<int>(ip % kChains); }

_SERVER_INFO* _find_name(const L_CHAR* name) {
  assert_leaf_held(si_lock);
  for (_SERVER_INFO* r = by_name[name_chain(name)]; r; r = r->next)
    if ((r->i.active_flags & SI_NAME) && l_strcmp(r->i.name, name) == 0) return r;
  return nullptr;
}

_SERVER_INFO* _find_ip(unsigned ip) {
  assert_leaf_held(si_lock);
  for (_SERVER_INFO* r = by_ip[ip_chain(ip)]; r; r = r->ip_next)
    if ((r->i.active_flags & SI_IP) && r->i.ip == ip) return r;
  return nullptr;
}

// Finds the record by name, else by address; *usable tells whether si
// named either key.
_SERVER_INFO* _find(const SERVER_INFO* si, bool* usable) {
  assert_leaf_held(si_lock);
  bool by_n = (si->active_flags & SI_NAME) && si->name;
  bool by_a = (si->active_flags & SI_IP) && si->ip != 0;
  *usable = (by_n || by_a) && !((si->active_flags & SI_NAME) && !si->name);
  if (!*usable) return nullptr;
  _SERVER_INFO* r = by_n ? _find_name(si->name) : nullptr;
  if (!r && by_a) r = _find_ip(si->ip);
  return r;
}

void _link_name(_SERVER_INFO* r, const L_CHAR* name) {
  assert_leaf_held(si_lock);
  r->i.name = ll_copy_str(name);
  r->i.active_flags |= SI_NAME;
  int c = name_chain(name);
  r->next = by_name[c];
  by_name[c] = r;
}

void _unlink_ip(_SERVER_INFO* r) {
  assert_leaf_held(si_lock);
  for (_SERVER_INFO** p = &by_ip[ip_chain(r->i.ip)]; *p; p = &(*p)->ip_next) {
    if (*p == r) {
      *p = r->ip_next;
      return;
    }
  }
}

void _link_ip(_SERVER_INFO* r, unsigned ip) {
  assert_leaf_held(si_lock);
  r->i.ip = ip;
  r->i.active_flags |= SI_IP;
  int c = ip_chain(ip);
  r->ip_next = by_ip[c];
  by_ip[c] = r;
}

}  // namespace

void init_serverinfo_table() {
  std::lock_guard<LeafMutex> g(si_lock);
  // A record may stand in both tables: each is freed once.
  std::unordered_set<_SERVER_INFO*> all;
  for (int c = 0; c < kChains; ++c) {
    for (_SERVER_INFO* r = by_name[c]; r; r = r->next) all.insert(r);
    for (_SERVER_INFO* r = by_ip[c]; r; r = r->ip_next) all.insert(r);
    by_name[c] = by_ip[c] = nullptr;
  }
  for (_SERVER_INFO* r : all) {
    d_f_ree(const_cast<L_CHAR*>(r->i.name));
    d_f_ree(r);
  }
}

int set_serverinfo_table(SERVER_INFO* si, int cmd, int set_if) {
  std::lock_guard<LeafMutex> g(si_lock);
  bool usable;
  _SERVER_INFO* r = _find(si, &usable);
  if (!usable) return -1;
  bool fresh = !r;
  if (fresh) {
    r = static_cast<_SERVER_INFO*>(d_calloc(1, sizeof(_SERVER_INFO)));
    r->i.status = 1;
    r->i.active_flags = SI_STATUS;
  }
  if (!(r->i.status & set_if)) {
    if (fresh) d_f_ree(r);
    return -2;
  }
  // A record found by one key learns the other (and an address that
  // changed moves it to its new chain).
  if ((si->active_flags & SI_NAME) && si->name && !(r->i.active_flags & SI_NAME)) _link_name(r, si->name);
  if ((si->active_flags & SI_IP) && si->ip != 0 && (fresh || r->i.ip != si->ip)) {
    if (!fresh && (r->i.active_flags & SI_IP)) _unlink_ip(r);
    _link_ip(r, si->ip);
  }
  if (si->active_flags & SI_STATUS) r->i.status = si->status;
  int result = 0;
  if (si->active_flags & SI_THPUT) {
    if (cmd == 1 || (cmd == 3 && (fresh || r->i.thput < si->thput)))
      r->i.thput = si->thput;
    else if (cmd == 3)  // 0.9 old + 0.1 new, toward zero
      r->i.thput = static_cast<int>((9 * static_cast<int64_t>(r->i.thput) + si->thput) / 10);
    else
      result = -1;
  }
  if (si->active_flags & SI_DATA) {
    if (cmd == 1 || (cmd == 2 && r->i.data == 0))
      r->i.data = si->data;
    else
      result = cmd == 2 ? -2 : -1;
  }
  r->i.active_flags |= si->active_flags & (SI_STATUS | SI_THPUT | SI_DATA);
  r->w_time = get_zutime();
  return result;
}

int get_serverinfo(SERVER_INFO* si) {
  std::lock_guard<LeafMutex> g(si_lock);
  _SERVER_INFO* r = nullptr;
  if ((si->active_flags & SI_NAME) && si->name) r = _find_name(si->name);
  else if ((si->active_flags & SI_IP) && si->ip != 0) r = _find_ip(si->ip);
  if (!r) return -1;
  const L_CHAR* own = si->name;
  *si = r->i;
  si->name = own;
  r->r_time = get_zutime();
  return 0;
}
