// Byte order. Everything the program stores or sends is big-endian.
#pragma once

#include <cstdint>
#include <cstring>

// 1 when the host is little-endian (stored data must be swapped), else 0.
extern char endian_flag;

// Sets endian_flag; called first thing at start-up (safe to call again).
void init_endian();

// Loads and stores of big-endian fields at unaligned addresses.
inline uint16_t load_be16(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return static_cast<uint16_t>((b[0] << 8) | b[1]);
}
inline uint32_t load_be32(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}
inline uint64_t load_be64(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return (uint64_t{load_be32(b)} << 32) | load_be32(b + 4);
}
inline void store_be16(void* p, uint16_t v) {
  auto* b = static_cast<uint8_t*>(p);
  b[0] = static_cast<uint8_t>(v >> 8);
  b[1] = static_cast<uint8_t>(v);
}
inline void store_be32(void* p, uint32_t v) {
  auto* b = static_cast<uint8_t*>(p);
  b[0] = static_cast<uint8_t>(v >> 24);
  b[1] = static_cast<uint8_t>(v >> 16);
  b[2] = static_cast<uint8_t>(v >> 8);
  b[3] = static_cast<uint8_t>(v);
}
inline void store_be64(void* p, uint64_t v) {
  auto* b = static_cast<uint8_t*>(p);
  store_be32(b, static_cast<uint32_t>(v >> 32));
  store_be32(b + 4, static_cast<uint32_t>(v));
}

// In-place swaps between host order and stored (big-endian) order; they do
// nothing on a big-endian host.
inline uint16_t swap_if16(uint16_t v) { return endian_flag ? __builtin_bswap16(v) : v; }
inline uint32_t swap_if32(uint32_t v) { return endian_flag ? __builtin_bswap32(v) : v; }
inline uint64_t swap_if64(uint64_t v) { return endian_flag ? __builtin_bswap64(v) : v; }
