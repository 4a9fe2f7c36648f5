#include "runtime/script_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/file.h"
#include "base/paths.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/gc.h"
#include "zu/reader.h"

namespace {

using WStr = std::basic_string<L_CHAR>;

std::mutex script_path_mu;
L_CHAR* script_path = nullptr;  // guarded by script_path_mu

WStr wstr(const L_CHAR* s) { return s ? WStr(s) : WStr(); }
WStr wstr(const char* s) {
  WStr r;
  for (; s && *s; ++s) r.push_back(static_cast<unsigned char>(*s));
  return r;
}

L_CHAR* tagged(const WStr& s) {
  auto* r = static_cast<L_CHAR*>(d_alloc((s.size() + 1) * sizeof(L_CHAR)));
  std::memcpy(r, s.data(), s.size() * sizeof(L_CHAR));
  r[s.size()] = 0;
  return r;
}

// Whether the file opens for reading. A directory opens too, but it holds
// no forms: it is not a script. Only a regular file is opened to find out:
// opening a FIFO could block, or pair with a writer whose bytes the pipe
// then drops when this look closes it; for anything else the permission
// says.
bool can_open(const WStr& path) {
  char* narrow = ln_copy_str(std_cm, path.c_str());
  if (!narrow) return false;
  char* native = change_delim_str(narrow);
  d_f_ree(narrow);
  struct stat st {};
  bool ok = native && stat(native, &st) == 0 && !S_ISDIR(st.st_mode);
  if (ok && S_ISREG(st.st_mode)) {
    int fd = u_open(native, O_RDONLY, 0);
    ok = fd >= 0;
    if (ok) u_close(fd);
  } else if (ok) {
    ok = access(native, R_OK) == 0;
  }
  d_f_ree(native);
  return ok;
}

bool is_sep(L_CHAR c) { return c < 128 && c != 0 && std::strchr(kZuPathSeparators, static_cast<int>(c)); }

WStr dir_of(const L_CHAR* path) {
  WStr p = wstr(path);
  size_t slash = p.rfind(L_CHAR('/'));
  return slash == WStr::npos ? WStr() : p.substr(0, slash + 1);
}

}  // namespace

L_CHAR* _zuwhich(const L_CHAR* path_list, const L_CHAR* name) {
  WStr list = wstr(path_list);
  size_t i = 0;
  while (i < list.size()) {
    while (i < list.size() && is_sep(list[i])) ++i;
    size_t j = i;
    while (j < list.size() && !is_sep(list[j])) ++j;
    if (j > i) {
      WStr dir = list.substr(i, j - i);
      if (dir.back() != '/' && dir.back() != '\\') dir.push_back('/');
      if (can_open(dir + wstr(name))) return tagged(dir);
    }
    i = j;
  }
  return nullptr;
}

ZU_SEXP* get_zurc(const char* dir, const char* file, const char* key) {
  std::string path = dir ? dir : "";
  if (path.empty() || path.back() != '/') path.push_back('/');
  path += file;
  STREAM* st = s_open_file(path.c_str(), O_RDONLY, 0);
  if (!st) return nullptr;
  GcFrame frame("get_zurc");
  Tagged<L_CHAR> wname(nl_copy_str(std_cm, path.c_str()));
  ZU_SEXP* forms = init_parse(st, wname.get(), wname.get());
  wname.reset();
  ZU_FILE* f = sexp_file(forms);
  ZU_SEXP* result = nullptr;
  for (ZU_SEXP* p = forms; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* form = p->pair.car;
    int type = get_type(form);
    if (type == ZU_TYPE_ERROR) break;  // the forms before a reader error count
    if (type != ZU_TYPE_LIST) continue;
    ZU_SEXP* head = form->pair.car;
    if (sexp_type(head) != ZU_TYPE_SYMBOL || zu_wcmp_ascii(sym_name(head), key) != 0) continue;
    ZU_SEXP* args = form->pair.cdr;
    if (get_type(args) != ZU_TYPE_LIST) continue;
    result = cons(args->pair.car, result);
  }
  if (f) close_zu_file(f);
  return frame.keep(result, gc_qn_sexp);
}

L_CHAR* in_zurc(const char* dir, const char* file, const L_CHAR* name) {
  if (!dir) return nullptr;
  ZuThreadScope scope("in_zurc");
  for (ZU_SEXP* p = get_zurc(dir, file, "ZUPATH"); sexp_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* s = p->pair.car;
    if (get_type(s) != ZU_TYPE_STRING) continue;
    if (L_CHAR* hit = _zuwhich(str_text(s), name)) return hit;
  }
  return nullptr;
}

