// Fuzz target: the node byte form that remote readers send. The first byte
// picks a matrix that keeps child bit fields or child lists (its channels
// cover scalars, vectors, texts, blocks, ZU values and a channel without a
// type); the rest is the encoded node. Decoding must never read past the
// bytes, crash, stop the process or leak, and what it accepts must encode
// to bytes that decode and encode again to the same bytes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "elements/element_type.h"
#include "matrix/node.h"
#include "zu/core_init.h"
#include "zu/gc.h"

namespace {

MATRIX* make_matrix(int dd, int bs, int64_t size) {
  MATRIX* m = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
  MATRIX_PARAM p{};
  p.dim = 2;
  p.channel_nos = 6;
  set_matrix_param(m, &p);
  for (int d = 0; d < 2; ++d) {
    set_matrix_block_size(m, d, bs);
    set_matrix_dim_divide(m, d, dd);
    set_matrix_pixel_size(m, d, size);
  }
  MATRIX_DATA_TYPE* types[] = {&mx_type_int16, &mx_type_uint8_v, &mx_type_string, &mx_type_block, &mx_type_sexp};
  for (int ch = 0; ch < 5; ++ch) {
    MATRIX_CHANNEL_INFO inf{types[ch], kMxChSend, nullptr, 0};
    set_matrix_channel_info(m, ch, &inf);
  }
  return m;
}

MATRIX_NODE* make_node(MATRIX* m) {
  int64_t dc[3] = {1, 0, 0};
  return mx_make_node(m, dc);
}

bool same(ZU_SEXP* a, ZU_SEXP* b) {
  return a && b && a->raw.size == b->raw.size && std::memcmp(a->raw.data, b->raw.data, a->raw.size) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static MATRIX* matrices[2] = {nullptr, nullptr};
  if (!matrices[0]) {
    init_qnlisp();
    init_matrix();
    static const GC_HOOKS hooks{gc_matrix_lock, [] {
                                  gc_default_mark();
                                  gc_matrix();
                                },
                                gc_default_sp, nullptr, gc_matrix_unlock};
    gc_set_hooks(&hooks);
    matrices[0] = make_matrix(1, 2, 64);        // child bit fields
    matrices[1] = make_matrix(7, 1, 1 << 20);   // child lists
  }
  if (size < 1) return 0;
  MATRIX* m = matrices[data[0] & 1];
  {
    ZuThreadScope scope("fuzz");
    MATRIX_NODE* n = make_node(m);
    if (decode_matrix_node(n, get_raw(data + 1, static_cast<uint32_t>(size - 1))) == 0) {
      ZU_SEXP* once = encode_matrix_node(n);
      MATRIX_NODE* again = make_node(m);
      if (decode_matrix_node(again, once) != 0 || !same(encode_matrix_node(again), once)) __builtin_trap();
      mx_free_node(again);
    }
    mx_free_node(n);
    m->flags = 0;  // a record for the channel without a type broke it
  }
  // What the input made is freed before the next one, as in the reader
  // harnesses: the collector would free it only later, and libFuzzer's
  // memory limit and leak check count it meanwhile.
  gc_collect_now();
  return 0;
}
