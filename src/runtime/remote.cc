#include "runtime/remote.h"

#include <algorithm>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/tick.h"
#include "runtime/delayed.h"
#include "runtime/net_ops.h"
#include "runtime/relay_fifo.h"
#include "stream/stream.h"
#include "zu/convert.h"
#include "zu/eval.h"
#include "zu/gc.h"
#include "zu/printer.h"
#include "zu/reader.h"

namespace {

// An error whose data is the text (as_list: a one-member list holding it).
ZU_SEXP* error_text(ZU_FILE* f, int line, uint32_t code, const char* func, const char* text, bool as_list) {
  ZU_SEXP* data = n_get_string(text);
  return get_error_ascii(f, line, code, func, as_list ? list(data) : data);
}

// A reply with sequence number r belongs to p.
bool in_range(ZU_RESULT* p, int r) {
  if (cmp_round(p->seq_from, r) > 0) return false;
  return p->sending || cmp_round(r, p->seq_to) < 0;
}

void mark_text(void* t) {
  if (t) gc_mark(t, gc_text);
}

// A query's record, whose delay value its asker waits on (*delay); made
// before zui_lock is taken, under which nothing is allocated.
ZU_RESULT* new_query(ZUISP_ENV* env, const L_CHAR* cmd_str, ZU_SEXP* cmd_sexp, ZU_FILE* file, int line,
                     ZU_SEXP** delay) {
  auto* r = static_cast<ZU_RESULT*>(mmalloc(sizeof(ZU_RESULT), gc_remote_delay));
  r->h.func = remote_delay_func;
  r->h.gc_func = gc_remote_delay;
  r->h.check_func = check_remote_delay;
  r->cmd_sexp = cmd_str ? nullptr : cmd_sexp;
  r->cmd_str = cmd_str ? ll_copy_mstr(cmd_str) : nullptr;
  r->file = file;
  r->line = line;
  r->remote_seq = line;
  r->cur_env = env;
  *delay = init_delay_func(r);
  return r;
}

// Writes a query on out: the encoding announcement the link is owed
// (sync, or null), then the command and its line end, flushed. *seq_to is
// the output's line count after the command. False when a write failed.
bool write_query(STREAM* out, CODE_METHOD* sync, const L_CHAR* cmd_str, ZU_SEXP* cmd_sexp, int ps, int* seq_to) {
  int err = 0;
  bool failed = false;
  if (sync && e_printf(out, &err, "&cx%x;", static_cast<unsigned>(sync->lccode)) < 0) failed = true;
  if (cmd_str) {
    if (e_printf(out, &err, "%ls\n", cmd_str) < 0) failed = true;
  } else {
    if (e_print_sexp(out, &err, cmd_sexp, ps) < 0 || e_printf(out, &err, "\n") < 0) failed = true;
  }
  *seq_to = s_get_cr(out);
  if (s_flush(out) < 0) failed = true;
  return !failed;
}

// Sends to interpreter iid; the record and its delay value are made first.
ZU_SEXP* send_query(int iid, ZUISP_ENV* env, const L_CHAR* cmd_str, ZU_SEXP* cmd_sexp) {
  ZU_FILE* file = cmd_str ? nullptr : sexp_file(cmd_sexp);
  int line = cmd_str || !cmd_sexp ? 0 : cmd_sexp->h.line;
  // Refused before anything is sent: half a command would break the link.
  if (!cmd_str && !sexp_printable(cmd_sexp, 0))
    return error_text(file, line, ZU_ER_TYPE, "Remote", "value nested too deeply or cyclic", true);
  ZU_SEXP* delay = nullptr;
  ZU_RESULT* r = new_query(env, cmd_str, cmd_sexp, file, line, &delay);

  lock_zui_out_iid(iid);
  lock_task(zui_lock);
  ZU_INTERPRETER* me = _get_my_zui();
  ZU_INTERPRETER* z = _search_zui_id(iid);
  const char* fail = nullptr;
  if (!me || !z || z->mode != ZUI_MODE_OPEN || z->out_lock_task != get_tid())
    fail = "invalid id";
  else if (!z->out)
    fail = "output stream error";
  if (fail) {
    unlock_task(zui_lock, "_remote_query");
    unlock_zui_out_iid(iid);
    return error_text(file, line, ZU_ER_STREAM, "Remote", fail, false);
  }
  STREAM* out = _zui_stream(&ZU_INTERPRETER::out, z);
  // A question asked for nobody in particular (a background task) is
  // asked for whom the link was opened for: the agent's own links keep
  // its questions its own.
  r->origin = evaluates_for_peer() ? eval_origin_handed() : z->origin;
  r->inp_interpreter = me;
  r->out_interpreter = z;
  r->seq_from = s_get_cr(out);
  r->sending = 1;
  r->next = z->result_head;
  z->result_head = r;
  r->my_zui_result_next = me->result_list;
  me->result_list = r;
  CODE_METHOD* sync = (z->flags & ZUI_F_CODE_SYNC) ? s_get_cm(out) : nullptr;
  if (sync) z->flags &= ~ZUI_F_CODE_SYNC;
  int ps = z->ps_flags & ~ZU_PRINT_MULTIROOT & 0xFFFF;
  unlock_task(zui_lock, "_remote_query");

  int seq_to = 0;
  bool failed = !write_query(out, sync, cmd_str, cmd_sexp, ps, &seq_to);

  lock_task(zui_lock);
  r->seq_to = seq_to;
  r->sending = 0;
  if (failed) {
    if (r->out_interpreter) delete_result_queue(r->out_interpreter, r);
    delete_result_list(r);
    z = _search_zui_id(iid);
    if (z && z->out == out) z->out = nullptr;
    if (z && z->err == out) z->err = nullptr;
  }
  unlock_task(zui_lock, "_remote_query");
  unlock_zui_out_iid(iid);
  if (failed) s_close_queue(out);
  s_drop(out);
  if (failed) {
    return get_error_ascii(file, line, ZU_ER_STREAM, "Remote",
                           List(n_get_string("output stream error(last)"), get_cmd(r), ZU_LIST_END));
  }
  return delay;
}

}  // namespace

