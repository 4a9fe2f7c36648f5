// The raw image cache, fetching through a session layer that this test
// plays: images are made with netpbm and cjpeg, their expected pixels read
// back with giftopnm and djpeg.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "netsvc/netsvc.h"
#include "netsvc/raw_image.h"
#include "runtime/net_ops.h"
#include "runtime/zu_init.h"
#include "stream/url.h"
#include "support/child.h"
#include "text/convert.h"
#include "zu/gc.h"
#include "zulib/library.h"

namespace {

// ---- the session layer, played: files by path, requests counted, and a
// hold that keeps every fetch waiting until it is let go.
struct Peer {
  std::mutex m;
  std::condition_variable cv;
  std::map<std::string, std::string> files;
  std::map<std::string, int> asked;
  bool hold = false;
  int waiting = 0;
  int opened = 0;
  int closed = 0;
  // The threads that hold an open session: a fetch task opens and closes
  // its own on its thread.
  std::multiset<std::thread::id> holding;
  // Those held once the cache was set up (the log's).
  std::multiset<std::thread::id> held_at_start;
};
// Never destroyed: a fetch task left running at exit may still close its
// session.
Peer& peer = *new Peer;
bool started = false;

int fake_open(int) {
  std::lock_guard<std::mutex> g(peer.m);
  ++peer.opened;
  peer.holding.insert(std::this_thread::get_id());
  return 7;
}

void fake_close(int sid) {
  std::lock_guard<std::mutex> g(peer.m);
  if (sid != 7) return;
  ++peer.closed;
  auto it = peer.holding.find(std::this_thread::get_id());
  if (it != peer.holding.end()) peer.holding.erase(it);
}

// Answers ((Get path)) with ("header" raw raw): the file in two raw pieces
// around a member that is not raw.
ZU_SEXP* fake_session(ZUISP_ENV*, int sid, URL*, const L_CHAR*, const L_CHAR*, const L_CHAR* center, ZU_SEXP* cmd,
                      ZU_FILE*, int, int, REMOTE_SESSION_OPT*) {
  ZU_SEXP* get = get_el(cmd, 0);
  std::string path = n_string(utf8_cm, str_text(get_el(get, 1)));
  std::string bytes;
  bool found;
  {
    BlockingRegion outside;
    std::unique_lock<std::mutex> g(peer.m);
    ++peer.asked[path];
    ++peer.waiting;
    peer.cv.notify_all();
    peer.cv.wait(g, [] { return !peer.hold; });
    --peer.waiting;
    found = peer.files.count(path) != 0;
    if (found) bytes = peer.files[path];
  }
  if (sid != 7 || zu_wcmp_ascii(center, "Get") != 0 || !found) {
    return get_error_ascii(nullptr, 0, 0x80040a12, "RemoteSession", list(get_string_ascii("no such file")));
  }
  size_t half = bytes.size() / 2;
  return List(get_string_ascii("header"), get_raw(bytes.data(), static_cast<uint32_t>(half)),
              get_raw(bytes.data() + half, static_cast<uint32_t>(bytes.size() - half)), ZU_LIST_END);
}

void start(bool fake) {
  static bool done = [fake] {
    // The played session layer goes in after the real one, which
    // init_netsvc installs.
    init_netsvc();
    if (fake) {
      ZU_NET_OPS ops{};
      ops.open_session = fake_open;
      ops.close_session = fake_close;
      ops.remote_session = fake_session;
      set_net_ops(&ops);
    }
    init_zu();
    init_zu_ri();
    std::lock_guard<std::mutex> g(peer.m);
    peer.held_at_start = peer.holding;
    started = true;
    return true;
  }();
  (void)done;
}

// Whether every fetch has ended and every fetch task has closed its
// session: none is held that was not held once the cache was set up.
bool fetch_tasks_ended() {
  int cached = 0, fetching = 0;
  ri_counts(&cached, &fetching);
  std::lock_guard<std::mutex> g(peer.m);
  return fetching == 0 && std::includes(peer.held_at_start.begin(), peer.held_at_start.end(), peer.holding.begin(),
                                        peer.holding.end());
}

// A test ends once its fetch tasks have: one still running would go on
// through the process's exit.
class RawImage : public ::testing::Test {
 protected:
  void TearDown() override {
    if (started) {
      EXPECT_TRUE(wait_until(fetch_tasks_ended));
    }
  }
};

void serve(const std::string& path, const std::string& bytes) {
  std::lock_guard<std::mutex> g(peer.m);
  peer.files[path] = bytes;
}

void hold(bool on) {
  std::lock_guard<std::mutex> g(peer.m);
  peer.hold = on;
  peer.cv.notify_all();
}

int asked(const std::string& path) {
  std::lock_guard<std::mutex> g(peer.m);
  return peer.asked[path];
}

std::basic_string<L_CHAR> url(const std::string& path) {
  std::string u = "zup://img.test:9400/@pics" + path;
  return std::basic_string<L_CHAR>(u.begin(), u.end());
}

// ---- outside tools

std::string tool(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (size_t at = 0; at <= dirs.size();) {
    size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    std::string f = dirs.substr(at, end - at) + "/" + name;
    if (access(f.c_str(), X_OK) == 0) return f;
    at = end + 1;
  }
  ADD_FAILURE() << name << " is not installed (scripts/setup.sh installs it)";
  return "/nonexistent/" + name;
}

std::string run(const std::vector<std::string>& argv, const std::string& input) {
  std::vector<std::string> a = argv;
  a[0] = tool(a[0]);
  RunResult r = run_program(a, input);
  EXPECT_EQ(r.status, 0) << argv[0] << ": " << r.err;
  return r.out;
}

// A P6 image of w x h with few colours (so that a GIF holds it).
std::string ppm(int w, int h) {
  std::string p = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  uint32_t x = 12345;
  for (int i = 0; i < w * h * 3; ++i) {
    x = x * 1103515245 + 12345;
    p.push_back(static_cast<char>((x >> 16 & 3) * 85));
  }
  return p;
}

// The pixels of a P6 text (maxval 255) packed as the cache packs them.
std::vector<uint32_t> packed_ppm(const std::string& p, int* w, int* h) {
  size_t at = 2;
  int fields[3];
  for (int& f : fields) {
    while (at < p.size() && std::isspace(static_cast<unsigned char>(p[at]))) ++at;
    f = std::atoi(p.c_str() + at);
    while (at < p.size() && std::isdigit(static_cast<unsigned char>(p[at]))) ++at;
  }
  ++at;
  *w = fields[0];
  *h = fields[1];
  std::vector<uint32_t> px;
  for (size_t i = at; i + 2 < p.size(); i += 3) {
    auto c = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(p[i + k])) << 2; };
    px.push_back(c(0) | c(1) << 10 | c(2) << 20);
  }
  return px;
}

