// FindFile: star patterns expanded over the file tree, and the make-like
// filter of the three-argument form that compares each found source with
// its target.
#include "zulib/file_find.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "runtime/script_path.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zulib/files.h"
#include "zulib/files_impl.h"
#include "zulib/library.h"

namespace {

struct Segment {
  std::string text;
  bool wild;
};

// Cuts a pattern into literal runs of components and single wildcard
// components: a/*/c/*.txt gives a, *, c and *.txt.
std::vector<Segment> split_pattern(const std::string& pat) {
  std::vector<Segment> segs;
  size_t pos = 0;
  while (pos < pat.size()) {
    size_t star = pat.find('*', pos);
    if (star == std::string::npos) {
      segs.push_back({pat.substr(pos), false});
      break;
    }
    size_t slash = pat.rfind('/', star);
    size_t wild_from = pos;
    if (slash != std::string::npos && slash >= pos) {
      // The root stays a path of its own: "/*.txt" searches "/".
      std::string lit = slash == 0 ? "/" : pat.substr(pos, slash - pos);
      if (!lit.empty()) segs.push_back({lit, false});
      wild_from = slash + 1;
    }
    size_t end = pat.find('/', star);
    segs.push_back({pat.substr(wild_from, end == std::string::npos ? std::string::npos : end - wild_from), true});
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return segs;
}

std::string join(const std::string& dir, std::string_view name) {
  if (dir.empty()) return std::string(name);
  std::string r = dir;
  if (r.back() != '/') r.push_back('/');
  r.append(name);
  return r;
}

void report(const std::string& path) { std::fprintf(stderr, "%s: %s\n", path.c_str(), std::strerror(errno)); }

// The kind of an entry of an open directory, from the directory's own
// record where it says, else from its status (a link is followed; *link
// tells whether it was one).
FileKind entry_kind(DIR* d, const dirent* e, const std::string& path, bool* link) {
  *link = false;
  switch (e->d_type) {
    case DT_DIR:
      return FileKind::dir;
    case DT_REG:
      return FileKind::file;
    case DT_LNK:
      *link = true;
      break;
    case DT_UNKNOWN:
      break;
    default:
      return FileKind::other;
  }
  struct stat st;
  if (e->d_type == DT_UNKNOWN) {
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      report(path);
      return FileKind::none;
    }
    *link = S_ISLNK(st.st_mode);
  }
  if (*link && fstatat(dirfd(d), e->d_name, &st, 0) != 0) {
    report(path);
    return FileKind::none;
  }
  return S_ISDIR(st.st_mode) ? FileKind::dir : S_ISREG(st.st_mode) ? FileKind::file : FileKind::other;
}

FileKind path_kind(const std::string& path, struct stat* st) {
  if (stat(path.c_str(), st) != 0) return FileKind::none;
  return S_ISDIR(st->st_mode) ? FileKind::dir : S_ISREG(st->st_mode) ? FileKind::file : FileKind::other;
}

// What the walk of one wildcard component takes.
struct Want {
  int kinds;                // kFindFile | kFindDir
  const std::string* next;  // the literal that a directory taken must hold, or null
  int next_kinds;           // kinds that literal may have
};

bool holds_next(const std::string& dir, const Want& w) {
  if (!w.next) return true;
  struct stat st;
  FileKind k = path_kind(join(dir, *w.next), &st);
  return (k == FileKind::dir && (w.next_kinds & kFindDir)) || (k == FileKind::file && (w.next_kinds & kFindFile));
}

DIR* open_dir(const std::string& dir) { return opendir(dir.empty() ? "." : dir.c_str()); }

// One wildcard component other than "**" in one directory ("" the working
// directory, whose entries are bare names).
void search_one(const std::string& dir, const StarPattern& pat, const Want& w, std::vector<DIR_LIST>* out) {
  DIR* d = open_dir(dir);
  if (!d) {
    if (!dir.empty()) std::fprintf(stderr, "Cannot open directory: %s %s\n", dir.c_str(), std::strerror(errno));
    return;
  }
  while (const dirent* e = readdir(d)) {
    if (e->d_name[0] == '.' || !pat.matches(e->d_name)) continue;
    std::string path = join(dir, e->d_name);
    bool link;
    FileKind k = entry_kind(d, e, path, &link);
    if (k == FileKind::dir && (w.kinds & kFindDir) && !(link && w.next) && holds_next(path, w)) {
      out->push_back({std::move(path), kFindDir, link});
    } else if (k == FileKind::file && (w.kinds & kFindFile) && !w.next) {
      out->push_back({std::move(path), kFindFile, false});
    }
  }
  closedir(d);
}

// "**": everything below dir, directories first as found and then entered
// (only when directories are wanted, never through a link).
void search_all(const std::string& dir, const Want& w, std::vector<DIR_LIST>* out) {
  std::vector<std::string> pending{dir};
  while (!pending.empty()) {
    std::string at = std::move(pending.back());
    pending.pop_back();
    DIR* d = open_dir(at);
    if (!d) continue;
    while (const dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::string path = join(at, e->d_name);
      bool link;
      FileKind k = entry_kind(d, e, path, &link);
      if (k == FileKind::dir && (w.kinds & kFindDir)) {
        if (!link) pending.push_back(path);
        if (!(link && w.next) && holds_next(path, w)) out->push_back({std::move(path), kFindDir, link});
      } else if (k == FileKind::file && (w.kinds & kFindFile) && !w.next) {
        out->push_back({std::move(path), kFindFile, false});
      }
    }
    closedir(d);
  }
}

}  // namespace

