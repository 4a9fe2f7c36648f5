// The ring of open matrices: opening, searching, and the release of a
// matrix's own memory at the end of closing.
#include "base/alloc.h"
#include "matrix/matrix.h"
#include "matrix/matrix_impl.h"
#include "matrix/node.h"
#include "text/convert.h"

void _unlink_matrix(MATRIX* m) {
  assert_lock_held(matrix_lock);
  m->mx_prev->mx_next = m->mx_next;
  m->mx_next->mx_prev = m->mx_prev;
  m->mx_next = m->mx_prev = m;
}

namespace {

void link_front(MATRIX* m) {
  m->mx_prev = &matrices_root;
  m->mx_next = matrices_root.mx_next;
  matrices_root.mx_next->mx_prev = m;
  matrices_root.mx_next = m;
}

// A given name matches only an equal name; an absent one matches anything.
bool name_matches(const L_CHAR* want, const L_CHAR* have) {
  return !want || (have && l_strcmp(want, have) == 0);
}

void queue_open_token(MATRIX* m) {
  auto* t = reinterpret_cast<MATRIX_TOKEN*>(new_queue_node(sizeof(MATRIX_TOKEN)));
  t->h.key = nl_copy_str(ascii_cm, "_insert_matrix_open");
  t->h.pri = 1000;
  t->func = m->p.open_method;
  t->wait_matrix = m;
  t->access_target_id = -1;
  t->normal_jump = t->err_jump = -1;
  t->normal_jump_status = t->err_jump_status = -1;
  if (m->p.new_token) m->p.new_token(t, 2);
  m->open_token = t;
  insert_queue(&matrix_que, &t->h, 0);
}

}  // namespace

void _touch_matrix(MATRIX* m) {
  assert_lock_held(matrix_lock);
  m->last_access = mx_now();
  // A closing matrix has left the ring for good: the saves of its close
  // still reach its nodes, but nothing else may find it there (a second
  // close, an opening of its file, a lock event).
  if (m->mode == kMxModeClosed) return;
  _unlink_matrix(m);
  link_front(m);
}

MATRIX* _open_matrix(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                     void (*open_method)(MATRIX_TOKEN*), void* work) {
  assert_lock_held(matrix_lock);
  if (mx_closing_all || (filename && _search_matrix_filename(filename))) return nullptr;
  auto* m = static_cast<MATRIX*>(d_calloc(sizeof(MATRIX), 1));
  m->neturl = ll_copy_str(neturl);
  m->filename = ll_copy_str(filename);
  m->key = ll_copy_str(key);
  m->p.open_method = open_method;
  m->open_work = work;
  {
    ZuThreadScope scope("open_matrix");
    m->mx_env = xx_new_held_value(new_env(matrix_zu_env), gc_qnlisp_env, __FILE__, __LINE__);
  }
  _sync_matrix_geometry(m);
  link_front(m);
  m->last_access = mx_now();
  m->mode = kMxModeOpening;
  if (open_method) queue_open_token(m);
  return m;
}

MATRIX* open_matrix(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                    void (*open_method)(MATRIX_TOKEN*), void* work) {
  lock_task(matrix_lock);
  MATRIX* m = _open_matrix(neturl, filename, key, open_method, work);
  unlock_task(matrix_lock, "open_matrix");
  return m;
}

MATRIX* open_matrix_with_search(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                                void (*open_method)(MATRIX_TOKEN*), void* work) {
  lock_task(matrix_lock);
  MATRIX* m = _search_matrix(neturl, filename, key);
  if (!m) m = _open_matrix(neturl, filename, key, open_method, work);
  unlock_task(matrix_lock, "open_matrix_with_search");
  return m;
}

MATRIX* _search_matrix(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key) {
  assert_lock_held(matrix_lock);
  for (MATRIX* m = matrices_root.mx_next; m != &matrices_root; m = m->mx_next)
    if (name_matches(neturl, m->neturl) && name_matches(filename, m->filename) && name_matches(key, m->key))
      return m;
  return nullptr;
}

MATRIX* _search_matrix_filename(const L_CHAR* filename) {
  assert_lock_held(matrix_lock);
  if (!filename) return nullptr;
  for (MATRIX* m = matrices_root.mx_next; m != &matrices_root; m = m->mx_next)
    if (m->filename && l_strcmp(m->filename, filename) == 0) return m;
  return nullptr;
}

MATRIX* search_matrix(int* errp, const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                      MATRIX_TOKEN* t) {
  lock_task(matrix_lock);
  MATRIX* m = _search_matrix(neturl, filename, key);
  if (!m) {
    *errp = kMxNoMatrix;
  } else if (m->mode == kMxModeOpening && t) {
    if (!_token_waits(t)) {  // one wait at a time
      t->wait_matrix = m;
      t->next = m->wait_token;
      m->wait_token = t;
    }
    *errp = kMxLoading;
  } else {
    *errp = 0;
  }
  unlock_task(matrix_lock, "search_matrix");
  return m;
}

void _free_matrix(MATRIX* m) {
  assert_lock_held(matrix_lock);
  _unlink_matrix(m);
  _free_rebuild(m);
  for (int ch = 0; ch < m->p.channel_nos; ++ch) {
    MATRIX_CHANNEL_INFO& inf = m->channel_info[ch];
    if (inf.default_data && inf.data_type) {
      MATRIX_DATA_TYPE* tp = inf.data_type->parent ? inf.data_type->parent : inf.data_type;
      tp->free_data(tp, inf.default_data);
    }
  }
  d_f_ree(m->channel_info);
  d_f_ree(m->node_hash.bucket);
  for (MATRIX_SEXP* s : m->cal)
    if (s) s->del.store(1, std::memory_order_release);
  if (m->mx_env) m->mx_env->del.store(1, std::memory_order_release);
  d_f_ree(m->pixel_size_list);
  d_f_ree(m->dim_divide);
  d_f_ree(m->block_size);
  d_f_ree(m->pixel_size);
  d_f_ree(m->neturl);
  d_f_ree(m->filename);
  d_f_ree(m->key);
  d_f_ree(m);
  // With no matrix left the kept node blocks serve nobody.
  if (matrices_root.mx_next == &matrices_root) mx_node_pool_drain();
}

void _requeue_matrix_token(MATRIX_TOKEN* t) {
  assert_lock_held(matrix_lock);
  t->wait_matrix = nullptr;
  t->next = nullptr;
  _insert_matrix_access(t, matrix_exec_cal);
}

void _requeue_matrix_wait_tokens(MATRIX* m) {
  assert_lock_held(matrix_lock);
  while (MATRIX_TOKEN* t = m->wait_token) {
    m->wait_token = t->next;
    _requeue_matrix_token(t);
  }
}
