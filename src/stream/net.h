// TCP listeners and clients, the host-name resolver with its cache, the
// blacklist of hosts that timed out, and access lists. IPv4 addresses are
// ints in host order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "stream/stream.h"

// A network address passed by value.
struct HOST_ADDR {
  uint16_t type;  // 4 for IPv4
  uint16_t size;  // bytes of addr in use
  unsigned char addr[16];  // IPv4 in the first four, network order
};
HOST_ADDR getHA_v4(int ip);

// 0 when both name the same machine (equal addresses after resolving the
// names, or both on the loopback network), else 1. A null name uses the
// address beside it.
int hostcmp(const char* name1, int ip1, const char* name2, int ip2);

// ---------------------------------------------------------------------------
// Server

// An accepted connection: the stream and the peer's address.
struct ACCESS_KEY {
  STREAM* s;
  int ip;
  void* work;
};

// A listening stream on the first port of [base, base + count) that binds
// (every interface); *port receives the port. Null on failure.
STREAM* init_server(int* port, int base, int count);
// As init_server on one local address (e.g. 127.0.0.1).
STREAM* init_server2(int* port, int base, int count, int bind_ip);
// Waits for one connection. A tagged record the caller frees (d_f_ree), or
// null when the listener failed or was closed.
ACCESS_KEY* accept_connection(STREAM* listener);

// ---------------------------------------------------------------------------
// Client

// A TCP stream to host (through the resolver) or, without a host, to ip.
// Null with the system error number in *cerr: ETIMEDOUT when the
// connection was not made in time, EHOSTUNREACH for a name that does not
// resolve, EINVAL for a bad port. func and work are not used.
STREAM* new_connection(int* cerr, const char* host, int ip, int port, void* func, void* work);
// As new_connection, but a host whose connection timed out fails at once
// (ETIMEDOUT) while it is blacklisted.
STREAM* bl_new_connection(int* cerr, const char* host, int ip, int port, void* func, void* work);
// Connect time-out in milliseconds (30 s by default).
void net_set_connect_timeout_ms(int ms);

// ---------------------------------------------------------------------------
// Blacklist

struct BL_ENTRY;
struct BL_COMMAND;
// Returns 2 for a time-out, 0 otherwise.
using BL_CONNECT = int (*)(BL_COMMAND* cmd, BL_ENTRY* e);
using BL_RETRY = int (*)(BL_ENTRY* e);

struct BL_ENTRY {
  BL_ENTRY* next;
  char* host;     // the key
  int port;       // recorded by the connect procedure
  int failed;
  int64_t until_ms;  // bl_new_connection: failed until this time
  int interval_ms;   // bl_do: time to the next probe
  BL_RETRY retry;
  int probing;
};

// A connection command, fields in order.
struct BL_COMMAND {
  const char* host;
  int host_len;  // with the terminating zero
  int slot;
  BL_RETRY retry;
  BL_CONNECT connect;
  void* zui;
  void* proxy;
  int result;
};

// Runs cmd->connect unless the host's entry is marked failed; a report of
// 2 marks it failed, and failed hosts are then probed through cmd->retry
// until a probe reports 0. Returns the connect result, -1 when it did not
// run.
int bl_do(BL_COMMAND* cmd);
// The entry of host (created when missing); never freed while the program
// runs.
BL_ENTRY* bl_entry(const char* host);
// Times in milliseconds: how long bl_new_connection keeps a host failed,
// and the first and longest probe intervals of bl_do.
void bl_set_times(int fail_ms, int probe_first_ms, int probe_max_ms);
// Forgets every failure.
void bl_clear();
// 1 while host's entry is marked failed (read under the blacklist's lock).
int bl_is_failed(const char* host);

// ---------------------------------------------------------------------------
// Resolver

// Resolves a host name (or dotted address) to an IPv4 address through the
// cache; 0 with *ip, or -1.
int resolve_host(const char* name, int* ip);
// The host name of an address (cached reverse look-up) as a
// thread-temporary text, or null.
char* resolve_addr(int ip);
// 1 when the forward look-up of name gives ip among its addresses (a name
// found by a reverse look-up is trusted only when it resolves back), else 0.
int resolve_confirms(const char* name, int ip);
// The look-ups behind the cache: forward fills up to max IPv4 addresses and
// returns their number (-1 none); reverse writes a host name of at most len
// bytes and returns 0 (-1 none).
struct RESOLVER_OPS {
  int (*forward)(const char* name, int* ips, int max);
  int (*reverse)(int ip, char* host, size_t len);
};
// Replaces the system's look-ups (null restores them) and drops the cache.
void set_resolver_ops(const RESOLVER_OPS* ops);
// Cache lifetimes and the longest wait for an answer, in milliseconds.
void resolver_set_times(int cache_ms, int negative_ms, int wait_ms);
// Drops the cache.
void resolver_clear();

// ---------------------------------------------------------------------------
// Access lists

constexpr int ACL_ALL = 0;
constexpr int ACL_IP = 1;
constexpr int ACL_DOMAIN = 2;

struct ACCESS_LIST {
  ACCESS_LIST* next;
  int kind;       // ACL_*
  uint32_t ip;    // host order
  uint32_t mask;
  char* domain;   // host-name suffix
  int auth_type;  // stored only
  int auth_flags;
  int result;     // 1 allow, 0 deny
};

struct ACCESS_PERMISSION {
  ACCESS_LIST* head;
  ACCESS_LIST* tail;
};

void init_access_permission(ACCESS_PERMISSION* ap);
// Appends a rule: by address and mask when ip is given (dotted texts as
// inet_aton reads them; a missing mask is 255.255.255.255), else by
// host-name suffix when domain is given, else one that matches every peer.
// 0, or -1 when the address or mask cannot be read (nothing is added).
int insert_access_list(ACCESS_PERMISSION* ap, const char* ip, const char* mask,
                       const char* domain, int auth_type, int auth_flags, int result);
// The same with the address and mask as numbers.
int insert_access_list_v4(ACCESS_PERMISSION* ap, uint32_t ip, uint32_t mask, int auth_type,
                          int auth_flags, int result);
// The first rule that matches ip decides: nonzero when it allows. No
// matching rule denies (0).
int check_permission(ACCESS_PERMISSION* ap, int ip, int flag);
void free_access_list(ACCESS_PERMISSION* ap);