// A callback that records the operations it is given.
struct Caller {
  std::vector<int> ops;
  bool withdraw = false;
};
std::mutex callers_m;

int record(int op, RI_QUEUE* e, void* arg) {
  std::lock_guard<std::mutex> g(callers_m);
  if (op == RI_OP_SETUP) e->data = arg;
  auto* c = static_cast<Caller*>(e->data);
  if (c) c->ops.push_back(op);
  if (op == RI_OP_SAME) return e->data == arg ? 0 : 1;
  if (op == RI_OP_WITHDRAW) return c && c->withdraw ? 1 : 0;
  return 0;
}

std::vector<int> ops_of(const Caller& c) {
  std::lock_guard<std::mutex> g(callers_m);
  return c.ops;
}

// What the cache counted when a caller was told of an end (op 1, on the
// fetch task, without the cache's lock); -1 before.
std::atomic<int> cached_when_told{-1};

int count_at_end(int op, RI_QUEUE*, void*) {
  if (op == RI_OP_ENDED) {
    int cached = 0, fetching = 0;
    ri_counts(&cached, &fetching);
    cached_when_told = cached;
  }
  return op == RI_OP_SAME ? 1 : 0;
}

// Waits for the fetch of path to end: its state.
int wait_for(const std::string& path) {
  int err = 1;
  int len = 0;
  zu_search_ri_org(&err, &len, url(path).c_str());
  return err;
}

}  // namespace

