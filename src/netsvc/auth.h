// Authentication of peers.
//
// Before this agent serves a file to a peer (the agent's Get, a peer's file
// edit), it works out which authentication services the file's path
// requires from the ".zuaccess" files of the document and system trees,
// asks the peer over the same link for matching results with a local
// evaluation of (auth-transaction 1 path (quote (service-list ...))), and
// judges the (result-list ...) the peer sends back. Both sides live in
// every agent: the server side runs in the thread serving the request, the
// client side when a server's question arrives.
//
// Methods are rows of the table `att`, one AUTH_TABLE each, found by type
// number or by name: "fix-user-passwd" (a fixed user and password written in
// an access file) and "localhost-root" (a key that only a local peer of this
// agent's user can read from a file this agent writes).
//
// What stays true:
// - A path is checked in the normalized form that get_path resolves, so the
//   rules checked are those of the file served; ".." and non-strings are
//   denied.
// - An access file counts from the next check on as it changes: it is read
//   again whenever its identity, size or times differ from those of the
//   file read last.
// - An access file that cannot be read or run, or that was removed, denies
//   every path at or below its directory until a file is read without
//   error; a tree without access files allows every path without asking
//   the peer.
// - Lists from peers are bounded (depth 64, 1,000 entries); chain types and
//   methods this side does not know are ignored.
// - No password reaches a trace, an error value or a service list.
//
// Locking: auth_lock (LOCK_AUTH, the outermost level: access files run any
// built-in while it is held) guards both shared sets, the directory tree,
// every connection set and every service and result. It is never held
// while a question travels to the peer. Functions named `_name` expect it
// held, and it is not recursive: a task that already holds it is denied,
// never stopped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "text/lchar.h"
#include "zu/env.h"
#include "zu/value.h"

struct ZU_INTERPRETER;
struct AUTH_TABLE;
struct AUTH_DIR;

// Result codes, bound as integers of these names in the root environment.
constexpr int ARS_NONE = 1;          // made, not judged
constexpr int ARS_DENY = 2;
constexpr int ARS_ACCEPT = 4;
constexpr int ARS_NOT_USE = 8;
constexpr int ARS_REQUIRED = 16;     // asked for by a server, not yet sendable
constexpr int ARS_SEND_PERMIT = 32;  // may be sent to a server

// How the first node of a chain combines the chain.
constexpr int AUTH_CHAIN_NONE = 0;
constexpr int AUTH_CHAIN_AND = 1;  // every item needed
constexpr int AUTH_CHAIN_OR = 2;   // one item enough

// Method type numbers (the row of type AUTH_TYPE_END ends the table).
constexpr int AUTH_TYPE_END = 2;
constexpr int AUTH_TYPE_FIX_USER_PASSWD = 3;
constexpr int AUTH_TYPE_LOCALHOST_ROOT = 5;

// Bounds of the lists a peer sends.
constexpr int AUTH_LIST_MAX_DEPTH = 64;
constexpr int AUTH_LIST_MAX_ENTRIES = 1000;

// The first part of every service; a method's service adds its own fields.
// Texts are tagged copies.
struct AUTH_SERVICE_HEADER {
  const AUTH_TABLE* tbl;
  L_CHAR* service_name;  // "SERVICE://site/name", or null when a peer hid it
  L_CHAR* description_url;
  L_CHAR* description;
  unsigned open_service_name : 1;  // the name is shown to peers
  unsigned open_service_type : 1;  // the method is shown to peers
};

// The first part of every result; a method's result adds its data.
struct AUTH_RESULT_HEADER {
  AUTH_RESULT_HEADER* next;
  AUTH_SERVICE_HEADER* service;
  int status;  // an ARS_ code
};

// Rule trees: a node holds an item or a sub-tree; the type of a chain's
// first node says how the chain combines. Nodes never own their services
// or results.
struct AUTH_SERVICE_LIST {
  AUTH_SERVICE_LIST* next;
  AUTH_SERVICE_HEADER* service;
  AUTH_SERVICE_LIST* list;
  int type;
};
struct AUTH_RESULT_LIST {
  AUTH_RESULT_LIST* next;
  AUTH_RESULT_HEADER* result;
  AUTH_RESULT_LIST* list;
  int type;
};

