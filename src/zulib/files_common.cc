// Pieces the file, path and rule built-ins share (files_impl.h): a string
// value as narrow text, the refusal of a file edit made for a peer that the
// access files do not allow (judged where the path leads, every symlink
// resolved), and the star patterns of names.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "runtime/docpath.h"
#include "runtime/later_services.h"
#include "zu/peer.h"
#include "zulib/files_impl.h"

std::string narrow_text(ZU_SEXP* s) {
  if (get_type(s) != ZU_TYPE_STRING) return {};
  size_t len = 0;
  Tagged<char> text(ln_copy_bytes(std_cm, str_text(s), &len));
  return std::string(text ? text.get() : "", text ? len : 0);
}

namespace {

// "dir" joined with "/rest" (rest empty or beginning with "/").
std::string joined(const std::string& dir, const std::string& rest) {
  return dir == "/" && !rest.empty() ? rest : dir + rest;
}

// The place path names, every symlink on the way resolved: realpath(3) of
// the longest leading part that exists, then the rest as written; the last
// component stays as written unless follow_last. Empty when it cannot be
// told (a part that does not exist holds "." or "..", or a part cannot be
// examined).
std::string resolved_location(std::string path, bool follow_last) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  auto split = [](std::string* p) {  // takes the last component off *p
    size_t slash = p->rfind('/');
    std::string last = slash == std::string::npos ? *p : p->substr(slash + 1);
    *p = slash == std::string::npos ? "." : slash == 0 ? "/" : p->substr(0, slash);
    return last;
  };
  std::string rest;
  if (!follow_last && path != "/") {
    std::string last = split(&path);
    if (last == "." || last == "..") return resolved_location(path + "/" + last, true);
    rest = "/" + last;
  }
  for (;;) {
    if (char* r = realpath(path.c_str(), nullptr)) {
      std::string base = r;
      free(r);
      return joined(base, rest);
    }
    if ((errno != ENOENT && errno != ENOTDIR) || path == "/" || path == ".") return {};
    std::string last = split(&path);
    if (last == "." || last == "..") return {};
    if (!last.empty()) rest = "/" + last + rest;
  }
}

bool names_access_file(const std::string& place) {
  return place.compare(place.rfind('/') + 1, std::string::npos, kAccessFileName) == 0;
}

ZU_SEXP* denied() { return get_error_ascii(nullptr, 0, ZU_ER_DENIED, "authentification (DENIED)", nullptr); }

// The refusal of a peer's edit at a resolved place, or null: never an
// access file, never outside every tree, else as the access files of the
// place's document path rule.
ZU_SEXP* place_refusal(const std::string& place, const char* op) {
  if (place.empty() || names_access_file(place)) return denied();
  Tagged<L_CHAR> doc(get_url_path_resolved(place.c_str()));
  return doc ? auth_filepath_passive(get_string(doc.get()), op) : denied();
}

// The refusal of an edit that takes the whole of place with it (Rm of a
// tree, the source of Mv): place itself and, when it is a directory, every
// entry at any depth as if each were edited alone, since rules match an
// entry by its own name, not by the directory's. Links are not followed,
// as a recursive Rm does not follow them; a walk that fails refuses.
ZU_SEXP* tree_refusal(const std::string& place, const char* op) {
  ZU_SEXP* r = place_refusal(place, op);
  struct stat st;
  if (get_type(r) == ZU_TYPE_ERROR || lstat(place.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return r;
  namespace fs = std::filesystem;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(place, ec), end; !ec && it != end; it.increment(ec)) {
    r = place_refusal(it->path().string(), op);
    if (get_type(r) == ZU_TYPE_ERROR) return r;
  }
  return ec ? denied() : nullptr;
}

}  // namespace

ZU_SEXP* peer_edit_refusal(ZU_SEXP* form, ZU_SEXP* path, const char* op, bool whole_tree) {
  if (!evaluates_for_peer()) return nullptr;
  ZU_SEXP* r = nullptr;
  if (get_type(path) != ZU_TYPE_STRING) {
    r = auth_filepath_passive(path, op);
  } else {
    // The entry itself (Rm and Mv act on a link, not on what it leads to)
    // and, when that differs, where it leads (Touch and UTime follow it).
    std::string text = narrow_text(path);
    std::string entry = resolved_location(text, false);
    std::string target = resolved_location(text, true);
    auto judge = whole_tree ? tree_refusal : place_refusal;
    r = judge(entry, op);
    if (get_type(r) != ZU_TYPE_ERROR && target != entry) r = judge(target, op);
  }
  if (get_type(r) != ZU_TYPE_ERROR) return nullptr;
  return get_error(form ? form->h.file : nullptr, form ? form->h.line : 0, r->error->code, r->error->func,
                   r->error->data);
}

StarPattern::StarPattern(std::string_view text, bool one_or_more) {
  only_stars_ = !text.empty() && text.find_first_not_of('*') == std::string_view::npos;
  for (char c : text) {
    if (c != '*') {
      tokens_.push_back(static_cast<unsigned char>(c));
      continue;
    }
    if (one_or_more) tokens_.push_back(kAny);
    tokens_.push_back(kStar);
  }
}

// The usual two-cursor glob match: on a mismatch the last star takes one
// more character. Linear in practice, never worse than names x tokens.
bool StarPattern::matches(std::string_view name) const {
  size_t p = 0, n = 0;
  size_t star = std::string_view::npos, mark = 0;
  const size_t np = tokens_.size();
  while (n < name.size()) {
    if (p < np && (tokens_[p] == kAny || tokens_[p] == static_cast<unsigned char>(name[n]))) {
      ++p;
      ++n;
    } else if (p < np && tokens_[p] == kStar) {
      star = p++;
      mark = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < np && tokens_[p] == kStar) ++p;
  return p == np;
}
