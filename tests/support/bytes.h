// Test support: byte strings read from and written to files, and shown in
// failure messages.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// The whole file (empty when it cannot be read).
Bytes read_bytes(const std::string& path);
std::string read_text(const std::string& path);
// Replaces the file's content; false when it cannot be written.
bool write_bytes(const std::string& path, std::span<const uint8_t> b);
bool write_text(const std::string& path, const std::string& text);
// Bytes as text and back.
inline Bytes to_bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline std::string to_text(std::span<const uint8_t> b) { return std::string(b.begin(), b.end()); }
// "41 42 0a" or "41420a" as bytes (blanks ignored; an odd last digit is
// dropped).
Bytes unhex(const std::string& text);
// "41 42 0a" for at most `limit` bytes, then "... (n bytes)".
std::string hex(std::span<const uint8_t> b, size_t limit = 64);
// The number of times `what` occurs in text (overlapping ones too).
int count_of(const std::string& text, const std::string& what);
