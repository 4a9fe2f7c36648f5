#include "support/test_paths.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* test_path(const char* name) {
  for (const TestPath* p = qnmx_test_paths; p->name; ++p)
    if (std::strcmp(p->name, name) == 0) return p->path;
  std::fprintf(stderr, "test path \"%s\" is not registered for this binary\n", name);
  std::abort();
}
