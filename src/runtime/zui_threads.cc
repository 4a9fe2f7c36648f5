#include "runtime/zui_threads.h"

#include "base/signals.h"
#include "base/task.h"
#include "runtime/accept_impl.h"
#include "runtime/delayed.h"
#include "runtime/front.h"
#include "runtime/link_budget.h"
#include "runtime/relay.h"
#include "runtime/relay_fifo.h"
#include "runtime/remote.h"
#include "zu/eval.h"

namespace {

void start_shared() {
  init_link_budget();
  set_break_check_hook(_zui_break_check);
  int_handler.store(zu_int_handler);
  start_interpreter_tasks();
}

// Task entry of a record's front thread: it reads alone (thread_mode 1) or
// hands what it reads to the record's relay thread.
void front_thread(TKEY data) {
  auto* zui = static_cast<ZU_INTERPRETER*>(data);
  lock_task(zui_lock);
  zui->front_thread = get_tid();
  _register_zui_thread(zui, zui->front_thread);
  int thread_mode = zui->thread_mode;
  unlock_task(zui_lock, "_front_thread");
  if (thread_mode == 1) {
    _front_thread_1(zui);
    return;
  }
  _front_thread_2(zui);
}

int _start_threads(ZU_INTERPRETER* zui) {
  assert_lock_held(zui_lock);
  if (zui->a_type == ZUI_ACCEPT) {
    zui->accept_threads = 1;
    if (create_task(_accept_thread, zui, 1) >= 0) return 0;
    _close_zu_interpreter(zui);
    return ZUI_ERR_STREAM;
  }
  // Without a relay thread the front thread closes alone, as if the relay
  // had ended first.
  if (zui->thread_mode == 2) zui->meter = new_link_meter();
  bool relay = zui->thread_mode == 2 && create_task(_relay_thread, zui, 4) >= 0;
  if (zui->thread_mode == 2 && !relay) zui->mode = ZUI_MODE_RELAY_ENDED;
  if (create_task(front_thread, zui, 4) >= 0) return 0;
  // No thread could be had: nobody would ever close it, so close it here.
  // An outgoing link's set-up (our caller) waits for no permission answer
  // now, and the close must not wait for that set-up to end.
  zui->flags &= ~ZUI_F_WAIT_PERMISSION;
  if (relay) {
    zui->mode = ZUI_MODE_FRONT_ENDED;
    end_fifo_input(zui);
  } else {
    _close_zu_interpreter(zui);
  }
  return ZUI_ERR_STREAM;
}

void _release(ZU_INTERPRETER* zui) {
  assert_lock_held(zui_lock);
  close_fifo(zui);
  free_link_meter(zui->meter);
  zui->meter = nullptr;
  _abandon_result_queue(zui);
  _drop_result_list(zui);
}

void serve_requests(ZU_INTERPRETER* zui) { relay_loop(zui, 1); }

void gc_record(ZU_INTERPRETER* zui) { gc_zu_fifo(zui->fifo_head); }

const ZUI_THREAD_OPS kThreadOps{
    start_shared, _start_threads, _wake_result_list, write_cancel, _release, serve_requests, gc_record,
};

}  // namespace

void install_zui_threads() { set_zui_thread_ops(&kThreadOps); }