std::vector<DIR_LIST> expand_dir_list(const std::string& pattern, int condition) {
  std::vector<Segment> segs = split_pattern(pattern);
  std::vector<DIR_LIST> list;
  bool started = false;
  for (size_t i = 0; i < segs.size(); ++i) {
    const Segment& s = segs[i];
    bool last = i + 1 == segs.size();
    if (!s.wild) {
      if (started) {
        for (DIR_LIST& e : list) {
          e.name = join(e.name, s.text);
          e.flags = 0;
        }
      } else {
        struct stat st;
        FileKind k = path_kind(s.text, &st);
        if (k == FileKind::dir || k == FileKind::file) list.push_back({s.text, 0, false});
        started = true;
      }
      continue;
    }
    Want w{last ? condition & (kFindFile | kFindDir) : kFindDir, nullptr, 0};
    if (!last && !segs[i + 1].wild) {
      w.next = &segs[i + 1].text;
      w.next_kinds = i + 2 == segs.size() ? condition & (kFindFile | kFindDir) : kFindDir;
    }
    std::vector<DIR_LIST> found;
    StarPattern pat(s.text, false);
    bool all = s.text == "**";
    // Before anything is found the working directory is searched; once a
    // component has found nothing, nothing can follow.
    std::vector<std::string> dirs;
    if (!started) dirs.emplace_back();
    for (const DIR_LIST& e : list)
      if (!e.link) dirs.push_back(e.name);
    for (const std::string& dir : dirs) {
      if (all) search_all(dir, w, &found);
      else search_one(dir, pat, w, &found);
    }
    list = std::move(found);
    started = true;
  }
  return list;
}

