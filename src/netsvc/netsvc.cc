#include "netsvc/netsvc.h"

#include "netsvc/net_impl.h"
#include "netsvc/proxy.h"
#include "netsvc/serverinfo.h"
#include "netsvc/zuohttp.h"
#include "runtime/net_ops.h"
#include "zulib/library.h"

namespace {

struct NAMED_BINDER {
  const char* name;
  ZULIB_BINDER bind;
};

const NAMED_BINDER kBuiltins[] = {
    {"GetURL", init_GetURL},
    {"OpenInterpreter", init_OpenInterpreter},
    {"CloseInterpreter", init_CloseInterpreter},
    {"Remote", init_Remote},
    {"GetIid", init_GetIid},
    {"SetMainInterpreter", init_SetMainInterpreter},
    {"WaitInterpreter", init_WaitInterpreter},
    {"SetThisAgentName", init_SetThisAgentName},
    {"GetLocalHostName", init_GetLocalHostName},
    {"GetLocalHostIP", init_GetLocalHostIP},
    {"SetLocalHostName", init_SetLocalHostName},
    {"ComposeURL", init_ComposeURL},
    {"GetCPUStatus", init_GetCPUStatus},
    {"URLStringCode", init_URLStringCode},
    {"DecodeURLString", init_DecodeURLString},
    {"SetProxy", init_SetProxy},
    {"GetProxy", init_GetProxy},
    {"GetMainInterpreter", init_GetMainInterpreter},
    {"GetZUIinfo", init_GetZUIinfo},
};

}  // namespace

void init_netsvc() {
  ZU_NET_OPS ops{};
  ops.init_proxy = init_proxy_table;
  ops.check_proxy = check_proxy_table;
  ops.init_serverinfo = init_serverinfo_table;
  ops.set_serverinfo = set_serverinfo_table;
  set_net_ops(&ops);
  init_zuohttp_ops();
  for (const NAMED_BINDER& b : kBuiltins) zulib_set_binder(b.name, b.bind);
}
