// Pipe pairs: two connected streams over a local socket pair, each reading
// what the other writes. The bytes travel in frames {type, 4-byte
// big-endian length, payload}: data, a flush mark (sent by s_flush), and an
// address query with its answer (the address an end announces to its
// peer). A stream thread of each end reads the frames into a byte queue.
//
// A pair within the process (s_open_fpipe_local) has neither socket nor
// stream threads: a frame goes straight into the other end's queue, under
// the one lock both ends share, so that an idle pair holds no thread.
#include <poll.h>
#include <signal.h>
#include <sys/uio.h>
#include <sys/socket.h>
#include <unistd.h>
#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/task.h"
#include "stream/sbuf.h"
#include "stream/stream_impl.h"

namespace {

constexpr unsigned char kData = 1;
constexpr unsigned char kMark = 2;
constexpr unsigned char kQuery = 3;
constexpr unsigned char kAnswer = 4;
constexpr uint32_t kMaxFrame = 1u << 20;
constexpr size_t kSendAt = 64 * 1024;  // buffered output sent without a mark
constexpr double kQueryWait = 5.0;     // seconds an address query may take

// The lock of a pair within the process, freed with the second end.
struct PAIR_LOCK {
  explicit PAIR_LOCK(SEM l) : lk(l) {}
  ~PAIR_LOCK() { _i_free_lock(lk); }
  PAIR_LOCK(const PAIR_LOCK&) = delete;
  PAIR_LOCK& operator=(const PAIR_LOCK&) = delete;
  SEM lk;
};

struct S_FPIPE : STREAM {
  int fd = -1;
  std::shared_ptr<PAIR_LOCK> pair;  // open: set for a pair within the process
  SEM lk = nullptr;  // guards the fields below up to `gen`
  S_FPIPE* peer = nullptr;  // within the process: the other end, null once either has closed
  STREAM_BUF in{};
  int marks = 0;          // flush marks received and not yet waited for
  int flush_wake = 0;     // s_wake_fpipe_flush was called for the flush waiter
  int ended = 0;          // the peer has gone (or sent garbage)
  int running = 0;        // the stream thread is attached
  int stop = 0;           // the stream thread is asked to leave (hand-over)
  pthread_t reader{};
  int reader_set = 0;     // `reader` is known
  int my_ip = -1;         // announced to the peer
  int answer = -1;        // the peer's last answer
  unsigned gen = 0;       // answers received
  size_t in_limit = 0;    // the stream thread waits while this much is unread (0: never)
  // One frame at a time on the socket. Not a leaf: it is held while the
  // socket blocks, so it is waited for at a safe point; nothing is taken
  // under it but the registration of the blocked call.
  std::mutex send_mu;
  std::atomic<int> out_ended{0};  // this end sends nothing more (s_end_fpipe_output)
  std::vector<unsigned char> out;  // written, not yet sent
  size_t unmarked = 0;    // bytes sent since the last flush mark
  ~S_FPIPE() override {
    if (lk && !pair) _i_free_lock(lk);
  }
};

S_FPIPE* fp(STREAM* s) { return static_cast<S_FPIPE*>(s); }

bool is_live(S_FPIPE* f) { return f->h.state.load() == S_STATE_LIVE; }

uint32_t get_be32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
void put_be32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

// Hands one frame of a pair within the process to the other end, as its
// stream thread would take it from the socket: data waits while that end
// holds its limit unread. Address queries are never sent: fp_socketip
// reads the other end's address. 0 or -1.
int deliver(S_FPIPE* f, unsigned char type, const unsigned char* data, size_t len) {
  lock_task(f->lk);
  S_FPIPE* to;
  while ((to = f->peer) && type == kData && to->in_limit && to->in.size >= to->in_limit && is_live(to) &&
         is_live(f) && !f->h.abort_io.load()) {
    // fp_read wakes the writer when it makes room.
    _i_sleep_task_timeout(to, f->lk, 0.1, __FILE__, __LINE__);
    lock_task(f->lk);
  }
  bool ok = to && !f->out_ended.load() && (type == kData || type == kMark);
  if (ok && type == kData) copy_in_sbuf(&to->in, data, len, nullptr);
  if (ok && type == kMark) ++to->marks;
  if (ok) wakeup_task(to);
  unlock_task(f->lk, "fpipe");
  return ok ? 0 : -1;
}

// Sends one frame; 0 or -1.
int send_frame(S_FPIPE* f, unsigned char type, const unsigned char* data, size_t len) {
  if (f->pair) return deliver(f, type, data, len);
  unsigned char head[5];
  head[0] = type;
  put_be32(head + 1, static_cast<uint32_t>(len));
  lock_at_safe_point(f->send_mu);
  std::lock_guard<std::mutex> g(f->send_mu, std::adopt_lock);
  iovec iov[2] = {{head, 5}, {const_cast<unsigned char*>(data), len}};
  int niov = len ? 2 : 1;
  size_t left = 5 + len;
  while (left > 0) {
    msghdr m{};
    m.msg_iov = iov;
    m.msg_iovlen = static_cast<size_t>(niov);
    ssize_t w;
    {
      S_BLOCKED b(f, 2);
      w = sendmsg(f->fd, &m, MSG_NOSIGNAL);
    }
    if (w < 0) {
      if (errno == EINTR && !f->h.abort_io.load()) continue;
      return -1;
    }
    left -= static_cast<size_t>(w);
    // Advance the vector past what went out.
    size_t k = static_cast<size_t>(w);
    for (int i = 0; i < niov && k > 0; ++i) {
      size_t t = std::min(k, iov[i].iov_len);
      iov[i].iov_base = static_cast<unsigned char*>(iov[i].iov_base) + t;
      iov[i].iov_len -= t;
      k -= t;
    }
  }
  return 0;
}

// Reads exactly n bytes: 1, 0 at a clean end before the first byte, -1 on
// error or an end inside. `stoppable` lets a hand-over stop the thread
// between frames.
int read_exact(S_FPIPE* f, unsigned char* p, size_t n, bool stoppable) {
  size_t got = 0;
  while (got < n) {
    ssize_t r;
    {
      BlockingRegion region;
      r = ::read(f->fd, p + got, n - got);
    }
    if (r > 0) {
      got += static_cast<size_t>(r);
      continue;
    }
    if (r == 0) return got == 0 ? 0 : -1;
    if (errno == EINTR) {
      if (stoppable && got == 0) {
        lock_task(f->lk);
        bool stop = f->stop;
        unlock_task(f->lk, "fpipe");
        if (stop) return 2;
      }
      continue;
    }
    return -1;
  }
  return 1;
}

// With an input limit, the stream thread takes no more frames while the
// limit is reached, so that a writer on the other end is held back by the
// socket instead of filling memory.
void wait_below_limit(S_FPIPE* f) {
  lock_task(f->lk);
  while (f->in_limit && f->in.size >= f->in_limit && !f->stop && is_live(f)) {
    _i_sleep_task_timeout(f, f->lk, 0.1, __FILE__, __LINE__);
    lock_task(f->lk);
  }
  unlock_task(f->lk, "fpipe");
}

void reader_task(TKEY key) {
  auto* f = static_cast<S_FPIPE*>(key);
  std::vector<unsigned char> payload;
  for (;;) {
    wait_below_limit(f);
    unsigned char head[5];
    int r = read_exact(f, head, 5, true);
    if (r == 2) break;  // stopped for a hand-over: the socket stays as it is
    bool bad = r != 1;
    uint32_t len = bad ? 0 : get_be32(head + 1);
    if (!bad && len > kMaxFrame) bad = true;
    if (!bad) {
      payload.resize(len);
      if (len && read_exact(f, payload.data(), len, false) != 1) bad = true;
    }
    if (!bad) {
      switch (head[0]) {
        case kData:
          copy_in_sbuf(&f->in, payload.data(), len, f->lk);
          break;
        case kMark:
          lock_task(f->lk);
          ++f->marks;
          unlock_task(f->lk, "fpipe");
          break;
        case kQuery: {
          lock_task(f->lk);
          int ip = f->my_ip;
          unlock_task(f->lk, "fpipe");
          unsigned char a[5];
          a[0] = ip == -1 ? 0 : 1;
          put_be32(a + 1, static_cast<uint32_t>(ip));
          // Once this end's output has ended the peer learns nothing
          // more, but what it still sends is read.
          if (!f->out_ended.load() && send_frame(f, kAnswer, a, 5) < 0) bad = true;
          break;
        }
        case kAnswer:
          if (len != 5) {
            bad = true;
            break;
          }
          lock_task(f->lk);
          f->answer = payload[0] ? static_cast<int>(get_be32(payload.data() + 1)) : -1;
          ++f->gen;
          unlock_task(f->lk, "fpipe");
          break;
        default:
          bad = true;  // not our framing: the link is unusable
      }
    }
    if (bad) {
      lock_task(f->lk);
      f->ended = 1;
      unlock_task(f->lk, "fpipe");
      wakeup_task(f);
      break;
    }
    wakeup_task(f);
  }
  lock_task(f->lk);
  f->running = 0;
  f->h.thread.store(0);
  unlock_task(f->lk, "fpipe");
  wakeup_task(f);
}

int fp_read(STREAM* s, void* data, int len) {
  S_FPIPE* f = fp(s);
  lock_task(f->lk);
  while (f->in.size == 0 && !f->ended && is_live(f)) {
    sleep_task(f, f->lk);
    lock_task(f->lk);
  }
  size_t n = copy_out_sbuf(&f->in, data, static_cast<size_t>(len), nullptr);
  bool limited = f->in_limit != 0;
  unlock_task(f->lk, "fpipe");
  if (limited && n) wakeup_task(f);  // the stream thread may wait for room
  return static_cast<int>(n);
}

int send_out(S_FPIPE* f) {
  if (f->out.empty()) return 0;
  int r = send_frame(f, kData, f->out.data(), f->out.size());
  f->unmarked += f->out.size();
  f->out.clear();
  return r;
}

int fp_write(STREAM* s, const void* data, int len) {
  S_FPIPE* f = fp(s);
  auto* p = static_cast<const unsigned char*>(data);
  f->out.insert(f->out.end(), p, p + len);
  if (f->out.size() >= kSendAt && send_out(f) < 0) return -1;
  return len;
}

int fp_flush(STREAM* s) {
  S_FPIPE* f = fp(s);
  if (f->out.empty() && f->unmarked == 0) return 0;
  if (send_out(f) < 0) return -1;
  f->unmarked = 0;
  return send_frame(f, kMark, nullptr, 0);
}

int fp_socketip(STREAM* s) {
  S_FPIPE* f = fp(s);
  lock_task(f->lk);
  if (f->pair) {
    int ip = f->peer && !f->ended ? f->peer->my_ip : -1;
    unlock_task(f->lk, "fpipe");
    return ip;
  }
  if (f->ended || !f->running) {
    unlock_task(f->lk, "fpipe");
    return -1;
  }
  unsigned gen = f->gen;
  unlock_task(f->lk, "fpipe");
  if (send_frame(f, kQuery, nullptr, 0) < 0) return -1;
  int64_t deadline = s_now_us() + static_cast<int64_t>(kQueryWait * 1e6);
  lock_task(f->lk);
  while (f->gen == gen && !f->ended && is_live(f)) {
    double left = static_cast<double>(deadline - s_now_us()) / 1e6;
    if (left <= 0) break;
    _i_sleep_task_timeout(f, f->lk, left, __FILE__, __LINE__);
    lock_task(f->lk);
  }
  int r = f->gen != gen && !f->ended ? f->answer : -1;
  unlock_task(f->lk, "fpipe");
  return r;
}

int fp_data_size(STREAM* s) {
  S_FPIPE* f = fp(s);
  return static_cast<int>(get_sbuf_data_size(&f->in, f->lk));
}

int fp_wait_flush(STREAM* s) {
  S_FPIPE* f = fp(s);
  lock_task(f->lk);
  while (f->marks == 0 && !f->ended && is_live(f) && !f->flush_wake) {
    sleep_task(f, f->lk);
    lock_task(f->lk);
  }
  int r = f->marks == 0 && f->flush_wake ? -2 : -1;
  f->flush_wake = 0;
  if (f->marks > 0) {
    --f->marks;
    r = static_cast<int>(f->in.size);
  }
  unlock_task(f->lk, "fpipe");
  return r;
}

int fp_set_ip(STREAM* s, int ip) {
  S_FPIPE* f = fp(s);
  lock_task(f->lk);
  f->my_ip = ip;
  unlock_task(f->lk, "fpipe");
  return 0;
}

void fp_interrupt(STREAM* s, int) {
  S_FPIPE* f = fp(s);
  // Blocked readers and flush waiters sleep on the record.
  lock_task(f->lk);
  unlock_task(f->lk, "fpipe");
  wakeup_task(f);
}

// The other end of a pair within the process sees the end of its input,
// as it would see the socket's.
int close_local(S_FPIPE* f) {
  lock_task(f->lk);
  if (S_FPIPE* to = f->peer) {
    to->ended = 1;
    to->peer = nullptr;
    wakeup_task(to);
  }
  f->peer = nullptr;
  wakeup_task(f);
  unlock_task(f->lk, "fpipe");
  free_sbuf(&f->in, nullptr);
  std::vector<unsigned char>().swap(f->out);
  return 0;
}

int fp_close(STREAM* s) {
  S_FPIPE* f = fp(s);
  if (f->pair) return close_local(f);
  // The stream thread leaves when the socket ends; a stream handed to a
  // child must not end it for the child, and its thread has left already.
  if (!f->h.handed) shutdown(f->fd, SHUT_RDWR);
  lock_task(f->lk);
  while (f->running) {
    _i_sleep_task_timeout(f, f->lk, 0.01, __FILE__, __LINE__);
    lock_task(f->lk);
  }
  unlock_task(f->lk, "fpipe");
  int r = ::close(f->fd) == 0 ? 0 : -1;
  f->fd = -1;
  free_sbuf(&f->in, nullptr);
  std::vector<unsigned char>().swap(f->out);
  return r;
}

int fp_proc_send(STREAM* s, int* fd) {
  S_FPIPE* f = fp(s);
  if (f->pair) return -1;  // no descriptor to hand over
  // Whatever was written goes out first; then the stream thread leaves so
  // that the child alone reads from the socket.
  if (send_out(f) < 0) return -1;
  lock_task(f->lk);
  f->stop = 1;
  while (f->running) {
    if (f->reader_set) pthread_kill(f->reader, SIGUSR1);
    _i_sleep_task_timeout(f, f->lk, 0.005, __FILE__, __LINE__);
    lock_task(f->lk);
  }
  bool clean = f->in.size == 0 && f->marks == 0 && !f->ended;
  unlock_task(f->lk, "fpipe");
  if (!clean) return -1;  // bytes already taken here would be lost to the child
  *fd = f->fd;
  return 0;
}

S_FPIPE* make_end(int fd, std::shared_ptr<PAIR_LOCK> pair = nullptr) {
  auto* f = s_new_record<S_FPIPE>(__FILE__, __LINE__);
  f->h.tbl = &s_fpipe_table;
  f->fd = fd;
  f->pair = std::move(pair);
  f->lk = f->pair ? f->pair->lk : new_lock(LOCK_FPIPE);
  init_sbuf(&f->in, nullptr);
  return f;
}

}  // namespace

