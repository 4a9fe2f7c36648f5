#include "support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <vector>

TempDir::TempDir(const char* tag) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qnmx_" + tag + "_XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;  // a destructor must not throw; a leftover is visible in /tmp
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& rel, const std::string& text) const {
  std::string p = at(rel);
  std::filesystem::create_directories(std::filesystem::path(p).parent_path());
  std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
  return p;
}

EnvGuard::EnvGuard(const char* name, const char* value) : name_(name) {
  const char* old = std::getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

EnvGuard::~EnvGuard() {
  if (had_)
    setenv(name_.c_str(), old_.c_str(), 1);
  else
    unsetenv(name_.c_str());
}
