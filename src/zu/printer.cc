// The printer: list, XML and HTML forms of a value.
#include "zu/printer.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

#include "stream/stream.h"
#include "zu/errcodes.h"
#include "zu/file.h"
#include "zu/reader.h"
#include "zu/reader_impl.h"

namespace {

constexpr int kMaxDepth = ZU_PRINT_MAX_DEPTH;
// Wide codes gathered before a write in an encoding the printer does not
// encode itself.
constexpr size_t kChunk = 4096;
// Bytes gathered before a write in an encoding it does.
constexpr size_t kByteChunk = 4096;
// Room kept after kByteChunk: one encoded code, or one number.
constexpr size_t kByteSlack = 512;

enum Ctx { kList, kContent };

// Whether text in cm may be encoded here, one code at a time and with no
// state between codes, a code below 0x80 being the byte of that value.
bool encodes_directly(CODE_METHOD* cm) {
  static CODE_METHOD* const latin1 = search_cm("ISO-8859-1");
  return cm == utf8_cm || cm == ascii_cm || cm == eucjp_cm || (latin1 && cm == latin1);
}

// The printer's output. In an encoding of encodes_directly, text is encoded
// into a byte buffer as it is put (a plain code is its byte) and handed to
// the stream a buffer at a time, raw bytes among it; in any other encoding
// wide text is gathered and written through the stream's own encoder.
// Nothing is written of a value the printer would refuse: before the first
// write the whole value is checked, unless it has been printed through
// already (so a text that fits in one buffer never costs a second walk).
struct Out {
  Out(STREAM* s, int f, ZU_SEXP* v) : st(s), flags(f), root(v) {
    CODE_METHOD* cm = s_get_cm(s);
    if (!cm) cm = stream_cm;  // as the stream layer itself falls back
    direct = encodes_directly(cm);
    if (direct) cm_work_init(&enc, cm);
    else buf.reserve(kChunk + 64);
  }
  STREAM* st;
  int flags;
  ZU_SEXP* root;
  int err = 0;
  bool failed = false;
  bool written = false;  // something went to the stream (or was refused)
  bool whole = false;    // root printed through: no check needed
  bool refused = false;
  bool direct = false;
  CM_WORK enc{};
  size_t fill = 0;
  unsigned char bytes_buf[kByteChunk + kByteSlack];
  std::vector<L_CHAR> buf;

