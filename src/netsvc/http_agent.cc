// The HTTP agent's request path: a request is matched to its entry, turned
// into a form, evaluated, and its result written as the reply or an error
// page.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/tick.h"
#include "netsvc/http_agent_impl.h"
#include "netsvc/http_chunk.h"
#include "netsvc/trace_impl.h"
#include "netsvc/zuohttp.h"
#include "netsvc/zuohttp_impl.h"
#include "runtime/first_line.h"
#include "runtime/link_budget.h"
#include "stream/stream.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/gc.h"
#include "zu/peer.h"
#include "zu/printer.h"

namespace {

std::string html_escaped(std::string_view t) {
  std::string out;
  out.reserve(t.size());
  for (char c : t) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string printed(ZU_SEXP* code) {
  STREAM* st = s_open_string_write(utf8_cm);
  if (!st) return {};
  print_sexp(st, code, 0);
  std::string r(s_get_string(st), static_cast<size_t>(s_get_string_len(st)));
  d_s_close(st);
  return r;
}

int write_all(STREAM* s, const std::string& text) {
  return s_write(s, text.data(), static_cast<int>(text.size())) == static_cast<int>(text.size()) ? 0 : -1;
}

// A whole error reply: the header of status, then the page.
int error_reply(STREAM* st, const HTTP_ERR* status, const char* message, ZU_SEXP* code) {
  HTTP_INFO reply{};
  reply.err = status->code;
  reply.err2 = status;
  reply.content_length = -1;
  if (output_server_header_by_info(st, &reply) < 0) return -1;
  return output_error_print(st, status, message, code);
}

// What a request's body holds of the budget for peer input that the links
// share, in the name of the peer's address. It is let go once nothing pins
// the body any more (after the request's collector scope has ended), so
// that the budget counts the body until a collection can free it.
class BodyCharge {
 public:
  explicit BodyCharge(int peer) : peer_(peer) {}
  ~BodyCharge() { link_budget_release(bytes_, peer_); }
  BodyCharge(const BodyCharge&) = delete;
  BodyCharge& operator=(const BodyCharge&) = delete;
  bool take(size_t n) {
    if (!link_budget_charge(static_cast<int64_t>(n), peer_)) return false;
    bytes_ += static_cast<int64_t>(n);
    return true;
  }

 private:
  int peer_;
  int64_t bytes_ = 0;
};

// How long a body may go without a byte before its request ends (seconds;
// QNMX_HTTP_BODY_IDLE for tests): a peer that announces a body and sends
// nothing would otherwise keep its connection and thread for the whole
// body guard.
int body_idle_seconds() {
  static const int seconds = zoh_env_count("QNMX_HTTP_BODY_IDLE", 10);
  return seconds;
}

// How long a whole body may take (seconds; QNMX_HTTP_BODY_TOTAL for
// tests), as a whole header has a time of its own: a peer that sends a
// byte now and then within the idle guard would otherwise keep its
// connection and thread as long as it likes.
constexpr int kBodyTotalSeconds = 120;
int body_total_seconds() {
  static const int seconds = zoh_env_count("QNMX_HTTP_BODY_TOTAL", kBodyTotalSeconds);
  return std::min(seconds, zoh_times().body_guard);
}

// Ends the body's reading (as the guards do) once its total time is up,
// and remembers that it did.
class BodyTimer {
 public:
  BodyTimer(STREAM* st, int seconds) : st_(st) { new_tick(end, -seconds, this); }
  ~BodyTimer() { del_tick_with_data(end, this); }
  BodyTimer(const BodyTimer&) = delete;
  BodyTimer& operator=(const BodyTimer&) = delete;
  bool fired() const { return fired_.load(); }

 private:
  static void end(void* self) {
    auto* t = static_cast<BodyTimer*>(self);
    t->fired_.store(true);
    timeout_stream(t->st_);
  }
  STREAM* st_;
  std::atomic<bool> fired_{false};
};

constexpr int kBodyBusy = -5;
constexpr int kBodyTooSlow = -6;

// A body is gathered in pieces that grow from 64 KiB to 4 MiB (blocks of
// that size come from the system and go back to it when freed), so that
// memory follows what came, never what was only announced.
constexpr size_t kFirstPiece = size_t{64} << 10;
constexpr size_t kLastPiece = size_t{4} << 20;

struct BodyPiece {
  std::unique_ptr<char[]> data;
  size_t size;
  size_t fill;
};

// The pieces as one raw value, each let go once copied: the body is held
// once, and a piece more while it moves.
ZU_SEXP* raw_of(std::vector<BodyPiece>& pieces, size_t total) {
  ZU_SEXP* raw = get_raw(nullptr, static_cast<uint32_t>(total));
  uint8_t* to = raw->raw.data;
  for (BodyPiece& p : pieces) {
    if (p.fill) std::memcpy(to, p.data.get(), p.fill);
    to += p.fill;
    p.data.reset();
  }
  return raw;
}

// The request body: content_length bytes (fewer when the connection ends
// first), or a chunked body to its last chunk, under the body guard and the
// idle guard. Bytes are charged as they arrive: an announced length is only
// bounded (by a quarter of the budget, all that one peer may hold), since a
// peer can announce what it never sends. 0 with *out the body (null when
// there is none), -1 when a chunk size cannot be read, -2 past
// kHttpAgentMaxBody, -3 when the budget has no room for it, -4 when no
// byte came for the idle time, kBodyBusy when its address holds its share
// of the connections that wait, kBodyTooSlow past the total time. A body
// still arriving is a connection that waits on its peer, as one whose
// first line is not in: it holds a slot among them (runtime/first_line.h)
// and gives way like one.
int read_body(STREAM* st, const HTTP_INFO* info, BodyCharge* charge, ZU_SEXP** out) {
  *out = nullptr;
  const bool chunked = (info->flags & HTTP_F_CHUNKED) != 0;
  const size_t len = info->content_length > 0 ? static_cast<size_t>(info->content_length) : 0;
  if (!chunked && len == 0) return 0;
  if (!chunked && static_cast<int64_t>(len) > link_budget_bytes() / kBudgetParts) return -3;
  FirstLineSlot waiting(st, s_get_socketip(st));
  if (!waiting.taken()) return kBodyBusy;
  std::vector<BodyPiece> pieces;
  size_t total = 0;
  int res = 0;
  BodyTimer timer(st, body_total_seconds());
  s_set_read_guard(st, body_idle_seconds());
  if (chunked && chunk_read_start(st) < 0) res = errno == ETIMEDOUT ? -4 : -1;
  while (res == 0 && (chunked || total < len)) {
    if (pieces.empty() || pieces.back().fill == pieces.back().size) {
      size_t size = std::clamp(total, kFirstPiece, kLastPiece);
      if (!chunked) size = std::min(size, len - total);
      pieces.push_back({std::make_unique_for_overwrite<char[]>(size), size, 0});
    }
    BodyPiece& p = pieces.back();
    char* at = p.data.get() + p.fill;
    int want = static_cast<int>(p.size - p.fill);
    errno = 0;
    int n = chunked ? s_chunk_read(st, at, want) : s_read(st, at, want);
    if (n <= 0) {
      if (n < 0 && errno == ETIMEDOUT) res = -4;
      else if (n < 0 && chunked) res = -1;
      break;
    }
    if (!charge->take(static_cast<size_t>(n))) {
      res = -3;
      break;
    }
    p.fill += static_cast<size_t>(n);
    total += static_cast<size_t>(n);
    if (total > static_cast<size_t>(kHttpAgentMaxBody)) res = -2;
  }
  if (chunked) chunk_read_end(st);
  s_set_read_guard(st, 0);
  if (timer.fired() && res >= -1 && (chunked || total < len)) res = kBodyTooSlow;
  if (res == 0) *out = raw_of(pieces, total);
  return res;
}

// A narrow text from the peer as a wide one (its bytes as Latin-1, so that
// nothing a peer sends can fail to convert).
std::basic_string<L_CHAR> widened(const char* text) {
  std::basic_string<L_CHAR> w;
  for (const char* p = text ? text : ""; *p; ++p) w.push_back(static_cast<unsigned char>(*p));
  return w;
}

// The print flags of a value in form (XML or HTML): indented, and each
// member of a list of elements as its own root.
int print_flags(int form, ZU_SEXP* value) {
  bool roots = get_type(value) == ZU_TYPE_LIST && get_type(value->pair.car) == ZU_TYPE_LIST;
  return form | ZU_PRINT_INDENT | (roots ? ZU_PRINT_MULTIROOT : 0);
}

// A text/xml value whose first member is an element: its encoding
// attribute is the connection's encoding when absent (set on a new tag,
// in a new list; the result itself is left as it is), and switches the
// connection when it names a known encoding.
ZU_SEXP* settle_xml_encoding(STREAM* st, ZU_SEXP* value) {
  if (get_type(value) != ZU_TYPE_LIST || !is_element(value->pair.car)) return value;
  ZU_SEXP* first = value->pair.car;
  ZU_SEXP* tag = first->pair.car;
  const L_CHAR* name = l_string(std_cm, "encoding");
  if (const L_CHAR* enc = get_sf_attribute(sym_field(tag), name)) {
    if (CODE_METHOD* cm = get_encoding(enc)) s_set_cm(st, cm);
    return value;
  }
  CODE_METHOD* cm = s_get_cm(st);
  if (!cm) return value;
  // The new attribute goes last, so that an XML declaration keeps its
  // version first.
  std::vector<ZU_SYM_FIELD*> kept;
  for (ZU_SYM_FIELD* f = sym_field(tag); f; f = f->next) kept.push_back(f);
  ZU_SYM_FIELD* sf = set_sym_field(nullptr, name, widened(cm->name).c_str());
  for (auto f = kept.rbegin(); f != kept.rend(); ++f) sf = set_sym_field(sf, (*f)->name, (*f)->value);
  ZU_SEXP* own = get_symbol_atom(tag->symbol.atom);
  set_sexp_pos(own, tag->h.file, tag->h.line);
  own->symbol.sf = sf;
  return cons(cons(own, first->pair.cdr), value->pair.cdr);
}

bool is_type(const std::string& type, const char* name) { return type == name; }

// A content type goes into the reply header as it is: a control byte or a
// blank in it would end its line and begin a header of the handler's
// choosing. A media type is ASCII, so a byte past it (a C1 control such as
// NEL among them, whichever code set wrote it) is refused too.
bool header_safe(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](unsigned char c) { return c > ' ' && c < 0x7f; });
}