int _wait_result_inp(ZU_RESULT* r) {
  assert_lock_held(zui_lock);
  ZU_INTERPRETER* req = r->inp_interpreter;
  int req_iid = req ? static_cast<int>(req->id) : 0;
  for (;;) {
    // The asker closed (its final close unlinked the query) counts as break.
    bool gone = !req || _search_zui_id(req_iid) != req || r->inp_interpreter != req;
    bool brk = gone || (req->flags & ZUI_F_BREAK);
    bool cancel = !gone && (req->flags & ZUI_F_CANCEL);
    // A full queue keeps the link's front thread from reading the reply:
    // the link's own task serves the queue while it waits.
    bool full = !gone && _get_my_zui() == req && r->out_interpreter && fifo_full_now(req);
    if (full) r->flags |= ZU_RESULT_REQUEST;
    if (!(r->flags & (ZU_RESULT_REQUEST | ZU_RESULT_REPLIED)) && !brk && !cancel) {
      sleep_task(r, zui_lock);
      lock_task(zui_lock);
      continue;
    }
    delete_result_list(r);
    if (brk || cancel) {
      if (r->out_interpreter) delete_result_queue(r->out_interpreter, r);
      // An internal interpreter has no loop that would consume the cancel.
      if (cancel && !brk && req->a_type == ZUI_SELF) req->flags &= ~ZUI_F_CANCEL;
      return brk ? ZU_WAIT_BREAK : ZU_WAIT_CANCEL;
    }
    if (r->flags & ZU_RESULT_REPLIED) return ZU_WAIT_REPLY;
    r->flags &= ~ZU_RESULT_REQUEST;
    // Requests arrived on the asking link while it waits: serve them here,
    // in the link's own task.
    if (_get_my_zui() == req && r->out_interpreter) {
      do {
        int line = req->inp_line;
        ZU_INTERPRETER* inp = req->inp_interpreter;
        gc_set_nl(r, gc_remote_delay);
        unlock_task(zui_lock, "_wait_result_inp");
        serve_link_requests(req);
        lock_task(zui_lock);
        if (_search_zui_id(req_iid) != req) break;
        req->inp_line = line;
        req->inp_interpreter = inp;
      } while (check_fifo(req) && !(req->flags & (ZUI_F_BREAK | ZUI_F_CANCEL)) &&
               !(r->flags & ZU_RESULT_REPLIED));
    }
    if (_search_zui_id(req_iid) != req) {
      req = nullptr;
      continue;
    }
    r->inp_interpreter = req;
    r->my_zui_result_next = req->result_list;
    req->result_list = r;
  }
}

