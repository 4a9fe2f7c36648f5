// The JIS mapping tables (jis_tables_impl.h): on first use, every position
// of JIS X 0208, JIS X 0212 and the half-width kana is decoded from EUC-JP,
// and JIS X 0201 Roman from ISO-2022-JP, through the C library's iconv(3);
// a position without a Unicode character keeps its tagged code. Every
// character found is encoded back to EUC-JP, so that both directions agree
// with the C library. Built once and never freed (encoders may run at exit).
#include "text/jis_tables_impl.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <mutex>

#include "base/panic.h"

namespace jis {
namespace {

// One iconv conversion of a short byte string, reset before each use.
class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    // The C library always carries these converters; without them the
    // program cannot handle Japanese text at all.
    if (cd_ == reinterpret_cast<iconv_t>(-1)) er_panic("jis_tables(iconv_open)");
  }
  ~Iconv() { iconv_close(cd_); }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;

  // Converts all of in, then returns the output length; -1 on any failure.
  int run(const unsigned char* in, size_t n, unsigned char* out, size_t cap) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char* ip = reinterpret_cast<char*>(const_cast<unsigned char*>(in));
    char* op = reinterpret_cast<char*>(out);
    size_t il = n, ol = cap;
    if (iconv(cd_, &ip, &il, &op, &ol) == static_cast<size_t>(-1) || il != 0) return -1;
    if (iconv(cd_, nullptr, nullptr, &op, &ol) == static_cast<size_t>(-1)) return -1;
    return static_cast<int>(cap - ol);
  }

 private:
  iconv_t cd_;
};

// Decodes bytes that must give exactly one character; 0 when they do not.
L_CHAR one_code(Iconv& dec, const unsigned char* in, size_t n) {
  unsigned char out[16];
  if (dec.run(in, n, out, sizeof out) != 4) return 0;
  return (L_CHAR{out[0]} << 24) | (L_CHAR{out[1]} << 16) | (L_CHAR{out[2]} << 8) | out[3];
}

// The JIS position the C library encodes u to in EUC-JP; 0 when none.
uint32_t encode_euc(Iconv& enc, L_CHAR u) {
  unsigned char in[4] = {static_cast<unsigned char>(u >> 24), static_cast<unsigned char>(u >> 16),
                         static_cast<unsigned char>(u >> 8), static_cast<unsigned char>(u)};
  unsigned char out[16];
  int n = enc.run(in, 4, out, sizeof out);
  if (n == 2 && out[0] == 0x8E) return (kKana << 16) | out[1];
  if (n == 2 && out[0] >= 0xA1) return (k0208 << 16) | (out[0] << 8) | out[1];
  if (n == 3 && out[0] == 0x8F) return (k0212 << 16) | (out[1] << 8) | out[2];
  return 0;
}

void build(Tables& t) {
  Iconv dec("UCS-4BE", "EUC-JP");
  Iconv enc("EUC-JP", "UCS-4BE");
  Iconv roman("UCS-4BE", "ISO-2022-JP");

  for (int r = 0; r < 94; ++r) {
    for (int c = 0; c < 94; ++c) {
      unsigned char b1 = static_cast<unsigned char>(0xA1 + r), b2 = static_cast<unsigned char>(0xA1 + c);
      uint32_t euc = (uint32_t{b1} << 8) | b2;
      unsigned char two[2] = {b1, b2};
      L_CHAR u = one_code(dec, two, 2);
      t.x0208[r * 94 + c] = u ? u : LC_JISX0208 | euc;
      unsigned char three[3] = {0x8F, b1, b2};
      u = one_code(dec, three, 3);
      t.x0212[r * 94 + c] = u ? u : LC_JISX0212 | euc;
    }
  }
  for (int b = 0xA1; b <= 0xDF; ++b) {
    unsigned char two[2] = {0x8E, static_cast<unsigned char>(b)};
    L_CHAR u = one_code(dec, two, 2);
    t.kana[b - 0xA1] = u ? u : LC_KANA | b;
  }
  for (int b = 0; b < 128; ++b) {
    t.roman[b] = static_cast<L_CHAR>(b);
    if (b < 0x21 || b > 0x7E) continue;
    unsigned char seq[4] = {0x1B, '(', 'J', static_cast<unsigned char>(b)};
    if (L_CHAR u = one_code(roman, seq, 4)) t.roman[b] = u;
  }

  // Reverse direction: where the C library encodes each mapped character.
  // Should it refuse one, the position it came from is kept, so decoding
  // and encoding again never loses the character.
  std::memset(t.rev_bmp, 0, sizeof t.rev_bmp);
  auto add = [&](L_CHAR u, uint32_t from) {
    if (u >= 0x80000000u || u < 0x80) return;
    if (u < 0x10000 ? t.rev_bmp[u] != 0
                    : std::any_of(t.rev_astral.begin(), t.rev_astral.end(),
                                  [u](const auto& e) { return e.first == u; }))
      return;
    uint32_t to = encode_euc(enc, u);
    if (!to) to = from;
    if (u < 0x10000)
      t.rev_bmp[u] = to;
    else
      t.rev_astral.emplace_back(u, to);
  };
  for (int i = 0; i < 94 * 94; ++i)
    add(t.x0208[i], (k0208 << 16) | ((0xA1 + i / 94) << 8) | (0xA1 + i % 94));
  for (int i = 0; i < 94 * 94; ++i)
    add(t.x0212[i], (k0212 << 16) | ((0xA1 + i / 94) << 8) | (0xA1 + i % 94));
  for (int b = 0xA1; b <= 0xDF; ++b) add(t.kana[b - 0xA1], (kKana << 16) | b);
  // JIS X 0201 Roman differs from ASCII in a couple of positions; those
  // characters are reachable only through ISO-2022-JP.
  for (int b = 0x21; b <= 0x7E; ++b) {
    L_CHAR u = t.roman[b];
    if (u != static_cast<L_CHAR>(b) && u < 0x10000 && !t.rev_bmp[u]) t.rev_bmp[u] = (kRoman << 16) | b;
  }
  std::sort(t.rev_astral.begin(), t.rev_astral.end());
}

}  // namespace

std::atomic<const Tables*> built_tables{nullptr};

const Tables& build_tables() {
  static std::once_flag once;
  std::call_once(once, [] {
    auto* n = new Tables;  // never destroyed: encoders may run at exit
    build(*n);
    built_tables.store(n, std::memory_order_release);
  });
  return *built_tables.load(std::memory_order_acquire);
}

uint32_t lookup_astral(const Tables& t, L_CHAR c) {
  auto it = std::lower_bound(t.rev_astral.begin(), t.rev_astral.end(),
                             std::pair<L_CHAR, uint32_t>{c, 0});
  return it != t.rev_astral.end() && it->first == c ? it->second : 0;
}

}  // namespace jis