// The methods of HTTP. The method names the head of the evaluated form, so
// any other word would call whatever the environment binds to it (Exit,
// Shell, Eval ...).
constexpr std::string_view kHttpMethods[] = {"GET",     "HEAD",  "POST",    "PUT",  "DELETE",
                                             "OPTIONS", "TRACE", "CONNECT", "PATCH"};

// Whether a may evaluate a request of this method: one of HTTP's, which the
// agent itself bound for a local entry (a remote entry's agent decides
// itself). A peer's binding of a method name is not served, whatever it
// binds, even a built-in.
bool method_served(const HTTP_AGENT_LIST* a, const char* method) {
  if (!method || std::find(std::begin(kHttpMethods), std::end(kHttpMethods), method) == std::end(kHttpMethods)) {
    return false;
  }
  if (is_remote_entry(a)) return true;
  return a->env && agent_setting(a->env, method) != nullptr;
}

// Serves a request for entry a; the connection is closed by the caller.
// No lock is held (the underscore names exec_url's inner step).
void _exec_url(HTTP_INFO* info, STREAM* st, HTTP_AGENT_LIST* a, const char* path, BodyCharge* charge) {
  if (!method_served(a, info->method)) {
    error_reply(st, &http_status_not_implemented, info->dir, nullptr);
    return;
  }
  // A body past the cap is refused before any of it is read.
  if (info->content_length > kHttpAgentMaxBody) {
    error_reply(st, &http_status_internal, "request body too large", nullptr);
    return;
  }
  ZU_SEXP* body = nullptr;
  int got = read_body(st, info, charge, &body);
  if (got == -3 || got == kBodyBusy) {
    error_reply(st, &http_status_busy, got == -3 ? "request bodies over budget" : "request bodies waiting", nullptr);
    return;
  }
  if (got < 0) {
    const char* why = got == -2             ? "request body too large"
                      : got == -4           ? "request body stalled"
                      : got == kBodyTooSlow ? "request body too slow"
                                            : "request body unreadable";
    error_reply(st, &http_status_internal, why, nullptr);
    return;
  }
  ZU_SEXP* form = http_request_form(info, path, body);
  ZU_SEXP* r;
  {
    // The client is a peer: the method the agent bound answers it, but
    // with none of the agent's powers.
    EvalOriginScope origin(peer_origin(s_get_socketip(st), 0));
    r = http_agent_eval(a, form, st);
  }
  int t = get_type(r);
  if (!r) {
    error_reply(st, &http_status_busy, "remote agent unavailable", nullptr);
  } else if (t == ZU_TYPE_ERROR) {
    error_reply(st, &http_status_busy, info->dir, r);
  } else if (t == ZU_TYPE_LIST) {
    return_code(st, info, r);
  } else {
    error_reply(st, &http_status_internal, info->dir, r);
  }
}

}  // namespace

