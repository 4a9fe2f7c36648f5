// Document path resolution: registered pairs of document trees and the
// suffix rules that choose among them.
#include "runtime/docpath.h"

#include <fcntl.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/file.h"
#include "base/lock.h"
#include "runtime/agent_name.h"
#include "text/convert.h"

namespace {

using WString = std::basic_string<L_CHAR>;

constexpr int kChains = 100;

// Pairs in descending order of url_base, so that of two prefixes of one
// path the longer comes first; rules in chains by suffix.
SEM docpath_lock = nullptr;
std::once_flag lock_once;
path_pair* pair_list = nullptr;
ZU_GETFILE* rule_table[kChains];

class DocLock {
 public:
  DocLock() {
    std::call_once(lock_once, [] { docpath_lock = new_lock(LOCK_DOCPATH); });
    lock_task(docpath_lock);
  }
  ~DocLock() { unlock_task(docpath_lock, "docpath"); }
  DocLock(const DocLock&) = delete;
  DocLock& operator=(const DocLock&) = delete;
};

L_CHAR* tagged(const WString& s) {
  L_CHAR* r = static_cast<L_CHAR*>(d_alloc((s.size() + 1) * sizeof(L_CHAR)));
  std::copy(s.begin(), s.end(), r);
  r[s.size()] = 0;
  return r;
}

WString from_ascii(const char* s) {
  WString r;
  for (; s && *s; ++s) r.push_back(static_cast<unsigned char>(*s));
  return r;
}

bool starts_with(const L_CHAR* s, const L_CHAR* prefix) {
  for (; *prefix; ++s, ++prefix)
    if (*s != *prefix) return false;
  return true;
}

bool same(const L_CHAR* a, const L_CHAR* b) { return a && b && l_strcmp(a, b) == 0; }

// True when a "/"-separated component of s is "..".
bool has_dotdot_component(const L_CHAR* s) {
  size_t start = 0;
  for (size_t i = 0;; ++i) {
    if (s[i] == '/' || s[i] == 0) {
      if (i - start == 2 && s[start] == '.' && s[start + 1] == '.') return true;
      if (s[i] == 0) return false;
      start = i + 1;
    }
  }
}

bool has_dotdot_component(const char* c) { return c && has_dotdot_component(from_ascii(c).c_str()); }

WString synth(const WString& base, const WString& rest) {
  bool base_slash = !base.empty() && base.back() == '/';
  bool rest_slash = !rest.empty() && rest.front() == '/';
  if (!base_slash && !rest.empty() && !rest_slash && rest.front() != '.') return base + L_CHAR('/') + rest;
  if (base_slash && rest_slash) return base + rest.substr(1);
  return base + rest;
}

int chain_of(const L_CHAR* suffix) {
  uint32_t sum = 0;
  for (; *suffix; ++suffix) sum += *suffix;
  return static_cast<int>(sum % kChains);
}

// The local file of path f in the document (docs) or system tree.
L_CHAR* tree_path(const L_CHAR* f, bool docs) {
  if (!f || has_dotdot_component(f)) return nullptr;
  WString path = f[0] == '/' ? WString(f[1] == '/' ? f + 1 : f) : L_CHAR('/') + WString(f);
  DocLock lock;
  const path_pair* hit = nullptr;
  WString rest = path;
  for (const path_pair* p = pair_list; p; p = p->next)
    if (starts_with(path.c_str(), p->url_base)) {
      hit = p;
      size_t len = l_strlen(p->url_base);
      if (len > 1) rest = path.substr(len - 1);
      break;
    }
  if (!hit) {
    static const L_CHAR kRoot[] = {'/', 0};
    for (const path_pair* p = pair_list; p && !hit; p = p->next)
      if (starts_with(kRoot, p->url_base)) hit = p;
    if (!hit) return nullptr;
  }
  return tagged(synth(docs ? hit->docs_path : hit->sys_path, rest));
}

L_CHAR* url_tree_path(const URL* u, bool docs) {
  L_CHAR* f = get_url_filepath(u);
  L_CHAR* r = tree_path(f, docs);
  d_f_ree(f);
  return r;
}

L_CHAR* append_narrow(L_CHAR* dir, const char* c) {
  if (!dir) return nullptr;
  L_CHAR* r = has_dotdot_component(c) ? nullptr : tagged(synth(dir, from_ascii(c)));
  d_f_ree(dir);
  return r;
}

ZU_SEXP* path_error(ZU_SEXP* s, uint32_t code, const L_CHAR* func, const char* text) {
  return get_error(s ? s->h.file : nullptr, s ? s->h.line : 0, code, func, list(get_string_ascii(text)));
}

bool readable(const L_CHAR* file) {
  if (!file) return false;
  char* narrow = ln_copy_str(std_cm, file);
  int fd = u_open(narrow, O_RDONLY, 0);
  d_f_ree(narrow);
  if (fd < 0) return false;
  u_close(fd);
  return true;
}

}  // namespace

