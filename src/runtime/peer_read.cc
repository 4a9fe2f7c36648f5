// Where a peer's reads by path may reach (peer_read.h).
#include "runtime/peer_read.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "base/alloc.h"
#include "base/file.h"
#include "runtime/docpath.h"
#include "runtime/net_ops.h"
#include "zu/builtin_kit.h"
#include "zu/peer.h"

namespace {

std::atomic<void (*)(const char*)> judged_hook{nullptr};

// The name under which the process reaches its open descriptor fd again.
std::string descriptor_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The real path of the file open at fd (every link resolved as it was
// opened), or empty when it has none.
std::string real_path_of(int fd) {
  std::string place(PATH_MAX, '\0');
  const ssize_t n = readlink(descriptor_path(fd).c_str(), place.data(), place.size());
  if (n <= 0 || static_cast<size_t>(n) >= place.size() || place[0] != '/') return {};
  place.resize(static_cast<size_t>(n));
  return place;
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

// The refusal of a peer's read of the real path place, or null.
ZU_SEXP* place_refusal(ZU_SEXP* form, const std::string& place, const char* func) {
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

}  // namespace

PeerReadFile::~PeerReadFile() {
  if (held_ >= 0) u_close(held_);
}

int PeerReadFile::open_read(int flags) const {
  return u_open64(held_ >= 0 ? descriptor_path(held_).c_str() : path_.c_str(), O_RDONLY | flags, 0);
}

bool PeerReadFile::is(uint64_t dev, uint64_t ino) const { return held_ < 0 || (dev == dev_ && ino == ino_); }

ZU_SEXP* peer_read_judge(ZU_SEXP* form, const char* path, const char* func, PeerReadFile* file) {
  if (!evaluates_for_peer()) {
    file->path_ = path ? path : "";
    return nullptr;
  }
  // The path is resolved here, once: opening the file without reading it
  // has no effect on a device or a pipe.
  const int held = path ? u_open64(path, O_PATH, 0) : -1;
  struct stat st {};
  if (held < 0 || fstat(held, &st) != 0) {
    if (held >= 0) u_close(held);
    return peer_not_own(form, func);
  }
  file->held_ = held;
  file->dev_ = st.st_dev;
  file->ino_ = st.st_ino;
  ZU_SEXP* refused = place_refusal(form, real_path_of(held), func);
  if (auto hook = judged_hook.load(std::memory_order_acquire); hook && !refused) hook(path);
  return refused;
}

void set_peer_read_judged_hook(void (*hook)(const char* path)) { judged_hook.store(hook, std::memory_order_release); }
