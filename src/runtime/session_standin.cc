#include "runtime/session_standin_impl.h"

int open_session(int) { return 0; }

ZU_SEXP* remote_session(ZUISP_ENV*, int, URL*, const L_CHAR*, const L_CHAR*, const L_CHAR*, ZU_SEXP*,
                        const char*, int, int, REMOTE_SESSION_OPT*) {
  return get_error_ascii(nullptr, 0, ZU_ER_NOT_AVAILABLE, "remote_session",
                         list(get_string_ascii("remote sessions are not available")));
}
