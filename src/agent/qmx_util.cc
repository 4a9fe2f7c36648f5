// Helpers shared by the matrix commands (agent_impl.h).
#include <cstdlib>

#include "agent/agent_impl.h"
#include "zu/builtin_kit.h"
#include "zu/errcodes.h"

int qmx_mode_number(const L_CHAR* text) {
  static const char* const kModes[] = {"direct", "server", "client"};
  for (int i = 0; i < 3; ++i)
    if (option_is(text, kModes[i])) return i;
  return -1;
}

ZU_SEXP* qmx_store_error(ZU_SEXP* at, const char* func, int result) {
  return error_at(at, ZU_ER_STORE, func, get_integer(result, nullptr));
}

bool qmx_trace() {
  static const bool on = std::getenv("QNMX_TRACE") != nullptr;
  return on;
}
