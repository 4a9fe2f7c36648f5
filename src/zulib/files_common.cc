// Pieces the file, path and rule built-ins share (files_impl.h): a string
// value as narrow text, the refusal of a peer's file edit that the access
// files do not allow (judged on the path's document path), and the star
// patterns of names.
#include <unistd.h>

#include <cstdlib>

#include "runtime/docpath.h"
#include "runtime/interp.h"
#include "runtime/later_services.h"
#include "zulib/files_impl.h"

std::string narrow_text(ZU_SEXP* s) {
  if (get_type(s) != ZU_TYPE_STRING) return {};
  size_t len = 0;
  char* text = ln_copy_bytes(std_cm, str_text(s), &len);
  std::string r(text ? text : "", text ? len : 0);
  d_f_ree(text);
  return r;
}

namespace {

// The document path of a local file when it lies in a registered document
// or system tree (so that the access files of that tree guard it), else
// the path as given.
ZU_SEXP* document_path(ZU_SEXP* path) {
  std::string local = narrow_text(path);
  if (local.empty()) return path;
  if (local[0] != '/') {
    char* cwd = getcwd(nullptr, 0);
    if (!cwd) return path;
    local = std::string(cwd) + "/" + local;
    free(cwd);
  }
  L_CHAR* full = nl_copy_str(std_cm, local.c_str());
  L_CHAR* doc = get_url_path(full, str_text(path));
  ZU_SEXP* r = get_string(doc);
  d_f_ree(doc);
  d_f_ree(full);
  return r;
}

}  // namespace

ZU_SEXP* peer_edit_refusal(ZU_SEXP* form, ZU_SEXP* path, const char* op) {
  // Links that peers drive: accepted connections, connections this agent
  // opened to a peer, and the peers' own inter-process links.
  ZU_INTERPRETER* me = get_my_zui();
  char kind = me ? me->a_type : 0;
  if (kind != ZUI_IPC && kind != ZUI_ACCEPT && kind != ZUI_CONNECT) return nullptr;
  ZU_SEXP* r = auth_filepath_passive(get_type(path) == ZU_TYPE_STRING ? document_path(path) : path, op);
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