namespace {

ZU_SEXP* sequence_error(ZU_RESULT* r, ZU_SEXP* value) {
  ZU_ERROR* e = value->error;
  ZU_SEXP* fname = e->file && e->file->name ? get_string(e->file->name) : n_get_string("");
  ZU_SEXP* data = List(get_string(e->site), fname, get_integer(e->line, nullptr), get_string(e->func),
                       get_integer(e->code, nullptr), e->data, ZU_LIST_END);
  static const L_CHAR kRemoteCall[] = {'r', 'e', 'm', 'o', 't', 'e', ' ', 'c', 'a', 'l', 'l', 0};
  return get_error(r->file, r->line, e->code, kRemoteCall, data);
}

}  // namespace

std::vector<int> _wake_result_list(ZU_INTERPRETER* zui) {
  assert_lock_held(zui_lock);
  std::vector<int> servers;
  for (ZU_RESULT* r = zui->result_list; r; r = r->my_zui_result_next) {
    ZU_INTERPRETER* s = r->out_interpreter;
    if (s && s != zui) {
      int sid = static_cast<int>(s->id);
      if (std::find(servers.begin(), servers.end(), sid) == servers.end()) servers.push_back(sid);
    }
    wakeup_task(r);
  }
  wake_delay_thread();
  return servers;
}

int cmp_round(int a, int b) {
  auto ua = static_cast<uint32_t>(a);
  if (ua >= 0x40000000u && ua <= 0xBFFFFFFFu) {
    auto ub = static_cast<uint32_t>(b);
    return ua < ub ? -1 : ua > ub ? 1 : 0;
  }
  return a < b ? -1 : a > b ? 1 : 0;
}

ZU_SEXP* remote_query(int id, ZUISP_ENV* env, const L_CHAR* cmd_str, ZU_SEXP* cmd_sexp) {
  if (!cmd_str && !cmd_sexp) return nullptr;
  ZU_FILE* file = cmd_str ? nullptr : sexp_file(cmd_sexp);
  int line = cmd_str ? 0 : cmd_sexp->h.line;
  int pri = zui_push_pri();
  lock_task(zui_lock);
  ZU_INTERPRETER* z = _search_zui_id(id);
  const char* fail = !z ? "invalid iid 1" : z->mode != ZUI_MODE_OPEN ? "invalid iid 2" : nullptr;
  bool link = z && z->thread_mode == 2;
  unlock_task(zui_lock, "remote_query");
  zui_pop_pri(pri);
  if (fail) return error_text(file, line, ZU_ER_INVALID_IID, "Remote", fail, true);
  if (!link) return nullptr;
  return send_query(id, env, cmd_str, cmd_sexp);
}

