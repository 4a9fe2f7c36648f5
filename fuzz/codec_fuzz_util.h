// A memory file for the codec fuzz targets whose entry points take a
// descriptor or a path: the bytes in an anonymous file, reachable as
// /proc/self/fd/N.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/file.h"

struct MemoryFile {
  int fd = -1;
  std::string path;
  MemoryFile(const uint8_t* data, size_t size) {
    fd = memfd_create("codec_fuzz", 0);
    if (fd < 0) return;
    if (u_pwrite_full(fd, data, size, 0) != static_cast<ssize_t>(size)) {
      close(fd);
      fd = -1;
      return;
    }
    path = "/proc/self/fd/" + std::to_string(fd);
  }
  ~MemoryFile() {
    if (fd >= 0) close(fd);
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
};
