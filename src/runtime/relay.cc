#include "runtime/relay.h"
#include "runtime/accept_impl.h"

#include <cstdio>
#include <vector>

#include "base/alloc.h"
#include "base/panic.h"
#include "runtime/delayed.h"
#include "runtime/front.h"
#include "runtime/link_budget.h"
#include "runtime/lock_function.h"
#include "runtime/peer_tasks.h"
#include "runtime/relay_fifo.h"
#include "runtime/remote.h"
#include "stream/net.h"
#include "zu/eval.h"
#include "zu/gc.h"
#include "zu/reader.h"
#include "zu/site.h"

namespace {

bool exit_class(uint32_t code) { return code && (code & ZU_ER_CLASS_MASK) == ZU_ER_EXIT_CLASS; }

// The name of a form's head symbol, or null.
const L_CHAR* head_name(ZU_SEXP* form) {
  if (sexp_type(form) != ZU_TYPE_LIST) return nullptr;
  ZU_SEXP* h = form->pair.car;
  return sexp_type(h) == ZU_TYPE_SYMBOL ? sym_name(h) : nullptr;
}

bool is(const L_CHAR* name, const char* ascii) { return name && zu_wcmp_ascii(name, ascii) == 0; }

}  // namespace

void write_cancel(int iid) {
  lock_zui_out_iid(iid);
  lock_task(zui_lock);
  ZU_INTERPRETER* z = _search_zui_id(iid);
  STREAM* out = z ? _zui_stream(&ZU_INTERPRETER::out, z) : nullptr;
  unlock_task(zui_lock, "write_cancel");
  if (out) {
    int err = 0;
    bool failed = e_printf(out, &err, "<Cancel/>\n") < 0 || s_flush(out) < 0;
    if (failed) {
      lock_task(zui_lock);
      z = _search_zui_id(iid);
      if (z && z->out == out) z->out = nullptr;
      if (z && z->err == out) z->err = nullptr;
      unlock_task(zui_lock, "write_cancel");
      s_close_queue(out);
    }
    s_drop(out);
  }
  unlock_zui_out_iid(iid);
}

// ---- control forms

int _permission(ZU_INTERPRETER* zui, ZU_SEXP* form) {
  ZU_SEXP* v = get_el(form, 1);
  int answer = ZUI_F_ANSWER_OTHER;
  if (get_type(v) == ZU_TYPE_STRING) {
    if (zu_wcmp_ascii(str_text(v), "Allow") == 0)
      answer = ZUI_F_ANSWER_ALLOW;
    else if (zu_wcmp_ascii(str_text(v), "Denied") == 0)
      answer = ZUI_F_ANSWER_DENIED;
    else if (zu_wcmp_ascii(str_text(v), "Busy") == 0)
      answer = ZUI_F_ANSWER_BUSY;
  }
  lock_task(zui_lock);
  int r = -1;
  if (!(zui->flags & ZUI_F_ANSWER_MASK)) {
    zui->flags |= answer;
    wakeup_task(&zui->flags);
    r = 0;
  }
  unlock_task(zui_lock, "_permission");
  return r;
}

void _cancel(ZU_INTERPRETER* zui) { send_cancel(static_cast<int>(zui->id)); }

void send_cancel(int iid) {
  std::vector<int> servers;
  lock_task(zui_lock);
  ZU_INTERPRETER* z = _search_zui_id(iid);
  if (z) {
    _stop_zui(z, ZUI_F_CANCEL);
    servers = _wake_result_list(z);
  }
  unlock_task(zui_lock, "send_cancel");
  for (int sid : servers) write_cancel(sid);
}

void _break(ZU_INTERPRETER* zui) {
  lock_task(zui_lock);
  _close_interpreter(static_cast<int>(zui->id));
  unlock_task(zui_lock, "_break");
}

// ---- relay-mode front thread

