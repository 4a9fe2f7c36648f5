// HTTP headers, the chunked reader, the ZUoHTTP header and the agent's reply
// lines, over in-memory streams.
#include <gtest/gtest.h>

#include <string>

#include "netsvc/http_agent.h"
#include "netsvc/http_chunk.h"
#include "netsvc/http_header.h"
#include "netsvc/zuohttp.h"
#include "stream/stream.h"
#include "text/codemethod.h"

namespace {

STREAM* reading(const std::string& bytes) {
  return s_open_string_read(bytes.data(), utf8_cm, static_cast<int>(bytes.size()), 1);
}

std::string rest_of(STREAM* s) {
  std::string r;
  char buf[256];
  for (int n; (n = s_read(s, buf, sizeof buf)) > 0;) r.append(buf, static_cast<size_t>(n));
  return r;
}

struct Parsed {
  int rc;
  std::string method, dir, type, charset;
  int ver, rev, err, length, flags;
  std::string left;  // what the parser did not take
};

Parsed parse(const std::string& text, int flag) {
  STREAM* s = reading(text);
  HTTP_INFO info;
  Parsed p{};
  p.rc = scan_HTTP(&info, s, flag);
  if (p.rc == 0) {
    auto str = [](const char* t) { return std::string(t ? t : "<null>"); };
    p = Parsed{0, str(info.method), str(info.dir), str(info.content_type), str(info.charset), info.http_ver,
               info.http_rev, info.err, info.content_length, info.flags, rest_of(s)};
    free_HTTP_info(&info);
  }
  d_s_close(s);
  return p;
}

TEST(HttpHeader, RequestsAndReplies) {
  struct Case {
    int flag;
    std::string text;
    Parsed want;
  } cases[] = {
      {1, "POST http://h:1/cgi-bin/zusv.cgi HTTP/1.0\r\nConnection: Keep-Alive\r\nContent-Length: 15\r\n\r\nBODY",
       {0, "POST", "http://h:1/cgi-bin/zusv.cgi", "<null>", "<null>", 1, 0, 200, 15, HTTP_F_KEEP_ALIVE, "BODY"}},
      // Words split on blanks and tabs, carriage returns dropped, case ignored.
      {1, "\tGET  /a?b=1 \t HTTP/2\nproxy-connection:\tKEEP-ALIVE\ntransfer-encoding: chunked\r\n"
          "CONTENT-TYPE: text/xml; charset=EUC-JP\nX-Other: y\nContent-Length:\n\nz",
       {0, "GET", "/a?b=1", "text/xml", "EUC-JP", 2, 0, 200, -1, HTTP_F_KEEP_ALIVE | HTTP_F_CHUNKED, "z"}},
      // Without a target the header ends with the request line (0.9).
      {1, "GET\r\nrest", {0, "GET", "<null>", "<null>", "<null>", 0, 9, 200, -1, 0, "rest"}},
      {1, "GET /x HTTP1.1\r\nContent-Type: a/b c\r\n\r\n",
       {0, "GET", "/x", "a/b", "c", 0, 9, 200, -1, 0, ""}},
      {0, "HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n",
       {0, "<null>", "<null>", "<null>", "<null>", 0, 0, 503, 0, 0, ""}},
      // Refused: no method, a long method, unreadable or conflicting
      // lengths, a header cut off.
      {1, "\r\n\r\n", {-1}},
      {1, std::string(33, 'M') + " / HTTP/1.0\r\n\r\n", {-1}},
      {1, "POST / HTTP/1.0\r\nContent-Length: 99999999999\r\n\r\n", {-1}},
      {1, "POST / HTTP/1.0\r\nContent-Length: -5\r\n\r\n", {-1}},
      {1, "POST / HTTP/1.0\r\nContent-Length: 12abc\r\n\r\n", {-1}},
      {1, "POST / HTTP/1.0\r\nContent-Length: 12\r\nContent-Length: 13\r\n\r\n", {-1}},
      {1, "POST / HTTP/1.0\r\nHost: x\r\n", {-1}},
  };
  for (const Case& c : cases) {
    Parsed got = parse(c.text, c.flag);
    SCOPED_TRACE(c.text);
    ASSERT_EQ(got.rc, c.want.rc);
    if (got.rc < 0) continue;
    EXPECT_EQ(got.method, c.want.method);
    EXPECT_EQ(got.dir, c.want.dir);
    EXPECT_EQ(got.type, c.want.type);
    EXPECT_EQ(got.charset, c.want.charset);
    EXPECT_EQ(got.ver * 100 + got.rev, c.want.ver * 100 + c.want.rev);
    EXPECT_EQ(got.err, c.want.err);
    EXPECT_EQ(got.length, c.want.length);
    EXPECT_EQ(got.flags, c.want.flags);
    EXPECT_EQ(got.left, c.want.left);
  }
}

TEST(HttpHeader, Caps) {
  std::string line = "GET / HTTP/1.0\r\nX: " + std::string(kHttpMaxLine - 5, 'a') + "\r\n\r\n";
  EXPECT_EQ(parse(line, 1).rc, 0);  // the longest line that fits, with its line end
  line.insert(20, "a");
  EXPECT_EQ(parse(line, 1).rc, -1);
  std::string many = "GET / HTTP/1.0\r\n";
  for (int i = 1; i < kHttpMaxLines - 1; ++i) many += "X: 1\r\n";
  EXPECT_EQ(parse(many + "\r\n", 1).rc, 0);
  EXPECT_EQ(parse(many + "X: 1\r\n\r\n", 1).rc, -1);
  std::string big = "GET / HTTP/1.0\r\n";
  for (int i = 0; i < 9; ++i) big += "X: " + std::string(8000, 'b') + "\r\n";
  EXPECT_EQ(parse(big + "\r\n", 1).rc, -1);  // over 64 KiB in all
}

TEST(HttpHeader, TargetPaths) {
  EXPECT_STREQ(http_target_path("/cgi-bin/zusv.cgi"), "/cgi-bin/zusv.cgi");
  EXPECT_STREQ(http_target_path("HTTP://h:80/cgi-bin/zusv3.cgi?x"), "/cgi-bin/zusv3.cgi?x");
  EXPECT_STREQ(http_target_path("http://h:80"), "/");
  EXPECT_TRUE(is_zuohttp_path("/cgi-bin/zusv17.cgi"));
  EXPECT_TRUE(is_zuohttp_path("/cgi-bin/upload.cgi"));
  EXPECT_FALSE(is_zuohttp_path("/cgi-bin/download.cgi?x"));
}

// Reads a chunked body through s_chunk_read in pieces of `piece` bytes:
// the body, then what follows it.
std::string chunked(const std::string& wire, int piece, int* rc, std::string* after) {
  STREAM* s = reading(wire);
  std::string body;
  *rc = chunk_read_start(s);
  if (*rc == 0) {
    std::string buf(static_cast<size_t>(piece), 0);
    int n;
    while ((n = s_chunk_read(s, buf.data(), piece)) > 0) body.append(buf.data(), static_cast<size_t>(n));
    *rc = n;
    chunk_read_end(s);
  }
  *after = rest_of(s);
  d_s_close(s);
  return body;
}

TEST(HttpChunk, BodiesAcrossChunks) {
  struct Case {
    std::string wire;
    int rc;
    std::string body, after;
  } cases[] = {
      {"5\r\nhello\r\n7;ext=1\r\n, world\r\n0\r\n\r\nNEXT", 0, "hello, world", "NEXT"},
      {"a\r\n0123456789\r\n0\r\n\r\n", 0, "0123456789", ""},
      {"0\r\n\r\nNEXT", 0, "", "NEXT"},
      {"1\r\nx\r\n", -1, "x", ""},                     // cut off after a chunk
      {"9\r\nshort", -1, "short", ""},                  // cut off inside one
      {"123456789\r\n", -1, "", "\r\n"},                // more than 8 digits
      {"80000000\r\n", -1, "", "\n"},                   // above INT_MAX
      {"4\r\nabcd\r\n0\r\n", 0, "abcd", ""},            // closing line end missing
  };
  for (const Case& c : cases) {
    for (int piece : {1, 3, 12, 4096}) {
      SCOPED_TRACE(c.wire + " piece " + std::to_string(piece));
      int rc;
      std::string after;
      std::string body = chunked(c.wire, piece, &rc, &after);
      EXPECT_EQ(body, c.body);
      EXPECT_EQ(rc, c.rc);
      EXPECT_EQ(after, c.after);
    }
  }
  // A stream that is not registered reads plainly.
  STREAM* s = reading("5\r\nplain");
  char buf[16];
  EXPECT_EQ(s_chunk_read(s, buf, sizeof buf), 8);
  d_s_close(s);
}

TEST(ZoHHeader, WireOrderAndSum) {
  ZUoHTTP_HEADER h{ZOH_DATA, 0, -2, {0x01020304u, 0xA0B0C0D0u}};
  unsigned char w[kZoHHeaderSize];
  zoh_header_to_wire(&h, w);
  const unsigned char want[] = {2, 0, 0xff, 0xfe, 1, 2, 3, 4, 0xa0, 0xb0, 0xc0, 0xd0};
  unsigned sum = 0;
  for (int i = 0; i < kZoHHeaderSize; ++i) {
    if (i != 1) EXPECT_EQ(w[i], want[i]) << i;
    sum += w[i];
  }
  EXPECT_EQ(sum % 256, 0u);
  ZUoHTTP_HEADER back;
  EXPECT_EQ(zoh_header_from_wire(w, &back), 0);
  EXPECT_EQ(back.seq, -2);
  EXPECT_EQ(back.cockie[1], 0xA0B0C0D0u);
  w[7] ^= 0x10;
  EXPECT_EQ(zoh_header_from_wire(w, &back), -1);
}

TEST(HttpAgent, ReplyLinesAndErrorPage) {
  STREAM* s = s_open_string_write(utf8_cm);
  HTTP_INFO info{};
  info.err = 200;
  info.content_length = 5;
  info.flags = HTTP_F_KEEP_ALIVE | HTTP_F_NO_CACHE;
  char type[] = "image/gif";
  info.content_type = type;
  output_server_header_by_info(s, &info);
  info.err2 = &http_status_internal;
  info.content_type = nullptr;
  info.content_length = -1;
  info.flags = 0;
  output_server_header_by_info(s, &info);
  output_error_print(s, &http_status_busy, "/a<b>&\"", nullptr);
  EXPECT_EQ(std::string(s_get_string(s)),
            "HTTP/1.1 200 OK\r\nDate: Fri, 20 Sep 2002 09:36:44 GMT\r\nServer: PELANOR QUARVEN SERVER\r\n"
            "Connection: keep-alive\r\nContent-Type: image/gif\r\nContent-Length: 5\r\n"
            "Expires: -1\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n\r\n"
            "HTTP/1.1 500 Internal Server Error\r\nDate: Fri, 20 Sep 2002 09:36:44 GMT\r\n"
            "Server: PELANOR QUARVEN SERVER\r\nConnection: close\r\nContent-Type: text/html\r\n\r\n"
            "<HTML>\n\r<HEAD>\n\r<TITLE>PELANOR HTTP AGENT ERROR</TITLE>\n\r</HEAD>\n\r<BODY>\n\r<HR>\n\r"
            "HTTP Status: 503 Service Unavailable\n\r<HR>\n\rMessage: /a&lt;b&gt;&amp;&quot;<BR>\n\r"
            "ZU Code:\n\r<BR>\n\r<HR>\n\r</BODY>\n\r</HTML>\n\r");
  d_s_close(s);
}

}  // namespace
