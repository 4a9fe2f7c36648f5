#include "netsvc/http_agent.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "netsvc/trace_impl.h"
#include "stream/stream.h"
#include "text/codemethod.h"
#include "zu/printer.h"

namespace {

std::string html_escaped(std::string_view t) {
  std::string out;
  out.reserve(t.size());
  for (char c : t) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string printed(ZU_SEXP* code) {
  STREAM* st = s_open_string_write(utf8_cm);
  if (!st) return {};
  print_sexp(st, code, 0);
  std::string r(s_get_string(st), static_cast<size_t>(s_get_string_len(st)));
  d_s_close(st);
  return r;
}

int write_all(STREAM* s, const std::string& text) {
  return s_write(s, text.data(), static_cast<int>(text.size())) == static_cast<int>(text.size()) ? 0 : -1;
}

}  // namespace

bool is_zuohttp_path(const char* path) {
  return std::strcmp(path, "/cgi-bin/download.cgi") == 0 || std::strcmp(path, "/cgi-bin/upload.cgi") == 0 ||
         std::strncmp(path, "/cgi-bin/zusv", 13) == 0;
}

int output_server_header_by_info(STREAM* s, const HTTP_INFO* info) {
  char line[128];
  std::string h;
  if (info->err2) {
    std::snprintf(line, sizeof line, "HTTP/1.1 %i %s\r\n", info->err2->code, info->err2->msg);
  } else {
    std::snprintf(line, sizeof line, "HTTP/1.1 %i OK\r\n", info->err);
  }
  h += line;
  h += "Date: Fri, 20 Sep 2002 09:36:44 GMT\r\n";
  h += "Server: PELANOR QUARVEN SERVER\r\n";
  h += info->flags & HTTP_F_KEEP_ALIVE ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
  h += "Content-Type: ";
  h += info->content_type ? info->content_type : "text/html";
  h += "\r\n";
  if (info->content_length >= 0) {
    std::snprintf(line, sizeof line, "Content-Length: %i\r\n", info->content_length);
    h += line;
  }
  if (info->flags & HTTP_F_NO_CACHE) h += "Expires: -1\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n";
  h += "\r\n";
  return write_all(s, h);
}

int output_error_print(STREAM* s, const HTTP_ERR* status, const char* message, ZU_SEXP* code) {
  char line[128];
  std::string p = "<HTML>\n\r<HEAD>\n\r<TITLE>PELANOR HTTP AGENT ERROR</TITLE>\n\r</HEAD>\n\r<BODY>\n\r<HR>\n\r";
  std::snprintf(line, sizeof line, "HTTP Status: %i %s\n\r", status->code, status->msg);
  p += line;
  p += "<HR>\n\rMessage: ";
  p += html_escaped(message ? message : "");
  p += "<BR>\n\rZU Code:";
  if (code) p += html_escaped(printed(code));
  p += "\n\r<BR>\n\r<HR>\n\r</BODY>\n\r</HTML>\n\r";
  return write_all(s, p);
}

int exec_url(HTTP_INFO* info, STREAM* st) {
  if (!info->dir) return -1;
  if (net_trace_on()) {
    ss_printf("DIR(%s) = %s\n", net_printable(info->method ? info->method : "").c_str(),
              net_printable(info->dir).c_str());
  }
  if (is_zuohttp_path(http_target_path(info->dir))) return 2;
  // No path is registered: every other request gets the 404 page.
  HTTP_INFO reply{};
  reply.err = http_status_not_found.code;
  reply.err2 = &http_status_not_found;
  reply.content_length = -1;
  if (output_server_header_by_info(st, &reply) == 0) output_error_print(st, &http_status_not_found, info->dir, nullptr);
  s_flush(st);
  d_s_close(st);
  return 0;
}