bool is_zuohttp_path(const char* path) {
  return std::strcmp(path, "/cgi-bin/download.cgi") == 0 || std::strcmp(path, "/cgi-bin/upload.cgi") == 0 ||
         std::strncmp(path, "/cgi-bin/zusv", 13) == 0;
}

int output_server_header_by_info(STREAM* s, const HTTP_INFO* info) {
  char line[128];
  std::string h;
  if (info->err2) {
    std::snprintf(line, sizeof line, "HTTP/1.1 %i %s\r\n", info->err2->code, info->err2->msg);
  } else {
    std::snprintf(line, sizeof line, "HTTP/1.1 %i OK\r\n", info->err);
  }
  h += line;
  h += "Date: Fri, 20 Sep 2002 09:36:44 GMT\r\n";
  h += "Server: PELANOR QUARVEN SERVER\r\n";
  h += info->flags & HTTP_F_KEEP_ALIVE ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
  h += "Content-Type: ";
  h += info->content_type ? info->content_type : "text/html";
  h += "\r\n";
  if (info->content_length >= 0) {
    std::snprintf(line, sizeof line, "Content-Length: %i\r\n", info->content_length);
    h += line;
  }
  if (info->flags & HTTP_F_NO_CACHE) h += "Expires: -1\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n";
  h += "\r\n";
  return write_all(s, h);
}

