// mxop_check: runs one matrix operation on bytes from the standard input
// and writes its result to the standard output, so tests and people can
// compare the system's answers with an outside model.
//
//   mxop_check plot GEOM OP [ARGS]   plot code in, plot code out
//     GEOM   bs=B0:B1..,dd=D0:D1..[,px=P0:P1..]  (block sizes, dim_divides,
//            pixel sizes; the dimension count is the number of block sizes)
//     canon              read and write back
//     sort               sort_plot
//     diff DC            diff_pp, the coarse part spliced into an empty
//                        parent from the child DC; writes U, then D, each
//                        as a decimal length line and the bytes
//     add DC UPFILE      add_diff of the difference list on stdin to the
//                        parent plot in UPFILE for the child DC
//     splice DC TARGETFILE  shift_insert_plot of stdin into TARGETFILE
//     under LEVEL DC     shift_under_plot of stdin (cells of LEVEL) into DC
//   A dim code DC is LEVEL:C0:C1.. in level-0 units.
//   Exit status: 0 done, 1 bad usage, 2 damaged input code, 3 refused.
//
// Block formats (mxop_blocks.cc), standard input to standard output:
//   zenc LEVEL | zdec     payload (type byte, then block bytes or a stored
//                         vector) <-> zlib block
//   imgenc Q | imgdec     stored uint8_v or rgb8_v vector <-> image block
//   cmpenc | cmpdec       lines "s TEXT", "i N", "f X", "b HEX", "v HEX"
//                         (a stored vector), in block order <-> compound
//                         block
//   script LAYOUT DC FILE.zu [CH=FILE ...]
//                         runs each form of FILE.zu as a form of a matrix
//                         script on node DC of a fresh matrix (LAYOUT
//                         2d-u8, 2d-rgb8 or 2d-i16: two dimensions of 1024
//                         elements, block size 8, dim_divide 1; channel 0
//                         of that vector type, channels 1 and 2 blocks, 2
//                         kept in the file), channel CH first filled from
//                         FILE (a stored vector or block bytes). One line
//                         per form: bytes (of a data item at the top, a
//                         block, a vector's stored form) in hex, an error
//                         as "error CODE DATA", other values as printed.
//   Exit status: 0 done, 1 refused (the reason on standard error), 2 bad
//   usage.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "matrix/node.h"
#include "matrix_ops/matrix_ops.h"
#include "mxop_check.h"
#include "runtime/zu_init.h"
#include "matrix/matrix.h"
#include "matrix_ops/plot_level.h"
#include "stream/stream.h"
#include "zu/core_init.h"

namespace {

constexpr int kUsage = 1;
constexpr int kDamaged = 2;
constexpr int kRefused = 3;

// A matrix that only carries a geometry and hands out object ids.
struct Geometry {
  MATRIX m{};
  std::vector<uint8_t> bs, dd;
  std::vector<int64_t> px;

  bool parse(const std::string& text) {
    std::stringstream ss(text);
    std::string part;
    while (std::getline(ss, part, ',')) {
      auto eq = part.find('=');
      if (eq == std::string::npos) return false;
      std::vector<int64_t> v = mxop_numbers(part.substr(eq + 1), ':');
      std::string key = part.substr(0, eq);
      if (key == "px") {
        px = v;
        continue;
      }
      auto& dst = key == "bs" ? bs : dd;
      if (key != "bs" && key != "dd") return false;
      for (int64_t x : v) {
        if (x < 0 || x > 255) return false;
        dst.push_back(static_cast<uint8_t>(x));
      }
    }
    if (bs.empty() || bs.size() != dd.size()) return false;
    px.resize(bs.size(), 0);
    m.p.dim = static_cast<int>(bs.size());
    m.block_size = bs.data();
    m.dim_divide = dd.data();
    m.pixel_size = px.data();
    return true;
  }
};

std::string read_all(std::istream& in) {
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool read_plot(MATRIX* m, const std::string& bytes, INTERNAL_PLOT** out) {
  int err = 0;
  std::string copy = bytes;  // the reader takes a writable buffer
  *out = code2internal(m, reinterpret_cast<PRIMITIVE_PLOT*>(copy.data()), static_cast<int>(copy.size()), nullptr,
                       &err);
  return err == 0;
}

bool read_plot_file(MATRIX* m, const char* path, INTERNAL_PLOT** out) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  std::string bytes;
  char buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) bytes.append(buf, n);
  std::fclose(f);
  return read_plot(m, bytes, out);
}

