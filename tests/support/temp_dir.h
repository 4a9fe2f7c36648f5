// Test support: scoped temporary folders and environment variables. Both
// undo themselves at the end of the scope, so a test leaves no folder and no
// changed environment behind, whether it passes or fails.
#pragma once

#include <string>

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when
// the object goes.
class TempDir {
 public:
  // tag: a short word that names the folder's owner in `ls /tmp`.
  explicit TempDir(const char* tag = "test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // The path of rel inside the folder (nothing is created).
  std::string at(const std::string& rel) const { return path_ + "/" + rel; }
  // Writes text to rel (making its folders); the file's path.
  std::string file(const std::string& rel, const std::string& text) const;

 private:
  std::string path_;
};

// Sets an environment variable for the scope (null: unsets it) and puts the
// old value back at the end.
class EnvGuard {
 public:
  EnvGuard(const char* name, const char* value);
  ~EnvGuard();
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  std::string name_, old_;
  bool had_;
};