int output_error_print(STREAM* s, const HTTP_ERR* status, const char* message, ZU_SEXP* code) {
  char line[128];
  std::string p = "<HTML>\n\r<HEAD>\n\r<TITLE>PELANOR HTTP AGENT ERROR</TITLE>\n\r</HEAD>\n\r<BODY>\n\r<HR>\n\r";
  std::snprintf(line, sizeof line, "HTTP Status: %i %s\n\r", status->code, status->msg);
  p += line;
  p += "<HR>\n\rMessage: ";
  p += html_escaped(message ? message : "");
  p += "<BR>\n\rZU Code:";
  if (code) p += html_escaped(printed(code));
  p += "\n\r<BR>\n\r<HR>\n\r</BODY>\n\r</HTML>\n\r";
  return write_all(s, p);
}

ZU_SEXP* http_request_form(const HTTP_INFO* info, const char* path, ZU_SEXP* body) {
  ZU_SEXP* head = get_symbol(widened(info->method).c_str());
  char number[16];
  auto attribute = [head](const char* name, const std::basic_string<L_CHAR>& value) {
    set_attribute(head, widened(name).c_str(), value.c_str());
  };
  // Each goes to the front: the last set is printed first.
  attribute("Accept-Charset", widened(info->charset));
  std::snprintf(number, sizeof number, "%i", info->content_length);
  attribute("Content-Length", widened(number));
  attribute("Content-Type", widened(info->content_type));
  attribute("dir", widened(path));
  std::snprintf(number, sizeof number, "%i", info->http_rev);
  attribute("http_rev", widened(number));
  std::snprintf(number, sizeof number, "%i", info->http_ver);
  attribute("http_ver", widened(number));
  return body ? List(head, body, ZU_LIST_END) : list(head);
}

