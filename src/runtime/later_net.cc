// Network services the interpreter links call but that belong to the
// network layer; until it exists each answers as "not available here".
#include <cerrno>

#include "runtime/later_services.h"

void check_proxy(PROXY_INFO* out, const char*) {
  out->type = 1;
  out->proxy_ip = 0;
  out->proxy_port = 0;
}

void set_serverinfo(SERVER_INFO*, int, int) {}

STREAM* s_connect_ZUoHTTP_2(int* err, const char*, int, int, int, int, int) {
  if (err) *err = EPROTONOSUPPORT;
  return nullptr;
}

int new_accept(STREAM** line_stream, STREAM*, ZU_INTERPRETER*, PERMISSION_LIST*) {
  if (line_stream) *line_stream = nullptr;
  return -1;
}

void remote_session_tick(void*) {}
