#include "stream/net.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "base/alloc.h"
#include "base/process.h"
#include "stream_util.h"
#include "base/task.h"

namespace {

constexpr int kLoop = 0x7f000001;

TEST(NetServer, PortRangeAcceptsOwnAndOutsideClients) {
  int port = 0;
  STREAM* first = init_server2(&port, 39000, 200, kLoop);
  ASSERT_NE(first, nullptr);
  int port2 = 0;
  STREAM* ls = init_server2(&port2, port, 5, kLoop);  // the first port is taken
  ASSERT_NE(ls, nullptr);
  EXPECT_GT(port2, port);
  EXPECT_EQ(init_server2(&port2, port, 1, kLoop), nullptr);  // nothing free in the range
  d_s_close(first);

  // A client of our own.
  int err = 0;
  STREAM* c = new_connection(&err, "127.0.0.1", 0, port2, nullptr, nullptr);
  ASSERT_NE(c, nullptr) << err;
  ACCESS_KEY* k = accept_connection(ls);
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(k->ip, kLoop);
  EXPECT_EQ(s_get_socketip(k->s), kLoop);
  EXPECT_EQ(s_get_socketip(c), kLoop);
  s_printf(c, "ping %d\n", 1);
  s_flush(c);
  EXPECT_EQ(read_line(k->s), "ping 1\n");
  s_printf(k->s, "pong\n");
  s_flush(k->s);
  EXPECT_EQ(read_line(c), "pong\n");
  d_s_close(c);
  char ch;
  EXPECT_EQ(s_read(k->s, &ch, 1), 0);  // the client has gone
  d_s_close(k->s);
  d_f_ree(k);

  // An outside client.
  std::string cmd = "printf 'hello from socat\\n' | socat -t 2 - TCP:127.0.0.1:" + std::to_string(port2);
  ASSERT_EQ(launch_proc_stdio(nullptr, nullptr, nullptr, cmd.c_str()), 0);
  k = accept_connection(ls);
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(read_line(k->s), "hello from socat\n");
  d_s_close(k->s);
  d_f_ree(k);
  d_s_close(ls);
}

TEST(NetServer, AcceptWakesWhenListenerIsClosed) {
  int port = 0;
  STREAM* ls = init_server2(&port, 39300, 200, kLoop);
  ASSERT_NE(ls, nullptr);
  static std::atomic<int> state{0};
  state = 0;
  create_task([](TKEY k) {
    state = 1;
    ACCESS_KEY* a = accept_connection(static_cast<STREAM*>(k));
    state = a ? 3 : 2;
  }, ls, 1);
  while (state == 0) std::this_thread::yield();
  usleep(20000);
  d_s_close(ls);
  while (state == 1) usleep(1000);
  EXPECT_EQ(state, 2);
}

TEST(NetClient, RefusedUnresolvableAndBadPort) {
  int port = 0;
  STREAM* ls = init_server2(&port, 39500, 200, kLoop);
  ASSERT_NE(ls, nullptr);
  d_s_close(ls);  // nothing listens there now
  int err = 0;
  EXPECT_EQ(new_connection(&err, nullptr, kLoop, port, nullptr, nullptr), nullptr);
  EXPECT_EQ(err, ECONNREFUSED);
  EXPECT_EQ(new_connection(&err, "no-such-host.invalid", 0, 80, nullptr, nullptr), nullptr);
  EXPECT_EQ(err, EHOSTUNREACH);
  EXPECT_EQ(new_connection(&err, nullptr, kLoop, 70000, nullptr, nullptr), nullptr);
  EXPECT_EQ(err, EINVAL);
}

// A listener whose queue is full and never accepts: further connections
// time out.
int full_listener(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(kLoop);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(fd, 0);
  socklen_t al = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &al);
  *port = ntohs(a.sin_port);
  return fd;
}

TEST(NetClient, BlacklistFailsFastAfterATimeOut) {
  net_set_connect_timeout_ms(300);
  bl_set_times(60000, 60000, 60000);
  int port;
  int lfd = full_listener(&port);
  int err = 0;
  // Fill the queue, then time out.
  STREAM* filler[4] = {};
  STREAM* s = nullptr;
  int i = 0;
  for (; i < 4; ++i) {
    s = bl_new_connection(&err, "127.0.0.1", 0, port, nullptr, nullptr);
    if (!s) break;
    filler[i] = s;
  }
  ASSERT_LT(i, 4);
  ASSERT_EQ(err, ETIMEDOUT);
  // The host is now blacklisted: even a listener that would accept is not
  // tried.
  int good_port = 0;
  STREAM* good = init_server2(&good_port, 39700, 200, kLoop);
  ASSERT_NE(good, nullptr);
  err = 0;
  EXPECT_EQ(bl_new_connection(&err, "127.0.0.1", 0, good_port, nullptr, nullptr), nullptr);
  EXPECT_EQ(err, ETIMEDOUT);
  // Another name for the machine is another entry; after clearing, the
  // host connects again.
  STREAM* other = bl_new_connection(&err, nullptr, 0x7f000001, good_port, nullptr, nullptr);
  EXPECT_EQ(other, nullptr);  // the address key "127.0.0.1" is the same entry
  bl_clear();
  STREAM* ok = bl_new_connection(&err, "127.0.0.1", 0, good_port, nullptr, nullptr);
  EXPECT_NE(ok, nullptr);
  d_s_close(ok);
  for (STREAM* f : filler) d_s_close(f);
  d_s_close(good);
  close(lfd);
}

