#include "runtime/relay_fifo.h"

#include "base/alloc.h"
#include "runtime/link_budget.h"
#include "zu/gc.h"

namespace {

constexpr int kFifoForms = 4096;
constexpr int64_t kFifoBytes = int64_t{8} << 20;

bool fifo_full(const ZU_INTERPRETER* zui) {
  return zui->fifo_head && (zui->fifo_cnt >= kFifoForms || zui->fifo_bytes >= kFifoBytes);
}

// Frees the nodes of a chain taken off zui's queue.
void free_chain(ZU_INTERPRETER* zui, ZU_FIFO* n) {
  int64_t charge = 0;
  while (n) {
    ZU_FIFO* next = n->next;
    charge += n->charge;
    d_f_ree(n);
    n = next;
  }
  link_unqueue(zui->meter, charge);
}

}  // namespace

int put_zu_fifo_n(ZU_INTERPRETER* zui, ZU_SEXP* form, int64_t bytes, int64_t charge) {
  auto* n = static_cast<ZU_FIFO*>(d_alloc(sizeof(ZU_FIFO)));
  n->next = nullptr;
  n->cmd = form;
  n->bytes = bytes;
  n->charge = charge;
  lock_task(fifo_lock);
  while (!zui->fifo_closed && fifo_full(zui)) {
    sleep_task(&zui->fifo_cnt, fifo_lock);
    lock_task(fifo_lock);
  }
  if (zui->fifo_closed) {
    unlock_task(fifo_lock, "put_zu_fifo");
    d_f_ree(n);
    link_release(zui->meter, charge);
    return -1;
  }
  // Charged before the relay can take it, which gives the charge back.
  link_queue(zui->meter, charge);
  if (zui->fifo_tail)
    zui->fifo_tail->next = n;
  else
    zui->fifo_head = n;
  zui->fifo_tail = n;
  zui->fifo_cnt++;
  zui->fifo_bytes += bytes;
  wakeup_task(&zui->fifo_head);
  unlock_task(fifo_lock, "put_zu_fifo");
  return 0;
}

void put_zu_fifo(ZU_INTERPRETER* zui, ZU_SEXP* form) { put_zu_fifo_n(zui, form, 0); }

ZU_SEXP* take_zu_fifo(ZU_INTERPRETER* zui, int no_wait, bool* got) {
  *got = false;
  lock_task(fifo_lock);
  for (;;) {
    if (zui->fifo_closed) break;
    if (ZU_FIFO* n = zui->fifo_head) {
      bool was_full = fifo_full(zui);
      zui->fifo_head = n->next;
      if (!zui->fifo_head) zui->fifo_tail = nullptr;
      zui->fifo_cnt--;
      zui->fifo_bytes -= n->bytes;
      if (was_full) wakeup_task(&zui->fifo_cnt);
      ZU_SEXP* form = n->cmd;
      gc_set_nl(form, gc_qn_sexp);
      unlock_task(fifo_lock, "get_zu_fifo");
      link_unqueue(zui->meter, n->charge);
      d_f_ree(n);
      *got = true;
      return form;
    }
    if (no_wait || zui->fifo_eof) break;
    sleep_task(&zui->fifo_head, fifo_lock);
    lock_task(fifo_lock);
  }
  unlock_task(fifo_lock, "get_zu_fifo");
  return nullptr;
}

ZU_SEXP* get_zu_fifo(ZU_INTERPRETER* zui, int no_wait) {
  bool got;
  return take_zu_fifo(zui, no_wait, &got);
}

int check_fifo(ZU_INTERPRETER* zui) {
  lock_task(fifo_lock);
  int r = zui->fifo_head ? 1 : 0;
  unlock_task(fifo_lock, "check_fifo");
  return r;
}

int fifo_full_now(ZU_INTERPRETER* zui) {
  lock_task(fifo_lock);
  int r = fifo_full(zui) ? 1 : 0;
  unlock_task(fifo_lock, "fifo_full_now");
  return r;
}

void interrupt_fifo(ZU_INTERPRETER* zui) {
  lock_task(fifo_lock);
  wakeup_task(&zui->fifo_head);
  unlock_task(fifo_lock, "interrupt_fifo");
}

void end_fifo_input(ZU_INTERPRETER* zui) {
  lock_task(fifo_lock);
  zui->fifo_eof = 1;
  wakeup_task(&zui->fifo_head);
  unlock_task(fifo_lock, "end_fifo_input");
}

void close_fifo(ZU_INTERPRETER* zui) {
  lock_task(fifo_lock);
  ZU_FIFO* n = zui->fifo_head;
  zui->fifo_head = zui->fifo_tail = nullptr;
  zui->fifo_cnt = 0;
  zui->fifo_bytes = 0;
  zui->fifo_closed = 1;
  // A front thread waiting for room drops its form and reads on to the end.
  wakeup_task(&zui->fifo_cnt);
  wakeup_task(&zui->fifo_head);
  unlock_task(fifo_lock, "close_fifo");
  free_chain(zui, n);
}

void gc_zu_fifo(ZU_FIFO* head) {
  for (ZU_FIFO* n = head; n; n = n->next) gc_mark(n->cmd, gc_qn_sexp);
}
