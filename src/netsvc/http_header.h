// HTTP headers as every HTTP reader of the system parses them: requests on
// the accepting port (ZUoHTTP and the HTTP agent) and replies read by the
// clients.
//
// The parser reads byte by byte from the stream layer's read buffer, so it
// never takes more of the connection than the header: the body that follows
// is still there for whoever reads it next. A peer controls every byte, so
// lines, the header and the method word have caps; past a cap, or with an
// unreadable length, the whole header is refused and the caller closes the
// connection without a reply.
#pragma once

#include <cstdint>

struct STREAM;

// Caps on what a peer may send as a header.
constexpr int kHttpMaxLine = 8 * 1024;
constexpr int kHttpMaxHeader = 64 * 1024;
constexpr int kHttpMaxLines = 100;
constexpr int kHttpMaxMethod = 32;

// A status of a reply: its code and text.
struct HTTP_ERR {
  int code;
  const char* msg;
};
extern const HTTP_ERR http_status_ok;               // 200 "OK"
extern const HTTP_ERR http_status_not_found;        // 404 "Not Found"
extern const HTTP_ERR http_status_internal;         // 500 "Internal Server Error"
extern const HTTP_ERR http_status_not_implemented;  // 501 "Not Implemented"
extern const HTTP_ERR http_status_busy;             // 503 "Service Unavailable"

// Flags of HTTP_INFO.
constexpr int HTTP_F_KEEP_ALIVE = 1;  // "Connection:"/"Proxy-Connection:" Keep-Alive
constexpr int HTTP_F_CHUNKED = 2;     // "Transfer-Encoding: chunked"
constexpr int HTTP_F_NO_CACHE = 4;    // a reply asks the client not to cache it

// A parsed header. The texts are owned (tagged allocations) or null.
struct HTTP_INFO {
  int16_t http_ver;
  int16_t http_rev;
  int err;                   // the status of a reply; 200 until a status line says otherwise
  const HTTP_ERR* err2;      // a reply's own status (the HTTP agent's), or null
  char* method;
  char* dir;                 // the request target as sent
  char* content_type;
  char* charset;
  int content_length;        // -1 when absent
  int flags;                 // HTTP_F_*
};

// Reads and parses a header from con: flag 1 a request (method, target and
// version on the first line), 0 a reply. 0, or -1 when the stream ended or
// failed first, a cap was passed, a line holds a zero byte, a request line
// has no method, or a
// Content-Length is not a plain decimal number that fits an int (a second
// one that differs from the first is refused too). On -1 nothing is left
// to free.
int scan_HTTP(HTTP_INFO* info, STREAM* con, int flag);
// Frees the texts of info (not info itself).
void free_HTTP_info(HTTP_INFO* info);

// The path of a request target: the target itself in origin form
// ("/cgi-bin/zusv.cgi"), the part from the first "/" after the authority in
// absolute form ("http://host:port/cgi-bin/zusv.cgi"; "/" when none).
const char* http_target_path(const char* dir);
