// The reader's grammar: the dispatch of a form by its first character,
// white space and comments, the recovery after a syntax error, the lazy
// list of top-level forms and the parser lock. Atoms, lists and elements
// are read in parser_atom.cc, parser_list.cc and parser_tag.cc.
//
// Token text is gathered on the reader's token stack (reader_impl.h) and
// runs of plain bytes are taken from the buffer in one step; every other
// character goes through the cursor one at a time, so that references,
// escapes, line ends and encoding switches are handled in one place.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>
#include <sched.h>
#include <vector>

#include "stream/stream.h"
#include "text/convert.h"
#include "zu/parser_impl.h"
#include "zu/reader.h"
#include "zu/reader_impl.h"

using namespace zu_parse;

namespace {

// ---- the cache of interned names

uint32_t name_hash(const L_CHAR* s, size_t len) {
  uint32_t h = static_cast<uint32_t>(len);
  for (size_t i = 0; i < len; ++i) h = (h ^ s[i]) * 0x9E3779B1u;
  return h;
}

bool same_name(const ZU_ATOM* a, const L_CHAR* s, size_t len) {
  if (a->len != len) return false;
  for (size_t i = 0; i < len; ++i)
    if (a->name[i] != s[i]) return false;
  return true;
}

// The interned atom of a name, through the reader's cache: two ways of
// kAtomCache / 2 sets, the way used last first.
ZU_ATOM* reader_atom(Reader* r, const L_CHAR* s, size_t len) {
  uint32_t h = name_hash(s, len);
  ZU_ATOM** set = &r->atoms[((h ^ (h >> 15)) * 0x2C1B3C6Du >> 24) % (kAtomCache / 2) * 2];
  if (set[0] && same_name(set[0], s, len)) return set[0];
  if (set[1] && same_name(set[1], s, len)) {
    std::swap(set[0], set[1]);
    return set[0];
  }
  ZU_ATOM* a = intern_atom(s, len);
  set[1] = set[0];
  set[0] = a;
  return a;
}

}  // namespace

