// Decoding and encoding speed of the UTF-8 and EUC-JP code methods next to
// the C library's iconv(3) on the same text. Bytes counted are the encoded
// (narrow) bytes, so both sides of each pair report comparable MB/s.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "text/codemethod.h"

namespace {

// About 1 MiB of Japanese-like text: runs of kana and kanji between ASCII
// words and line ends; or plain ASCII.
std::vector<L_CHAR> make_text(bool japanese) {
  init_longchar();
  std::mt19937 rng(42);
  std::vector<L_CHAR> t;
  while (t.size() < (1u << 19)) {
    if (japanese && rng() % 4) {
      for (int k = 2 + rng() % 8; k > 0; --k) {
        unsigned pick = rng() % 3;
        t.push_back(pick == 0 ? 0x3041 + rng() % 83       // hiragana
                    : pick == 1 ? 0x30A1 + rng() % 86     // katakana
                                : 0x4E00 + rng() % 0x5000);  // kanji (some not in JIS)
        if (!eucjp_cm->can_express(t.back())) t.back() = 0x6F22;
      }
    } else {
      for (int k = 1 + rng() % 8; k > 0; --k) t.push_back('a' + rng() % 26);
      t.push_back(rng() % 10 ? ' ' : '\n');
    }
  }
  return t;
}

std::string encode_all(CODE_METHOD* cm, const std::vector<L_CHAR>& t) {
  std::string out(t.size() * 4 + 64, '\0');
  CM_WORK w;
  cm_work_init(&w, cm);
  size_t used = 0;
  size_t n = cm_encode(&w, t.data(), t.size(), reinterpret_cast<unsigned char*>(out.data()),
                       out.size(), &used);
  if (used != t.size()) std::abort();
  out.resize(n);
  return out;
}

struct Data {
  std::vector<L_CHAR> wide;
  std::string narrow;
};

const Data& data(CODE_METHOD* cm, bool japanese) {
  static Data cache[2][2];
  Data& d = cache[cm == utf8_cm][japanese];
  if (d.wide.empty()) {
    d.wide = make_text(japanese);
    d.narrow = encode_all(cm, d.wide);
  }
  return d;
}

const char* iconv_name(CODE_METHOD* cm) { return cm == utf8_cm ? "UTF-8" : "EUC-JP"; }

void ours_decode(benchmark::State& st, CODE_METHOD* cm, bool japanese) {
  const Data& d = data(cm, japanese);
  std::vector<L_CHAR> out(d.narrow.size() + 8);
  for (auto _ : st) {
    CM_WORK w;
    cm_work_init(&w, cm);
    size_t used = 0;
    size_t n = cm_decode(&w, reinterpret_cast<const unsigned char*>(d.narrow.data()),
                         d.narrow.size(), out.data(), out.size(), &used);
    if (n != d.wide.size()) st.SkipWithError("length");
    benchmark::DoNotOptimize(out.data());
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * d.narrow.size()));
}

// What a reader that takes one byte at a time pays.
void ours_decode_bytewise(benchmark::State& st, CODE_METHOD* cm, bool japanese) {
  const Data& d = data(cm, japanese);
  std::vector<L_CHAR> out(d.narrow.size() + 8);
  for (auto _ : st) {
    CM_WORK w;
    cm_work_init(&w, cm);
    size_t o = 0;
    for (unsigned char b : d.narrow) o += static_cast<size_t>(cm->to_internal(&w, b, &out[o]));
    if (o != d.wide.size()) st.SkipWithError("length");
    benchmark::DoNotOptimize(out.data());
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * d.narrow.size()));
}

void ours_encode(benchmark::State& st, CODE_METHOD* cm, bool japanese) {
  const Data& d = data(cm, japanese);
  std::string out(d.narrow.size() + 64, '\0');
  for (auto _ : st) {
    CM_WORK w;
    cm_work_init(&w, cm);
    size_t used = 0;
    size_t n = cm_encode(&w, d.wide.data(), d.wide.size(),
                         reinterpret_cast<unsigned char*>(out.data()), out.size(), &used);
    if (n != d.narrow.size()) st.SkipWithError("length");
    benchmark::DoNotOptimize(out.data());
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * d.narrow.size()));
}