int return_code(STREAM* st, HTTP_INFO* info, ZU_SEXP* result) {
  (void)info;
  ZU_SEXP* head = get_type(result) == ZU_TYPE_LIST ? result->pair.car : nullptr;
  if (get_type(head) != ZU_TYPE_SYMBOL) return error_reply(st, &http_status_internal, "symbol required", nullptr);
  std::string type = n_string(std_cm, sym_name(head));
  if (!header_safe(type)) return error_reply(st, &http_status_internal, "invalid content type", nullptr);
  ZU_SEXP* value = get_el(result, 1);
  bool image = is_type(type, "image/jpeg") || is_type(type, "image/gif");
  if (image && get_type(value) != ZU_TYPE_RAW) return error_reply(st, &http_status_internal, "ZUT_RAW is required", nullptr);
  HTTP_INFO reply{};
  reply.err = http_status_ok.code;
  reply.content_type = type.data();
  reply.content_length = -1;
  const L_CHAR* cache = get_sf_attribute(sym_field(head), l_string(std_cm, "Cache-Control"));
  if (option_is(cache, "private")) reply.flags |= HTTP_F_NO_CACHE;
  if (output_server_header_by_info(st, &reply) < 0) return -1;
  bool html = is_type(type, "text/html");
  if (html || is_type(type, "text/xml")) {
    if (get_type(value) == ZU_TYPE_STRING) return s_printf(st, "%ls", str_text(value)) < 0 ? -1 : 0;
    if (!html) value = settle_xml_encoding(st, value);
    return print_sexp(st, value, print_flags(html ? ZU_PRINT_HTML : ZU_PRINT_XML, value)) < 0 ? -1 : 0;
  }
  if (image) {
    int n = static_cast<int>(value->raw.size);
    return s_write(st, value->raw.data, n) == n ? 0 : -1;
  }
  return 0;
}

int exec_url(HTTP_INFO* info, STREAM* st) {
  if (!info->dir) return kExecUrlNoTarget;
  if (net_trace_on()) {
    ss_printf("DIR(%s) = %s\n", net_printable(info->method ? info->method : "").c_str(),
              net_printable(info->dir).c_str());
  }
  const char* path = http_target_path(info->dir);
  if (is_zuohttp_path(path)) return kExecUrlDeclined;
  // An unknown path needs no interpreter: only its page is written.
  HTTP_AGENT_LIST* a = search_http_agent_list(path);
  if (!a) {
    error_reply(st, &http_status_not_found, info->dir, nullptr);
  } else {
    BodyCharge charge(s_get_socketip(st));
    bool lent = borrow_thread_interpreter();
    {
      ZuThreadScope scope("exec_url");
      _exec_url(info, st, a, path, &charge);
    }
    release_http_agent(a);
    if (lent) return_thread_interpreter();
  }
  s_flush(st);
  d_s_close(st);
  return kExecUrlAnswered;
}
