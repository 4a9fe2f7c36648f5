// Character encodings (code methods) and their registry.
//
// A CODE_METHOD turns bytes into L_CHAR codes one byte at a time and codes
// into bytes one code at a time; the partial state lives in a CM_WORK, so a
// reader can hand over bytes as they arrive and switch encodings between
// bytes. Invalid input never stops decoding: each byte sequence that is not
// valid text becomes U+FFFD.
//
// Built in, in registration order (identifiers LC_ENCODING | 1 .. | 9):
// ASCII, ISO-8859-1, EUC-JP, Shift_JIS, ISO-2022-JP, UTF-8, UTF-16
// (big-endian; a byte-order mark at the start is honoured), EXTUCS-4 (each
// L_CHAR as 4 bytes, most significant first) and INTERNAL (each L_CHAR as 4
// bytes in host order).
#pragma once

#include <cstddef>
#include <cstdint>

#include "text/lchar.h"

struct CODE_METHOD;

// The work state of one decoder or encoder. It may live anywhere (the
// caller's stack, a stream record): cm_work_init prepares it; `open`
// allocates one.
struct CM_WORK {
  CODE_METHOD* cm;
  uint32_t dst;   // decoder state (0 = between characters)
  uint32_t dacc;  // decoder: bytes or code gathered so far
  uint32_t daux;  // decoder: encoding-specific (shift state, byte order)
  uint32_t est;   // encoder state (ISO-2022-JP: the designated set)
};

// Most codes one byte can complete: a broken sequence gives U+FFFD and the
// byte that broke it may complete a character of its own.
constexpr int CM_MAX_DECODE = 2;
// Most bytes to_external writes for one code, shift sequence included.
constexpr int CM_MAX_BYTES = 8;
// Most bytes cm_put_code writes for one code, character reference included.
constexpr int CM_MAX_PUT = 64;

struct CODE_METHOD {
  const char* name;            // the encoding's name ("EUC-JP")
  L_CHAR lccode;               // its identifier, in the LC_ENCODING set
  const char* const* aliases;  // other names, null-terminated list
  int unit;                    // bytes per code unit: 1, 2 or 4 (a zero unit ends a text)

  // A new work state (tagged allocation); `close` frees it.
  CM_WORK* (*open)(CODE_METHOD* cm);
  void (*close)(CM_WORK* w);
  // Feeds one byte; writes the codes it completes to out[0..CM_MAX_DECODE)
  // and returns how many (0 while a character is incomplete).
  int (*to_internal)(CM_WORK* w, unsigned char byte, L_CHAR* out);
  // End of the input: a character left incomplete becomes U+FFFD. Returns
  // the codes written to out[0..CM_MAX_DECODE); the state is reset.
  int (*end_internal)(CM_WORK* w, L_CHAR* out);
  // Encodes one code into out[0..CM_MAX_BYTES); returns the byte count, or
  // -1 when the encoding cannot express the code (nothing written).
  int (*to_external)(CM_WORK* w, L_CHAR code, unsigned char* out);
  // Returns the encoder to its initial shift state (ISO-2022-JP goes back to
  // ASCII); returns the bytes written to out[0..CM_MAX_BYTES).
  int (*flush_external)(CM_WORK* w, unsigned char* out);
  // Whether the encoding can express the code (its main code sets).
  bool (*can_express)(L_CHAR code);
  // Bulk forms, equal to calling to_internal / to_external per element
  // (see cm_decode / cm_encode).
  size_t (*decode)(CM_WORK* w, const unsigned char* in, size_t n, L_CHAR* out, size_t cap,
                   size_t* used);
  size_t (*encode)(CM_WORK* w, const L_CHAR* in, size_t n, unsigned char* out, size_t cap,
                   size_t* used);
};

// Starts the wide-text layer: registers the built-in encodings and sets
// stream_cm and std_cm from STD_CODE. Idempotent and thread-safe; every
// function here calls it when needed. The JIS tables are built (through
// iconv(3)) only when a Japanese encoding first meets a character outside
// ASCII.
void init_longchar();

// The default encoding of streams: files, the standard streams, links and
// loads that name none. STD_CODE names it (EUC-JP when unset or unknown).
// It may be UTF-16 or a 4-byte encoding, so it never decodes a C string.
extern CODE_METHOD* stream_cm;
// The encoding of the process's own narrow text: literals, paths,
// command-line arguments, environment and option values. These are the
// system's bytes whatever the streams carry, so it is always a byte
// encoding: stream_cm when that is one, else EUC-JP.
extern CODE_METHOD* std_cm;
extern CODE_METHOD* const utf8_cm;
extern CODE_METHOD* const int_cm;
extern CODE_METHOD* const ascii_cm;
extern CODE_METHOD* const eucjp_cm;

// Adds an encoding after the built-in ones. Returns 0, or -1 when its name
// or identifier is taken or the registry is full.
int insert_cm(CODE_METHOD* cm);
// The registered encodings in registration order; null past the end.
CODE_METHOD* get_cm_by_index(int i);

// The encoding of that name or alias, compared without regard to case; null
// when none.
CODE_METHOD* search_cm(const char* name);
// As search_cm for a wide name; null for an unknown name or null.
CODE_METHOD* get_encoding(const L_CHAR* name);
// The encoding whose identifier is code; null when none.
CODE_METHOD* search_cm_by_lccode(L_CHAR code);
// The first registered encoding that can express code: a character's code
// set. An encoding identifier gives its own encoding. Null when none.
CODE_METHOD* search_cm_by_main_code(L_CHAR code);
// The identifier of the named encoding; LC_UNKNOWN_ENCODING when unknown.
L_CHAR search_lccode(const char* name);

// Prepares a work state in place (no allocation) / releases nothing.
void cm_work_init(CM_WORK* w, CODE_METHOD* cm);

// Decodes up to n bytes into out, stopping early while fewer than
// CM_MAX_DECODE slots are left; *used receives the bytes consumed. Returns
// the codes written. Does not end the input (see end_internal).
inline size_t cm_decode(CM_WORK* w, const unsigned char* in, size_t n, L_CHAR* out, size_t cap,
                        size_t* used) {
  return w->cm->decode(w, in, n, out, cap, used);
}
// Encodes up to n codes into out, stopping early while fewer than
// CM_MAX_BYTES bytes are left or at a code the encoding cannot express;
// *used receives the codes consumed. Returns the bytes written.
inline size_t cm_encode(CM_WORK* w, const L_CHAR* in, size_t n, unsigned char* out, size_t cap,
                        size_t* used) {
  return w->cm->encode(w, in, n, out, cap, used);
}
// Encodes one code; a code the encoding cannot express is written as the
// reference "&<ref>x%x;" (ref is 'c' on streams, 'C' in narrow conversions).
// Returns the bytes written to out[0..CM_MAX_PUT).
int cm_put_code(CM_WORK* w, L_CHAR code, char ref, unsigned char* out);
