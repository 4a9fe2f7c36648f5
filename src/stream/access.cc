// Access lists: ordered rules admitting or refusing peers by address, by
// host-name suffix or all together.
#include <arpa/inet.h>
#include <strings.h>

#include <cstring>
#include <string>

#include "base/alloc.h"
#include "stream/net.h"

namespace {

void append(ACCESS_PERMISSION* ap, ACCESS_LIST* r) {
  r->next = nullptr;
  if (ap->tail)
    ap->tail->next = r;
  else
    ap->head = r;
  ap->tail = r;
}

ACCESS_LIST* new_rule(int kind, int auth_type, int auth_flags, int result) {
  auto* r = static_cast<ACCESS_LIST*>(d_calloc(sizeof(ACCESS_LIST), 1));
  r->kind = kind;
  r->auth_type = auth_type;
  r->auth_flags = auth_flags;
  r->result = result;
  return r;
}

bool suffix_matches(const char* host, const char* suffix) {
  size_t hl = std::strlen(host), sl = std::strlen(suffix);
  if (sl == 0 || sl > hl) return false;
  if (strcasecmp(host + hl - sl, suffix) != 0) return false;
  // Whole labels only: "example.com" matches "a.example.com", not "badexample.com".
  return sl == hl || suffix[0] == '.' || host[hl - sl - 1] == '.';
}

}  // namespace

void init_access_permission(ACCESS_PERMISSION* ap) {
  if (!ap) return;
  ap->head = ap->tail = nullptr;
}

int insert_access_list_v4(ACCESS_PERMISSION* ap, uint32_t ip, uint32_t mask, int auth_type,
                          int auth_flags, int result) {
  if (!ap) return -1;
  ACCESS_LIST* r = new_rule(ACL_IP, auth_type, auth_flags, result);
  r->ip = ip;
  r->mask = mask;
  append(ap, r);
  return 0;
}

int insert_access_list(ACCESS_PERMISSION* ap, const char* ip, const char* mask,
                       const char* domain, int auth_type, int auth_flags, int result) {
  if (!ap) return -1;
  if (ip) {
    in_addr a{}, m{};
    if (!inet_aton(ip, &a)) return -1;
    if (mask) {
      if (!inet_aton(mask, &m)) return -1;
    } else {
      m.s_addr = 0xffffffffu;
    }
    return insert_access_list_v4(ap, ntohl(a.s_addr), ntohl(m.s_addr), auth_type, auth_flags,
                                 result);
  }
  if (domain) {
    if (!*domain) return -1;
    ACCESS_LIST* r = new_rule(ACL_DOMAIN, auth_type, auth_flags, result);
    r->domain = copy_str(domain);
    append(ap, r);
    return 0;
  }
  append(ap, new_rule(ACL_ALL, auth_type, auth_flags, result));
  return 0;
}

int check_permission(ACCESS_PERMISSION* ap, int ip, int flag) {
  (void)flag;
  if (!ap) return 0;
  auto addr = static_cast<uint32_t>(ip);
  // A reverse look-up alone proves nothing (whoever owns the address
  // chooses its name): the name counts only when it resolves back to ip.
  std::string name;
  bool name_tried = false, confirmed = false;
  for (ACCESS_LIST* r = ap->head; r; r = r->next) {
    bool match = false;
    switch (r->kind) {
      case ACL_ALL:
        match = true;
        break;
      case ACL_IP:
        match = (addr & r->mask) == (r->ip & r->mask);
        break;
      case ACL_DOMAIN:
        if (!name_tried) {
          name_tried = true;
          if (const char* n = resolve_addr(ip)) name = n;
          confirmed = !name.empty() && resolve_confirms(name.c_str(), ip);
        }
        match = confirmed && suffix_matches(name.c_str(), r->domain);
        break;
    }
    if (match) return r->result ? 1 : 0;
  }
  return 0;
}

void free_access_list(ACCESS_PERMISSION* ap) {
  if (!ap) return;
  for (ACCESS_LIST* r = ap->head; r;) {
    ACCESS_LIST* n = r->next;
    d_f_ree(r->domain);
    d_f_ree(r);
    r = n;
  }
  ap->head = ap->tail = nullptr;
}
