#include "stream/stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <vector>
#include <thread>
#include <vector>

#include "base/task.h"
#include "base/tick.h"
#include "stream/sbuf.h"
#include "stream_util.h"
#include "support/child.h"
#include "support/temp_dir.h"
#include "text/convert.h"

namespace {

std::string written(STREAM* s) {
  return std::string(s_get_string(s), static_cast<size_t>(s_get_string_len(s)));
}

CODE_METHOD* cm(const char* name) {
  CODE_METHOD* c = search_cm(name);
  EXPECT_NE(c, nullptr) << name;
  return c;
}

TEST(StreamLines, CountsCrLfAndCrlfOnceAcrossPiecesAndPushes) {
  // Written in pieces that split a CRLF: still one line end.
  STREAM* w = s_open_string_write(utf8_cm);
  s_set_cr(w, 1);
  s_write(w, "a\r", 2);
  s_write(w, "\nb\n", 3);
  s_printf(w, "c\rd\r\n\n");
  EXPECT_EQ(s_get_cr(w), 1 + 5);
  d_s_close(w);

  // Read byte by byte, pushing every byte back once and reading it again.
  const char text[] = "x\r\ny\rz\n\r\n\n";
  STREAM* r = s_open_string_read(text, utf8_cm, static_cast<int>(sizeof text - 1), 1);
  s_set_cr(r, 1);
  std::string seen;
  unsigned char c;
  while (s_read(r, &c, 1) == 1) {
    ASSERT_EQ(s_push(r, c), 0);
    EXPECT_LT(s_push(r, c), 0);  // one byte only
    ASSERT_EQ(s_read(r, &c, 1), 1);
    seen += static_cast<char>(c);
  }
  EXPECT_EQ(seen, text);
  EXPECT_EQ(s_get_cr(r), 1 + 5);
  // Pushing back the LF of a CRLF must not make the CR count again.
  d_s_close(r);
  STREAM* r2 = s_open_string_read("\r\n", utf8_cm, 2, 1);
  s_set_cr(r2, 1);
  s_read(r2, &c, 1);
  s_read(r2, &c, 1);
  s_push(r2, c);
  s_read(r2, &c, 1);
  EXPECT_EQ(s_get_cr(r2), 2);
  d_s_close(r2);
  // Reads up to a delimiter take buffered bytes in one piece and count
  // their line ends; a pushed byte comes alone.
  STREAM* r3 = s_open_string_read("ab\ncd\r\nef", utf8_cm, 9, 1);
  s_set_cr(r3, 1);
  char buf[16];
  EXPECT_EQ(s_read_until(r3, buf, sizeof buf, '\n'), 3);
  EXPECT_EQ(s_read_until(r3, buf, 2, '\n'), 2);
  s_push(r3, 'd');
  EXPECT_EQ(s_read_until(r3, buf, sizeof buf, '\n'), 1);
  EXPECT_EQ(s_read_until(r3, buf, sizeof buf, '\n'), 2);
  EXPECT_EQ(std::string(buf, 2), "\r\n");
  EXPECT_EQ(s_read_until(r3, buf, sizeof buf, '\n'), 2);
  EXPECT_EQ(s_read_until(r3, buf, sizeof buf, '\n'), 0);
  EXPECT_EQ(s_get_cr(r3), 3);
  d_s_close(r3);
}

TEST(StreamEncoding, PrintfEncodesWideAndNarrowTextWithReferences) {
  const L_CHAR wide[] = {0x65E5, 'A', 0x1F600, 0};  // a kanji, A, an emoji
  STREAM* e = s_open_string_write(cm("EUC-JP"));
  s_printf(e, "%ls|%04i-%02i|%5s|%-3s|%x|%lli|%.2f|%c%%", wide, 7, 3, "ab", "z", 255, -5LL, 1.5,
           'q');
  EXPECT_EQ(written(e), "\xC6\xFC" "A&cx1f600;|0007-03|   ab|z  |ff|-5|1.50|q%");
  d_s_close(e);

  // Every byte goes through the encoding: numbers and narrow text included.
  STREAM* i = s_open_string_write(int_cm);
  s_printf(i, "%d:%s:%ls", 42, "ok", wide);
  const L_CHAR want[] = {'4', '2', ':', 'o', 'k', ':', 0x65E5, 'A', 0x1F600, 0};
  L_CHAR* got = s_get_l_string(i);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(l_strcmp(got, want), 0);
  d_s_close(i);
}

TEST(StreamEncoding, SwitchInMidStreamAffectsOnlyLaterBytes) {
  // Output: ISO-2022-JP returns to ASCII before the switch to UTF-8.
  const L_CHAR kanji[] = {0x65E5, 0};
  STREAM* w = s_open_string_write(cm("ISO-2022-JP"));
  s_printf(w, "%ls", kanji);
  ASSERT_EQ(s_set_cm(w, utf8_cm), 0);
  s_printf(w, "%ls", kanji);
  EXPECT_EQ(written(w), "\x1B$BF|\x1B(B\xE6\x97\xA5");
  d_s_close(w);

  // Input: the first character is EUC-JP, the rest UTF-8; the decoder is
  // switched between them.
  const char bytes[] = "\xC6\xFC\xE6\x97\xA5z";
  STREAM* r = s_open_string_read(bytes, cm("EUC-JP"), 6, 0);
  L_CHAR c;
  ASSERT_EQ(s_read_lchar(r, &c), 1);
  EXPECT_EQ(c, 0x65E5u);
  s_set_cm(r, utf8_cm);
  EXPECT_EQ(s_get_cm(r), utf8_cm);
  ASSERT_EQ(s_read_lchar(r, &c), 1);
  EXPECT_EQ(c, 0x65E5u);
  ASSERT_EQ(s_read_lchar(r, &c), 1);
  EXPECT_EQ(c, static_cast<L_CHAR>('z'));
  EXPECT_EQ(s_read_lchar(r, &c), 0);
  d_s_close(r);
}

TEST(StreamFile, RoundTripThroughAFileWithAnEncoding) {
  char path[] = "/tmp/qnmx_stream_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  STREAM* w = s_open_file(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_NE(w, nullptr);
  s_set_cm(w, cm("Shift_JIS"));
  const L_CHAR text[] = {0x65E5, 0x672C, '\n', 0};
  std::string big(20000, 'x');  // more than the write buffer
  s_printf(w, "%ls%s", text, big.c_str());
  EXPECT_EQ(d_s_close(w), 0);
  STREAM* r = s_open_file(path, O_RDONLY, 0);
  ASSERT_NE(r, nullptr);
  std::string got = read_all(r);
  EXPECT_EQ(got, "\x93\xFA\x96\x7B\n" + big);
  EXPECT_LT(s_write(r, "x", 1), 0);  // opened read-only
  d_s_close(r);
  EXPECT_EQ(s_open_file("/nonexistent/dir/file", O_RDONLY, 0), nullptr);
  unlink(path);
}

// A write that fails keeps its reason: the write or flush that met it, every
// later one (nothing lands after a gap) and the close all give it, whether
// the failure came at a flush, at the close's own flush or past a limit.
TEST(StreamFile, AFailedWriteKeepsItsReasonToTheClose) {
  signal(SIGXFSZ, SIG_IGN);
  TempDir dir("stream_fail");
  const std::string big(9000, 'x');  // more than the write buffer: written at once
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct Case {
    const char* what;
    std::string path;
    rlim_t limit;
    bool flush;  // flushed before the close
    int want;
  };
  for (const Case& c : {Case{"full, flushed", "/dev/full", 0, true, ENOSPC},
                        Case{"full, at the close", "/dev/full", 0, false, ENOSPC},
                        Case{"past a size limit", dir.at("cut"), 100, true, EFBIG}}) {
    SCOPED_TRACE(c.what);
    STREAM* w = s_open_file(c.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_NE(w, nullptr);
    int err = 0;
    EXPECT_EQ(e_write(w, &err, "abc", 3), 3);  // buffered
    if (c.limit) {
      rlimit low = old;
      low.rlim_cur = c.limit;
      ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
      EXPECT_EQ(e_write(w, &err, big.data(), int(big.size())), -1);
      setrlimit(RLIMIT_FSIZE, &old);
      EXPECT_EQ(err, c.want);
      err = 0;
      EXPECT_EQ(e_write(w, &err, "y", 1), -1);  // room again, but after a gap
      EXPECT_EQ(err, c.want);
    }
    if (c.flush) {
      err = 0;
      EXPECT_EQ(e_flush(w, &err), -1);
      EXPECT_EQ(err, c.want);
      EXPECT_EQ(s_write_error(w), c.want);
    }
    err = 0;
    EXPECT_EQ(e_close(w, &err), -1);
    EXPECT_EQ(err, c.want);
  }
  std::ifstream cut(dir.at("cut"), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(cut), {}), "abc" + big.substr(0, 97));
  int err = 0;
  EXPECT_EQ(e_close(nullptr, &err), -1);
  EXPECT_EQ(err, EBADF);
}

// A record someone still references outlives its close however many other
// streams come and go: it is never written or read again, answers as
// closed, and its address is never handed to another stream meanwhile.
TEST(StreamIdentity, AReferencedRecordOutlivesItsCloseAndKeepsItsAddress) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  STREAM* w = s_open_descripter(p[1], nullptr);
  ASSERT_NE(w, nullptr);
  s_hold(w);  // kept past the close
  EXPECT_EQ(s_write(w, "abc", 3), 3);
  EXPECT_EQ(d_s_close(w), 0);  // flushes
  for (int i = 0; i < 600; ++i) {
    STREAM* other = s_open_string_write(nullptr);
    ASSERT_NE(other, w);
    EXPECT_EQ(d_s_close(other), 0);
  }
  char buf[8];
  EXPECT_EQ(s_exist(w), 0);
  EXPECT_LT(s_write(w, "x", 1), 0);
  EXPECT_LT(s_printf(w, "x"), 0);
  EXPECT_LT(s_flush(w), 0);
  EXPECT_LT(s_read(w, buf, 1), 0);
  EXPECT_LT(s_get_thput(w), 0);
  EXPECT_EQ(d_s_close(w), -1);
  s_drop(w);
  EXPECT_EQ(read(p[0], buf, sizeof buf), 3);  // exactly the bytes before the close
  close(p[0]);
  // The standard streams are not closed.
  EXPECT_EQ(d_s_close(s_stdin), -1);
  EXPECT_EQ(s_exist(s_stdin), 1);
}

