// The ZU reader: source text in list syntax or XML-like tags, read lazily.
//
// init_parse opens a reader on a stream and returns a delayed value: the
// list of the stream's top-level forms, read one form at a time as the list
// is walked. Every value read points to the reader's state (ZU_FILE, in
// h.file) and carries the line on which it began.
//
// Syntax in brief:
//   (head a="v" x y)       a list; name="value" attaches to the head symbol
//   (a . b)  (a .b)        a dotted pair
//   [name a="v" "odd name"="v"]  ["odd name"]   a symbol with attributes
//   "text\n"               a string (\n \r \t \\ \" \&, and references)
//   12  -3  2.5  12km      numbers; text after the digits is the unit
//   #5#bytes]              raw bytes: hexadecimal size, the bytes undecoded
//   #error(code "site" "file" line "func" data)   an error value (the code
//                          in decimal or 0x hexadecimal, never 0)
//   <tag a="v">...</tag>  <tag/>  <?zu encoding="EUC-JP"?>   elements
//   <!-- ... -->  <!DOCTYPE ...>   skipped
// Between tags a word is a number (unless ZU_FILE_NO_NUMBER) or a string.
// References: &amp; &lt; &gt; &quot; &apos; &#n; &#xh; and &cx<hex>; (also
// &Cx<hex>;); a &cx reference to an encoding identifier switches the
// decoder for the bytes that follow and stands for no character. An "&"
// that begins no reference is the character itself; the reader looks for
// its ";" no further than the first character that cannot belong to a
// reference (a line end among them), so it never waits for more input.
//
// The reader decodes bytes one character at a time and never ahead of the
// form it returns, so switching the encoding after a form (zu_set_cm,
// set_encoding) applies to everything after it.
//
// End of input: a clean end between forms ends the list; an end inside an
// unfinished form, or a read failure, ends it with the error 0x80010101.
// A syntax error is a class-02 error element; reading goes on after the
// form it was found in (the rest of that form is skipped).
//
// A word that reads as a number whose printed form would read back as
// another value (an overflowing number, or a unit that looks like an
// exponent, as in 1e10e10) is the error "invalid number" in list syntax and
// a string between tags.
#pragma once

#include <cstdint>

#include "base/lock.h"
#include "text/codemethod.h"
#include "zu/file.h"
#include "zu/value.h"

struct STREAM;

// Syntax errors (function "parse", data a one-member list with the reason).
constexpr uint32_t ZU_ER_PARSE_PAREN = 0x80020101;      // unbalanced parenthesis
constexpr uint32_t ZU_ER_PARSE_TAG = 0x80020102;        // unbalanced tag
constexpr uint32_t ZU_ER_PARSE_ATTRIBUTE = 0x80020104;  // invalid attribute
constexpr uint32_t ZU_ER_PARSE_RAW = 0x80020105;        // invalid raw data
constexpr uint32_t ZU_ER_PARSE_ERROR = 0x80020106;      // invalid error literal
constexpr uint32_t ZU_ER_PARSE_DEPTH = 0x80020107;      // nesting too deep
constexpr uint32_t ZU_ER_PARSE_NUMBER = 0x80020108;     // invalid number

// Deepest nesting of lists and elements the reader accepts.
constexpr int ZU_READ_MAX_DEPTH = 1000;
// Most attributes one symbol may carry (more is "too many attributes").
constexpr int ZU_READ_MAX_ATTRS = 10000;
// Largest raw-bytes literal the reader accepts.
constexpr uint32_t ZU_READ_MAX_RAW = 256u << 20;

// Opens a reader on st and returns the lazy list of its top-level forms
// (a delayed value), or an error 0x80010101 when st is not a usable
// stream. The decoder starts with the stream's encoding (stream_cm when it
// has none). name is the source's path (kept in the ZU_FILE), comment a
// description of the source; either may be null. The reader closes st when
// its state closes (end of input, close_zu_file, or dropped by the
// collector) unless ZU_FILE_KEEP_STREAM is set in its flags. Needs the
// memory lock; the delayed value is pinned in the caller's frame.
ZU_SEXP* init_parse(STREAM* st, const L_CHAR* name, const L_CHAR* comment);
// The reader state of a value read by a reader (its lazy list included).
inline ZU_FILE* sexp_file(const ZU_SEXP* s) { return s ? s->h.file : nullptr; }

// Switches the decoder of a source to cm (null: stream_cm) for every byte not
// yet decoded.
void zu_set_cm(ZU_FILE* f, CODE_METHOD* cm);
// As zu_set_cm with an encoding name; an unknown name gives stream_cm.
void zu_set_encoding_name(ZU_FILE* f, const L_CHAR* name);
// Looks at the first two elements of a read list (forcing them): the first
// that is a list headed by "?xml" or "?zu" with an "encoding" attribute
// switches its source to that encoding (each such attribute in order) and
// the answer is 1; otherwise 0 after two elements or at the end.
int set_encoding(ZU_SEXP* list);

// The parser lock: taken before the memory lock when forms are taken from
// a reader's list (the collector's lock hook takes it too).
extern SEM lex_lock;
// Makes the lock (idempotent; the functions below call it).
void init_parse_lock();
void _xx_lock_parse(const char* file, int line);
void unlock_parse(const char* label);
#define lock_parse() _xx_lock_parse(__FILE__, __LINE__)

// Longest line (or token, or look-ahead) the reader of f accepts, in bytes:
// past it the list ends with the error 0x80010101 ("line too long") and the
// input is not read further. 64 MiB unless set.
void zu_set_line_cap(ZU_FILE* f, uint64_t bytes);
// Offset of the next byte the reader of f will decode.
uint64_t zu_file_position(ZU_FILE* f);
// Time of the last input of f (ZU seconds), safe to read from any thread.
int64_t zu_file_input_time(ZU_FILE* f);
// Whether the reader of f stopped on a failed read (a connection reset),
// rather than at the end of its input or over a cap. Its reading thread
// only.
bool zu_file_read_failed(ZU_FILE* f);
// Number of lists and elements the reader of f is inside (0 between forms).
int zu_file_depth(ZU_FILE* f);
// Bytes the reader of f holds not yet decoded, and its buffer size.
int zu_file_buffered(ZU_FILE* f, int* size);
// A snapshot of the reader of f for status reports: up to max bytes of its
// buffer into out, the bytes in the buffer (*fill) and the offset of the
// next byte to decode within it (*pos). False, with nothing copied, when f
// has no reader or another thread is reading from it right now.
bool zu_file_window(ZU_FILE* f, char* out, int max, int* fill, int* pos);
