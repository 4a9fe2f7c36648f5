#include "runtime/front.h"

#include <atomic>
#include <cstring>

#include "base/entry.h"
#include "base/lost_output.h"
#include "base/signals.h"
#include "runtime/reply_code.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/eval.h"
#include "zu/gc.h"
#include "zu/printer.h"
#include "zu/reader.h"

ZU_FILE* terminal_file = nullptr;

namespace {

bool exit_class(uint32_t code) { return code && (code & ZU_ER_CLASS_MASK) == ZU_ER_EXIT_CLASS; }

void set_flags(ZU_INTERPRETER* zui, int set, int clear) {
  lock_task(zui_lock);
  zui->flags = (zui->flags | set) & ~clear;
  unlock_task(zui_lock, "set_flags");
}

// Whether the agent's end (an interrupt) stopped what zui evaluates; a
// close of zui alone lets the form it cut short answer.
bool stopped_by_end(ZU_INTERPRETER* zui) {
  lock_task(zui_lock);
  const bool stopped = (zui->flags & ZUI_F_BREAK) && _agent_ending();
  unlock_task(zui_lock, "stopped_by_end");
  return stopped;
}

int prompt_depth() {
  ZU_FILE* f = terminal_file;
  return f ? zu_file_depth(f) : -1;
}

}  // namespace

void _front_thread_1(ZU_INTERPRETER* zui) {
  {
    ZuThreadScope scope("front_th");
    lock_task(zui_lock);
    STREAM* inp = zui->inp;
    unlock_task(zui_lock, "_front_thread_1");
    ZU_SEXP* rest = inp ? init_parse(inp, zui->msg, zui->msg) : nullptr;
    ZU_FILE* f = sexp_type(rest) == ZU_TYPE_DELAY ? sexp_file(rest) : nullptr;
    if (f) {
      gc_set_nl(f, gc_qn_file);
      f->zui = zui;
      f->result_hook = zui_lex_result;
      lock_task(zui_lock);
      // The terminal stream is the interpreter's input, output and error.
      bool terminal = (zui->flags & ZUI_F_TERMINAL) && zui->out == inp;
      unlock_task(zui_lock, "_front_thread_1");
      if (terminal) {
        terminal_file = f;
        terminal_prompt_2(inp);
      }
      for (;;) {
        // One frame per form pins the rest of the list; nothing between the
        // pop and the next push lets a collection run.
        gc_push(rest, gc_qn_sexp, "front_th");
        int type = get_type(rest);  // waits for the next form
        zui_set_silent(zui, -1);
        if (type != ZU_TYPE_LIST) {
          if (type == ZU_TYPE_ERROR && error_code(rest) != ZU_ER_END_OF_INPUT)
            ss_printf("parsing error\n");
          gc_pop(nullptr, nullptr);
          break;
        }
        ZU_SEXP* form = rest->pair.car;
        int line = form ? form->h.line : 0;
        // A form cut off by the end of input (or a read failure) is a
        // reader error like any other; the list ends after it.
        bool read_error = get_type(form) == ZU_TYPE_ERROR;
        lock_task(zui_lock);
        // A break (an interrupt, a close) ends the script before its next
        // form, whatever the form before answered.
        bool brk = zui->flags & ZUI_F_BREAK;
        zui->flags &= ~ZUI_F_CANCEL;
        const EVAL_ORIGIN origin = _form_origin(zui);
        if (!read_error && !brk) {
          zui->inp_line = line;
          zui->inp_interpreter = zui;
        }
        unlock_task(zui_lock, "_front_thread_1");
        if (brk) {
          gc_pop(nullptr, nullptr);
          break;
        }
        ZU_SEXP* value = form;
        if (!read_error) {
          EvalOriginScope scope(origin);
          value = eval(zui->env, form);
        }
        // A form an interrupt cut short has no answer of its own (a loop
        // the stop ended would read as one that finished): nothing is
        // replied, and the script ends here. An error it gave back (a read
        // whose wait the interrupt ended) is its honest answer.
        // A break that asked for the end itself (a failure under ErrHandler)
        // is no answer either.
        const bool is_error = get_type(value) == ZU_TYPE_ERROR;
        if ((!is_error || exit_class(error_code(value))) && stopped_by_end(zui)) {
          gc_pop(nullptr, nullptr);
          break;
        }
        _reply(zui, line, value);
        uint32_t code = get_type(value) == ZU_TYPE_ERROR ? error_code(value) : 0;
        if (code == ZU_ER_CANCEL_WAIT) {
          set_flags(zui, 0, ZUI_F_CANCEL);
        } else if (exit_class(code)) {
          gc_pop(nullptr, nullptr);
          break;
        }
        if (terminal) terminal_prompt_2(inp);
        rest = rest->pair.cdr;
        zui_set_silent(zui, 0);
        gc_pop(nullptr, nullptr);
      }
      if (terminal_file == f) terminal_file = nullptr;
      close_zu_file(f);
    }
  }
  gc_check_no_frames("thread_1");
  if (agent_close_zui) agent_close_zui(zui);
  lock_task(zui_lock);
  _close_zu_interpreter(zui);
  _delete_zui_thread(get_tid());
  unlock_task(zui_lock, "_front_thread_1");
}