// One rule of a directory: the services required for a file suffix (null:
// any) and an operation (null: any).
struct AUTH_PREFIX {
  AUTH_PREFIX* next;
  L_CHAR* prefix;
  char* operation;
  AUTH_SERVICE_LIST* at_list;
};

// Shared by every connection: the services defined by access files, the
// directory tree (read on first use) and the check counter.
struct AUTH_SET_SERVER {
  AUTH_SERVICE_LIST* auth_service_list;  // owns its services, newest first
  AUTH_DIR* auth_dir_tree;
  int auth_gc_no;  // raised by one per path check
};

// Shared by every connection: what this agent answers servers with.
struct AUTH_SET_CLIENT {
  AUTH_SERVICE_LIST* auth_service_list;   // learnt from servers; owns them
  AUTH_RESULT_HEADER* preset_result_list;   // from the client result files; own their services
  AUTH_RESULT_HEADER* required_result_list;  // made on servers' demand
  unsigned enable_client_result : 1;      // the result files have been read
};

// One per interpreter.
struct AUTH_CONNECTION_SET {
  AUTH_SET_SERVER* server_set;
  AUTH_SET_CLIENT* client_set;
  AUTH_RESULT_HEADER* server_result;  // received from this peer, newest first
  ZU_INTERPRETER* zui;
  int check_no;  // the path check now running for this peer
};

// One method. Absent operations are null and skipped where called. Slots
// 1 to 14 in this order.
struct AUTH_TABLE {
  int type;
  const char* name;  // the name used in the type attribute
  unsigned default_open_service_name : 1;
  unsigned default_open_service_type : 1;
  // A copy of a service (header texts duplicated).
  AUTH_SERVICE_HEADER* (*new_auth_service)(const AUTH_SERVICE_HEADER* tmpl);
  // A server-side service from a `service` form with the attributes sf.
  AUTH_SERVICE_HEADER* (*parse_info)(const AUTH_SERVICE_HEADER* tmpl, ZU_SEXP* form, ZU_SYM_FIELD* sf);
  void (*free_auth_service)(AUTH_SERVICE_HEADER* s);
  // Adds the method's attributes to the head symbol of the service's entry
  // in a service list.
  void (*server_send_sexp)(AUTH_SERVICE_HEADER* s, ZU_SEXP* head);
  // Reads them at the client from the entry.
  void (*client_recv_sexp)(AUTH_SERVICE_HEADER* s, ZU_SEXP* form);
  // Phase 0 tries the service before the peer is asked (may answer a new
  // result, which the caller keeps); phase 1 judges the result just taken.
  AUTH_RESULT_HEADER* (*authentification)(AUTH_CONNECTION_SET* c, AUTH_SERVICE_HEADER* s, int phase);
  // Drops what the service kept for the finished check check_no.
  void (*gc_service)(AUTH_CONNECTION_SET* c, AUTH_SERVICE_HEADER* s, int check_no);
  // A result of status ARS_NONE for s (a copy of s when copy is set), its
  // fields taken from tmpl when given.
  AUTH_RESULT_HEADER* (*new_auth_result)(AUTH_SERVICE_HEADER* s, const AUTH_RESULT_HEADER* tmpl, int copy);
  void (*free_auth_result)(AUTH_RESULT_HEADER* r, int free_service);
  // The result's entry in a result list.
  ZU_SEXP* (*send_result_info)(AUTH_RESULT_HEADER* r);
  // Reads such an entry: its service found in the server set (null: made
  // from the entry, owned by the result); null when none.
  AUTH_RESULT_HEADER* (*recv_result_info)(AUTH_SET_SERVER* set, ZU_SEXP* form);
  void (*set_authentification_result)(AUTH_RESULT_HEADER* r, ZU_SEXP* form);
  // Prepares a client result in status ARS_REQUIRED; may raise it to
  // ARS_SEND_PERMIT.
  void (*client_transaction)(AUTH_SERVICE_HEADER* s, AUTH_RESULT_HEADER* r);
  // The names of the result's data attributes.
  ZU_SEXP* (*get_result_members)();
};

