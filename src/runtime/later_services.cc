#include "runtime/later_services.h"

#include <atomic>

#include "base/alloc.h"
#include "runtime/log.h"

namespace {
std::atomic<char*> setagent_msg{nullptr};
}

char* set_setagent_msg(const char* text) {
  char* copy = copy_str(text);
  char* old = setagent_msg.exchange(copy);
  d_f_ree(old);
  return copy;
}

const char* get_setagent_msg() { return setagent_msg.load(); }

void init_log(ZUISP_ENV* env0, ZUISP_ENV* env1) { zu_init_log(env0, env1); }