namespace {

std::atomic<uint64_t> link_line_cap{uint64_t{4} << 20};

// The reader's admit hook on links.
int admit_input(ZU_FILE* f) {
  auto* zui = static_cast<ZU_INTERPRETER*>(f->zui);
  return link_admit_input(zui->meter, f);
}

// Dispatches one form read from the link: control forms are acted on at
// once, everything else is queued for the relay (bytes: its source size,
// charge: what reading it cost, kept while it is queued).
void front_dispatch(ZU_INTERPRETER* zui, ZU_FILE* f, ZU_SEXP* form, int64_t bytes, int64_t charge) {
  const L_CHAR* head = head_name(form);
  bool queued = false;
  bool handed = false;  // the queue took the charge (and lets a refused form's go)
  if (!head) {
    queued = put_zu_fifo_n(zui, form, bytes, charge) == 0;
    handed = true;
  } else if (is(head, "Permission") && _permission(zui, form) == 0) {
  } else if (is(head, "Result")) {
    return_result(zui, form);
  } else if (is(head, "Cancel")) {
    _cancel(zui);
  } else if (is(head, "Break")) {
    _break(zui);
  } else if (is(head, "?xml") || is(head, "?zu")) {
    // A header acts at once, even while the relay thread is still busy: it
    // switches the decoding of what follows and may point the standard
    // streams at this link. Where no library binds it, its encoding is
    // applied here.
    ZU_SEXP* value;
    {
      EvalOriginScope scope(link_origin(zui));
      value = eval(zui->env, form);
    }
    if (get_type(value) == ZU_TYPE_ERROR) {
      value = nullptr;
      static const L_CHAR kEncoding[] = {'e', 'n', 'c', 'o', 'd', 'i', 'n', 'g', 0};
      if (const L_CHAR* enc = get_sf_attribute(sym_field(form->pair.car), kEncoding)) zu_set_encoding_name(f, enc);
    }
    // Its value is queued in its place with the header's line, which
    // numbers the reply: a peer waiting for the answer to that line gets it.
    gc_push(value, gc_qn_sexp, "front_header");
    ZU_SEXP* stand_in = List(get_symbol_ascii("quote"), value, ZU_LIST_END);
    gc_pop(nullptr, nullptr);
    stand_in->h.line = form->h.line;
    queued = put_zu_fifo_n(zui, stand_in, bytes) == 0;
  } else {
    queued = put_zu_fifo_n(zui, form, bytes, charge) == 0;
    handed = true;
  }
  if (!handed) link_release(zui->meter, charge);
  if (queued) {
    lock_task(zui_lock);
    for (ZU_RESULT* r = zui->result_list; r; r = r->my_zui_result_next) {
      r->flags |= ZU_RESULT_REQUEST;
      wakeup_task(r);
    }
    unlock_task(zui_lock, "_front_thread_2");
  }
  if (head) inp_lock_function(zui, head);
}

// Reads the link until its input ends.
void front_read(ZU_INTERPRETER* zui, STREAM* inp) {
  ZU_SEXP* rest;
  ZU_FILE* f;
  {
    // What init_parse makes is pinned in a frame of its own: the caller's
    // scope lasts as long as the link, and the head of the list pinned
    // there would keep every form the peer ever sent. The scope keeps the
    // file alone; the frame of the form being read pins the rest of the
    // list.
    GcFrame made("front_read");
    rest = init_parse(inp, zui->msg, zui->msg);
    f = sexp_type(rest) == ZU_TYPE_DELAY ? sexp_file(rest) : nullptr;
    if (!f) return;
    made.keep(f, gc_qn_file);
  }
  gc_push(rest, gc_qn_sexp, "front_th2_1");
  // The interpreter owns the stream (it replies on it too).
  f->flags |= ZU_FILE_KEEP_STREAM;
  f->zui = zui;
  f->result_hook = zui_lex_result;
  zu_set_line_cap(f, link_line_cap.load(std::memory_order_relaxed));
  if (zui->meter) {
    f->admit_hook = admit_input;
    link_input_begin(zui->meter);
  }
  lock_task(zui_lock);
  zui->acc_file = f;
  unlock_task(zui_lock, "_front_thread_2");
  uint64_t pos = zu_file_position(f);
  for (;;) {
    int type = get_type(rest);  // waits for the next form
    if (type != ZU_TYPE_LIST) {
      if (type == ZU_TYPE_ERROR && error_code(rest) != ZU_ER_END_OF_INPUT) _reply(zui, rest->h.line, rest);
      else if (zui->a_type == ZUI_PIPE) ss_printf("*********************** READ ERROR\n");
      break;
    }
    ZU_SEXP* form = rest->pair.car;
    uint64_t now = zu_file_position(f);
    int64_t bytes = static_cast<int64_t>(now - pos);
    pos = now;
    int64_t charge = link_form_read(zui->meter, f, form);
    if (get_type(form) == ZU_TYPE_ERROR) {
      // A form cut off by the end of input (or a read failure, a line over
      // its cap, input over the link memory budget) is answered too; the
      // list ends after it.
      _reply(zui, form->h.line, form);
      link_release(zui->meter, charge);
    } else {
      front_dispatch(zui, f, form, bytes, charge);
    }
    // The next form's frame takes this one's place; nothing between the
    // pop and the push lets a collection run.
    rest = rest->pair.cdr;
    gc_pop(nullptr, nullptr);
    gc_push(rest, gc_qn_sexp, "front_th2_1");
  }
  gc_pop(nullptr, nullptr);
  link_input_end(zui->meter);
  bool reset = zu_file_read_failed(f);
  lock_task(zui_lock);
  zui->acc_file = nullptr;
  // A link that replies on the stream it reads has lost its peer when a
  // read failed (a reset): what is still queued is answered to nobody, and
  // is not evaluated.
  if (reset && zui->out == inp) zui->out = nullptr;
  if (reset && zui->err == inp) zui->err = nullptr;
  unlock_task(zui_lock, "_front_thread_2");
  close_zu_file(f);
}

// A connection a peer opened whose input has ended goes on evaluating what
// it queued, with nobody to stop it by closing: from here its relay counts
// against the peer's address (peer_tasks.h) until the final close gives it
// back. False when the address holds all it may: the evaluation stops
// then. zui_lock held.
bool _count_closed_link(ZU_INTERPRETER* zui) {
  assert_lock_held(zui_lock);
  if (!zui->accepted || !zui->origin.for_peer || zui->peer_tasks >= kLinkTasks) return true;
  if (!take_address_tasks(zui->peer_tasks_ip, 1)) return false;
  zui->peer_tasks += 1;
  return true;
}

}  // namespace

