// Descriptor back-ends: files, sockets, the terminal and serial lines.
#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/alloc.h"
#include "base/file.h"
#include "stream/stream_impl.h"

namespace {

constexpr int kReadBuf = 4096;
constexpr int kWriteBuf = 8192;
// Writes under the watchdog go in pieces that a writable descriptor takes
// without blocking.
constexpr int kGuardedChunk = 4096;

struct S_FD : STREAM {
  int fd = -1;   // read side
  int wfd = -1;  // write side (the same descriptor except on the terminal)
  int own = 1;   // closed with the stream
  int is_socket = 0;
  int peer_ip = -1;
  int unbuffered = 0;
  int wlen = 0;
  unsigned char rbuf[kReadBuf];
  unsigned char wbuf[kWriteBuf];
  // Terminal only.
  TERMINAL_PROMPT prompt = nullptr;
  int line_len = 0;
  int saved_tty = 0;
  termios tty{};
};

S_FD* fd_of(STREAM* s) { return static_cast<S_FD*>(s); }

bool closing(STREAM* s) { return s->h.state.load() != S_STATE_LIVE; }

// Waits until the descriptor is readable, at most ms: 1 ready (or the
// stream closing), 0 the time has passed, -1 interrupted.
int wait_readable(S_FD* f, int ms) {
  pollfd p{f->fd, POLLIN, 0};
  int pr;
  {
    S_BLOCKED b(f, 1);
    if (closing(f)) return 1;
    pr = poll(&p, 1, ms);
  }
  return pr > 0 ? 1 : pr == 0 ? 0 : -1;
}

// One read from the descriptor: count, 0 at the end (or when the stream is
// closing), -1 on failure or when the read guard's time passed first.
int raw_read(S_FD* f, void* data, int len) {
  int guard_ms = s_read_guard_ms(f);
  for (;;) {
    if (closing(f)) return 0;
    if (guard_ms >= 0) {
      int w = wait_readable(f, guard_ms);
      if (w < 0) continue;
      if (w == 0) {
        errno = ETIMEDOUT;
        return -1;
      }
    }
    ssize_t r;
    {
      S_BLOCKED b(f, 1);
      if (closing(f)) return 0;
      r = ::read(f->fd, data, static_cast<size_t>(len));
    }
    if (r >= 0) return static_cast<int>(r);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (guard_ms < 0) wait_readable(f, -1);
      continue;
    }
    return -1;
  }
}

// Writes all n bytes; -1 on failure or when the watchdog broke it off.
int raw_write_all(S_FD* f, const unsigned char* p, int n) {
  while (n > 0) {
    if (f->h.abort_io.load()) return -1;
    int ms = s_write_abort_ms(f);
    if (ms >= 0) {
      pollfd pf{f->wfd, POLLOUT, 0};
      int pr;
      {
        S_BLOCKED b(f, 2);
        pr = poll(&pf, 1, ms);
      }
      if (pr < 0 && errno == EINTR) continue;
      if (pr == 0) {
        s_write_aborted(f);
        return -1;
      }
    }
    int chunk = ms >= 0 ? std::min(n, kGuardedChunk) : n;
    ssize_t w;
    {
      S_BLOCKED b(f, 2);
      if (f->is_socket)
        w = ::send(f->wfd, p, static_cast<size_t>(chunk), MSG_NOSIGNAL | (ms >= 0 ? MSG_DONTWAIT : 0));
      else
        w = ::write(f->wfd, p, static_cast<size_t>(chunk));
    }
    if (w < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (ms >= 0) continue;  // the poll above waits, with its limit
        pollfd pf{f->wfd, POLLOUT, 0};
        S_BLOCKED b(f, 2);
        poll(&pf, 1, -1);
        continue;
      }
      return -1;
    }
    p += w;
    n -= static_cast<int>(w);
  }
  return 0;
}

}  // namespace

int s_fd_flush(STREAM* s) {
  S_FD* f = fd_of(s);
  if (f->wlen == 0) return 0;
  int r = raw_write_all(f, f->wbuf, f->wlen);
  f->wlen = 0;  // what could not be written is reported, not retried
  return r;
}

