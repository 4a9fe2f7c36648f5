// The client side: a server's (auth-transaction 1 path (quote (service-list
// ...))) answered with the results this agent may send, and the client
// result files read once before the first answer.
//
// Only the server of a link this agent opened asks, as the LocalEval of a
// query sent on that link; the same form sent by a peer that reached this
// agent (as a query, or as a LocalEval on the peer's own link) is denied,
// or any peer could read the results. A result from a client result file
// is sent only to a service of its method whose full name
// ("SERVICE://site/name") it names, only over a link connected to that
// site's host, and never for a question that a peer of this agent brought
// about (a query sent while evaluating for it). A result a method makes on demand is sent once the method
// has raised it to ARS_SEND_PERMIT; it is prepared afresh for every
// question. In an "or" list the first alternative that has something to
// send answers it.
#include <dirent.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/paths.h"
#include "netsvc/auth_impl.h"
#include "runtime/interp.h"
#include "runtime/remote.h"
#include "stream/net.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/site.h"

const AUTH_CLIENT_LINK* auth_client_link = nullptr;

namespace {

// Services a client learns from servers; beyond this it answers nothing
// new (each list is bounded, the sum of many lists would not be).
constexpr int kMaxClientServices = 1000;

struct Results {
  AUTH_RESULT_LIST* head = nullptr;
  AUTH_RESULT_LIST** tail = &head;
  void add(AUTH_RESULT_HEADER* r, AUTH_RESULT_LIST* sub) {
    auto* n = static_cast<AUTH_RESULT_LIST*>(d_calloc(sizeof(AUTH_RESULT_LIST), 1));
    n->result = r;
    n->list = sub;
    *tail = n;
    tail = &n->next;
  }
};

void free_result_list(AUTH_RESULT_LIST* l) {
  while (l) {
    AUTH_RESULT_LIST* next = l->next;
    free_result_list(l->list);
    d_f_ree(l);
    l = next;
  }
}

int count(AUTH_SERVICE_LIST* l) {
  int n = 0;
  for (; l; l = l->next) ++n;
  return n;
}

// The client's service for a server's entry, learnt when new.
AUTH_SERVICE_HEADER* client_service(AUTH_SET_CLIENT* cs, const AUTH_TABLE* tbl, ZU_SEXP* entry) {
  if (AUTH_SERVICE_HEADER* s = auth_find_service(cs->auth_service_list, tbl, auth_attr(entry, "name"))) return s;
  if (count(cs->auth_service_list) >= kMaxClientServices) return nullptr;
  AUTH_SERVICE_HEADER tmpl = auth_header_of_entry(tbl, entry);
  AUTH_SERVICE_HEADER* s = tbl->parse_info(&tmpl, entry, nullptr);
  AUTH_SERVICE_LIST* n = auth_list_node(s, nullptr, AUTH_CHAIN_NONE);
  n->next = cs->auth_service_list;
  cs->auth_service_list = n;
  return s;
}

AUTH_RESULT_HEADER* preset_for(AUTH_SET_CLIENT* cs, const AUTH_TABLE* tbl, const L_CHAR* name) {
  if (!name) return nullptr;
  const auto& sites = auth_client_link->sites;
  if (std::find(sites.begin(), sites.end(), auth_service_site(name)) == sites.end()) return nullptr;
  for (AUTH_RESULT_HEADER* r = cs->preset_result_list; r; r = r->next)
    if (r->service->tbl == tbl && auth_text_equal(r->service->service_name, name)) return r;
  return nullptr;
}

// The result to send for one entry of a service list, or null.
AUTH_RESULT_HEADER* answer_entry(AUTH_SET_CLIENT* cs, ZU_SEXP* entry) {
  const AUTH_TABLE* tbl = at_tbl_type_name(auth_attr(entry, "type"));
  AUTH_SERVICE_HEADER* s = tbl ? client_service(cs, tbl, entry) : nullptr;
  if (!s) return nullptr;
  if (tbl->client_recv_sexp) tbl->client_recv_sexp(s, entry);
  AUTH_RESULT_HEADER* r = preset_for(cs, tbl, auth_attr(entry, "name"));
  if (!r) {
    r = cs->required_result_list;
    while (r && r->service != s) r = r->next;
    if (!r) {
      r = tbl->new_auth_result(s, nullptr, 0);
      r->next = cs->required_result_list;
      cs->required_result_list = r;
    }
    r->status = ARS_REQUIRED;
  }
  if (tbl->client_transaction && (r->status == ARS_REQUIRED || r->status == ARS_SEND_PERMIT))
    tbl->client_transaction(s, r);
  return r->status == ARS_SEND_PERMIT ? r : nullptr;
}

AUTH_RESULT_LIST* answer(AUTH_SET_CLIENT* cs, ZU_SEXP* slist) {
  int type = auth_chain_type(slist);
  if (type < 0) return nullptr;
  Results a;
  for (ZU_SEXP* p = slist->pair.cdr; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* e = p->pair.car;
    if (auth_is_named(e, "service")) {
      if (AUTH_RESULT_HEADER* r = answer_entry(cs, e)) a.add(r, nullptr);
    } else if (auth_is_named(e, "service-list")) {
      if (AUTH_RESULT_LIST* sub = answer(cs, e)) a.add(nullptr, sub);
    }
    if (type == AUTH_CHAIN_OR && a.head) break;
  }
  if (a.head) a.head->type = type;
  return a.head;
}

ZU_SEXP* result_list_sexp(AUTH_RESULT_LIST* l, int type) {
  ZU_SEXP* head = get_symbol_ascii("result-list");
  auth_set_attr(head, "type", auth_text(auth_chain_name(type)).c_str());
  ListBuilder b;
  b.add(head);
  for (; l; l = l->next) {
    if (l->list) b.add(result_list_sexp(l->list, l->list->type));
    else b.add(l->result->service->tbl->send_result_info(l->result));
  }
  return b.head;
}

// This host's own IPv4 addresses (host order).
std::vector<uint32_t> own_addresses() {
  std::vector<uint32_t> r;
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) return r;
  for (ifaddrs* a = all; a; a = a->ifa_next)
    if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET)
      r.push_back(ntohl(reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr));
  freeifaddrs(all);
  return r;
}

