#include "base/paths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/alloc.h"
#include "base/tempbuf.h"

namespace {

const char* temp_copy(const std::string& s) {
  char* p = copy_str(s.c_str());
  set_buffer(p);
  return p;
}

}  // namespace

const char* u_getenv(const char* name) { return name ? std::getenv(name) : nullptr; }

int64_t u_getenv_count(const char* name, int64_t fallback, int64_t max) {
  const char* text = u_getenv(name);
  if (!text || *text < '0' || *text > '9') return fallback;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text, &end, 10);
  return *end == 0 && errno == 0 && v > 0 && v <= max ? static_cast<int64_t>(v) : fallback;
}

const char* get_homepath() { return std::getenv("HOME"); }

const char* get_preference_path() {
  const char* home = get_homepath();
  if (!home) return temp_copy("/");
  std::string p(home);
  if (p.empty() || p.back() != '/') p += '/';
  p += ".pzuconf/";
  return temp_copy(p);
}

const char* get_root_preference_path() { return "/.pzuconf/"; }

const char* get_peripheral_path() {
  const char* dir = std::getenv("DK_PERIPHERAL");
  if (!dir || !*dir) return get_preference_path();
  std::string p(dir);
  if (p.back() != '/') p += '/';
  return temp_copy(p);
}

const char* get_tmp_dir() { return "/tmp"; }

char* change_delim_str(const char* path) { return copy_str(path); }

int is_safe_as_filename(const char* text) {
  if (!text) return 0;
  return std::strpbrk(text, ";,|><") ? 0 : 1;
}
