#include "runtime/agent_name.h"

#include <mutex>

#include "base/alloc.h"

namespace {
std::mutex name_mu;
L_CHAR* agent_name = nullptr;
}  // namespace

void set_agent_name(const L_CHAR* name) {
  L_CHAR* copy = ll_copy_str(name);
  L_CHAR* old;
  {
    std::lock_guard<std::mutex> g(name_mu);
    old = agent_name;
    agent_name = copy;
  }
  d_f_ree(old);
}

L_CHAR* copy_agent_name() {
  std::lock_guard<std::mutex> g(name_mu);
  return ll_copy_str(agent_name);
}
