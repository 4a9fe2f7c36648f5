// Fuzz target: any bytes as an R64 file held in memory, opened read-only;
// pixels of every level read under both out-of-image rules, inside and
// just outside the level, and every block r64_plane hands out. Nothing
// may crash or leak, and a block is never larger than a cache buffer.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "base/file.h"
#include "codec/r64.h"

namespace {

void read_level(R64_FILE* f, int level) {
  const int w = f->level_w[level], h = f->level_h[level];
  const int sx = std::max(1, w / 40), sy = std::max(1, h / 40);
  uint8_t px[3];
  for (int y = -1; y <= h; y += sy)
    for (int x = -1; x <= w; x += sx) r64_red(px, f, x, y, level);
  for (int y = 0; y < h && y < 64 * 8; y += 64)
    for (int x = 0; x < w && x < 64 * 8; x += 64) {
      uint8_t* data = nullptr;
      int bw = 0, bh = 0, size = 0;
      if (r64_plane(&data, &bw, &bh, &size, f, x, y, level) == 0 && data && (size < 1 || size > 12288))
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 22)) return 0;
  const int fd = memfd_create("r64_fuzz", 0);
  if (fd < 0) return 0;
  if (u_write_full(fd, data, size) == static_cast<ssize_t>(size)) {
    r64_init();
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (R64_FILE* f = r64_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0)) {
      const uint8_t background[3] = {1, 2, 3};
      const int rule = 0;
      for (int pass = 0; pass < 2; ++pass) {
        for (int level = 0; level < kR64Levels && f->level_ofs[level]; ++level)
          if (pass == 0 || r64_check_level(f, level)) read_level(f, level);
        r64_ctl(f, 1, background);
        r64_ctl(f, 0, &rule);
      }
      r64_close_file(f);
    }
  }
  close(fd);
  return 0;
}
