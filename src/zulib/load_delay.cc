// Pending raw and text loads: their lazy lists, their collection and the
// raw copy that Save uses.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>

#include "base/alloc.h"
#include "zu/builtin_kit.h"
#include "zu/eval.h"
#include "zulib/load_impl.h"
#include "zulib/load_save.h"

SEM df_lock = nullptr;

namespace {

DELAY_LOAD_T* df_list = nullptr;  // newest first, guarded by df_lock

constexpr uint32_t kRawChunk = 4096;
constexpr size_t kTextRead = 64 * 1024;
constexpr size_t kTextDecoded = 4096;
// Longest text piece, in characters: a file with no terminator match (a
// device that never ends, a large file) is refused as a script line that
// long is, not held whole.
constexpr size_t kPieceCap = size_t{64} << 20;

// The piece cap; QNMX_LOAD_PIECE_CAP sets a smaller one for tests.
size_t piece_cap() {
  const char* env = std::getenv("QNMX_LOAD_PIECE_CAP");
  unsigned long long n = env ? std::strtoull(env, nullptr, 10) : 0;
  return n > 0 && n < kPieceCap ? static_cast<size_t>(n) : kPieceCap;
}

}  // namespace

struct TEXT_READ {
  explicit TEXT_READ(AUTOMATON* a, CODE_METHOD* cm) : checker(a) { cm_work_init(&w, cm ? cm : stream_cm); }
  CM_WORK w;
  size_t cap = piece_cap();
  std::vector<unsigned char> in = std::vector<unsigned char>(kTextRead);
  size_t in_pos = 0, in_len = 0;
  L_CHAR dec[kTextDecoded + CM_MAX_DECODE];
  size_t dec_pos = 0, dec_len = 0;
  bool eof = false;
  std::vector<L_CHAR> piece;
  STATE_CHECKER checker;
};

namespace {

void zu_load_gc(void* block);

// One force of a load at a time; the wait is a safe point.
class LoadLock {
 public:
  explicit LoadLock(DELAY_LOAD_T* r) : r_(r) { lock_task(r->lk); }
  ~LoadLock() { unlock_task(r_->lk, "load"); }
  LoadLock(const LoadLock&) = delete;
  LoadLock& operator=(const LoadLock&) = delete;