TEST_F(RawImage, DecodedPixelsAreTheReferenceDecodersTimesFour) {
  start(true);
  std::string src = ppm(37, 23);
  std::string gif = run({"ppmtogif"}, src);
  std::string jpg = run({"cjpeg", "-quality", "85"}, src);
  struct Case {
    std::string path, bytes, reference;
  };
  const Case cases[] = {
      {"/p/a.gif", gif, run({"giftopnm"}, gif)},
      {"/p/a.jpg", jpg, run({"djpeg", "-ppm"}, jpg)},
      {"/p/b.jpeg", jpg, run({"djpeg", "-ppm"}, jpg)},
  };
  for (const Case& c : cases) {
    serve(c.path, c.bytes);
    ASSERT_EQ(wait_for(c.path), RI_READY) << c.path;
    int err = 1, w = 0, h = 0, len = 0;
    uint32_t* px = zu_get_ri(&err, &w, &h, nullptr, nullptr, url(c.path).c_str());
    ASSERT_NE(px, nullptr);
    int rw = 0, rh = 0;
    std::vector<uint32_t> want = packed_ppm(c.reference, &rw, &rh);
    ASSERT_EQ(std::make_pair(w, h), std::make_pair(rw, rh)) << c.path;
    EXPECT_EQ(std::vector<uint32_t>(px, px + w * h), want) << c.path;
    // The bytes as received, whole (they came in two pieces).
    uint8_t* org = zu_search_ri_org(&err, &len, url(c.path).c_str());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(org), static_cast<size_t>(len)), c.bytes);
    EXPECT_EQ(asked(c.path), 1);
  }
}

TEST_F(RawImage, CallersOfOneFetchAreToldOnceAndInOrder) {
  start(true);
  serve("/q/one.gif", run({"ppmtogif"}, ppm(4, 4)));
  hold(true);
  Caller a, b;
  int err = 0, w = 0, h = 0;
  EXPECT_EQ(zu_get_ri(&err, &w, &h, record, &a, url("/q/one.gif").c_str()), nullptr);
  EXPECT_EQ(err, RI_FETCHING);
  zu_get_ri(&err, &w, &h, record, &b, url("/q/one.gif").c_str());
  zu_get_ri(&err, &w, &h, record, &a, url("/q/one.gif").c_str());  // a again: op 3 says it is served
  EXPECT_EQ(err, RI_FETCHING);
  hold(false);
  EXPECT_EQ(wait_for("/q/one.gif"), RI_READY);
  // b is told first (the newest caller), each told of the end and then
  // released.
  ASSERT_TRUE(wait_until([&] { return ops_of(a).size() >= 5 && ops_of(b).size() >= 4; }));
  EXPECT_EQ(asked("/q/one.gif"), 1);
  // Each request of the function asks its entries (newest first) whether
  // one serves it: b's asked a's, a's second asked b's and then its own.
  EXPECT_EQ(ops_of(a), (std::vector<int>{RI_OP_SETUP, RI_OP_SAME, RI_OP_SAME, RI_OP_ENDED, RI_OP_RELEASE}));
  EXPECT_EQ(ops_of(b), (std::vector<int>{RI_OP_SETUP, RI_OP_SAME, RI_OP_ENDED, RI_OP_RELEASE}));
  // A caller that withdraws at the tick is released and never told the end.
  hold(true);
  Caller c;
  c.withdraw = true;
  zu_get_ri(&err, &w, &h, record, &c, url("/q/two.gif").c_str());
  ri_tick(nullptr);
  hold(false);
  EXPECT_EQ(wait_for("/q/two.gif"), RI_FAILED);  // never served: the peer has no such file
  EXPECT_EQ(ops_of(c), (std::vector<int>{RI_OP_SETUP, RI_OP_WITHDRAW, RI_OP_RELEASE}));
}

