#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "base/process.h"
#include "stream_util.h"
#include "stream/stream.h"
#include "support/test_paths.h"

namespace {

TEST(StreamHandover, ChildRebuildsPipeEndAndExchangesData) {
  init_stream();
  STREAM* p[2];
  ASSERT_EQ(s_open_fpipe(p), 0);
  s_set_fpipe_ip_addr(p[1], 0x7f000009);
  std::string child = test_path("stream_child");
  char* prog = child.data();
  char* argv[] = {prog, nullptr};
  int close_flags[] = {1};
  int pid = launch_proc(prog, argv, &p[0], close_flags, 1, "parent", "child");
  ASSERT_GT(pid, 0);
  EXPECT_EQ(s_exist(p[0]), 0);  // the parent's copy is closed by the launch

  STREAM* s = p[1];
  s_set_cm(s, utf8_cm);
  s_set_cr(s, 1);
  const L_CHAR text[] = {0x65E5, 'a', 'b', 0};
  s_printf(s, "%ls\n", text);
  s_flush(s);
  EXPECT_GT(s_wait_flush_fpipe(s), 0);  // the child's reply and its flush mark
  EXPECT_EQ(read_line(s), "echo:\xE6\x97\xA5" "ab\n");
  EXPECT_EQ(s_get_socketip(s), 0x7f000002);  // announced by the child
  s_printf(s, "peer?\n");
  s_flush(s);
  EXPECT_EQ(read_line(s), "peer:7f000009\n");
  EXPECT_EQ(s_wait_flush_fpipe(s), 0);  // its mark: everything was read already
  s_printf(s, "quit\n");
  s_flush(s);
  char c;
  EXPECT_EQ(s_read(s, &c, 1), 0);  // the child has ended
  EXPECT_EQ(s_wait_flush_fpipe(s), -1);
  EXPECT_EQ(s_get_cr(s), 4);
  d_s_close(s);
}

TEST(StreamHandover, ArgumentsThatNameNothingAreSkipped) {
  init_stream();
  int before = recv_streams_len;
  EXPECT_EQ(s_recv_streams_from_arg("+x,p,-3,f999999,p1,,7q,q5"), 0);
  EXPECT_EQ(s_recv_streams_from_arg("no plus"), 0);
  EXPECT_EQ(recv_streams_len, before);
  // A descriptor that is open but not a socket cannot be a pipe end; as a
  // plain descriptor it is taken.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string arg = "+p" + std::to_string(fds[0]) + ",f" + std::to_string(fds[1]);
  EXPECT_EQ(s_recv_streams_from_arg(arg.c_str()), 1);
  ASSERT_EQ(recv_streams_len, before + 1);
  EXPECT_EQ(s_write(recv_streams[before], "z", 1), 1);
  d_s_close(recv_streams[before]);
  close(fds[0]);
}

}  // namespace
