// HTTP headers, the chunked reader and the agent's reply lines, over
// in-memory streams.
#include <gtest/gtest.h>

#include <string>

#include "netsvc/http_agent.h"
#include "netsvc/http_chunk.h"
#include "netsvc/http_header.h"
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

// The parse as one line: method|target|type|charset|ver.rev|err|length|flags|rest
// (the bytes left on the stream), or "refused".
std::string parse(const std::string& text, int flag) {
  STREAM* s = reading(text);
  HTTP_INFO i;
  std::string r = "refused";
  if (scan_HTTP(&i, s, flag) == 0) {
    auto t = [](const char* p) { return std::string(p ? p : "-") + "|"; };
    r = t(i.method) + t(i.dir) + t(i.content_type) + t(i.charset) + std::to_string(i.http_ver) + "." +
        std::to_string(i.http_rev) + "|" + std::to_string(i.err) + "|" + std::to_string(i.content_length) + "|" +
        std::to_string(i.flags) + "|" + rest_of(s);
    free_HTTP_info(&i);
  }
  d_s_close(s);
  return r;
}

TEST(HttpHeader, RequestsRepliesAndCaps) {
  std::string many;  // with the request line and the empty one: 100 lines
  for (int i = 2; i < kHttpMaxLines; ++i) many += "X: 1\n";
  std::string big;
  for (int i = 0; i < 9; ++i) big += "X: " + std::string(8000, 'b') + "\n";
  const std::pair<std::string, std::string> requests[] = {
      {"POST http://h:1/cgi-bin/zusv.cgi HTTP/1.0\r\nConnection: Keep-Alive\r\nContent-Length: 15\r\n\r\nBODY",
       "POST|http://h:1/cgi-bin/zusv.cgi|-|-|1.0|200|15|1|BODY"},
      // Blanks and tabs split words, carriage returns go, case is ignored.
      {"\tGET  /a?b=1 \t HTTP/2\nproxy-connection:\tKEEP-ALIVE\ntransfer-encoding: chunked\r\n"
       "CONTENT-TYPE: text/xml; charset=EUC-JP\nX-Other: y\nContent-Length:\n\nz",
       "GET|/a?b=1|text/xml|EUC-JP|2.0|200|-1|3|z"},
      {"GET\r\nrest", "GET|-|-|-|0.9|200|-1|0|rest"},  // no target: the request line is all
      {"GET /x HTTP1.1\r\nContent-Type: a/b c\r\n\r\n", "GET|/x|a/b|c|0.9|200|-1|0|"},
      // The charset with no blank after the ";", and in quotes.
      {"POST / HTTP/1.0\r\nContent-Type: text/xml;charset=utf-8\r\n\r\n", "POST|/|text/xml|utf-8|1.0|200|-1|0|"},
      {"POST / HTTP/1.0\r\nContent-Type: text/xml; charset=\"EUC-JP\"\r\n\r\n", "POST|/|text/xml|EUC-JP|1.0|200|-1|0|"},
      {"GET / HTTP/1.0\r\nX: " + std::string(kHttpMaxLine - 5, 'a') + "\r\n\r\n!", "GET|/|-|-|1.0|200|-1|0|!"},
      {"GET / HTTP/1.0\r\nX: " + std::string(kHttpMaxLine - 4, 'a') + "\r\n\r\n", "refused"},
      {"GET / HTTP/1.0\n" + many + "\n", "GET|/|-|-|1.0|200|-1|0|"},
      {"GET / HTTP/1.0\nX: y\n" + many, "refused"},  // more than 100 lines
      {"GET / HTTP/1.0\n" + big + "\n", "refused"},  // over 64 KiB in all
      {"\r\n\r\n", "refused"},
      {std::string(33, 'M') + " / HTTP/1.0\r\n\r\n", "refused"},
      {"POST / HTTP/1.0\r\nContent-Length: 99999999999\r\n\r\n", "refused"},
      {"POST / HTTP/1.0\r\nContent-Length: -5\r\n\r\n", "refused"},
      {"POST / HTTP/1.0\r\nContent-Length: 12abc\r\n\r\n", "refused"},
      {"POST / HTTP/1.0\r\nContent-Length: 12\r\nContent-Length: 13\r\n\r\n", "refused"},
      {std::string("POST /a\0b HTTP/1.0\r\n\r\n", 21), "refused"},
      {"POST / HTTP/1.0\r\nHost: x\r\n", "refused"},
  };
  for (const auto& [text, want] : requests) EXPECT_EQ(parse(text, 1), want) << text.substr(0, 80);
  EXPECT_EQ(parse("HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n", 0), "-|-|-|-|0.0|503|0|0|");
}