void set_link_line_cap(uint64_t bytes) { link_line_cap.store(bytes ? bytes : uint64_t{4} << 20); }

void _front_thread_2(ZU_INTERPRETER* zui) {
  lock_task(zui_lock);
  STREAM* inp = zui->inp;
  bool admit = zui->flags & ZUI_F_ADMIT;
  unlock_task(zui_lock, "_front_thread_2");
  if (admit) send_admission(zui);
  if (inp) {
    ZuThreadScope scope("front_th2_1");
    front_read(zui, inp);
  }
  gc_check_no_frames("thread_2");

  lock_task(zui_lock);
  int mode = zui->mode;
  if (mode == ZUI_MODE_OPEN) zui->mode = ZUI_MODE_FRONT_ENDING;
  // A link that replies on the stream it reads keeps it open for the
  // answers still to come; the final close closes it.
  bool replies_on_input = inp && zui->out == inp && mode == ZUI_MODE_OPEN;
  uint32_t peer_id = zui->peer_id;
  bool over_cap = mode == ZUI_MODE_OPEN && !_count_closed_link(zui);
  unlock_task(zui_lock, "_front_thread_2");
  if (over_cap) close_interpreter_nowait(static_cast<int>(zui->id));
  // Its peer has gone: so do the links it had the agent open.
  close_links_opened_for(peer_id);
  if (inp && !replies_on_input) s_close_queue(inp);
  if (mode == ZUI_MODE_RELAY_ENDED) {
    if (agent_close_zui) agent_close_zui(zui);
    flush_result_queue(zui);
    lock_task(zui_lock);
    _delete_zui_thread(get_tid());
    _close_zu_interpreter(zui);
    unlock_task(zui_lock, "_front_thread_2");
  } else if (mode == ZUI_MODE_OPEN) {
    flush_result_queue(zui);
    // The relay answers what is queued, then performs the final close.
    end_fifo_input(zui);
    lock_task(zui_lock);
    zui->mode = ZUI_MODE_FRONT_ENDED;
    wakeup_task(&zui->mode);
    wakeup_task(&zui->out);
    _delete_zui_thread(get_tid());
    unlock_task(zui_lock, "_front_thread_2");
  } else {
    er_panic("_front_thread_2");
  }
}

// ---- relay thread

namespace {

// Whether a relay waiting for room in the link budget should give up: its
// link is being broken off or has lost its output.
bool link_ending(void* arg) {
  auto* zui = static_cast<ZU_INTERPRETER*>(arg);
  lock_task(zui_lock);
  bool ending = (zui->flags & ZUI_F_BREAK) || !zui->out;
  unlock_task(zui_lock, "link_ending");
  return ending;
}

}  // namespace