namespace {

int condition_bits(const L_CHAR* text, bool* ok) {
  *ok = true;
  if (!text) return kFindAll;
  static const struct {
    const char* word;
    int bits;
  } kWords[] = {{"file", 1},  {"dir", 2},      {"exist", 4},   {"notexist", 8},
                {"DCexist", 12}, {"touch", 16}, {"notouch", 32}, {"DCtimestamp", 48}};
  std::string all = n_string(std_cm, text);
  int bits = 0;
  size_t pos = 0;
  for (;;) {
    size_t comma = all.find(',', pos);
    std::string word = all.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    bool known = false;
    for (const auto& k : kWords) {
      if (word == k.word) {
        bits |= k.bits;
        known = true;
      }
    }
    if (!known) {
      *ok = false;
      return 0;
    }
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  // A group no word named wants both of its bits.
  for (int group : {3, 12, 48})
    if (!(bits & group)) bits |= group;
  return bits;
}

// The three-argument filter: the source's target is `target` followed by
// the source's path behind `base`, its extension replaced by the prefix.
bool target_allows(const std::string& path, const struct stat& src, FileKind kind, const std::string& base,
                   const std::string& target, const L_CHAR* prefix, int cond) {
  if (path.compare(0, base.size(), base) != 0) return false;
  std::string t = target + path.substr(base.size());
  if (prefix) {
    // Only the last component's extension: a dot in a directory name is
    // not the file's.
    size_t slash = t.rfind('/');
    size_t dot = t.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = t.size();
    t = t.substr(0, dot) + n_string(std_cm, prefix);
  }
  struct stat ts;
  FileKind tk = path_kind(t, &ts);
  if (tk == FileKind::none) return cond & kFindNotExist;
  if (tk != kind || !(cond & kFindExist)) return false;
  bool newer = src.st_mtim.tv_sec > ts.st_mtim.tv_sec;
  return newer ? (cond & kFindNoTouch) : (cond & kFindTouch);
}

ZU_SEXP* zu_FindFile(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  bool ok;
  int cond = condition_bits(head_option(sf, "condition"), &ok);
  if (!ok) return error_text_at(form, ZU_ER_PARAM, "FindFile", "invalid attribute parameter (condition)");
  int len = list_length(form);
  if (len == 3) return error_text_at(form, ZU_ER_PARAM, "FindFile", "invalid parameter length");
  for (int i = 1; i < len; ++i)
    if (get_type(get_el(form, i)) != ZU_TYPE_STRING)
      return error_text_at(form, ZU_ER_TYPE, "FindFile", "type_missmatch");
  ZU_SEXP* pat = get_el(form, 1);
  std::string pattern, base, target;
  if (len == 2) {
    const L_CHAR* sp = head_option(sf, "scriptpath");
    if (!sp || option_is(sp, "on")) {
      L_CHAR* abs = get_absolute_path(str_text(pat));
      pattern = n_string(std_cm, abs);
      d_f_ree(abs);
    } else {
      pattern = narrow_text(pat);
    }
  } else {
    pattern = narrow_text(pat);
    base = narrow_text(get_el(form, 2));
    target = narrow_text(get_el(form, 3));
  }
  const L_CHAR* prefix = len == 4 ? head_option(sf, "prefix") : nullptr;
  std::vector<DIR_LIST> found = expand_dir_list(pattern, cond);
  // Paths come back relative to the script's directory when they lie in it.
  std::string script;
  if (L_CHAR* sp = get_script_path()) {
    script = n_string(std_cm, sp);
    d_f_ree(sp);
  }
  ListBuilder names;
  for (const DIR_LIST& e : found) {
    struct stat st{};
    FileKind k = e.flags == kFindDir ? FileKind::dir : e.flags == kFindFile ? FileKind::file : FileKind::none;
    if (k == FileKind::none || len == 4) k = path_kind(e.name, &st);
    if (!((k == FileKind::dir && (cond & kFindDir)) || (k == FileKind::file && (cond & kFindFile)))) continue;
    if (len == 4 && !target_allows(e.name, st, k, base, target, prefix, cond)) continue;
    std::string_view name = e.name;
    if (!script.empty() && name.substr(0, script.size()) == script) name.remove_prefix(script.size());
    names.add(narrow_string(std::string(name)));
  }
  return names.head;
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kFindFileDef[] = {{"FindFile", zu_FindFile, 1, 2, 4, T}, {}};

}  // namespace

void init_FindFile(ZUISP_ENV* env) { bind_prims(env, kFindFileDef); }
