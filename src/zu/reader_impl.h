// Inside the reader: the byte buffer, the character cursor and the lexer's
// character-level helpers (lexer.cc), shared with the parser (parser.cc
// and the parser_*.cc files beside it).
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "text/codemethod.h"
#include "zu/file.h"
#include "zu/value.h"

struct STREAM;

namespace zu_reader {

// A position in the source: the next byte, the decoder state there, and the
// line. Saving and restoring a cursor is how the lexer looks ahead; because
// a character is decoded only when the cursor moves over it, an encoding
// switch applies exactly to the bytes after the cursor.
struct Cursor {
  uint64_t pos;   // absolute offset of the next byte
  uint64_t line_start;  // absolute offset of the first byte of its line
  CM_WORK w;      // decoder state before that byte
  int32_t line;
  uint8_t cr;     // the last character was a carriage return
  uint8_t npend;  // codes completed by the last byte and not yet taken
  uint8_t ended;  // the decoder was told the input ended
  L_CHAR pend[CM_MAX_DECODE];
};

// Result of taking a character.
constexpr int kChar = 1;
constexpr int kEnd = 0;
constexpr int kFail = -1;

// has_peek: kPeekFull keeps the cursor after the character in peek_after;
// kPeekByte marks a plain ASCII byte at the cursor (the cursor after it is
// one byte on), which spares copying cursors for most characters.
constexpr uint8_t kPeekFull = 1;
constexpr uint8_t kPeekByte = 2;

// Entries of the reader's cache of interned names.
constexpr int kAtomCache = 256;

// A member of a list being read and the line its cell takes, noted when
// the member is made and at hand: the cells of a long list are made long
// after, when looking at each member again would fetch it from memory.
struct ReadMember {
  ZU_SEXP* value;
  int32_t line;
};

// The reader state: a collected block whose collected references are its
// byte buffer, its token stack and its cache of names (marked by
// mark_reader).
struct Reader {
  ZU_FILE* f;  // the source record (which references this block)
  STREAM* st;
  uint8_t* buf;  // collected block of cap bytes
  uint64_t cap;
  uint64_t fill;  // bytes valid in buf
  uint64_t base;  // absolute offset of buf[0]
  uint64_t pin;   // lowest offset a pending look-ahead may return to
  // Longest line, token or look-ahead accepted, in bytes; past it reading
  // fails with too_long set (the input is not read any further).
  uint64_t line_cap;
  uint8_t eof, failed, closed, fast, too_long;
  // Set while a byte below 0x80 at the cursor is a character by itself:
  // `fast`, the decoder between characters (no codes pending, no state),
  // and nothing looked at ahead by a full decode. Kept by note_plain after
  // every change of those.
  uint8_t plain;
  uint8_t refused;  // the admit hook said no (the input ends)
  std::atomic<int> busy;   // a thread is reading
  // Guards buf, base and fill against a status report that copies the
  // buffer while the reading thread waits for input (busy stays set then).
  // Held only for moves of the buffer's bytes, never across a read, a lock
  // or an allocation.
  std::atomic<int> buf_guard;
  uint64_t wait_pos;  // the cursor when more input was last asked for
  std::atomic<int> depth;  // open lists and elements
  Cursor cur;
  // One character looked at and not taken.
  uint8_t has_peek;
  int peek_r;
  L_CHAR peek_c;
  Cursor peek_after;
  // The text of the tokens of the form being read, used as a stack: a
  // token is pushed on top and popped once its value is made, so reading
  // allocates no text of its own. A collected block of tok_cap codes.
  L_CHAR* tok;
  uint64_t tok_len;
  uint64_t tok_cap;
  // The members of the lists being read, innermost last: a collected block
  // of elems_cap members (marked up to elems_len).
  ReadMember* elems;
  uint64_t elems_len;
  uint64_t elems_cap;
  // Names interned lately, by a hash of their text: a name read again is
  // found here without the intern table's lock. Marked, so that they stay
  // interned while cached.
  ZU_ATOM* atoms[kAtomCache];
};

// Holds a reader's buf_guard for its lifetime.
class BufGuard {
 public:
  explicit BufGuard(Reader* r);
  ~BufGuard();
  BufGuard(const BufGuard&) = delete;
  BufGuard& operator=(const BufGuard&) = delete;