// Whether a peer at ip stays on this host.
bool is_local(int ip) {
  if (ip == 0 || ip == -1) return false;
  if (auth_peer_is_local(static_cast<uint32_t>(ip), nullptr, 0)) return true;  // loopback: no interface query
  std::vector<uint32_t> own = own_addresses();
  return auth_peer_is_local(static_cast<uint32_t>(ip), own.data(), own.size());
}

// The host a link this agent opened is connected to: the name it was
// opened with (through a proxy, the peer's address is the proxy's) and that
// name's address, else the peer's address.
struct LinkHost {
  std::string name;
  int ip = 0;
};

LinkHost link_host(const ZU_INTERPRETER* z) {
  LinkHost h;
  if (z->hostname) h.name = n_string(std_cm, z->hostname);
  if (h.name.empty() || resolve_host(h.name.c_str(), &h.ip) < 0) h.ip = z->connect_ip;
  return h;
}

// Whether site names the host h: the same name, an address of the name, or
// both on this host (this agent's own site, whose address is the loopback
// one when its name does not resolve, counts as on this host).
bool site_is_host(const std::string& site, const LinkHost& h) {
  if (site.empty()) return false;
  if (!h.name.empty() && strcasecmp(site.c_str(), h.name.c_str()) == 0) return true;
  if (h.ip == 0 || h.ip == -1) return false;
  if (resolve_confirms(site.c_str(), h.ip)) return true;
  int ip = 0;
  if (strcasecmp(site.c_str(), n_string(std_cm, get_zulisp_site())) == 0)
    ip = zulisp_site_ipv4();
  else if (resolve_host(site.c_str(), &ip) < 0)
    return false;
  return is_local(ip) && is_local(h.ip);
}

// The sites of the preset results (auth_lock held).
std::vector<AuthText> _preset_sites(AUTH_SET_CLIENT* cs) {
  assert_lock_held(auth_lock);
  std::vector<AuthText> r;
  for (AUTH_RESULT_HEADER* p = cs->preset_result_list; p; p = p->next) {
    AuthText site = auth_service_site(p->service->service_name);
    if (!site.empty() && std::find(r.begin(), r.end(), site) == r.end()) r.push_back(site);
  }
  return r;
}

