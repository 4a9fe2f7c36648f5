// Conversions between narrow text (bytes in some encoding) and wide text.
//
// A narrow text ends at its first zero unit: a zero byte, or for the
// encodings of 2- or 4-byte units (UTF-16, EXTUCS-4, INTERNAL) the first
// aligned all-zero unit. A null code method means std_cm. Decoding never
// fails: invalid bytes become U+FFFD. Encoding writes a code the target
// cannot express as the reference "&Cx%x;" (lower-case hexadecimal).
#pragma once

#include <cstddef>
#include <type_traits>

#include "text/codemethod.h"
#include "text/lchar.h"

// Narrow -> wide in a thread-temporary buffer (valid until the calling task
// has handed on 50 further buffers). Null text gives null.
L_CHAR* _l_string_1(CODE_METHOD* cm, const char* text);
// Narrow -> wide, interned: the same encoding and text always give the same
// string, which is never freed. Meant for literals. Null text gives null.
const L_CHAR* _l_string_2(CODE_METHOD* cm, const char* text);
// Narrow -> wide, a tagged copy the caller frees. Null text gives null.
L_CHAR* _xx_nl_copy_str_1(CODE_METHOD* cm, const char* text, const char* file, int line);
// As _xx_nl_copy_str_1 for n bytes that need not be zero-terminated; *len
// (when not null) receives the number of codes.
L_CHAR* xx_nl_copy_bytes(CODE_METHOD* cm, const void* bytes, size_t n, size_t* len,
                         const char* file, int line);

// Wide -> narrow, a tagged copy the caller frees; ends with a zero unit.
// Null text gives null.
char* xx_ln_copy_str(CODE_METHOD* cm, const L_CHAR* s, const char* file, int line);
// As xx_ln_copy_str; *len (when not null) receives the byte count without
// the terminating unit.
char* xx_ln_copy_bytes(CODE_METHOD* cm, const L_CHAR* s, size_t* len, const char* file,
                       int line);
// Wide -> narrow in a thread-temporary buffer. Null text gives null.
char* n_string(CODE_METHOD* cm, const L_CHAR* s);

#define nl_copy_str(cm, s) _xx_nl_copy_str_1((cm), (s), __FILE__, __LINE__)
#define ln_copy_str(cm, s) xx_ln_copy_str((cm), (s), __FILE__, __LINE__)
#define nl_copy_bytes(cm, bytes, n, len) xx_nl_copy_bytes((cm), (bytes), (n), (len), __FILE__, __LINE__)
#define ln_copy_bytes(cm, s, len) xx_ln_copy_bytes((cm), (s), (len), __FILE__, __LINE__)

// l_string: narrow -> wide. A string literal (a const char array) is
// interned like _l_string_2 and lives for ever; text behind a pointer or in
// a writable array gives a thread-temporary result like _l_string_1.
template <size_t N>
inline const L_CHAR* l_string(CODE_METHOD* cm, const char (&literal)[N]) {
  return _l_string_2(cm, literal);
}
template <size_t N>
inline const L_CHAR* l_string(CODE_METHOD* cm, char (&buffer)[N]) {
  return _l_string_1(cm, buffer);
}
template <class P>
  requires(std::is_same_v<P, const char*> || std::is_same_v<P, char*>)
inline const L_CHAR* l_string(CODE_METHOD* cm, P text) {
  return _l_string_1(cm, text);
}
