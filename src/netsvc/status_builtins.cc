// Status reports on interpreters: GetCPUStatus and GetZUIinfo.
//
// Each copies what it reports under zui_lock (taking fifo_lock inside it to
// count the input queue, as the collector's lock order has them) and makes
// the ZU values only after releasing it. Time-outs, kept in ticks, are
// reported in seconds.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>

#include "netsvc/net_impl.h"
#include "runtime/interp.h"
#include "runtime/remote.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/reader.h"

namespace {

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
constexpr int kTickSeconds = 5;
constexpr int kWindow = 4096;

int seconds(int ticks) {
  if (ticks < 0) return -1;
  return ticks > INT_MAX / kTickSeconds ? INT_MAX : ticks * kTickSeconds;
}

// What the reports read of one interpreter.
struct SNAPSHOT {
  int64_t id, mode, front, relay, silent_cnt, connection_cnt, flags, open_timeout, connect_ip, ip, port;
  int a_type, thread_mode, silent_timeout, connection_timeout, delay_que_cnt;
  STREAM* streams[3];  // compared, never followed
  std::u32string msg, hostname;
  int fifo = 0;
  int query = 0;
  bool io = false;
  std::string window;
  int fill = 0;
  int pos = 0;
};

std::u32string text_of(const L_CHAR* s) {
  return s ? std::u32string(reinterpret_cast<const char32_t*>(s)) : std::u32string();
}

// zui_lock held.
void _fill(SNAPSHOT* out, ZU_INTERPRETER* z) {
  assert_lock_held(zui_lock);
  *out = SNAPSHOT{z->id,          z->mode,           z->front_thread, z->relay_thread, zui_silent(z),
                  z->connection_cnt, z->flags,       z->open_timeout, z->connect_ip,   z->ip,
                  z->port,        z->a_type,         z->thread_mode,  z->silent_timeout, z->connection_timeout,
                  z->delay_que_cnt, {z->inp, z->out, z->err}, text_of(z->msg), text_of(z->hostname), 0, 0, false, {}, 0, 0};
  for (ZU_RESULT* r = z->result_head; r; r = r->next) ++out->query;
  lock_task(fifo_lock);
  out->fifo = z->fifo_cnt;
  unlock_task(fifo_lock, "status");
  char buf[kWindow];
  out->io = z->acc_file && zu_file_window(z->acc_file, buf, kWindow, &out->fill, &out->pos);
  if (out->io) {
    // The buffer is read as text up to its first zero byte, never beyond
    // what it holds.
    size_t n = static_cast<size_t>(std::min(out->fill, kWindow));
    out->window.assign(buf, std::find(buf, buf + n, '\0'));
  }
}

enum class Find { kIid, kIidOrOwn, kThread };

// The interpreter named by id as `how` says (kIidOrOwn: 0 is the caller's
// own); false when there is none.
bool snapshot(SNAPSHOT* out, int id, Find how) {
  int pri = zui_push_pri();
  lock_task(zui_lock);
  ZU_INTERPRETER* z = nullptr;
  if (how == Find::kThread) {
    ZU_THREAD* t = _search_zui_thread(id);
    z = t ? t->zui : nullptr;
  } else {
    z = id == 0 && how == Find::kIidOrOwn ? _get_my_zui() : _search_zui_id(id);
  }
  if (z) _fill(out, z);
  unlock_task(zui_lock, "status");
  zui_pop_pri(pri);
  return z != nullptr;
}

int int_arg(ZU_SEXP* n) { return static_cast<int>(std::clamp<int64_t>(n->integer.num, INT_MIN, INT_MAX)); }

ZU_SEXP* entry(const char* tag, ZU_SEXP* a, ZU_SEXP* b = ZU_LIST_END, ZU_SEXP* c = ZU_LIST_END) {
  return List(get_symbol_ascii(tag), a, b, c, ZU_LIST_END);
}
ZU_SEXP* num(int64_t v) { return get_integer(v, nullptr); }
ZU_SEXP* wide(const std::u32string& s) { return get_string_len(reinterpret_cast<const L_CHAR*>(s.data()), s.size()); }
// A stream as a number that tells streams apart (0 for none).
ZU_SEXP* stream_id(STREAM* s) { return num(static_cast<int64_t>(reinterpret_cast<uintptr_t>(s) & INT64_MAX)); }

ZU_SEXP* zu_GetCPUStatus(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZU_SEXP* n = get_el(form, 1);
  if (!is_integer(n)) return error_text_at(form, ZU_ER_TYPE, "GetCPUStatus", nullptr);
  const L_CHAR* mode = head_option(sf, "mode");
  Find how = mode && zu_wcmp_ascii(mode, "iid") != 0 ? Find::kThread : Find::kIid;
  SNAPSHOT s;
  if (!snapshot(&s, int_arg(n), how))
    return error_text_at(form, ZU_ER_PARAM, "GetCPUStatus", "there is no such ZU interpreter");
  ListBuilder b;
  b.add(entry("iid", num(s.id)));
  b.add(entry("thread", num(s.front), num(s.relay)));
  b.add(entry("mode", num(s.mode)));
  b.add(entry("flags", num(s.flags)));
  b.add(entry("connect-ip", num(s.connect_ip)));
  b.add(entry("a-type", num(s.a_type)));
  b.add(entry("thread-mode", num(s.thread_mode)));
  b.add(entry("msg", wide(s.msg)));
  b.add(entry("stream", stream_id(s.streams[0]), stream_id(s.streams[1]), stream_id(s.streams[2])));
  b.add(entry("fifo", num(s.fifo)));
  b.add(entry("query", num(s.query)));
  b.add(entry("timeout", num(seconds(s.silent_timeout)), num(seconds(s.connection_timeout))));
  b.add(entry("live", num(s.silent_cnt), num(s.connection_cnt)));
  if (s.io) b.add(entry("io", n_get_string(s.window.c_str()), num(s.fill), num(s.pos)));
  return b.head;
}

ZU_SEXP* zu_GetZUIinfo(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* n = get_el(form, 1);
  if (!is_integer(n)) return error_text_at(form, ZU_ER_TYPE, "GetZUIinfo", "type missmatch IID");
  SNAPSHOT s;
  if (!snapshot(&s, int_arg(n), Find::kIidOrOwn))
    return error_text_at(form, ZU_ER_NO_OBJECT, "GetZUIinfo", "undefined IID");
  ListBuilder b;
  b.add(get_symbol_ascii("zui-info"));
  b.add(entry("iid", num(s.id)));
  b.add(entry("mode", num(s.mode)));
  b.add(entry("front-thread-id", num(s.front)));
  b.add(entry("relay-thread-id", num(s.relay)));
  b.add(entry("connection-count", num(s.connection_cnt)));
  b.add(entry("flags", num(s.flags)));
  b.add(entry("open-timeout", num(s.open_timeout)));
  b.add(entry("ip", num(s.ip)));
  b.add(entry("port", num(s.port)));
  b.add(entry("hostname", wide(s.hostname)));
  b.add(entry("connection-timeout", num(seconds(s.connection_timeout))));
  b.add(entry("silent-timeout", num(seconds(s.silent_timeout))));
  b.add(entry("delay-que-count", num(s.delay_que_cnt)));
  return b.head;
}

const QN_PRIM_DEF kGetCPUStatus[] = {{"GetCPUStatus", zu_GetCPUStatus, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kGetZUIinfo[] = {{"GetZUIinfo", zu_GetZUIinfo, 1, 2, 2, T}, {}};

}  // namespace

void init_GetCPUStatus(ZUISP_ENV* env) { bind_prims(env, kGetCPUStatus); }
void init_GetZUIinfo(ZUISP_ENV* env) { bind_prims(env, kGetZUIinfo); }