L_CHAR* normalize_doc_path(const L_CHAR* path) {
  if (!path) return nullptr;
  WString in(path);
  size_t cut = in.find_first_of(WString{'?', '#'});
  if (cut != WString::npos) in.resize(cut);
  if (in.find(WString{'.', '.'}) != WString::npos) return nullptr;
  WString out;
  for (size_t at = 0; at <= in.size();) {
    size_t end = in.find('/', at);
    if (end == WString::npos) end = in.size();
    WString part = in.substr(at, end - at);
    if (!part.empty() && part != WString{'.'}) out += L_CHAR('/') + part;
    at = end + 1;
  }
  return tagged(out.empty() ? WString{'/'} : out);
}

L_CHAR* get_synth_path(const L_CHAR* base, const L_CHAR* rest) {
  return tagged(synth(base ? base : WString(), rest ? rest : WString()));
}

int Reg_List_pathpair(const L_CHAR* path, const L_CHAR* url) {
  if (!path || !url) return 0;
  auto* n = static_cast<path_pair*>(d_calloc(sizeof(path_pair), 1));
  n->docs_path = tagged(synth(path, from_ascii("zudocs/")));
  n->sys_path = tagged(synth(path, from_ascii("zusys/")));
  n->url_base = ll_copy_str(url);
  DocLock lock;
  path_pair** p = &pair_list;
  for (; *p; p = &(*p)->next) {
    int c = l_strcmp((*p)->url_base, url);
    if (c == 0) {  // registered before: the first directory stays
      d_f_ree(n->docs_path);
      d_f_ree(n->sys_path);
      d_f_ree(n->url_base);
      d_f_ree(n);
      return 0;
    }
    if (c < 0) break;
  }
  n->next = *p;
  *p = n;
  return 0;
}

ZU_SEXP* get_pathpair(const L_CHAR* path) {
  if (!path) return nullptr;
  WString dir(path);
  if (dir.empty() || dir.back() != '/') dir.push_back('/');
  WString docs, sys, url;
  {
    DocLock lock;
    const path_pair* p = pair_list;
    while (p && !starts_with(dir.c_str(), p->docs_path)) p = p->next;
    if (!p) return nullptr;
    docs = p->docs_path;
    sys = p->sys_path;
    url = p->url_base;
  }
  return List(get_string(docs.c_str()), get_string(sys.c_str()), get_string(url.c_str()), ZU_LIST_END);
}

L_CHAR* get_zudocs(const L_CHAR* f) { return tree_path(f, true); }
L_CHAR* get_zusys(const L_CHAR* f) { return tree_path(f, false); }
L_CHAR* get_zudocs_path(const URL* u) { return url_tree_path(u, true); }
L_CHAR* get_zusys_path(const URL* u) { return url_tree_path(u, false); }
L_CHAR* get_zudocs_apppath(const URL* u, const char* c) { return append_narrow(url_tree_path(u, true), c); }
L_CHAR* get_zusys_apppath(const URL* u, const char* c) { return append_narrow(url_tree_path(u, false), c); }

L_CHAR* get_sys_path(const char* c) {
  static const L_CHAR kRoot[] = {'/', 0};
  L_CHAR* dir = nullptr;
  {
    DocLock lock;
    for (const path_pair* p = pair_list; p && !dir; p = p->next)
      if (starts_with(kRoot, p->url_base)) dir = ll_copy_str(p->sys_path);
  }
  return append_narrow(dir, c);
}

L_CHAR* get_append_path(const L_CHAR* dir, const char* c) { return append_narrow(ll_copy_str(dir), c); }

L_CHAR* get_url_path(const L_CHAR* fullpath, const L_CHAR* userpath) {
  if (fullpath) {
    DocLock lock;
    for (int pass = 0; pass < 2; ++pass)
      for (const path_pair* p = pair_list; p; p = p->next) {
        const L_CHAR* tree = pass == 0 ? p->docs_path : p->sys_path;
        if (starts_with(fullpath, tree))
          return tagged(synth(p->url_base, fullpath + l_strlen(tree)));
      }
  }
  return ll_copy_str(userpath);
}

L_CHAR* get_url_path_resolved(const char* real) {
  struct Tree {
    std::string dir;
    WString url;
  };
  std::vector<Tree> trees;
  {
    DocLock lock;
    for (int pass = 0; pass < 2; ++pass)
      for (const path_pair* p = pair_list; p; p = p->next)
        trees.push_back({n_string(std_cm, pass == 0 ? p->docs_path : p->sys_path), p->url_base});
  }
  const std::string file = real ? real : "";
  // Resolved without the lock: the file system may be slow.
  for (const Tree& t : trees) {
    char* r = realpath(t.dir.c_str(), nullptr);
    if (!r) continue;
    std::string dir = r;
    free(r);
    if (dir.back() != '/') dir += '/';
    if (file + '/' != dir && file.compare(0, dir.size(), dir) != 0) continue;
    L_CHAR* rest = nl_copy_str(std_cm, file.size() > dir.size() ? file.c_str() + dir.size() : "");
    WString url = synth(t.url, rest ? rest : WString());
    d_f_ree(rest);
    return tagged(url);
  }
  return nullptr;
}

