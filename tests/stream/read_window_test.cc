// Character reads decoded straight from a back-end's buffered bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "stream/stream.h"

namespace {

// Wide text of mixed one-, two- and three-byte characters with every kind
// of line end, long enough to cross several file buffers.
std::vector<L_CHAR> mixed_text() {
  std::vector<L_CHAR> t;
  for (int i = 0; i < 9000; ++i) {
    switch (i % 11) {
      case 3: t.push_back(i % 2 ? 0x65E5 : 0x672C); break;
      case 5: t.push_back(i % 3 == 0 ? '\r' : '\n'); break;
      case 6: if (i % 4 == 0) t.push_back('\n'); else t.push_back('a' + i % 26); break;
      case 8: t.push_back(0x3042 + i % 20); break;
      default: t.push_back('a' + i % 26);
    }
  }
  return t;
}

int line_ends(const std::vector<L_CHAR>& t) {
  int n = 0;
  for (size_t i = 0; i < t.size(); ++i)
    if (t[i] == '\r' || (t[i] == '\n' && (i == 0 || t[i - 1] != '\r'))) ++n;
  return n;
}

std::string encoded(const std::vector<L_CHAR>& t, CODE_METHOD* cm) {
  std::vector<L_CHAR> z(t);
  z.push_back(0);
  STREAM* w = s_open_string_write(cm);
  s_printf(w, "%ls", z.data());
  std::string out(s_get_string(w), static_cast<size_t>(s_get_string_len(w)));
  d_s_close(w);
  return out;
}

// Reads every character, pushing back and re-reading each ASCII one, and
// checks the codes and the line count.
void expect_reads_back(STREAM* s, const std::vector<L_CHAR>& want) {
  s_set_cr(s, 1);
  std::vector<L_CHAR> got;
  L_CHAR c;
  while (s_read_lchar(s, &c) == 1) {
    if (c < 0x80 && got.size() % 3 == 0) {
      ASSERT_EQ(s_push(s, static_cast<int>(c)), 0);
      ASSERT_EQ(s_read_lchar(s, &c), 1);
    }
    got.push_back(c);
  }
  ASSERT_EQ(got.size(), want.size());
  EXPECT_TRUE(got == want);
  EXPECT_EQ(s_get_cr(s), 1 + line_ends(want));
}

TEST(StreamReadWindow, DecodesAcrossBufferEdgesWithPushesAndLineEnds) {
  init_stream();
  const auto text = mixed_text();
  const std::string path = "/tmp/qnmx_read_window_" + std::to_string(getpid());
  for (const char* name : {"UTF-8", "EUC-JP"}) {
    SCOPED_TRACE(name);
    CODE_METHOD* cm = search_cm(name);
    ASSERT_NE(cm, nullptr);
    const std::string bytes = encoded(text, cm);

    STREAM* r = s_open_string_read(bytes.data(), cm, static_cast<int>(bytes.size()), 1);
    expect_reads_back(r, text);
    d_s_close(r);

    STREAM* w = s_open_file(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(s_write(w, bytes.data(), static_cast<int>(bytes.size())), static_cast<int>(bytes.size()));
    d_s_close(w);
    STREAM* f = s_open_file(path.c_str(), O_RDONLY, 0);
    s_set_cm(f, cm);
    expect_reads_back(f, text);
    d_s_close(f);
  }
  unlink(path.c_str());
}

TEST(StreamReadWindow, BulkAndCharacterReadsShareOnePosition) {
  // A byte read with s_read between characters is never seen twice.
  STREAM* r = s_open_string_read("ab\xE6\x97\xA5" "cd", utf8_cm, 7, 0);
  L_CHAR c;
  unsigned char b;
  ASSERT_EQ(s_read_lchar(r, &c), 1);
  EXPECT_EQ(c, L_CHAR{'a'});
  ASSERT_EQ(s_read(r, &b, 1), 1);
  EXPECT_EQ(b, 'b');
  ASSERT_EQ(s_read_lchar(r, &c), 1);
  EXPECT_EQ(c, L_CHAR{0x65E5});
  char rest[4];
  EXPECT_EQ(s_read(r, rest, 4), 2);
  EXPECT_EQ(s_read_lchar(r, &c), 0);
  d_s_close(r);
}

TEST(StreamReadWindow, ConcurrentReadersSplitTheBytesAndSurviveAClose) {
  init_stream();
  const std::string text(200000, 'x');
  // Two readers to the end: every byte is taken exactly once.
  STREAM* r = s_open_string_read(text.data(), utf8_cm, static_cast<int>(text.size()), 1);
  std::atomic<long> total{0};
  std::atomic<int> started{0};
  auto drain = [&](STREAM* s) {
    L_CHAR c;
    long n = 0;
    while (s_read_lchar(s, &c) == 1)
      if (++n == 1) started = 1;
    total += n;
  };
  std::thread t1(drain, r), t2(drain, r);
  t1.join();
  t2.join();
  EXPECT_EQ(total.load(), static_cast<long>(text.size()));
  d_s_close(r);

  // Closed while both read: they stop, and nothing touches the freed bytes.
  for (int round = 0; round < 20; ++round) {
    STREAM* s = s_open_string_read(text.data(), utf8_cm, static_cast<int>(text.size()), 1);
    s_hold(s);  // the readers keep using the record after the close
    total = 0;
    started = 0;
    std::thread a(drain, s), b(drain, s);
    while (!started.load()) std::this_thread::yield();
    EXPECT_EQ(d_s_close(s), 0);
    a.join();
    b.join();
    s_drop(s);
    EXPECT_LE(total.load(), static_cast<long>(text.size()));
  }
}

}  // namespace
