#include "base/dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/alloc.h"

namespace {

uint32_t to_zu_time(time_t t) {
  int64_t z = static_cast<int64_t>(t) - kZuEpochOffset;
  if (z < 0) return 0;
  if (z > static_cast<int64_t>(UINT32_MAX)) return UINT32_MAX;
  return static_cast<uint32_t>(z);
}

bool is_dot_entry(const char* n) { return n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)); }

// Removes `name` under the directory `parent` and, when it is a directory,
// everything below it first. Links are removed as entries, never followed;
// the *at calls keep a link swapped in during the walk from leading outside.
// Goes on after a failure so as much as possible is removed; 0 when all went.
int remove_tree_at(int parent, const char* name) {
  struct stat st;
  if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  if (!S_ISDIR(st.st_mode)) return unlinkat(parent, name, 0) == 0 ? 0 : -1;
  int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  DIR* d = fdopendir(fd);
  if (!d) {
    close(fd);
    return -1;
  }
  int result = 0;
  for (;;) {
    errno = 0;
    dirent* e = readdir(d);
    if (!e) {
      if (errno != 0) result = -1;
      break;
    }
    if (is_dot_entry(e->d_name)) continue;
    if (remove_tree_at(dirfd(d), e->d_name) != 0) result = -1;
  }
  closedir(d);
  if (unlinkat(parent, name, AT_REMOVEDIR) != 0) result = -1;
  return result;
}

}  // namespace

int u_stat(const char* path, U_STAT* out) {
  if (!path || !out) {
    errno = EINVAL;
    return -1;
  }
  struct stat st;
  if (stat(path, &st) != 0) return -1;
  out->us_mode = st.st_mode;
  out->us_uid = st.st_uid;
  out->us_gid = st.st_gid;
  out->us_atime = to_zu_time(st.st_atime);
  out->us_mtime = to_zu_time(st.st_mtime);
  out->us_ctime = to_zu_time(st.st_ctime);
  return 0;
}

int u_mkdir(const char* path, int mode) {
  if (!path || std::strlen(path) < 2) return -1;
  std::string p(path);
  if (p.back() == '/') p.pop_back();
  // Made private first, then opened up to exactly `mode`: the umask must
  // not cut it, and nobody gets rights in between that mode does not give.
  if (mkdir(p.c_str(), 0700) != 0) return -1;
  if (chmod(p.c_str(), static_cast<mode_t>(mode) & 07777) != 0) return -1;
  return 0;
}

int m_mkdir(const char* path, int mode) {
  if (!path) {
    errno = EINVAL;
    return -1;
  }
  return mkdir(path, static_cast<mode_t>(mode)) == 0 ? 0 : -1;
}

int u_rm(const char* path, int flags) {
  if (!path || !*path) {
    errno = EINVAL;
    return -1;
  }
  // Without trailing slashes a link to a directory is seen as the link
  // itself, so removing it never reaches into the directory it names.
  std::string p(path);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  // Like rm: never the root, and never "." or ".." (the walk would remove
  // the directory that holds the caller's own working place).
  size_t slash = p.rfind('/');
  std::string last = slash == std::string::npos ? p : p.substr(slash + 1);
  if (p == "/" || last == "." || last == "..") {
    errno = EPERM;
    return -1;
  }
  struct stat st;
  if (lstat(p.c_str(), &st) != 0) return -1;
  if (S_ISDIR(st.st_mode)) {
    if (flags & kRmTree) return remove_tree_at(AT_FDCWD, p.c_str());
    if (flags & kRmEmptyDir) return rmdir(p.c_str()) == 0 ? 0 : -1;
    errno = EISDIR;
    return -1;
  }
  if (flags & (kRmTree | kRmFile)) return unlink(p.c_str()) == 0 ? 0 : -1;
  errno = ENOTDIR;
  return -1;
}

struct U_DIR {
  DIR* d;
  U_DIRENT entry;
};

U_DIR* u_opendir(const char* path) {
  if (!path) return nullptr;
  DIR* d = opendir(path);
  if (!d) return nullptr;
  auto* u = static_cast<U_DIR*>(d_alloc(sizeof(U_DIR)));
  u->d = d;
  u->entry.name = nullptr;
  return u;
}

U_DIRENT* u_readdir(U_DIR* dir) {
  if (!dir) return nullptr;
  dirent* e = readdir(dir->d);
  if (!e) return nullptr;
  dir->entry.name = e->d_name;
  return &dir->entry;
}

int u_closedir(U_DIR* dir) {
  if (!dir) return -1;
  int r = closedir(dir->d);
  d_f_ree(dir);
  return r == 0 ? 0 : -1;
}
