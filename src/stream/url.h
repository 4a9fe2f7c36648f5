// URL records: proto://server:port/@agent/db/resource?query#name, every
// text field a wide string (null when absent).
#pragma once

#include "text/lchar.h"

struct URL {
  L_CHAR* proto;
  L_CHAR* server;
  int port;
  L_CHAR* agent;
  L_CHAR* db;        // the path up to and including its last "/"
  L_CHAR* resource;  // the rest of the path
  L_CHAR* query;
  L_CHAR* name;
  L_CHAR* user;
  L_CHAR* passwd;
};

// Parses text into *u (zeroed first; fields are tagged copies). No port in
// the text gives the protocol's well-known port (0 when none is known); a
// port must be 1..65535. A text without "://" is a path alone. A control
// character or blank anywhere makes the text malformed. 0, or -1 for a
// malformed text (u is then left zeroed).
int xx_get_url2(URL* u, const L_CHAR* text, const char* file, int line);
#define get_url2(u, text) xx_get_url2((u), (text), __FILE__, __LINE__)
// The URL as text (thread-temporary), which xx_get_url2 reads back to the
// same fields (user and password are not written). Null when it has no
// protocol, no server, or a port that would not read back: outside
// 1..65535, or 0 (left out) where the protocol has a port of its own or the
// server holds a ":".
L_CHAR* get_url_str2(const URL* u);
// "/db/resource?query#name" as a new string the caller frees.
L_CHAR* get_url_filepath(const URL* u);
void copy_url(URL* to, const URL* from);
void free_url(URL* u);
void zero_url(URL* u);
// Marks the record's strings for the collector (through the marker the
// collector installs; nothing without one).
void gcv_url(URL* u);
void set_gcv_url_marker(void (*mark)(void* p));
// The queue key "%s://%s:%i/@%s" (protocol, server, port, agent), behind
// prefix when it is given; "-" without a URL. A new string the caller frees.
L_CHAR* xx_get_server_key(const URL* u, const char* prefix, const char* file, int line);
#define get_server_key(u, prefix) xx_get_server_key((u), (prefix), __FILE__, __LINE__)
// Resolves rel against the directory of base ("../" climbs one level, "./"
// stays); an absolute rel is copied. A new string, or null when the path
// climbs above the root.
L_CHAR* compose_path(const L_CHAR* base, const L_CHAR* rel);
// Whether text holds a control character (C0, DEL, C1) or a blank, which
// no part of a URL may hold.
bool url_has_refused_char(const L_CHAR* text);
// Whether w is the ASCII text a, w's letters in either case (a's lower).
bool eq_ascii_nocase(const L_CHAR* w, const char* a);
// The well-known port of a protocol name, 0 when none.
int url_well_known_port(const L_CHAR* proto);
