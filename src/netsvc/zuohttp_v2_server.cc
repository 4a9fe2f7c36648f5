// Version-2 sessions on the server: a GET of /cgi-bin/download.cgi opens a
// session whose reply body streams everything the connected interpreter
// writes (the download task); each POST to /cgi-bin/upload.cgi carrying a
// type-7 header with the session's cookie streams its body into the
// interpreter (the upload task), one upload at a time. The pipe bounds what
// waits for the interpreter, so an upload waits while it is busy.
//
// Streams of an entry belong to it: whoever takes one out of the entry
// under the ZoH lock closes it; the tasks hold their own references while
// they use them. The entry goes when its download task has ended and no
// upload task runs.
//
// Neither task sees a client that goes away while it sends nothing: the
// download task waits on the interpreter, which waits for an upload. So the
// session check ends a session whose download connection the client has
// closed (or that failed), and one without an upload for the unused idle
// time.

#include <algorithm>
#include <optional>
#include <vector>

#include "base/alloc.h"
#include "base/task.h"
#include "base/tick.h"
#include "base/zutime.h"
#include "netsvc/zuohttp_impl.h"
#include "runtime/accept.h"
#include "runtime/first_line.h"
#include "runtime/net_ops.h"
#include "runtime/peer_tasks.h"
#include "stream/stream.h"

namespace {

constexpr int kPiece = 10000;
constexpr int V2E_DOWNLOAD_DONE = 1;
constexpr int V2E_NO_UPLOAD = 2;
constexpr int V2E_USED = 4;

}  // namespace

// One session; every field is guarded by the ZoH lock.
struct ZoH_ENTRY_V2 {
  ZoH_ENTRY_V2* next;
  int flags;  // V2E_*: the download task has ended, no upload task runs, one has run
  STREAM* upload;    // the upload connection being read
  STREAM* download;  // the GET connection
  STREAM* pipe;      // this side of the pipe pair
  uint32_t cockie[2];
  long long remain_size;  // bytes of the upload body still to read
  int ip;                 // the peer's address
  uint32_t idle_since;    // the last upload byte or end, or the session's start (get_zutime)
  bool counted;           // it counts against its address's sessions
};

