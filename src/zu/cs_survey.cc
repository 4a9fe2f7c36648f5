// URL records on the collector's heap and the code-set survey of values.
#include <vector>

#include "base/alloc.h"
#include "text/codemethod.h"
#include "zu/convert.h"

namespace {

void mark_text_block(void* p) { gc_mark(p, gc_text); }

}  // namespace

void gc_mcopy_url(void* p) {
  if (gc_mark_block(p)) return;
  auto* u = static_cast<URL*>(p);
  for (L_CHAR* t : {u->proto, u->server, u->agent, u->db, u->resource, u->query, u->name, u->user, u->passwd})
    gc_mark(t, gc_text);
}

URL* mcopy_url(const URL* from) {
  if (!from) return nullptr;
  // Records of this kind hold collected texts; let gcv_url mark them.
  set_gcv_url_marker(mark_text_block);
  auto* u = static_cast<URL*>(mmalloc(sizeof(URL), gc_mcopy_url));
  u->proto = ll_copy_mstr(from->proto);
  u->server = ll_copy_mstr(from->server);
  u->port = from->port;
  u->agent = ll_copy_mstr(from->agent);
  u->db = ll_copy_mstr(from->db);
  u->resource = ll_copy_mstr(from->resource);
  u->query = ll_copy_mstr(from->query);
  u->name = ll_copy_mstr(from->name);
  u->user = ll_copy_mstr(from->user);
  u->passwd = ll_copy_mstr(from->passwd);
  return u;
}

namespace {

// Most values a survey walks (a guard against cyclic values).
constexpr int64_t kMaxNodes = int64_t{1} << 24;

struct Survey {
  CS_WORK* w;
  L_CHAR last_code = 0;  // one-entry cache of the code-set look-up
  L_CHAR last_set = 0;
  bool last_missing = false;

  bool full() const { return w->str_max >= 0 && w->examined >= w->str_max; }

  void count(L_CHAR set) {
    CS_COUNT** pp = &w->head;
    for (; *pp; pp = &(*pp)->next) {
      if ((*pp)->code_set == set) {
        ++(*pp)->count;
        return;
      }
    }
    auto* c = static_cast<CS_COUNT*>(d_alloc(sizeof(CS_COUNT)));
    c->next = nullptr;
    c->code_set = set;
    c->count = 1;
    *pp = c;
  }

  void text(const L_CHAR* t) {
    if (!t) return;
    for (; *t && !full(); ++t) {
      ++w->examined;
      L_CHAR c = *t;
      if (c <= 255) continue;
      if (c != last_code || last_set == 0) {
        CODE_METHOD* cm = search_cm_by_main_code(c);
        last_code = c;
        last_set = cm ? cm->lccode : LC_UNKNOWN_ENCODING;
        last_missing = w->against && !w->against->can_express(c);
      }
      count(last_set);
      if (last_missing) ++w->missing;
    }
  }

  void walk(ZU_SEXP* root, bool force) {
    std::vector<ZU_SEXP*> todo{root};
    int64_t nodes = 0;
    while (!todo.empty() && !full() && nodes++ < kMaxNodes) {
      ZU_SEXP* s = todo.back();
      todo.pop_back();
      int t = force ? get_type(s) : sexp_type(s);
      switch (t) {
        case ZU_TYPE_LIST:
          todo.push_back(s->pair.cdr);
          todo.push_back(s->pair.car);
          break;
        case ZU_TYPE_SYMBOL:
          text(sym_name(s));
          for (ZU_SYM_FIELD* f = sym_field(s); f; f = f->next) {
            text(f->name);
            text(f->value);
          }
          break;
        case ZU_TYPE_STRING:
          text(str_text(s));
          break;
        case ZU_TYPE_INTEGER:
          text(s->integer.unit);
          break;
        case ZU_TYPE_FLOATING:
          text(s->floating.unit);
          break;
        case ZU_TYPE_ERROR:
          text(s->error->func);
          todo.push_back(s->error->data);
          break;
        default:
          break;
      }
    }
  }

  // Most frequent first (stable for equal counts).
  void sort() {
    std::vector<CS_COUNT*> v;
    for (CS_COUNT* c = w->head; c; c = c->next) v.push_back(c);
    for (size_t i = 1; i < v.size(); ++i)
      for (size_t j = i; j > 0 && v[j - 1]->count < v[j]->count; --j) std::swap(v[j - 1], v[j]);
    w->head = nullptr;
    for (size_t i = v.size(); i-- > 0;) {
      v[i]->next = w->head;
      w->head = v[i];
    }
  }
};

}  // namespace

void cs_sexp_on_mem(CS_WORK* w, ZU_SEXP* s) {
  if (!w) return;
  Survey sv{w};
  sv.walk(s, false);
  sv.sort();
}

void cs_sexp(CS_WORK* w, ZU_SEXP* s) {
  if (!w) return;
  Survey sv{w};
  sv.walk(s, true);
  sv.sort();
}

void free_cs_work(CS_WORK* w) {
  if (!w) return;
  while (CS_COUNT* c = w->head) {
    w->head = c->next;
    d_f_ree(c);
  }
  w->examined = 0;
  w->missing = 0;
}
