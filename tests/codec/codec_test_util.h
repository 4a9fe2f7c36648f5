// Scratch files for the codec tests.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

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