namespace zu_parse {

// ---- the token stack

void tok_grow(Reader* r, uint64_t more) {
  uint64_t cap = std::max(r->tok_cap * 2, r->tok_len + more);
  auto* t = static_cast<L_CHAR*>(mmalloc(cap * sizeof(L_CHAR), gc_text));
  std::memcpy(t, r->tok, r->tok_len * sizeof(L_CHAR));
  r->tok = t;
  r->tok_cap = cap;
}

bool same_span(const Reader* r, const Span& a, const Span& b) {
  return a.len == b.len && std::memcmp(tok_at(r, a), tok_at(r, b), a.len * sizeof(L_CHAR)) == 0;
}

// ---- names

// A symbol without attributes named by a piece of the token stack.
ZU_SEXP* reader_symbol(Reader* r, const Span& name) {
  // The value first: the atom is then stored before any further safe point.
  ZU_SEXP* s = new_sexp(ZU_TYPE_SYMBOL);
  s->symbol.atom = reader_atom(r, tok_at(r, name), name.len);
  return s;
}


// ---- errors

ZU_SEXP* fail(Parser& p, uint32_t code, const char* reason, int line, int closed) {
  if (!p.err) {
    p.err = get_error_ascii(p.f, line, code, "parse", list(get_string_ascii(reason)));
    p.err_open = p.r->depth.load(std::memory_order_relaxed) - closed;
    p.err_in_tag = p.in_tag;
  }
  return nullptr;
}

ZU_SEXP* fail_end(Parser& p, int line) {
  const char* why = p.r->too_long  ? "line too long"
                    : p.r->refused ? "input over its memory budget"
                    : p.r->failed  ? "read error"
                                   : "end of input";
  return fail(p, ZU_ER_END_OF_INPUT, why, line);
}

bool too_long(Parser& p, size_t chars, int line) {
  if (chars <= p.r->line_cap) return false;
  p.r->too_long = p.r->failed = 1;
  fail(p, ZU_ER_END_OF_INPUT, "token too long", line);
  return true;
}

// ---- white space and the dispatch

int skip_ws_slow(Parser& p, L_CHAR* c) {
  Reader* r = p.r;
  for (;;) {
    skip_plain_ws(r);
    int k = peek_char(r, c);
    if (k != kChar) return k;
    if (is_ws(*c)) {
      next_char(r, c);
      continue;
    }
    if (*c == '&') {
      Cursor start = save(r);
      next_char(r, c);
      L_CHAR code;
      if (read_ref(r, false, &code) == 2) continue;
      restore(r, start);
      return peek_char(r, c);
    }
    if (*c == '<') {
      Cursor start = save(r);
      Pin pin(r, start.pos);
      next_char(r, c);
      L_CHAR d;
      if (peek_char(r, &d) == kChar && d == '!') {
        next_char(r, &d);
        pin.release();
        // "<!--" comment, else a declaration up to ">".
        L_CHAR e1 = 0, e2 = 0;
        bool comment = false;
        if (peek_char(r, &e1) == kChar && e1 == '-') {
          next_char(r, &e1);
          if (peek_char(r, &e2) == kChar && e2 == '-') {
            next_char(r, &e2);
            comment = true;
          }
        }
        int dashes = 0;
        for (;;) {
          L_CHAR x;
          int k2 = next_char(r, &x);
          if (k2 != kChar) return k2;
          if (comment) {
            if (x == '>' && dashes >= 2) break;
            dashes = x == '-' ? dashes + 1 : 0;
          } else if (x == '>') {
            break;
          }
        }
        continue;
      }
      restore(r, start);
      return peek_char(r, c);
    }
    return kChar;
  }
}

ZU_SYM_FIELD* new_field(Reader* r, const Span& name, const Span& value) {
  auto* fl = static_cast<ZU_SYM_FIELD*>(mmalloc(sizeof(ZU_SYM_FIELD), gc_sym_field));
  fl->name = ll_copy_mstr_len(tok_at(r, name), name.len);
  fl->value = ll_copy_mstr_len(tok_at(r, value), value.len);
  return fl;
}

ZU_SEXP* read_form(Parser& p, Ctx ctx, int depth, Attr* attr_out) {
  Reader* r = p.r;
  L_CHAR c;
  int k = peek_char(r, &c);
  int line = r->cur.line;
  if (k != kChar) return fail_end(p, line);
  if (ctx != kHtml) {
    if (c == '(') {
      next_char(r, &c);
      return read_list(p, depth, line);
    }
    if (c == ')') {
      next_char(r, &c);
      return fail(p, ZU_ER_PARSE_PAREN, "unbalanced parenthesis", line);
    }
    if (c == '"') {
      next_char(r, &c);
      TokScope scope(r);
      Span t;
      if (!read_quoted(p, '"', &t, line)) return nullptr;
      return at(get_string_len(tok_at(r, t), t.len), p.f, line);
    }
    if (c == '[') {
      Cursor start = save(r);
      Pin pin(r, start.pos);
      next_char(r, &c);
      if (ZU_SEXP* s = read_bracket(p, line)) return s;
      restore(r, start);
      next_char(r, &c);
      pin.release();
      return read_word_after(p, ctx, attr_out, line, '[');
    }
    if (c == '#') return read_hash(p, ctx, depth, attr_out, line);
  }
  if (c == '<') {
    Cursor start = save(r);
    Pin pin(r, start.pos);
    next_char(r, &c);
    L_CHAR d;
    if (peek_char(r, &d) == kChar && tag_start(d)) {
      pin.release();
      return read_element(p, depth, line);
    }
    // A "<" that begins no tag is a character of the word.
    pin.release();
    return read_word_after(p, ctx, attr_out, line, '<');
  }
  return read_word(p, ctx, attr_out, line, r->tok_len);
}

}  // namespace zu_parse