int s_fd_write(STREAM* s, const void* data, int len) {
  S_FD* f = fd_of(s);
  auto* p = static_cast<const unsigned char*>(data);
  if (f->unbuffered) return raw_write_all(f, p, len) < 0 ? -1 : len;
  if (f->wlen + len <= kWriteBuf) {
    std::memcpy(f->wbuf + f->wlen, p, static_cast<size_t>(len));
    f->wlen += len;
    return len;
  }
  if (s_fd_flush(s) < 0) return -1;
  if (len >= kWriteBuf) return raw_write_all(f, p, len) < 0 ? -1 : len;
  std::memcpy(f->wbuf, p, static_cast<size_t>(len));
  f->wlen = len;
  return len;
}

int s_fd_read(STREAM* s, void* data, int len) {
  S_FD* f = fd_of(s);
  auto* out = static_cast<unsigned char*>(data);
  // Unread bytes of the buffer are the header's read window.
  S_HEADER& h = f->h;
  if (h.rwin < h.rwin_end) {
    int n = static_cast<int>(std::min<ptrdiff_t>(len, h.rwin_end - h.rwin));
    std::memcpy(out, h.rwin, static_cast<size_t>(n));
    h.rwin += n;
    return n;
  }
  if (len >= kReadBuf) return raw_read(f, out, len);
  int r = raw_read(f, f->rbuf, kReadBuf);
  if (r <= 0) return r;
  int n = std::min(len, r);
  std::memcpy(out, f->rbuf, static_cast<size_t>(n));
  h.rwin = f->rbuf + n;
  h.rwin_end = f->rbuf + r;
  return n;
}

int s_fd_close(STREAM* s) {
  S_FD* f = fd_of(s);
  int r = 0;
  if (f->saved_tty) tcsetattr(f->fd, TCSANOW, &f->tty);
  if (f->own && f->fd >= 0) {
    s_note_fds_opened(-1);
    if (::close(f->fd) != 0 && errno != EINTR) r = -1;
    if (f->wfd != f->fd && f->wfd >= 0) ::close(f->wfd);
  }
  f->fd = f->wfd = -1;
  return r;
}

void s_fd_interrupt(STREAM* s, int abort_writes) {
  S_FD* f = fd_of(s);
  if (f->is_socket && f->own && !f->h.handed)
    shutdown(f->fd, abort_writes ? SHUT_RDWR : SHUT_RD);
}

namespace {

int fd_socketip(STREAM* s) {
  S_FD* f = fd_of(s);
  if (f->peer_ip != -1 || !f->is_socket) return f->peer_ip;
  sockaddr_in a{};
  socklen_t al = sizeof a;
  if (getpeername(f->fd, reinterpret_cast<sockaddr*>(&a), &al) == 0 && a.sin_family == AF_INET)
    f->peer_ip = static_cast<int>(ntohl(a.sin_addr.s_addr));
  return f->peer_ip;
}

STREAM* fd_open_desc(int fd) { return s_open_descripter(fd, nullptr); }

int fd_proc_send(STREAM* s, int* fd) {
  S_FD* f = fd_of(s);
  if (f->fd < 0 || f->fd != f->wfd) return -1;
  *fd = f->fd;
  return 0;
}

int fd_data_size(STREAM* s) {
  S_FD* f = fd_of(s);
  return static_cast<int>(f->h.rwin_end - f->h.rwin);
}

int term_read(STREAM* s, void* data, int len) {
  S_FD* f = fd_of(s);
  int r = s_fd_read(s, data, len);
  if (r <= 0 || !f->prompt) return r;
  // The prompt follows each complete line.
  auto* p = static_cast<const unsigned char*>(data);
  for (int i = 0; i < r; ++i) {
    if (p[i] == '\n') {
      f->prompt(s, f->line_len);
      f->line_len = 0;
    } else if (p[i] != '\r') {
      ++f->line_len;
    }
  }
  return r;
}

int listen_close(STREAM* s) { return s_fd_close(s); }

void listen_interrupt(STREAM* s, int) {
  S_FD* f = fd_of(s);
  if (f->own && f->fd >= 0) shutdown(f->fd, SHUT_RDWR);
}

}  // namespace

