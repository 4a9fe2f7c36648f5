// Where a peer's reads of files named by a path may reach. A built-in that
// reads a file by its path (a matrix by its file name, a picture's header)
// has it judged here first; while the calling task evaluates for a peer
// (zu/peer.h), the file is judged by its real path, every symlink
// resolved, so that a link placed in a tree leads nowhere outside it:
// - under one of the agent's document or system trees (docpath.h), the
//   access files of its document path decide, as for a read of that
//   document path (auth_filepath_passive, operation "Get");
// - else under the agent's working folder, the peer may read it;
// - anywhere else, and a path that does not resolve, is refused
//   (0x80040d10, "not this peer's own, refused").
//
// What stays true: a peer reads the file that was judged, never what the
// path names a moment later. The path is resolved once, by opening the file
// it names without reading it (O_PATH); the real path judged is that open
// file's, and what is read goes through the same open file (open_read), or
// is checked to be it (is). A link swapped in between leads nowhere.
//
// No lock of its own: the trees are read under the document paths' lock,
// the working folder from the process.
#pragma once

#include <cstdint>
#include <string>

#include "zu/value.h"

// A file a read by path reaches, as it was judged: for a peer the file the
// path named when it was judged (held open, not for reading), for the
// agent the path itself, judged never.
class PeerReadFile {
 public:
  PeerReadFile() = default;
  ~PeerReadFile();
  PeerReadFile(const PeerReadFile&) = delete;
  PeerReadFile& operator=(const PeerReadFile&) = delete;
  // A new descriptor of the judged file (of the path, for the agent)
  // opened for reading with the extra open flags, or -1 with errno set.
  int open_read(int flags) const;
  // Whether the file of this device and inode is the judged one (any file
  // is, for the agent).
  bool is(uint64_t dev, uint64_t ino) const;
  // Whether a peer's read was judged (the agent's never is).
  bool judged() const { return held_ >= 0; }

 private:
  friend ZU_SEXP* peer_read_judge(ZU_SEXP* form, const char* path, const char* func, PeerReadFile* file);
  std::string path_;  // the agent's: opened as it is
  int held_ = -1;     // a peer's: the judged file, open without reading
  uint64_t dev_ = 0, ino_ = 0;
};

// Judges the read of the file at path (narrow text) by built-in func for
// the calling task: the refusal positioned at form, or null with *file
// ready for the read. The agent's reads are never refused.
ZU_SEXP* peer_read_judge(ZU_SEXP* form, const char* path, const char* func, PeerReadFile* file);

// Tests only: hook(path) runs after each judgement of a peer's read, where
// a link swapped by a racing process would be swapped (null: none).
void set_peer_read_judged_hook(void (*hook)(const char* path));