namespace {

enum class Taken { kStop, kSkip, kForm };

// The relay's next form: kStop once the link breaks or its queue has
// ended, kSkip when there is nothing to evaluate (an empty entry, or a
// GetUserInfo answered here), else kForm with the form and its line.
Taken take_form(ZU_INTERPRETER* zui, int no_wait, ZU_SEXP** form, int* line, EVAL_ORIGIN* origin) {
  zui_set_silent(zui, 0);
  bool got;
  *form = take_zu_fifo(zui, no_wait, &got);
  zui_set_silent(zui, -1);
  *line = *form ? (*form)->h.line : 0;
  lock_task(zui_lock);
  bool brk = zui->flags & ZUI_F_BREAK;
  zui->flags &= ~ZUI_F_CANCEL;
  *origin = _form_origin(zui);
  if (!brk && got && *form) {
    zui->inp_line = *line;
    zui->inp_interpreter = zui;
  }
  unlock_task(zui_lock, "relay_loop");
  if (brk || !got) return Taken::kStop;
  if (!*form) return Taken::kSkip;
  // A GetUserInfo relayed to the main link is asked for the same peer.
  if (is(head_name(*form), "GetUserInfo")) {
    EvalOriginScope scope(*origin);
    if (_get_user_info(zui, zui->env, *line, *form) >= 0) return Taken::kSkip;
  }
  return Taken::kForm;
}

// Answers the form on line with its value, or queues the answer while the
// value is pending, and ends the evaluation's count (`before`); *charge is
// what the reply holds of the link's budget until the caller lets go of
// it. Whether the loop stops: the link has lost its output, the reply was
// over its share, or the value is an error of the exit class.
bool answer(ZU_INTERPRETER* zui, ZU_SEXP* form, int line, ZU_SEXP* value, const LINK_EVAL_SAVE& before,
            int64_t* charge) {
  *charge = 0;
  lock_task(zui_lock);
  bool no_out = !zui->out;
  unlock_task(zui_lock, "relay_loop");
  if (no_out) {
    link_eval_end(zui->meter, before);
    return true;
  }
  bool stop = false;
  bool ready = check_delay(value, 0) != 1;
  // The reply is charged before the evaluation stops counting, so that
  // the value is never out of the budget's sight.
  if (ready && !link_reply_begin(zui->meter, value, charge)) {
    // A reply this link cannot hold within its share is refused, and the
    // link ends.
    value = get_error_ascii(sexp_file(form), line, ZU_ER_PARAM, "reply",
                            list(get_string_ascii("reply over the link memory budget")));
    stop = true;
  }
  link_eval_end(zui->meter, before);
  if (!ready) {
    insert_delay_que(zui, line, value);
    return stop;
  }
  _reply(zui, line, value);
  uint32_t code = get_type(value) == ZU_TYPE_ERROR ? error_code(value) : 0;
  return stop || (code != ZU_ER_CANCEL_WAIT && exit_class(code));
}

}  // namespace

void relay_loop(ZU_INTERPRETER* zui, int no_wait) {
  for (;;) {
    gc_push(nullptr, nullptr, "relay");
    ZU_SEXP* form = nullptr;
    int line = 0;
    EVAL_ORIGIN origin{};
    Taken taken = take_form(zui, no_wait, &form, &line, &origin);
    if (taken != Taken::kForm) {
      gc_pop(nullptr, nullptr);
      if (taken == Taken::kStop) break;
      continue;
    }
    // A form of the link itself, also when it is served inside a
    // LocalEval's evaluation (a task waiting for its reply). A nested loop
    // (a task waiting for a remote result) does not wait for room: the
    // evaluation it runs inside is counted already.
    LINK_EVAL_SAVE before{};
    if (!link_eval_begin(zui->meter, !no_wait, origin.for_peer, link_ending, zui, &before)) {
      gc_pop(nullptr, nullptr);
      break;
    }
    ZU_SEXP* value;
    {
      EvalOriginScope scope(origin);
      value = eval(zui->env, form);
    }
    int64_t charge = 0;
    bool stop = answer(zui, form, line, value, before, &charge);
    gc_pop(nullptr, nullptr);
    // Let go once the value is no longer pinned here, so that the next
    // collection can free it.
    link_reply_end(zui->meter, charge);
    if (stop) break;
  }
}