 private:
  Reader* r_;
};

Reader* new_reader(ZU_FILE* f, STREAM* st);
void mark_reader(void* p);
// Mark function of the member stack's block (its pointers are marked by
// mark_reader, which knows how many are in use).
void mark_reader_elems(void* p);
// Installs cm for the bytes after the cursor.
void reader_set_cm(Reader* r, CODE_METHOD* cm);
// Between top-level forms (both stacks empty): token and member stacks that
// a large form grew past 64 KiB are handed back, so that a reader waiting
// for its next form holds little.
void reader_trim_stacks(Reader* r);

// Counts ch, the character just before c.pos.
inline void count_line(Cursor& c, L_CHAR ch) {
  if (ch == '\r') {
    ++c.line;
    c.cr = 1;
    c.line_start = c.pos;
  } else {
    if (ch == '\n') {
      if (!c.cr) ++c.line;
      c.line_start = c.pos;
    }
    c.cr = 0;
  }
}

inline void note_plain(Reader* r) {
  const Cursor& c = r->cur;
  r->plain = r->fast && !c.npend && c.w.dst == 0 && r->has_peek != kPeekFull;
}

// Whether the byte at the cursor, when below 0x80, is the next character
// by itself: an ASCII-compatible encoding between characters, nothing
// looked at ahead by a full decode, and the byte buffered.
inline bool plain_at_cursor(const Reader* r) { return r->plain && r->cur.pos - r->base < r->fill; }

// Character access: the plain byte at the cursor in line, everything else
// (decoding, refilling, the end of input) out of line.
int next_char_slow(Reader* r, L_CHAR* c);
int peek_char_slow(Reader* r, L_CHAR* c);
inline int next_char(Reader* r, L_CHAR* c) {
  if (plain_at_cursor(r)) {
    uint8_t b = r->buf[r->cur.pos - r->base];
    if (b < 0x80) {
      r->has_peek = 0;
      ++r->cur.pos;
      count_line(r->cur, b);
      *c = b;
      return kChar;
    }
  }
  return next_char_slow(r, c);
}
inline int peek_char(Reader* r, L_CHAR* c) {
  if (plain_at_cursor(r)) {
    uint8_t b = r->buf[r->cur.pos - r->base];
    if (b < 0x80) {
      *c = b;
      return kChar;
    }
  }
  return peek_char_slow(r, c);
}
inline Cursor save(Reader* r) { return r->cur; }
void restore(Reader* r, const Cursor& c);
// Keeps the bytes from `at` on while a look-ahead may return there.
class Pin {
 public:
  Pin(Reader* r, uint64_t at) : r_(r), old_(r->pin) {
    if (at < r->pin) r->pin = at;
  }
  ~Pin() { release(); }
  // Ends the look-ahead early (before reading on for a long time).
  void release() {
    if (r_) r_->pin = old_;
    r_ = nullptr;
  }
  Pin(const Pin&) = delete;
  Pin& operator=(const Pin&) = delete;

 private:
  Reader* r_;
  uint64_t old_;
};
// Reads n raw bytes at the cursor (no decoding) and appends them to out;
// kChar when all arrived, kEnd or kFail when the input ended first.
int read_bytes(Reader* r, uint64_t n, std::vector<uint8_t>& out);
// As read_bytes into n bytes at dst, when all of them are buffered already
// (false, with nothing taken, when they are not).
bool take_buffered_bytes(Reader* r, uint64_t n, uint8_t* dst);

// ---- runs of plain bytes
// Where the encoding is ASCII-compatible and the decoder stands between
// characters, a byte below 0x80 is the character of the same code. The
// scanners of the parser then take runs of such bytes straight from the
// buffer: plain_window gives the buffered bytes from the cursor on
// ([*p, *end), never empty), or false when a byte must be decoded (other
// encodings, a character half decoded, one looked at ahead by a full
// decode, or nothing buffered). take_plain then moves the cursor over the
// first n of them, which must hold no line end.
inline bool plain_window(Reader* r, const uint8_t** p, const uint8_t** end) {
  if (!r->plain) return false;
  uint64_t at = r->cur.pos - r->base;
  if (at >= r->fill) return false;
  // A byte peeked at the cursor is the window's first: nothing to undo.
  r->has_peek = 0;
  *p = r->buf + at;
  *end = r->buf + r->fill;
  return true;
}
inline void take_plain(Reader* r, size_t n) {
  if (n == 0) return;
  r->cur.pos += n;
  r->cur.cr = 0;
}
// Takes the run of plain white-space bytes at the cursor, line ends
// counted; the number taken (0 when none or no window).
inline size_t skip_plain_ws(Reader* r) {
  const uint8_t *p, *end;
  if (!plain_window(r, &p, &end)) return 0;
  Cursor& c = r->cur;
  const uint64_t from = c.pos;
  const uint8_t* start = p;
  for (; p < end; ++p) {
    uint8_t b = *p;
    if (b > 0x20 && b != 0x7F) break;
    if (b == '\r' || b == '\n') {
      c.pos = from + static_cast<uint64_t>(p - start) + 1;
      count_line(c, b);
    } else {
      c.cr = 0;
    }
  }
  c.pos = from + static_cast<uint64_t>(p - start);
  return static_cast<size_t>(p - start);
}

// Character classes.
inline bool is_ws(L_CHAR c) { return c <= 0x20 || c == 0xFEFF || c == 0x7F; }
inline bool is_hex(L_CHAR c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }
inline int hex_val(L_CHAR c) { return c <= '9' ? static_cast<int>(c - '0') : static_cast<int>((c | 0x20) - 'a' + 10); }
inline bool is_digit(L_CHAR c) { return c >= '0' && c <= '9'; }
// A "<" followed by c begins markup (a tag, comment or declaration).
inline bool tag_start(L_CHAR c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c == '?' || c == '/' ||
         c == '!' || c == '&' || c >= 0x80;
}

// After a "&" was taken: reads a reference. `full` accepts the named and
// numeric references as well as "&cx". Returns 1 with the character in *c,
// 2 for an encoding announcement (the decoder has been switched), 0 when
// the text is no reference (the cursor is back after the "&"). It reads no
// further than the first character that cannot belong to a reference.
int read_ref(Reader* r, bool full, L_CHAR* c);

}  // namespace zu_reader