ZU_SEXP* _remote_query(ZU_INTERPRETER* zui, ZUISP_ENV* env, const L_CHAR* cmd_str, ZU_SEXP* cmd_sexp) {
  if (!zui) {
    ZU_FILE* file = cmd_str ? nullptr : sexp_file(cmd_sexp);
    int line = cmd_str || !cmd_sexp ? 0 : cmd_sexp->h.line;
    return error_text(file, line, ZU_ER_STREAM, "Remote", "invalid id", false);
  }
  lock_task(zui_lock);
  int iid = static_cast<int>(zui->id);
  unlock_task(zui_lock, "_remote_query");
  return send_query(iid, env, cmd_str, cmd_sexp);
}

ZU_SEXP* local_query(ZUISP_ENV* env, const L_CHAR* cmd_str, ZU_SEXP* cmd_sexp) {
  if (!cmd_str && !cmd_sexp) return nullptr;
  int pri = zui_push_pri();
  lock_task(zui_lock);
  ZU_INTERPRETER* me = _get_my_zui();
  bool ok = me && me->mode == ZUI_MODE_OPEN;
  int seq = ok ? me->inp_line : 0;
  // Only a link has a peer that can answer: a script read from a file
  // would wait for ever on a request written to its output.
  int target = ok && me->inp_interpreter && me->inp_interpreter->thread_mode == 2
                   ? static_cast<int>(me->inp_interpreter->id)
                   : 0;
  unlock_task(zui_lock, "local_query");
  zui_pop_pri(pri);
  if (!ok) return error_text(nullptr, 0, ZU_ER_INVALID_IID, "LocalEval", "invalid iid 3", true);
  if (!target) return error_text(nullptr, 0, ZU_ER_STREAM, "Remote", "invalid id", false);
  if (cmd_str) {
    std::string num = std::to_string(seq);
    std::basic_string<L_CHAR> text;
    auto add = [&](const char* a) {
      for (; *a; ++a) text.push_back(static_cast<unsigned char>(*a));
    };
    bool tag = cmd_str[0] == '<';
    add(tag ? "<LocalEval>" : "(LocalEval ");
    add(num.c_str());
    add(" ");
    text += cmd_str;
    add(tag ? "</LocalEval>" : ")");
    return send_query(target, env, text.c_str(), nullptr);
  }
  ZU_SEXP* cmd = List(get_symbol_ascii("LocalEval"), get_integer(seq, nullptr), cmd_sexp, ZU_LIST_END);
  set_sexp_pos(cmd, sexp_file(cmd_sexp), cmd_sexp->h.line);
  return send_query(target, env, nullptr, cmd);
}

ZU_SEXP* local_eval(int seq, ZU_SEXP* cmd) {
  lock_task(zui_lock);
  ZU_INTERPRETER* me = _get_my_zui();
  ZU_RESULT* p = nullptr;
  if (me)
    for (p = me->result_head; p && !in_range(p, seq); p = p->next) {
    }
  if (!p) {
    int n = me && me->result_head ? 2 : 1;
    unlock_task(zui_lock, "local_eval");
    return get_error_ascii(sexp_file(cmd), cmd ? cmd->h.line : 0, ZU_ER_LOCAL_EVAL, "LocalEval",
                           List(n_get_string("local evaluation error"), get_integer(n, nullptr), ZU_LIST_END));
  }
  int line = me->inp_line;
  ZU_INTERPRETER* inp = me->inp_interpreter;
  me->inp_line = p->remote_seq;
  me->inp_interpreter = p->inp_interpreter;
  ZUISP_ENV* env = p->cur_env;
  EVAL_ORIGIN origin = p->origin;
  origin.local_eval_link = me;
  gc_set_nl(env, gc_qnlisp_env);
  unlock_task(zui_lock, "local_eval");
  ZU_SEXP* v;
  {
    EvalOriginScope scope(origin);
    v = eval(env, cmd);
  }
  lock_task(zui_lock);
  me->inp_line = line;
  me->inp_interpreter = inp;
  unlock_task(zui_lock, "local_eval");
  return v;
}