TEST(NetBlacklist, CommandNotRunWhileFailedAndProbedLater) {
  bl_set_times(60000, 20, 40);
  static std::atomic<int> connects{0}, probes{0};
  connects = probes = 0;
  BL_COMMAND cmd{"probe-host", 11, 1,
                 [](BL_ENTRY*) { return ++probes < 3 ? 2 : 0; },
                 [](BL_COMMAND*, BL_ENTRY* e) {
                   e->port = 1234;
                   ++connects;
                   return 2;
                 },
                 nullptr, nullptr, -1};
  EXPECT_EQ(bl_do(&cmd), 2);
  EXPECT_EQ(bl_entry("probe-host")->port, 1234);
  cmd.result = -1;
  EXPECT_EQ(bl_do(&cmd), -1);  // failed: not run
  EXPECT_EQ(cmd.result, -1);
  EXPECT_EQ(connects, 1);
  while (bl_is_failed("probe-host")) usleep(5000);  // the third probe succeeds
  EXPECT_EQ(probes, 3);
  bl_do(&cmd);
  EXPECT_EQ(connects, 2);
}

TEST(NetResolver, NamesAddressesAndSameMachine) {
  int ip = 0;
  ASSERT_EQ(resolve_host("localhost", &ip), 0);
  EXPECT_EQ(static_cast<uint32_t>(ip) >> 24, 127u);
  EXPECT_EQ(resolve_host("LOCALHOST", &ip), 0);  // cached, any case
  EXPECT_EQ(resolve_host("127.0.0.9", &ip), 0);
  EXPECT_EQ(ip, 0x7f000009);
  EXPECT_EQ(resolve_host("no-such-host.invalid", &ip), -1);
  EXPECT_EQ(resolve_host("", &ip), -1);
  EXPECT_EQ(resolve_host(std::string(300, 'a').c_str(), &ip), -1);
  EXPECT_EQ(hostcmp("localhost", 0, nullptr, kLoop), 0);
  EXPECT_EQ(hostcmp(nullptr, 0x0a000001, nullptr, kLoop), 1);
}

TEST(NetAccess, FirstMatchingRuleDecidesAndBadAddressesAreRefused) {
  ACCESS_PERMISSION ap;
  init_access_permission(&ap);
  EXPECT_EQ(check_permission(&ap, kLoop, 0), 0);  // no rule: denied
  EXPECT_EQ(insert_access_list(&ap, "127.0.0.5", nullptr, nullptr, 0, 0, 0), 0);
  EXPECT_EQ(insert_access_list(&ap, "127.0.0.0", "255.0.0.0", nullptr, 0, 0, 1), 0);
  EXPECT_EQ(insert_access_list(&ap, "10.0.0.1", "not a mask", nullptr, 0, 0, 1), -1);
  EXPECT_EQ(insert_access_list(&ap, "999.1.2.3", "255.255.255.255", nullptr, 0, 0, 1), -1);
  EXPECT_EQ(check_permission(&ap, 0x7f000005, 0), 0);  // the deny comes first
  EXPECT_EQ(check_permission(&ap, 0x7f000006, 0), 1);
  EXPECT_EQ(check_permission(&ap, 0x0a000001, 0), 0);  // bad rules were not added
  EXPECT_EQ(insert_access_list(&ap, nullptr, nullptr, "", 0, 0, 1), -1);
  EXPECT_EQ(insert_access_list(&ap, nullptr, nullptr, nullptr, 0, 0, 1), 0);  // all
  EXPECT_EQ(check_permission(&ap, 0x0a000001, 0), 1);
  free_access_list(&ap);
  EXPECT_EQ(ap.head, nullptr);
}

// A resolver stub: 10.0.0.5 claims a name that resolves elsewhere, while
// 10.0.0.6's name resolves back to it (among other addresses).
int stub_forward(const char* name, int* ips, int max) {
  if (max < 2) return -1;
  if (std::string(name) == "spoof.example.com") {
    ips[0] = 0x0a090909;
    return 1;
  }
  if (std::string(name) == "good.example.com") {
    ips[0] = 0x0a000007;
    ips[1] = 0x0a000006;
    return 2;
  }
  return -1;
}

int stub_reverse(int ip, char* host, size_t len) {
  const char* name = ip == 0x0a000005 ? "spoof.example.com" : ip == 0x0a000006 ? "good.example.com" : nullptr;
  if (!name || std::strlen(name) >= len) return -1;
  std::strcpy(host, name);
  return 0;
}

TEST(NetAccess, ADomainRuleTrustsOnlyANameThatResolvesBack) {
  static const RESOLVER_OPS stub = {stub_forward, stub_reverse};
  set_resolver_ops(&stub);
  ACCESS_PERMISSION ap;
  init_access_permission(&ap);
  EXPECT_EQ(insert_access_list(&ap, nullptr, nullptr, "example.com", 0, 0, 1), 0);
  EXPECT_EQ(check_permission(&ap, 0x0a000005, 0), 0);
  EXPECT_EQ(check_permission(&ap, 0x0a000006, 0), 1);
  EXPECT_EQ(check_permission(&ap, 0x0a000008, 0), 0);  // no name at all
  free_access_list(&ap);
  set_resolver_ops(nullptr);
}

}  // namespace