// ---- the reply writer

namespace {

// What a reply needs of its record, read in one hold of the table lock,
// which also marks the record replying and takes its output lock: the
// streams written to (referenced), whether the encoding may switch, and
// whether this reply announces the encoding first (it then takes that
// request off the record).
struct ReplyTake {
  STREAM* st[2] = {nullptr, nullptr};  // the output; a separate error stream
  bool no_switch = false;
  bool sync = false;
};

ReplyTake take_for_reply(ZU_INTERPRETER* zui, bool to_err) {
  ReplyTake t;
  int pri = zui_push_pri();
  lock_task(zui_lock);
  zui->flags |= ZUI_F_REPLYING;
  _lock_zui_out(zui);
  t.no_switch = zui->flags & ZUI_F_NO_CODE_SWITCH;
  t.st[0] = _zui_stream(&ZU_INTERPRETER::out, zui);
  if (to_err && zui->err && zui->err != zui->out) t.st[1] = _zui_stream(&ZU_INTERPRETER::err, zui);
  t.sync = (zui->flags & ZUI_F_CODE_SYNC) && (t.st[0] || t.st[1]);
  if (t.sync) zui->flags &= ~ZUI_F_CODE_SYNC;
  unlock_task(zui_lock, "_reply");
  zui_pop_pri(pri);
  return t;
}

// Ends a reply in one hold of the table lock: a stream whose write failed
// leaves the record, the output lock goes, the replying mark is cleared.
void end_reply(ZU_INTERPRETER* zui, const ReplyTake& t, const bool failed[2]) {
  lock_task(zui_lock);
  for (int i = 0; i < 2; ++i) {
    if (!failed[i]) continue;
    if (zui->out == t.st[i]) zui->out = nullptr;
    if (zui->err == t.st[i]) zui->err = nullptr;
  }
  _unlock_zui_out(zui);
  zui->flags &= ~ZUI_F_REPLYING;
  unlock_task(zui_lock, "_reply");
}

// Writes one reply on st (the output lock held); false when a write failed.
// to: the encoding the value goes in between switches, or null.
bool write_reply(ZU_INTERPRETER* zui, STREAM* st, int seq, ZU_SEXP* value, CODE_METHOD* to, bool sync) {
  int err = 0;  // the reason is kept by the stream (s_write_error)
  bool failed = false;
  auto put = [&](int r) {
    if (r < 0) failed = true;
  };
  CODE_METHOD* old = nullptr;
  if (to) {
    old = s_get_cm(st);
    put(e_printf(st, &err, "&cx%x;", static_cast<unsigned>(to->lccode)));
    s_set_cm(st, to);
    put(e_printf(st, &err, "\n"));
    sync = false;
  }
  if (sync) {
    if (CODE_METHOD* cm = s_get_cm(st)) put(e_printf(st, &err, "&cx%x;", static_cast<unsigned>(cm->lccode)));
  }
  if (zui->result_flag) put(e_printf(st, &err, "<Result> %i ", seq));
  // 64 would split a list into root lines; the high bits are the
  // interpreter's own and mean nothing to the printer.
  int flags = zui->ps_flags & ~ZU_PRINT_MULTIROOT & 0xFFFF;
  // A peer reads a reply inside <Result> as an element's member, where a
  // bare word is text: the value is written so that it reads back as
  // itself there. (A script's replies to its output file keep their form.)
  if (zui->result_flag && zui->thread_mode == 2) flags |= ZU_PRINT_MEMBER;
  int printed = e_print_sexp(st, &err, value, flags);
  // A value the printer refuses has written nothing: the reply says why in
  // its place, and the stream stays open.
  if (printed == ZU_PRINT_REFUSED) printed = e_print_sexp(st, &err, print_refused_error(value), flags);
  put(printed);
  put(e_printf(st, &err, zui->result_flag ? "</Result>\n" : "\n"));
  put(e_flush(st, &err));
  if (old) {
    put(e_printf(st, &err, "&cx%x;", static_cast<unsigned>(old->lccode)));
    s_set_cm(st, old);
    put(e_printf(st, &err, "\n"));
    put(s_flush(st));
  }
  return !failed;
}

// A script's replies or error file that could not be written: said on the
// standard error with the system's reason, and the program's end fails.
// Links and pipes lose their output when their peer goes, which is no
// failure of the script; neither is a stream the interpreter's own close
// took away (no write of it failed).
void lost_reply_file(const ZU_INTERPRETER* zui, STREAM* st, bool error_file) {
  const int why = s_write_error(st);
  if (zui->a_type != ZUI_FILE || why == 0) return;
  const L_CHAR* name = error_file ? zui->error_file_name : zui->output_file_name;
  static const L_CHAR kDash[] = {'-', 0};
  if (!name || l_strcmp(name, kDash) == 0)
    ss_printf("the %s could not be written to the standard output: %s\n", error_file ? "errors" : "replies",
              std::strerror(why));
  else
    ss_printf("the %s could not be written to %ls: %s\n", error_file ? "errors" : "replies", name, std::strerror(why));
  note_lost_output();
}

}  // namespace