const S_TABLE s_fpipe_table = {'p',          fp_close,      fp_write,  fp_read,  fp_flush,
                               fp_socketip,  nullptr,       fp_proc_send, s_fpipe_from_fd,
                               fp_data_size, fp_wait_flush, fp_set_ip, fp_interrupt};

namespace {

// The reader thread records itself for fp_proc_send's interrupt.
void reader_entry(TKEY key) {
  auto* f = static_cast<S_FPIPE*>(key);
  lock_task(f->lk);
  f->reader = pthread_self();
  f->reader_set = 1;
  bool stop = f->stop;
  unlock_task(f->lk, "fpipe");
  if (stop) {
    lock_task(f->lk);
    f->running = 0;
    f->h.thread.store(0);
    unlock_task(f->lk, "fpipe");
    wakeup_task(f);
    return;
  }
  reader_task(key);
}

int launch_reader(S_FPIPE* f) {
  lock_task(f->lk);
  f->running = 1;
  unlock_task(f->lk, "fpipe");
  int tid = create_task(reader_entry, f, 3);
  lock_task(f->lk);
  if (tid < 0) {
    f->running = 0;
    f->ended = 1;
  } else if (f->running) {
    f->h.thread.store(tid);
  }
  unlock_task(f->lk, "fpipe");
  return tid < 0 ? -1 : 0;
}

}  // namespace

