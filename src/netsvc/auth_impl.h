// Inside the authentication of peers: the directory tree, the helpers the
// framework and the methods share, and the methods' operations. Everything
// here runs with auth_lock held unless it says otherwise; functions that
// make ZU values need the memory lock too.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "base/lock.h"
#include "netsvc/auth.h"

// One directory of the document tree, as far as paths have passed through
// it. Kept for the life of the program; its access file is looked at on
// every check and read again whenever it is not the file last read.
struct AUTH_DIR {
  L_CHAR* dir_name;
  L_CHAR* total_path;   // its document path with a trailing "/"
  AUTH_DIR* child_list;  // the subdirectories read so far
  AUTH_DIR* child_next;
  AUTH_PREFIX* prefix;   // its rules, newest first
  // Its access file failed, could not be examined, or was removed: every
  // path below is denied until a file is read without error.
  int broken;
  // The rules (or the failure) are those of the file of this identity.
  int from_file;
  dev_t dev;
  ino_t ino;
  off_t size;
  int64_t mtime_ns;
  int64_t ctime_ns;
};

// ---- texts and attributes
using AuthText = std::basic_string<L_CHAR>;
AuthText auth_text(const char* ascii);
// The attribute `name` of an element's head symbol, or null.
const L_CHAR* auth_attr(ZU_SEXP* entry, const char* name);
// Adds name=value to a head symbol made by this module (nothing for null).
void auth_set_attr(ZU_SEXP* head, const char* name, const L_CHAR* value);
void auth_set_attr_u32(ZU_SEXP* head, const char* name, uint32_t value);
// A decimal u32: 1 to 10 digits and nothing else, at most 4294967295.
bool auth_read_u32(const L_CHAR* text, uint32_t* out);
// Equal texts, compared over both full lengths in time independent of
// where they differ; false when either is null.
bool auth_text_equal_ct(const L_CHAR* a, const L_CHAR* b);
bool auth_text_equal(const L_CHAR* a, const L_CHAR* b);
// Frees a tagged text after overwriting it (passwords).
void auth_free_secret(L_CHAR* text);
// True for a list whose head is the symbol `name`.
bool auth_is_named(ZU_SEXP* s, const char* name);
// "SERVICE://site/name" of a service name written in an access file, site
// being this agent's own (a tagged copy).
L_CHAR* auth_service_name(const L_CHAR* name);

// ---- service headers and entries
// Fills h as a copy of tmpl (texts duplicated).
void auth_header_copy(AUTH_SERVICE_HEADER* h, const AUTH_SERVICE_HEADER* tmpl);
void auth_header_free(AUTH_SERVICE_HEADER* h);
// A header template read from an entry's attributes (texts borrowed from
// the entry; the open flags are the method's defaults).
AUTH_SERVICE_HEADER auth_header_of_entry(const AUTH_TABLE* tbl, ZU_SEXP* entry);
// (service name= type= description= description-url=): what the header
// shows. The head symbol is the list's first member.
ZU_SEXP* auth_service_entry(const AUTH_SERVICE_HEADER* h);
// The same with status=: the start of a result's entry.
ZU_SEXP* auth_result_entry(const AUTH_RESULT_HEADER* r);
// The service of a result entry: found among the server set's services by
// method and name (by method alone for an entry without name), or, without
// a set, made from the entry (*owned set). Null when none.
AUTH_SERVICE_HEADER* auth_entry_service(AUTH_SET_SERVER* set, const AUTH_TABLE* tbl, ZU_SEXP* entry, bool* owned);
// The first service of list with method tbl and, when name is given, that
// name.
AUTH_SERVICE_HEADER* auth_find_service(AUTH_SERVICE_LIST* list, const AUTH_TABLE* tbl, const L_CHAR* name);
// Frees every result of a chain through its method.
void auth_free_results(AUTH_RESULT_HEADER* r, int free_service);

// ---- lists
AUTH_SERVICE_LIST* auth_list_node(AUTH_SERVICE_HEADER* service, AUTH_SERVICE_LIST* sub, int type);
// A copy of a tree's nodes (services shared), each service replaced by the
// first of `current` (newest first) with its method and name: an access
// file read again defines its services anew, and the rules of other
// directories that name them must judge by the new definitions.
AUTH_SERVICE_LIST* auth_copy_list(const AUTH_SERVICE_LIST* list, AUTH_SERVICE_LIST* current);
// A peer's list within the bounds: nesting (lists inside lists) at most
// AUTH_LIST_MAX_DEPTH deep and at most AUTH_LIST_MAX_ENTRIES members in all.
bool auth_list_within_bounds(ZU_SEXP* list);
// The chain type of a list's type= attribute: -1 for one this side does not
// know.
int auth_chain_type(ZU_SEXP* list);
const char* auth_chain_name(int type);