void _reply(ZU_INTERPRETER* zui, int seq, ZU_SEXP* value) {
  // An error goes to the output and to a separate error stream; one that
  // ends the program is replied as nil, on the output only.
  bool error = get_type(value) == ZU_TYPE_ERROR;
  bool ends = error && exit_class(error_code(value));
  if (ends) value = nullptr;
  ReplyTake t = take_for_reply(zui, error && !ends);
  int silent = zui_silent(zui);
  zui_set_silent(zui, -1);
  bool failed[2] = {false, false};
  bool sync = t.sync;
  for (int i = 0; i < 2; ++i) {
    if (!t.st[i]) continue;
    // A value goes between switches only when the stream cannot carry it;
    // one survey of the whole text decides (a character that needs
    // another encoding may come after any number of plain ones).
    CODE_METHOD* to = t.no_switch ? nullptr : reply_switch(value, s_get_cm(t.st[i]));
    failed[i] = !write_reply(zui, t.st[i], seq, value, to, sync);
    sync = false;
  }
  zui_set_silent(zui, silent);
  end_reply(zui, t, failed);
  for (int i = 0; i < 2; ++i) {
    if (!t.st[i]) continue;
    if (failed[i]) {
      lost_reply_file(zui, t.st[i], i == 1);
      s_close_queue(t.st[i]);
    }
    s_drop(t.st[i]);
  }
}

ZU_SEXP* _zui_break_check(ZU_SEXP* form) {
  int pri = zui_push_pri();
  lock_task(zui_lock);
  ZU_INTERPRETER* zui = _get_my_zui();
  uint32_t code = 0;
  // After its input ended a link still answers what was queued, as long as
  // it has an output to answer on.
  bool input_ended = zui && (zui->mode == ZUI_MODE_FRONT_ENDING || zui->mode == ZUI_MODE_FRONT_ENDED);
  bool gone = zui && zui->mode != ZUI_MODE_OPEN && (!input_ended || !zui->out);
  if (!zui) {
    code = ZU_ER_EXIT;
  } else if ((zui->flags & ZUI_F_BREAK) || (gone && !(zui->flags & ZUI_F_CANCEL))) {
    code = ZU_ER_EXIT;
  } else if (_agent_ending() && evaluates_for_peer() && !_own_link(zui)) {
    // The agent's end stops what peers run, on every thread.
    code = ZU_ER_EXIT;
  } else if (zui->flags & ZUI_F_CANCEL) {
    code = ZU_ER_CANCEL;
  } else {
    // A stop reaches what the stopped form caused, on whatever thread it
    // runs: a node script, a thread, a question answered for it.
    code = _cause_stopped(eval_origin());
  }
  unlock_task(zui_lock, "_zui_break_check");
  zui_pop_pri(pri);
  if (!code) return nullptr;
  return get_error_ascii(sexp_file(form), form ? form->h.line : 0, code,
                         code == ZU_ER_EXIT ? "break" : "cancel", nullptr);
}

int zu_int_handler(int) {
  int pri = zui_push_pri();
  lock_task(zui_lock);
  int r = -1;
  for (int iid = _get_next_iid(0); iid > 0; iid = _get_next_iid(iid)) {
    ZU_INTERPRETER* z = _search_zui_id(iid);
    if (z && (z->flags & ZUI_F_TERMINAL)) {
      _stop_zui(z, ZUI_F_CANCEL);
      r = 0;
      break;
    }
  }
  unlock_task(zui_lock, "zu_int_handler");
  zui_pop_pri(pri);
  return r;
}

void terminal_prompt(STREAM* s, int len) {
  int depth = prompt_depth();
  if (depth < 0 || (depth == 0 && len != 0)) return;
  s_printf(s, "%i>", depth);
  s_flush(s);
}

void terminal_prompt_2(STREAM* s) {
  int depth = prompt_depth();
  if (depth < 0) return;
  s_printf(s, "%i>", depth);
  s_flush(s);
}

void zui_lex_result(ZU_FILE* f) {
  if (auto* zui = static_cast<ZU_INTERPRETER*>(f->zui)) wakeup_task(&zui->out);
}

void zui_lex_lock(ZU_FILE* f) {
  auto* zui = static_cast<ZU_INTERPRETER*>(f->zui);
  if (!zui) return;
  lock_zui_out(zui);
  lock_task(zui_lock);
  STREAM* out = _zui_stream(&ZU_INTERPRETER::out, zui);
  unlock_task(zui_lock, "zui_lex_lock");
  if (out) {
    s_printf(out, "\v");
    s_flush(out);
    s_drop(out);
  }
}

void zui_lex_unlock(ZU_FILE* f) {
  if (auto* zui = static_cast<ZU_INTERPRETER*>(f->zui)) unlock_zui_out(zui);
}