namespace {

// ---- recovery after a syntax error

enum class TagEnd { kOpen, kEmpty, kEnd };

// The rest of a start tag up to its ">", quoted values skipped whole.
TagEnd skip_tag_rest(Reader* r) {
  L_CHAR c, prev = 0;
  for (;;) {
    if (next_char(r, &c) != kChar) return TagEnd::kEnd;
    if (c == '"' || c == '\'') {
      L_CHAR q = c;
      do {
        if (next_char(r, &c) != kChar) return TagEnd::kEnd;
      } while (c != q);
    } else if (c == '>') {
      return prev == '/' || prev == '?' ? TagEnd::kEmpty : TagEnd::kOpen;
    }
    prev = c;
  }
}

// After "<": a tag, comment or declaration passed over. The change in the
// number of open elements (1 a start tag, -1 a closing tag), or -2 when the
// input ended.
int skip_markup(Parser& p) {
  Reader* r = p.r;
  L_CHAR c;
  if (peek_char(r, &c) != kChar) return -2;
  if (c == '/' || c == '!' || c == '?') {
    next_char(r, &c);
    bool closing = c == '/';
    TagEnd e = skip_tag_rest(r);
    return e == TagEnd::kEnd ? -2 : closing ? -1 : 0;
  }
  if (!tag_start(c)) return 0;
  TokScope scope(r);
  const uint64_t from = r->tok_len;
  while (peek_char(r, &c) == kChar && name_char(c)) {
    next_char(r, &c);
    tok_push(r, p.html() ? fold(c) : c);
  }
  Span name = tok_since(r, from);
  TagEnd e = skip_tag_rest(r);
  if (e == TagEnd::kEnd) return -2;
  return e == TagEnd::kOpen && !(p.html() && void_element(tok_at(r, name), name.len)) ? 1 : 0;
}

// Skips what is left of the form in which p.err was found, so that reading
// resumes after that form rather than inside it (where each closing
// parenthesis or tag would be an error of its own). Strings, lists and
// tags are followed; anything else is passed over.
void skip_rest_of_form(Parser& p) {
  Reader* r = p.r;
  int open = p.err_open;
  if (p.err_in_tag) {
    TagEnd e = skip_tag_rest(r);
    if (e == TagEnd::kEnd) return;
    if (e == TagEnd::kEmpty) --open;
  }
  bool lists = !p.html();
  L_CHAR c;
  while (open > 0 && next_char(r, &c) == kChar) {
    if (c == '<') {
      int d = skip_markup(p);
      if (d == -2) return;
      open += d;
    } else if (lists && c == '(') {
      ++open;
    } else if (lists && c == ')') {
      --open;
    } else if (lists && c == '"') {
      while (next_char(r, &c) == kChar && c != '"')
        if (c == '\\' && next_char(r, &c) != kChar) return;
    }
  }
}

// ---- the lazy list

enum class Top { kForm, kEnd, kError, kFatal };

Top read_top(Reader* r, ZU_SEXP** out) {
  r->tok_len = 0;  // whatever a form that failed left on the stacks
  r->elems_len = 0;
  reader_trim_stacks(r);
  Parser p(r);
  L_CHAR c;
  int k = skip_ws(p, &c);
  if (k == kEnd) return Top::kEnd;
  int line = r->cur.line;
  if (k == kFail) {
    fail_end(p, line);
    *out = p.err;
    return Top::kFatal;
  }
  Cursor before = save(r);
  Attr a;
  ZU_SEXP* form = read_form(p, p.html() ? kHtml : kList, 0, &a);
  if (!p.err && a.set()) fail(p, ZU_ER_PARSE_ATTRIBUTE, "invalid attribute", line);
  if (p.err) {
    *out = p.err;
    if (error_code(p.err) == ZU_ER_END_OF_INPUT) return Top::kFatal;
    skip_rest_of_form(p);
    // Always move on, so that bad input cannot hold the reader in place.
    if (r->cur.pos == before.pos && r->cur.npend == before.npend) next_char(r, &c);
    return Top::kError;
  }
  *out = form;
  return Top::kForm;
}

// The stream init_parse was handed, closed as release_reader closes it
// when a refusal ends init_parse before the file record holds it.
struct HandedStream {
  STREAM* st;
  ~HandedStream() {
    if (!st) return;
    d_s_close(st);
    s_drop(st);
  }
};

void release_reader(ZU_FILE* f) {
  auto* r = static_cast<Reader*>(f->reader);
  if (r) r->closed = 1;
  STREAM* st = f->st;
  if (st && !(f->flags & ZU_FILE_KEEP_STREAM)) d_s_close(st);
  f->st = nullptr;
  if (r) r->st = nullptr;
  s_drop(st);  // init_parse's reference
}

// Waits until no other thread reads this source; true when the calling
// thread now reads it.
void enter(Reader* r) {
  int expected = 0;
  if (r->busy.compare_exchange_strong(expected, 1)) return;
  BlockingRegion br;
  for (;;) {
    expected = 0;
    if (r->busy.compare_exchange_weak(expected, 1)) return;
    sched_yield();
  }
}

// The calling thread's turn at reading a source (enter), given up however
// the read ends. A refusal for memory in the middle of a form ends the
// source: the reader's state is that of a form half read.
class ReadTurn {
 public:
  explicit ReadTurn(Reader* r) : r_(r), unwinding_(std::uncaught_exceptions()) { enter(r); }
  ~ReadTurn() {
    if (std::uncaught_exceptions() > unwinding_) r_->closed = 1;
    r_->busy.store(0);
  }
  ReadTurn(const ReadTurn&) = delete;
  ReadTurn& operator=(const ReadTurn&) = delete;

