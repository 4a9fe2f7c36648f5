// codec_check: the codecs over standard input and output, for the checks
// that hold them against outside tools. A refused input exits with 3 and
// "null" on the standard error stream.
//
//   zdeflate LEVEL          raw bytes -> zlib stream
//   zinflate                zlib stream -> raw bytes
//   zbatch                  streams, each after its 4-byte big-endian
//                           length -> one line each: "null" or the hex of
//                           the inflated bytes
//   jpegenc QUALITY         P6 image -> JPEG (exactly the reported length)
//   jpegdec                 JPEG -> P6 image
//   gifdec [ALPHA.pgm]      GIF -> P6 image (and the alpha channel as P5)
//   pnmhead FILE            "magic width height max offset"
//   pnmcopy IN OUT          IN read pixel by pixel, written whole as P6
//   utm A B M0 LON0 X0 Y0 [ORG_PHI]
//                           "lon lat" lines in degrees -> "X Y" lines
//   crread FILE             one line per block of every present level
//   r64 FILE TYPE [lofi|hifi]
//                           P6 image -> a new R64 file through r64_set ('G'
//                           and 'B' take the red samples), every level
//                           built from the one below with the filter
//   r64 FILE                every level the file holds, as P6 or P5 images
//                           one after another
//   crwrite R64 CR RECT     the CR file of an R64 file -> "rc r64_error"
//   fft                     vectors, each a line "b" and 2^b lines "re im"
//                           -> per value "re im re im" of fastft, fastdft
//   gifenc [INDEXED.ppm]    P6 image -> GIF; with a path, the palette of
//                           MedianCut applied to its indices there, as P6
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
#include "codec/cr_block.h"
#include "codec/cr_file.h"
#include "codec/gif.h"
#include "codec/r64.h"
#include "codec/r64_level.h"
#include "codec/jpeg.h"
#include "codec/pnm.h"
#include "codec/tmerc.h"
#include "codec/zlib_block.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes read_stdin() {
  Bytes b;
  uint8_t chunk[65536];
  for (ssize_t n; (n = u_read(0, chunk, sizeof chunk)) > 0;) b.insert(b.end(), chunk, chunk + n);
  return b;
}

void write_out(const void* p, size_t n) {
  if (u_write_full(1, p, n) != static_cast<ssize_t>(n)) std::exit(4);
}

int refused() {
  std::fputs("null\n", stderr);
  return 3;
}

int32_t size32(const Bytes& b) { return static_cast<int32_t>(b.size()); }

// Writes a codec's result, or refuses a null one, and frees it.
int emit(void* out, int32_t len, bool tagged = true) {
  if (!out) return refused();
  write_out(out, static_cast<size_t>(len));
  if (tagged)
    d_f_ree(out);
  else
    std::free(out);
  return 0;
}

// A P6 image as netpbm writes it (no comments) into 4-byte pixels.
bool parse_p6(const Bytes& in, int* w, int* h, Bytes* rgbx) {
  int max = 0, used = 0;
  std::string head(in.begin(), in.begin() + static_cast<long>(std::min<size_t>(in.size(), 64)));
  if (std::sscanf(head.c_str(), "P6 %d %d %d%n", w, h, &max, &used) != 3 || max != 255) return false;
  size_t at = static_cast<size_t>(used) + 1, n = size_t(*w) * size_t(*h);
  if (in.size() < at + 3 * n) return false;
  rgbx->assign(n * 4, 0);
  for (size_t i = 0; i < n; ++i) std::memcpy(&(*rgbx)[i * 4], &in[at + i * 3], 3);
  return true;
}

void write_p6(const uint8_t* rgbx, int w, int h) {
  std::string head = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  write_out(head.data(), head.size());
  Bytes rgb(size_t(w) * size_t(h) * 3);
  for (size_t i = 0; i < size_t(w) * size_t(h); ++i) std::memcpy(&rgb[i * 3], rgbx + i * 4, 3);
  write_out(rgb.data(), rgb.size());
}

