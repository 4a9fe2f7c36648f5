// Where a peer's reads by path may reach (peer_read.h).
#include "runtime/peer_read.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "base/alloc.h"
#include "runtime/docpath.h"
#include "runtime/net_ops.h"
#include "zu/builtin_kit.h"
#include "zu/peer.h"

namespace {

// The real path of path, or empty when it does not resolve.
std::string real_path(const char* path) {
  char* r = path ? realpath(path, nullptr) : nullptr;
  std::string s = r ? r : "";
  free(r);
  return s;
}

// Whether the resolved place lies in the working folder (getcwd gives it
// resolved).
bool in_working_folder(const std::string& place) {
  char* cwd = getcwd(nullptr, 0);
  std::string dir = cwd ? cwd : "";
  free(cwd);
  if (dir.empty()) return false;
  if (dir.back() != '/') dir += '/';
  return place.compare(0, dir.size(), dir) == 0;
}

}  // namespace

ZU_SEXP* peer_read_refusal(ZU_SEXP* form, const char* path, const char* func) {
  if (!evaluates_for_peer()) return nullptr;
  const std::string place = real_path(path);
  if (place.empty()) return peer_not_own(form, func);
  // Held as a C++ string, so that a refused allocation of the value
  // leaves nothing behind.
  std::basic_string<L_CHAR> doc;
  if (L_CHAR* d = get_url_path_resolved(place.c_str())) {
    doc = d;
    d_f_ree(d);
  }
  if (!doc.empty()) {
    ZU_SEXP* r = auth_filepath_passive(get_string(doc.c_str()), "Get");
    if (get_type(r) != ZU_TYPE_ERROR) return nullptr;
    return get_error(form ? form->h.file : nullptr, form ? form->h.line : 0, r->error->code, r->error->func,
                     r->error->data);
  }
  return in_working_folder(place) ? nullptr : peer_not_own(form, func);
}
