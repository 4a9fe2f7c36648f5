// The `_name` functions of the network services state the lock their
// caller holds: each lock of the layer stops a caller without it, naming
// the lock and the function's place, and lets one that holds it through.
#include <gtest/gtest.h>

#include <functional>

#include "netsvc/auth_impl.h"
#include "netsvc/http_agent.h"
#include "netsvc/raw_image_impl.h"
#include "netsvc/session.h"
#include "netsvc/session_zup_impl.h"
#include "netsvc/zuohttp_impl.h"
#include "netsvc_test_util.h"
#include "runtime/interp.h"

namespace {

struct HeldCase {
  const char* function;
  std::function<void()> call;  // the call, made without its lock
  std::function<void()> take;  // takes the lock
  std::function<void()> give;  // gives it back
  const char* stop;            // what the stop says
};

TEST(NetLockDeathTest, UnderscoreFunctionsStopACallerWithoutTheirLock) {
  if (!QNMX_LOCK_CHECK) GTEST_SKIP() << "checked in debug and sanitizer builds";
  start_netsvc_once();
  zoh_init_server();
  init_zu_ri();
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  static const uint32_t kNoCookie[2] = {1, 1};
  static AUTH_SET_CLIENT client{};
  client.enable_client_result = 1;  // nothing is read when the call runs
  static HTTP_AGENT_LIST* entry = insert_http_agent_list("/lock-held-test", nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(entry, nullptr);
  const HeldCase cases[] = {
      {"_rs_wait_queue", [] { _rs_wait_queue(); }, [] { lock_task(zui_lock); },
       [] { unlock_task(zui_lock, "test"); }, "zui_lock \\(level 100\\) is not held at .*session_builtins\\.cc"},
      {"_find_con_session", [] { _find_con_session(-1); }, [] { lock_task(session_lock); },
       [] { unlock_task(session_lock, "test"); }, "session_lock \\(level 95\\) is not held at .*session_zup\\.cc"},
      {"_zoh_search", [] { _zoh_search(kNoCookie); }, [] { lock_task(zoh_lock); },
       [] { unlock_task(zoh_lock, "test"); }, "zoh_lock \\(level 150\\) is not held at .*zuohttp_session\\.cc"},
      {"_ri_evict", [] { _ri_evict(); }, [] { lock_task(ri_lock); }, [] { unlock_task(ri_lock, "test"); },
       "ri_lock \\(level 185\\) is not held at .*raw_image\\.cc"},
      {"_auth_read_client_results", [] { _auth_read_client_results(&client); }, [] { lock_auth(); },
       [] { unlock_auth(); }, "auth_lock \\(level 5\\) is not held at .*auth_client\\.cc"},
      {"_invalid_all", [] { _invalid_all(entry); }, [] { lock_ha_access(entry, 0); },
       [] { unlock_ha_access(entry); }, "the access lock of /lock-held-test is not held at .*http_agent_list\\.cc"},
  };
  for (const HeldCase& c : cases) {
    EXPECT_EXIT(c.call(), testing::ExitedWithCode(1), c.stop) << c.function;
    c.take();
    c.call();
    c.give();
  }
}

}  // namespace