// Writes the list's code (with a length line when asked) and frees the
// list; false when it cannot be written.
bool write_plot(MATRIX* m, INTERNAL_PLOT* ip, bool length_line) {
  int size = 0;
  PRIMITIVE_PLOT* code = internal2code(&size, m, ip);
  free_internal_plot_list(ip);
  if (!code) return false;
  if (length_line) std::printf("%d\n", size);
  std::fwrite(code, 1, static_cast<size_t>(size), stdout);
  d_f_ree(code);
  return true;
}

int plot_main(int argc, char** argv) {
  Geometry g;
  if (argc < 2 || !g.parse(argv[0])) return kUsage;
  MATRIX* m = &g.m;
  std::string op = argv[1];
  int dc_arg = op == "under" ? 3 : 2;
  std::vector<int64_t> dc = argc > dc_arg ? mxop_numbers(argv[dc_arg], ':') : std::vector<int64_t>{};
  bool needs_dc = op == "diff" || op == "add" || op == "splice" || op == "under";
  if (needs_dc && (dc.size() != static_cast<size_t>(m->p.dim) + 1 || argc < (op == "diff" ? 3 : 4))) return kUsage;
  INTERNAL_PLOT* in = nullptr;
  if (!read_plot(m, read_all(std::cin), &in)) return kDamaged;
  int err = 0;
  if (op == "canon") return write_plot(m, in, false) ? 0 : kRefused;
  if (op == "sort") return write_plot(m, sort_plot(m, in), false) ? 0 : kRefused;
  if (op == "diff") {
    INTERNAL_PLOT* d = nullptr;
    INTERNAL_PLOT* u = diff_pp(m, &d, in, &err);
    free_internal_plot_list(in);
    if (!err) u = shift_insert_plot(m, nullptr, u, dc.data(), &err);
    if (err) {
      free_internal_plot_list(u);
      free_internal_plot_list(d);
      return kRefused;
    }
    bool done = write_plot(m, u, true);
    return write_plot(m, d, true) && done ? 0 : kRefused;
  }
  INTERNAL_PLOT* other = nullptr;
  INTERNAL_PLOT* out = nullptr;
  if (op == "add" || op == "splice") {
    if (!read_plot_file(m, argv[3], &other)) {
      free_internal_plot_list(in);
      return kDamaged;
    }
    if (op == "add") {
      out = add_diff(m, other, in, dc.data(), nullptr, &err);
      free_internal_plot_list(other);
      free_internal_plot_list(in);
    } else {
      out = shift_insert_plot(m, other, in, dc.data(), &err);
      if (err) free_internal_plot_list(in);
    }
  } else if (op == "under") {
    out = shift_under_plot(m, in, std::strtoll(argv[2], nullptr, 10), dc.data(), &err);
    free_internal_plot_list(in);
  } else {
    free_internal_plot_list(in);
    return kUsage;
  }
  if (err) {
    free_internal_plot_list(out);
    return kRefused;
  }
  return write_plot(m, out, false) ? 0 : kRefused;
}

int run_plot(int argc, char** argv) {
  init_stream();
  init_qnlisp();
  init_matrix();
  int r = plot_main(argc, argv);
  const char* why[] = {nullptr, "bad usage", "damaged input code", "refused"};
  if (r) std::fprintf(stderr, "mxop_check: %s\n", why[r]);
  return r;
}

const char kUsageText[] =
    "usage: mxop_check plot GEOM canon|sort|diff DC|add DC UPFILE|splice DC TARGETFILE|under LEVEL DC\n"
    "       mxop_check zenc LEVEL|zdec|imgenc Q|imgdec|cmpenc|cmpdec\n"
    "       mxop_check script 2d-u8|2d-rgb8|2d-i16 DC FILE.zu [CH=FILE ...]\n";

}  // namespace

std::vector<int64_t> mxop_numbers(const std::string& text, char sep) {
  std::vector<int64_t> v;
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, sep)) v.push_back(std::strtoll(item.c_str(), nullptr, 10));
  return v;
}

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "plot") == 0) return run_plot(argc - 2, argv + 2);
  for (const MxopCommand* c = kMxopBlockCommands; argc >= 2 && c->name; ++c) {
    if (std::strcmp(argv[1], c->name) != 0) continue;
    if (c->runtime) {
      init_zu();
      install_matrix_ops();
      init_matrix();
      set_matrix_gc_hooks();
    } else {
      init_stream();
      init_qnlisp();
      init_matrix();
    }
    int r = c->run(argc - 2, argv + 2);
    if (r == kMxopUsage) std::fputs(kUsageText, stderr);
    std::fflush(stdout);
    return r;
  }
  std::fputs(kUsageText, stderr);
  return kUsage;
}
