#include "stream/url.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/tempbuf.h"

namespace {

using WStr = std::basic_string<L_CHAR>;

std::atomic<void (*)(void*)> gc_marker{nullptr};

L_CHAR* dup(const WStr& s, const char* file, int line) {
  auto* p = static_cast<L_CHAR*>(xx_d_alloc((s.size() + 1) * sizeof(L_CHAR), file, line));
  std::memcpy(p, s.data(), s.size() * sizeof(L_CHAR));
  p[s.size()] = 0;
  return p;
}

L_CHAR* dup_or_null(const WStr& s, const char* file, int line) {
  return s.empty() ? nullptr : dup(s, file, line);
}

L_CHAR* dup_field(const L_CHAR* s) {
  if (!s) return nullptr;
  return dup(WStr(s), __FILE__, __LINE__);
}

void append_ascii(WStr& w, const char* s) {
  while (*s) w += static_cast<unsigned char>(*s++);
}

// Splits a path into db (through its last "/") and resource.
void split_path(const WStr& path, WStr& db, WStr& res) {
  size_t slash = path.rfind('/');
  if (slash == WStr::npos) {
    res = path;
    return;
  }
  db = path.substr(0, slash + 1);
  res = path.substr(slash + 1);
}

}  // namespace

bool eq_ascii_nocase(const L_CHAR* w, const char* a) {
  for (; *w && *a; ++w, ++a) {
    L_CHAR c = *w;
    if (c >= 'A' && c <= 'Z') c += 32;
    if (c != static_cast<unsigned char>(*a)) return false;
  }
  return !*w && !*a;
}

bool url_has_refused_char(const L_CHAR* text) {
  // A URL's text goes into request lines and headers, where a line break
  // would let it add lines of its own.
  for (; text && *text; ++text)
    if (*text <= ' ' || (*text >= 0x7f && *text <= 0x9f)) return true;
  return false;
}

int url_well_known_port(const L_CHAR* proto) {
  if (!proto) return 0;
  static const struct {
    const char* name;
    int port;
  } known[] = {{"http", 80}, {"https", 443}, {"ftp", 21}, {"zup", 9090}};
  for (const auto& k : known)
    if (eq_ascii_nocase(proto, k.name)) return k.port;
  return 0;
}

void zero_url(URL* u) {
  if (u) std::memset(u, 0, sizeof *u);
}

void free_url(URL* u) {
  if (!u) return;
  for (L_CHAR* p : {u->proto, u->server, u->agent, u->db, u->resource, u->query, u->name, u->user,
                    u->passwd})
    d_f_ree(p);
  zero_url(u);
}

void copy_url(URL* to, const URL* from) {
  if (!to) return;
  if (!from) {
    zero_url(to);
    return;
  }
  URL c;
  c.proto = dup_field(from->proto);
  c.server = dup_field(from->server);
  c.port = from->port;
  c.agent = dup_field(from->agent);
  c.db = dup_field(from->db);
  c.resource = dup_field(from->resource);
  c.query = dup_field(from->query);
  c.name = dup_field(from->name);
  c.user = dup_field(from->user);
  c.passwd = dup_field(from->passwd);
  *to = c;
}

int xx_get_url2(URL* u, const L_CHAR* text, const char* file, int line) {
  if (!u) return -1;
  zero_url(u);
  if (!text || url_has_refused_char(text)) return -1;
  WStr t(text);
  WStr proto, user, passwd, server, agent, db, res, query, name;
  int port = 0;
  bool has_port = false;

  // Fragment and query come off the end first.
  size_t hash = t.find('#');
  if (hash != WStr::npos) {
    name = t.substr(hash + 1);
    t.resize(hash);
  }
  size_t qm = t.find('?');
  if (qm != WStr::npos) {
    query = t.substr(qm + 1);
    t.resize(qm);
  }

  WStr path;
  size_t sep = t.find(WStr{':', '/', '/'});
  if (sep != WStr::npos) {
    proto = t.substr(0, sep);
    if (proto.empty()) return -1;
    for (L_CHAR c : proto)
      if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
            c == '-' || c == '.'))
        return -1;
    WStr rest = t.substr(sep + 3);
    size_t slash = rest.find('/');
    WStr auth = rest.substr(0, slash);
    path = slash == WStr::npos ? WStr() : rest.substr(slash);
    size_t at = auth.rfind('@');
    if (at != WStr::npos) {
      WStr cred = auth.substr(0, at);
      auth = auth.substr(at + 1);
      size_t colon = cred.find(':');
      user = cred.substr(0, colon);
      if (colon != WStr::npos) passwd = cred.substr(colon + 1);
    }
    size_t colon = auth.rfind(':');
    if (colon != WStr::npos) {
      WStr digits = auth.substr(colon + 1);
      auth.resize(colon);
      if (digits.empty() || digits.size() > 5) return -1;
      for (L_CHAR c : digits) {
        if (c < '0' || c > '9') return -1;
        port = port * 10 + static_cast<int>(c - '0');
      }
      // Port 0 would read back as the protocol's own port.
      if (port == 0 || port > 65535) return -1;
      has_port = true;
    }
    server = auth;
    if (server.empty()) return -1;
    for (L_CHAR c : server)
      if (c == '/' || c == '@') return -1;
    // "/@agent" opens the path.
    if (path.size() >= 2 && path[1] == '@') {
      size_t end = path.find('/', 2);
      agent = path.substr(2, end == WStr::npos ? WStr::npos : end - 2);
      path = end == WStr::npos ? WStr() : path.substr(end);
    }
  } else {
    path = t;
  }
  split_path(path, db, res);

  u->proto = dup_or_null(proto, file, line);
  u->user = dup_or_null(user, file, line);
  u->passwd = dup_or_null(passwd, file, line);
  u->server = dup_or_null(server, file, line);
  u->port = has_port ? port : url_well_known_port(u->proto);
  u->agent = dup_or_null(agent, file, line);
  u->db = dup_or_null(db, file, line);
  u->resource = dup_or_null(res, file, line);
  u->query = dup_or_null(query, file, line);
  u->name = dup_or_null(name, file, line);
  return 0;
}