// The methods, ended by the row of type AUTH_TYPE_END.
extern const AUTH_TABLE att[];
const AUTH_TABLE* at_tbl(int type);
const AUTH_TABLE* at_tbl_type_name(const L_CHAR* name);

// ---- start-up and the runtime's operations (installed by init_netsvc)
// Creates the lock; binds in env (the root environment) `authentification`
// to a new child environment holding the built-ins `service` and `target`,
// and `auth-transaction` and the six ARS_ constants in env itself.
void init_authentificaition_table(ZUISP_ENV* env);
// A connection set for a new interpreter (called with zui_lock held: it
// takes no lock) and its end, which frees the peer's results.
AUTH_CONNECTION_SET* new_auth_connection_set_table(ZU_INTERPRETER* zui);
void free_auth_connection_set_table(AUTH_CONNECTION_SET* c);
// The server side's check of the calling thread's peer for path (a ZU
// string) and operation: null when allowed, else the error 0x80040d10 of
// "authentification (DENIED)" (with the services still required when some
// were asked for), or the error the peer answered the question with.
ZU_SEXP* auth_filepath_passive_table(ZU_SEXP* path, const char* operation);

// ---- the lock and the shared sets
void lock_auth();
void unlock_auth();
AUTH_SET_SERVER* auth_server_set();
AUTH_SET_CLIENT* auth_client_set();

// ---- the server side (auth_lock held)
// The rules of a normalized path for an operation (null: any): the lists of
// every directory from the root down that has a matching rule, combined
// with "and", the deeper directory first; null when there is none. Reads
// each directory's access file when it is not the one read last.
// *broken is set when a directory on the way has an access file that
// failed: the path is then denied whatever the list says.
AUTH_SERVICE_LIST* _exec_authentification(AUTH_SET_SERVER* set, const L_CHAR* path, const char* operation,
                                          int* broken);
// The services of list still required given the results c holds (phase 0
// may make results first); *status starts at ARS_ACCEPT and becomes
// ARS_DENY when a held or new result denies (the answer is then null).
AUTH_SERVICE_LIST* _ap_authentification(int* status, AUTH_SERVICE_LIST* list, AUTH_CONNECTION_SET* c);
// Frees the nodes of a tree (not its services).
void free_auth_service_list(AUTH_SERVICE_LIST* list);
// (service-list type="and|or|none" ...) of a tree: services that show
// neither name nor type are left out. The caller holds the memory lock.
ZU_SEXP* auth_service_list_sexp(AUTH_SERVICE_LIST* list);
// Takes a peer's (result-list ...): each result replaces the connection's
// earlier one for its service and is judged. -1 when the form is no result
// list or passes the bounds (nothing is taken), else the number taken.
int _auth_recv_result_list(AUTH_CONNECTION_SET* c, ZU_SEXP* list);
// Runs gc_service of every service of the server set for check_no.
void _auth_gc_check(AUTH_CONNECTION_SET* c, int check_no);

// ---- the client side (auth_lock held)
// What the client side knows of the link a server's question came on.
struct AUTH_CLIENT_LINK {
  // The link stays on this host (a loopback address or one of the host's
  // own): only then may a key file be read for the server.
  bool peer_local = false;
  // The question answers a query sent while evaluating for a peer on an
  // accepted link: no key file is read and no preset result sent for it.
  bool for_peer = false;
  // The sites (the host of "SERVICE://site/name") of preset results that
  // name the host this link is connected to: only those presets are sent
  // (none for a question a peer brought about).
  std::vector<std::basic_string<L_CHAR>> sites;
};
// The (result-list ...) answering a server's (service-list ...), or an
// error value for a form that is no service list or passes the bounds.
ZU_SEXP* _auth_transaction(AUTH_SET_CLIENT* cs, ZU_SEXP* service_list, const AUTH_CLIENT_LINK& link);
// The site of a service name "SERVICE://site/name" (empty for none).
std::basic_string<L_CHAR> auth_service_site(const L_CHAR* name);
// Reads the client result files once (before the first answer).
void _auth_read_client_results(AUTH_SET_CLIENT* cs);
// Whether a peer at IPv4 address ip (host order) is this host: a loopback
// address or one of the n addresses of own.
bool auth_peer_is_local(uint32_t ip, const uint32_t* own, size_t n);