// ---- traces
// Writes an error of an access or result file to the standard error, with
// every passwd= value and every password of a URL masked.
void auth_print_error(ZU_SEXP* err);
// text with passwd="..." values and URL passwords replaced by "****".
std::string auth_mask_secrets(std::string text);

// ---- files and the lock
// Made by the first lock_auth; the `_name` functions of these files assert
// it.
extern SEM auth_lock;
bool auth_lock_held();
// A fresh child of the environment bound to `authentification` in the
// root, in which access and result files run; null when that binding is
// gone (the file then counts as failed).
ZUISP_ENV* auth_file_env();
// Runs the file at path in env: its first element may set the encoding,
// the members of its second element after the head are evaluated in turn.
// Null, or the error that stopped it (a file without that form is one).
ZU_SEXP* auth_run_file(const char* path, ZUISP_ENV* env);
// `service` with result= feeds cs while a result file runs (null: none).
void auth_set_reading_client(AUTH_SET_CLIENT* cs);
// Binds `auth-transaction` in env.
void init_auth_transaction(ZUISP_ENV* env);

// ---- the client transaction under way (auth_lock)
// The link of the server asking now, or null between transactions.
extern const AUTH_CLIENT_LINK* auth_client_link;

// ---- the methods' operations (att is built from them)
AUTH_SERVICE_HEADER* fup_new_auth_service(const AUTH_SERVICE_HEADER* tmpl);
AUTH_SERVICE_HEADER* fup_parse_info(const AUTH_SERVICE_HEADER* tmpl, ZU_SEXP* form, ZU_SYM_FIELD* sf);
void fup_free_auth_service(AUTH_SERVICE_HEADER* s);
void fup_server_send_sexp(AUTH_SERVICE_HEADER* s, ZU_SEXP* head);
void fup_client_recv_sexp(AUTH_SERVICE_HEADER* s, ZU_SEXP* form);
AUTH_RESULT_HEADER* fup_authentification(AUTH_CONNECTION_SET* c, AUTH_SERVICE_HEADER* s, int phase);
AUTH_RESULT_HEADER* fup_new_auth_result(AUTH_SERVICE_HEADER* s, const AUTH_RESULT_HEADER* tmpl, int copy);
void fup_free_auth_result(AUTH_RESULT_HEADER* r, int free_service);
ZU_SEXP* fup_send_result_info(AUTH_RESULT_HEADER* r);
AUTH_RESULT_HEADER* fup_recv_result_info(AUTH_SET_SERVER* set, ZU_SEXP* form);
void fup_set_authentification_result(AUTH_RESULT_HEADER* r, ZU_SEXP* form);
ZU_SEXP* fup_get_result_members();

AUTH_SERVICE_HEADER* lr_new_auth_service(const AUTH_SERVICE_HEADER* tmpl);
AUTH_SERVICE_HEADER* lr_parse_info(const AUTH_SERVICE_HEADER* tmpl, ZU_SEXP* form, ZU_SYM_FIELD* sf);
void lr_free_auth_service(AUTH_SERVICE_HEADER* s);
void lr_server_send_sexp(AUTH_SERVICE_HEADER* s, ZU_SEXP* head);
void lr_client_recv_sexp(AUTH_SERVICE_HEADER* s, ZU_SEXP* form);
AUTH_RESULT_HEADER* lr_authentification(AUTH_CONNECTION_SET* c, AUTH_SERVICE_HEADER* s, int phase);
void lr_gc_service(AUTH_CONNECTION_SET* c, AUTH_SERVICE_HEADER* s, int check_no);
AUTH_RESULT_HEADER* lr_new_auth_result(AUTH_SERVICE_HEADER* s, const AUTH_RESULT_HEADER* tmpl, int copy);
void lr_free_auth_result(AUTH_RESULT_HEADER* r, int free_service);
ZU_SEXP* lr_send_result_info(AUTH_RESULT_HEADER* r);
AUTH_RESULT_HEADER* lr_recv_result_info(AUTH_SET_SERVER* set, ZU_SEXP* form);
void lr_set_authentification_result(AUTH_RESULT_HEADER* r, ZU_SEXP* form);
void lr_client_transaction(AUTH_SERVICE_HEADER* s, AUTH_RESULT_HEADER* r);
ZU_SEXP* lr_get_result_members();