TEST_F(RawImage, FailuresEndInStateMinusOneWithoutRefetching) {
  start(true);
  std::string gif = run({"ppmtogif"}, ppm(5, 3));
  // A header that claims 65535 x 65535 (the largest a GIF can say) and
  // then an image descriptor of that size.
  std::string huge = gif.substr(0, 6) + std::string("\xff\xff\xff\xff\x00\x00\x00", 7) + "," +
                     std::string("\0\0\0\0\xff\xff\xff\xff\x00", 9) + std::string("\x02\x02\x44\x01\x00;", 6);
  const std::pair<std::string, std::string> cases[] = {
      {"/f/a.png", gif},                                         // no decoder for the extension
      {"/f/noext", gif},                                         // no extension at all
      {"/f/bad.gif", "GIF89a" + std::string(7, '\0') + ";"},  // no image in it
      {"/f/huge.gif", huge},
      {"/f/bad.jpg", "\xff\xd8\xff\xe0 not a jpeg"},
      {"/f/missing.gif", ""},                                    // the peer answers an error
  };
  for (const auto& [path, bytes] : cases) {
    if (!bytes.empty()) serve(path, bytes);
    EXPECT_EQ(wait_for(path), RI_FAILED) << path;
    int err = 0, w = 7, h = 7;
    EXPECT_EQ(zu_get_ri(&err, &w, &h, nullptr, nullptr, url(path).c_str()), nullptr);
    EXPECT_EQ(err, RI_FAILED);
    EXPECT_EQ(asked(path), 1) << path;
  }
  // The error a decoding failure reports.
  ZuThreadScope scope("test");
  int w = 1, h = 1;
  ZU_SEXP* e = nullptr;
  std::basic_string<L_CHAR> png = url("/f/a.png");
  EXPECT_EQ(decompress(&w, &h, &e, reinterpret_cast<const uint8_t*>(gif.data()), static_cast<int>(gif.size()),
                       png.c_str()),
            nullptr);
  EXPECT_EQ(w + h, 0);
  ASSERT_EQ(get_type(e), ZU_TYPE_ERROR);
  EXPECT_EQ(error_code(e), 0x8004070eu);
  EXPECT_EQ(n_string(utf8_cm, str_text(get_el(e->error->data, 0))), std::string("undefined the image data"));
}

TEST_F(RawImage, TheLeastRecentlyUsedEndedImageMakesRoom) {
  start(true);
  std::string gif = run({"ppmtogif"}, ppm(2, 2));
  auto name = [](int i) { return "/l/" + std::to_string(i) + ".gif"; };
  for (int i = 0; i < 100; ++i) serve(name(i), gif);
  for (int i = 0; i < 99; ++i) ASSERT_EQ(wait_for(name(i)), RI_READY);
  int cached = 0, fetching = 0;
  ri_counts(&cached, &fetching);
  EXPECT_EQ(cached, 99);
  // Image 0 is asked for again: image 1 is now the least recently used.
  int err = 0, w = 0, h = 0;
  EXPECT_NE(zu_get_ri(&err, &w, &h, nullptr, nullptr, url(name(0)).c_str()), nullptr);
  // Room is made before the end is seen: by a caller told of it, and by
  // one that waited for it.
  EXPECT_EQ(zu_get_ri(&err, &w, &h, count_at_end, nullptr, url(name(99)).c_str()), nullptr);
  EXPECT_EQ(wait_for(name(99)), RI_READY);
  ri_counts(&cached, &fetching);
  EXPECT_EQ(cached, 99);
  ASSERT_TRUE(wait_until([] { return cached_when_told >= 0; }));
  EXPECT_EQ(cached_when_told, 99);
  EXPECT_NE(zu_get_ri(&err, &w, &h, nullptr, nullptr, url(name(0)).c_str()), nullptr);
  EXPECT_EQ(zu_get_ri(&err, &w, &h, nullptr, nullptr, url(name(1)).c_str()), nullptr);
  EXPECT_EQ(err, RI_FETCHING);  // it had gone: it is fetched again
  EXPECT_EQ(wait_for(name(1)), RI_READY);
  EXPECT_EQ(asked(name(1)), 2);
  // Deleting: not while it is being fetched; an ended one goes.
  hold(true);
  zu_get_ri(&err, &w, &h, nullptr, nullptr, url("/l/late.gif").c_str());
  EXPECT_EQ(delete_ri(url("/l/late.gif").c_str()), -1);
  hold(false);
  wait_for("/l/late.gif");
  // Once its callers have been told, it goes.
  EXPECT_TRUE(wait_until([] { return delete_ri(url("/l/late.gif").c_str()) == 0; }));
  EXPECT_EQ(delete_ri(url("/l/late.gif").c_str()), -1);
}