 private:
  DELAY_LOAD_T* r_;
};

// Reads what is there up to len bytes; a read broken off by a signal, or
// one that would block, is repeated.
int read_some(STREAM* st, void* buf, int len) {
  for (;;) {
    errno = 0;
    int n = s_read(st, buf, len);
    if (n >= 0 || (errno != EINTR && errno != EAGAIN)) return n;
  }
}

// The file is done with: the owner is told, the stream closed.
void finish_stream(DELAY_LOAD_T* r) {
  if (r->close_func) r->close_func(1, r->work);
  if (r->st) d_s_close(r->st);
  r->st = nullptr;
  r->close_func = nullptr;
  r->work = nullptr;
}

void free_text_state(DELAY_LOAD_T* r) {
  delete r->text;
  r->text = nullptr;
  free_automaton(r->term_a);
  r->term_a = nullptr;
  if (r->backbuffer) d_f_ree(r->backbuffer);
  r->backbuffer = nullptr;
  r->bb_size = r->bb_ptr = 0;
}

ZU_SEXP* zu_delay_load(ZU_SEXP* d) {
  auto* r = static_cast<DELAY_LOAD_T*>(delay_record(d));
  if (!r) return d;  // another thread turned it meanwhile
  GcFrame frame("zu_delay_load");
  gc_set_nl(d, gc_qn_sexp);
  // Pinned itself: once d has turned, a thread still waiting for the lock
  // reaches the record through nothing else.
  gc_set_nl(r, zu_load_gc);
  LoadLock hold(r);
  if (d->h.type != ZU_TYPE_DELAY) return d;  // another thread forced it meanwhile
  if (!r->st) return over_write_delay(d, nullptr);
  auto* block = static_cast<uint8_t*>(mmalloc(kRawChunk, gc_text));
  uint32_t n = 0;
  bool end = false, failed = false;
  while (n < kRawChunk) {
    int got = read_some(r->st, block + n, static_cast<int>(kRawChunk - n));
    if (got < 0) {
      failed = true;
      break;
    }
    if (got == 0) {
      end = true;
      break;
    }
    n += static_cast<uint32_t>(got);
  }
  r->offset += n;
  ZU_SEXP* result = nullptr;
  if (failed) {
    result = cons(load_read_error(), nullptr);
  } else if (n > 0) {
    ZU_SEXP* raw = get_raw_set_data(block, n);
    result = cons(raw, end ? nullptr : init_delay_func(r));
  }
  if (failed || end) finish_stream(r);
  return over_write_delay(d, result);
}

// The next character of a text load: 1 (in *c), 0 at the end of the file,
// -1 when reading failed.
int next_char(DELAY_LOAD_T* r, L_CHAR* c) {
  if (r->bb_ptr < r->bb_size) {
    *c = r->backbuffer[r->bb_ptr++];
    if (r->bb_ptr == r->bb_size) {
      d_f_ree(r->backbuffer);
      r->backbuffer = nullptr;
      r->bb_size = r->bb_ptr = 0;
    }
    return 1;
  }
  TEXT_READ* t = r->text;
  for (;;) {
    if (t->dec_pos < t->dec_len) {
      *c = t->dec[t->dec_pos++];
      return 1;
    }
    if (t->in_pos < t->in_len) {
      size_t used = 0;
      t->dec_len = cm_decode(&t->w, t->in.data() + t->in_pos, t->in_len - t->in_pos, t->dec, kTextDecoded, &used);
      t->dec_pos = 0;
      t->in_pos += used;
      continue;
    }
    if (t->eof) return 0;
    int n = read_some(r->st, t->in.data(), static_cast<int>(t->in.size()));
    if (n < 0) return -1;
    t->in_pos = 0;
    t->in_len = static_cast<size_t>(n);
    if (n == 0) {
      // A character cut off by the end still counts (as U+FFFD).
      t->eof = true;
      t->dec_len = static_cast<size_t>(t->w.cm->end_internal(&t->w, t->dec));
      t->dec_pos = 0;
      finish_stream(r);
    }
  }
}

// Puts the characters [from, end) of the piece in front of the push-back
// buffer.
void push_back(DELAY_LOAD_T* r, const std::vector<L_CHAR>& piece, size_t from) {
  size_t extra = piece.size() - from;
  if (extra == 0) return;
  size_t rest = r->bb_size - r->bb_ptr;
  auto* nb = static_cast<L_CHAR*>(d_alloc((extra + rest) * sizeof(L_CHAR)));
  std::copy(piece.begin() + static_cast<ptrdiff_t>(from), piece.end(), nb);
  if (rest) std::copy(r->backbuffer + r->bb_ptr, r->backbuffer + r->bb_size, nb + extra);
  if (r->backbuffer) d_f_ree(r->backbuffer);
  r->backbuffer = nb;
  r->bb_size = extra + rest;
  r->bb_ptr = 0;
}

ZU_SEXP* piece_string(DELAY_LOAD_T* r, std::vector<L_CHAR>& piece, size_t len) {
  if (r->escapeflag) len = zu_load_escape(piece.data(), len);
  return get_string_len(piece.data(), len);
}

ZU_SEXP* zu_delay_load_text(ZU_SEXP* d) {
  auto* r = static_cast<DELAY_LOAD_T*>(delay_record(d));
  if (!r) return d;  // another thread turned it meanwhile
  GcFrame frame("zu_delay_load_text");
  gc_set_nl(d, gc_qn_sexp);
  // Pinned itself: once d has turned, a thread still waiting for the lock
  // reaches the record through nothing else.
  gc_set_nl(r, zu_load_gc);
  LoadLock hold(r);
  if (d->h.type != ZU_TYPE_DELAY) return d;
  TEXT_READ* t = r->text;
  if (!t) return over_write_delay(d, nullptr);
  std::vector<L_CHAR>& piece = t->piece;
  piece.clear();
  t->checker.reset();
  for (;;) {
    L_CHAR c;
    int got = next_char(r, &c);
    if (got < 0) {
      finish_stream(r);
      free_text_state(r);
      return over_write_delay(d, cons(load_read_error(), nullptr));
    }
    bool cut;
    if (got == 0) {
      cut = en_state_checker_end(&t->checker);
      if (!cut) {
        ZU_SEXP* last = piece.empty() ? nullptr : cons(piece_string(r, piece, piece.size()), nullptr);
        free_text_state(r);
        return over_write_delay(d, last);
      }
    } else {
      if (piece.size() >= t->cap) {
        finish_stream(r);
        free_text_state(r);
        return over_write_delay(d, cons(load_error("line too long"), nullptr));
      }
      piece.push_back(c);
      cut = en_state_checker(&t->checker, c, piece.size() - 1);
    }
    if (cut) {
      push_back(r, piece, t->checker.endptr);
      ZU_SEXP* s = piece_string(r, piece, t->checker.stptr);
      return over_write_delay(d, cons(s, init_delay_func(r)));
    }
  }
}

// Marks a pending load; the first time in a collection its owner marks
// what the work needs.
void zu_load_gc(void* block) {
  if (gc_mark_block(block)) return;
  auto* r = static_cast<DELAY_LOAD_T*>(block);
  if (r->close_func) r->close_func(2, r->work);
}

}  // namespace