ZU_SEXP* get_path(L_CHAR* target[2], ZU_GETFILE** gf, const L_CHAR* fname, ZU_SEXP* s,
                  const L_CHAR* func_name) {
  target[0] = target[1] = nullptr;
  *gf = nullptr;
  Tagged<L_CHAR> agent(copy_agent_name());
  if (!agent) return path_error(s, ZU_ER_NOT_INITIALIZED, func_name, "dbpath and agent name is undefined");
  Tagged<L_CHAR> norm(fname && fname[0] == '/' ? normalize_doc_path(fname) : nullptr);
  const L_CHAR* last = nullptr;
  for (const L_CHAR* p = norm.get(); p && *p; ++p)
    if (*p == '.' || *p == '/') last = p;
  if (!last || *last != '.') return path_error(s, ZU_ER_PARAM, func_name, "invalid file path");
  ZU_GETFILE* rule = search_getfile(last, agent.get(), func_name);
  if (!rule) return path_error(s, ZU_ER_UNDEFINED, func_name, "undefined prefix");
  *gf = rule;
  int order;
  {
    DocLock lock;
    order = rule->flags & GF_ORDER;
  }
  bool docs_first = order == GF_DOCS || order == GF_DOCS_SYS;
  target[0] = tree_path(norm.get(), docs_first);
  if (order == GF_SYS_DOCS || order == GF_DOCS_SYS) target[1] = tree_path(norm.get(), !docs_first);
  return nullptr;
}

bool getfile_mode_is(const ZU_GETFILE* gf, const char* word) {
  if (!gf || !word) return false;
  DocLock lock;
  return gf->mode && l_strcmp(gf->mode, from_ascii(word).c_str()) == 0;
}

int path_check(const L_CHAR* f) {
  L_CHAR* docs = get_zudocs(f);
  L_CHAR* sys = get_zusys(f);
  int r = (readable(docs) ? 1 : 0) | (readable(sys) ? 2 : 0);
  d_f_ree(docs);
  d_f_ree(sys);
  return r;
}

void _insert_getfile(const L_CHAR* suffix, const L_CHAR* agent, const L_CHAR* mode, int flags,
                     const L_CHAR* cmd) {
  if (!suffix || !agent || !cmd) return;
  DocLock lock;
  int chain = chain_of(suffix);
  for (ZU_GETFILE* g = rule_table[chain]; g; g = g->next)
    if (same(g->prefix, suffix) && same(g->agent, agent) && same(g->cmd_sym, cmd)) {
      L_CHAR* old = g->mode;
      g->mode = ll_copy_str(mode);
      d_f_ree(old);
      g->flags = flags;
      return;
    }
  auto* g = static_cast<ZU_GETFILE*>(d_calloc(sizeof(ZU_GETFILE), 1));
  g->flags = flags;
  g->prefix = ll_copy_str(suffix);
  g->agent = ll_copy_str(agent);
  g->mode = ll_copy_str(mode);
  g->cmd_sym = ll_copy_str(cmd);
  g->next = rule_table[chain];
  rule_table[chain] = g;
}

ZU_SEXP* insert_getfile(const L_CHAR* suffix, const L_CHAR* agent, const L_CHAR* mode, int flags,
                        ZU_SEXP* cmds) {
  for (ZU_SEXP* p = cmds; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* c = p->pair.car;
    if (get_type(c) != ZU_TYPE_STRING)
      return get_error_ascii(c ? c->h.file : nullptr, c ? c->h.line : 0, ZU_ER_TYPE, "insert_getfile",
                             list(c));
    _insert_getfile(suffix, agent, mode, flags, str_text(c));
  }
  return nullptr;
}

ZU_GETFILE* search_getfile(const L_CHAR* prefix, const L_CHAR* agent, const L_CHAR* fname) {
  if (!prefix || !agent) return nullptr;
  DocLock lock;
  for (ZU_GETFILE* g = rule_table[chain_of(prefix)]; g; g = g->next)
    if (same(g->prefix, prefix) && same(g->agent, agent) && (!fname || same(g->cmd_sym, fname))) return g;
  return nullptr;
}

ZU_GETFILE* search_getfile_by_prefix(const L_CHAR* prefix, ZU_GETFILE* gfin) {
  if (!prefix) return nullptr;
  DocLock lock;
  for (ZU_GETFILE* g = gfin ? gfin : rule_table[chain_of(prefix)]; g; g = g->next)
    if (same(g->prefix, prefix)) return g;
  return nullptr;
}
