#include "base/panic.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

void er_panic(const char* label) {
  // Format into a stack buffer and write once: the stream layer may be the
  // broken part, and nothing here may allocate.
  char buf[1024];
  int n = std::snprintf(buf, sizeof buf, "\n************\n%s (%i)\n************\n",
                        label ? label : "", static_cast<int>(getpid()));
  if (n < 0) n = 0;
  if (static_cast<size_t>(n) >= sizeof buf) n = sizeof buf - 1;
  const char* p = buf;
  while (n > 0) {
    ssize_t w = ::write(2, p, static_cast<size_t>(n));
    if (w <= 0) break;
    p += w;
    n -= static_cast<int>(w);
  }
  _exit(1);
}