int zdeflate(int level) {
  Bytes in = read_stdin();
  int32_t len = 0;
  void* out = zlib_compress(&len, in.data(), size32(in), level);
  return emit(out, len);
}

int zinflate() {
  Bytes in = read_stdin();
  int32_t len = -1;
  void* out = zlib_uncompress(&len, in.data(), size32(in));
  return emit(out, len);
}

int zbatch() {
  Bytes in = read_stdin();
  for (size_t at = 0; at + 4 <= in.size();) {
    size_t n = (size_t{in[at]} << 24) | (size_t{in[at + 1]} << 16) | (size_t{in[at + 2]} << 8) | in[at + 3];
    at += 4;
    if (n > in.size() - at) return 2;
    int32_t len = -1;
    auto* out = static_cast<uint8_t*>(zlib_uncompress(&len, in.data() + at, static_cast<int32_t>(n)));
    at += n;
    if (!out) {
      std::puts("null");
      continue;
    }
    for (int32_t i = 0; i < len; ++i) std::printf("%02x", out[i]);
    std::puts("");
    d_f_ree(out);
  }
  return 0;
}

int jpegenc(int quality) {
  int w, h;
  Bytes rgbx;
  if (!parse_p6(read_stdin(), &w, &h, &rgbx)) return refused();
  int32_t len = 0;
  uint8_t* out = jpeg_compress(&len, rgbx.data(), w, h, quality);
  return emit(out, len, false);
}

int jpegdec() {
  Bytes in = read_stdin();
  int32_t w = 0, h = 0;
  uint8_t* img = jpeg_uncompress(&w, &h, in.data(), size32(in));
  if (!img) return refused();
  for (size_t i = 0; i < size_t(w) * size_t(h); ++i)
    if (img[i * 4 + 3] != 0) return 5;
  write_p6(img, w, h);
  std::free(img);
  return 0;
}

int gifdec(const char* alpha_path) {
  Bytes in = read_stdin();
  int32_t w = 0, h = 0;
  GIF_ENV ge;
  uint8_t* img = gif_uncompress(&w, &h, &ge, in.data(), size32(in));
  if (!img) return refused();
  if (w != ge.width || h != ge.height) return 5;
  write_p6(img, w, h);
  if (alpha_path) {
    FILE* f = std::fopen(alpha_path, "wb");
    if (!f) return 4;
    std::fprintf(f, "P5\n%d %d\n255\n", w, h);
    for (size_t i = 0; i < size_t(w) * size_t(h); ++i) std::fputc(img[i * 4 + 3], f);
    std::fclose(f);
  }
  d_f_ree(img);
  return 0;
}

int pnmhead(const char* path) {
  PPM_INFO p{};
  p.pi_fd = u_open64(path, O_RDONLY, 0);
  if (p.pi_fd < 0) return 4;
  int rc = read_header(&p);
  if (rc == 0)
    std::printf("%s %u %u %d %lld\n", p.pi_type, p.pi_width, p.pi_height, p.pi_max,
                static_cast<long long>(p.pi_offset));
  close_ppm(&p);
  return rc == 0 ? 0 : refused();
}

int pnmcopy(const char* from, const char* to) {
  PPM_INFO in{}, out{};
  in.pi_fd = u_open64(from, O_RDONLY, 0);
  if (in.pi_fd < 0 || read_header(&in) != 0) return refused();
  Bytes rgb(size_t(in.pi_width) * in.pi_height * 3);
  for (uint32_t y = 0; y < in.pi_height; ++y)
    for (uint32_t x = 0; x < in.pi_width; ++x)
      if (read_pixel(&in, x, y, &rgb[(size_t(y) * in.pi_width + x) * 3]) != 0) return refused();
  out.pi_fd = u_open64(to, O_RDWR | O_CREAT | O_TRUNC, 0644);
  out.pi_width = in.pi_width;
  out.pi_height = in.pi_height;
  out.pi_max = in.pi_max;
  if (out.pi_fd < 0 || write_header(&out) != 0 || write_ppm(&out, rgb.data()) != 0) return 4;
  close_ppm(&in);
  return close_ppm(&out) == 0 ? 0 : 4;
}