// A reader blocked in a stream of each kind wakes with the end of input
// when another task closes the stream.
struct BlockedRead {
  STREAM* s;
  std::atomic<int> result{99};
  std::atomic<bool> started{false};
};

void blocked_reader(TKEY k) {
  auto* b = static_cast<BlockedRead*>(k);
  b->started = true;
  char c;
  b->result = s_read(b->s, &c, 1);
}

void expect_close_wakes_reader(STREAM* s, bool queued) {
  BlockedRead b;
  b.s = s;
  s_hold(s);  // the reader and the checks below outlive the close
  ASSERT_GT(create_task(blocked_reader, &b, 1), 0);
  while (!b.started) std::this_thread::yield();
  usleep(20000);  // let it block in the read
  if (queued) {
    EXPECT_EQ(s_close_queue(s), 0);
    s_close_queue_drain();
  } else {
    EXPECT_EQ(d_s_close(s), 0);
  }
  while (b.result == 99) usleep(1000);
  EXPECT_EQ(b.result, 0);
  EXPECT_EQ(s_exist(s), 0);
  s_drop(s);
}

TEST(StreamClose, BlockedReaderWakesOnCloseFromAnotherTask) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  expect_close_wakes_reader(s_open_descripter(p[0], nullptr), false);  // an OS pipe
  close(p[1]);
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  expect_close_wakes_reader(s_open_descripter(sv[0], nullptr), true);  // a socket, queued
  close(sv[1]);
  STREAM* fp[2];
  ASSERT_EQ(s_open_fpipe(fp), 0);
  expect_close_wakes_reader(fp[0], true);
  d_s_close(fp[1]);
}

