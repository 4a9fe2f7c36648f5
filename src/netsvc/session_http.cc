// The "http" session protocol: each form of a request becomes one plain
// HTTP/1.0 request on a connection of its own, and each reply a ZU value:
// XML and HTML bodies through the reader (lazily), anything else as raw
// bytes.
//
// Every form but the last of a call is answered before the next goes out;
// the last is answered by a delayed value that a reply task fills. Reply
// tasks are keyed "1" to "5", handed out in turn, so at most five replies
// are read at once and a slow server holds up only the requests that share
// its key.
//
// A peer controls every reply byte: the header goes through scan_HTTP and
// its caps, a body is capped (kDefaultReplyCap unless set), and the texts
// that go into the request line and headers may hold no CR or LF, so that a
// script's values can never add lines of their own to a request. A peer
// also controls the time: the header must come within the reply guard
// (zoh_reply_guard, as for the ZUoHTTP clients) and so must each read of
// the body, else the reply is an error.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/alloc.h"
#include "base/paths.h"
#include "base/queue.h"
#include "netsvc/http_header.h"
#include "netsvc/session.h"
#include "netsvc/zuohttp_client.h"
#include "runtime/delayed.h"
#include "runtime/interp.h"
#include "stream/net.h"
#include "stream/stream.h"
#include "stream/url.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/errcodes.h"
#include "zu/file.h"
#include "zu/gc.h"
#include "zu/printer.h"
#include "zu/reader.h"