int return_result(ZU_INTERPRETER* zui, ZU_SEXP* ret) {
  if (list_length(ret) < 3) return -1;
  ZU_SEXP* n = get_el(ret, 1);
  if (get_type(n) != ZU_TYPE_INTEGER) return -1;
  get_type(get_el(ret, 2));
  int seq = static_cast<int>(n->integer.num);
  lock_task(zui_lock);
  ZU_RESULT* p = zui->result_head;
  while (p && !in_range(p, seq)) p = p->next;
  if (!p) {
    unlock_task(zui_lock, "return_result");
    return -1;
  }
  p->ret = ret;
  p->flags |= ZU_RESULT_REPLIED;
  if (p->wup_key) wakeup_task(reinterpret_cast<void*>(static_cast<intptr_t>(p->wup_key)));
  delete_result_queue(zui, p);
  wakeup_task(p);
  wake_delay_thread();
  unlock_task(zui_lock, "return_result");
  return 0;
}

void flush_result_queue(ZU_INTERPRETER* zui) {
  ZuThreadScope scope("flush_result_queue");
  lock_task(zui_lock);
  ZU_RESULT* head = zui->result_head;
  zui->result_head = nullptr;
  std::vector<ZU_RESULT*> all;
  for (ZU_RESULT* p = head; p; p = p->next) {
    p->out_interpreter = nullptr;
    gc_set_nl(p, gc_remote_delay);
    all.push_back(p);
  }
  int ip = zui->connect_ip;
  unlock_task(zui_lock, "flush_result_queue");
  if (all.empty()) return;
  // The interpreter lives on until its front thread (the caller) ends.
  std::vector<ZU_SEXP*> rets;
  for (ZU_RESULT* p : all) {
    ZU_SEXP* data = list(get_cmd(p));
    if (zui->input_file_name) data = cons(get_string(zui->input_file_name), data);
    if (zui->hostname) data = cons(get_string(zui->hostname), data);
    if (ip) data = cons(get_integer(static_cast<uint32_t>(ip), nullptr), data);
    ZU_SEXP* e = get_error_ascii(nullptr, p->seq_from, ZU_ER_STREAM, "stream error", data);
    rets.push_back(List(get_symbol_ascii("Result"), get_integer(0, nullptr), e, ZU_LIST_END));
  }
  lock_task(zui_lock);
  for (size_t i = 0; i < all.size(); ++i) {
    ZU_RESULT* p = all[i];
    p->ret = rets[i];
    p->stream_end = 1;
    p->flags |= ZU_RESULT_REPLIED;
    wakeup_task(p);
    if (p->wup_key) wakeup_task(reinterpret_cast<void*>(static_cast<intptr_t>(p->wup_key)));
  }
  wakeup_task(&zui->result_head);
  wake_delay_thread();
  unlock_task(zui_lock, "flush_result_queue");
}

void delete_result_queue(ZU_INTERPRETER* zui, ZU_RESULT* r) {
  for (ZU_RESULT** p = &zui->result_head; *p; p = &(*p)->next) {
    if (*p == r) {
      *p = r->next;
      break;
    }
  }
  r->next = nullptr;
  r->out_interpreter = nullptr;
  if (!zui->result_head) wakeup_task(&zui->result_head);
}

void delete_result_list(ZU_RESULT* r) {
  ZU_INTERPRETER* me = r->inp_interpreter;
  if (!me) return;
  for (ZU_RESULT** p = &me->result_list; *p; p = &(*p)->my_zui_result_next) {
    if (*p == r) {
      *p = r->my_zui_result_next;
      break;
    }
  }
  r->my_zui_result_next = nullptr;
  r->inp_interpreter = nullptr;
}

void _abandon_result_queue(ZU_INTERPRETER* zui) {
  assert_lock_held(zui_lock);
  while (ZU_RESULT* p = zui->result_head) {
    delete_result_queue(zui, p);
    p->ret = nullptr;
    p->stream_end = 1;
    p->se_ip = zui->connect_ip;
    p->flags |= ZU_RESULT_REPLIED;
    wakeup_task(p);
    if (p->wup_key) wakeup_task(reinterpret_cast<void*>(static_cast<intptr_t>(p->wup_key)));
  }
  wake_delay_thread();
}