int s_open_fpipe(STREAM** p) {
  init_stream();
  if (!p) return -1;
  int sv[2];
  int r = socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
  if (r != 0 && s_resource_shortage(errno)) r = socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
  if (r != 0) return -1;
  S_FPIPE* a = make_end(sv[0]);
  S_FPIPE* b = make_end(sv[1]);
  s_register(a, S_MODE_RW, S_CAT_PIPE);
  s_register(b, S_MODE_RW, S_CAT_PIPE);
  launch_reader(a);
  launch_reader(b);
  p[0] = a;
  p[1] = b;
  return 0;
}

int s_open_fpipe_local(STREAM** p) {
  init_stream();
  if (!p) return -1;
  auto pair = std::make_shared<PAIR_LOCK>(new_lock(LOCK_FPIPE));
  S_FPIPE* a = make_end(-1, pair);
  S_FPIPE* b = make_end(-1, pair);
  a->peer = b;
  b->peer = a;
  s_register(a, S_MODE_RW, S_CAT_PIPE);
  s_register(b, S_MODE_RW, S_CAT_PIPE);
  p[0] = a;
  p[1] = b;
  return 0;
}

STREAM* s_fpipe_from_fd(int fd) {
  init_stream();
  if (fd < 0 || fcntl(fd, F_GETFD) < 0) return nullptr;
  int type = 0;
  socklen_t tl = sizeof type;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tl) != 0 || type != SOCK_STREAM) return nullptr;
  S_FPIPE* f = make_end(fd);
  s_register(f, S_MODE_RW, S_CAT_PIPE);
  launch_reader(f);
  return f;
}

