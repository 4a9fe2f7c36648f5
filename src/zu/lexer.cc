// The reader's character level: buffered bytes, lazy decoding, look-ahead
// by cursor, line counting and character references.
#include <algorithm>
#include <atomic>
#include <ctime>
#include <cstring>
#include <new>
#include <sched.h>

#include "stream/stream.h"
#include "zu/reader_impl.h"

namespace zu_reader {

namespace {

constexpr uint32_t kInitialCap = 4096;
// Scripts may hold long lines; links set a smaller cap (zu_set_line_cap).
constexpr uint64_t kDefaultLineCap = uint64_t{64} << 20;
// One read asks for at most this many bytes.
constexpr uint64_t kMaxRead = uint64_t{1} << 30;
// Bytes kept before the cursor when the buffer is refilled, for short
// look-aheads that have not pinned their start.
constexpr uint64_t kKeepBehind = 64;
constexpr int64_t kZuEpoch = 978307200;
// First sizes of the token stack, in codes, and of the member stack.
constexpr uint64_t kInitialTok = 256;
constexpr uint64_t kInitialElems = 64;
// Stacks larger than this are handed back between forms.
constexpr uint64_t kKeptStackBytes = uint64_t{64} << 10;

bool ascii_compatible(CODE_METHOD* cm) {
  static CODE_METHOD* latin1 = search_cm("ISO-8859-1");
  return cm == utf8_cm || cm == ascii_cm || cm == eucjp_cm || (latin1 && cm == latin1);
}

// Moves the bytes still needed to the front and reads more. Returns the
// number of bytes added (0 at the end of input or on failure).
uint32_t refill(Reader* r) {
  if (r->eof || r->failed || r->closed) return 0;
  uint64_t keep = r->cur.pos > kKeepBehind ? r->cur.pos - kKeepBehind : 0;
  if (r->pin < keep) keep = r->pin;
  if (r->has_peek == kPeekFull && r->peek_after.pos < keep) keep = r->peek_after.pos;
  if (keep < r->base) keep = r->base;
  uint64_t drop = keep - r->base;
  if (drop > 0) {
    BufGuard g(r);
    std::memmove(r->buf, r->buf + drop, r->fill - drop);
    r->fill -= drop;
    r->base = keep;
  }
  if (r->fill == r->cap) {
    // A pinned look-ahead spans the whole buffer: grow it, up to the cap.
    if (r->cap >= r->line_cap) {
      r->too_long = r->failed = 1;
      return 0;
    }
    uint64_t ncap = r->cap * 2;
    auto* nb = static_cast<uint8_t*>(mmalloc(ncap, gc_text));  // may collect: not under the guard
    BufGuard g(r);
    std::memcpy(nb, r->buf, r->fill);
    r->buf = nb;
    r->cap = ncap;
  }
  {
    BufGuard g(r);
    r->wait_pos = r->cur.pos;
  }
  if (r->f->admit_hook && r->f->admit_hook(r->f) < 0) {
    r->refused = r->failed = 1;
    return 0;
  }
  int n = s_read(r->st, r->buf + r->fill, static_cast<int>(std::min(r->cap - r->fill, kMaxRead)));
  if (n < 0) {
    r->failed = 1;
    return 0;
  }
  if (n == 0) {
    r->eof = 1;
    return 0;
  }
  {
    BufGuard g(r);
    r->fill += static_cast<uint64_t>(n);
  }
  // Read by the interpreter tick while this thread reads on.
  std::atomic_ref<int64_t>(r->f->rb_time).store(static_cast<int64_t>(std::time(nullptr)) - kZuEpoch,
                                                std::memory_order_relaxed);
  return static_cast<uint32_t>(n);
}

// The byte at the cursor when it is a whole character by itself.
inline bool ascii_at_cursor(const Reader* r, L_CHAR* out) {
  const Cursor& c = r->cur;
  if (!r->fast || c.npend || c.w.dst != 0 || c.pos >= r->base + r->fill) return false;
  uint8_t b = r->buf[c.pos - r->base];
  if (b >= 0x80) return false;
  *out = b;
  return true;
}

// Decodes the next character at cursor c.
int decode(Reader* r, Cursor& c, L_CHAR* out) {
  if (c.npend) {
    *out = c.pend[0];
    for (int i = 1; i < c.npend; ++i) c.pend[i - 1] = c.pend[i];
    --c.npend;
    return kChar;
  }
  for (;;) {
    if (c.pos >= r->base + r->fill) {
      // Checked once per buffer: a line without an end is not kept growing.
      if (c.pos - c.line_start > r->line_cap) r->too_long = r->failed = 1;
      if (refill(r) == 0 || c.pos >= r->base + r->fill) {
        if (c.ended) return r->failed ? kFail : kEnd;
        c.ended = 1;
        L_CHAR tmp[CM_MAX_DECODE];
        int n = c.w.cm->end_internal(&c.w, tmp);
        if (n <= 0) return r->failed ? kFail : kEnd;
        *out = tmp[0];
        for (int i = 1; i < n; ++i) c.pend[c.npend++] = tmp[i];
        return kChar;
      }
    }
    uint8_t b = r->buf[c.pos - r->base];
    ++c.pos;
    if (r->fast && b < 0x80 && c.w.dst == 0) {
      *out = b;
      return kChar;
    }
    L_CHAR tmp[CM_MAX_DECODE];
    int n = c.w.cm->to_internal(&c.w, b, tmp);
    if (n <= 0) continue;
    *out = tmp[0];
    for (int i = 1; i < n; ++i) c.pend[c.npend++] = tmp[i];
    return kChar;
  }
}

}  // namespace

BufGuard::BufGuard(Reader* r) : r_(r) {
  for (int expected = 0; !r_->buf_guard.compare_exchange_weak(expected, 1, std::memory_order_acquire); expected = 0)
    sched_yield();
}

BufGuard::~BufGuard() { r_->buf_guard.store(0, std::memory_order_release); }

Reader* new_reader(ZU_FILE* f, STREAM* st) {
  auto* r = new (mmalloc(sizeof(Reader), mark_reader)) Reader();
  r->f = f;
  r->st = st;
  r->buf = static_cast<uint8_t*>(mmalloc(kInitialCap, gc_text));
  r->cap = kInitialCap;
  r->tok = static_cast<L_CHAR*>(mmalloc(kInitialTok * sizeof(L_CHAR), gc_text));
  r->tok_cap = kInitialTok;
  r->elems = static_cast<ReadMember*>(mmalloc(kInitialElems * sizeof(ReadMember), mark_reader_elems));
  r->elems_cap = kInitialElems;
  r->line_cap = kDefaultLineCap;
  r->pin = UINT64_MAX;
  r->cur.line = 1;
  CODE_METHOD* cm = s_get_cm(st);
  reader_set_cm(r, cm ? cm : stream_cm);
  return r;
}

void reader_trim_stacks(Reader* r) {
  if (r->tok_cap * sizeof(L_CHAR) > kKeptStackBytes) {
    r->tok = static_cast<L_CHAR*>(mmalloc(kInitialTok * sizeof(L_CHAR), gc_text));
    r->tok_cap = kInitialTok;
  }
  if (r->elems_cap * sizeof(ReadMember) > kKeptStackBytes) {
    r->elems = static_cast<ReadMember*>(mmalloc(kInitialElems * sizeof(ReadMember), mark_reader_elems));
    r->elems_cap = kInitialElems;
  }
}

void mark_reader(void* p) {
  if (gc_mark_block(p)) return;
  auto* r = static_cast<Reader*>(p);
  gc_mark(r->buf, gc_text);
  gc_mark(r->tok, gc_text);
  gc_mark(r->elems, mark_reader_elems);
  for (uint64_t i = 0; i < r->elems_len; ++i) gc_mark(r->elems[i].value, gc_qn_sexp);
  for (ZU_ATOM* a : r->atoms) gc_mark(a, gc_text);
}

void mark_reader_elems(void* p) { gc_mark_block(p); }

void reader_set_cm(Reader* r, CODE_METHOD* cm) {
  if (!cm) cm = stream_cm;
  cm_work_init(&r->cur.w, cm);
  r->cur.ended = 0;
  r->has_peek = 0;
  r->fast = ascii_compatible(cm) ? 1 : 0;
  r->f->cm = cm;
  r->f->cm_work = r->cur.w;
  note_plain(r);
}

namespace {

int next_char_decoded(Reader* r, L_CHAR* c) {
  if (r->has_peek == kPeekByte) {
    r->has_peek = 0;
    ++r->cur.pos;
    *c = r->peek_c;
    count_line(r->cur, *c);
    return kChar;
  }
  if (r->has_peek) {
    r->has_peek = 0;
    r->cur = r->peek_after;
    *c = r->peek_c;
    return r->peek_r;
  }
  int k = decode(r, r->cur, c);
  if (k == kChar) count_line(r->cur, *c);
  return k;
}

}  // namespace

int next_char_slow(Reader* r, L_CHAR* c) {
  int k = next_char_decoded(r, c);
  note_plain(r);
  return k;
}

int peek_char_slow(Reader* r, L_CHAR* c) {
  if (!r->has_peek && ascii_at_cursor(r, &r->peek_c)) {
    r->peek_r = kChar;
    r->has_peek = kPeekByte;
  } else if (!r->has_peek) {
    r->peek_after = r->cur;
    r->peek_r = decode(r, r->peek_after, &r->peek_c);
    if (r->peek_r == kChar) count_line(r->peek_after, r->peek_c);
    r->has_peek = kPeekFull;
  }
  note_plain(r);
  *c = r->peek_c;
  return r->peek_r;
}

void restore(Reader* r, const Cursor& c) {
  r->has_peek = 0;
  // A cursor whose bytes were dropped cannot be returned to; pins prevent
  // that, and a failed return keeps the current position (the lexer then
  // reads on instead of reading old bytes twice).
  if (c.pos >= r->base) r->cur = c;
  note_plain(r);
}

int read_bytes(Reader* r, uint64_t n, std::vector<uint8_t>& out) {
  r->has_peek = 0;
  note_plain(r);
  while (n > 0) {
    uint64_t at = r->cur.pos - r->base;
    if (at >= r->fill) {
      if (refill(r) == 0) return r->failed ? kFail : kEnd;
      continue;
    }
    uint64_t take = r->fill - at;
    if (take > n) take = n;
    const uint8_t* p = r->buf + at;
    uint64_t from = r->cur.pos;
    for (uint64_t i = 0; i < take; ++i) {
      r->cur.pos = from + i + 1;
      count_line(r->cur, p[i]);
    }
    out.insert(out.end(), p, p + take);
    r->cur.pos = from + take;
    n -= take;
  }
  return kChar;
}

bool take_buffered_bytes(Reader* r, uint64_t n, uint8_t* dst) {
  uint64_t at = r->cur.pos - r->base;
  if (at > r->fill || r->fill - at < n) return false;
  r->has_peek = 0;
  note_plain(r);
  const uint8_t* p = r->buf + at;
  std::memcpy(dst, p, n);
  // Line ends among raw bytes count as they do when read one by one.
  uint64_t from = r->cur.pos;
  for (uint64_t i = 0; i < n; ++i) {
    uint8_t b = p[i];
    if (b == '\r' || b == '\n') {
      r->cur.pos = from + i + 1;
      count_line(r->cur, b);
    } else {
      r->cur.cr = 0;
    }
  }
  r->cur.pos = from + n;
  return true;
}

namespace {

struct Named {
  const char* name;
  L_CHAR c;
};
constexpr Named kNamed[] = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
constexpr int kMaxRefChars = 12;

// Whether c may stand between the "&" and the ";" of a reference: every
// reference's name is letters, digits and "#".
bool ref_name_char(long c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '#';
}

// Parses the text of a reference after its "&" from `get` (a function
// giving the next character or -1); returns the code, 0 when it is none.
// The text is taken only while it can still be a reference: the first
// other character (a line end, a quote, white space) ends the attempt, so
// an "&" that begins none never waits for input past that character, and
// never past kMaxRefChars.
template <class Get>
L_CHAR parse_ref(Get get, bool full) {
  L_CHAR t[kMaxRefChars + 1];
  int n = 0;
  for (;;) {
    long c = get();
    if (c < 0) return 0;
    t[n++] = static_cast<L_CHAR>(c);
    if (c == ';') break;
    if (!ref_name_char(c) || n >= kMaxRefChars) return 0;
  }
  --n;  // without the ";"
  if (n >= 3 && (t[0] == 'c' || t[0] == 'C') && (t[1] == 'x' || t[1] == 'X')) {
    if (n - 2 > 8) return 0;
    uint32_t v = 0;
    for (int i = 2; i < n; ++i) {
      if (!is_hex(t[i])) return 0;
      v = (v << 4) | static_cast<uint32_t>(hex_val(t[i]));
    }
    return v;
  }
  if (!full) return 0;
  if (n >= 2 && t[0] == '#') {
    uint64_t v = 0;
    bool hexa = t[1] == 'x' || t[1] == 'X';
    int from = hexa ? 2 : 1;
    if (from >= n) return 0;
    for (int i = from; i < n; ++i) {
      if (hexa ? !is_hex(t[i]) : !is_digit(t[i])) return 0;
      v = hexa ? (v << 4) | static_cast<uint64_t>(hex_val(t[i])) : v * 10 + (t[i] - '0');
      if (v > 0x10FFFF) return 0;
    }
    return static_cast<L_CHAR>(v);
  }
  for (const Named& e : kNamed) {
    size_t len = std::strlen(e.name);
    if (static_cast<size_t>(n) != len) continue;
    bool same = true;
    for (size_t i = 0; i < len && same; ++i) same = t[i] == static_cast<L_CHAR>(e.name[i]);
    if (same) return e.c;
  }
  return 0;
}

}  // namespace

int read_ref(Reader* r, bool full, L_CHAR* out) {
  Cursor start = save(r);
  Pin pin(r, start.pos);
  L_CHAR code = parse_ref(
      [r]() -> long {
        L_CHAR c;
        return next_char(r, &c) == kChar ? static_cast<long>(c) : -1;
      },
      full);
  if (code == 0) {
    restore(r, start);
    return 0;
  }
  if ((code & 0xFFFF0000u) == LC_ENCODING) {
    if (CODE_METHOD* cm = search_cm_by_lccode(code)) {
      reader_set_cm(r, cm);
      return 2;
    }
  }
  *out = code;
  return 1;
}

}  // namespace zu_reader
