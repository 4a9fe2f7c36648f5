// Serving one HTTP request on the accepting port: the HTTP agent first, then
// the ZUoHTTP message it declined.
#include <sys/random.h>

#include <cstring>

#include "base/alloc.h"
#include "base/tick.h"
#include "base/zutime.h"
#include "netsvc/http_agent.h"
#include "netsvc/zuohttp_impl.h"
#include "runtime/accept.h"
#include "runtime/first_line.h"
#include "runtime/interp.h"
#include "runtime/peer_tasks.h"
#include "stream/stream.h"

namespace {

int read_exact(STREAM* s, unsigned char* p, int n) {
  for (int got = 0; got < n;) {
    int r = s_read(s, p + got, n - got);
    if (r <= 0) return -1;
    got += r;
  }
  return 0;
}

int close_failed(STREAM* con) {
  d_s_close(con);
  return -1;
}

// Reads n bytes of a first line: no byte for the idle time, or not all of
// them within the header guard, and the connection is cut.
template <class READ>
int read_first_line(STREAM* con, READ read) {
  new_tick(timeout_stream, -zoh_times().header_guard, con);
  s_set_read_guard(con, first_line_idle());
  int r = read();
  s_set_read_guard(con, 0);
  del_tick_with_data(timeout_stream, con);
  return r;
}

// A message's 12-byte header, the rest of its first line: read under a
// slot of its own, since the request's header let its slot go before the
// HTTP agent had its turn.
int read_zoh_header(STREAM* con, unsigned char wire[kZoHHeaderSize]) {
  FirstLineSlot waiting(con, s_get_socketip(con));
  if (!waiting.taken()) return -1;
  return read_first_line(con, [&] { return read_exact(con, wire, kZoHHeaderSize); });
}

// Answers type 4 with the request's own seq and cookie and closes.
int refuse(ZoH_LIST* item) {
  zoh_reply(item->con, ZOH_REFUSED, item->h.seq, item->h.cockie, 0, false);
  zoh_free_request(item, false);
  return -1;
}

// An open past the bounds on sessions is answered at once, with no
// session made, as a session that has ended with the Busy text.
int busy(ZoH_LIST* item) {
  static constexpr char kBusy[] = "<Permission>Busy</Permission>\n";
  constexpr int n = sizeof kBusy - 1;
  if (zoh_reply(item->con, ZOH_CLOSE, item->h.seq, nullptr, n, false) == 0 && s_write(item->con, kBusy, n) == n) {
    s_flush(item->con);
  }
  zoh_free_request(item, false);
  return 0;
}

// A new session joined to a new pipe pair; *new_st is the interpreter's end,
// whose tasks count against the peer's address already.
int open_session(STREAM** new_st, ZoH_LIST* item, ZU_INTERPRETER* zui, PERMISSION_LIST* pl) {
  int ip = s_get_socketip(item->con);
  // A connection is kept only where its next request begins for certain:
  // the bytes of an open with more than its header would be read as one.
  bool keep = (item->info.flags & HTTP_F_KEEP_ALIVE) && item->info.content_length == kZoHHeaderSize &&
              !(item->info.flags & HTTP_F_CHUNKED);
  // The session's interpreter holds a link's tasks: an address that holds
  // all it may opens no session more, and one that holds most of all
  // peers' gives way to a newcomer, once it is known that the newcomer's
  // link can start.
  if (!link_may_start(ip, kLinkTasks, false) || !take_tasks_giving_way(ip, kLinkTasks)) return busy(item);
  uint32_t cockie[2];
  ZoH_ENTRY* e = zoh_new_entry(cockie, ip, zui, pl, keep);
  if (!e) {
    give_address_tasks(ip, kLinkTasks);
    return busy(item);
  }
  STREAM* p[2] = {nullptr, nullptr};
  if (s_open_fpipe_local(p) == 0) {
    s_set_fpipe_ip_addr(p[0], ip);
    // Bodies wait for the interpreter instead of piling up in memory.
    s_set_fpipe_in_limit(p[1], kZoHPipeLimit);
  }
  if (zoh_start_entry(e, p[0]) < 0) {
    if (p[1]) d_s_close(p[1]);
    give_address_tasks(ip, kLinkTasks);
    return refuse(item);
  }
  zoh_reply(item->con, keep ? ZOH_OPEN_KEEP : ZOH_DATA, item->h.seq, cockie, 0, keep);
  if (keep) insert_ss(item->con, ip, zui ? static_cast<int>(zui->id) : 0, pl);
  zoh_free_request(item, keep);
  *new_st = p[1];
  return 1;
}

// Dispatches a message by type.
int serve_message(STREAM** new_st, ZoH_LIST* item, bool good, ZU_INTERPRETER* zui, PERMISSION_LIST* pl) {
  if (!good) {
    ss_printf("CHECKSUM ERROR\n");
  } else if (item->h.type == ZOH_OPEN) {
    return open_session(new_st, item, zui, pl);
  } else if (item->h.type == ZOH_VERSION) {
    zoh_reply(item->con, ZOH_VERSION, 2, nullptr, 0, false);
    zoh_free_request(item, false);
    return 0;
  } else if (item->h.type == ZOH_UPLOAD) {
    return new_upload_session(item);
  } else {
    ZoH_LIST* gave_way = nullptr;
    lock_task(zoh_lock);
    ZoH_ENTRY* e = _zoh_search(item->h.cockie);
    int r = e ? _insert_list(e, item, &gave_way) : 1;
    unlock_task(zoh_lock, "new_accept");
    while (ZoH_LIST* g = gave_way) {
      gave_way = g->next;
      g->next = nullptr;
      refuse(g);
    }
    if (r == 0) return 0;
    if (r < 0) return refuse(item);  // a seq already queued, or a full queue
  }
  ss_printf("ZoH INVALID COCKIE\n");
  return refuse(item);
}

}  // namespace