// iconv between the encoding and UCS-4 in host order (the same layout as
// L_CHAR); the converter is opened once, outside the timing.
void iconv_run(benchmark::State& st, CODE_METHOD* cm, bool japanese, bool decode) {
  const Data& d = data(cm, japanese);
  iconv_t cd = decode ? iconv_open("UCS-4LE", iconv_name(cm)) : iconv_open(iconv_name(cm), "UCS-4LE");
  std::string in = decode ? d.narrow
                          : std::string(reinterpret_cast<const char*>(d.wide.data()),
                                        d.wide.size() * sizeof(L_CHAR));
  std::string out(d.wide.size() * 4 + d.narrow.size() + 64, '\0');
  for (auto _ : st) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* ip = in.data();
    char* op = out.data();
    size_t il = in.size(), ol = out.size();
    if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1)) st.SkipWithError("iconv");
    benchmark::DoNotOptimize(out.data());
  }
  iconv_close(cd);
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * d.narrow.size()));
}

void BM_Decode(benchmark::State& st, int which, bool japanese) {
  CODE_METHOD* cm = which & 1 ? eucjp_cm : utf8_cm;
  if (which & 2)
    iconv_run(st, cm, japanese, true);
  else if (which & 4)
    ours_decode_bytewise(st, cm, japanese);
  else
    ours_decode(st, cm, japanese);
}

void BM_Encode(benchmark::State& st, int which, bool japanese) {
  CODE_METHOD* cm = which & 1 ? eucjp_cm : utf8_cm;
  if (which & 2)
    iconv_run(st, cm, japanese, false);
  else
    ours_encode(st, cm, japanese);
}

}  // namespace

// which: bit 0 EUC-JP (else UTF-8), bit 1 iconv, bit 2 byte at a time.
BENCHMARK_CAPTURE(BM_Decode, utf8_ja_ours, 0, true);
BENCHMARK_CAPTURE(BM_Decode, utf8_ja_iconv, 2, true);
BENCHMARK_CAPTURE(BM_Decode, utf8_ja_bytewise, 4, true);
BENCHMARK_CAPTURE(BM_Decode, utf8_ascii_ours, 0, false);
BENCHMARK_CAPTURE(BM_Decode, utf8_ascii_iconv, 2, false);
BENCHMARK_CAPTURE(BM_Decode, eucjp_ja_ours, 1, true);
BENCHMARK_CAPTURE(BM_Decode, eucjp_ja_iconv, 3, true);
BENCHMARK_CAPTURE(BM_Decode, eucjp_ja_bytewise, 5, true);
BENCHMARK_CAPTURE(BM_Decode, eucjp_ascii_ours, 1, false);
BENCHMARK_CAPTURE(BM_Decode, eucjp_ascii_iconv, 3, false);
BENCHMARK_CAPTURE(BM_Encode, utf8_ja_ours, 0, true);
BENCHMARK_CAPTURE(BM_Encode, utf8_ja_iconv, 2, true);
BENCHMARK_CAPTURE(BM_Encode, utf8_ascii_ours, 0, false);
BENCHMARK_CAPTURE(BM_Encode, utf8_ascii_iconv, 2, false);
BENCHMARK_CAPTURE(BM_Encode, eucjp_ja_ours, 1, true);
BENCHMARK_CAPTURE(BM_Encode, eucjp_ja_iconv, 3, true);
BENCHMARK_CAPTURE(BM_Encode, eucjp_ascii_ours, 1, false);
BENCHMARK_CAPTURE(BM_Encode, eucjp_ascii_iconv, 3, false);

BENCHMARK_MAIN();
