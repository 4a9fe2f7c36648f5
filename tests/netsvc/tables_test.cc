// The proxy setting and the server information table.
#include <gtest/gtest.h>

#include <string>

#include "netsvc/proxy.h"
#include "netsvc/serverinfo.h"
#include "runtime/services.h"
#include "stream/stream.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/core_init.h"
#include "zu/printer.h"

namespace {

std::string shown(ZU_SEXP* v) {
  STREAM* st = s_open_string_write(utf8_cm);
  print_sexp(st, v, 0);
  std::string r = s_get_string(st);
  d_s_close(st);
  return r;
}

struct Choice {
  int type;
  std::string server;
  int port;
};

Choice choose(const char* host) {
  PROXY_INFO p;
  check_proxy_table(&p, host);
  Choice c{p.proxy_type, p.proxy_server ? p.proxy_server : "", p.proxy_port};
  clear_proxy_info(&p);
  return c;
}

}  // namespace

TEST(ProxyTable, ExceptionsOwnHostAndCopiesOfTheSetting) {
  init_qnlisp();
  ZuThreadScope scope("test");
  init_proxy_table();
  EXPECT_EQ(shown(get_proxyinfo()), "(proxyinfo \"NoProxy\")");
  ASSERT_EQ(set_proxy(PROXY_HTTP, "proxy.example", 3128), 0);
  ASSERT_EQ(set_direct_access(PROXY_NONE, "h"), 0);
  EXPECT_EQ(choose("h").type, PROXY_NONE);
  ASSERT_EQ(set_direct_access(PROXY_ZUOHTTP, "g"), 0);
  ASSERT_EQ(set_direct_access(PROXY_ZUOHTTP, "h"), 0);  // an entry changes its type in place
  EXPECT_EQ(shown(get_proxyinfo()),
            "(proxyinfo \"HTTPProxy\" \"proxy.example\" 3128 (server \"ZUoHTTP\" \"g\") (server \"ZUoHTTP\" \"h\"))");
  EXPECT_EQ(choose("h").type, PROXY_ZUOHTTP);
  Choice other = choose("elsewhere");
  EXPECT_EQ(other.type, PROXY_HTTP);
  EXPECT_EQ(other.server, "proxy.example");
  EXPECT_EQ(other.port, 3128);
  for (const char* own : {"localhost", "127.0.0.1"}) EXPECT_EQ(choose(own).type, PROXY_NONE) << own;
  EXPECT_EQ(choose(n_string(std_cm, get_zulisp_site())).type, PROXY_NONE);
  // The name handed out outlives a change of the setting; types that a
  // link cannot use change nothing.
  PROXY_INFO held;
  check_proxy_table(&held, "elsewhere");
  set_proxy(PROXY_HTTP, "other.example", 8080);
  EXPECT_STREQ(held.proxy_server, "proxy.example");
  clear_proxy_info(&held);
  EXPECT_EQ(set_proxy(8, "x", 1) + set_proxy(PROXY_HTTP, nullptr, 1) + set_direct_access(PROXY_HTTP, "x"), -3);
  EXPECT_EQ(choose("elsewhere").server, "other.example");
  // NoProxy empties the direct-access list.
  set_proxy(PROXY_NONE, nullptr, 0);
  EXPECT_EQ(shown(get_proxyinfo()), "(proxyinfo \"NoProxy\")");
  EXPECT_EQ(choose("h").type, PROXY_NONE);
}

TEST(ServerInfo, KeysRunningFiguresAndRefusals) {
  init_qnlisp();
  init_serverinfo_table();
  const L_CHAR* name = l_string(std_cm, "srv");
  auto thput = [&](int v, int cmd) {
    SERVER_INFO si{SI_NAME | SI_THPUT, 0, name, 0, v, 0};
    return set_serverinfo_table(&si, cmd, -1);
  };
  auto read_ip = [](unsigned ip) {
    SERVER_INFO si{SI_IP, 0, nullptr, ip, 0, 0};
    return get_serverinfo(&si) == 0 ? si.thput : -1;
  };
  // The running figure falls by a tenth of the difference and rises at once.
  EXPECT_EQ(thput(100, 3), 0);
  EXPECT_EQ(thput(50, 3), 0);
  SERVER_INFO got{SI_NAME, 0, name, 0, 0, 0};
  ASSERT_EQ(get_serverinfo(&got), 0);
  EXPECT_EQ(got.thput, 95);
  EXPECT_EQ(got.name, name);
  EXPECT_EQ(thput(200, 3), 0);
  EXPECT_EQ(thput(0, 7), -1);
  // A record found by name learns its address, and moves when it changes.
  SERVER_INFO addr{SI_NAME | SI_IP, 0, name, 0x7F000002, 0, 0};
  EXPECT_EQ(set_serverinfo_table(&addr, 0, -1), 0);
  addr.ip = 0x7F000003;
  EXPECT_EQ(set_serverinfo_table(&addr, 0, -1), 0);
  EXPECT_EQ(read_ip(0x7F000002), -1);
  EXPECT_EQ(read_ip(0x7F000003), 200);
  // Data is set once with cmd 2; a status outside set_if refuses.
  SERVER_INFO data{SI_IP | SI_DATA, 0, nullptr, 0x7F000003, 0, 7};
  EXPECT_EQ(set_serverinfo_table(&data, 2, -1), 0);
  data.data = 8;
  EXPECT_EQ(set_serverinfo_table(&data, 2, -1), -2);
  SERVER_INFO status{SI_IP | SI_STATUS, 4, nullptr, 0x7F000003, 0, 0};
  EXPECT_EQ(set_serverinfo_table(&status, 0, 1), 0);
  EXPECT_EQ(set_serverinfo_table(&status, 0, 1), -2);
  // No usable key.
  SERVER_INFO none{SI_NAME | SI_IP, 0, nullptr, 0, 0, 0};
  EXPECT_EQ(set_serverinfo_table(&none, 1, -1), -1);
  // A new record refused by set_if is not kept.
  SERVER_INFO fresh{SI_IP, 0, nullptr, 0x0A000001, 0, 0};
  EXPECT_EQ(set_serverinfo_table(&fresh, 0, 2), -2);
  EXPECT_EQ(read_ip(0x0A000001), -1);
  init_serverinfo_table();
}