int utm(char** argv, int argc) {
  const double deg = M_PI / 180;
  ELIPSOID ep{};
  ep.a = std::atof(argv[0]);
  ep.b = std::atof(argv[1]);
  ep.m0 = std::atof(argv[2]);
  ep.org_lambda = std::atof(argv[3]) * deg;
  ep.org_X0 = std::atof(argv[4]);
  ep.org_Y0 = std::atof(argv[5]);
  ep.org_X_enable = 1;
  if (argc > 6) {
    ep.org_phi = std::atof(argv[6]) * deg;
    ep.org_X_enable = 0;
  }
  double lon, lat, X, Y;
  while (std::scanf("%lf %lf", &lon, &lat) == 2) {
    utm2bl(&X, &Y, lon * deg, lat * deg, &ep);
    std::printf("%.4f %.4f\n", X, Y);
  }
  return 0;
}

void print_block(CR_FILE* f, int level, int x, int y) {
  CR_MEM_TBL b{};
  int rc = cr_read(&b, f, x, y, level);
  std::printf("%d %d %d", level, x, y);
  if (rc != 0) {
    std::printf(" - 0 0 0 0 %d 0 0 -\n", rc);
    return;
  }
  int32_t w = 0, h = 0;
  const CR_CODEC* codec = get_cr_codec(b.type);
  uint8_t* px = codec ? codec->uncompress(&w, &h, b.buf, b.size) : nullptr;
  std::printf(" %c %d %d %d %d %d %d %d ", b.type, b.cal[0], b.cal[1], b.cal[2], b.size, px ? 0 : -1, w, h);
  for (int i = 0; px && i < w * h; ++i) std::printf("%02x%02x%02x", px[i * 4], px[i * 4 + 1], px[i * 4 + 2]);
  std::printf("%s\n", px ? "" : "-");
  std::free(px);
  free_cr_mem_tbl(&b);
}

int crread(const char* path) {
  CR_FILE* f = cr_open_file(path, O_RDONLY, 0, 0, 0, 0);
  if (!f) {
    std::printf("open %d\n", r64_error);
    return refused();
  }
  const int rect = f->header.rect_size;
  for (int level = 0; cr_check_level(f, level); ++level)
    for (int y = 0; y < f->level_h[level]; y += rect)
      for (int x = 0; x < f->level_w[level]; x += rect) print_block(f, level, x, y);
  cr_close_file(f);
  return 0;
}

int r64_write(const char* path, char type, const char* filter) {
  int w, h;
  Bytes px;
  if (!parse_p6(read_stdin(), &w, &h, &px)) return refused();
  r64_init();
  R64_FILE* f = r64_open_file(path, O_RDWR | O_CREAT | O_TRUNC, 0644, type, w, h);
  if (!f) return refused();
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      if (r64_set(f, x, y, 0, &px[(size_t(y) * size_t(w) + size_t(x)) * 4]) != 0) return refused();
  const std::string how = filter ? filter : "";
  for (int level = 0; !how.empty() && level + 1 < kR64Levels && f->level_ofs[level + 1]; ++level)
    if ((how == "hifi" ? r64_new_level_hifi(f, level) : r64_new_level_lofi(f, level)) != 0) return refused();
  return r64_close_file(f) == 0 ? 0 : refused();
}

int r64_read(const char* path) {
  r64_init();
  R64_FILE* f = r64_open_file(path, O_RDONLY, 0, 0, 0, 0);
  if (!f) return refused();
  const size_t k = f->header.type == 'P' ? 3 : 1;
  for (int level = 0; r64_check_level(f, level); ++level) {
    const int w = f->level_w[level], h = f->level_h[level];
    std::string head = (k == 3 ? "P6\n" : "P5\n") + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    Bytes px(size_t(w) * size_t(h) * k);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        if (r64_red(&px[(size_t(y) * size_t(w) + size_t(x)) * k], f, x, y, level) != 0) return refused();
    write_out(head.data(), head.size());
    write_out(px.data(), px.size());
  }
  r64_close_file(f);
  return 0;
}

