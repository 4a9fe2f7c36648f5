// The server side's rules: the ".zuaccess" files of the document and system
// trees, looked at on every check of a path that passes through their
// directory, the built-ins `service` and `target` they run, and the rules
// of a path (_exec_authentification). Also the lock, the shared sets and
// start-up.
//
// Only directories that exist in one of the trees get a node, so a peer
// naming paths that lead nowhere grows nothing. A file is read again as
// soon as its identity, size or times differ from those of the file last
// read, so a changed password counts from the next check on. An access
// file that cannot be read or run, or that was removed, marks its
// directory broken: every path at or below it is denied until a file is
// read without error.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/lock.h"
#include "netsvc/auth_impl.h"
#include "runtime/docpath.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zu/reader.h"

SEM auth_lock = nullptr;

namespace {

std::once_flag auth_lock_once;

AUTH_SET_SERVER server_set{};
AUTH_SET_CLIENT client_set{};

// What the file being run feeds (auth_lock): the directory of an access
// file, or the client set of a result file. `service` and `target` work
// only inside such a file.
struct Reading {
  AUTH_DIR* dir;
  AUTH_SET_CLIENT* client;
};
Reading reading{};

constexpr const char* kOutside = "authentification target internal error (AUTH_DIR)";
// Most directories a checked path may pass through.
constexpr int kMaxDepth = 1024;

const L_CHAR* name_of(const char* ascii) { return _l_string_2(ascii_cm, ascii); }

// ---- `service` and `target`

ZU_SEXP* outside(ZU_SEXP* form, const char* func) {
  return error_text_at(form, ZU_ER_NOT_INITIALIZED, func, kOutside);
}

bool in_file() { return lock_up_test(auth_lock) && lock_held_by_me(auth_lock) && (reading.dir || reading.client); }

// A result of a client result file: sendable to the service it names.
ZU_SEXP* preset_result(ZU_SEXP* form, ZU_SYM_FIELD* sf) {
  const AUTH_TABLE* tbl = at_tbl_type_name(head_option(sf, "type"));
  AUTH_RESULT_HEADER* r = reading.client && tbl ? tbl->recv_result_info(nullptr, form) : nullptr;
  if (!r) return error_text_at(form, ZU_ER_PARAM, "service", "result parse error");
  r->status = ARS_SEND_PERMIT;
  AUTH_RESULT_HEADER** tail = &reading.client->preset_result_list;
  while (*tail) tail = &(*tail)->next;
  *tail = r;
  return nullptr;
}

int open_flag(ZU_SYM_FIELD* sf, const char* name, int dflt) {
  const L_CHAR* v = head_option(sf, name);
  return v ? option_int(v) & 1 : dflt;
}

ZU_SEXP* zu_service(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  if (!in_file()) return outside(form, "service");
  if (head_option(sf, "result")) return preset_result(form, sf);
  const L_CHAR* name = head_option(sf, "name");
  const L_CHAR* type = head_option(sf, "type");
  if (!name) return error_text_at(form, ZU_ER_PARAM, "service", "service name required");
  if (!type) return error_text_at(form, ZU_ER_PARAM, "service", "service type required");
  const AUTH_TABLE* tbl = at_tbl_type_name(type);
  if (!tbl) return error_text_at(form, ZU_ER_PARAM, "service", "service type invalid");
  AUTH_SERVICE_HEADER tmpl{};
  tmpl.tbl = tbl;
  tmpl.service_name = auth_service_name(name);
  tmpl.description = const_cast<L_CHAR*>(head_option(sf, "description"));
  tmpl.description_url = const_cast<L_CHAR*>(head_option(sf, "description-url"));
  tmpl.open_service_name = open_flag(sf, "open-service-name", 1);
  tmpl.open_service_type = open_flag(sf, "open-service-type", 1);
  AUTH_SERVICE_HEADER* s = tbl->parse_info(&tmpl, form, sf);
  d_f_ree(tmpl.service_name);
  AUTH_SERVICE_LIST* n = auth_list_node(s, nullptr, AUTH_CHAIN_NONE);
  n->next = server_set.auth_service_list;
  server_set.auth_service_list = n;
  return nullptr;
}

// The rule of d for prefix and operation, or null.
AUTH_PREFIX* same_rule(AUTH_DIR* d, const L_CHAR* prefix, const L_CHAR* op) {
  for (AUTH_PREFIX* r = d->prefix; r; r = r->next) {
    bool same_prefix = prefix ? auth_text_equal(r->prefix, prefix) : !r->prefix;
    bool same_op = op ? r->operation && zu_wcmp_ascii(op, r->operation) == 0 : !r->operation;
    if (same_prefix && same_op) return r;
  }
  return nullptr;
}

// Adds `group` (an "and" chain) to d's rules: a rule for the same prefix
// and operation takes it as a further alternative of an "or" chain.
void add_rule(AUTH_DIR* d, const L_CHAR* prefix, const L_CHAR* op, AUTH_SERVICE_LIST* group) {
  if (AUTH_PREFIX* r = same_rule(d, prefix, op)) {
    if (!r->at_list || r->at_list->type != AUTH_CHAIN_OR) r->at_list = auth_list_node(nullptr, r->at_list, AUTH_CHAIN_OR);
    AUTH_SERVICE_LIST* last = r->at_list;
    while (last->next) last = last->next;
    last->next = auth_list_node(nullptr, group, AUTH_CHAIN_OR);
    return;
  }
  auto* r = static_cast<AUTH_PREFIX*>(d_calloc(sizeof(AUTH_PREFIX), 1));
  r->prefix = ll_copy_str(prefix);
  r->operation = op ? ln_copy_str(std_cm, op) : nullptr;
  r->at_list = group;
  r->next = d->prefix;
  d->prefix = r;
}

ZU_SEXP* zu_target(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  if (!in_file() || !reading.dir) return outside(form, "target");
  AUTH_SERVICE_LIST* group = nullptr;
  AUTH_SERVICE_LIST** tail = &group;
  for (ZU_SEXP* p = form->pair.cdr; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* arg = p->pair.car;
    AUTH_SERVICE_HEADER* s = nullptr;
    ZU_SEXP* err = nullptr;
    if (!is_string(arg)) {
      err = error_text_at(form, ZU_ER_TYPE, "target", "arguments are STRING");
    } else {
      L_CHAR* full = auth_service_name(str_text(arg));
      for (AUTH_SERVICE_LIST* q = server_set.auth_service_list; q && !s; q = q->next)
        if (auth_text_equal(q->service->service_name, full)) s = q->service;
      d_f_ree(full);
      if (!s) err = error_at(form, ZU_ER_NO_OBJECT, "target", data_list("undefined service name", arg));
    }
    if (err) {
      free_auth_service_list(group);
      return err;
    }
    *tail = auth_list_node(s, nullptr, AUTH_CHAIN_AND);
    tail = &(*tail)->next;
  }
  add_rule(reading.dir, head_option(sf, "prefix"), head_option(sf, "operation"), group);
  return nullptr;
}

// ---- `auth-transaction`, defined with the client side

const QN_PRIM_DEF kAuthEnv[] = {{"service", zu_service, 1, 1, 1, 0}, {"target", zu_target, 1, 1, -1, 0}, {}};

// ---- the directory tree

L_CHAR* tagged(const AuthText& s) { return ll_copy_str(s.c_str()); }

void free_rules(AUTH_PREFIX* r) {
  while (r) {
    AUTH_PREFIX* next = r->next;
    free_auth_service_list(r->at_list);
    d_f_ree(r->prefix);
    d_f_ree(r->operation);
    d_f_ree(r);
    r = next;
  }
}

// The local file of a document path in the document (docs) or system tree.
std::string local(const AuthText& path, bool docs) {
  L_CHAR* f = docs ? get_zudocs(path.c_str()) : get_zusys(path.c_str());
  if (!f) return {};
  char* n = ln_copy_str(std_cm, f);
  std::string r(n ? n : "");
  d_f_ree(n);
  d_f_ree(f);
  return r;
}

bool is_dir(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int64_t ns(const timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; }

// The access file that counts for d (the first of the two trees that has
// one), its status in *st; empty when neither has one. *broken is set when
// one exists but cannot be examined.
std::string access_file(AUTH_DIR* d, struct stat* st, bool* broken) {
  AuthText name = AuthText(d->total_path) + auth_text(".zuaccess");
  for (bool docs : {true, false}) {
    std::string f = local(name, docs);
    if (f.empty()) continue;
    if (stat(f.c_str(), st) == 0) return f;
    if (errno != ENOENT && errno != ENOTDIR) {
      *broken = true;
      return f;
    }
  }
  return {};
}

void keep_identity(AUTH_DIR* d, const struct stat& st) {
  d->from_file = 1;
  d->dev = st.st_dev;
  d->ino = st.st_ino;
  d->size = st.st_size;
  d->mtime_ns = ns(st.st_mtim);
  d->ctime_ns = ns(st.st_ctim);
}

bool same_file(const AUTH_DIR* d, const struct stat& st) {
  return d->from_file && st.st_dev == d->dev && st.st_ino == d->ino && st.st_size == d->size &&
         ns(st.st_mtim) == d->mtime_ns && ns(st.st_ctim) == d->ctime_ns;
}

void drop_rules(AUTH_DIR* d) {
  free_rules(d->prefix);
  d->prefix = nullptr;
  d->broken = 0;
  d->from_file = 0;
}

// Reads d's access file `file` afresh (st its status; unusable when it
// could not be examined).
void read_dir(AUTH_DIR* d, const std::string& file, const struct stat& st, bool unusable) {
  drop_rules(d);
  GcFrame frame("auth access file");
  ZUISP_ENV* env = unusable ? nullptr : auth_file_env();
  ZU_SEXP* err = nullptr;
  if (!env) {
    err = get_error_ascii(nullptr, 0, ZU_ER_OPEN, ".zuaccess", list(n_get_string(file.c_str())));
  } else {
    reading = {d, nullptr};
    err = auth_run_file(file.c_str(), env);
    reading = {};
  }
  // A file that could not be examined has no identity: it is tried again.
  if (!unusable) keep_identity(d, st);
  if (!err) return;
  auth_print_error(err);
  d->broken = 1;
}

// Brings d's rules up to date with its access file: read again when it is
// another file than the one read last, denied when it is gone.
void refresh(AUTH_DIR* d) {
  struct stat st {};
  bool unusable = false;
  std::string file = access_file(d, &st, &unusable);
  if (file.empty()) {
    if (!d->from_file) return;
    drop_rules(d);
    d->broken = 1;
    GcFrame frame("auth access file");
    AuthText gone = AuthText(d->total_path) + auth_text(".zuaccess");
    auth_print_error(get_error_ascii(nullptr, 0, ZU_ER_OPEN, ".zuaccess",
                                     data_list(get_string(gone.c_str()), "access file removed")));
    return;
  }
  if (!unusable && same_file(d, st)) return;
  read_dir(d, file, st, unusable);
}

AUTH_DIR* new_dir(const AuthText& total_path, const AuthText& name) {
  auto* d = static_cast<AUTH_DIR*>(d_calloc(sizeof(AUTH_DIR), 1));
  d->dir_name = tagged(name);
  d->total_path = tagged(total_path);
  refresh(d);
  return d;
}

// Every directory read so far, by its document path ending in "/". Only
// directories of the trees get in, so the index grows with the trees, not
// with what peers name. Kept for the program's life (never destroyed, as
// the directories it holds).
std::map<AuthText, AUTH_DIR*>& dir_index() {
  static auto* index = new std::map<AuthText, AUTH_DIR*>;
  return *index;
}

bool in_trees(const AuthText& dir) { return is_dir(local(dir, true)) || is_dir(local(dir, false)); }

// The directory dir as read, read when first met; null while neither tree
// has it (a directory further down may still be a tree's: trees are
// registered under any prefix).
AUTH_DIR* dir_at(AUTH_SET_SERVER* set, const AuthText& dir, AUTH_DIR* parent) {
  auto it = dir_index().find(dir);
  if (it != dir_index().end()) {
    refresh(it->second);
    return it->second;
  }
  if (!in_trees(dir)) return nullptr;
  size_t from = dir.size() > 1 ? dir.rfind('/', dir.size() - 2) + 1 : 1;
  AUTH_DIR* d = new_dir(dir, dir.substr(from, dir.size() - 1 - from));
  dir_index().emplace(dir, d);
  if (dir.size() == 1) {
    set->auth_dir_tree = d;
  } else if (parent) {
    d->child_next = parent->child_list;
    parent->child_list = d;
  }
  return d;
}

// The first rule of d for the suffix (null: none) and operation.
AUTH_PREFIX* matching_rule(AUTH_DIR* d, const L_CHAR* suffix, const char* op) {
  for (AUTH_PREFIX* r = d->prefix; r; r = r->next) {
    bool prefix_ok = !r->prefix || !suffix || l_strcmp(r->prefix, suffix) == 0;
    bool op_ok = !r->operation || !op || std::strcmp(r->operation, op) == 0;
    if (prefix_ok && op_ok) return r;
  }
  return nullptr;
}

}  // namespace

// ---- the lock and the sets

void lock_auth() {
  std::call_once(auth_lock_once, [] { auth_lock = new_lock(LOCK_AUTH); });
  lock_task(auth_lock);
}

void unlock_auth() { unlock_task(auth_lock, "auth"); }

bool auth_lock_held() { return lock_up_test(auth_lock) && lock_held_by_me(auth_lock); }

AUTH_SET_SERVER* auth_server_set() { return &server_set; }
AUTH_SET_CLIENT* auth_client_set() { return &client_set; }

ZUISP_ENV* auth_file_env() {
  ZU_SEXP* v = agent_setting(qnlisp_top_env0, "authentification");
  return sexp_type(v) == ZU_TYPE_ENV ? new_env(v->env) : nullptr;
}

void auth_set_reading_client(AUTH_SET_CLIENT* cs) { reading = {nullptr, cs}; }

ZU_SEXP* auth_run_file(const char* path, ZUISP_ENV* env) {
  STREAM* st = s_open_file(path, O_RDONLY | O_NONBLOCK, 0);
  if (!st) return get_error_ascii(nullptr, 0, ZU_ER_OPEN, ".zuaccess", list(n_get_string(path)));
  ZU_SEXP* forms = init_parse(st, name_of(".zuaccess"), name_of(".zuaccess"));
  if (sexp_type(forms) == ZU_TYPE_ERROR) {
    d_s_close(st);
    return forms;
  }
  set_encoding(forms);
  ZU_SEXP* first = get_el(forms, 0);
  ZU_SEXP* body = get_el(forms, 1);
  ZU_SEXP* err = nullptr;
  if (get_type(first) == ZU_TYPE_ERROR) err = first;
  else if (get_type(body) == ZU_TYPE_ERROR) err = body;
  else if (!is_element(body)) err = get_error_ascii(nullptr, 0, ZU_ER_PARAM, ".zuaccess", list(n_get_string(path)));
  ZU_SEXP* p = err ? nullptr : body->pair.cdr;
  for (; !err && get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* v = eval(env, p->pair.car);
    if (get_type(v) == ZU_TYPE_ERROR) err = v;
  }
  if (!err && get_type(p) == ZU_TYPE_ERROR) err = p;
  close_zu_file(sexp_file(forms));
  return err;
}

AUTH_SERVICE_LIST* _exec_authentification(AUTH_SET_SERVER* set, const L_CHAR* path, const char* operation,
                                          int* broken) {
  assert_lock_held(auth_lock);
  *broken = 0;
  AuthText p(path ? path : name_of("/"));
  size_t slash = p.rfind('/');
  size_t dot = p.rfind('.');
  const L_CHAR* suffix = dot != AuthText::npos && (slash == AuthText::npos || dot > slash) ? path + dot : nullptr;
  AUTH_SERVICE_LIST* combined = nullptr;
  auto take = [&](AUTH_DIR* d) {
    if (d->broken) *broken = 1;
    if (AUTH_PREFIX* r = matching_rule(d, suffix, operation)) {
      AUTH_SERVICE_LIST* n =
          auth_list_node(nullptr, auth_copy_list(r->at_list, set->auth_service_list), AUTH_CHAIN_AND);
      n->next = combined;  // the deeper directory first
      combined = n;
    }
  };
  // Every directory on the way, and the last component when it is one: a
  // directory is guarded by its own access file.
  AuthText dir{'/'};
  AUTH_DIR* d = dir_at(set, dir, nullptr);
  if (d) take(d);
  int depth = 0;
  for (size_t at = 1; at < p.size(); ++depth) {
    size_t end = p.find('/', at);
    if (end == AuthText::npos) end = p.size();
    if (depth == kMaxDepth) {  // deeper than any tree: refused, not walked
      *broken = 1;
      break;
    }
    dir += p.substr(at, end - at) + L_CHAR('/');
    d = dir_at(set, dir, d);
    if (d) take(d);
    at = end + 1;
  }
  return combined;
}

void init_authentificaition_table(ZUISP_ENV* env) {
  std::call_once(auth_lock_once, [] { auth_lock = new_lock(LOCK_AUTH); });
  ZuThreadScope scope("authentification");
  ZUISP_ENV* auth_env = new_env(env);
  bind_agent(env, "authentification", get_env(auth_env));
  bind_prims(auth_env, kAuthEnv);
  init_auth_transaction(env);
  static const struct {
    const char* name;
    int value;
  } kCodes[] = {{"ARS_NONE", ARS_NONE},         {"ARS_DENY", ARS_DENY},         {"ARS_ACCEPT", ARS_ACCEPT},
                {"ARS_NOT_USE", ARS_NOT_USE}, {"ARS_REQUIRED", ARS_REQUIRED}, {"ARS_SEND_PERMIT", ARS_SEND_PERMIT}};
  for (const auto& c : kCodes) bind_agent(env, c.name, get_integer(c.value, nullptr));
}
