// The local host as scripts see it (GetLocalHostName, GetLocalHostIP,
// SetLocalHostName) and the proxy setting of outgoing links (GetProxy,
// SetProxy).
#include <cstdlib>
#include <string>
#include <vector>

#include "netsvc/net_impl.h"
#include "netsvc/proxy.h"
#include "netsvc/session.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/site.h"

namespace {

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;

ZU_SEXP* zu_GetLocalHostName(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return get_string(get_zulisp_site());
}

ZU_SEXP* zu_GetLocalHostIP(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  HOST_ADDR a;
  get_zulisp_site_ip(&a);
  int64_t ip = static_cast<int64_t>(a.addr[0]) << 24 | a.addr[1] << 16 | a.addr[2] << 8 | a.addr[3];
  return get_integer(ip, nullptr);
}

ZU_SEXP* zu_SetLocalHostName(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* name = get_el(form, 1);
  if (!is_string(name)) return error_text_at(form, ZU_ER_TYPE, "SetLocalHostName", "type missmatch");
  if (set_zulisp_site(n_string(std_cm, str_text(name))) < 0)
    return error_text_at(form, ZU_ER_PARAM, "SetLocalHostName", "cannot set");
  return nullptr;
}

ZU_SEXP* zu_GetProxy(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) { return get_proxyinfo(); }

// The names of a server list: separated by any run of blanks, tabs, line
// ends and commas.
std::vector<std::string> server_names(const L_CHAR* text) {
  std::vector<std::string> names;
  std::string all = n_string(std_cm, text);
  size_t at = 0;
  while ((at = all.find_first_not_of(" \t\r\n,", at)) != std::string::npos) {
    size_t end = all.find_first_of(" \t\r\n,", at);
    names.push_back(all.substr(at, end - at));
    at = end;
  }
  return names;
}

constexpr struct {
  const char* word;
  int type;
} kProxyTypes[] = {{"NoProxy", PROXY_NONE}, {"ZUoHTTP", PROXY_ZUOHTTP}, {"HTTPProxy", PROXY_HTTP}};

ZU_SEXP* proxy_error(ZU_SEXP* form, const char* text) { return error_text_at(form, ZU_ER_PARAM, "SetProxy", text); }

// Every check comes before anything is stored: a refused call changes
// nothing.
ZU_SEXP* zu_SetProxy(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  const L_CHAR* type_text = head_option(sf, "type");
  int type = 0;
  for (const auto& t : kProxyTypes)
    if (type_text && zu_wcmp_ascii(type_text, t.word) == 0) type = t.type;
  // NativeProxy belongs to sessions: links cannot use it.
  if (!type) return proxy_error(form, "invalid proxy type");
  if (const L_CHAR* direct = head_option(sf, "direct")) {
    if (type == PROXY_HTTP)
      return error_at(form, ZU_ER_PARAM, "SetProxy", data_list("invalid proxy type", get_string(type_text)));
    std::vector<std::string> names = server_names(direct);
    if (names.empty()) return proxy_error(form, "invalid direct parameter");
    for (const std::string& n : names) set_direct_access(type, n.c_str());
    return nullptr;
  }
  std::string server;
  int port = 80;
  if (const L_CHAR* s = head_option(sf, "server")) {
    std::vector<std::string> names = server_names(s);
    if (names.empty()) return proxy_error(form, "proxy server is required");
    const L_CHAR* p = head_option(sf, "port");
    long v = p ? std::strtol(n_string(std_cm, p), nullptr, 10) : 0;
    if (v < 1 || v > 65535) return proxy_error(form, "proxy server port is required");
    server = names.front();
    port = static_cast<int>(v);
  } else if (type == PROXY_HTTP) {
    return proxy_error(form, "proxy server is required");
  }
  if (const L_CHAR* k = head_option(sf, "keep-alive")) set_proxy_keep_alive(zu_wcmp_ascii(k, "off") != 0);
  set_proxy(type, server.empty() ? nullptr : server.c_str(), port);
  return nullptr;
}

ZU_SEXP* zu_GetNativeProxy(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return get_native_proxyinfo();
}

ZU_SEXP* native_error(ZU_SEXP* form, ZU_SEXP* data) { return error_at(form, ZU_ER_PARAM, "SetNativeProxy", data); }

// Sessions go through another agent (NativeProxy, or NoProxy to stop), or
// a list of hosts is reached without it (direct with NoProxy or ZUoHTTP).
ZU_SEXP* zu_SetNativeProxy(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  const L_CHAR* type_text = head_option(sf, "type");
  constexpr int kNative = 8;
  int type = type_text && zu_wcmp_ascii(type_text, "NativeProxy") == 0 ? kNative : 0;
  for (const auto& t : kProxyTypes)
    if (type_text && zu_wcmp_ascii(type_text, t.word) == 0) type = t.type;
  if (!type) return native_error(form, data_list("invalid proxy type"));
  const L_CHAR* direct = head_option(sf, "direct");
  if (direct && (type == PROXY_NONE || type == PROXY_ZUOHTTP)) {
    std::vector<std::string> names = server_names(direct);
    if (names.empty()) return native_error(form, data_list("invalid direct parameter"));
    for (const std::string& n : names) set_native_proxy_direct_access(n.c_str());
    return nullptr;
  }
  if (direct || (type != PROXY_NONE && type != kNative))
    return native_error(form, data_list("invalid proxy type", get_string(type_text)));
  URL u{};
  if (const L_CHAR* s = head_option(sf, "server")) {
    std::vector<std::string> names = server_names(s);
    if (names.empty()) return native_error(form, data_list("proxy server is required"));
    const L_CHAR* p = head_option(sf, "port");
    long v = p ? std::strtol(n_string(std_cm, p), nullptr, 10) : 0;
    if (v < 1 || v > 65535) return native_error(form, data_list("proxy server port is required"));
    u.proto = nl_copy_str(std_cm, "zup");
    u.server = nl_copy_str(std_cm, names.front().c_str());
    u.port = static_cast<int>(v);
    u.db = nl_copy_str(std_cm, "/");
  }
  set_native_proxy(&u);
  free_url(&u);
  return nullptr;
}

const QN_PRIM_DEF kGetLocalHostName[] = {{"GetLocalHostName", zu_GetLocalHostName, 1, 1, 1, T}, {}};
const QN_PRIM_DEF kGetLocalHostIP[] = {{"GetLocalHostIP", zu_GetLocalHostIP, 1, 1, 1, T}, {}};
const QN_PRIM_DEF kSetLocalHostName[] = {{"SetLocalHostName", zu_SetLocalHostName, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kGetProxy[] = {{"GetProxy", zu_GetProxy, 1, 1, 1, T}, {}};
const QN_PRIM_DEF kSetProxy[] = {{"SetProxy", zu_SetProxy, 1, 1, 1, T}, {}};
const QN_PRIM_DEF kGetNativeProxy[] = {{"GetNativeProxy", zu_GetNativeProxy, 1, 1, 1, T}, {}};
const QN_PRIM_DEF kSetNativeProxy[] = {{"SetNativeProxy", zu_SetNativeProxy, 1, 1, 1, T}, {}};

}  // namespace

void init_GetLocalHostName(ZUISP_ENV* env) { bind_prims(env, kGetLocalHostName); }
void init_GetLocalHostIP(ZUISP_ENV* env) { bind_prims(env, kGetLocalHostIP); }
void init_SetLocalHostName(ZUISP_ENV* env) { bind_prims(env, kSetLocalHostName); }
void init_GetProxy(ZUISP_ENV* env) { bind_prims(env, kGetProxy); }
void init_SetProxy(ZUISP_ENV* env) { bind_prims(env, kSetProxy); }
void init_GetNativeProxy(ZUISP_ENV* env) { bind_prims(env, kGetNativeProxy); }
void init_SetNativeProxy(ZUISP_ENV* env) { bind_prims(env, kSetNativeProxy); }