  // Before the first write: the check that the whole value prints.
  bool may_write() {
    if (!failed && !written) {
      written = true;
      if (!whole && !sexp_printable(root, flags)) refused = failed = true;
    }
    return !failed;
  }
  [[gnu::noinline]] void flush() {
    if (!may_write()) {
      buf.clear();
      fill = 0;
      return;
    }
    if (direct) {
      if (fill > 0 && e_write(st, &err, bytes_buf, static_cast<int>(fill)) < 0) failed = true;
      fill = 0;
      return;
    }
    if (buf.empty()) return;
    buf.push_back(0);
    if (e_printf(st, &err, "%ls", buf.data()) < 0) failed = true;
    buf.clear();
  }
  // Room for n more bytes (n <= kByteSlack).
  void room(size_t n) {
    if (fill + n > kByteChunk + kByteSlack || fill >= kByteChunk) flush();
  }
  void put(L_CHAR c) {
    if (direct && c < 0x80 && fill < kByteChunk) {
      bytes_buf[fill++] = static_cast<unsigned char>(c);
      return;
    }
    put_slow(c);
  }
  // Out of line, so that the recursive print keeps small frames.
  [[gnu::noinline]] void put_slow(L_CHAR c) {
    if (direct) {
      if (fill >= kByteChunk) flush();
      if (c < 0x80) bytes_buf[fill++] = static_cast<unsigned char>(c);
      else fill += static_cast<size_t>(cm_put_code(&enc, c, 'c', bytes_buf + fill));
      return;
    }
    buf.push_back(c);
    if (buf.size() >= kChunk) flush();
  }
  // Plain text (codes below 0x80).
  [[gnu::noinline]] void ascii(const char* s, size_t n) {
    if (!direct) {
      for (size_t i = 0; i < n; ++i) put(static_cast<unsigned char>(s[i]));
      return;
    }
    while (n > 0) {
      if (fill >= kByteChunk) flush();
      size_t k = std::min(n, kByteChunk + kByteSlack - fill);
      std::memcpy(bytes_buf + fill, s, k);
      fill += k;
      s += k;
      n -= k;
    }
  }
  void puts(const char* s) { ascii(s, std::strlen(s)); }
  void putw(const L_CHAR* s) {
    if (s)
      for (; *s; ++s) put(*s);
  }
  // A number written by to_chars straight into the buffer (or through a
  // small one in the wide case); `max` bounds its length. Kept out of the
  // recursive print, whose frames must stay small.
  template <class F>
  [[gnu::noinline]] void formatted(size_t max, F f) {
    if (direct) {
      room(max);
      fill = static_cast<size_t>(f(reinterpret_cast<char*>(bytes_buf + fill), reinterpret_cast<char*>(bytes_buf + fill + max)) -
                                 reinterpret_cast<char*>(bytes_buf));
      return;
    }
    char b[kByteSlack];
    char* e = f(b, b + max);
    ascii(b, static_cast<size_t>(e - b));
  }
  void dec(int64_t v) {
    formatted(24, [v](char* b, char* e) { return std::to_chars(b, e, v).ptr; });
  }
  void hex(uint64_t v) {
    formatted(24, [v](char* b, char* e) { return std::to_chars(b, e, v, 16).ptr; });
  }
  // As "%f": six decimals (a double has at most 309 digits before the point).
  void fixed(double v) {
    formatted(330, [v](char* b, char* e) { return std::to_chars(b, e, v, std::chars_format::fixed, 6).ptr; });
  }
  void bytes(const uint8_t* p, uint32_t n) {
    if (direct && n <= kByteChunk) {
      // Among the text, so that a value is written in as few pieces as it
      // fills buffers.
      if (fill + n > kByteChunk) flush();
      if (failed) return;
      std::memcpy(bytes_buf + fill, p, n);
      fill += n;
      return;
    }
    flush();
    if (failed || n == 0) return;
    if (e_write(st, &err, p, static_cast<int>(n)) != static_cast<int>(n)) failed = true;
  }
  void indent(int depth) {
    put('\n');
    for (int i = 0; i < depth; ++i) puts("  ");
  }
  int form() const { return flags & ZU_PRINT_FORM; }
};

bool delim(L_CHAR c) { return zu_reader::is_ws(c) || c == '(' || c == ')' || c == '"' || c == '[' || c == ']'; }

bool looks_numeric(const L_CHAR* s) {
  size_t i = 0;
  if (s[i] == '+' || s[i] == '-') ++i;
  return zu_reader::is_digit(s[i]);
}

bool tag_first(L_CHAR c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c == '?' || c >= 0x80;
}
bool tag_char(L_CHAR c) {
  return !zu_reader::is_ws(c) && c != '>' && c != '/' && c != '=' && c != '"' && c != '\'' && c != '<' && c != '?' &&
         c != '&';
}

// Whether a symbol's name reads back as itself when written bare in a list.
bool plain_name(const L_CHAR* s) {
  if (!s || !*s) return false;
  L_CHAR c0 = s[0];
  if (c0 == '#' || c0 == '.' || c0 == ';' || looks_numeric(s)) return false;
  if (c0 == '<' && zu_reader::tag_start(s[1])) return false;
  for (size_t i = 0; s[i]; ++i) {
    L_CHAR c = s[i];
    // An "&" is written as a reference, which a bare word reads only in
    // its "&cx" form: the name goes quoted, where "&amp;" reads everywhere.
    if (delim(c) || c == '&') return false;
    if (c == '=' && s[i + 1] == '"') return false;
  }
  return true;
}

// An attribute name that reads back as itself written bare in brackets.
bool plain_attr_name(const L_CHAR* s) {
  if (!s || !*s) return false;
  for (; *s; ++s)
    if (zu_reader::is_ws(*s) || *s == '=' || *s == '"' || *s == '[' || *s == ']' || *s == '&') return false;
  return true;
}

// A name usable as a tag (and read back as the same name).
bool tag_name(const L_CHAR* s, bool header) {
  if (!s || !*s) return false;
  size_t i = 0;
  if (header) {
    if (s[0] != '?') return false;
    i = 1;
  }
  if (!tag_first(s[i]) || s[i] == '?') return false;
  for (; s[i]; ++i)
    if (!tag_char(s[i])) return false;
  return true;
}

// Quoted text that reads back as itself wherever it is read: the
// characters that readers of list and tag text take specially are written
// as references ("&" always, so that no reader takes what follows it for
// the rest of a reference, or waits for one), line ends and the backslash
// as escapes.
void quoted(Out& o, const L_CHAR* s) {
  o.put('"');
  for (; s && *s; ++s) {
    switch (*s) {
      case '\n': o.puts("\\n"); break;
      case '\r': o.puts("\\r"); break;
      case '\\': o.puts("\\\\"); break;
      case '&': o.puts("&amp;"); break;
      case '<': o.puts("&lt;"); break;
      case '>': o.puts("&gt;"); break;
      case '"': o.puts("&quot;"); break;
      default: o.put(*s);
    }
  }
  o.put('"');
}

// Text between tags in text mode.
void bare_text(Out& o, const L_CHAR* s) {
  for (; s && *s; ++s) {
    switch (*s) {
      case '&': o.puts("&amp;"); break;
      case '<': o.puts("&lt;"); break;
      case '>': o.puts("&gt;"); break;
      default: o.put(*s);
    }
  }
}

// Attributes in brackets, or (tag) in a start tag, where every name is one
// that tag_name accepts.
void attrs(Out& o, ZU_SYM_FIELD* f, bool tag) {
  for (; f; f = f->next) {
    o.put(' ');
    if (tag || plain_attr_name(f->name)) o.putw(f->name);
    else quoted(o, f->name);
    o.put('=');
    quoted(o, f->value);
  }
}

// Text that reads back as the rest of a bare word (a number's unit), in
// list syntax and between tags: characters that would end the word or be
// read as an escape are written as references.
void word_rest(Out& o, const L_CHAR* s) {
  for (; s && *s; ++s) {
    L_CHAR c = *s;
    if (zu_reader::is_ws(c) || c == '(' || c == ')' || c == '"' || c == '<' || c == '\\' || c == '&') {
      o.puts("&cx");
      o.hex(c);
      o.put(';');
    } else {
      o.put(c);
    }
  }
}

void symbol(Out& o, ZU_SEXP* s, Ctx ctx) {
  const L_CHAR* name = sym_name(s);
  ZU_SYM_FIELD* f = sym_field(s);
  bool plain = plain_name(name);
  if (plain && !f && ctx == kList) {
    o.putw(name);
    return;
  }
  o.put('[');
  if (plain) o.putw(name);
  else quoted(o, name);
  attrs(o, f, false);
  o.put(']');
}

bool void_element(const L_CHAR* n) {
  static const char* const kVoid[] = {"AREA", "BASE", "BR",    "COL",   "EMBED",    "HR",    "IMG",    "INPUT", "LINK",
                                      "META", "PARAM", "SOURCE", "TRACK", "WBR", "BASEFONT", "FRAME", "ISINDEX"};
  for (const char* v : kVoid) {
    size_t i = 0;
    for (; v[i] && n[i]; ++i) {
      L_CHAR c = n[i] >= 'a' && n[i] <= 'z' ? n[i] - 32 : n[i];
      if (c != static_cast<L_CHAR>(v[i])) break;
    }
    if (!v[i] && !n[i]) return true;
  }
  return false;
}

bool print(Out& o, ZU_SEXP* s, Ctx ctx, int depth);

// The members of a proper or dotted list in list form; false on a cycle.
bool list_form(Out& o, ZU_SEXP* s, int depth) {
  o.put('(');
  ZU_SEXP* slow = s;
  bool first = true;
  bool ind = (o.flags & ZU_PRINT_INDENT) != 0;
  int steps = 0;
  for (;;) {
    ZU_SEXP* a = s->pair.car;
    if (!first) {
      if (ind && get_type(a) == ZU_TYPE_LIST) o.indent(depth + 1);
      else o.put(' ');
    }
    first = false;
    if (!print(o, a, kList, depth + 1)) return false;
    ZU_SEXP* d = s->pair.cdr;
    int t = get_type(d);
    if (t == ZU_TYPE_NULL) break;
    if (t != ZU_TYPE_LIST) {
      o.puts(" .");
      if (!print(o, d, kList, depth + 1)) return false;
      break;
    }
    s = d;
    if (++steps % 2 == 0) {
      slow = slow->pair.cdr;
      if (slow == s) return false;
    }
  }
  o.put(')');
  return true;
}

// A proper list headed by a symbol whose name and attribute names can be a
// tag's.
bool element_shape(ZU_SEXP* s, bool* header) {
  ZU_SEXP* h = s->pair.car;
  if (get_type(h) != ZU_TYPE_SYMBOL) return false;
  for (ZU_SYM_FIELD* f = sym_field(h); f; f = f->next)
    if (!tag_name(f->name, false)) return false;
  const L_CHAR* n = sym_name(h);
  if (n[0] == '?') {
    *header = true;
    return get_type(s->pair.cdr) == ZU_TYPE_NULL && tag_name(n, true);
  }
  *header = false;
  if (!tag_name(n, false)) return false;
  return list_length(s) >= 1;
}

bool element(Out& o, ZU_SEXP* s, bool header, int depth) {
  ZU_SEXP* h = s->pair.car;
  const L_CHAR* n = sym_name(h);
  o.put('<');
  o.putw(n);
  attrs(o, sym_field(h), true);
  if (header) {
    o.puts("?>");
    return true;
  }
  ZU_SEXP* m = s->pair.cdr;
  bool html = o.form() == ZU_PRINT_HTML;
  if (!m) {
    if (!html) o.puts("/>");
    else if (void_element(n)) o.put('>');
    else {
      o.puts("></");
      o.putw(n);
      o.put('>');
    }
    return true;
  }
  o.put('>');
  bool ind = (o.flags & ZU_PRINT_INDENT) != 0;
  bool first = true;
  for (; get_type(m) == ZU_TYPE_LIST; m = m->pair.cdr) {
    if (ind) o.indent(depth + 1);
    else if (!first) o.put(' ');
    first = false;
    if (!print(o, m->pair.car, kContent, depth + 1)) return false;
  }
  if (ind) o.indent(depth);
  o.puts("</");
  o.putw(n);
  o.put('>');
  return true;
}

bool print(Out& o, ZU_SEXP* s, Ctx ctx, int depth) {
  if (depth > kMaxDepth || o.failed) return false;
  switch (get_type(s)) {
    case ZU_TYPE_NULL:
      o.puts("()");
      return true;
    case ZU_TYPE_LIST: {
      bool header = false;
      if (o.form() != ZU_PRINT_LIST && element_shape(s, &header)) return element(o, s, header, depth);
      return list_form(o, s, depth);
    }
    case ZU_TYPE_SYMBOL:
      symbol(o, s, ctx);
      return true;
    case ZU_TYPE_STRING:
      if (ctx == kContent && (o.flags & ZU_PRINT_TEXT)) bare_text(o, str_text(s));
      else quoted(o, str_text(s));
      return true;
    case ZU_TYPE_INTEGER:
      o.dec(s->integer.num);
      word_rest(o, s->integer.unit);
      return true;
    case ZU_TYPE_FLOATING:
      o.fixed(s->floating.num);
      word_rest(o, s->floating.unit);
      return true;
    case ZU_TYPE_FUNCTION: {
      ZU_FUNC* f = s->func;
      if (f && f->type == ZU_FUNC_BUILTIN) {
        o.puts("[prim:0x");
        o.hex(reinterpret_cast<uintptr_t>(f->prim));
      } else if (f && f->type == ZU_FUNC_LAMBDA) {
        o.puts("[lambda:0x");
        o.hex(reinterpret_cast<uintptr_t>(f->l_body));
      } else {
        o.put('[');
        o.dec(f ? f->type : 0);
      }
      o.put(']');
      return true;
    }
    case ZU_TYPE_POINTER:
      o.puts("[ptr:0x");
      o.hex(reinterpret_cast<uintptr_t>(s->ptr.ptr));
      o.put(']');
      return true;
    case ZU_TYPE_ENV:
      o.puts("[env:0x");
      o.hex(reinterpret_cast<uintptr_t>(s->env));
      o.put(']');
      return true;
    case ZU_TYPE_RAW:
      o.put('#');
      o.hex(s->raw.size);
      o.put('#');
      if (!(o.flags & ZU_PRINT_RAW_SIZE)) o.bytes(s->raw.data, s->raw.size);
      o.put(']');
      return true;
    case ZU_TYPE_ERROR: {
      ZU_ERROR* e = s->error;
      o.puts("#error(");
      o.dec(e->code);
      o.put(' ');
      quoted(o, e->site);
      o.put(' ');
      if (e->file && e->file->name) quoted(o, e->file->name);
      else o.puts("()");
      o.put(' ');
      o.dec(e->line);
      o.put(' ');
      if (e->func) quoted(o, e->func);
      else o.puts("()");
      o.put(' ');
      if (!print(o, e->data, kList, depth + 1)) return false;
      o.put(')');
      return true;
    }
    default:
      o.puts("[delay:0x");
      o.hex(reinterpret_cast<uintptr_t>(s));
      o.put(']');
      return true;
  }
}

// Whether print would print s whole at this depth: it walks what print
// walks, without writing.
bool printable(ZU_SEXP* s, int depth) {
  if (depth > kMaxDepth) return false;
  switch (get_type(s)) {
    case ZU_TYPE_LIST: {
      ZU_SEXP* slow = s;
      for (int steps = 1;; ++steps) {
        if (!printable(s->pair.car, depth + 1)) return false;
        ZU_SEXP* d = s->pair.cdr;
        int t = get_type(d);
        if (t == ZU_TYPE_NULL) return true;
        if (t != ZU_TYPE_LIST) return printable(d, depth + 1);
        s = d;
        if (steps % 2 == 0) {
          slow = slow->pair.cdr;
          if (slow == s) return false;
        }
      }
    }
    case ZU_TYPE_ERROR:
      return printable(s->error->data, depth + 1);
    default:
      return true;
  }
}

}  // namespace

