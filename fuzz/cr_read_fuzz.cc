// Fuzz target: any bytes as a CR file, every block of every level read and
// decoded, and the bytes themselves as a raw block. Nothing may crash or
// leak; a block read is no larger than the file.
#include <fcntl.h>

#include <cstdint>
#include <cstdlib>

#include "base/file.h"
#include "codec/cr_block.h"
#include "codec/cr_file.h"
#include "fuzz_file_impl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 24)) return 0;
  int32_t w, h;
  std::free(none_uncompress(&w, &h, data, static_cast<int32_t>(size)));
  const std::string& path = fuzz_scratch_path("cr_fuzz");
  if (!fuzz_put_file(path, data, size)) return 0;
  CR_FILE* f = cr_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0);
  if (!f) {
    u_unlink(path.c_str());
    return 0;
  }
  const int rect = f->header.rect_size;
  int reads = 0;
  for (int level = 0; cr_check_level(f, level); ++level)
    for (int y = 0; y < f->level_h[level] && reads < 2000; y += rect)
      for (int x = 0; x < f->level_w[level] && reads < 2000; x += rect, ++reads) {
        CR_MEM_TBL b{};
        if (cr_read(&b, f, x, y, level) != 0) continue;
        if (b.size <= 0 || static_cast<size_t>(b.size) > size) __builtin_trap();
        if (const CR_CODEC* codec = get_cr_codec(b.type)) std::free(codec->uncompress(&w, &h, b.buf, b.size));
        free_cr_mem_tbl(&b);
      }
  cr_close_file(f);
  u_unlink(path.c_str());
  return 0;
}