int crwrite(const char* from, const char* to, int rect) {
  r64_init();
  R64_FILE* f = r64_open_file(from, O_RDONLY, 0, 0, 0, 0);
  if (!f) return refused();
  int rc = cr_write_file(to, 0644, rect, f);
  std::printf("%d %d\n", rc, r64_error);
  r64_close_file(f);
  return 0;
}

int fft() {
  int b;
  while (std::scanf("%d", &b) == 1) {
    if (b < 0 || b > 20) return 2;
    std::vector<COMPLEX> v(size_t{1} << b);
    for (COMPLEX& c : v)
      if (std::scanf("%lf %lf", &c.re, &c.im) != 2) return 2;
    COMPLEX* f = fastft(v.data(), b);
    COMPLEX* d = fastdft(v.data(), b);
    for (size_t i = 0; i < v.size(); ++i) std::printf("%.17g %.17g %.17g %.17g\n", f[i].re, f[i].im, d[i].re, d[i].im);
    std::free(f);
    std::free(d);
  }
  return 0;
}

int gifenc(const char* indexed_path) {
  int w, h;
  Bytes rgbx;
  if (!parse_p6(read_stdin(), &w, &h, &rgbx)) return refused();
  int32_t len = 0;
  GIF_ENV ge;
  uint8_t* gif = gif_compress(&len, &ge, nullptr, rgbx.data(), w, h);
  if (!gif) return refused();
  write_out(gif, static_cast<size_t>(len));
  d_f_ree(gif);
  if (indexed_path) {
    ColorMap cmap;
    Bytes codes(size_t(w) * size_t(h));
    MedianCut(rgbx.data(), w, h, cmap, codes.data(), 0);
    FILE* f = std::fopen(indexed_path, "wb");
    if (!f) return 4;
    std::fprintf(f, "P6\n%d %d\n255\n", w, h);
    for (uint8_t c : codes) std::fwrite(&cmap[c], 1, 3, f);
    if (std::fclose(f) != 0) return 4;
  }
  return 0;
}

int usage() {
  std::fputs("usage: codec_check zdeflate|zinflate|jpegenc|jpegdec|gifdec|pnmhead|pnmcopy|utm|crread|r64|crwrite|fft|"
             "gifenc ...\n",
             stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string cmd = argv[1];
  if (cmd == "zdeflate" && argc == 3) return zdeflate(std::atoi(argv[2]));
  if (cmd == "zinflate") return zinflate();
  if (cmd == "zbatch") return zbatch();
  if (cmd == "jpegenc" && argc == 3) return jpegenc(std::atoi(argv[2]));
  if (cmd == "jpegdec") return jpegdec();
  if (cmd == "gifdec") return gifdec(argc > 2 ? argv[2] : nullptr);
  if (cmd == "pnmhead" && argc == 3) return pnmhead(argv[2]);
  if (cmd == "pnmcopy" && argc == 4) return pnmcopy(argv[2], argv[3]);
  if (cmd == "utm" && argc >= 8) return utm(argv + 2, argc - 2);
  if (cmd == "crread" && argc == 3) return crread(argv[2]);
  if (cmd == "r64" && (argc == 4 || argc == 5)) return r64_write(argv[2], argv[3][0], argc == 5 ? argv[4] : nullptr);
  if (cmd == "r64" && argc == 3) return r64_read(argv[2]);
  if (cmd == "crwrite" && argc == 5) return crwrite(argv[2], argv[3], std::atoi(argv[4]));
  if (cmd == "fft") return fft();
  if (cmd == "gifenc") return gifenc(argc > 2 ? argv[2] : nullptr);
  return usage();
}
