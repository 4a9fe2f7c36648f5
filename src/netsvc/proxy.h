// The proxy setting of outgoing interpreter links: how a connecting
// interpreter reaches another agent (directly as a plain link, over
// ZUoHTTP, or over ZUoHTTP through an HTTP proxy), with per-host
// exceptions (the direct-access list). The agent's own host is always
// reached directly.
//
// One process-wide setting, `proxyinfo`, guarded by the proxy lock; every
// operation takes the lock for its whole run and hands out copies. The
// keep-alive mode of HTTP proxy connections is a separate atomic word.
#pragma once

#include "runtime/net_ops.h"
#include "zu/value.h"

// A direct-access entry: connections to `name` use `type` (1 or 2).
struct SERVER_LIST {
  SERVER_LIST* next;  // newest first
  char type;
  char* name;  // owned
};

// The type names, indexed by type ("NoProxy", "ZUoHTTP", "HTTPProxy"); null
// for the other indices.
extern const char* const type_chr[PROXY_HTTP + 1];

// Sets type 1 (NoProxy) with no server and an empty direct-access list.
void init_proxy_table();
// Type 1 or 2 clears the server, the port and the direct-access list; type
// 4 sets the server (copied) and the port and keeps the list. 0, or -1 for
// another type or a type 4 without a server (nothing changed).
int set_proxy(int type, const char* server, int port);
// Connections to server use type (1 or 2): an entry of that name gets the
// type, else a new entry is added. 0, or -1 for another type.
int set_direct_access(int type, const char* server);
// (proxyinfo "NoProxy"), (proxyinfo "ZUoHTTP"), or for type 4
// (proxyinfo "HTTPProxy" server port (server type-name host)...), the
// entries newest first.
ZU_SEXP* get_proxyinfo();
// How to reach host: type 1 for the agent's own host ("localhost",
// "127.0.0.1", the site name or address), else the type of its
// direct-access entry, else the setting with a copy of its server name.
void check_proxy_table(PROXY_INFO* info, const char* host);

// The keep-alive mode of HTTP proxy connections: 32 (on, the default) or 0.
int get_proxy_keep_alive();
void set_proxy_keep_alive(int mode);