void _drop_result_list(ZU_INTERPRETER* zui) {
  assert_lock_held(zui_lock);
  ZU_RESULT* p = zui->result_list;
  zui->result_list = nullptr;
  while (p) {
    ZU_RESULT* next = p->my_zui_result_next;
    p->my_zui_result_next = nullptr;
    p->inp_interpreter = nullptr;
    wakeup_task(p);
    p = next;
  }
}

ZU_SEXP* remote_delay_value(ZU_RESULT* r) {
  gc_set_nl(r, gc_remote_delay);
  lock_task(zui_lock);
  int outcome = _wait_result_inp(r);
  unlock_task(zui_lock, "remote_delay_func");
  if (outcome == ZU_WAIT_BREAK) return get_error_ascii(r->file, r->line, ZU_ER_EXIT, "break", nullptr);
  if (outcome == ZU_WAIT_CANCEL) return get_error_ascii(r->file, r->line, ZU_ER_CANCEL_WAIT, "cancel", nullptr);
  if (!r->ret) {
    // The link closed with the query still listed: the stream error is
    // made here, outside the table lock.
    ZU_SEXP* data = list(get_cmd(r));
    if (r->se_ip) data = cons(get_integer(static_cast<uint32_t>(r->se_ip), nullptr), data);
    return get_error_ascii(nullptr, r->seq_from, ZU_ER_STREAM, "stream error", data);
  }
  ZU_SEXP* v = get_el(r->ret, 2);
  if (get_type(v) == ZU_TYPE_ERROR && !r->stream_end) v = sequence_error(r, v);
  return v;
}

ZU_SEXP* remote_delay_func(ZU_SEXP* s) {
  auto* r = static_cast<ZU_RESULT*>(s->delay.work);
  GcFrame frame("remote_delay_func");
  over_write_sexp(s, remote_delay_value(r));
  return s;
}

int _check_remote_delay(ZU_RESULT* r, int key) {
  assert_lock_held(zui_lock);
  if (key) r->wup_key = key;
  ZU_INTERPRETER* req = r->inp_interpreter;
  if ((r->flags & ZU_RESULT_REPLIED) || !req || (req->flags & (ZUI_F_BREAK | ZUI_F_CANCEL))) return 2;
  return 1;
}

int check_remote_delay(void* resp, int key) {
  lock_task(zui_lock);
  int r = _check_remote_delay(static_cast<ZU_RESULT*>(resp), key);
  unlock_task(zui_lock, "check_remote_delay");
  return r;
}

void gc_remote_delay(void* block) {
  auto* p = static_cast<ZU_RESULT*>(block);
  if (gc_mark_block(p)) return;
  gc_mark(p->ret, gc_qn_sexp);
  gc_mark(p->cmd_sexp, gc_qn_sexp);
  mark_text(p->cmd_str);
  gc_mark(p->file, gc_qn_file);
  gc_mark(p->cur_env, gc_qnlisp_env);
  if (p->s_id) {
    gc_mark(p->s_env, gc_qnlisp_env);
    gc_mark(p->s_url, gc_mcopy_url);
    mark_text(p->s_agent);
    mark_text(p->s_login_mode);
    mark_text(p->s_center_cmd);
    gc_mark(p->s_cmd, gc_qn_sexp);
    gc_mark(p->s_file, gc_qn_file);
  }
  gc_mark(p->send, gc_qn_sexp);
}

ZU_SEXP* get_cmd(ZU_RESULT* resp) {
  if (resp->cmd_str) return get_string(resp->cmd_str);
  return resp->cmd_sexp;
}

