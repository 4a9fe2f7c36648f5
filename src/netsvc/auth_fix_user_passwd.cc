// The method "fix-user-passwd": a path protected by one user name and
// password written in an access file. The peer must present a result with
// the same two texts; they are compared in constant time, never sent in a
// service list and overwritten before they are freed.
#include "base/alloc.h"
#include "netsvc/auth_impl.h"
#include "zu/builtin_kit.h"

namespace {

struct AUTH_SERVICE_FIX_USER_PASSWD {
  AUTH_SERVICE_HEADER h;
  L_CHAR* user;
  L_CHAR* passwd;
};

struct AUTH_RESULT_FIX_USER_PASSWD {
  AUTH_RESULT_HEADER h;
  L_CHAR* user;
  L_CHAR* passwd;
};

AUTH_SERVICE_FIX_USER_PASSWD* service_of(AUTH_SERVICE_HEADER* s) {
  return reinterpret_cast<AUTH_SERVICE_FIX_USER_PASSWD*>(s);
}
AUTH_RESULT_FIX_USER_PASSWD* result_of(AUTH_RESULT_HEADER* r) { return reinterpret_cast<AUTH_RESULT_FIX_USER_PASSWD*>(r); }

AUTH_SERVICE_FIX_USER_PASSWD* new_service(const AUTH_SERVICE_HEADER* tmpl) {
  auto* s = static_cast<AUTH_SERVICE_FIX_USER_PASSWD*>(d_calloc(sizeof(AUTH_SERVICE_FIX_USER_PASSWD), 1));
  auth_header_copy(&s->h, tmpl);
  return s;
}

void take_texts(AUTH_RESULT_FIX_USER_PASSWD* r, ZU_SEXP* form) {
  auth_free_secret(r->user);
  auth_free_secret(r->passwd);
  r->user = ll_copy_str(auth_attr(form, "user"));
  r->passwd = ll_copy_str(auth_attr(form, "passwd"));
}

}  // namespace

AUTH_SERVICE_HEADER* fup_new_auth_service(const AUTH_SERVICE_HEADER* tmpl) {
  AUTH_SERVICE_FIX_USER_PASSWD* s = new_service(tmpl);
  auto* from = reinterpret_cast<const AUTH_SERVICE_FIX_USER_PASSWD*>(tmpl);
  s->user = ll_copy_str(from->user);
  s->passwd = ll_copy_str(from->passwd);
  return &s->h;
}

AUTH_SERVICE_HEADER* fup_parse_info(const AUTH_SERVICE_HEADER* tmpl, ZU_SEXP*, ZU_SYM_FIELD* sf) {
  AUTH_SERVICE_FIX_USER_PASSWD* s = new_service(tmpl);
  s->user = ll_copy_str(head_option(sf, "user"));
  s->passwd = ll_copy_str(head_option(sf, "passwd"));
  return &s->h;
}

void fup_free_auth_service(AUTH_SERVICE_HEADER* h) {
  AUTH_SERVICE_FIX_USER_PASSWD* s = service_of(h);
  auth_header_free(h);
  auth_free_secret(s->user);
  auth_free_secret(s->passwd);
  d_f_ree(s);
}

// User and password stay with the server.
void fup_server_send_sexp(AUTH_SERVICE_HEADER*, ZU_SEXP*) {}
void fup_client_recv_sexp(AUTH_SERVICE_HEADER*, ZU_SEXP*) {}

AUTH_RESULT_HEADER* fup_authentification(AUTH_CONNECTION_SET* c, AUTH_SERVICE_HEADER* h, int phase) {
  // Nothing is known before the peer answers.
  if (phase != 1) return nullptr;
  AUTH_RESULT_HEADER* r = c->server_result;
  while (r && r->service != h) r = r->next;
  if (!r || r->status != ARS_NONE) return nullptr;
  AUTH_SERVICE_FIX_USER_PASSWD* s = service_of(h);
  AUTH_RESULT_FIX_USER_PASSWD* got = result_of(r);
  // Both comparisons run whatever the first gave.
  bool user = auth_text_equal_ct(got->user, s->user);
  bool passwd = auth_text_equal_ct(got->passwd, s->passwd);
  r->status = user & passwd ? ARS_ACCEPT : ARS_DENY;
  return nullptr;
}

AUTH_RESULT_HEADER* fup_new_auth_result(AUTH_SERVICE_HEADER* h, const AUTH_RESULT_HEADER* tmpl, int copy) {
  auto* r = static_cast<AUTH_RESULT_FIX_USER_PASSWD*>(d_calloc(sizeof(AUTH_RESULT_FIX_USER_PASSWD), 1));
  if (tmpl) {
    auto* from = reinterpret_cast<const AUTH_RESULT_FIX_USER_PASSWD*>(tmpl);
    r->user = ll_copy_str(from->user);
    r->passwd = ll_copy_str(from->passwd);
  }
  r->h.service = copy ? fup_new_auth_service(h) : h;
  r->h.status = ARS_NONE;
  return &r->h;
}

void fup_free_auth_result(AUTH_RESULT_HEADER* h, int free_service) {
  AUTH_RESULT_FIX_USER_PASSWD* r = result_of(h);
  if (free_service) fup_free_auth_service(h->service);
  auth_free_secret(r->user);
  auth_free_secret(r->passwd);
  d_f_ree(r);
}

ZU_SEXP* fup_send_result_info(AUTH_RESULT_HEADER* h) {
  AUTH_RESULT_FIX_USER_PASSWD* r = result_of(h);
  ZU_SEXP* entry = auth_result_entry(h);
  auth_set_attr(entry->pair.car, "passwd", r->passwd);
  auth_set_attr(entry->pair.car, "user", r->user);
  return entry;
}

AUTH_RESULT_HEADER* fup_recv_result_info(AUTH_SET_SERVER* set, ZU_SEXP* form) {
  bool owned = false;
  AUTH_SERVICE_HEADER* s = auth_entry_service(set, at_tbl(AUTH_TYPE_FIX_USER_PASSWD), form, &owned);
  if (!s) return nullptr;
  AUTH_RESULT_HEADER* r = fup_new_auth_result(s, nullptr, 0);
  take_texts(result_of(r), form);
  return r;
}

void fup_set_authentification_result(AUTH_RESULT_HEADER* r, ZU_SEXP* form) { take_texts(result_of(r), form); }

ZU_SEXP* fup_get_result_members() { return data_list("user", "passwd"); }