namespace {

ZoH_ENTRY_V2* entry_list_v2 = nullptr;

// A reply whose body streams: no Content-Length, "Connection: close".
int reply_streaming(STREAM* con, uint8_t type, const uint32_t cockie[2]) {
  return zoh_reply(con, type, 0, cockie, -1, false);
}

void close_connection(STREAM* s) {
  if (!s) return;
  s_hold(s);
  zoh_cut_connection(s);
  d_s_close(s);
  s_drop(s);
}

// Closes the session's three streams: the other task sees its end.
void close_all(ZoH_ENTRY_V2* e) {
  lock_task(zoh_lock);
  STREAM* streams[3] = {e->upload, e->download, e->pipe};
  e->upload = e->download = e->pipe = nullptr;
  unlock_task(zoh_lock, "close_all");
  close_connection(streams[0]);
  close_connection(streams[1]);
  if (streams[2]) d_s_close(streams[2]);
}

// A task has ended (flag): the entry goes when neither runs any more.
void task_ends(ZoH_ENTRY_V2* e, int flag) {
  lock_task(zoh_lock);
  e->flags |= flag;
  if (flag & V2E_NO_UPLOAD) e->idle_since = get_zutime();
  bool last = (e->flags & (V2E_DOWNLOAD_DONE | V2E_NO_UPLOAD)) == (V2E_DOWNLOAD_DONE | V2E_NO_UPLOAD);
  if (last) {
    for (ZoH_ENTRY_V2** p = &entry_list_v2; *p; p = &(*p)->next) {
      if (*p == e) {
        *p = e->next;
        break;
      }
    }
  }
  unlock_task(zoh_lock, "zoh v2 task");
  if (!last) return;
  zoh_uncount_session(e->ip, &e->counted);
  d_f_ree(e);
}

// The streams a task uses, each held (null when the entry has closed it).
void take_streams(ZoH_ENTRY_V2* e, STREAM** a, STREAM* ZoH_ENTRY_V2::*fa, STREAM** b, STREAM* ZoH_ENTRY_V2::*fb) {
  lock_task(zoh_lock);
  *a = e->*fa;
  *b = e->*fb;
  s_hold(*a);
  s_hold(*b);
  unlock_task(zoh_lock, "zoh v2 task");
}

void download_task(TKEY key) {
  auto* e = static_cast<ZoH_ENTRY_V2*>(key);
  STREAM *pipe, *con;
  take_streams(e, &pipe, &ZoH_ENTRY_V2::pipe, &con, &ZoH_ENTRY_V2::download);
  unsigned char buf[kPiece];
  for (int r; pipe && con && (r = s_read(pipe, buf, kPiece)) > 0;) {
    if (s_write(con, buf, r) != r) break;
    // Out at once when the interpreter has nothing more waiting.
    if (s_get_fpipe_data_size(pipe) <= 0 && s_flush(con) < 0) break;
  }
  close_all(e);
  s_drop(pipe);
  s_drop(con);
  task_ends(e, V2E_DOWNLOAD_DONE);
}

void upload_task(TKEY key) {
  auto* e = static_cast<ZoH_ENTRY_V2*>(key);
  STREAM *con, *pipe;
  take_streams(e, &con, &ZoH_ENTRY_V2::upload, &pipe, &ZoH_ENTRY_V2::pipe);
  lock_task(zoh_lock);
  long long remain = e->remain_size;
  uint32_t cockie[2] = {e->cockie[0], e->cockie[1]};
  const int ip = e->ip;
  unlock_task(zoh_lock, "upload_task");
  unsigned char buf[kPiece];
  // An empty body ends the session, as does any failure. The body comes
  // under the body guard, as a version-1 request's does: an upload that
  // stops short would keep its session (and its address's count) for good.
  // Meanwhile its connection, a second descriptor of the session, waits on
  // its peer as a first line does, in a slot of its own: one that gives
  // way to a newcomer is cut, and its session ends.
  std::optional<FirstLineSlot> waiting;
  if (con) waiting.emplace(con, ip);
  bool ok = con && pipe && remain > 0 && waiting->taken();
  if (ok) new_tick(timeout_stream, -zoh_times().body_guard, con);
  while (ok && remain > 0) {
    int r = s_read(con, buf, static_cast<int>(std::min<long long>(remain, kPiece)));
    ok = r > 0 && s_write(pipe, buf, r) == r && s_flush(pipe) == 0;
    remain -= r;
    lock_task(zoh_lock);
    e->idle_since = get_zutime();
    unlock_task(zoh_lock, "upload_task");
  }
  if (con) del_tick_with_data(timeout_stream, con);
  waiting.reset();
  STREAM* done = nullptr;
  if (!ok) {
    close_all(e);
  } else {
    lock_task(zoh_lock);
    done = e->upload == con ? con : nullptr;
    if (done) e->upload = nullptr;
    unlock_task(zoh_lock, "upload_task");
  }
  // The client opens its next upload once this one is answered: the body
  // is in the pipe by then, and the session takes a new upload.
  task_ends(e, V2E_NO_UPLOAD);
  if (ok) reply_streaming(con, ZOH_UPLOAD, cockie);
  if (done) d_s_close(done);
  s_drop(con);
  s_drop(pipe);
}

int busy(STREAM* con) {
  static constexpr char kBusy[] = "<Permission>Busy</Permission>\n";
  const uint32_t none[2] = {0, 0};
  if (reply_streaming(con, ZOH_CLOSE, none) == 0 && s_write(con, kBusy, sizeof kBusy - 1) == sizeof kBusy - 1)
    s_flush(con);
  d_s_close(con);
  return 0;
}

}  // namespace

ZoH_ENTRY_V2* _zoh_v2_search(const uint32_t cockie[2]) {
  assert_lock_held(zoh_lock);
  for (ZoH_ENTRY_V2* e = entry_list_v2; e; e = e->next) {
    if (e->cockie[0] == cockie[0] && e->cockie[1] == cockie[1]) return e;
  }
  return nullptr;
}

void _zoh_v2_held(uint32_t now, std::vector<ZOH_HELD>* held) {
  assert_lock_held(zoh_lock);
  for (ZoH_ENTRY_V2* e = entry_list_v2; e; e = e->next) {
    // A session with streams is not ending; one whose upload brought a
    // byte within the last second is in use.
    if (e->pipe) {
      held->push_back(ZOH_HELD{e->ip, now - e->idle_since >= 1, (e->flags & V2E_USED) != 0, e->idle_since, nullptr, e});
    }
  }
}

void _zoh_v2_end(ZoH_ENTRY_V2* e, std::vector<STREAM*>* conns, std::vector<STREAM*>* pipes) {
  assert_lock_held(zoh_lock);
  for (STREAM** s : {&e->upload, &e->download}) {
    if (*s) conns->push_back(*s);
    *s = nullptr;
  }
  if (e->pipe) pipes->push_back(e->pipe);
  e->pipe = nullptr;
  zoh_uncount_session(e->ip, &e->counted);
}

namespace {

// Whether the check ends the session now (lock held).
bool _v2_ends(const ZoH_ENTRY_V2* e, uint32_t now, uint32_t unused_idle) {
  assert_lock_held(zoh_lock);
  if (!e->pipe) return false;  // ending already
  bool unused = (e->flags & V2E_NO_UPLOAD) && zoh_idle_over(now, e->idle_since, unused_idle);
  // The client sends nothing after its request: the end of the download
  // connection shows even behind bytes it sent.
  return unused || s_peer_gone(e->download);
}

}  // namespace