const S_TABLE s_file_table = {'f',          s_fd_close,   s_fd_write,      s_fd_read,
                              s_fd_flush,   fd_socketip,  fd_open_desc,    fd_proc_send,
                              fd_open_desc, fd_data_size, nullptr,         nullptr,
                              s_fd_interrupt};
const S_TABLE s_serial_table = {'r',        s_fd_close,   s_fd_write, s_fd_read, s_fd_flush,
                                nullptr,    nullptr,      nullptr,    nullptr,   fd_data_size,
                                nullptr,    nullptr,      s_fd_interrupt};
const S_TABLE s_terminal_table = {'t',      s_fd_close, s_fd_write, term_read, s_fd_flush,
                                  nullptr,  nullptr,    nullptr,    nullptr,   fd_data_size,
                                  nullptr,  nullptr,    s_fd_interrupt};
const S_TABLE s_listen_table = {'l',     listen_close, nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr,      nullptr, nullptr, nullptr, listen_interrupt};

STREAM* s_make_fd_stream(int fd, const S_TABLE* tbl, int mode, int category, int own_fd,
                         int peer_ip, const char* file, int line) {
  init_stream();
  if (fd < 0) return nullptr;
  S_FD* f = s_new_record<S_FD>(file, line);
  f->h.tbl = tbl ? tbl : &s_file_table;
  f->fd = f->wfd = fd;
  f->own = own_fd;
  if (own_fd) s_note_fds_opened(1);
  f->peer_ip = peer_ip;
  struct stat st {};
  f->is_socket = fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
  // Buffered bytes may be decoded in place unless the back-end's read does
  // more than hand them out.
  f->h.rwin_direct = f->h.tbl->read == s_fd_read ? 1 : 0;
  xx_s_register(f, mode, category, file, line);
  return f;
}

STREAM* s_open_file(const char* path, int flags, int mode) {
  init_stream();
  if (!path) return nullptr;
  int fd = u_open(path, flags | O_CLOEXEC, mode);
  if (fd < 0 && s_resource_shortage(errno)) fd = u_open(path, flags | O_CLOEXEC, mode);
  if (fd < 0) return nullptr;
  int acc = flags & O_ACCMODE;
  int smode = acc == O_RDONLY ? S_MODE_READ : acc == O_WRONLY ? S_MODE_WRITE : S_MODE_RW;
  return s_make_fd_stream(fd, &s_file_table, smode, S_CAT_FILE, 1, -1, __FILE__, __LINE__);
}

STREAM* s_open_descripter(int fd, const S_TABLE* tbl) {
  init_stream();
  if (fd < 0 || fcntl(fd, F_GETFD) < 0) return nullptr;
  int fl = fcntl(fd, F_GETFL);
  int acc = fl & O_ACCMODE;
  int smode = acc == O_RDONLY ? S_MODE_READ : acc == O_WRONLY ? S_MODE_WRITE : S_MODE_RW;
  STREAM* s = s_make_fd_stream(fd, tbl ? tbl : &s_file_table, smode, S_CAT_FILE, 1, -1,
                               __FILE__, __LINE__);
  if (s && fd_of(s)->is_socket) s->h.category = S_CAT_NETWORK;
  return s;
}

int s_get_fd(STREAM* s) {
  S_USE use(s);
  if (!use.s) return -1;
  const S_TABLE* t = s->h.tbl;
  if (t != &s_file_table && t != &s_serial_table && t != &s_terminal_table && t != &s_listen_table)
    return -1;
  return fd_of(s)->fd;
}

