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

// The fields of a parsed URL, "|"-joined: proto user passwd server port
// agent db resource query name.
std::string fields(const URL& u) {
  std::string out = n(u.proto);
  for (const L_CHAR* f : {u.user, u.passwd, u.server}) out += "|" + n(f);
  out += "|" + std::to_string(u.port);
  for (const L_CHAR* f : {u.agent, u.db, u.resource, u.query, u.name}) out += "|" + n(f);
  return out;
}

TEST(Url, ParseFieldsAndWellKnownPorts) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://user:pw@host.example:8080/@agent/db/sub/res.zu?q=1#frag",
       "http|user|pw|host.example|8080|agent|/db/sub/|res.zu|q=1|frag"},
      {"HTTPS://h/x", "HTTPS|<null>|<null>|h|443|<null>|/|x|<null>|<null>"},
      {"odd://h/x", "odd|<null>|<null>|h|0|<null>|/|x|<null>|<null>"},
      // A path alone: no protocol, only the path parts.
      {"../a/b.txt", "<null>|<null>|<null>|<null>|0|<null>|../a/|b.txt|<null>|<null>"},
  };
  for (auto [text, want] : cases) {
    URL u;
    ASSERT_EQ(get_url2(&u, w(text).c_str()), 0) << text;
    EXPECT_EQ(fields(u), want);
    free_url(&u);
    EXPECT_EQ(u.proto, nullptr);
  }
  URL u;
  ASSERT_EQ(get_url2(&u, w(cases[0].first).c_str()), 0);
  L_CHAR* fp = get_url_filepath(&u);
  EXPECT_EQ(n(fp), "/db/sub/res.zu?q=1#frag");
  L_CHAR* key = get_server_key(&u, nullptr);
  EXPECT_EQ(n(key), "http://host.example:8080/@agent");
  L_CHAR* none = get_server_key(nullptr, nullptr);
  EXPECT_EQ(n(none), "-");
  for (L_CHAR* p : {fp, key, none}) d_f_ree(p);
  free_url(&u);
  ASSERT_EQ(get_url2(&u, w("../a/b.txt").c_str()), 0);
  EXPECT_EQ(get_url_str2(&u), nullptr);  // no text form without a protocol
  free_url(&u);
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

// Every URL the writer makes reads back to the same fields (user and
// password are not written), and a record it cannot write so is refused.
TEST(Url, WrittenTextReadsBackToTheSameFields) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://h/@/@b/c", "http://h:80/@/@b/c"},  // no agent, a path that looks like one
      {"odd://h/@/x", "odd://h/x"},
      {"http://Y::80/a/b", "http://Y::80/a/b"},  // a server ending in ":"
      {"http://u:p@h:81/@ag/d/r?q?x#n#m", "http://h:81/@ag/d/r?q?x#n#m"},
      {"zup://h", "zup://h:9090"},
  };
  auto written_fields = [](URL u) {
    u.user = u.passwd = nullptr;
    return fields(u);
  };
  for (auto [text, want] : cases) {
    URL u, v;
    ASSERT_EQ(get_url2(&u, w(text).c_str()), 0) << text;
    std::string out = n(get_url_str2(&u));
    EXPECT_EQ(out, want);
    ASSERT_EQ(get_url2(&v, w(out.c_str()).c_str()), 0) << out;
    EXPECT_EQ(fields(v), written_fields(u)) << text;
    free_url(&u);
    free_url(&v);
  }
  L_CHAR http[] = {'h', 't', 't', 'p', 0}, odd[] = {'o', 'd', 'd', 0}, y[] = {'Y', ':', 0}, h[] = {'h', 0};
  const URL unwritable[] = {
      {http, h, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},  // would read as port 80
      {odd, y, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},   // "odd://Y:" has no port
      {odd, h, 65536, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
      {odd, nullptr, 81, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  for (const URL& u : unwritable) EXPECT_EQ(get_url_str2(&u), nullptr) << n(u.proto) << " " << n(u.server);
}

TEST(Url, MalformedTextIsRefusedWithoutDamage) {
  for (const char* bad : {"://h/x", "http://:80/x", "http://h:8x/", "http://h:99999/", "ht tp://h/",
                          "http://h:/x", "http://", "http://h:0/a/", "zup://h:00000", "odd://Y::0/a"}) {
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

// A URL's text ends up in request lines and headers: a line break, any
// other control character or a blank, in whichever part, refuses it;
// letters of any script stay.
TEST(Url, ControlCharactersAndBlanksAreRefusedInEveryPart) {
  const WStr good = w("http://u:p@h:81/@ag/db/res?q#n") + L_CHAR{0x65e5};
  URL u;
  ASSERT_EQ(get_url2(&u, good.c_str()), 0);
  free_url(&u);
  // Just after these prefixes: proto, user, password, server, port, agent,
  // db, resource, query, name.
  for (size_t at : {2, 8, 10, 12, 14, 17, 22, 26, 28, 30}) {
    for (L_CHAR c : {0x0d, 0x0a, 0x09, 0x20, 0x01, 0x7f, 0x85}) {
      WStr t = good;
      t.insert(at, 1, c);
      EXPECT_EQ(get_url2(&u, t.c_str()), -1) << "at " << at << " char " << c;
    }
  }
  EXPECT_EQ(get_url2(&u, w("/db/a b.zu").c_str()), -1) << "a path alone";
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
