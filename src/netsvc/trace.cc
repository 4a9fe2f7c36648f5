#include "netsvc/trace_impl.h"

#include "base/paths.h"

bool net_trace_on() {
  static const bool on = u_getenv("QNMX_TRACE") != nullptr;
  return on;
}

std::string net_printable(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = '?';
  }
  return out;
}
