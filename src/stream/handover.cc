// Handing streams to a child process, and rebuilding them in the child.
//
// The child gets one argument beginning with "+": comma-separated tokens,
// each a back-end letter and the descriptor number the child keeps ("p" a
// pipe-pair end, "f" a plain descriptor; a bare number is a pipe end), for
// instance "+p3,f5".
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "base/alloc.h"
#include "base/entry.h"
#include "base/process.h"
#include "stream/stream_impl.h"

STREAM** recv_streams = nullptr;
int recv_streams_len = 0;

namespace {

constexpr int kMaxHanded = 64;

char* prepare(STREAM** streams, int n, int* fds, int max_fds, int* nfds) {
  if (n <= 0 || n > kMaxHanded || n > max_fds) return nullptr;
  std::string arg = "+";
  for (int i = 0; i < n; ++i) {
    STREAM* s = streams[i];
    S_USE use(s);
    if (!use.s) return nullptr;
    const S_TABLE* t = s->h.tbl;
    char letter;
    if (t == &s_fpipe_table)
      letter = 'p';
    else if (t == &s_file_table)
      letter = 'f';
    else
      return nullptr;
    int fd = -1;
    if (s_flush(s) < 0 || !t->proc_send || t->proc_send(s, &fd) < 0 || fd < 0) return nullptr;
    fds[i] = fd;
    if (i > 0) arg += ',';
    arg += letter;
    arg += std::to_string(fd);
  }
  *nfds = n;
  return copy_str(arg.c_str());
}

void close_in_parent(STREAM* s) {
  if (!s) return;
  s->h.handed = 1;
  d_s_close(s);
}

const STREAM_HANDOVER handover_rec = {prepare, close_in_parent};

}  // namespace

void s_install_handover() { set_stream_handover(&handover_rec); }

const char* s_inherited_arg() { return get_inherited_streams_arg(); }

int s_recv_streams_from_arg(const char* arg) {
  init_stream();
  if (!arg || arg[0] != '+') return 0;
  STREAM* got[kMaxHanded];
  int n = 0;
  const char* p = arg + 1;
  while (*p && n < kMaxHanded) {
    char letter = 'p';
    if (*p >= 'a' && *p <= 'z') letter = *p++;
    long fd = 0;
    bool digits = false;
    while (*p >= '0' && *p <= '9') {
      if (fd < (1L << 24)) fd = fd * 10 + (*p - '0');
      digits = true;
      ++p;
    }
    // Anything else up to the next comma makes the token unusable.
    bool junk = false;
    while (*p && *p != ',') {
      junk = true;
      ++p;
    }
    if (*p == ',') ++p;
    if (!digits || junk || fd < 3 || fd >= (1L << 24)) continue;
    int d = static_cast<int>(fd);
    if (fcntl(d, F_GETFD) < 0) continue;
    fcntl(d, F_SETFD, FD_CLOEXEC);  // ours alone, not a grandchild's
    STREAM* s = nullptr;
    if (letter == 'p')
      s = s_fpipe_from_fd(d);
    else if (letter == 'f')
      s = s_open_descripter(d, nullptr);
    if (s) got[n++] = s;
  }
  if (n == 0) return 0;
  auto** arr = static_cast<STREAM**>(d_alloc(sizeof(STREAM*) * static_cast<size_t>(recv_streams_len + n)));
  for (int i = 0; i < recv_streams_len; ++i) arr[i] = recv_streams[i];
  for (int i = 0; i < n; ++i) arr[recv_streams_len + i] = got[i];
  STREAM** old = recv_streams;
  recv_streams = arr;
  recv_streams_len += n;
  d_f_ree(old);
  return n;
}