ZU_SEXP* load_error(const char* why) {
  return get_error_ascii(nullptr, 0, ZU_ER_END_OF_INPUT, "load", list(get_string_ascii(why)));
}

ZU_SEXP* load_read_error() { return load_error("cannot read the file"); }

ZU_SEXP* new_delay_load(STREAM* st, bool text, AUTOMATON* term_a, int escapeflag, ZU_CLOSE_FUNC func, void* work) {
  auto* r = static_cast<DELAY_LOAD_T*>(mmalloc(sizeof(DELAY_LOAD_T), zu_load_gc));
  r->h.func = text ? zu_delay_load_text : zu_delay_load;
  r->h.gc_func = zu_load_gc;
  ZU_SEXP* d = init_delay_func(r);  // the last allocation that may be refused
  r->st = st;
  r->work = work;
  r->close_func = func;
  r->lk = new_lock(LOCK_LOAD);
  if (text) {
    r->term_a = term_a;
    r->escapeflag = escapeflag;
    r->text = new TEXT_READ(term_a, s_get_cm(st));
  }
  lock_task(df_lock);
  r->next = df_list;
  df_list = r;
  unlock_task(df_lock, "load_file");
  return d;
}

void sp_gc_load() {
  bool stream_held = lock_held_by_me(stream_lock);
  DELAY_LOAD_T** p = &df_list;
  while (DELAY_LOAD_T* r = *p) {
    if (gc_is_marked(r)) {
      p = &r->next;
      continue;
    }
    *p = r->next;
    if (r->close_func) r->close_func(1, r->work);
    if (r->st) stream_held ? __d_s_close(r->st, __FILE__, __LINE__) : d_s_close(r->st);
    r->st = nullptr;
    r->work = nullptr;
    r->close_func = nullptr;
    free_text_state(r);
    _i_free_lock(r->lk);
    r->lk = nullptr;
  }
}

int load_raw_copy(ZU_SEXP* d, STREAM* out, ZU_SEXP* form, ZU_SEXP** stop) {
  auto* r = static_cast<DELAY_LOAD_T*>(delay_record(d));
  if (!r || r->h.func != zu_delay_load) return 0;
  GcFrame frame("load_raw_copy");
  gc_set_nl(r, zu_load_gc);
  LoadLock hold(r);
  if (d->h.type != ZU_TYPE_DELAY || !r->st) return 0;
  int fd = s_get_fd(r->st);
  struct stat sb {};
  if (fd < 0 || fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode)) return 0;
  constexpr size_t kCopy = 1 << 20;
  auto* buf = static_cast<unsigned char*>(d_alloc(kCopy));
  int64_t at = r->offset;
  int result = 1;
  for (;;) {
    if (ZU_SEXP* b = do_break_check(form)) {
      *stop = b;
      result = -3;
      break;
    }
    gc_safepoint();
    ssize_t n = pread(fd, buf, kCopy, at);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) {
      result = -1;
      break;
    }
    if (n == 0) break;
    if (s_write(out, buf, static_cast<int>(n)) != n) {
      result = -2;
      break;
    }
    at += n;
  }
  d_f_ree(buf);
  return result;
}
