// Fuzz target: arbitrary bytes are read as ZU source (zu_fuzz_input.h) and
// every form read goes where peers' lists of the authentication go: to a
// server as a peer's (result-list ...), to a client as a server's
// (service-list ...), and each member through every method's reading of a
// result entry. Nothing may crash, stop the process, grow without bound or
// leak; a server's judgement of a result it knows nothing about is never
// an acceptance.
#include <cstdint>

#include "base/alloc.h"
#include "netsvc/auth.h"
#include "text/convert.h"
#include "zu/gc.h"
#include "zu/value.h"
#include "zu_fuzz_input.h"

namespace {

// Two services of each method in the server set, as access files would
// define them (once).
void define_services() {
  static bool done = [] {
    AUTH_SET_SERVER* set = auth_server_set();
    for (const char* name : {"SERVICE://fuzz/a", "SERVICE://fuzz/b"}) {
      for (const AUTH_TABLE* t = att; t->type != AUTH_TYPE_END; ++t) {
        AUTH_SERVICE_HEADER tmpl{};
        tmpl.tbl = t;
        tmpl.service_name = const_cast<L_CHAR*>(_l_string_2(ascii_cm, name));
        tmpl.open_service_name = tmpl.open_service_type = 1;
        auto* n = static_cast<AUTH_SERVICE_LIST*>(d_calloc(sizeof(AUTH_SERVICE_LIST), 1));
        n->service = t->parse_info(&tmpl, nullptr, nullptr);
        n->next = set->auth_service_list;
        set->auth_service_list = n;
      }
    }
    return true;
  }();
  (void)done;
}

void free_client(AUTH_SET_CLIENT* cs) {
  for (AUTH_RESULT_HEADER* r = cs->required_result_list; r;) {
    AUTH_RESULT_HEADER* next = r->next;
    r->service->tbl->free_auth_result(r, 0);
    r = next;
  }
  for (AUTH_SERVICE_LIST* p = cs->auth_service_list; p;) {
    AUTH_SERVICE_LIST* next = p->next;
    p->service->tbl->free_auth_service(p->service);
    d_f_ree(p);
    p = next;
  }
}

void each_way(ZU_SEXP* form, bool peer_local) {
  AUTH_CONNECTION_SET* c = new_auth_connection_set_table(nullptr);
  lock_auth();
  if (_auth_recv_result_list(c, form) > 0)
    for (AUTH_RESULT_HEADER* r = c->server_result; r; r = r->next)
      if (r->status == ARS_ACCEPT) __builtin_trap();  // no service here has a user, a password or a key file
  AUTH_SET_CLIENT cs{};
  cs.enable_client_result = 1;
  AUTH_CLIENT_LINK link;
  link.peer_local = peer_local;
  _auth_transaction(&cs, form, link);
  free_client(&cs);
  int n = 0;
  for (ZU_SEXP* p = get_type(form) == ZU_TYPE_LIST ? form->pair.cdr : nullptr; get_type(p) == ZU_TYPE_LIST && n < 2000;
       p = p->pair.cdr, ++n) {
    for (const AUTH_TABLE* t = att; t->type != AUTH_TYPE_END; ++t)
      if (AUTH_RESULT_HEADER* r = t->recv_result_info(nullptr, p->pair.car)) t->free_auth_result(r, 1);
  }
  unlock_auth();
  free_auth_connection_set_table(c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  {
    ZuThreadScope scope("fuzz");
    lock_auth();
    define_services();
    unlock_auth();
    ZU_SEXP* l = open_fuzz_input(data, size);
    int n = 0;
    for (ZU_SEXP* p = l; get_type(p) == ZU_TYPE_LIST && n < 100; p = p->pair.cdr, ++n) each_way(p->pair.car, data[0] & 0x80);
  }
  gc_collect_now();
  return 0;
}