 private:
  Reader* r_;
  int unwinding_;
};

// Reads the next top-level form into d during the caller's turn; whether
// the source ended.
bool read_next(ZU_SEXP* d, ZU_FILE* f, Reader* r) {
  ZU_SEXP* form = nullptr;
  Top t = read_top(r, &form);
  f->cm_work = r->cur.w;
  f->line = r->cur.line;
  ZU_SEXP* result = nullptr;
  bool finished = false;
  switch (t) {
    case Top::kEnd:
      finished = true;
      break;
    case Top::kFatal:
      result = cons(form, nullptr);
      finished = true;
      break;
    case Top::kForm:
    case Top::kError: {
      ZU_SEXP* rest = new_reader_delay(f, nullptr);
      set_sexp_pos(rest, f, r->cur.line);
      result = cons(form, rest);
      break;
    }
  }
  over_write_sexp(d, result);
  return finished;
}

ZU_SEXP* force_reader(ZU_SEXP* d) {
  ZU_FILE* f = d->delay.file;
  auto* r = f ? static_cast<Reader*>(f->reader) : nullptr;
  GcFrame frame("zu_read");
  gc_set_nl(d, gc_qn_sexp);
  if (!r) return over_write_sexp(d, nullptr);
  bool finished;
  {
    ReadTurn turn(r);
    if (d->h.type != ZU_TYPE_DELAY) return d;  // another thread read it meanwhile
    if (r->closed || !r->st) return over_write_sexp(d, nullptr);
    finished = read_next(d, f, r);
  }
  if (f->result_hook) f->result_hook(f);
  if (finished) close_zu_file(f);
  return d;
}

int check_reader(ZU_SEXP* d) {
  ZU_FILE* f = d->delay.file;
  auto* r = f ? static_cast<Reader*>(f->reader) : nullptr;
  if (!r || r->closed) return 3;
  if (r->cur.pos < r->base + r->fill || r->has_peek || r->cur.npend) return 4;
  if (r->st && s_get_fpipe_data_size(r->st) > 0) return 4;
  return 0;
}

const ZU_DELAY_OPS kOps = {force_reader, check_reader, nullptr};

std::once_flag lock_once;

}  // namespace

SEM lex_lock = nullptr;

void init_parse_lock() {
  std::call_once(lock_once, [] { lex_lock = new_lock(LOCK_LEX); });
}

void _xx_lock_parse(const char* file, int line) {
  init_parse_lock();
  _i_lock_task(lex_lock, file, line);
}

void unlock_parse(const char* label) { unlock_task(lex_lock, label); }

ZU_SEXP* init_parse(STREAM* st, const L_CHAR* name, const L_CHAR* comment) {
  static std::once_flag ops_once;
  std::call_once(ops_once, [] { set_reader_delay_ops(&kOps); });
  init_parse_lock();
  if (!st || !s_exist(st))
    return get_error_ascii(nullptr, 0, ZU_ER_END_OF_INPUT, "parse", list(get_string_ascii("cannot read the stream")));
  // The reader keeps the record while it may still read, even after its
  // owner closed the stream (it then reads the end of input).
  s_hold(st);
  // Until the file record can release the stream, a refusal for memory
  // closes it here (the caller, unwinding, cannot); from then on the
  // collector does when it finds the record unreachable.
  HandedStream handed{st};
  ZU_FILE* f = new_zu_file(name, st);
  f->reader = new_reader(f, st);
  f->reader_mark = mark_reader;
  f->release = release_reader;
  handed.st = nullptr;
  f->comment = ll_copy_mstr(comment);
  f->line = 1;
  ZU_SEXP* d = new_reader_delay(f, nullptr);
  set_sexp_pos(d, f, 1);
  return d;
}

void zu_set_cm(ZU_FILE* f, CODE_METHOD* cm) {
  if (!f) return;
  if (auto* r = static_cast<Reader*>(f->reader)) {
    reader_set_cm(r, cm);
  } else {
    f->cm = cm ? cm : stream_cm;
    cm_work_init(&f->cm_work, f->cm);
  }
}

void zu_set_encoding_name(ZU_FILE* f, const L_CHAR* name) {
  CODE_METHOD* cm = name ? get_encoding(name) : nullptr;
  zu_set_cm(f, cm ? cm : stream_cm);
}

int set_encoding(ZU_SEXP* l) {
  static const L_CHAR kXml[] = {'?', 'x', 'm', 'l', 0};
  static const L_CHAR kZu[] = {'?', 'z', 'u', 0};
  static const L_CHAR kEnc[] = {'e', 'n', 'c', 'o', 'd', 'i', 'n', 'g', 0};
  for (int i = 0; i < 2; ++i) {
    if (get_type(l) != ZU_TYPE_LIST) return 0;
    ZU_SEXP* e = l->pair.car;
    if (get_type(e) == ZU_TYPE_LIST) {
      ZU_SEXP* h = e->pair.car;
      if (get_type(h) == ZU_TYPE_SYMBOL && (l_strcmp(sym_name(h), kXml) == 0 || l_strcmp(sym_name(h), kZu) == 0) &&
          get_sf_attribute(sym_field(h), kEnc)) {
        ZU_FILE* f = sexp_file(e) ? sexp_file(e) : sexp_file(l);
        for (ZU_SYM_FIELD* a = sym_field(h); a; a = a->next)
          if (a->name && l_strcmp(a->name, kEnc) == 0) zu_set_encoding_name(f, a->value);
        return 1;
      }
    }
    l = l->pair.cdr;
  }
  return 0;
}