ZU_SEXP* denied(ZU_SEXP* form) {
  return get_error_ascii(form->h.file, form->h.line, ZU_ER_DENIED, "authentification (DENIED)", nullptr);
}

// The result files of one directory, in name order.
void read_result_dir(AUTH_SET_CLIENT* cs, const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') names.emplace_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    std::string path = dir + "/" + n;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    GcFrame frame("auth result file");
    ZUISP_ENV* env = auth_file_env();
    if (!env) return;
    bind_agent(env, "__set", get_ptr(cs, nullptr));
    auth_set_reading_client(cs);
    ZU_SEXP* err = auth_run_file(path.c_str(), env);
    auth_set_reading_client(nullptr);
    if (err) auth_print_error(err);
  }
}

ZU_SEXP* zu_auth_transaction(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  EVAL_ORIGIN origin = eval_origin();
  // The link is the one whose relay runs this evaluation: it lives on
  // until the evaluation ends.
  const ZU_INTERPRETER* z = origin.local_eval_link;
  if (!z || z->accepted) return denied(form);
  if (auth_lock_held()) return error_text_at(form, ZU_ER_DENIED, "auth-transaction", "authentification busy");
  ZU_SEXP* list = get_el(form, 3);
  AUTH_CLIENT_LINK link;
  link.peer_local = is_local(z->connect_ip);
  link.for_peer = evaluates_for_peer();
  lock_auth();
  _auth_read_client_results(auth_client_set());
  std::vector<AuthText> sites = _preset_sites(auth_client_set());
  unlock_auth();
  // Names are resolved without the lock: the presets no longer change once
  // read. A question a peer of this agent brought about gets none of them:
  // the server asking may hand the answer back to that peer (a server that
  // evaluates the peer's (Local ...), this agent's own listener included).
  if (!link.for_peer) {
    LinkHost host = link_host(z);
    for (AuthText& site : sites)
      if (site_is_host(n_string(std_cm, site.c_str()), host)) link.sites.push_back(std::move(site));
  }
  lock_auth();
  ZU_SEXP* r = _auth_transaction(auth_client_set(), list, link);
  unlock_auth();
  return r;
}

const QN_PRIM_DEF kRoot[] = {{"auth-transaction", zu_auth_transaction, 1, 4, 4, 0}, {}};

}  // namespace

AuthText auth_service_site(const L_CHAR* name) {
  AuthText n(name ? name : auth_text("").c_str());
  size_t from = n.find(auth_text("://"));
  if (from == AuthText::npos) return {};
  from += 3;
  size_t end = n.find_first_of(auth_text("/:"), from);
  return n.substr(from, end == AuthText::npos ? AuthText::npos : end - from);
}

bool auth_peer_is_local(uint32_t ip, const uint32_t* own, size_t n) {
  if ((ip >> 24) == 127) return true;
  return std::find(own, own + n, ip) != own + n;
}

void _auth_read_client_results(AUTH_SET_CLIENT* cs) {
  assert_lock_held(auth_lock);
  if (cs->enable_client_result) return;
  cs->enable_client_result = 1;
  const std::string sub = "authentification/clientresult";
  std::string pref = std::string(get_preference_path()) + sub;
  std::string peri = std::string(get_peripheral_path()) + sub;
  read_result_dir(cs, pref);
  if (peri != pref) read_result_dir(cs, peri);
}

ZU_SEXP* _auth_transaction(AUTH_SET_CLIENT* cs, ZU_SEXP* service_list, const AUTH_CLIENT_LINK& link) {
  assert_lock_held(auth_lock);
  if (!auth_is_named(service_list, "service-list") || !auth_list_within_bounds(service_list))
    return error_text_at(service_list, ZU_ER_PARAM, "auth-transaction", "invalid service list");
  auth_client_link = &link;
  AUTH_RESULT_LIST* a = answer(cs, service_list);
  auth_client_link = nullptr;
  int type = auth_chain_type(service_list);
  ZU_SEXP* r = result_list_sexp(a, type < 0 ? AUTH_CHAIN_NONE : type);
  free_result_list(a);
  return r;
}

void init_auth_transaction(ZUISP_ENV* env) { bind_prims(env, kRoot); }
