// Fuzz target: stored element values of arbitrary bytes. The first byte
// picks the type code; the rest is read by get_size_endian, by the type's
// convert_to_host and, as a ZU raw value, by its sexp2md. Nothing may crash,
// stop the process, read past the bytes or leak; a value that was accepted
// must write back to a stored form that reads back equal.
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "base/alloc.h"
#include "elements/element_type.h"
#include "elements/print.h"
#include "elements/stored.h"
#include "store/recordlist.h"
#include "zu/core_init.h"
#include "zu/gc.h"
#include "zu/value.h"

namespace {

void round_trip(const MATRIX_DATA_TYPE* tp, const void* v) {
  RECORD_LIST64* rl = new_recordlist64(0, 0);
  if (tp->convert_to_net(tp, rl, v) != 0) __builtin_trap();
  int64_t n = setup_recordlist64(rl);
  if (n < 0) __builtin_trap();
  if (mx_is_vector_code(tp->type) && get_size_endian(rl->data, n) != n) __builtin_trap();
  void* again = tp->convert_to_host(tp, rl->data, n, MX_ATYPE::tagged, nullptr, __FILE__, __LINE__);
  if (!again || tp->cmp(tp, v, again) != 0) __builtin_trap();
  tp->free_data(const_cast<MATRIX_DATA_TYPE*>(tp), again);
  free_recordlist64(rl);
}

void from_stored(const MATRIX_DATA_TYPE* tp, const uint8_t* data, size_t size) {
  for (MX_ATYPE kind : {MX_ATYPE::tagged, MX_ATYPE::collector}) {
    void* v = tp->convert_to_host(tp, data, static_cast<int64_t>(size), kind, nullptr, __FILE__, __LINE__);
    if (!v) return;
    if (kind == MX_ATYPE::tagged) {
      round_trip(tp, v);
      tp->free_data(const_cast<MATRIX_DATA_TYPE*>(tp), v);
    } else if (tp->md2sexp) {
      tp->md2sexp(tp, v);
    }
  }
}

void from_raw(const MATRIX_DATA_TYPE* tp, const uint8_t* data, size_t size) {
  if (!tp->sexp2md || tp->type == MX_TYPE_SEXP || size > UINT32_MAX) return;
  ZU_SEXP* raw = get_raw(data, static_cast<uint32_t>(size));
  int cpy = -1;
  void* v = tp->sexp2md(&cpy, tp, raw);
  if (!v) return;
  if (mx_is_vector_code(tp->type) && tp->get_size(tp, v) > static_cast<int64_t>(size)) __builtin_trap();
  if (tp->cmp(tp, v, v) != 0) __builtin_trap();
  mxt_print(tp, v, "%d");
  tp->md2sexp(tp, v);
  if (cpy == 1) tp->free_data(const_cast<MATRIX_DATA_TYPE*>(tp), v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    init_qnlisp();
    init_element_types();
    return true;
  }();
  (void)ready;
  if (size < 1) return 0;
  const MATRIX_DATA_TYPE* tp = get_matrix_data_type(data[0] & 31);
  {
    ZuThreadScope scope("elements fuzz");
    GcFrame frame("elements fuzz");
    get_size_endian(data + 1, static_cast<int64_t>(size - 1));
    if (tp && tp->convert_to_host) from_stored(tp, data + 1, size - 1);
    if (tp) from_raw(tp, data + 1, size - 1);
  }
  // What the input made is freed before the next one, as in the reader
  // harnesses: the collector would free it only later, and libFuzzer's
  // memory limit and leak check count it meanwhile.
  gc_collect_now();
  return 0;
}