bool s_peer_gone(STREAM* s) {
  int fd = s ? s_get_fd(s) : -1;
  if (fd < 0) return false;
  pollfd p{fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

// ---------------------------------------------------------------------------
// Standard streams

STREAM* s_stdin = nullptr;
STREAM* s_stdout = nullptr;
STREAM* s_stderr = nullptr;

namespace {

STREAM* std_stream(int fd, int mode) {
  STREAM* s = s_make_fd_stream(fd, &s_file_table, mode, S_CAT_FILE, 0, -1, __FILE__, __LINE__);
  s->h.std_flag = 1;
  return s;
}

STREAM* own_std[3];

void flush_std_at_exit() {
  // The process's own standard streams, and the ones they were pointed at.
  for (STREAM* s : {own_std[1], own_std[2], s_stdout, s_stderr}) s_flush(s);
}

}  // namespace

void s_std_closed(STREAM* s) {
  if (s_stdin == s) s_stdin = own_std[0];
  if (s_stdout == s) s_stdout = own_std[1];
  if (s_stderr == s) s_stderr = own_std[2];
}

STREAM* s_own_std(int fd) { return fd >= 0 && fd < 3 ? own_std[fd] : nullptr; }

void s_open_std_streams() {
  own_std[0] = s_stdin = std_stream(0, S_MODE_READ);
  own_std[1] = s_stdout = std_stream(1, S_MODE_WRITE);
  own_std[2] = s_stderr = std_stream(2, S_MODE_WRITE);
  fd_of(s_stderr)->unbuffered = 1;
  atexit(flush_std_at_exit);
}

// ---------------------------------------------------------------------------
// Terminal

STREAM* s_open_terminal_fd(int in_fd, int out_fd, TERMINAL_PROMPT prompt) {
  init_stream();
  if (in_fd < 0 || out_fd < 0) return nullptr;
  S_FD* f = s_new_record<S_FD>(__FILE__, __LINE__);
  f->h.tbl = &s_terminal_table;
  f->fd = in_fd;
  f->wfd = out_fd;
  f->own = 0;
  f->prompt = prompt;
  if (isatty(in_fd) && tcgetattr(in_fd, &f->tty) == 0) {
    // Line editing by the terminal: canonical mode with echo.
    termios t = f->tty;
    t.c_lflag |= ICANON | ECHO;
    if (tcsetattr(in_fd, TCSANOW, &t) == 0) f->saved_tty = 1;
  }
  s_register(f, S_MODE_RW, S_CAT_TERMINAL);
  if (prompt) prompt(f, 0);
  return f;
}

STREAM* s_open_terminal(TERMINAL_PROMPT prompt) { return s_open_terminal_fd(0, 1, prompt); }

// ---------------------------------------------------------------------------
// Serial lines

namespace {

speed_t baud_code(int baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return 0;
  }
}

}  // namespace

STREAM* s_open_serial(const char* path, int baud) {
  init_stream();
  if (!path) return nullptr;
  speed_t sp = 0;
  if (baud != 0 && (sp = baud_code(baud)) == 0) return nullptr;
  int fd = u_open(path, O_RDWR | O_NOCTTY | O_CLOEXEC, 0);
  if (fd < 0 && s_resource_shortage(errno)) fd = u_open(path, O_RDWR | O_NOCTTY | O_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    ::close(fd);
    return nullptr;
  }
  cfmakeraw(&t);
  if (sp) {
    cfsetispeed(&t, sp);
    cfsetospeed(&t, sp);
  }
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    ::close(fd);
    return nullptr;
  }
  return s_make_fd_stream(fd, &s_serial_table, S_MODE_RW, S_CAT_SERIAL, 1, -1, __FILE__, __LINE__);
}

int s_list_serial(char** out, int max) {
  int n = 0;
  for (const char* pat : {"/dev/ttyS*", "/dev/ttyUSB*", "/dev/ttyACM*"}) {
    glob_t g{};
    if (glob(pat, 0, nullptr, &g) == 0) {
      for (size_t i = 0; i < g.gl_pathc && n < max; ++i)
        if (out) out[n++] = copy_str(g.gl_pathv[i]);
    }
    globfree(&g);
  }
  return n;
}