void _relay_thread(TKEY data) {
  auto* zui = static_cast<ZU_INTERPRETER*>(data);
  int tid = get_tid();
  lock_task(zui_lock);
  zui->relay_thread = tid;
  _register_zui_thread(zui, tid);
  unlock_task(zui_lock, "_relay_thread");
  {
    ZuThreadScope scope("relay");
    relay_loop(zui, 0);
  }
  lock_task(zui_lock);
  int mode = zui->mode;
  unlock_task(zui_lock, "_relay_thread");
  if ((mode == ZUI_MODE_FRONT_ENDING || mode == ZUI_MODE_FRONT_ENDED) && agent_close_zui) agent_close_zui(zui);
  drop_delay_que(zui);
  close_fifo(zui);
  lock_task(zui_lock);
  switch (zui->mode) {
    case ZUI_MODE_FRONT_ENDING:
      while (zui->mode == ZUI_MODE_FRONT_ENDING) {
        sleep_task(&zui->mode, zui_lock);
        lock_task(zui_lock);
      }
      if (zui->mode != ZUI_MODE_FRONT_ENDED) er_panic("_relay_thread(1)");
      _delete_zui_thread(tid);
      _close_zu_interpreter(zui);
      break;
    case ZUI_MODE_FRONT_ENDED:
      _delete_zui_thread(tid);
      _close_zu_interpreter(zui);
      break;
    case ZUI_MODE_OPEN: {
      // The relay ended first (break, exit, lost output): end the input so
      // that the front thread closes.
      STREAM* inp = zui->inp;
      if (zui->out == inp) zui->out = nullptr;
      if (zui->err == inp) zui->err = nullptr;
      zui->inp = nullptr;
      zui->mode = ZUI_MODE_RELAY_ENDED;
      _delete_zui_thread(tid);
      if (inp) s_close_queue(inp);
      break;
    }
    default:
      er_panic("_relay_thread(2)");
  }
  unlock_task(zui_lock, "_relay_thread");
  gc_check_no_frames("relay");
}

// ---- GetUserInfo

int _get_user_info(ZU_INTERPRETER* zui, ZUISP_ENV* env, int seq, ZU_SEXP* form) {
  int main_iid = get_main_interpreter();
  lock_task(zui_lock);
  ZU_INTERPRETER* m = _search_zui_id(main_iid);
  bool served = m && m->a_type == ZUI_CONNECT;
  int connect_ip = zui->connect_ip;
  unlock_task(zui_lock, "_get_user_info");
  ZU_SEXP* what = get_el(form, 4);
  if (!served || get_type(what) != ZU_TYPE_STRING) return -1;
  ZU_SEXP* ans = remote_query(main_iid, env, nullptr, form);
  int type = get_type(ans);
  ZU_SEXP* reply = ans;
  if (zu_wcmp_ascii(str_text(what), "ip") == 0 && type == ZU_TYPE_LIST) {
    ZU_SEXP* first = ans->pair.car;
    int ftype = get_type(first);
    if (ftype == ZU_TYPE_ERROR) {
      reply = first;
    } else if (ftype != ZU_TYPE_INTEGER) {
      // A wrong type, not the exit class: a reply of that class reads as
      // nil at the peer, which would take the bad answer for an empty one.
      reply = get_error_ascii(sexp_file(form), form->h.line, ZU_ER_TYPE, "GetUserInfo",
                              n_get_string("type missmatch of return value of GetUserInfo"));
    } else if (hostcmp(nullptr, static_cast<int>(first->integer.num), nullptr, connect_ip) != 0) {
      reply = get_error_ascii(sexp_file(form), form->h.line, ZU_ER_DENIED, "GetUserInfo",
                              n_get_string("permission denied(invalid ip chain)"));
    } else {
      reply = cons(get_integer(static_cast<uint32_t>(zulisp_site_ipv4()), nullptr), ans);
    }
  }
  _reply(zui, seq, reply);
  return 0;
}

ZU_SEXP* get_user_ip(ZUISP_ENV* env) {
  lock_task(zui_lock);
  ZU_INTERPRETER* me = _get_my_zui();
  int kind = me ? me->a_type : 0;
  int iid = me ? static_cast<int>(me->id) : -1;
  unlock_task(zui_lock, "get_user_ip");
  if (kind == ZUI_STDIO || kind == ZUI_FILE || kind == ZUI_IPC)
    return list(get_integer(static_cast<uint32_t>(zulisp_site_ipv4()), nullptr));
  ZU_SEXP* q = List(get_symbol_ascii("GetUserInfo"), n_get_string(""), n_get_string(""), n_get_string(""),
                    n_get_string("ip"), ZU_LIST_END);
  return remote_query(iid, env, nullptr, q);
}