namespace {

void append_path(WStr& w, const URL* u) {
  if (u->db) {
    if (u->db[0] != '/') w += '/';
    w += u->db;
  } else if (u->resource) {
    w += '/';
  }
  if (u->resource) {
    if (u->db && !w.empty() && w.back() != '/') w += '/';
    w += u->resource;
  }
  if (u->query) {
    w += '?';
    w += u->query;
  }
  if (u->name) {
    w += '#';
    w += u->name;
  }
}

}  // namespace

namespace {

bool has(const L_CHAR* s, L_CHAR c) {
  for (; s && *s; ++s)
    if (*s == c) return true;
  return false;
}

// Whether the server and port can be written so that they read back: the
// port is left out only when it is 0, and then the protocol must have no
// port of its own and the server no ":" that would read as a port's start.
bool writable_authority(const URL* u) {
  if (!u->server || !u->server[0] || u->port < 0 || u->port > 65535) return false;
  return u->port != 0 || (url_well_known_port(u->proto) == 0 && !has(u->server, ':'));
}

}  // namespace

L_CHAR* get_url_str2(const URL* u) {
  if (!u || !u->proto || !writable_authority(u)) return nullptr;
  WStr w(u->proto);
  append_ascii(w, "://");
  w += u->server;
  if (u->port) {
    char b[16];
    std::snprintf(b, sizeof b, ":%d", u->port);
    append_ascii(w, b);
  }
  WStr path;
  append_path(path, u);
  if (u->agent) {
    append_ascii(w, "/@");
    w += u->agent;
  } else if (path.size() >= 2 && path[0] == '/' && path[1] == '@') {
    // A path that itself begins with "/@" follows an empty agent, or it
    // would read back as one.
    append_ascii(w, "/@");
  }
  w += path;
  L_CHAR* r = dup(w, __FILE__, __LINE__);
  set_buffer(r);
  return r;
}

L_CHAR* get_url_filepath(const URL* u) {
  if (!u) return nullptr;
  WStr w;
  append_path(w, u);
  if (w.empty() || w[0] != '/') w.insert(w.begin(), '/');
  return dup(w, __FILE__, __LINE__);
}

void set_gcv_url_marker(void (*mark)(void* p)) { gc_marker.store(mark); }

void gcv_url(URL* u) {
  auto mark = gc_marker.load();
  if (!u || !mark) return;
  for (L_CHAR* p : {u->proto, u->server, u->agent, u->db, u->resource, u->query, u->name, u->user,
                    u->passwd})
    if (p) mark(p);
}

L_CHAR* xx_get_server_key(const URL* u, const char* prefix, const char* file, int line) {
  WStr w;
  if (!u) {
    w += '-';
    return dup(w, file, line);
  }
  if (prefix) append_ascii(w, prefix);
  if (u->proto) w += u->proto;
  append_ascii(w, "://");
  if (u->server) w += u->server;
  char b[16];
  std::snprintf(b, sizeof b, ":%d", u->port);
  append_ascii(w, b);
  append_ascii(w, "/@");
  if (u->agent) w += u->agent;
  return dup(w, file, line);
}

L_CHAR* compose_path(const L_CHAR* base, const L_CHAR* rel) {
  if (!rel) return nullptr;
  if (rel[0] == '/') return dup(WStr(rel), __FILE__, __LINE__);
  // Segments of the base's directory.
  std::vector<WStr> segs;
  WStr b = base ? WStr(base) : WStr();
  bool absolute = !b.empty() && b[0] == '/';
  size_t last = b.rfind('/');
  b = last == WStr::npos ? WStr() : b.substr(0, last);
  for (size_t i = 0; i <= b.size();) {
    size_t j = b.find('/', i);
    if (j == WStr::npos) j = b.size();
    if (j > i) segs.push_back(b.substr(i, j - i));
    i = j + 1;
  }
  WStr r(rel);
  bool trailing = !r.empty() && r.back() == '/';
  size_t i = 0;
  std::vector<WStr> tail;
  while (i <= r.size()) {
    size_t j = r.find('/', i);
    if (j == WStr::npos) j = r.size();
    WStr seg = r.substr(i, j - i);
    i = j + 1;
    if (seg.empty() || seg == WStr{'.'}) continue;
    if (seg == WStr{'.', '.'}) {
      if (segs.empty()) return nullptr;  // above the root
      segs.pop_back();
      continue;
    }
    segs.push_back(seg);
  }
  (void)tail;
  WStr out;
  for (size_t k = 0; k < segs.size(); ++k) {
    if (k > 0 || absolute) out += '/';
    out += segs[k];
  }
  if ((trailing || r.empty() || (r.size() >= 2 && r.substr(r.size() - 2) == WStr{'.', '.'}) ||
       (!r.empty() && r.back() == '.')) &&
      (out.empty() || out.back() != '/'))
    out += '/';
  return dup(out, __FILE__, __LINE__);
}
