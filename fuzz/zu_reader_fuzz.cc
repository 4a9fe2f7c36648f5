// Fuzz target: arbitrary bytes are read as ZU source (the first byte picks
// the encoding and the reader's flags: zu_fuzz_input.h) and every form read is printed in
// each form; nothing may crash, stop the process or leak.
#include <cstdint>
#include <string>

#include "stream/stream.h"
#include "text/codemethod.h"
#include "zu/gc.h"
#include "zu/printer.h"
#include "zu/reader.h"
#include "zu/value.h"
#include "zu_fuzz_input.h"

namespace {

void print_each(ZU_SEXP* form) {
  static const int kFlags[] = {ZU_PRINT_LIST, ZU_PRINT_XML | ZU_PRINT_INDENT, ZU_PRINT_HTML | ZU_PRINT_TEXT,
                               ZU_PRINT_MULTIROOT | ZU_PRINT_RAW_SIZE};
  for (int flags : kFlags) {
    STREAM* out = s_open_string_write(utf8_cm);
    print_sexp(out, form, flags);
    d_s_close(out);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  {
    ZuThreadScope scope("fuzz");
    ZU_SEXP* l = open_fuzz_input(data, size);
    if (data[0] & 0x40) set_encoding(l);
    // Every form consumes input, so the walk ends; the bound is a guard.
    int n = 0;
    for (ZU_SEXP* p = l; get_type(p) == ZU_TYPE_LIST && n < 100000; p = p->pair.cdr, ++n) print_each(p->pair.car);
    print_each(l);
  }
  // What the input made is freed before the next one: libFuzzer runs its
  // leak check after every input that leaves blocks behind, which the
  // collector would otherwise free only later.
  gc_collect_now();
  return 0;
}