bool sexp_printable(ZU_SEXP* s, int flags) {
  // Each member of a top-level list is a root of its own.
  if ((flags & ZU_PRINT_MULTIROOT) && get_type(s) == ZU_TYPE_LIST) return printable(s, -1);
  return printable(s, 0);
}

ZU_SEXP* print_refused_error(ZU_SEXP* at) {
  return get_error_ascii(sexp_file(at), at ? at->h.line : 0, ZU_ER_TYPE, "print",
                         list(get_string_ascii("value nested too deeply or cyclic")));
}

int e_print_sexp(STREAM* st, int* err, ZU_SEXP* s, int flags) {
  if (err) *err = 0;
  if (!s_exist(st)) return -1;
  Out o(st, flags, s);
  bool ok = true;
  if (flags & ZU_PRINT_MULTIROOT) {
    ZU_SEXP* slow = s;
    int steps = 0;
    while (ok && get_type(s) == ZU_TYPE_LIST) {
      ok = print(o, s->pair.car, kList, 0);
      o.put('\n');
      s = s->pair.cdr;
      if (++steps % 2 == 0) {
        slow = slow->pair.cdr;
        if (slow == s) ok = false;
      }
    }
    if (ok && get_type(s) != ZU_TYPE_NULL) {
      ok = print(o, s, kList, 0);
      o.put('\n');
    }
  } else {
    ok = print(o, s, flags & ZU_PRINT_MEMBER ? kContent : kList, 0);
  }
  if (!ok && !o.written) return ZU_PRINT_REFUSED;  // within the first chunk
  o.whole = ok;
  o.flush();
  if (err) *err = o.err;
  if (o.refused) return ZU_PRINT_REFUSED;
  return ok && !o.failed ? 0 : -1;
}

int print_sexp(STREAM* st, ZU_SEXP* s, int flags) { return e_print_sexp(st, nullptr, s, flags); }