namespace {

using WStr = std::basic_string<L_CHAR>;

constexpr size_t kDefaultReplyCap = size_t{256} << 20;
constexpr int kReplyKeys = 5;

std::atomic<size_t> reply_cap{0};  // 0: not yet read from the environment

// One pending reply.
struct SESSION_HTTP_N {
  Q_HEADER h;  // keyed by its reply task's key
  STREAM* st;
  D_SEXP* d;
  REMOTE_SESSION_OPT opt;
  ZU_FILE* f;
  int ln;
  unsigned opt_enabled : 1;
};

SYS_QUEUE session_http_que;
std::mutex key_mutex;
int key_counter = 0;  // key_mutex: the last key handed out

ZU_SEXP* http_error(ZU_FILE* file, int line, uint32_t code, ZU_SEXP* data) {
  return get_error_ascii(file, line, code, "RemoteSession", data);
}

void gc_s_que(Q_HEADER* item) {
  auto* n = reinterpret_cast<SESSION_HTTP_N*>(item);
  gc_mark(n->f, gc_qn_file);
  gc_mark(n->d, gc_d_sexp);
}

void gc_get_s_que(Q_HEADER* item) {
  auto* n = reinterpret_cast<SESSION_HTTP_N*>(item);
  gc_set_nl(n->f, gc_qn_file);
  gc_set_nl(n->d, gc_d_sexp);
}

// The next reply key, "1" to "5" in turn (a tagged text).
L_CHAR* next_reply_key() {
  int k;
  {
    std::lock_guard<std::mutex> g(key_mutex);
    key_counter = key_counter % kReplyKeys + 1;
    k = key_counter;
  }
  char text[2] = {static_cast<char>('0' + k), 0};
  return nl_copy_str(std_cm, text);
}

bool has_line_break(const L_CHAR* t) {
  for (; t && *t; ++t)
    if (*t == '\r' || *t == '\n') return true;
  return false;
}

// Media types are compared without regard to case.
bool is_xml_type(const char* t) { return !strcasecmp(t, "text/xml") || !strcasecmp(t, "application/xml"); }

// The reader of a parsed body stops taking bytes past the cap.
int admit_body(ZU_FILE* f) { return zu_file_position(f) >= http_reply_cap() ? -1 : 0; }

// The first form of a parsed body may name the body's encoding.
void follow_encoding_attribute(ZU_SEXP* forms) {
  if (get_type(forms) != ZU_TYPE_LIST) return;
  ZU_SEXP* first = forms->pair.car;
  if (get_type(first) != ZU_TYPE_LIST || get_type(first->pair.car) != ZU_TYPE_SYMBOL) return;
  const L_CHAR* name = get_sf_attribute(sym_field(first->pair.car), l_string(std_cm, "encoding"));
  if (CODE_METHOD* cm = name ? get_encoding(name) : nullptr) zu_set_cm(sexp_file(forms), cm);
}

// Reads the body to its end, or to the length the header gives, within the
// cap: the list (T raw-bytes), or an error.
ZU_SEXP* read_raw_body(STREAM* st, const HTTP_INFO& info, const char* type, ZU_FILE* file, int line) {
  size_t cap = http_reply_cap();
  // A length past the cap is refused before any of the body is read.
  if (info.content_length >= 0 && static_cast<size_t>(info.content_length) > cap) {
    d_s_close(st);
    return http_error(file, line, ZU_ER_STREAM, data_list("http connection error"));
  }
  // Without a length, one byte past the cap tells an over-long body.
  size_t want = info.content_length >= 0 ? static_cast<size_t>(info.content_length) : cap + 1;
  std::vector<uint8_t> body;
  body.resize(std::min<size_t>(want, 10));
  size_t got = 0;
  bool failed = false;  // a read failed or waited past its guard: not the end of the body
  {
    // Waiting for the peer, this thread touches no collected value.
    BlockingRegion region;
    while (got < want) {
      if (got == body.size()) body.resize(std::min(body.size() * 2, want));
      int n = s_read(st, body.data() + got, static_cast<int>(std::min<size_t>(body.size() - got, 1 << 20)));
      failed = n < 0;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
  }
  d_s_close(st);
  // Past the cap, or cut short of the length the header gave.
  bool short_body = info.content_length >= 0 && got < static_cast<size_t>(info.content_length);
  if (got > cap || short_body || failed)
    return http_error(file, line, ZU_ER_STREAM, data_list("http connection error"));
  ZU_SEXP* raw = get_raw(body.data(), static_cast<uint32_t>(got));
  return List(get_symbol(l_string(std_cm, type)), raw, ZU_LIST_END);
}

}  // namespace

size_t http_reply_cap() {
  size_t cap = reply_cap.load();
  if (cap) return cap;
  cap = static_cast<size_t>(u_getenv_count("QNMX_HTTP_REPLY_CAP", kDefaultReplyCap, INT64_MAX));
  reply_cap.store(cap);
  return cap;
}

void set_http_reply_cap(size_t bytes) { reply_cap.store(bytes ? bytes : kDefaultReplyCap); }

L_CHAR* get_method(const L_CHAR* name) {
  L_CHAR* m = ll_copy_str(name ? name : l_string(std_cm, ""));
  for (L_CHAR* p = m; *p; ++p)
    if (*p >= 'a' && *p <= 'z') *p = *p - 'a' + 'A';
  return m;
}

namespace {

// read_reply; *reader gets the reader state of a parsed body (else null).
ZU_SEXP* read_reply_into(STREAM* st, const REMOTE_SESSION_OPT* opt, ZU_FILE* file, int line, ZU_FILE** reader) {
  *reader = nullptr;
  HTTP_INFO info{};
  Owned<HTTP_INFO, free_HTTP_info> info_texts(&info);
  int scanned;
  {
    ZohReplyGuard guard(st, zoh_reply_guard());
    BlockingRegion region;
    scanned = scan_HTTP(&info, st, 0);
  }
  if (scanned < 0) {
    d_s_close(st);
    return http_error(file, line, ZU_ER_STREAM, data_list("http connection error"));
  }
  if (info.err != 200) {
    int status = info.err;
    free_HTTP_info(&info);
    d_s_close(st);
    return http_error(file, line, ZU_ER_STREAM, data_list("http error", status));
  }
  std::string type = info.content_type && *info.content_type ? info.content_type : "application/octet-stream";
  bool xml = is_xml_type(type.c_str());
  bool html = !strcasecmp(type.c_str(), "text/html");
  if (!xml && !html) {
    ZU_SEXP* r = read_raw_body(st, info, type.c_str(), file, line);
    free_HTTP_info(&info);
    return r;
  }
  // An unknown charset leaves the stream's encoding as it is.
  if (info.charset) {
    if (CODE_METHOD* cm = get_encoding(l_string(std_cm, info.charset))) s_set_cm(st, cm);
  }
  free_HTTP_info(&info);
  const L_CHAR* name = l_string(std_cm, type.c_str());
  WStr kept(name);
  ZU_SEXP* forms = init_parse(st, kept.c_str(), kept.c_str());
  if (sexp_type(forms) == ZU_TYPE_ERROR) {
    d_s_close(st);
    return forms;
  }
  ZU_FILE* f = sexp_file(forms);
  *reader = f;
  if (html) f->flags |= ZU_FILE_HTML;
  f->admit_hook = admit_body;
  follow_encoding_attribute(forms);
  if (opt && opt->return_format == 2) return forms;
  return List(get_symbol(kept.c_str()), forms, ZU_LIST_END);
}

}  // namespace

ZU_SEXP* read_reply(STREAM* st, const REMOTE_SESSION_OPT* opt, ZU_FILE* file, int line) {
  ZU_FILE* reader;
  return read_reply_into(st, opt, file, line, &reader);
}

namespace {

// Checks the parts of a request that go into its header: null, or the
// refusal. The URL's parts were checked by its parser.
ZU_SEXP* check_header_texts(ZU_SEXP* head, ZU_SEXP* path, ZU_FILE* file, int line) {
  bool bad = has_line_break(sym_name(head)) || (path && has_line_break(str_text(path)));
  for (ZU_SYM_FIELD* a = sym_field(head); a && !bad; a = a->next) {
    bool header = a->name && a->name[0] == '*';
    bool encode = a->name && zu_wcmp_ascii(a->name, "encode") == 0;
    if (header) bad = has_line_break(a->name) || has_line_break(a->value);
    else if (encode) bad = has_line_break(a->value);
  }
  return bad ? http_error(file, line, ZU_ER_METHOD, data_list("method error", head)) : nullptr;
}

// The bytes of a request's body as they go on a connection in encoding cm:
// raw bytes as they are (seen in place, not copied), any other value
// printed into *printed, with a line end.
std::string_view body_bytes(ZU_SEXP* body, CODE_METHOD* cm, std::string* printed) {
  if (get_type(body) == ZU_TYPE_RAW) return {reinterpret_cast<const char*>(body->raw.data), body->raw.size};
  OwnedStream text(s_open_string_write(cm));
  print_sexp(text.get(), body, 0);
  s_printf(text.get(), "\n");
  s_flush(text.get());
  printed->assign(s_get_string(text.get()), static_cast<size_t>(s_get_string_len(text.get())));
  return *printed;
}

// Whether an attribute names the header Content-Length (any case): the
// length of a body is the one this writer counted.
bool is_content_length(const L_CHAR* attribute) { return eq_ascii_nocase(attribute, "*content-length"); }

// Opens the connection and writes the request: the connection, or null
// with *err set. A body goes with its length, which the server needs to
// know where it ends: the connection stays open for the reply.
STREAM* send_request(URL* u, ZU_SEXP* head, ZU_SEXP* path, ZU_SEXP* body, bool has_body, ZU_FILE* file, int line,
                     ZU_SEXP** err) {
  std::string host = n_string(std_cm, u->server);
  int cerr = 0;
  OwnedStream st;
  {
    BlockingRegion region;
    st.reset(bl_new_connection(&cerr, host.c_str(), 0, u->port, nullptr, nullptr));
  }
  if (!st) {
    *err = http_error(file, line, ZU_ER_OPEN, data_list("cannot open the HTTP connection", session_url_string(u)));
    return nullptr;
  }
  // Every read of the reply, a lazily parsed body's included.
  s_set_read_guard(st.get(), zoh_reply_guard());
  const L_CHAR* enc_name = get_sf_attribute(sym_field(head), l_string(std_cm, "encode"));
  CODE_METHOD* cm = enc_name ? get_encoding(enc_name) : nullptr;
  if (cm) s_set_cm(st.get(), cm);
  std::string printed;
  const std::string_view bytes = has_body ? body_bytes(body, s_get_cm(st.get()), &printed) : std::string_view();
  Tagged<L_CHAR> method(get_method(sym_name(head)));
  WStr target = path ? WStr(str_text(path)) : WStr();
  if (!path)
    if (const L_CHAR* whole = get_url_str2(u)) target = whole;
  s_printf(st.get(), "%ls %ls HTTP/1.0\r\n", method.get(), target.c_str());
  if (cm) s_printf(st.get(), "Encoding: %s\r\n", cm->name);
  for (ZU_SYM_FIELD* a = sym_field(head); a; a = a->next)
    if (a->name && a->name[0] == '*' && !(has_body && is_content_length(a->name)))
      s_printf(st.get(), "%ls: %ls\r\n", a->name + 1, a->value ? a->value : l_string(std_cm, ""));
  if (has_body) s_printf(st.get(), "Content-Length: %lli\r\n", static_cast<long long>(bytes.size()));
  s_printf(st.get(), "Connection: close\r\n");
  s_printf(st.get(), "Host: %ls:%i\r\n", u->server, u->port);
  s_printf(st.get(), "\r\n");
  if (has_body) s_write(st.get(), bytes.data(), static_cast<int>(bytes.size()));
  s_flush(st.get());
  return st.release();
}

void session_task(TKEY) {
  L_CHAR* key = touch_qkey(&session_http_que);
  if (!key) return;
  open_self_interpreter();
  {
    ZuThreadScope scope("session_task");
    while (auto* n = reinterpret_cast<SESSION_HTTP_N*>(delete_queue(&session_http_que, sq_key_cond, key, 0))) {
      GcFrame frame("session_task");
      ZU_SEXP* v = read_reply(n->st, n->opt_enabled ? &n->opt : nullptr, n->f, n->ln);
      set_d_sexp(n->d, v);
      d_f_ree(n->h.key);
      d_f_ree(n);
    }
  }
  release_qkey(&session_http_que, key);
  d_f_ree(key);
  close_self_interpreter();
}

}  // namespace

namespace {

// one_session; a form whose reply nobody will see (wait and drop) has its
// connection closed once the header is read, not when the collector finds
// the reply.
ZU_SEXP* send_one(URL* u, ZU_SEXP* form, const REMOTE_SESSION_OPT* opt, ZU_FILE* file, int line, bool wait,
                  bool drop) {
  ZU_SEXP* head = get_type(form) == ZU_TYPE_LIST ? form->pair.car : form;
  if (get_type(head) != ZU_TYPE_SYMBOL) return http_error(file, line, ZU_ER_METHOD, data_list("method error", head));
  int len = list_length(form);
  ZU_SEXP* e1 = len > 1 ? get_el(form, 1) : nullptr;
  ZU_SEXP* path = nullptr;
  ZU_SEXP* body = nullptr;
  bool has_body = false;
  if (len > 1 && (is_string(e1) || e1 == nullptr)) {
    if (e1) path = e1;
    has_body = len > 2;
    body = has_body ? get_el(form, 2) : nullptr;
  } else if (len > 1) {
    body = e1;
    has_body = true;
  }
  if (ZU_SEXP* refused = check_header_texts(head, path, file, line)) return refused;
  ZU_SEXP* err = nullptr;
  STREAM* st = send_request(u, head, path, body, has_body, file, line, &err);
  if (!st) return err;
  if (wait) {
    ZU_FILE* reader;
    ZU_SEXP* v = read_reply_into(st, opt, file, line, &reader);
    if (drop && reader) close_zu_file(reader);
    return v;
  }
  auto* n = reinterpret_cast<SESSION_HTTP_N*>(new_queue_node(sizeof(SESSION_HTTP_N)));
  ZU_SEXP* delayed = new_d_sexp(&n->d);
  n->h.key = next_reply_key();
  n->st = st;
  n->f = file;
  n->ln = line;
  if (opt) {
    n->opt = *opt;
    n->opt_enabled = 1;
  }
  insert_queue(&session_http_que, &n->h, 1);
  return delayed;
}

}  // namespace

ZU_SEXP* one_session(URL* u, ZU_SEXP* form, const REMOTE_SESSION_OPT* opt, ZU_FILE* file, int line, bool wait) {
  return send_one(u, form, opt, file, line, wait, false);
}

void init_session_http() {
  static std::once_flag once;
  std::call_once(once, [] {
    session_http_que.flags = 0;
    session_http_que.pri = 3;
    session_http_que.gc_func = gc_s_que;
    session_http_que.gc_get = gc_get_s_que;
    session_http_que.key_func = session_task;
    setup_queue(&session_http_que);
  });
}

int open_session_http(int, const EVAL_ORIGIN&) { return 1; }

void close_session_http(int) {}

ZU_SEXP* remote_session_http(ZUISP_ENV*, int, URL* u, const L_CHAR*, const L_CHAR*, const L_CHAR*, ZU_SEXP* cmd,
                             ZU_FILE* file, int line, int, REMOTE_SESSION_OPT* opt) {
  if (get_type(cmd) != ZU_TYPE_LIST) return nullptr;
  GcFrame frame("remote_session_http");
  ZU_SEXP* result = nullptr;
  for (ZU_SEXP* p = cmd; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    bool last = get_type(p->pair.cdr) != ZU_TYPE_LIST;
    result = send_one(u, p->pair.car, opt, file, line, !last, !last);
  }
  return frame.keep(result, gc_qn_sexp);
}

int session_http_last_key() {
  std::lock_guard<std::mutex> g(key_mutex);
  return key_counter;
}