int s_set_fpipe_ip_addr(STREAM* s, int ip) {
  S_USE use(s);
  if (!use.s || s->h.tbl != &s_fpipe_table) return -1;
  return fp_set_ip(s, ip);
}

int s_set_fpipe_in_limit(STREAM* s, size_t bytes) {
  S_USE use(s);
  if (!use.s || s->h.tbl != &s_fpipe_table) return -1;
  S_FPIPE* f = fp(s);
  lock_task(f->lk);
  f->in_limit = bytes;
  unlock_task(f->lk, "fpipe");
  wakeup_task(f);
  return 0;
}

int s_end_fpipe_output(STREAM* s) {
  S_USE use(s);
  if (!use.s || s->h.tbl != &s_fpipe_table) return -1;
  S_FPIPE* f = fp(s);
  if (f->pair) {
    lock_task(f->lk);
    f->out_ended.store(1);
    if (S_FPIPE* to = f->peer) {
      to->ended = 1;
      wakeup_task(to);
    }
    unlock_task(f->lk, "fpipe");
    return 0;
  }
  lock_at_safe_point(f->send_mu);
  std::lock_guard<std::mutex> g(f->send_mu, std::adopt_lock);
  f->out_ended.store(1);
  return shutdown(f->fd, SHUT_WR) == 0 ? 0 : -1;
}

int s_wait_flush_fpipe(STREAM* s) {
  S_USE use(s);
  if (!use.s || !s->h.tbl->wait_flush) return -1;
  return s->h.tbl->wait_flush(s);
}

int s_wake_fpipe_flush(STREAM* s) {
  S_USE use(s);
  if (!use.s || s->h.tbl != &s_fpipe_table) return -1;
  S_FPIPE* f = fp(s);
  lock_task(f->lk);
  f->flush_wake = 1;
  unlock_task(f->lk, "fpipe");
  wakeup_task(f);
  return 0;
}

int s_get_fpipe_data_size(STREAM* s) {
  S_USE use(s);
  if (!use.s || !s->h.tbl->get_data_size) return -1;
  return s->h.tbl->get_data_size(s);
}
