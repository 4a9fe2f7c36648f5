// codec_driver: the codecs as whole processes on files, so that
// bench/codec_peers.py can time them next to outside programs that start,
// read their input file and write their output as these do. Each command
// reads its input whole, runs the codec once and writes the result:
//
//   gifdec IN.gif OUT.ppm        the first image of a GIF, as a P6 file
//   gifenc IN.ppm OUT.gif        a P6 image reduced to 256 colours, as a GIF
//   r64 IN.ppm OUT.r64 lofi|hifi a new colour R64 file of the image with
//                                every coarser level built from the one
//                                below
//   ppm IN.ppm OUT.ppm           the image read and written by write_ppm
//   utm ZONE                     "lon lat" lines in degrees on standard
//                                input -> "X Y" lines in metres on standard
//                                output, UTM zone ZONE on GRS80
//
// Exit 0, or 1 with a line on the standard error stream.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/file.h"
#include "codec/gif.h"
#include "codec/pnm.h"
#include "codec/r64.h"
#include "codec/r64_level.h"
#include "codec/tmerc.h"

namespace {

using Bytes = std::vector<uint8_t>;

int fail(const std::string& what) {
  std::fprintf(stderr, "codec_driver: %s\n", what.c_str());
  return 1;
}

bool read_file(const char* path, Bytes* out) {
  int fd = u_open64(path, O_RDONLY, 0);
  if (fd < 0) return false;
  off_t n = lseek(fd, 0, SEEK_END);
  out->resize(n > 0 ? static_cast<size_t>(n) : 0);
  bool ok = n >= 0 && u_pread_full(fd, out->data(), out->size(), 0) == static_cast<ssize_t>(out->size());
  u_close(fd);
  return ok;
}

// A P6 file's pixels through the codec's header reader: width, height and
// the packed RGB triples.
struct Image {
  uint32_t w = 0, h = 0;
  Bytes rgb;
};

bool read_ppm(const char* path, Image* img) {
  PPM_INFO p{};
  p.pi_fd = u_open64(path, O_RDONLY, 0);
  if (p.pi_fd < 0) return false;
  bool ok = read_header(&p) == 0 && std::strcmp(p.pi_type, "P6") == 0 && p.pi_max == 255;
  if (ok) {
    img->w = p.pi_width;
    img->h = p.pi_height;
    img->rgb.resize(size_t{img->w} * img->h * 3);
    ok = u_pread_full(p.pi_fd, img->rgb.data(), img->rgb.size(), p.pi_offset) ==
         static_cast<ssize_t>(img->rgb.size());
  }
  close_ppm(&p);
  return ok;
}

bool write_image(const char* path, const Image& img) {
  PPM_INFO p{};
  p.pi_fd = u_open64(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (p.pi_fd < 0) return false;
  p.pi_width = img.w;
  p.pi_height = img.h;
  p.pi_max = 255;
  bool ok = write_ppm(&p, img.rgb.data()) == 0;
  return close_ppm(&p) == 0 && ok;
}

int gifdec(const char* in, const char* out) {
  Bytes gif;
  if (!read_file(in, &gif)) return fail(std::string("cannot read ") + in);
  int32_t w = 0, h = 0;
  GIF_ENV ge;
  uint8_t* px = gif_uncompress(&w, &h, &ge, gif.data(), static_cast<int32_t>(gif.size()));
  if (!px) return fail("not a GIF image");
  Image img;
  img.w = static_cast<uint32_t>(w);
  img.h = static_cast<uint32_t>(h);
  img.rgb.resize(size_t{img.w} * img.h * 3);
  for (size_t i = 0, n = size_t{img.w} * img.h; i < n; ++i) std::memcpy(&img.rgb[i * 3], px + i * 4, 3);
  d_f_ree(px);
  return write_image(out, img) ? 0 : fail(std::string("cannot write ") + out);
}

int gifenc(const char* in, const char* out) {
  Image img;
  if (!read_ppm(in, &img)) return fail(std::string("cannot read the P6 image ") + in);
  Bytes rgbx(img.rgb.size() / 3 * 4, 0);
  for (size_t i = 0, n = img.rgb.size() / 3; i < n; ++i) std::memcpy(&rgbx[i * 4], &img.rgb[i * 3], 3);
  img.rgb = Bytes();
  int32_t len = 0;
  GIF_ENV ge;
  uint8_t* gif = gif_compress(&len, &ge, nullptr, rgbx.data(), static_cast<int32_t>(img.w),
                              static_cast<int32_t>(img.h));
  if (!gif) return fail("the encoder refused the image");
  int fd = u_open64(out, O_RDWR | O_CREAT | O_TRUNC, 0644);
  bool ok = fd >= 0 && u_write_full(fd, gif, static_cast<size_t>(len)) == len;
  d_f_ree(gif);
  if (fd < 0 || u_close(fd) != 0 || !ok) return fail(std::string("cannot write ") + out);
  return 0;
}

int r64(const char* in, const char* out, const std::string& filter) {
  if (filter != "lofi" && filter != "hifi") return fail("the filter is lofi or hifi");
  Image img;
  if (!read_ppm(in, &img)) return fail(std::string("cannot read the P6 image ") + in);
  r64_init();
  R64_FILE* f = r64_open_file(out, O_RDWR | O_CREAT | O_TRUNC, 0644, 'P', static_cast<int>(img.w),
                              static_cast<int>(img.h));
  if (!f) return fail(std::string("cannot make ") + out);
  for (uint32_t y = 0; y < img.h; ++y)
    for (uint32_t x = 0; x < img.w; ++x)
      if (r64_set(f, static_cast<int>(x), static_cast<int>(y), 0, &img.rgb[(size_t{y} * img.w + x) * 3]) != 0) {
        r64_close_file(f);
        return fail("level 0 not written");
      }
  for (int level = 0; level + 1 < kR64Levels && f->level_ofs[level + 1]; ++level)
    if ((filter == "hifi" ? r64_new_level_hifi(f, level) : r64_new_level_lofi(f, level)) != 0) {
      r64_close_file(f);
      return fail("level building failed");
    }
  return r64_close_file(f) == 0 ? 0 : fail(std::string("cannot write ") + out);
}

int ppm(const char* in, const char* out) {
  Image img;
  if (!read_ppm(in, &img)) return fail(std::string("cannot read the P6 image ") + in);
  return write_image(out, img) ? 0 : fail(std::string("cannot write ") + out);
}

// Standard input whole (the points of one run fit in memory many times).
Bytes read_stdin() {
  Bytes b;
  size_t used = 0;
  b.resize(1 << 20);
  for (ssize_t n; (n = u_read(0, b.data() + used, b.size() - used)) > 0;) {
    used += static_cast<size_t>(n);
    if (used == b.size()) b.resize(b.size() * 2);
  }
  b.resize(used);
  return b;
}

int utm(int zone) {
  if (zone < 1 || zone > 60) return fail("the zone is 1..60");
  ELIPSOID ep{};
  ep.a = 6378137.0;
  ep.b = 6356752.314140356;
  ep.m0 = 0.9996;
  ep.org_Y0 = 500000;
  ep.org_lambda = (6.0 * zone - 183) * M_PI / 180;
  ep.org_X_enable = 1;
  Bytes in = read_stdin();
  in.push_back(0);
  std::string out;
  out.reserve(in.size() * 2);
  const double deg = M_PI / 180;
  char line[96];
  const char* p = reinterpret_cast<const char*>(in.data());
  for (;;) {
    char* end;
    double lon = std::strtod(p, &end);
    if (end == p) break;
    p = end;
    double lat = std::strtod(p, &end);
    if (end == p) return fail("a line without its latitude");
    p = end;
    double X, Y;
    utm2bl(&X, &Y, lon * deg, lat * deg, &ep);
    int n = std::snprintf(line, sizeof line, "%.4f %.4f\n", X, Y);
    out.append(line, static_cast<size_t>(n));
  }
  return u_write_full(1, out.data(), out.size()) == static_cast<ssize_t>(out.size()) ? 0 : fail("cannot write");
}

}  // namespace

int main(int argc, char** argv) {
  const std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "gifdec" && argc == 4) return gifdec(argv[2], argv[3]);
  if (cmd == "gifenc" && argc == 4) return gifenc(argv[2], argv[3]);
  if (cmd == "r64" && argc == 5) return r64(argv[2], argv[3], argv[4]);
  if (cmd == "ppm" && argc == 4) return ppm(argv[2], argv[3]);
  if (cmd == "utm" && argc == 3) return utm(std::atoi(argv[2]));
  std::fputs("usage: codec_driver gifdec IN OUT | gifenc IN OUT | r64 IN OUT lofi|hifi | ppm IN OUT | utm ZONE\n",
             stderr);
  return 2;
}
