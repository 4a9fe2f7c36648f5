// The server side of a check: the rules of a path evaluated against the
// results the peer's connection holds, the question sent to the peer, its
// answer taken and judged, and the connection sets that hold the results.
//
// A check runs in the thread that serves the peer's request. It holds
// auth_lock while it works out and judges, never while the question
// travels: the peer may send further requests meanwhile, which this same
// thread serves (their checks then run nested on the same connection, each
// under its own check number). The wait for the answer ends with the link.
#include "base/alloc.h"
#include "netsvc/auth_impl.h"
#include "runtime/docpath.h"
#include "runtime/interp.h"
#include "runtime/remote.h"
#include "zu/builtin_kit.h"

namespace {

ZU_SEXP* denied(ZU_SEXP* at, ZU_SEXP* data) {
  return get_error_ascii(at ? at->h.file : nullptr, at ? at->h.line : 0, ZU_ER_DENIED, "authentification (DENIED)",
                         data);
}

AUTH_RESULT_HEADER* held(AUTH_CONNECTION_SET* c, AUTH_SERVICE_HEADER* s) {
  AUTH_RESULT_HEADER* r = c->server_result;
  while (r && r->service != s) r = r->next;
  return r;
}

void push_result(AUTH_CONNECTION_SET* c, AUTH_RESULT_HEADER* r) {
  r->next = c->server_result;
  c->server_result = r;
}

// The result c holds for s, or the one phase 0 of its method makes (kept).
AUTH_RESULT_HEADER* held_or_tried(AUTH_CONNECTION_SET* c, AUTH_SERVICE_HEADER* s) {
  if (AUTH_RESULT_HEADER* r = held(c, s)) return r;
  AUTH_RESULT_HEADER* r = s->tbl->authentification ? s->tbl->authentification(c, s, 0) : nullptr;
  if (r) push_result(c, r);
  return r;
}

struct Answer {
  AUTH_SERVICE_LIST* head = nullptr;
  AUTH_SERVICE_LIST** tail = &head;
  void add(AUTH_SERVICE_HEADER* s, AUTH_SERVICE_LIST* sub) {
    *tail = auth_list_node(s, sub, AUTH_CHAIN_NONE);
    tail = &(*tail)->next;
  }
  AUTH_SERVICE_LIST* done(int type) {
    if (head) head->type = type;
    return head;
  }
  // Nothing is required any more.
  AUTH_SERVICE_LIST* none() {
    free_auth_service_list(head);
    return nullptr;
  }
  AUTH_SERVICE_LIST* deny(int* status) {
    *status = ARS_DENY;
    return none();
  }
};

AUTH_SERVICE_LIST* ap_and(int* status, AUTH_SERVICE_LIST* list, AUTH_CONNECTION_SET* c) {
  Answer a;
  for (AUTH_SERVICE_LIST* p = list; p; p = p->next) {
    if (p->service) {
      AUTH_RESULT_HEADER* r = held_or_tried(c, p->service);
      if (r && r->status == ARS_DENY) return a.deny(status);
      if (!r || r->status != ARS_ACCEPT) a.add(p->service, nullptr);
    } else if (p->list) {
      int sub_status = ARS_ACCEPT;
      AUTH_SERVICE_LIST* sub = _ap_authentification(&sub_status, p->list, c);
      if (sub_status == ARS_DENY) return a.deny(status);
      if (sub) a.add(nullptr, sub);
    }
  }
  return a.done(AUTH_CHAIN_AND);
}

AUTH_SERVICE_LIST* ap_or(int* status, AUTH_SERVICE_LIST* list, AUTH_CONNECTION_SET* c) {
  Answer a;
  for (AUTH_SERVICE_LIST* p = list; p; p = p->next) {
    if (p->service) {
      AUTH_RESULT_HEADER* r = held(c, p->service);
      // A held refusal passes on to the next item; a new one ends it all.
      if (r && r->status == ARS_DENY) continue;
      if (!r && (r = held_or_tried(c, p->service)) && r->status == ARS_DENY) return a.deny(status);
      if (r && r->status == ARS_ACCEPT) return a.none();
      a.add(p->service, nullptr);
    } else if (p->list) {
      int sub_status = ARS_ACCEPT;
      AUTH_SERVICE_LIST* sub = _ap_authentification(&sub_status, p->list, c);
      if (sub_status == ARS_DENY) return a.deny(status);
      if (!sub) return a.none();
      a.add(nullptr, sub);
    }
  }
  return a.done(AUTH_CHAIN_OR);
}

ZU_SEXP* chain_sexp(AUTH_SERVICE_LIST* list) {
  ZU_SEXP* head = get_symbol_ascii("service-list");
  auth_set_attr(head, "type", auth_text(auth_chain_name(list ? list->type : AUTH_CHAIN_NONE)).c_str());
  ListBuilder b;
  b.add(head);
  for (AUTH_SERVICE_LIST* p = list; p; p = p->next) {
    if (p->list) {
      b.add(chain_sexp(p->list));
    } else if (p->service && (p->service->open_service_name || p->service->open_service_type)) {
      ZU_SEXP* entry = auth_service_entry(p->service);
      if (p->service->tbl->server_send_sexp) p->service->tbl->server_send_sexp(p->service, entry->pair.car);
      b.add(entry);
    }
  }
  return b.head;
}

// Each result of the list (nested lists in turn) replaces the connection's
// earlier one for its service and is judged.
int take_results(AUTH_CONNECTION_SET* c, ZU_SEXP* list) {
  int n = 0;
  for (ZU_SEXP* p = list->pair.cdr; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* e = p->pair.car;
    if (auth_is_named(e, "result-list")) {
      n += take_results(c, e);
      continue;
    }
    const AUTH_TABLE* tbl = auth_is_named(e, "service") ? at_tbl_type_name(auth_attr(e, "type")) : nullptr;
    AUTH_RESULT_HEADER* r = tbl ? tbl->recv_result_info(c->server_set, e) : nullptr;
    if (!r) continue;
    for (AUTH_RESULT_HEADER** q = &c->server_result; *q;) {
      AUTH_RESULT_HEADER* old = *q;
      if (old->service != r->service) {
        q = &old->next;
        continue;
      }
      *q = old->next;
      tbl->free_auth_result(old, 0);
    }
    push_result(c, r);
    if (tbl->authentification) tbl->authentification(c, r->service, 1);
    ++n;
  }
  return n;
}

// The rules judged with auth_lock held: null when allowed, an error when
// denied, or (in *question) the service list still required.
ZU_SEXP* _judge(AUTH_CONNECTION_SET* c, AUTH_SERVICE_LIST* rules, ZU_SEXP** question) {
  assert_lock_held(auth_lock);
  *question = nullptr;
  int status = ARS_ACCEPT;
  AUTH_SERVICE_LIST* need = _ap_authentification(&status, rules, c);
  if (need) *question = auth_service_list_sexp(need);
  free_auth_service_list(need);
  return !need && status == ARS_DENY ? denied(nullptr, nullptr) : nullptr;
}

// Asks the peer with the question and judges the rules again with its
// answer.
ZU_SEXP* ask_peer(AUTH_CONNECTION_SET* c, ZU_SEXP* path, AUTH_SERVICE_LIST* rules, int check_no, ZU_SEXP* question) {
  ZU_SEXP* form = List(get_symbol_ascii("auth-transaction"), get_integer(1, nullptr), path,
                       List(get_symbol_ascii("quote"), question, ZU_LIST_END), ZU_LIST_END);
  ZU_SEXP* reply = local_query(qnlisp_top_env0, nullptr, form);
  // Nothing was sent: no peer serves this thread's request.
  if (sexp_type(reply) != ZU_TYPE_DELAY) return denied(nullptr, question);
  if (get_type(reply) == ZU_TYPE_ERROR) return reply;
  lock_auth();
  c->check_no = check_no;
  _auth_recv_result_list(c, reply);
  ZU_SEXP* still = nullptr;
  ZU_SEXP* r = _judge(c, rules, &still);
  if (still) r = denied(reply, still);
  unlock_auth();
  return r;
}

}  // namespace

