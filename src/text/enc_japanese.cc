// The Japanese code methods: EUC-JP, Shift_JIS and ISO-2022-JP. All three
// share the JIS tables, so a character decoded by one is encoded by the
// others wherever their character sets reach.
#include "text/enc_impl.h"
#include "text/jis_tables_impl.h"

namespace {

using enc::decode_loop;
using enc::encode_loop;

// Only characters outside ASCII reach the tables, so text in ASCII never
// builds them.
inline const jis::Tables& tab() { return jis::tables(); }

inline bool is_euc_byte(unsigned b) { return b >= 0xA1 && b <= 0xFE; }
inline L_CHAR x0208(unsigned b1, unsigned b2) { return tab().x0208[(b1 - 0xA1) * 94 + (b2 - 0xA1)]; }
inline L_CHAR x0212(unsigned b1, unsigned b2) { return tab().x0212[(b1 - 0xA1) * 94 + (b2 - 0xA1)]; }

// ---- EUC-JP -----------------------------------------------------------------
// dst: 1 after a JIS X 0208 first byte (in dacc), 2 after SS2 (0x8E), 3 after
// SS3 (0x8F), 4 after SS3 and a first byte (in dacc).

int eucjp_dec(CM_WORK* w, unsigned char b, L_CHAR* out) {
  switch (w->dst) {
    case 0:
      if (b < 0x80) {
        out[0] = b;
        return 1;
      }
      if (is_euc_byte(b)) {
        w->dst = 1;
        w->dacc = b;
        return 0;
      }
      if (b == 0x8E || b == 0x8F) {
        w->dst = b == 0x8E ? 2 : 3;
        return 0;
      }
      out[0] = LC_REPLACEMENT;
      return 1;
    case 1:
      if (!is_euc_byte(b)) break;
      w->dst = 0;
      out[0] = x0208(w->dacc, b);
      return 1;
    case 2:
      if (b < 0xA1 || b > 0xDF) break;
      w->dst = 0;
      out[0] = tab().kana[b - 0xA1];
      return 1;
    case 3:
      if (!is_euc_byte(b)) break;
      w->dst = 4;
      w->dacc = b;
      return 0;
    case 4:
      if (!is_euc_byte(b)) break;
      w->dst = 0;
      out[0] = x0212(w->dacc, b);
      return 1;
  }
  w->dst = 0;
  out[0] = LC_REPLACEMENT;
  return 1 + eucjp_dec(w, b, out + 1);
}

size_t eucjp_decode(CM_WORK* w, const unsigned char* in, size_t n, L_CHAR* out, size_t cap,
                    size_t* used) {
  size_t i = 0, o = 0;
  while (i < n && cap - o >= static_cast<size_t>(CM_MAX_DECODE)) {
    if (w->dst == 0) {
      unsigned char b = in[i];
      if (b < 0x80) {
        enc::ascii_run(in, i, i + std::min(n - i, cap - o), out, o);
        continue;
      }
      if (is_euc_byte(b) && n - i >= 2 && is_euc_byte(in[i + 1])) {
        out[o++] = x0208(b, in[i + 1]);
        i += 2;
        continue;
      }
    }
    o += static_cast<size_t>(eucjp_dec(w, in[i++], out + o));
  }
  *used = i;
  return o;
}

int eucjp_enc(CM_WORK*, L_CHAR c, unsigned char* out) {
  if (c < 0x80) {
    out[0] = static_cast<unsigned char>(c);
    return 1;
  }
  uint32_t e = jis::lookup(tab(), c);
  unsigned code = e & 0xFFFF;
  switch (e >> 16) {
    case jis::k0208:
      out[0] = static_cast<unsigned char>(code >> 8);
      out[1] = static_cast<unsigned char>(code);
      return 2;
    case jis::k0212:
      out[0] = 0x8F;
      out[1] = static_cast<unsigned char>(code >> 8);
      out[2] = static_cast<unsigned char>(code);
      return 3;
    case jis::kKana:
      out[0] = 0x8E;
      out[1] = static_cast<unsigned char>(code);
      return 2;
  }
  return -1;
}

bool eucjp_can(L_CHAR c) {
  if (c < 0x80) return true;
  uint32_t set = jis::lookup(tab(), c) >> 16;
  return set == jis::k0208 || set == jis::k0212 || set == jis::kKana;
}

// ---- Shift_JIS ------------------------------------------------------------------
// The single bytes below 0x80 are taken as ASCII (backslash stays a
// backslash, as scripts and paths need). dst: 1 after a first byte (in dacc).

inline bool is_sjis_lead(unsigned b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
inline bool is_sjis_trail(unsigned b) { return b >= 0x40 && b <= 0xFC && b != 0x7F; }

// A complete two-byte code; lead bytes past 0xEF lie beyond the JIS rows.
L_CHAR sjis_pair(unsigned s1, unsigned s2) {
  if (s1 > 0xEF) return LC_REPLACEMENT;
  unsigned row = (s1 - (s1 <= 0x9F ? 0x70 : 0xB0)) * 2 - 1;  // 0x21..0x7E
  unsigned col;
  if (s2 >= 0x9F) {
    ++row;
    col = s2 - 0x7E;
  } else {
    col = s2 - (s2 >= 0x80 ? 0x20 : 0x1F);
  }
  return x0208(row | 0x80, col | 0x80);
}

int sjis_dec(CM_WORK* w, unsigned char b, L_CHAR* out) {
  if (w->dst == 0) {
    if (b < 0x80) {
      out[0] = b;
      return 1;
    }
    if (b >= 0xA1 && b <= 0xDF) {
      out[0] = tab().kana[b - 0xA1];
      return 1;
    }
    if (is_sjis_lead(b)) {
      w->dst = 1;
      w->dacc = b;
      return 0;
    }
    out[0] = LC_REPLACEMENT;
    return 1;
  }
  w->dst = 0;
  if (is_sjis_trail(b)) {
    out[0] = sjis_pair(w->dacc, b);
    return 1;
  }
  out[0] = LC_REPLACEMENT;
  return 1 + sjis_dec(w, b, out + 1);
}

int sjis_enc(CM_WORK*, L_CHAR c, unsigned char* out) {
  if (c < 0x80) {
    out[0] = static_cast<unsigned char>(c);
    return 1;
  }
  uint32_t e = jis::lookup(tab(), c);
  unsigned code = e & 0xFFFF;
  switch (e >> 16) {
    case jis::k0208: {
      unsigned r = (code >> 8) & 0x7F, k = code & 0x7F;
      out[0] = static_cast<unsigned char>(((r + 1) >> 1) + (r <= 0x5E ? 0x70 : 0xB0));
      out[1] = static_cast<unsigned char>(k + ((r & 1) ? (k >= 0x60 ? 0x20 : 0x1F) : 0x7E));
      return 2;
    }
    case jis::kKana:
      out[0] = static_cast<unsigned char>(code);
      return 1;
  }
  return -1;
}

bool sjis_can(L_CHAR c) {
  if (c < 0x80) return true;
  uint32_t set = jis::lookup(tab(), c) >> 16;
  return set == jis::k0208 || set == jis::kKana;
}

// ---- ISO-2022-JP ------------------------------------------------------------------
// Designations understood: ESC ( B ASCII, ESC ( J JIS X 0201 Roman, ESC ( I
// half-width katakana, ESC $ @ / ESC $ B / ESC $ ( B JIS X 0208, ESC $ ( D
// JIS X 0212. daux: the designated set; dst: 1 after the first byte of a
// double-byte character (in dacc), 10-13 inside an escape sequence.

enum G0 : uint32_t { kAscii = 0, kRomanSet = 1, kKanaSet = 2, k0208Set = 3, k0212Set = 4 };
enum : uint32_t { kEsc = 10, kEscParen = 11, kEscDollar = 12, kEscDollarParen = 13 };

int iso2022_dec(CM_WORK* w, unsigned char b, L_CHAR* out) {
  switch (w->dst) {
    case 0:
      if (b == 0x1B) {
        w->dst = kEsc;
        return 0;
      }
      if (b >= 0x80) {
        out[0] = LC_REPLACEMENT;
        return 1;
      }
      if (b <= 0x20 || b == 0x7F) {  // controls and space in every set
        out[0] = b;
        return 1;
      }
      switch (w->daux) {
        case kRomanSet:
          out[0] = tab().roman[b];
          return 1;
        case kKanaSet:
          out[0] = b <= 0x5F ? tab().kana[b + 0x80 - 0xA1] : LC_REPLACEMENT;
          return 1;
        case k0208Set:
        case k0212Set:
          w->dst = 1;
          w->dacc = b;
          return 0;
        default:
          out[0] = b;
          return 1;
      }
    case 1:
      if (b <= 0x20 || b >= 0x7F) break;
      w->dst = 0;
      out[0] = w->daux == k0208Set ? x0208(w->dacc | 0x80, b | 0x80) : x0212(w->dacc | 0x80, b | 0x80);
      return 1;
    case kEsc:
      if (b != '(' && b != '$') break;
      w->dst = b == '(' ? kEscParen : kEscDollar;
      return 0;
    case kEscParen:
      if (b != 'B' && b != 'J' && b != 'I') break;
      w->daux = b == 'B' ? kAscii : b == 'J' ? kRomanSet : kKanaSet;
      w->dst = 0;
      return 0;
    case kEscDollar:
      if (b == '(') {
        w->dst = kEscDollarParen;
        return 0;
      }
      if (b != '@' && b != 'B') break;
      w->daux = k0208Set;
      w->dst = 0;
      return 0;
    case kEscDollarParen:
      if (b != 'D' && b != 'B') break;
      w->daux = b == 'D' ? k0212Set : k0208Set;
      w->dst = 0;
      return 0;
  }
  // A broken escape sequence or character: one U+FFFD, then b afresh.
  w->dst = 0;
  out[0] = LC_REPLACEMENT;
  return 1 + iso2022_dec(w, b, out + 1);
}

int designate(uint32_t set, unsigned char* out) {
  static constexpr const char* kSeq[] = {"\x1B(B", "\x1B(J", "\x1B(I", "\x1B$B", "\x1B$(D"};
  int k = 0;
  for (const char* s = kSeq[set]; *s; ++s) out[k++] = static_cast<unsigned char>(*s);
  return k;
}

// An ESC in the text would begin a designation where the decoder reads it:
// it is a character the encoding cannot carry as itself (a stream writes it
// as a reference).
constexpr L_CHAR kEscape = 0x1B;

int iso2022_enc(CM_WORK* w, L_CHAR c, unsigned char* out) {
  if (c == kEscape) return -1;
  uint32_t set = kAscii, code = c;
  if (c >= 0x80) {
    uint32_t e = jis::lookup(tab(), c);
    code = e & 0xFFFF;
    switch (e >> 16) {
      case jis::k0208: set = k0208Set; break;
      case jis::k0212: set = k0212Set; break;
      case jis::kKana: set = kKanaSet; code -= 0x80; break;
      case jis::kRoman: set = kRomanSet; break;
      default: return -1;
    }
  }
  int k = 0;
  if (w->est != set) {
    k = designate(set, out);
    w->est = set;
  }
  if (set == k0208Set || set == k0212Set) {
    out[k++] = static_cast<unsigned char>((code >> 8) & 0x7F);
    out[k++] = static_cast<unsigned char>(code & 0x7F);
  } else {
    out[k++] = static_cast<unsigned char>(code);
  }
  return k;
}

int iso2022_flush(CM_WORK* w, unsigned char* out) {
  if (w->est == kAscii) return 0;
  w->est = kAscii;
  return designate(kAscii, out);
}

bool iso2022_can(L_CHAR c) { return (c < 0x80 && c != kEscape) || jis::lookup(tab(), c) != 0; }

const char* const kEucAliases[] = {"EUCJP", "EUC_JP", nullptr};
const char* const kSjisAliases[] = {"SJIS", "SHIFT-JIS", nullptr};
const char* const kJisAliases[] = {"JIS", nullptr};

}  // namespace

CODE_METHOD cm_eucjp = {"EUC-JP", LC_ENCODING | 3, kEucAliases, 1, enc::open_work,
                        enc::close_work, eucjp_dec, enc::end_one, eucjp_enc, enc::flush_none,
                        eucjp_can, eucjp_decode, encode_loop<eucjp_enc, true>};
CODE_METHOD cm_sjis = {"Shift_JIS", LC_ENCODING | 4, kSjisAliases, 1, enc::open_work,
                       enc::close_work, sjis_dec, enc::end_one, sjis_enc, enc::flush_none,
                       sjis_can, decode_loop<sjis_dec, true>, encode_loop<sjis_enc, true>};
CODE_METHOD cm_iso2022jp = {"ISO-2022-JP", LC_ENCODING | 5, kJisAliases, 1, enc::open_work,
                            enc::close_work, iso2022_dec, enc::end_one, iso2022_enc,
                            iso2022_flush, iso2022_can, decode_loop<iso2022_dec, false>,
                            encode_loop<iso2022_enc, false>};
