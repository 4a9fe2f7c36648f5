// The qnmx command. Until the script runner exists it only reports that
// the runtime started.
#include <cstdio>

#include "base/endian.h"

int main(int argc, char** argv) {
  (void)argv;
  init_endian();
  if (argc < 2) {
    std::printf("qnmx: runtime base ready (%s-endian host); the script runner is not built yet\n",
                endian_flag ? "little" : "big");
    return 0;
  }
  std::fprintf(stderr, "qnmx: cannot run scripts yet\n");
  return 1;
}
