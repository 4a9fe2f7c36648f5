#include "plot_test_util.h"

#include "base/alloc.h"

PlotMatrix::PlotMatrix(std::vector<uint8_t> block_size, std::vector<uint8_t> dim_divide)
    : bs(std::move(block_size)), dd(std::move(dim_divide)) {
  m.p.dim = static_cast<int>(bs.size());
  m.block_size = bs.data();
  m.dim_divide = dd.data();
}

INTERNAL_PLOT* plot_of(MATRIX* m, const std::string& hex_code, SIMPLE_ALLOC_T* sat) {
  Bytes code = unhex(hex_code);
  int err = 0;
  INTERNAL_PLOT* ip = code2internal(m, reinterpret_cast<PRIMITIVE_PLOT*>(code.data()), static_cast<int>(code.size()), sat, &err);
  EXPECT_EQ(err, 0) << hex_code;
  return ip;
}

std::string code_of(MATRIX* m, INTERNAL_PLOT* ip, bool keep) {
  int size = 0;
  auto* code = reinterpret_cast<uint8_t*>(internal2code(&size, m, ip));
  if (!keep) free_internal_plot_list(ip);
  if (!code) return "";
  std::string s = hex(std::span<const uint8_t>(code, static_cast<size_t>(size)), 1 << 20);
  d_f_ree(code);
  return s;
}

int read_back(MATRIX* m, Bytes code, SIMPLE_ALLOC_T* sat, Bytes* again) {
  int err = 0;
  INTERNAL_PLOT* ip = code2internal(m, reinterpret_cast<PRIMITIVE_PLOT*>(code.data()), static_cast<int>(code.size()), sat, &err);
  if (err) return -1;
  int n = get_internal_plot_len(ip);
  int size = 0;
  auto* out = reinterpret_cast<uint8_t*>(internal2code(&size, m, ip));
  again->assign(out, out + size);
  d_f_ree(out);
  if (sat) {
    free_smp(sat);
  } else {
    free_internal_plot_list(ip);
  }
  return n;
}