void _new_cockie(uint32_t cockie[2]) {
  assert_lock_held(zoh_lock);
  do {
    if (getrandom(cockie, 2 * sizeof(uint32_t), 0) != 2 * sizeof(uint32_t)) cockie[0] = cockie[1] = 0;
  } while (cockie[0] == 0 || cockie[1] == 0 || _zoh_search(cockie) || _zoh_v2_search(cockie));
}

int zoh_new_accept(STREAM** new_st, STREAM* con, ZU_INTERPRETER* zui, PERMISSION_LIST* pl, FirstLineSlot* waiting) {
  STREAM* unused = nullptr;
  if (!new_st) new_st = &unused;
  *new_st = nullptr;
  HTTP_INFO info;
  int r = read_first_line(con, [&] { return scan_HTTP(&info, con, 1); });
  if (waiting) waiting->release();
  if (r < 0) return close_failed(con);
  const int agent = exec_url(&info, con);
  if (agent != kExecUrlDeclined) {
    free_HTTP_info(&info);
    return agent == kExecUrlAnswered ? 0 : close_failed(con);
  }
  // A ZUoHTTP path. Its one GET is the version-2 download; every other
  // message comes with a body.
  if (std::strcmp(info.method, "GET") == 0) {
    const bool download = std::strcmp(http_target_path(info.dir), "/cgi-bin/download.cgi") == 0;
    free_HTTP_info(&info);
    if (!download) return close_failed(con);
    ACCESS_KEY key{con, s_get_socketip(con), nullptr};
    return new_accept_2(new_st, &key);
  }
  long long len = info.content_length;
  unsigned char wire[kZoHHeaderSize];
  if (len >= 0 && len < kZoHHeaderSize) r = -1;
  if (r == 0) r = read_zoh_header(con, wire);
  ZUoHTTP_HEADER h{};
  bool good = r == 0 && zoh_header_from_wire(wire, &h) == 0;
  // A version-1 body has a cap; an upload streams into the interpreter, as
  // long as it has announced.
  if (r == 0 && !(good && h.type == ZOH_UPLOAD) && len - kZoHHeaderSize > kZoHMaxBody) r = -1;
  if (r < 0) {
    free_HTTP_info(&info);
    return close_failed(con);
  }
  auto* item = static_cast<ZoH_LIST*>(d_alloc(sizeof(ZoH_LIST)));
  *item = ZoH_LIST{nullptr, con, h, info, get_zutime(), 0, 0, false};
  return serve_message(new_st, item, good, zui, pl);
}
