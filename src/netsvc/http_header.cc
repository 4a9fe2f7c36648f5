#include "netsvc/http_header.h"

#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>

#include "base/alloc.h"
#include "stream/stream.h"

const HTTP_ERR http_status_ok = {200, "OK"};
const HTTP_ERR http_status_not_found = {404, "Not Found"};
const HTTP_ERR http_status_internal = {500, "Internal Server Error"};
const HTTP_ERR http_status_not_implemented = {501, "Not Implemented"};
const HTTP_ERR http_status_busy = {503, "Service Unavailable"};

namespace {

// Reads one line at a time within the caps, taking what the stream has
// buffered a piece at a time; the line's bytes stay in one reused buffer.
class LineReader {
 public:
  explicit LineReader(STREAM* con) : con_(con) { line_.reserve(256); }
  // 1 with the line (carriage returns dropped) in line(), -1 on the end of
  // the stream, a read failure or a cap.
  int next() {
    line_.clear();
    int raw = 0;
    for (;;) {
      // Nothing past a cap is taken from the stream.
      int room = std::min({kHttpMaxLine - raw, kHttpMaxHeader - total_, static_cast<int>(sizeof buf_)});
      int n = room > 0 ? s_read_until(con_, buf_, room, '\n') : -1;
      if (n <= 0) return -1;
      total_ += n;
      raw += n;
      bool end = buf_[n - 1] == '\n';
      for (int i = 0; i < n - end; ++i) {
        if (buf_[i] == 0) return -1;
        if (buf_[i] != '\r') line_.push_back(buf_[i]);
      }
      if (end) break;
    }
    return ++lines_ > kHttpMaxLines ? -1 : 1;
  }
  std::string_view line() const { return line_; }

 private:
  STREAM* con_;
  std::string line_;
  char buf_[1024];
  int total_ = 0;
  int lines_ = 0;
};

constexpr int kWords = 3;

// The first words of a line, separated by blanks and tabs; their number.
int split(std::string_view line, std::string_view* w) {
  int n = 0;
  size_t at = 0;
  while (n < kWords) {
    at = line.find_first_not_of(" \t", at);
    if (at == std::string_view::npos) break;
    size_t end = line.find_first_of(" \t", at);
    if (end == std::string_view::npos) end = line.size();
    w[n++] = line.substr(at, end - at);
    at = end;
  }
  return n;
}

bool same(std::string_view a, const char* b) {
  return a.size() == std::strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

bool begins(std::string_view a, const char* b) {
  size_t n = std::strlen(b);
  return a.size() >= n && strncasecmp(a.data(), b, n) == 0;
}

char* dup(std::string_view t) {
  auto* p = static_cast<char*>(d_alloc(t.size() + 1));
  std::memcpy(p, t.data(), t.size());
  p[t.size()] = 0;
  return p;
}

// A Content-Length: decimal digits only, within an int; -1 otherwise.
int length_of(std::string_view t) {
  if (t.empty()) return -1;
  long long v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
    if (v > INT_MAX) return -1;
  }
  return static_cast<int>(v);
}

// Leading digits (after an optional sign) as a number held within
// [-limit, limit]; false when there are none.
bool leading_int(std::string_view t, long long limit, long long* out) {
  size_t i = 0;
  bool neg = false;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) neg = t[i++] == '-';
  if (i == t.size() || t[i] < '0' || t[i] > '9') return false;
  long long v = 0;
  for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) v = v < limit ? v * 10 + (t[i] - '0') : limit;
  if (v > limit) v = limit;
  *out = neg ? -v : v;
  return true;
}

int16_t version_part(std::string_view t) {
  long long v = 0;
  return leading_int(t, INT16_MAX, &v) ? static_cast<int16_t>(v) : 0;
}

