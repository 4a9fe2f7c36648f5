#include "stream/url.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/alloc.h"

namespace {

using WStr = std::basic_string<L_CHAR>;

WStr w(const char* s) {
  WStr r;
  while (*s) r += static_cast<unsigned char>(*s++);
  return r;
}

std::string n(const L_CHAR* s) {
  if (!s) return "<null>";
  std::string r;
  for (; *s; ++s) r += static_cast<char>(*s);
  return r;
}

TEST(Url, ParseFieldsAndWellKnownPorts) {
  URL u;
  ASSERT_EQ(get_url2(&u, w("http://user:pw@host.example:8080/@agent/db/sub/res.zu?q=1#frag").c_str()), 0);
  EXPECT_EQ(n(u.proto), "http");
  EXPECT_EQ(n(u.user), "user");
  EXPECT_EQ(n(u.passwd), "pw");
  EXPECT_EQ(n(u.server), "host.example");
  EXPECT_EQ(u.port, 8080);
  EXPECT_EQ(n(u.agent), "agent");
  EXPECT_EQ(n(u.db), "/db/sub/");
  EXPECT_EQ(n(u.resource), "res.zu");
  EXPECT_EQ(n(u.query), "q=1");
  EXPECT_EQ(n(u.name), "frag");
  L_CHAR* fp = get_url_filepath(&u);
  EXPECT_EQ(n(fp), "/db/sub/res.zu?q=1#frag");
  d_f_ree(fp);
  L_CHAR* key = get_server_key(&u, nullptr);
  EXPECT_EQ(n(key), "http://host.example:8080/@agent");
  d_f_ree(key);
  free_url(&u);
  EXPECT_EQ(u.proto, nullptr);

  ASSERT_EQ(get_url2(&u, w("HTTPS://h/x").c_str()), 0);
  EXPECT_EQ(u.port, 443);
  free_url(&u);
  ASSERT_EQ(get_url2(&u, w("odd://h/x").c_str()), 0);
  EXPECT_EQ(u.port, 0);
  free_url(&u);

  // A path alone: no protocol, no text form, only the path parts.
  ASSERT_EQ(get_url2(&u, w("../a/b.txt").c_str()), 0);
  EXPECT_EQ(u.proto, nullptr);
  EXPECT_EQ(n(u.db), "../a/");
  EXPECT_EQ(n(u.resource), "b.txt");
  EXPECT_EQ(get_url_str2(&u), nullptr);
  free_url(&u);
  L_CHAR* none = get_server_key(nullptr, nullptr);
  EXPECT_EQ(n(none), "-");
  d_f_ree(none);
}

TEST(Url, ComposeRoundTrips) {
  for (const char* text : {"http://h:81/@ag/db/res?q#n", "zup://site:9090/", "SERVICE://site/svc",
                           "ftp://h:21/a/b/c", "http://h:80/@a/x/"}) {
    URL u, v;
    ASSERT_EQ(get_url2(&u, w(text).c_str()), 0) << text;
    L_CHAR* s = get_url_str2(&u);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(get_url2(&v, s), 0);
    EXPECT_EQ(n(get_url_str2(&v)), n(s)) << text;
    free_url(&v);
    copy_url(&v, &u);
    EXPECT_EQ(n(get_url_str2(&v)), n(s));
    free_url(&u);
    free_url(&v);
  }
  URL u;
  ASSERT_EQ(get_url2(&u, w("http://h:81/@ag/db/res?q#n").c_str()), 0);
  EXPECT_EQ(n(get_url_str2(&u)), "http://h:81/@ag/db/res?q#n");
  free_url(&u);
  // A service URL composes without a port or agent.
  URL svc{};
  L_CHAR proto[] = {'S', 'E', 'R', 'V', 'I', 'C', 'E', 0}, site[] = {'s', 0}, root[] = {'/', 0},
         res[] = {'x', 0};
  svc.proto = proto;
  svc.server = site;
  svc.db = root;
  svc.resource = res;
  EXPECT_EQ(n(get_url_str2(&svc)), "SERVICE://s/x");
}

TEST(Url, MalformedTextIsRefusedWithoutDamage) {
  for (const char* bad : {"://h/x", "http://:80/x", "http://h:8x/", "http://h:99999/", "ht tp://h/",
                          "http://h:/x", "http://"}) {
    URL u;
    EXPECT_EQ(get_url2(&u, w(bad).c_str()), -1) << bad;
    EXPECT_EQ(u.server, nullptr);
  }
  URL u;
  EXPECT_EQ(get_url2(&u, nullptr), -1);
  // Random texts over the URL alphabet and beyond never crash or leak.
  std::mt19937 rng(7);
  const char alphabet[] = ":/@?#.a1%\xff";
  for (int i = 0; i < 3000; ++i) {
    WStr t;
    int len = static_cast<int>(rng() % 24);
    for (int k = 0; k < len; ++k)
      t += rng() % 10 == 0 ? static_cast<L_CHAR>(rng()) : static_cast<unsigned char>(alphabet[rng() % 10]);
    if (get_url2(&u, t.c_str()) == 0) {
      get_url_str2(&u);
      L_CHAR* fp = get_url_filepath(&u);
      d_f_ree(fp);
      free_url(&u);
    }
  }
}

TEST(Url, ComposePath) {
  auto cp = [](const char* base, const char* rel) {
    L_CHAR* r = compose_path(base ? w(base).c_str() : nullptr, w(rel).c_str());
    std::string s = n(r);
    d_f_ree(r);
    return s;
  };
  EXPECT_EQ(cp("/a/b/c.html", "d.html"), "/a/b/d.html");
  EXPECT_EQ(cp("/a/b/c.html", "../d/e"), "/a/d/e");
  EXPECT_EQ(cp("/a/b/", "./x/../y"), "/a/b/y");
  EXPECT_EQ(cp("/a/b/c", "/abs/p"), "/abs/p");
  EXPECT_EQ(cp("/a/b/c", ".."), "/a/");
  EXPECT_EQ(cp("/a/b", "../x"), "/x");
  EXPECT_EQ(cp("/a/b", "../../x"), "<null>");  // above the root
  EXPECT_EQ(cp("/a/b/c", "../../../x"), "<null>");
  EXPECT_EQ(cp("/", "x/"), "/x/");
}

}  // namespace
