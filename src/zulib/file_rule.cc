// The rule engine: Rule selects the files and directories below the working
// directory that its Ignore and Accept patterns let through and runs its
// body for them; inside the body Target, Exist and NotExist test the file
// system the way a build tool does and skip the match when there is nothing
// to do.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "base/dir.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/eval.h"
#include "zulib/files.h"
#include "zulib/files_impl.h"
#include "zulib/library.h"

namespace {

constexpr int kDirElement = 1;
constexpr int kFileElement = 2;
constexpr int kAnyBelow = 3;  // a trailing "**": one or more components of any kind

// One component of a pattern.
struct PATH_ELEMENT {
  int type;  // kDirElement, kFileElement or kAnyBelow
  bool spans;  // a "**" directory element: one or more directories
  StarPattern name;
};

constexpr int kIgnore = 1;
constexpr int kAccept = 2;

struct PATH_PATTERN {
  int type;  // kIgnore or kAccept
  std::vector<PATH_ELEMENT> path;
};

// Splits a pattern at "/": every segment followed by "/" is a directory
// element (an empty first one, the root, is named "$"), the last one a file
// element unless it is "**" or empty.
std::vector<PATH_ELEMENT> parse_pattern(const std::string& text) {
  std::vector<PATH_ELEMENT> r;
  size_t pos = 0;
  for (;;) {
    size_t slash = text.find('/', pos);
    std::string_view seg(text.data() + pos, (slash == std::string::npos ? text.size() : slash) - pos);
    if (slash == std::string::npos) {
      if (seg == "**") r.push_back({kAnyBelow, false, StarPattern()});
      else if (!seg.empty()) r.push_back({kFileElement, false, StarPattern(seg, true)});
      return r;
    }
    if (pos == 0 && seg.empty()) seg = "$";
    r.push_back({kDirElement, seg == "**", StarPattern(seg, true)});
    pos = slash + 1;
  }
}

// A candidate: a directory or regular file below the working directory,
// known by its parent chain.
struct Node {
  const Node* parent;
  int kind;   // kDirElement or kFileElement
  bool link;  // reached through a symbolic link: never read
  std::string name;
  std::string path;  // the names joined with "/"
};

// Whether the candidate's components p match q, in full (both used up) or
// in prefix mode (p used up first). A "**" element spans one or more
// components; every split is considered, by walking the set of positions
// in p that the elements so far can reach.
bool path_matches(const std::vector<PATH_ELEMENT>& q, const std::vector<const Node*>& p, bool prefix) {
  const size_t n = p.size();
  thread_local std::vector<char> cur, next;
  cur.assign(n + 1, 0);
  cur[0] = 1;
  for (const PATH_ELEMENT& e : q) {
    if (prefix && cur[n]) return true;
    next.assign(n + 1, 0);
    bool any = false;
    for (size_t j = 0; j < n; ++j) {
      if (!cur[j]) continue;
      if (e.type == kAnyBelow) {
        for (size_t k = j + 1; k <= n; ++k) next[k] = 1;
        any = true;
      } else if (e.spans) {
        for (size_t k = j; k < n && p[k]->kind == kDirElement; ++k) next[k + 1] = any = 1;
      } else if (p[j]->kind == e.type && e.name.matches(p[j]->name)) {
        next[j + 1] = any = 1;
      }
    }
    if (!any) return false;
    cur.swap(next);
  }
  return cur[n];
}

// The first pattern that matches in the mode decides; none rejects.
bool selected(const std::vector<PATH_PATTERN>& patterns, const Node* node, bool prefix) {
  thread_local std::vector<const Node*> comps;
  comps.clear();
  for (const Node* n = node; n; n = n->parent) comps.push_back(n);
  for (size_t i = 0, j = comps.size(); i < j / 2; ++i) std::swap(comps[i], comps[j - 1 - i]);
  for (const PATH_PATTERN& q : patterns)
    if (path_matches(q.path, comps, prefix)) return q.type == kAccept;
  return false;
}

// Breadth first from the working directory: a directory is read when the
// patterns may select something below it (prefix mode), a candidate is a
// match when they select it whole. Names beginning with "." are passed over.
std::vector<const Node*> search(const std::vector<PATH_PATTERN>& patterns, std::deque<Node>* nodes) {
  std::vector<const Node*> matches;
  std::vector<const Node*> current{nullptr}, next;  // null: the working directory itself
  while (!current.empty()) {
    next.clear();
    for (const Node* at : current) {
      if (at && selected(patterns, at, false)) matches.push_back(at);
      if (at && (at->kind != kDirElement || at->link)) continue;
      DIR* d = opendir(at ? at->path.c_str() : ".");
      if (!d) {
        ss_printf("cannot open the dir \"%s\"\n", at ? at->path.c_str() : ".");
        continue;
      }
      while (const dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string path = at ? at->path + "/" + e->d_name : std::string(e->d_name);
        int kind = e->d_type == DT_DIR ? kDirElement : e->d_type == DT_REG ? kFileElement : 0;
        bool link = e->d_type == DT_LNK;
        if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
          struct stat st;
          if (e->d_type == DT_UNKNOWN && fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            link = S_ISLNK(st.st_mode);
          if (fstatat(dirfd(d), e->d_name, &st, 0) != 0) {
            ss_printf("\"%s\" %s\n", path.c_str(), std::strerror(errno));
            continue;
          }
          kind = S_ISDIR(st.st_mode) ? kDirElement : S_ISREG(st.st_mode) ? kFileElement : 0;
        }
        if (!kind) continue;
        nodes->push_back({at, kind, link, e->d_name, std::move(path)});
        if (selected(patterns, &nodes->back(), true)) next.push_back(&nodes->back());
        else nodes->pop_back();
      }
      closedir(d);
    }
    current.swap(next);
  }
  return matches;
}

bool is_skip(ZU_SEXP* v) { return get_type(v) == ZU_TYPE_ERROR && v->error->code == ZU_ER_BREAK; }

ZU_SEXP* clause_error(ZU_SEXP* form, uint32_t code, const char* text) {
  return error_text_at(form, code, "Rule/Accept", text);
}

ZU_SEXP* zu_Rule(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* keywords, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  bool all_for_one = false;
  for (ZU_SYM_FIELD* f = sf; f; f = f->next) {
    if (!f->name || zu_wcmp_ascii(f->name, "target") != 0) continue;
    if (option_is(f->value, "1by1")) all_for_one = false;
    else if (option_is(f->value, "allfor1")) all_for_one = true;
  }
  std::vector<PATH_PATTERN> patterns;
  ZU_SEXP* body = form->pair.cdr;
  for (; get_type(body) == ZU_TYPE_LIST; body = body->pair.cdr) {
    ZU_SEXP* el = body->pair.car;
    int type = get_type(el);
    if (type == ZU_TYPE_ERROR) return el;
    if (type != ZU_TYPE_LIST) break;
    ZU_SEXP* head = el->pair.car;
    if (get_type(head) == ZU_TYPE_ERROR) return head;
    if (get_type(head) != ZU_TYPE_SYMBOL) break;
    const L_CHAR* name = sym_name(head);
    int kind = zu_wcmp_ascii(name, "Ignore") == 0 ? kIgnore : zu_wcmp_ascii(name, "Accept") == 0 ? kAccept : 0;
    if (!kind) break;
    if (list_length(el) != 2) return clause_error(form, ZU_ER_LENGTH, "invalid param length");
    ZU_SEXP* v = eval(env, get_el(el, 1));
    if (get_type(v) == ZU_TYPE_ERROR) return v;
    if (get_type(v) != ZU_TYPE_STRING) return clause_error(form, ZU_ER_TYPE, "type missmatch");
    patterns.push_back({kind, parse_pattern(narrow_text(v))});
  }
  std::deque<Node> nodes;
  std::vector<const Node*> matches = patterns.empty() ? std::vector<const Node*>{} : search(patterns, &nodes);
  // The body sees the keywords first, then the caller; "from" is bound in a
  // fresh environment in front, and definitions land in the caller.
  ZUISP_ENV* pair = new_env_pair(keywords, env);
  // The symbol, pinned here, keeps its atom through the collections below.
  ZU_ATOM* from = get_symbol_ascii("from")->symbol.atom;
  if (all_for_one) {
    ZU_SEXP* names = nullptr;
    for (auto it = matches.rbegin(); it != matches.rend(); ++it) names = cons(narrow_string((*it)->path), names);
    ZUISP_ENV* own = new_env(nullptr);
    bind_private_env(own, from, names);
    ZUISP_ENV* child = new_env_pair(own, pair);
    ZU_SEXP* last = nullptr;
    for (ZU_SEXP* b = body; get_type(b) == ZU_TYPE_LIST; b = b->pair.cdr) {
      if (get_type(b->pair.car) == ZU_TYPE_ERROR) return b->pair.car;
      last = eval(child, b->pair.car);
      if (is_skip(last)) return nullptr;
      if (get_type(last) == ZU_TYPE_ERROR) return last;
    }
    return last;
  }
  for (const Node* m : matches) {
    // Each match's environment and values are dropped from the frame when
    // it is done; what the body keeps it has bound elsewhere.
    size_t mark = gc_root_mark();
    if (ZU_SEXP* stop = do_break_check(form)) return stop;
    ZUISP_ENV* own = new_env(nullptr);
    bind_private_env(own, from, narrow_string(m->path));
    ZUISP_ENV* child = new_env_pair(own, pair);
    for (ZU_SEXP* b = body; get_type(b) == ZU_TYPE_LIST; b = b->pair.cdr) {
      if (get_type(b->pair.car) == ZU_TYPE_ERROR) return b->pair.car;
      ZU_SEXP* v = eval(child, b->pair.car);
      if (is_skip(v)) break;
      if (get_type(v) == ZU_TYPE_ERROR) return v;
    }
    gc_root_release(mark, nullptr, nullptr);
  }
  return nullptr;
}

// The skip signal of a keyword: the break code, no data.
ZU_SEXP* skip(ZU_SEXP* form, const char* func) { return error_text_at(form, ZU_ER_BREAK, func, nullptr); }

// Makes every directory of the target's path that is missing, in order,
// giving exactly `mode` to the ones made here; existing ones keep theirs.
void make_dirs(const std::string& target, int mode) {
  for (size_t slash = target.find('/', 1); slash != std::string::npos; slash = target.find('/', slash + 1)) {
    std::string dir = target.substr(0, slash);
    if (dir.empty() || dir.back() == '/') continue;
    struct stat st;
    if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    // u_mkdir takes no one-character path; "./" keeps the meaning.
    std::string arg = dir.size() < 2 ? "./" + dir : dir;
    if (u_mkdir(arg.c_str(), mode) == 0) continue;
    if (errno == EEXIST && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    if (errno == EEXIST) errno = ENOTDIR;
    ss_printf(">> %s\nbuf: %s\n", dir.c_str(), std::strerror(errno));
    return;
  }
}

ZU_SEXP* zu_Target(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  int mode = 493;
  bool make = false;
  for (ZU_SYM_FIELD* f = sf; f; f = f->next) {
    if (!f->name) continue;
    if (zu_wcmp_ascii(f->name, "mode") == 0) mode = static_cast<int>(std::strtol(n_string(std_cm, f->value), nullptr, 0));
    else if (zu_wcmp_ascii(f->name, "dir") == 0) make = option_is(f->value, "make");
  }
  ZU_SEXP* target = get_el(form, 1);
  if (get_type(target) != ZU_TYPE_STRING) return error_text_at(form, ZU_ER_TYPE, "Target", nullptr);
  std::string t = narrow_text(target);
  U_STAT ts;
  if (u_stat(t.c_str(), &ts) == 0) {
    // Every dependency, lists walked in order, must be strictly newer.
    std::vector<ZU_SEXP*> pending;
    for (ZU_SEXP* d = cdr(form->pair.cdr); get_type(d) == ZU_TYPE_LIST; d = d->pair.cdr) pending.push_back(d->pair.car);
    std::reverse(pending.begin(), pending.end());
    while (!pending.empty()) {
      ZU_SEXP* d = pending.back();
      pending.pop_back();
      switch (get_type(d)) {
        case ZU_TYPE_NULL:
          break;
        case ZU_TYPE_LIST: {
          size_t at = pending.size();
          for (ZU_SEXP* m = d; get_type(m) == ZU_TYPE_LIST; m = m->pair.cdr) pending.push_back(m->pair.car);
          std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(at), pending.end());
          break;
        }
        case ZU_TYPE_STRING: {
          U_STAT ds;
          if (u_stat(narrow_text(d).c_str(), &ds) != 0 || ds.us_mtime <= ts.us_mtime) return skip(form, "Target");
          break;
        }
        case ZU_TYPE_ERROR:
          return d;
        default:
          return error_text_at(form, ZU_ER_TYPE, "Target", nullptr);
      }
    }
    return nullptr;
  }
  if (!make) return skip(form, "Target");
  make_dirs(t, mode);
  return nullptr;
}

ZU_SEXP* presence(ZU_SEXP* form, const char* func, bool want) {
  ZU_SEXP* file = get_el(form, 1);
  if (get_type(file) != ZU_TYPE_STRING) return error_text_at(form, ZU_ER_TYPE, func, nullptr);
  U_STAT st;
  bool exists = u_stat(narrow_text(file).c_str(), &st) == 0;
  return exists == want ? nullptr : skip(form, func);
}

ZU_SEXP* zu_Exist(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return presence(form, "Exist", true);
}
ZU_SEXP* zu_NotExist(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return presence(form, "NotExist", false);
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kKeywords[] = {
    {"Target", zu_Target, 1, 3, -1, T},
    {"Exist", zu_Exist, 1, 2, -1, T},
    {"NotExist", zu_NotExist, 1, 2, -1, T},
    {},
};

}  // namespace

void init_Rule(ZUISP_ENV* env) {
  GcFrame frame("init_Rule");
  // The keywords live in an environment of their own that the Rule
  // function value carries; the body sees them before the caller's names.
  ZUISP_ENV* keywords = new_env(nullptr);
  bind_prims(keywords, kKeywords);
  seal_env(keywords);
  ZU_SEXP* f = get_func_prim(zu_Rule, 0, keywords, 2, -1);
  bind_builtin(env, "Rule", f);
}