// "HTTP/1.0": the numbers after "/" and after "."; no "/" reads as 0.9.
void read_version(HTTP_INFO* info, std::string_view w) {
  size_t slash = w.find('/');
  if (slash == std::string_view::npos) {
    info->http_ver = 0;
    info->http_rev = 9;
    return;
  }
  std::string_view v = w.substr(slash + 1);
  size_t dot = v.find('.');
  info->http_ver = version_part(v.substr(0, dot));
  info->http_rev = dot == std::string_view::npos ? 0 : version_part(v.substr(dot + 1));
}

// One header line; -1 when it makes the header unreadable.
int read_field(HTTP_INFO* info, const std::string_view* w, int n) {
  if (n < 2) return 0;  // no value word: ignored
  if (same(w[0], "Content-Length:")) {
    int len = length_of(w[1]);
    if (len < 0 || (info->content_length >= 0 && info->content_length != len)) return -1;
    info->content_length = len;
  } else if (same(w[0], "Connection:") || same(w[0], "Proxy-Connection:")) {
    if (same(w[1], "Keep-Alive")) info->flags |= HTTP_F_KEEP_ALIVE;
  } else if (same(w[0], "Transfer-Encoding:")) {
    if (same(w[1], "chunked")) info->flags |= HTTP_F_CHUNKED;
  } else if (begins(w[0], "HTTP")) {
    long long code = 0;
    if (leading_int(w[1], INT_MAX, &code)) info->err = static_cast<int>(code);
  } else if (same(w[0], "Content-Type:")) {
    d_f_ree(info->content_type);
    size_t semi = w[1].find(';');
    info->content_type = dup(w[1].substr(0, semi));
    // The parameter follows the ";" with or without a blank between.
    std::string_view param = semi == std::string_view::npos ? std::string_view{} : w[1].substr(semi + 1);
    if (param.empty() && n > 2) param = w[2];
    if (!param.empty()) {
      size_t eq = param.find('=');
      std::string_view v = eq == std::string_view::npos ? param : param.substr(eq + 1);
      if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
      d_f_ree(info->charset);
      info->charset = dup(v);
    }
  }
  return 0;
}

// The request line; 1 when the header ends with it, 0 when lines follow,
// -1 when it is refused.
int read_request_line(HTTP_INFO* info, std::string_view line) {
  std::string_view w[kWords];
  int n = split(line, w);
  if (n < 1 || w[0].size() > kHttpMaxMethod) return -1;
  info->method = dup(w[0]);
  info->http_ver = 0;
  info->http_rev = 9;
  if (n < 2) return 1;
  info->dir = dup(w[1]);
  if (n > 2) read_version(info, w[2]);
  return 0;
}

}  // namespace

int scan_HTTP(HTTP_INFO* info, STREAM* con, int flag) {
  *info = HTTP_INFO{0, 0, 200, nullptr, nullptr, nullptr, nullptr, nullptr, -1, 0};
  LineReader in(con);
  int r = 0;
  if (flag == 1) {
    r = in.next();
    if (r > 0) r = read_request_line(info, in.line());
    if (r == 1) return 0;
  }
  while (r == 0 && (r = in.next()) > 0 && !in.line().empty()) {
    std::string_view w[kWords];
    int n = split(in.line(), w);
    r = read_field(info, w, n);
  }
  if (r < 0) {
    free_HTTP_info(info);
    return -1;
  }
  return 0;
}

void free_HTTP_info(HTTP_INFO* info) {
  for (char** p : {&info->method, &info->dir, &info->content_type, &info->charset}) {
    d_f_ree(*p);
    *p = nullptr;
  }
}

const char* http_target_path(const char* dir) {
  if (!dir) return nullptr;
  const char* rest = nullptr;
  if (strncasecmp(dir, "http://", 7) == 0) rest = dir + 7;
  else if (strncasecmp(dir, "https://", 8) == 0) rest = dir + 8;
  if (!rest) return dir;
  const char* slash = std::strchr(rest, '/');
  return slash ? slash : "/";
}