TEST_F(RawImage, AtMostAThousandFetchesAtOnce) {
  start(true);
  // Fetches of earlier tests in this process end first. Their tasks may
  // still close sessions after this; sessions are judged by who holds them.
  ASSERT_TRUE(wait_until([] {
    int c = 0, f = 0;
    ri_counts(&c, &f);
    return f == 0;
  }));
  int opened = 0;
  std::multiset<std::thread::id> held;  // the log's, and earlier tasks'
  {
    std::lock_guard<std::mutex> g(peer.m);
    opened = peer.opened;
    held = peer.holding;
  }
  auto name = [](int i) { return "/m/" + std::to_string(i) + ".gif"; };
  std::string gif = run({"ppmtogif"}, ppm(1, 1));
  for (int i = 0; i < kRawImageFetchingMax; ++i) serve(name(i), gif);
  hold(true);
  int err = 0, w = 0, h = 0;
  for (int i = 0; i < kRawImageFetchingMax; ++i) {
    zu_get_ri(&err, &w, &h, nullptr, nullptr, url(name(i)).c_str());
    ASSERT_EQ(err, RI_FETCHING);
  }
  zu_get_ri(&err, &w, &h, nullptr, nullptr, url(name(kRawImageFetchingMax)).c_str());
  EXPECT_EQ(err, RI_FAILED);
  int cached = 0, fetching = 0;
  ri_counts(&cached, &fetching);
  EXPECT_EQ(fetching, kRawImageFetchingMax);
  // Not a URL: nothing is queued either.
  std::basic_string<L_CHAR> plain = {'x', '.', 'g', 'i', 'f'};
  hold(false);
  EXPECT_EQ(zu_get_ri(&err, &w, &h, nullptr, nullptr, plain.c_str()), nullptr);
  EXPECT_EQ(err, RI_FAILED);
  EXPECT_EQ(wait_for(name(kRawImageFetchingMax - 1)), RI_READY);
  ASSERT_TRUE(wait_until([] {
    int c = 0, f = 0;
    ri_counts(&c, &f);
    return f == 0;
  }));
  // One session per fetch task, closed when the task ends: none is held
  // that was not held before.
  ASSERT_TRUE(wait_until([opened, &held] {
    std::lock_guard<std::mutex> g(peer.m);
    return peer.opened > opened &&
           std::includes(held.begin(), held.end(), peer.holding.begin(), peer.holding.end());
  }));
  ri_counts(&cached, &fetching);
  EXPECT_EQ(cached, kRawImageKeep);
}

// Without a session layer the fetch fails cleanly: the stand-in's error.
QNMX_CHILD_BODY(raw_image_without_sessions) {
  start(false);
  int err = 1;
  int len = 0;
  uint8_t* bytes = zu_search_ri_org(&err, &len, url("/s/a.gif").c_str());
  return bytes == nullptr && err == RI_FAILED && len == -1 ? 0 : 1;
}

// Over a real http session: a server of this test answers one request
// with the image, as a web server would.
QNMX_CHILD_BODY(raw_image_over_http) {
  start(false);
  std::string gif = run({"ppmtogif"}, ppm(5, 3));
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 1) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return 2;
  std::string request;
  std::thread server([&] {
    int c = accept(fd, nullptr, nullptr);
    char buf[512];
    while (request.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = read(c, buf, sizeof buf);
      if (n <= 0) break;
      request.append(buf, static_cast<size_t>(n));
    }
    std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: image/gif\r\n\r\n" + gif;
    (void)!write(c, reply.data(), reply.size());
    close(c);
  });
  std::string u = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/pics/a.gif";
  int err = 1, size = 0, w = 0, h = 0;
  uint8_t* bytes = zu_search_ri_org(&err, &size, std::basic_string<L_CHAR>(u.begin(), u.end()).c_str());
  server.join();
  close(fd);
  bool same = bytes && std::string(reinterpret_cast<char*>(bytes), static_cast<size_t>(size)) == gif;
  uint32_t* px = zu_get_ri(&err, &w, &h, nullptr, nullptr, std::basic_string<L_CHAR>(u.begin(), u.end()).c_str());
  int rw = 0, rh = 0;
  std::vector<uint32_t> want = packed_ppm(run({"giftopnm"}, gif), &rw, &rh);
  bool pixels = px && w == rw && h == rh && std::vector<uint32_t>(px, px + w * h) == want;
  bool asked = request.rfind("GET /pics/a.gif HTTP/1.0\r\n", 0) == 0;
  return same && pixels && asked ? 0 : 1;
}

TEST_F(RawImage, ImagesComeOverHttpSessions) {
  RunResult r = run_body("raw_image_over_http", {});
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(RawImage, WithoutSessionsAFetchFailsCleanly) {
  RunResult r = run_body("raw_image_without_sessions", {});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("raw Image error zup://img.test:9400/@pics/s/a.gif "), std::string::npos) << r.err;
}