AUTH_SERVICE_LIST* _ap_authentification(int* status, AUTH_SERVICE_LIST* list, AUTH_CONNECTION_SET* c) {
  assert_lock_held(auth_lock);
  if (!list) return nullptr;
  if (list->type == AUTH_CHAIN_AND) return ap_and(status, list, c);
  if (list->type == AUTH_CHAIN_OR) return ap_or(status, list, c);
  // Rules are made here with "and" and "or" only; anything else refuses.
  *status = ARS_DENY;
  return nullptr;
}

ZU_SEXP* auth_service_list_sexp(AUTH_SERVICE_LIST* list) { return chain_sexp(list); }

int _auth_recv_result_list(AUTH_CONNECTION_SET* c, ZU_SEXP* list) {
  assert_lock_held(auth_lock);
  if (!auth_is_named(list, "result-list") || !auth_list_within_bounds(list)) return -1;
  return take_results(c, list);
}

void _auth_gc_check(AUTH_CONNECTION_SET* c, int check_no) {
  assert_lock_held(auth_lock);
  for (AUTH_SERVICE_LIST* p = c->server_set->auth_service_list; p; p = p->next)
    if (p->service->tbl->gc_service) p->service->tbl->gc_service(c, p->service, check_no);
}

AUTH_CONNECTION_SET* new_auth_connection_set_table(ZU_INTERPRETER* zui) {
  auto* c = static_cast<AUTH_CONNECTION_SET*>(d_calloc(sizeof(AUTH_CONNECTION_SET), 1));
  c->server_set = auth_server_set();
  c->client_set = auth_client_set();
  c->zui = zui;
  return c;
}

void free_auth_connection_set_table(AUTH_CONNECTION_SET* c) {
  if (!c) return;
  if (c->server_result) {
    lock_auth();
    auth_free_results(c->server_result, 0);
    unlock_auth();
  }
  d_f_ree(c);
}

ZU_SEXP* auth_filepath_passive_table(ZU_SEXP* path, const char* op) {
  if (!is_string(path)) return denied(nullptr, nullptr);
  ZU_INTERPRETER* me = get_my_zui();
  if (!me) return nullptr;
  // The set lives as long as the interpreter whose thread this is.
  AUTH_CONNECTION_SET* c = me->auth_c_set;
  // A check from inside an access file (which runs with the lock held)
  // cannot be answered.
  if (!c || auth_lock_held()) return denied(nullptr, nullptr);
  L_CHAR* norm = normalize_doc_path(str_text(path));
  if (!norm) return denied(nullptr, nullptr);
  lock_auth();
  int check_no = ++c->server_set->auth_gc_no;
  c->check_no = check_no;
  int broken = 0;
  // The rules are found once: the answer is judged against the same ones.
  AUTH_SERVICE_LIST* rules = _exec_authentification(c->server_set, norm, op, &broken);
  d_f_ree(norm);
  ZU_SEXP* question = nullptr;
  ZU_SEXP* r = broken ? denied(nullptr, nullptr) : _judge(c, rules, &question);
  unlock_auth();
  if (question) r = ask_peer(c, path, rules, check_no, question);
  // Whatever the check made for itself (key files) ends with it.
  lock_auth();
  _auth_gc_check(c, check_no);
  free_auth_service_list(rules);
  unlock_auth();
  return r;
}
