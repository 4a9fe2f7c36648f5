// Small independent writers for the codec tests: uncompressed GIF streams
// and scratch files.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A GIF whose LZW data hold one root code per pixel, with a clear code
// often enough that the code size never grows. Table of 2^bits entries.
struct GifSpec {
  int width = 1, height = 1, bits = 2;
  std::vector<uint8_t> indices;        // rows in stream order
  std::vector<uint8_t> global;         // 3 bytes per entry, 2^bits entries
  std::vector<uint8_t> local;          // empty: no local table
  int local_bits = 1;
  bool interlaced = false;
  int transparent = -1;                // graphic control index, -1 none
};

inline void put16(Bytes& b, int v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

inline Bytes lzw_roots(const std::vector<uint8_t>& idx, int min_size) {
  Bytes data;
  uint32_t acc = 0;
  int nacc = 0, size = min_size + 1, clear = 1 << min_size, since_clear = 0;
  auto emit = [&](int code) {
    acc |= static_cast<uint32_t>(code) << nacc;
    for (nacc += size; nacc >= 8; nacc -= 8, acc >>= 8) data.push_back(static_cast<uint8_t>(acc));
  };
  for (uint8_t i : idx) {
    if (since_clear == 0) emit(clear);
    emit(i);
    if (++since_clear == (1 << min_size) - 2) since_clear = 0;
  }
  emit(clear + 1);
  if (nacc) data.push_back(static_cast<uint8_t>(acc));
  return data;
}

inline Bytes image_block(const GifSpec& g) {
  Bytes b{0x2C};
  put16(b, 0);
  put16(b, 0);
  put16(b, g.width);
  put16(b, g.height);
  b.push_back(static_cast<uint8_t>((g.local.empty() ? 0 : 0x80 | (g.local_bits - 1)) | (g.interlaced ? 0x40 : 0)));
  b.insert(b.end(), g.local.begin(), g.local.end());
  int min_size = std::max(2, g.bits);
  b.push_back(static_cast<uint8_t>(min_size));
  Bytes lzw = lzw_roots(g.indices, min_size);
  for (size_t i = 0; i < lzw.size(); i += 255) {
    size_t n = std::min<size_t>(255, lzw.size() - i);
    b.push_back(static_cast<uint8_t>(n));
    b.insert(b.end(), lzw.begin() + static_cast<long>(i), lzw.begin() + static_cast<long>(i + n));
  }
  b.push_back(0);
  return b;
}

inline Bytes make_gif(const GifSpec& g, const std::vector<Bytes>& more_images = {}) {
  Bytes b{'G', 'I', 'F', '8', '9', 'a'};
  put16(b, g.width);
  put16(b, g.height);
  b.push_back(static_cast<uint8_t>(0xF0 | (g.bits - 1)));
  b.push_back(0);
  b.push_back(0);
  b.insert(b.end(), g.global.begin(), g.global.end());
  if (g.transparent >= 0) {
    for (int v : {0x21, 0xF9, 4, 1, 0, 0, g.transparent, 0}) b.push_back(static_cast<uint8_t>(v));
  }
  Bytes img = image_block(g);
  b.insert(b.end(), img.begin(), img.end());
  for (const Bytes& m : more_images) b.insert(b.end(), m.begin(), m.end());
  b.push_back(0x3B);
  return b;
}

// A directory removed with everything in it when the test ends.
struct ScratchDir {
  std::filesystem::path path;
  ScratchDir() {
    std::string t = std::filesystem::temp_directory_path() / "codec_test_XXXXXX";
    path = mkdtemp(t.data());
  }
  ~ScratchDir() { std::filesystem::remove_all(path); }
  std::string file(const std::string& name) const { return (path / name).string(); }
};