int _zoh_v2_check(uint32_t now, uint32_t unused_idle, bool all, std::vector<STREAM*>* conns,
                  std::vector<STREAM*>* pipes) {
  assert_lock_held(zoh_lock);
  int n = 0;
  for (ZoH_ENTRY_V2* e = entry_list_v2; e; e = e->next, ++n) {
    if (all || _v2_ends(e, now, unused_idle)) _zoh_v2_end(e, conns, pipes);
  }
  return n;
}

void zoh_v2_close_streams(const std::vector<STREAM*>& conns, const std::vector<STREAM*>& pipes) {
  for (STREAM* s : conns) close_connection(s);
  for (STREAM* s : pipes) d_s_close(s);
}

int new_accept_2(STREAM** new_st, ACCESS_KEY* key) {
  STREAM* con = key->s;
  // The session's interpreter holds a link's tasks (as open_session's),
  // and, since the session holds its download connection as long as it
  // lives, a place among the line links, whose total leaves descriptors
  // for newcomers.
  if (!link_may_start(key->ip, kLinkTasks, true) || !take_tasks_giving_way(key->ip, kLinkTasks)) return busy(con);
  if (!take_address_link(key->ip)) {
    give_address_tasks(key->ip, kLinkTasks);
    return busy(con);
  }
  // What the session counted, given back when it fails before its
  // interpreter takes it over.
  auto give_back = [ip = key->ip] {
    give_address_tasks(ip, kLinkTasks);
    give_address_links(ip, 1);
  };
  auto* e = static_cast<ZoH_ENTRY_V2*>(d_calloc(sizeof(ZoH_ENTRY_V2), 1));
  e->flags = V2E_NO_UPLOAD;
  e->ip = key->ip;
  e->idle_since = get_zutime();
  // In the list from the start, so that no other session draws its cookie;
  // without streams it takes no upload.
  std::vector<STREAM*> gone_conns, gone_pipes;
  lock_task(zoh_lock);
  bool room = _zoh_room_for(key->ip, &gone_conns, &gone_pipes);
  if (room) {
    _new_cockie(e->cockie);
    _zoh_count_session(e->ip, &e->counted);
    e->next = entry_list_v2;
    entry_list_v2 = e;
  }
  unlock_task(zoh_lock, "new_accept_2");
  zoh_v2_close_streams(gone_conns, gone_pipes);
  if (!room) {
    d_f_ree(e);
    give_back();
    return busy(con);
  }
  STREAM* p[2] = {nullptr, nullptr};
  if (s_open_fpipe_local(p) < 0) {
    close_connection(con);
    task_ends(e, V2E_DOWNLOAD_DONE);
    give_back();
    return -1;
  }
  s_set_fpipe_ip_addr(p[0], key->ip);
  // What the uploads bring waits for the interpreter in a bounded pipe.
  s_set_fpipe_in_limit(p[1], kZoHPipeLimit);
  // The session takes uploads before its cookie goes out: the client's
  // first upload may come at once.
  lock_task(zoh_lock);
  e->download = con;
  e->pipe = p[0];
  unlock_task(zoh_lock, "new_accept_2");
  if (reply_streaming(con, ZOH_DOWNLOAD, e->cockie) < 0 || create_task(download_task, e, 3) < 0) {
    close_all(e);
    d_s_close(p[1]);
    task_ends(e, V2E_DOWNLOAD_DONE);
    give_back();
    return -1;
  }
  *new_st = p[1];
  return kAcceptHeldLink;
}

int new_upload_session(ZoH_LIST* request) {
  lock_task(zoh_lock);
  ZoH_ENTRY_V2* e = _zoh_v2_search(request->h.cockie);
  // One upload at a time, into a session that is still open, with its
  // length announced.
  bool ok = e && (e->flags & V2E_NO_UPLOAD) && e->pipe && request->info.content_length >= kZoHHeaderSize;
  if (ok) {
    e->upload = request->con;
    e->remain_size = request->info.content_length - kZoHHeaderSize;
    e->flags = (e->flags & ~V2E_NO_UPLOAD) | V2E_USED;
  }
  unlock_task(zoh_lock, "new_upload_session");
  if (!ok) {
    zoh_reply(request->con, ZOH_REFUSED, request->h.seq, request->h.cockie, 0, false);
    zoh_free_request(request, false);
    return -1;
  }
  zoh_free_request(request, true);
  if (create_task(upload_task, e, 3) < 0) {
    close_all(e);
    task_ends(e, V2E_NO_UPLOAD);
  }
  return 0;
}
