#include "runtime/lock_function.h"

#include <atomic>
#include <string>

#include "base/alloc.h"
#include "base/zutime.h"

namespace {

std::atomic<int> lockf_timeout{600};

// One side waiting for the other.
struct LOCKF_ENTRY {
  LOCKF_ENTRY* next;
  ZU_INTERPRETER* zui;
  int iid;
  uint32_t time;
  int type;  // 0 input side, 1 output side
  int flags;
};
LOCKF_ENTRY* lockf_list = nullptr;  // zui_lock
std::basic_string<L_CHAR> lockf_name;  // zui_lock

// Meets the other side of zui's rendezvous or waits for it (lock held).
void _lockf_meet(ZU_INTERPRETER* zui, int type) {
  assert_lock_held(zui_lock);
  for (LOCKF_ENTRY** p = &lockf_list; *p; p = &(*p)->next) {
    if ((*p)->zui == zui && (*p)->type != type) {
      LOCKF_ENTRY* e = *p;
      *p = e->next;
      wakeup_task(e);
      d_f_ree(e);
      return;
    }
  }
  auto* e = static_cast<LOCKF_ENTRY*>(d_calloc(sizeof(LOCKF_ENTRY), 1));
  e->zui = zui;
  e->iid = static_cast<int>(zui->id);
  e->time = get_zutime();
  e->type = type;
  e->next = lockf_list;
  lockf_list = e;
  int iid = static_cast<int>(zui->id);
  for (;;) {
    sleep_task(e, zui_lock);
    lock_task(zui_lock);
    bool listed = false;
    for (LOCKF_ENTRY* q = lockf_list; q; q = q->next) listed |= q == e;
    if (!listed) return;  // met (the other side freed the entry)
    ZU_INTERPRETER* z = _search_zui_id(iid);
    if (z != zui || (zui->flags & ZUI_F_LOCKF_TIMEOUT)) {
      for (LOCKF_ENTRY** p = &lockf_list; *p; p = &(*p)->next) {
        if (*p == e) {
          *p = e->next;
          break;
        }
      }
      d_f_ree(e);
      return;
    }
  }
}

}  // namespace

void set_lock_function_timeout(int seconds) { lockf_timeout.store(seconds); }
int get_lock_function_timeout() { return lockf_timeout.load(); }

void set_lock_function(const L_CHAR* name) {
  lock_task(zui_lock);
  lockf_name = name ? name : std::basic_string<L_CHAR>();
  unlock_task(zui_lock, "set_lock_function");
}

void inp_lock_function(ZU_INTERPRETER* zui, const L_CHAR* head) {
  lock_task(zui_lock);
  bool meet = !lockf_name.empty() && !(zui->flags & ZUI_F_LOCKF_TIMEOUT) &&
              ((zui->flags & ZUI_F_LOCKF_PENDING) || (head && lockf_name == head));
  if (meet) _lockf_meet(zui, 0);
  unlock_task(zui_lock, "inp_lock_function");
}

void out_lock_function(int flag) {
  lock_task(zui_lock);
  ZU_INTERPRETER* zui = _get_my_zui();
  if (zui && !(zui->flags & ZUI_F_LOCKF_TIMEOUT)) {
    int iid = static_cast<int>(zui->id);
    _lockf_meet(zui, 1);
    if (_search_zui_id(iid) == zui)
      zui->flags = (zui->flags & ~ZUI_F_LOCKF_PENDING) | (flag & ZUI_F_LOCKF_PENDING);
  }
  unlock_task(zui_lock, "out_lock_function");
}

void timeout_lock_function() {
  uint32_t now = get_zutime();
  int limit = get_lock_function_timeout();
  for (LOCKF_ENTRY* e = lockf_list; e; e = e->next) {
    if (now - e->time > static_cast<uint32_t>(limit)) {
      if (_search_zui_id(e->iid) == e->zui) e->zui->flags |= ZUI_F_LOCKF_TIMEOUT;
      wakeup_task(e);
    }
  }
}
