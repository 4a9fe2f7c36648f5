#include "base/zutime.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/alloc.h"

unsigned int get_zutime() {
  return static_cast<unsigned int>(static_cast<long long>(std::time(nullptr)) - kZuEpochOffset);
}

char* get_zutime_str(unsigned int t, int format) {
  if (format != 1 && format != 2) return nullptr;
  std::time_t u = static_cast<std::time_t>(static_cast<long long>(t) + kZuEpochOffset);
  std::tm tm{};
  if (!localtime_r(&u, &tm)) return nullptr;
  char buf[64];
  if (format == 1) {
    if (!asctime_r(&tm, buf)) return nullptr;  // ctime(t) is asctime(localtime(t))
  } else {
    std::snprintf(buf, sizeof buf, "%04i-%02i-%02i", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  }
  return copy_str(buf);
}
