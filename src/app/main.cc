// The qnmx command. Until the script runner exists it only reports that
// the runtime started.
#include <cstdio>

#include "base/endian.h"
#include "base/entry.h"

namespace {

int qnmx_main(int argc, char** argv) {
  (void)argv;
  if (argc < 2) {
    std::printf("qnmx: runtime ready (%s-endian host)\n", endian_flag ? "little" : "big");
    return 0;
  }
  std::fprintf(stderr, "qnmx: cannot run scripts yet\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) { call_main(argc, argv, qnmx_main); }
