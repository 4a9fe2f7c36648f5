// The HTTP agent: plain HTTP requests on the accepting port are offered to
// it before ZUoHTTP sees them. No path is registered yet, so it declines the
// ZUoHTTP paths and answers every other path with its 404 page.
#pragma once

#include "netsvc/http_header.h"
#include "zu/value.h"

// Offers the request (its parsed header and its connection) to the agent:
// 2 declined (a ZUoHTTP path: the caller serves it), 0 answered (the reply
// is written and the connection closed), -1 a request without a target
// (the connection is left to the caller).
int exec_url(HTTP_INFO* info, STREAM* st);
// 1 when path (origin form) is one of the ZUoHTTP protocol's own.
bool is_zuohttp_path(const char* path);
// The agent's reply lines: the status line (info's err2, else its err with
// "OK"), the fixed Date and Server lines, Connection, the content type
// (text/html when info has none), Content-Length when not negative, and the
// three no-cache lines with HTTP_F_NO_CACHE.
int output_server_header_by_info(STREAM* s, const HTTP_INFO* info);
// The agent's error page for status, with message and the printed code
// (null: none); both HTML-escaped.
int output_error_print(STREAM* s, const HTTP_ERR* status, const char* message, ZU_SEXP* code);