// Both kinds of pipe pair behave alike: over a socket pair with stream
// threads, and within the process without either.
class StreamPipe : public ::testing::TestWithParam<int (*)(STREAM**)> {};
INSTANTIATE_TEST_SUITE_P(Kinds, StreamPipe, ::testing::Values(s_open_fpipe, s_open_fpipe_local),
                         [](const auto& kind) { return kind.index ? "InProcess" : "Sockets"; });

TEST_P(StreamPipe, FlushMarksDataSizeAndAnnouncedAddresses) {
  STREAM* p[2];
  ASSERT_EQ(GetParam()(p), 0);
  EXPECT_EQ(s_get_socketip(p[1]), -1);  // nothing announced
  s_set_fpipe_ip_addr(p[0], 0x7f000005);
  EXPECT_EQ(s_get_socketip(p[1]), 0x7f000005);
  s_set_cr(p[0], 1);
  s_printf(p[0], "one\ntwo\n");
  EXPECT_EQ(s_flush(p[0]), 0);
  EXPECT_EQ(s_wait_flush_fpipe(p[1]), 8);
  EXPECT_EQ(s_get_fpipe_data_size(p[1]), 8);
  EXPECT_EQ(s_get_cr(p[0]), 3);
  char buf[16];
  EXPECT_EQ(s_read(p[1], buf, 4), 4);
  EXPECT_EQ(s_get_fpipe_data_size(p[1]), 4);
  // A flush waiter woken without a mark is told so, once.
  EXPECT_EQ(s_wake_fpipe_flush(p[1]), 0);
  EXPECT_EQ(s_wait_flush_fpipe(p[1]), -2);
  // Big writes cross in several frames, in order.
  std::string big(200000, 'y');
  big[123456] = 'Q';
  ASSERT_EQ(s_write(p[1], big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
  s_flush(p[1]);
  std::string got;
  while (got.size() < big.size()) {
    int r = s_read(p[0], buf, sizeof buf);
    ASSERT_GT(r, 0);
    got.append(buf, static_cast<size_t>(r));
  }
  EXPECT_EQ(got, big);
  // Once one end is gone the other sees the end.
  d_s_close(p[0]);
  EXPECT_EQ(s_wait_flush_fpipe(p[1]), -1);
  EXPECT_EQ(s_get_socketip(p[1]), -1);
  EXPECT_EQ(s_read(p[1], buf, sizeof buf), 4);  // "two\n" was still buffered
  EXPECT_EQ(s_read(p[1], buf, sizeof buf), 0);
  d_s_close(p[1]);
}

TEST_P(StreamPipe, EndedOutputStillReceives) {
  STREAM* p[2];
  ASSERT_EQ(GetParam()(p), 0);
  s_printf(p[0], "last");
  s_flush(p[0]);
  ASSERT_EQ(s_end_fpipe_output(p[0]), 0);
  char buf[16];
  EXPECT_EQ(s_read(p[1], buf, sizeof buf), 4);  // what came before the end
  EXPECT_EQ(s_read(p[1], buf, sizeof buf), 0);
  EXPECT_EQ(s_get_socketip(p[1]), -1);
  // The other way is still open, with its flush marks and its own end.
  s_printf(p[1], "answer");
  s_flush(p[1]);
  EXPECT_EQ(s_wait_flush_fpipe(p[0]), 6);
  d_s_close(p[1]);
  EXPECT_EQ(s_wait_flush_fpipe(p[0]), -1);
  EXPECT_EQ(s_read(p[0], buf, sizeof buf), 6);
  EXPECT_EQ(s_end_fpipe_output(s_stderr), -1);  // not a pipe end
  d_s_close(p[0]);
}

TEST_P(StreamPipe, InputLimitHoldsTheWriterBack) {
  STREAM* p[2];
  ASSERT_EQ(GetParam()(p), 0);
  ASSERT_EQ(s_set_fpipe_in_limit(p[1], 64 * 1024), 0);
  // 32 MiB cannot all fit in the reader's buffer (and a socket's): the
  // writer blocks until the reader takes some.
  std::string chunk(1 << 20, 'z');
  std::atomic<int> written{0};
  std::thread writer([&] {
    for (int i = 0; i < 32 && s_write(p[0], chunk.data(), static_cast<int>(chunk.size())) > 0; ++i) ++written;
    s_flush(p[0]);
  });
  EXPECT_TRUE(wait_until([&] { return s_get_fpipe_data_size(p[1]) >= 64 * 1024; }));
  EXPECT_LT(written.load(), 32);
  EXPECT_LT(s_get_fpipe_data_size(p[1]), 2 << 20);  // the limit and at most one frame
  size_t got = 0;
  char buf[65536];
  while (got < 32u << 20) {
    int r = s_read(p[1], buf, sizeof buf);
    ASSERT_GT(r, 0);
    got += static_cast<size_t>(r);
  }
  writer.join();
  EXPECT_EQ(written.load(), 32);
  d_s_close(p[0]);
  d_s_close(p[1]);
}

TEST(StreamWatchdog, BlockedWriteIsBrokenOffAndStreamClosed) {
  set_tick_unit_ms(20);
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  STREAM* s = s_open_descripter(sv[0], nullptr);
  s_hold(s);  // the watchdog closes it under our hands
  ASSERT_EQ(s_set_write_abort(s, 1, 2), 0);
  std::string chunk(1 << 16, 'w');
  int r = 0;
  for (int i = 0; i < 200 && r >= 0; ++i) {  // the peer never reads
    r = s_write(s, chunk.data(), static_cast<int>(chunk.size()));
    if (r >= 0) r = s_flush(s);
  }
  EXPECT_LT(r, 0);
  s_close_queue_drain();
  EXPECT_EQ(s_exist(s), 0);
  s_drop(s);
  close(sv[1]);
  set_tick_unit_ms(1000);
}

// A guarded read of a silent peer fails; bytes buffered or arriving are
// read as ever, and the end is still the end.
TEST(StreamWatchdog, GuardedReadOfASilentPeerFails) {
  set_tick_unit_ms(20);
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  STREAM* s = s_open_descripter(sv[0], nullptr);
  ASSERT_EQ(s_set_read_guard(s, 2), 0);
  char buf[8];
  EXPECT_EQ(s_read(s, buf, 1), -1);
  ASSERT_EQ(write(sv[1], "abc", 3), 3);
  close(sv[1]);
  // One byte, then the two buffered, then the end.
  EXPECT_EQ(std::vector<int>({s_read(s, buf, 1), s_read(s, buf, 8), s_read(s, buf, 1)}), std::vector<int>({1, 2, 0}));
  d_s_close(s);
  set_tick_unit_ms(1000);
}

TEST(StreamTerminal, PromptsAtOpenAndAfterEachLine) {
  static std::vector<int> prompts;
  prompts.clear();
  int in[2], out[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  STREAM* t = s_open_terminal_fd(in[0], out[1], [](STREAM* s, int len) {
    prompts.push_back(len);
    s_printf(s, "%i>", len);
    s_flush(s);
  });
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(write(in[1], "abc\n\nxy\n", 8), 8);
  close(in[1]);
  EXPECT_EQ(read_all(t), "abc\n\nxy\n");
  EXPECT_EQ(prompts, (std::vector<int>{0, 3, 0, 2}));
  d_s_close(t);
  char buf[32] = {};
  ASSERT_GT(read(out[0], buf, sizeof buf - 1), 0);
  EXPECT_STREQ(buf, "0>3>0>2>");
  for (int fd : {in[0], out[0], out[1]}) close(fd);
}

TEST(StreamChain, ForwardsTextAsFourByteCodes) {
  static std::string forwarded;
  static std::atomic<int> calls{0};
  forwarded.clear();
  EXPECT_EQ(s_open_chain(1, 'o'), nullptr);  // no forwarding yet
  set_chain_forward([](int iid, int type, const unsigned char* d, size_t n, int) {
    EXPECT_EQ(iid, 7);
    EXPECT_EQ(type, 'e');
    forwarded.append(reinterpret_cast<const char*>(d), n);
    ++calls;
    return 0;
  });
  EXPECT_EQ(s_open_chain(7, 'x'), nullptr);
  STREAM* c = s_open_chain(7, 'e');
  ASSERT_NE(c, nullptr);
  const L_CHAR w[] = {0x65E5, 0};
  s_printf(c, "A%ls", w);
  d_s_close(c);  // forwards the rest
  EXPECT_EQ(forwarded, std::string("\0\0\0A\0\0\x65\xE5", 8));
  set_chain_forward(nullptr);
}

TEST(StreamSerial, RawLineOverAPseudoTerminal) {
  int master, slave;
  char name[128];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  STREAM* s = s_open_serial(name, 9600);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s_open_serial(name, 12345), nullptr);  // no such rate
  ASSERT_EQ(write(master, "\x01\r\n", 3), 3);  // raw: no translation
  char buf[3];
  int got = 0;
  while (got < 3) {
    int r = s_read(s, buf + got, 3 - got);
    ASSERT_GT(r, 0);
    got += r;
  }
  EXPECT_EQ(std::string(buf, 3), "\x01\r\n");
  d_s_close(s);
  close(master);
  close(slave);
}

TEST(StreamBuffers, QueueAndCopyHelpers) {
  STREAM_BUF b;
  init_sbuf(&b, nullptr);
  std::string big(10000, 'k');
  copy_in_sbuf(&b, big.data(), big.size(), nullptr);
  copy_in_sbuf(&b, "tail", 4, nullptr);
  EXPECT_EQ(get_sbuf_data_size(&b, nullptr), 10004u);
  std::string out(10004, 0);
  EXPECT_EQ(copy_out_sbuf(&b, out.data(), 9000, nullptr), 9000u);
  EXPECT_EQ(copy_out_sbuf(&b, out.data() + 9000, 5000, nullptr), 1004u);
  EXPECT_EQ(out, big + "tail");
  EXPECT_EQ(copy_out_sbuf(&b, out.data(), 1, nullptr), 0u);
  copy_in_sbuf(&b, "z", 1, nullptr);
  free_sbuf(&b, nullptr);

  STREAM* src = s_open_string_read(big.data(), nullptr, 5000, 0);
  STREAM* dst = s_open_string_write(nullptr);
  long long n = 0;
  EXPECT_EQ(s_copy_to_stream(&n, src, dst, 3000), 0);
  EXPECT_EQ(n, 3000);
  EXPECT_EQ(s_copy_to_stream(&n, src, dst, 3000), -1);  // only 2000 left
  EXPECT_EQ(n, 2000);
  EXPECT_EQ(s_get_string_len(dst), 5000);
  d_s_close(src);
  STREAM* rd = s_open_string_read("abc", nullptr, 3, 0);
  EXPECT_EQ(s_copy_to_stream(&n, rd, s_stdin, -1), -2);  // s_stdin cannot be written
  d_s_close(rd);

  // en_do: pieces of at most 1000; a function returning 0 stops it.
  static int calls = 0;
  calls = 0;
  EXPECT_EQ(en_do(&n, [](STREAM*, void*, int len) { ++calls; return len <= 1000 ? len : -1; },
                  dst, big.data(), 2500),
            1);
  EXPECT_EQ(n, 2500);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(en_do(&n, [](STREAM*, void*, int) { return 0; }, dst, big.data(), 10), 0);
  d_s_close(dst);

  STREAM_BUF sb;
  init_sbuf(&sb, nullptr);
  STREAM* r2 = s_open_string_read(big.data(), nullptr, 7000, 0);
  EXPECT_EQ(copy_in_sbuf_stream(&sb, r2, -1, nullptr), 7000);
  EXPECT_EQ(get_sbuf_data_size(&sb, nullptr), 7000u);
  free_sbuf(&sb, nullptr);
  d_s_close(r2);
}

TEST(StreamResources, DescriptorCountAndOutOfDescriptorsHook) {
  int limit = 0;
  int before = s_check_resource2(&limit);
  EXPECT_GT(limit, 0);
  STREAM* f = s_open_file("/dev/null", O_RDONLY, 0);
  EXPECT_EQ(s_check_resource2(nullptr), before + 1);
  d_s_close(f);
  EXPECT_EQ(s_check_resource2(nullptr), before);

  static int hook_calls = 0;
  static std::vector<int> spare;
  hook_calls = 0;
  s_set_resource_hook([](int) {
    ++hook_calls;
    for (int fd : spare) close(fd);  // what a collection would give back
    spare.clear();
  });
  rlimit old{};
  getrlimit(RLIMIT_NOFILE, &old);
  rlimit low = old;
  low.rlim_cur = static_cast<rlim_t>(before + 4);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  for (;;) {
    int fd = open("/dev/null", O_RDONLY);
    if (fd < 0) break;
    spare.push_back(fd);
  }
  STREAM* g = s_open_file("/dev/null", O_RDONLY, 0);
  EXPECT_NE(g, nullptr);
  EXPECT_EQ(hook_calls, 1);
  d_s_close(g);
  setrlimit(RLIMIT_NOFILE, &old);
  s_set_resource_hook(nullptr);
}

// The count asked for on every connection: it follows what streams open
// and close at once, sees any other descriptor once it counts again, and
// counts afresh on every call once half the limit is in use.
TEST(StreamResources, DescriptorsInUseFollowStreamsAtOnceAndCountAfreshNearTheLimit) {
  int limit = 0;
  int before = s_descriptors_in_use(&limit);
  EXPECT_EQ(before, s_check_resource2(nullptr));
  STREAM* f = s_open_file("/dev/null", O_RDONLY, 0);
  EXPECT_EQ(s_descriptors_in_use(nullptr), before + 1);
  d_s_close(f);
  EXPECT_EQ(s_descriptors_in_use(nullptr), before);

  int raw = open("/dev/null", O_RDONLY);
  ASSERT_GE(raw, 0);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (s_descriptors_in_use(nullptr) != before + 1 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(s_descriptors_in_use(nullptr), before + 1);

  rlimit old{};
  getrlimit(RLIMIT_NOFILE, &old);
  rlimit low = old;
  low.rlim_cur = static_cast<rlim_t>(2 * (before + 1));
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  int raw2 = open("/dev/null", O_RDONLY);
  EXPECT_EQ(s_descriptors_in_use(&limit), before + 2);
  EXPECT_EQ(limit, 2 * (before + 1));
  close(raw2);
  EXPECT_EQ(s_descriptors_in_use(nullptr), before + 1);
  setrlimit(RLIMIT_NOFILE, &old);
  close(raw);
}

// A close whose last output waits for a peer that does not read holds no
// lock that other streams need to open and close.
TEST(StreamClose, AFlushThatWaitsAtCloseLetsOtherStreamsOpenAndClose) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  int fl = fcntl(sv[0], F_GETFL);
  fcntl(sv[0], F_SETFL, fl | O_NONBLOCK);
  char block[4096] = {};
  while (write(sv[0], block, sizeof block) > 0) {
  }
  fcntl(sv[0], F_SETFL, fl);
  STREAM* st = s_open_descripter(sv[0], nullptr);
  ASSERT_NE(st, nullptr);
  ASSERT_EQ(s_write(st, "tail", 4), 4);
  s_hold(st);  // the record stays while s_exist asks about it
  std::thread closer([st] { d_s_close(st); });
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (s_exist(st) && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  auto other = std::async(std::launch::async, [] {
    STREAM* w = s_open_string_write(nullptr);
    s_printf(w, "elsewhere");
    d_s_close(w);
  });
  bool done_meanwhile = other.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  // The peer reads at last: the close ends with every byte sent.
  std::string got;
  for (ssize_t n; (n = read(sv[1], block, sizeof block)) > 0;) got.append(block, static_cast<size_t>(n));
  closer.join();
  s_drop(st);
  other.wait();
  close(sv[1]);
  EXPECT_TRUE(done_meanwhile);
  EXPECT_EQ(got.substr(got.size() - 4), "tail");
}

}  // namespace
