#include "netsvc/netsvc.h"

#include "netsvc/auth.h"
#include "netsvc/http_agent.h"
#include "netsvc/net_impl.h"
#include "netsvc/proxy.h"
#include "netsvc/session.h"
#include "netsvc/serverinfo.h"
#include "netsvc/zuohttp.h"
#include "runtime/net_ops.h"
#include "zulib/library.h"

namespace {

// The families of this layer, each handed to the library row of its name
// and environment.
const ZU_FAMILY kBuiltins[] = {
    {"GetURL", 0, init_GetURL},
    {"OpenInterpreter", 0, init_OpenInterpreter},
    {"CloseInterpreter", 0, init_CloseInterpreter},
    {"Remote", 0, init_Remote},
    {"GetIid", 0, init_GetIid},
    {"SetMainInterpreter", 1, init_SetMainInterpreter},
    {"WaitInterpreter", 0, init_WaitInterpreter},
    {"SetThisAgentName", 1, init_SetThisAgentName},
    {"GetLocalHostName", 0, init_GetLocalHostName},
    {"GetLocalHostIP", 0, init_GetLocalHostIP},
    {"SetLocalHostName", 0, init_SetLocalHostName},
    {"ComposeURL", 0, init_ComposeURL},
    {"GetCPUStatus", 1, init_GetCPUStatus},
    {"URLStringCode", 0, init_URLStringCode},
    {"DecodeURLString", 0, init_DecodeURLString},
    {"SetProxy", 1, init_SetProxy},
    {"GetProxy", 0, init_GetProxy},
    {"SetNativeProxy", 1, init_SetNativeProxy},
    {"GetNativeProxy", 0, init_GetNativeProxy},
    {"SessionEnvironment", 1, init_SessionEnvironment},
    {"GetMainInterpreter", 0, init_GetMainInterpreter},
    {"GetZUIinfo", 0, init_GetZUIinfo},
    {"Get", 0, init_Get},
    {"OpenSession", 0, init_OpenSession},
    {"CloseSession", 0, init_CloseSession},
    {"RemoteSession", 0, init_RemoteSession},
};

// What sessions and the HTTP agent keep, marked with the world stopped.
void gc_net_layer() {
  gc_session_zup();
  gc_http_agent();
}

}  // namespace

void init_netsvc() {
  ZU_NET_OPS ops{};
  ops.init_proxy = init_proxy_table;
  ops.check_proxy = check_proxy_table;
  ops.init_serverinfo = init_serverinfo_table;
  ops.set_serverinfo = set_serverinfo_table;
  ops.init_authentificaition = init_authentificaition_table;
  ops.new_auth_connection_set = new_auth_connection_set_table;
  ops.free_auth_connection_set = free_auth_connection_set_table;
  ops.auth_filepath_passive = auth_filepath_passive_table;
  ops.zuohttp_keep_alive = get_proxy_keep_alive;
  ops.init_http_agent = http_agent_start;
  ops.gc_net = gc_net_layer;
  set_net_ops(&ops);
  init_zuohttp_ops();
  init_session_ops();
  for (const ZU_FAMILY& f : kBuiltins) zulib_set_binder(f);
}