TEST(HttpHeader, TargetPaths) {
  EXPECT_STREQ(http_target_path("/cgi-bin/zusv.cgi"), "/cgi-bin/zusv.cgi");
  EXPECT_STREQ(http_target_path("HTTP://h:80/cgi-bin/zusv3.cgi?x"), "/cgi-bin/zusv3.cgi?x");
  EXPECT_STREQ(http_target_path("http://h:80"), "/");
  EXPECT_TRUE(is_zuohttp_path("/cgi-bin/zusv17.cgi"));
  EXPECT_TRUE(is_zuohttp_path("/cgi-bin/upload.cgi"));
  EXPECT_FALSE(is_zuohttp_path("/cgi-bin/download.cgi?x"));
}

// A chunked body read through s_chunk_read in pieces of `piece` bytes:
// "body|last result|what follows the body".
std::string chunked(const std::string& wire, int piece) {
  STREAM* s = reading(wire);
  std::string body, buf(static_cast<size_t>(piece), 0);
  int n = chunk_read_start(s);
  while (n == 0 && (n = s_chunk_read(s, buf.data(), piece)) > 0) {
    body.append(buf.data(), static_cast<size_t>(n));
    n = 0;
  }
  chunk_read_end(s);
  std::string r = body + "|" + std::to_string(n) + "|" + rest_of(s);
  d_s_close(s);
  return r;
}

TEST(HttpChunk, BodiesAcrossChunks) {
  const std::pair<const char*, const char*> cases[] = {
      {"5\r\nhello\r\n7;ext=1\r\n, world\r\n0\r\n\r\nNEXT", "hello, world|0|NEXT"},
      {"a\r\n0123456789\r\n0\r\n\r\n", "0123456789|0|"},
      {"0\r\n\r\nNEXT", "|0|NEXT"},
      {"1\r\nx\r\n", "x|-1|"},                // cut off after a chunk
      {"9\r\nshort", "short|-1|"},              // cut off inside one
      {"123456789\r\n", "|-1|\r\n"},          // more than 8 digits
      {"80000000\r\n", "|-1|\n"},              // above INT_MAX
      {"4\r\nabcd\r\n0\r\n", "abcd|0|"},     // the closing line end missing
      // A size line without a digit is broken, never the last chunk.
      {"5\r\nhello\r\n\r\n", "hello|-1|\n"},
      {"5\r\nhello\r\n;x\r\n\r\nNEXT", "hello|-1|x\r\n\r\nNEXT"},
      {"\r\n", "|-1|\n"},
  };
  for (const auto& [wire, want] : cases) {
    for (int piece : {1, 3, 12, 4096}) EXPECT_EQ(chunked(wire, piece), want) << wire << " piece " << piece;
  }
  STREAM* s = reading("5\r\nplain");  // not registered: a plain read
  char buf[16];
  EXPECT_EQ(s_chunk_read(s, buf, sizeof buf), 8);
  d_s_close(s);
}

// The agent's reply lines with everything a page of its own may set (the
// error page itself is checked from outside).
TEST(HttpAgent, ReplyLinesOfAPage) {
  STREAM* s = s_open_string_write(utf8_cm);
  char type[] = "image/gif";
  HTTP_INFO info{0, 0, 200, nullptr, nullptr, nullptr, type, nullptr, 5, HTTP_F_KEEP_ALIVE | HTTP_F_NO_CACHE};
  output_server_header_by_info(s, &info);
  EXPECT_EQ(std::string(s_get_string(s)),
            "HTTP/1.1 200 OK\r\nDate: Fri, 20 Sep 2002 09:36:44 GMT\r\nServer: PELANOR QUARVEN SERVER\r\n"
            "Connection: keep-alive\r\nContent-Type: image/gif\r\nContent-Length: 5\r\n"
            "Expires: -1\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n\r\n");
  d_s_close(s);
}

}  // namespace