namespace {

// The query behind a delayed value of remote_query, else null. A force on
// another thread may turn s into its value at any moment: its record is read
// as over_write_delay allows (zui_lock held).
ZU_RESULT* _query_of(ZU_SEXP* s) {
  assert_lock_held(zui_lock);
  void* rec = delay_record(s);
  return rec && static_cast<DELAY_FUNC*>(rec)->func == remote_delay_func ? static_cast<ZU_RESULT*>(rec) : nullptr;
}

// Whether forcing r would not wait (zui_lock held).
bool _reply_ready(ZU_RESULT* r) { return (r->flags & ZU_RESULT_REQUEST) || _check_remote_delay(r, 0) == 2; }

}  // namespace

bool wait_remote_reply(ZU_SEXP* delay, double seconds) {
  int pri = zui_push_pri();
  lock_task(zui_lock);
  ZU_RESULT* r = _query_of(delay);
  bool ready = !r || _reply_ready(r);
  if (!ready) {
    // A reply, the link's end and a stop all wake the record.
    _i_sleep_task_timeout(r, zui_lock, seconds, __FILE__, __LINE__);
    lock_task(zui_lock);
    r = _query_of(delay);
    ready = !r || _reply_ready(r);
  }
  unlock_task(zui_lock, "wait_remote_reply");
  zui_pop_pri(pri);
  return ready;
}

int drop_remote_query(ZU_SEXP* delay) {
  int pri = zui_push_pri();
  lock_task(zui_lock);
  ZU_RESULT* r = _query_of(delay);
  int server = 0;
  if (r && !(r->flags & ZU_RESULT_REPLIED)) {
    if (ZU_INTERPRETER* s = r->out_interpreter) {
      if (s->result_head == r && !r->next) server = static_cast<int>(s->id);
      delete_result_queue(s, r);
    }
    delete_result_list(r);
    wakeup_task(r);
  }
  unlock_task(zui_lock, "drop_remote_query");
  zui_pop_pri(pri);
  return server;
}

int aboat_remote_query(ZU_SEXP* s) {
  int pri = zui_push_pri();
  lock_task(zui_lock);
  ZU_RESULT* r = _query_of(s);
  int iid = r && r->out_interpreter ? static_cast<int>(r->out_interpreter->id) : 0;
  bool query = r != nullptr;
  unlock_task(zui_lock, "aboat_remote_query");
  zui_pop_pri(pri);
  if (query) {
    if (iid) close_interpreter_nowait(iid);
    return 0;
  }
  // Not a query (or one that has just turned into its value, which no force
  // rewrites again): the plain read sees a settled value.
  STREAM* st = nullptr;
  if (get_delay_info(&st, nullptr, s) == 4 && st) {
    s_close_queue(st);
    return 1;
  }
  return -1;
}

// ---- collector

void sp_gc_interpreter() {
  for (int iid = _get_next_iid(0); iid > 0; iid = _get_next_iid(iid)) {
    ZU_INTERPRETER* z = _search_zui_id(iid);
    for (ZU_RESULT** p = &z->result_head; *p;) {
      ZU_RESULT* r = *p;
      if (gc_is_marked(r)) {
        p = &r->next;
        continue;
      }
      // Nobody waits for this reply any more.
      if (r->s_id) new_tick(remote_session_tick, 0, r->s_session);
      *p = r->next;
      r->next = nullptr;
      r->out_interpreter = nullptr;
    }
  }
  for (int iid = _get_next_iid(0); iid > 0; iid = _get_next_iid(iid)) {
    ZU_INTERPRETER* z = _search_zui_id(iid);
    for (ZU_RESULT* r = z->result_list; r; r = r->my_zui_result_next) gc_mark(r, gc_remote_delay);
  }
}

void check_result_list(ZU_INTERPRETER* zui) {
  lock_task(zui_lock);
  for (ZU_RESULT* r = zui->result_list; r; r = r->my_zui_result_next) {
  }
  unlock_task(zui_lock, "check_result_list");
}