L_CHAR* get_zuwhich(const L_CHAR* name) {
  if (const char* zupath = u_getenv("ZUPATH")) {
    L_CHAR* list = nl_copy_str(std_cm, zupath);
    L_CHAR* hit = _zuwhich(list, name);
    d_f_ree(list);
    if (hit) return hit;
  }
  if (L_CHAR* hit = in_zurc(get_homepath(), ".zurc", name)) return hit;
  if (L_CHAR* hit = in_zurc(get_preference_path(), "zurc", name)) return hit;
  if (L_CHAR* hit = in_zurc("/", ".zurc", name)) return hit;
  return in_zurc(get_root_preference_path(), "zurc", name);
}

L_CHAR* get_script(const L_CHAR* caller, const L_CHAR* name) {
  if (!name || !*name) return nullptr;
  WStr n = wstr(name);
  if (can_open(n)) return tagged(n);
  if (n[0] == '/') return nullptr;
  if (caller) {
    WStr p = dir_of(caller) + n;
    if (can_open(p)) return tagged(p);
  }
  {
    WStr p;
    {
      std::lock_guard<std::mutex> l(script_path_mu);
      if (script_path) p = wstr(script_path) + n;
    }
    if (!p.empty() && can_open(p)) return tagged(p);
  }
  if (L_CHAR* dir = get_zuwhich(name)) {
    WStr p = wstr(dir) + n;
    d_f_ree(dir);
    return tagged(p);
  }
  return nullptr;
}

void set_script_path(const L_CHAR* path) {
  L_CHAR* next = nullptr;
  if (path) {
    WStr d = dir_of(path);
    next = tagged(d.empty() ? wstr("./") : d);
  }
  L_CHAR* old;
  {
    std::lock_guard<std::mutex> l(script_path_mu);
    old = script_path;
    script_path = next;
  }
  d_f_ree(old);
}

L_CHAR* get_script_path() {
  std::lock_guard<std::mutex> l(script_path_mu);
  return script_path ? ll_copy_str(script_path) : nullptr;
}

L_CHAR* get_relative_path(const L_CHAR* path) {
  if (!path) return nullptr;
  WStr p = wstr(path);
  std::lock_guard<std::mutex> l(script_path_mu);
  if (script_path) {
    WStr sp = wstr(script_path);
    if (p.compare(0, sp.size(), sp) == 0) return tagged(p.substr(sp.size()));
  }
  return tagged(p);
}

L_CHAR* get_absolute_path(const L_CHAR* path) {
  if (!path) return nullptr;
  WStr p = wstr(path);
  if (p.empty() || p[0] != '/') {
    std::lock_guard<std::mutex> l(script_path_mu);
    if (script_path) p = wstr(script_path) + p;
  }
  return optimize_path(p.c_str());
}

L_CHAR* optimize_path(const L_CHAR* path) {
  if (!path) return nullptr;
  WStr p = wstr(path);
  if (p.empty()) return tagged(p);
  const WStr dot = wstr("."), dotdot = wstr("..");
  std::vector<WStr> stack;
  // ".." takes back the component before it. It never climbs above the
  // root (an empty component), and a leading "." or ".." is kept so that a
  // relative path still climbs as far as it asked.
  auto up = [&] {
    if (stack.empty() || stack.back() == dotdot) {
      stack.push_back(dotdot);
    } else if (stack.back() == dot) {
      stack.back() = dotdot;
    } else if (!stack.back().empty()) {
      stack.pop_back();
    }
  };
  size_t i = 0;
  while (i < p.size()) {
    WStr rest = p.substr(i);
    if (rest.compare(0, 3, wstr("../")) == 0) {
      up();
      i += 3;
    } else if (rest.compare(0, 2, wstr("./")) == 0) {
      if (stack.empty()) stack.push_back(dot);
      i += 2;
    } else if (rest == dotdot) {
      up();
      i = p.size();
    } else if (rest == dot) {
      if (stack.empty()) stack.push_back(dot);
      i = p.size();
    } else {
      size_t slash = p.find(L_CHAR('/'), i);
      if (slash == WStr::npos) {
        stack.push_back(rest);
        i = p.size();
      } else {
        stack.push_back(p.substr(i, slash - i));
        i = slash + 1;
      }
    }
  }
  // Everything before the last empty component (the root, or a doubled
  // "/") is dropped.
  size_t start = stack.size();
  while (start > 0 && !stack[start - 1].empty()) --start;
  WStr out;
  if (p[0] == '/') out.push_back('/');
  for (size_t k = start; k < stack.size(); ++k) {
    if (k > start) out.push_back('/');
    out += stack[k];
  }
  if (p.back() == '/' && (out.empty() || out.back() != '/')) out.push_back('/');
  return tagged(out);
}
