#include "base/log_hook.h"

std::atomic<LOG_VPRINTF> __log_vprintf{nullptr};

int log_printf(int level, int layer, void* log_data, const char* fmt, ...) {
  LOG_VPRINTF hook = __log_vprintf.load();
  if (!hook) return -1;
  va_list ap;
  va_start(ap, fmt);
  int r = hook(level, layer, log_data, fmt, ap);
  va_end(ap);
  return r;
}
