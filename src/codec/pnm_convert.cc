// Resampling one PNM file into another through a caller's mapping.
#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "base/file.h"
#include "codec/pnm_impl.h"

namespace {

constexpr uint8_t kGrey = 128;

// The mean of the source window around (sx, sy), clipped to the image;
// false when the window holds no pixel or cannot be read.
bool get_col(const PPM_INFO& src, int spp, int32_t sx, int32_t sy, int32_t rw, int32_t rh, uint8_t* out,
             std::vector<uint8_t>& row) {
  if (rw < 0 || rh < 0) return false;
  int64_t x0 = std::max<int64_t>(0, int64_t{sx} - rw), x1 = std::min<int64_t>(src.pi_width - 1, int64_t{sx} + rw);
  int64_t y0 = std::max<int64_t>(0, int64_t{sy} - rh), y1 = std::min<int64_t>(src.pi_height - 1, int64_t{sy} + rh);
  size_t bytes = static_cast<size_t>(x1 - x0 + 1) * static_cast<size_t>(spp);
  row.resize(bytes);
  int64_t sums[3] = {0, 0, 0};
  for (int64_t y = y0; y <= y1; ++y) {
    int64_t at = src.pi_offset + (y * src.pi_width + x0) * spp;
    if (u_pread_full(src.pi_fd, row.data(), bytes, at) != static_cast<ssize_t>(bytes)) return false;
    for (size_t i = 0; i < bytes; ++i) sums[i % static_cast<size_t>(spp)] += row[i];
  }
  int64_t count = (x1 - x0 + 1) * (y1 - y0 + 1);
  for (int s = 0; s < spp; ++s) out[s] = static_cast<uint8_t>(sums[s] / count);
  return true;
}

int open_failed(const char* path) {
  std::fprintf(stderr, "cannot open the file \"%s\"\n", path);
  return -1;
}

}  // namespace

int ppm_converter(const char* from_ppm, const char* to_ppm, uint32_t width, uint32_t height, ppm_converter_func func,
                  void* work) {
  PPM_INFO src{}, dst{};
  src.pi_fd = u_open64(from_ppm, O_RDONLY, 0);
  if (src.pi_fd < 0) return open_failed(from_ppm);
  int spp = read_header(&src) == 0 ? pnm_samples(&src) : 0;
  if (spp == 0) {
    close_ppm(&src);
    return -1;
  }
  dst = src;
  dst.pi_width = width;
  dst.pi_height = height;
  dst.pi_fd = u_open64(to_ppm, O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (dst.pi_fd < 0) {
    close_ppm(&src);
    return open_failed(to_ppm);
  }
  int rc = write_header_magic(&dst, spp == 1 ? "P5" : "P6");
  std::vector<uint8_t> out(size_t{width} * static_cast<size_t>(spp)), window;
  int32_t rw = 0, rh = 0;
  for (uint32_t y = 0; y < height && rc == 0; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      int32_t sx = static_cast<int32_t>(x), sy = static_cast<int32_t>(y);
      uint8_t* px = out.data() + size_t{x} * static_cast<size_t>(spp);
      bool ok = func(&sx, &sy, &rw, &rh, work) >= 0 && sx >= 0 && sy >= 0 && static_cast<uint32_t>(sx) < src.pi_width &&
                static_cast<uint32_t>(sy) < src.pi_height && get_col(src, spp, sx, sy, rw, rh, px, window);
      if (!ok) std::fill(px, px + spp, kGrey);
    }
    int64_t at = dst.pi_offset + static_cast<int64_t>(y) * static_cast<int64_t>(out.size());
    if (u_pwrite_full(dst.pi_fd, out.data(), out.size(), at) != static_cast<ssize_t>(out.size())) rc = -1;
  }
  close_ppm(&src);
  if (close_ppm(&dst) != 0) rc = -1;
  return rc;
}
