// The scratch file of the record-file fuzz targets (fuzz sources only): the
// input's bytes become a file that the target opens.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/file.h"

// A file of this process's own under $TMPDIR, made once.
inline const std::string& fuzz_scratch_path(const char* tag) {
  static const std::string path = [tag] {
    const char* tmp = std::getenv("TMPDIR");
    std::string t = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + tag + "_XXXXXX";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back('\0');
    int fd = mkstemp(buf.data());
    if (fd >= 0) close(fd);
    return std::string(buf.data());
  }();
  return path;
}

// Writes the bytes as the whole file; false when that fails.
inline bool fuzz_put_file(const std::string& path, const uint8_t* data, size_t size) {
  int fd = u_open64(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return false;
  bool ok = u_write_full(fd, data, size) == static_cast<ssize_t>(size);
  u_close(fd);
  return ok;
}
