#include "runtime/later_services.h"

#include <atomic>

#include "base/alloc.h"
#include "runtime/log.h"

namespace {
std::atomic<char*> setagent_msg{nullptr};
}

void init_proxy() {}
void init_ZUoHTTP_server() {}
void init_serverinfo() {}
void init_session() {}
void init_http_agent() {}
void init_authentificaition(ZUISP_ENV*) {}

char* set_setagent_msg(const char* text) {
  char* copy = copy_str(text);
  char* old = setagent_msg.exchange(copy);
  d_f_ree(old);
  return copy;
}

const char* get_setagent_msg() { return setagent_msg.load(); }

AUTH_CONNECTION_SET* new_auth_connection_set(ZU_INTERPRETER*) { return nullptr; }
void free_auth_connection_set(AUTH_CONNECTION_SET*) {}
void wait_rs_queue() {}
void _wait_rs_queue() {}

void init_log(ZUISP_ENV* env0, ZUISP_ENV* env1) { zu_init_log(env0, env1); }
