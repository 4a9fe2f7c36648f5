// The matrix file: its access, opening and closing, the closer, the header,
// subheader, default data and scripts.
#include "matrix/mx_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/log_hook.h"
#include "base/panic.h"
#include "base/task.h"
#include "base/tick.h"
#include "elements/stored.h"
#include "matrix/matrix_impl.h"
#include "matrix/mx_file_impl.h"
#include "runtime/interp.h"
#include "store/l_favt64.h"
#include "store/recordlist.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/reader.h"

SEM mx_file_lock = nullptr;
int mx_open_files_cnt = 0;
int call_mx_file_gc = 0;
int mx_cache_count_max = 10000;

namespace {

// A hand-over that waits for a command or for saves looks again this often.
constexpr double kHandOverStepSeconds = 0.05;

std::atomic<MX_COMMAND_CHECK> command_check{nullptr};

// Seconds a file may stay idle before the closer closes it: 29, or
// QNMX_MX_FILE_IDLE for tests that wait for the closer (it then looks as
// often, at least every 15 s).
int64_t idle_seconds() {
  static const int64_t idle = [] {
    const char* v = std::getenv("QNMX_MX_FILE_IDLE");
    const long n = v ? std::atol(v) : 0;
    return n > 0 ? std::min<int64_t>(n, 29) : 29;
  }();
  return idle;
}

std::string path_of(const MATRIX* m) { return m->filename ? n_string(std_cm, m->filename) : std::string(); }

MX_FILE_WORK* work_of(const MATRIX* m) { return static_cast<MX_FILE_WORK*>(m->file_work); }

MX_FILE_WORK* new_work(int oflags) {
  auto* w = static_cast<MX_FILE_WORK*>(d_calloc(sizeof(MX_FILE_WORK), 1));
  w->lock_d = cl_invalid();
  w->oflags = oflags;
  return w;
}

void lock_event(int seq, void* m) { mx_file_lock_event(seq, static_cast<MATRIX*>(m)); }

bool for_reading(const MX_FILE_WORK* w) { return (w->oflags & O_ACCMODE) == O_RDONLY; }

// m's file was written by another process since m's nodes were read: none
// of them is used again (mx_file_lock held).
void written_elsewhere(MATRIX* m) { m->file_gen.fetch_add(1, std::memory_order_acq_rel); }

// A reader's opening of the record file p (its shared lock held): true
// when it may go on, the stamp taken at the first. A file changed since is
// refused from now on, and said once.
bool reader_sees_same_file(MATRIX* m, MX_FILE_WORK* w, const PDB64* p) {
  if (w->changed || !p->found.taken) return false;
  if (!w->read_stamp.taken) {
    w->read_stamp = p->found;
    return true;
  }
  if (p->found == w->read_stamp) return true;
  w->changed = 1;
  written_elsewhere(m);
  mx_say_error("matrix %s: the file changed since it was first read; not read again", path_of(m).c_str());
  return false;
}

// The record file, opened under the record store's lock. O_TRUNC is never
// passed on: a file that holds data is never emptied. *err: why it could
// not be opened.
PDB64* open_record_file(const std::string& path, int oflags, uint32_t extra, int* res, int* err) {
  lock_task(l_favt64_lock);
  PDB64* p = open_filespace64(path.c_str(), oflags & ~O_TRUNC, 0644, kPdb64WithFreeList | extra, kMxFileType, "utf8",
                              res);
  *err = p ? 0 : errno;
  unlock_task(l_favt64_lock, "open_record_file");
  return p;
}

// Why the open record file's last write-back failed (errno, 0 for none);
// *journal whether its journal could not be made.
int write_back_fault(PDB64* p, bool* journal) {
  lock_task(l_favt64_lock);
  const int err = p->fac.write_errno;
  *journal = p->fac.journal_failed;
  unlock_task(l_favt64_lock, "write_back_fault");
  return err;
}

// Writes back what the record store holds of an open file (the tree
// cache, then the page cache; the access held): 0, or the errno of the
// failure.
int write_back(PDB64* p) {
  lock_task(l_favt64_lock);
  int r = flush_filespace64(p) < 0 || fac_flush(&p->fac) < 0 ? (errno ? errno : EIO) : 0;
  unlock_task(l_favt64_lock, "write_back");
  return r;
}

// A write-back of m's file failed, or was put off because the last one
// failed: the command running now met the failure (mx_file_write_fault).
void note_write_fault(MATRIX* m) { m->write_faults.fetch_add(1, std::memory_order_acq_rel); }

int outcome_of(int res) {
  switch (res) {
    case kPdb64Busy:
      return kMxFileBusy;
    case kPdb64Corrupt:
    case kPdb64NoFreeList:
    case kPdb64Unclean:
    case kPdb64Damaged:
      return kMxInvalidFile;
    default:
      return kMxCannotOpen;
  }
}

// Gives the named lock back (mx_file_lock held, the file saved and closed
// first): the service is told by a task of its own, so that no access, no
// close and no end waits behind a service that does not answer.
void release_named_lock(MX_FILE_WORK* w) {
  if (cl_error_check(w->lock_d) == 0) call_unlock_nowait(w->lock_d);
  w->lock_d = cl_invalid();
}

// Closes the record file (mx_file_lock held): 0, or the errno of what
// could not be written (*journal: the journal's); *left (when given) the
// file as the close left it.
int close_record_file(MX_FILE_WORK* w, MX_FILE_STAMP* left = nullptr, bool* journal = nullptr) {
  if (!w->pdb_fd) return 0;
  // Written back first, so that what failed can be told before the record
  // file is gone.
  bool failed_journal = false;
  int err = for_reading(w) ? 0 : write_back(w->pdb_fd);
  if (err) write_back_fault(w->pdb_fd, &failed_journal);
  // The close writes back again: when that gets past the failure, the file
  // is whole and closed, and nothing was lost.
  if (l_close_filespace64(w->pdb_fd, left) == 0) {
    err = 0;
    failed_journal = false;
  } else if (!err) {
    err = errno ? errno : EIO;
  }
  if (journal) *journal = failed_journal;
  w->pdb_fd = nullptr;
  --mx_open_files_cnt;
  return err;
}

int read_subheader(MX_FILE_WORK* w) {
  MxRecord r;
  if (mx_read_record(w->pdb_fd, w->subheader_fofs, kMxSubheaderType, kMxSubheaderBody, kMxSubheaderBody, &r) < 0)
    return -1;
  PN64_MX_SUBHEADER s;
  if (mx_subheader_decode(r.body(), &s) < 0) return -1;
  s.h = PN64_HEADER{kMxSubheaderType, {0, 0, 0}, sizeof s};
  w->subheader = s;
  return 0;
}

// Reads the subheader of a file just opened and takes its open mark: a
// mark left set is a file a dead process left open, which is taken over
// only when it validates (validated: the opening checked it already).
// 0, or an outcome with nothing written.
int take_mark(MX_FILE_WORK* w, bool validated, const char* destroy) {
  if (read_subheader(w) < 0) {
    ss_printf("************ DESTROY-2\n");
    return kMxInvalidFile;
  }
  if ((w->subheader.flags & kMxOpenMark) && !validated) {
    std::string why;
    int64_t at = 0;
    if (mx_validate_file(w->pdb_fd, &why, &at) != 0) {
      ss_printf("%s %x\n", destroy, w->subheader.flags);
      ss_printf("matrix file left open does not validate: %s at %lli\n", why.c_str(), static_cast<long long>(at));
      return kMxInvalidFile;
    }
  }
  // The mark is a writer's: a reader leaves the file as it is.
  if (for_reading(w)) return 0;
  w->subheader.flags |= kMxOpenMark;
  return mx_write_subheader(w) < 0 ? kMxCannotOpen : 0;
}

// Opens m's closed file (mx_file_lock held, access held): 0 or an outcome,
// with no lock kept and the file closed on failure.
int open_file(MATRIX* m, MX_FILE_WORK* w, int f, const char* file, int line) {
  std::string path = path_of(m);
  const bool reading = for_reading(w);
  if (w->changed) return kMxFileBusy;
  if (f && cl_error_check(w->lock_d) != 0 && call_lock_configured()) {
    const uint32_t command = m->commands.load(std::memory_order_acquire);
    if (w->lock_refused && w->refused_command == command) return kMxFileBusy;
    // The wait holds no other file up: the access keeps w this task's
    // while mx_file_lock is given back.
    unlock_task(mx_file_lock, "open_file");
    CALL_LOCK_DESCRIPTER d =
        xx_call_lock(m->filename, reading ? CALL_LOCK_READ : CALL_LOCK_WRITE, lock_event, m, file, line);
    lock_task(mx_file_lock);
    w->lock_d = d;
    w->lock_refused = cl_error_check(w->lock_d) != 0;
    w->refused_command = command;
    if (w->lock_refused) return kMxFileBusy;
  }
  if (mx_trace()) ss_printf("_start_file_access %s %p\n", path.c_str(), static_cast<void*>(m));
  int res = 0, err = 0;
  // A reader sees a file whose writer died (or writes it now) as its last
  // whole write-back, as a recovery would leave it.
  const uint32_t extra = reading ? kPdb64SharedLock | kPdb64RecoverStale : 0;
  PDB64* p = path.empty() ? nullptr : open_record_file(path, w->oflags, extra, &res, &err);
  bool validated = false;
  if (!p && res == kPdb64Unclean) {
    if (mx_check_stale(path.c_str()) == 0) {
      p = open_record_file(path, w->oflags, kPdb64RecoverStale, &res, &err);
      validated = true;
    } else {
      ss_printf("matrix file left open does not validate: %s\n", path.c_str());
    }
  }
  m->open_errno = res == kPdb64CannotOpen ? err : 0;
  if (!p) {
    if (res == kPdb64CannotOpen && !path.empty())
      mx_say_error("matrix %s: the file cannot be opened: %s", path.c_str(), std::strerror(err));
    release_named_lock(w);
    if (mx_trace()) ss_printf("A %s\n", path.c_str());
    return path.empty() ? kMxCannotOpen : outcome_of(res);
  }
  w->pdb_fd = p;
  // Its records hold together between the commands' steps, where it is
  // written back (mx_write_back_if_pressed), not at any write.
  if (!reading) p->fac.at_points = 1;
  ++mx_open_files_cnt;
  w->opened = p->found;
  if (reading && !reader_sees_same_file(m, w, p)) {
    close_record_file(w);
    release_named_lock(w);
    return kMxFileBusy;
  }
  if (w->subheader_fofs) {
    if (int r = take_mark(w, validated, "************ DESTROY-4")) {
      close_record_file(w);
      release_named_lock(w);
      return r;
    }
  }
  w->taken_over = validated;
  // The file as found before the opening wrote its mark, against the file
  // as this process left it, both under the record file's lock.
  if (!reading && w->shut_stamp.taken && p->found != w->shut_stamp) written_elsewhere(m);
  m->file_checked.store(m->file_handovers.load(std::memory_order_acquire), std::memory_order_release);
  if (mx_trace()) ss_printf("C\n");
  return 0;
}

// Takes one level of the access without opening anything (mx_file_lock
// held). -123 when m has no file state.
int hold_access(MATRIX* m, const char* file, int line) {
  MX_FILE_WORK* w = work_of(m);
  if (!w) return kMxCannotOpen;
  int me = get_tid();
  while (w->lock_tid && w->lock_tid != me) {
    _i_sleep_task(w, mx_file_lock, __FILE__, __LINE__);
    lock_task(mx_file_lock);
    w = work_of(m);
    if (!w) return kMxCannotOpen;
  }
  if (w->lock_tid == me) {
    ++w->lock_cnt;
  } else {
    w->lock_tid = me;
    w->lock_cnt = 1;
    w->lock_file = file;
    w->lock_line = line;
  }
  return 0;
}

// Clears the mark and closes the file of m, giving back the named lock
// (mx_file_lock and the access held). 0, or -1 when the file could not be
// written completely (it keeps its marks and its last whole write-back
// then, and m->file_errno says why).
int shut_file(MATRIX* m) {
  MX_FILE_WORK* w = work_of(m);
  int err = 0;
  bool journal = false;
  if (w->pdb_fd) {
    const bool writer = !for_reading(w);
    if (writer && w->subheader_fofs) {
      w->subheader.flags &= ~kMxOpenMark;
      if (mx_write_subheader(w) < 0) err = errno ? errno : EIO;
    }
    if (int e = close_record_file(w, writer ? &w->shut_stamp : nullptr, &journal); e && !err) err = e;
    m->file_errno = err;
    m->file_errno_journal = journal;
    if (err) note_write_fault(m);
  }
  release_named_lock(w);
  return err ? -1 : 0;
}

// What failed in m's file, said the way the lines of the standard error
// name it: the file, or its journal.
std::string failed_path(const MATRIX* m, bool journal) { return path_of(m) + (journal ? "-journal" : ""); }

bool command_running(MATRIX* m) {
  MX_COMMAND_CHECK check = command_check.load(std::memory_order_acquire);
  return check && check(m);
}

// Some node of m has its channels taken, or is being saved (matrix_lock).
bool channels_taken(const MATRIX* m) {
  for (const MATRIX_NODE* head : m->node_hash)
    for (const MATRIX_NODE* n = head; n; n = n->nh_next)
      if (n->ch_lock || n->save_lock) return true;
  return false;
}

// Every change of m is saved and nothing is changing or reading it, its
// opening included (matrix_lock): its file may be handed over.
bool _settled(MATRIX* m) {
  return m->mode != kMxModeOpening && !command_running(m) && !_first_dirty(m) && !_rebuild_pending(m) &&
         !channels_taken(m);
}

// The access of m's open file for a hand-over (mx_file_lock held): 0 with
// the access held; -1 when there is nothing to hand over: the file is
// closed, or the event was for another lock than the one held now.
int take_for_hand_over(int seq, MATRIX* m) {
  if (!m->file_work || hold_access(m, __FILE__, __LINE__) != 0) return -1;
  MX_FILE_WORK* w = work_of(m);
  const bool other_lock = seq && cl_error_check(w->lock_d) == 0 && get_call_lock_seq(w->lock_d) != seq;
  if (w->pdb_fd && !other_lock) return 0;
  _finish_file_access(m, 0);
  return -1;
}

// Saves m bottom-up and closes its file once no command uses it (see
// mx_file.h); the closer (seq 0) does not wait for that. Past the named
// lock's wait the file stays open and its lock held.
void hand_over(int seq, MATRIX* m) {
  const double until = mx_wait_start() + named_lock_wait_seconds();
  lock_task(mx_file_lock);
  int r = take_for_hand_over(seq, m);
  unlock_task(mx_file_lock, "hand_over");
  while (r == 0) {
    // A command at work (or the opening) is waited for before anything is
    // saved: saving under a command that still writes would save its nodes,
    // and make the coarser ones again, round after round.
    // A close begun meanwhile saves the matrix and gives the lock back
    // itself, once this hand-over lets the matrix go.
    lock_task(matrix_lock);
    const bool closing = m->mode == kMxModeClosed;
    const bool busy = m->mode == kMxModeOpening || command_running(m);
    unlock_task(matrix_lock, "hand_over");
    if (closing) {
      finish_file_access(m, 0);
      return;
    }
    if (!busy) {
      if (mx_file_sync_in_access(m, true, false) != 0) return;  // closed meanwhile; the access is not held
      // A file that cannot be written back stays open, its pages and lock
      // kept: closing it would drop what is not on disk. Its close says so.
      if (write_back(work_of(m)->pdb_fd) != 0) {
        note_write_fault(m);
        finish_file_access(m, 0);
        return;
      }
      lock_task(matrix_lock);
      const bool settled = _settled(m);
      // From now on a node read before is read anew before use: its reading
      // waits for this access, so no command starts on what is in memory.
      if (settled) m->file_handovers.fetch_add(1, std::memory_order_acq_rel);
      unlock_task(matrix_lock, "hand_over");
      if (settled) break;
    }
    finish_file_access(m, 0);
    if (seq == 0 || mx_wait_start() >= until) return;
    lock_task(matrix_lock);
    _i_sleep_task_timeout(m, matrix_lock, kHandOverStepSeconds, __FILE__, __LINE__);
    lock_task(mx_file_lock);
    r = take_for_hand_over(0, m);
    unlock_task(mx_file_lock, "hand_over");
  }
  if (r) return;
  lock_task(mx_file_lock);
  shut_file(m);
  _finish_file_access(m, 0);
  unlock_task(mx_file_lock, "hand_over");
}

MATRIX_DATA_TYPE* stored_type(MATRIX_DATA_TYPE* tp) { return tp && tp->parent ? tp->parent : tp; }

// The forms of the script record at fofs, read to their end; an error
// value when the record cannot be read or its text does not parse whole.
ZU_SEXP* read_script(PDB64* pdb, int64_t fofs) {
  MxRecord r;
  if (mx_read_record(pdb, fofs, kMxCalType, 0, -1, &r) < 0)
    return get_error_ascii(nullptr, 0, ZU_ER_FORMAT, "load_mode_cal", nullptr);
  std::span<const uint8_t> body = r.body();
  STREAM* st = s_open_string_read(reinterpret_cast<const char*>(body.data()), utf8_cm, static_cast<int>(body.size()), 1);
  ZU_SEXP* forms = init_parse(st, l_string(ascii_cm, "sexp_commands"), l_string(ascii_cm, "sexp_commands"));
  for (ZU_SEXP* p = forms; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* f = p->pair.car;
    if (get_type(f) != ZU_TYPE_ERROR) continue;
    // The reader's own refusals; an error literal in the text is a form.
    uint32_t code = error_code(f);
    if (code == ZU_ER_END_OF_INPUT || (code & 0xFFFFFF00u) == (ZU_ER_PARSE_PAREN & 0xFFFFFF00u)) return f;
  }
  return forms;
}

}  // namespace

// ---------------------------------------------------------------------------
// Start-up, access

void init_mx_file() {
  if (lock_up_test(mx_file_lock)) return;
  if (!lock_up_test(l_favt64_lock)) init_l_favt64();
  mx_file_lock = new_lock(LOCK_MX_FILE);
  new_tick(mx_file_gc_tick, static_cast<int>(std::min<int64_t>(idle_seconds(), 15)), nullptr);
}

int _xx_start_file_access(MATRIX* m, int f, const char* file, int line) {
  assert_lock_held(mx_file_lock);
  if (int r = hold_access(m, file, line)) return r;
  MX_FILE_WORK* w = work_of(m);
  if (w->pdb_fd) return 0;
  int r = open_file(m, w, f, file, line);
  if (r) _finish_file_access(m, 0);
  return r;
}

int XX_start_file_access(MATRIX* m, const char* file, int line) {
  lock_task(mx_file_lock);
  int r = _xx_start_file_access(m, 1, file, line);
  unlock_task(mx_file_lock, "start_file_access");
  return r;
}

void _finish_file_access(MATRIX* m, int free_flag) {
  assert_lock_held(mx_file_lock);
  MX_FILE_WORK* w = work_of(m);
  if (!w) return;
  if (w->lock_cnt > 0 && --w->lock_cnt == 0) {
    w->lock_tid = 0;
    w->lock_file = nullptr;
    w->lock_line = 0;
    wakeup_task(w);
  }
  if (free_flag) {
    wakeup_task(w);
    d_f_ree(w);
    m->file_work = nullptr;
  }
}

void finish_file_access(MATRIX* m, int free_flag) {
  lock_task(mx_file_lock);
  _finish_file_access(m, free_flag);
  unlock_task(mx_file_lock, "finish_file_access");
}

void finish_file_access_with_wait(MATRIX* m, const void* wait_key) {
  lock_task(mx_file_lock);
  MX_FILE_WORK* w = work_of(m);
  if (!w || w->lock_cnt != 1) er_panic("finish_file_access_with_wait");
  _finish_file_access(m, 0);
  if (wait_key) _i_sleep_task_timeout(wait_key, mx_file_lock, 1.0, __FILE__, __LINE__);
  else unlock_task(mx_file_lock, "finish_file_access_with_wait");
}

int mx_take_open_file_access(MATRIX* m) {
  lock_task(mx_file_lock);
  int r = hold_access(m, __FILE__, __LINE__);
  if (r == 0 && !work_of(m)->pdb_fd) {
    _finish_file_access(m, 0);
    r = kMxFileBusy;
  }
  unlock_task(mx_file_lock, "mx_take_open_file_access");
  return r;
}

bool mx_file_changed(MATRIX* m) {
  lock_task(mx_file_lock);
  const MX_FILE_WORK* w = work_of(m);
  const bool changed = w && w->changed;
  unlock_task(mx_file_lock, "mx_file_changed");
  return changed;
}

bool mx_file_is_judged(MATRIX* m, const PeerReadFile& judged) {
  if (!judged.judged()) return true;
  lock_task(mx_file_lock);
  const MX_FILE_WORK* w = work_of(m);
  // A reader's data comes from the file its first opening stamped.
  const MX_FILE_STAMP* seen = !w ? nullptr : w->read_stamp.taken ? &w->read_stamp : &w->opened;
  const bool known = seen && seen->taken;
  const uint64_t dev = known ? seen->dev : 0;
  const uint64_t ino = known ? seen->ino : 0;
  unlock_task(mx_file_lock, "mx_file_is_judged");
  return known && judged.is(dev, ino);
}

// ---------------------------------------------------------------------------
// Closing

void set_mx_command_check(MX_COMMAND_CHECK check) { command_check.store(check, std::memory_order_release); }

namespace {

// Hands m's file over (seq as in mx_file_lock_event) with one level of
// m's access_lock, taken by the caller while it found m in the ring, given
// back here. A close that begins meanwhile waits for that level; the
// hand-over then lets the matrix go (see hand_over).
void hand_over_held(int seq, MATRIX* m) {
  lock_task(mx_file_lock);
  MX_FILE_WORK* w = work_of(m);
  const bool mine = w && !w->handing_over;
  if (mine) w->handing_over = 1;
  unlock_task(mx_file_lock, "hand_over_held");
  if (mine) {
    hand_over(seq, m);
    lock_task(mx_file_lock);
    work_of(m)->handing_over = 0;
    unlock_task(mx_file_lock, "hand_over_held");
  }
  lock_task(matrix_lock);
  if (--m->access_lock == 0) wakeup_task(m);
  unlock_task(matrix_lock, "hand_over_held");
}

}  // namespace

void mx_file_lock_event(int seq, MATRIX* m) {
  // Only a matrix in the ring is handed over: a closing one has left it
  // for good, and its close saves and gives the lock back.
  lock_task(matrix_lock);
  bool open = false;
  for (MATRIX* x = matrices_root.mx_next; x != &matrices_root && !open; x = x->mx_next) open = x == m;
  if (open) ++m->access_lock;
  unlock_task(matrix_lock, "mx_file_lock_event");
  if (open) hand_over_held(seq, m);
}

void mx_file_gc(MATRIX* skip) {
  lock_task(matrix_lock);
  if (call_mx_file_gc) {
    unlock_task(matrix_lock, "mx_file_gc");
    return;
  }
  call_mx_file_gc = 1;
  // A file a command works on stays open; each is tried once a pass.
  std::vector<const MATRIX*> tried;
  for (;;) {
    MATRIX* chosen = nullptr;
    int64_t now = mx_now();
    for (MATRIX* m = matrices_root.mx_next; m != &matrices_root && !chosen; m = m->mx_next) {
      if (m == skip || std::find(tried.begin(), tried.end(), m) != tried.end()) continue;
      lock_task(mx_file_lock);
      MX_FILE_WORK* w = work_of(m);
      bool open = w && w->pdb_fd && !w->handing_over;
      int open_cnt = mx_open_files_cnt;
      unlock_task(mx_file_lock, "mx_file_gc");
      if (!open) continue;
      bool idle = now - m->last_access > idle_seconds() && !m->wait_token && m->token_cnt == 0;
      if (open_cnt > 9 || idle) chosen = m;
    }
    if (!chosen) break;
    tried.push_back(chosen);
    ++chosen->access_lock;
    unlock_task(matrix_lock, "mx_file_gc");
    hand_over_held(0, chosen);
    lock_task(matrix_lock);
  }
  call_mx_file_gc = 0;
  unlock_task(matrix_lock, "mx_file_gc");
}

namespace {

void closer_task(TKEY) {
  // Giving a named lock back is a query to the service, which a task makes
  // only while it owns an interpreter.
  SelfInterpreterScope self;
  mx_file_gc(nullptr);
}

}  // namespace

// A pass saves what it hands over: it runs in a task of its own, not on
// the timer thread.
void mx_file_gc_tick(void*) { create_task(closer_task, nullptr, 2); }

int mx_file_sync(MATRIX* m) {
  lock_task(mx_file_lock);
  if (!m->file_work || hold_access(m, __FILE__, __LINE__) != 0) {
    unlock_task(mx_file_lock, "mx_file_sync");
    return 0;
  }
  unlock_task(mx_file_lock, "mx_file_sync");
  MX_FILE_WORK* w = work_of(m);
  int r = 0;
  if (PDB64* p = w->pdb_fd) {
    lock_task(l_favt64_lock);
    if (flush_filespace64(p) < 0 || fac_flush(&p->fac) < 0 || fac_sync(&p->fac) < 0) r = -1;
    unlock_task(l_favt64_lock, "mx_file_sync");
    if (r) note_write_fault(m);
  }
  finish_file_access(m, 0);
  return r;
}

int mx_write_back_if_pressed(MATRIX* m) {
  MX_FILE_WORK* w = work_of(m);
  // Inside a take of its own the caller may be in the middle of its work.
  lock_task(mx_file_lock);
  const bool outermost = w->lock_cnt == 1;
  unlock_task(mx_file_lock, "mx_write_back_if_pressed");
  if (!outermost || !w->pdb_fd) return 0;
  // One that failed is tried again once more pages are dirty, not at every
  // save: the disk may have room again.
  lock_task(l_favt64_lock);
  const bool pressed = fac_pressed();
  const bool due = pressed && fac_retry_due(&w->pdb_fd->fac);
  const int in_force = w->pdb_fd->fac.write_errno;
  unlock_task(l_favt64_lock, "mx_write_back_if_pressed");
  if (!pressed) return 0;
  const int err = due ? write_back(w->pdb_fd) : in_force;
  if (err) note_write_fault(m);
  return err;
}

int mx_file_write_back(MATRIX* m) {
  if (int r = start_file_access(m)) return r;
  int err = write_back(work_of(m)->pdb_fd);
  if (err) note_write_fault(m);
  finish_file_access(m, 0);
  return err;
}

uint32_t mx_file_write_faults(const MATRIX* m) { return m->write_faults.load(std::memory_order_acquire); }

int mx_file_write_fault(MATRIX* m, std::string* path, const uint32_t* since) {
  lock_task(mx_file_lock);
  MX_FILE_WORK* w = work_of(m);
  bool journal = m->file_errno_journal;
  int err = m->file_errno;
  // An open file tells from its last write-back; a closed one from its close.
  if (w && w->pdb_fd) err = write_back_fault(w->pdb_fd, &journal);
  if (since && mx_file_write_faults(m) == *since) err = 0;
  if (err && path) *path = failed_path(m, journal);
  unlock_task(mx_file_lock, "mx_file_write_fault");
  return err;
}

bool mx_file_in_use(int fd) {
  struct stat target {};
  if (fstat(fd, &target) != 0) return false;
  // Any lock on the file conflicts with a writer's: the record file of a
  // matrix open for writing or reading, here while its file is open, or in
  // another process.
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK) return true;
  // The files of the matrices open here, which the closer may have closed
  // for now: looked at after the lock is given back.
  std::vector<std::string> paths;
  lock_task(matrix_lock);
  for (MATRIX* m = matrices_root.mx_next; m != &matrices_root; m = m->mx_next)
    if (m->filename) paths.push_back(path_of(m));
  unlock_task(matrix_lock, "mx_file_in_use");
  for (const std::string& path : paths) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && st.st_dev == target.st_dev && st.st_ino == target.st_ino) return true;
  }
  return false;
}

void _close_matrix_file(MATRIX* m) {
  assert_lock_held(mx_file_lock);
  if (!m->file_work || hold_access(m, __FILE__, __LINE__) != 0) return;
  if (mx_trace()) ss_printf("CLOSE DETECT FLAG %x\n", m->flags);
  if (shut_file(m) < 0) {
    // Said where the nodes not saved are said; the file keeps its last
    // whole write-back, which the next opening recovers.
    log_printf(LOG_LEVEL_ERROR, LOG_LAYER_QN, nullptr, "matrix %s: the file could not be closed cleanly",
               path_of(m).c_str());
    mx_say_error("matrix %s: changes not saved: %s: %s", path_of(m).c_str(),
                 failed_path(m, m->file_errno_journal).c_str(), std::strerror(m->file_errno));
  }
  if (m->flags & kMxBroken) {
    // A broken matrix's file keeps what it holds: it is said, not cut.
    mx_say_error("matrix %s: closed while broken; the file is kept as it is", path_of(m).c_str());
  }
  _finish_file_access(m, 1);
}

void close_matrix_file(MATRIX* m) {
  lock_task(mx_file_lock);
  _close_matrix_file(m);
  unlock_task(mx_file_lock, "close_matrix_file");
}

// ---------------------------------------------------------------------------
// The header

int save_matrix_header(MATRIX* m) {
  if (!m->filename) return -1;
  lock_task(mx_file_lock);
  if (!m->file_work) m->file_work = new_work(0);
  MX_FILE_WORK* w = work_of(m);
  w->oflags = O_RDWR | O_CREAT;
  int r = _xx_start_file_access(m, 1, __FILE__, __LINE__);
  w = work_of(m);
  if (w) w->oflags = O_RDWR;
  if (r == 0 && !mx_file_is_new(w->pdb_fd)) {
    // Not a new file: nothing of it is touched.
    shut_file(m);
    _finish_file_access(m, 0);
    r = -1;
  }
  unlock_task(mx_file_lock, "save_matrix_header");
  if (r) return r;

  // The header record first, so it is the first matrix record of the file.
  lock_task(matrix_lock);
  PN64_MX_HEADER h{};
  h.channel_nos = m->p.channel_nos;
  h.dim = m->p.dim;
  h.flags = m->p.flags;
  h.total_levels = m->p.total_levels;
  h.modify_time = m->p.modify_time;
  for (int d = 0; d < h.dim && d < kMxMaxDim; ++d) {
    h.dim_divide[d] = m->dim_divide[d];
    h.block_size[d] = m->block_size[d];
    h.pixel_size[d] = m->pixel_size[d];
  }
  std::vector<_PN64_MX_CHANNEL_INFO> ch(static_cast<size_t>(std::max(h.channel_nos, 0)));
  for (int c = 0; c < h.channel_nos; ++c) ch[static_cast<size_t>(c)] = mx_channel_entry_of(m->channel_info[c]);
  unlock_task(matrix_lock, "save_matrix_header");
  int64_t size = mx_header_size(&h);
  PDB64* p = w->pdb_fd;
  if (size < 0) {
    finish_file_access(m, 0);
    return -1;
  }
  std::vector<uint8_t> rec(static_cast<size_t>(size));
  h.subheader_fofs = 0;
  mx_header_encode(rec, &h, ch.data());
  w->header_fofs = mx_new_record(p, rec);
  bool ok = w->header_fofs > 0;
  for (int c = 0; ok && c < h.channel_nos; ++c) {
    MATRIX_CHANNEL_INFO& inf = m->channel_info[c];
    if (!inf.data_type || !inf.default_data) continue;
    int64_t at = save_matrix_data_1(m, 0, inf.default_data, stored_type(inf.data_type));
    ok = at > 0;
    ch[static_cast<size_t>(c)].default_data_fofs = at;
    inf.default_data_fofs = at;
  }
  if (ok) {
    w->subheader = PN64_MX_SUBHEADER{};
    w->subheader.h = PN64_HEADER{kMxSubheaderType, {0, 0, 0}, sizeof(PN64_MX_SUBHEADER)};
    uint8_t sub[sizeof(PN64_MX_SUBHEADER)];
    mx_subheader_encode(sub, &w->subheader);
    w->subheader_fofs = mx_new_record(p, sub);
    ok = w->subheader_fofs > 0;
  }
  if (ok) {
    w->subheader.cache_next = w->subheader.cache_prev = w->subheader_fofs;
    w->subheader.flags = kMxOpenMark;
    FAVT64_ROOT* root = l_favt64_alloc_root(p, kMxDimCodeKeyType, mx_dim_code_endian);
    ok = root != nullptr;
    if (root) {
      w->subheader.node_root = static_cast<int64_t>(root->h.fofs);
      l_favt64_release(root);
    }
  }
  if (ok) {
    h.subheader_fofs = w->subheader_fofs;
    mx_header_encode(rec, &h, ch.data());
    ok = mx_write_subheader(w) == 0 && mx_write_record(p, w->header_fofs, rec) == 0;
  }
  finish_file_access(m, 0);
  return ok ? 0 : -1;
}

int load_matrix_header(MATRIX* m, int oflags, int) {
  if (!m->filename) return kMxNoFileName;
  lock_task(mx_file_lock);
  if (m->file_work) {
    unlock_task(mx_file_lock, "load_matrix_header");
    return kMxCannotOpen;  // loaded once already
  }
  m->file_work = new_work(oflags & ~O_TRUNC);
  int r = _xx_start_file_access(m, 1, __FILE__, __LINE__);
  MX_FILE_WORK* w = work_of(m);
  auto fail = [&](int code) {
    shut_file(m);
    _finish_file_access(m, 1);
    unlock_task(mx_file_lock, "load_matrix_header");
    return code;
  };
  if (r) {
    ss_printf("load_matrix_header-1 %i\n", r);
    return fail(r);
  }
  bool validated = w->taken_over != 0;
  w->oflags &= ~O_CREAT;
  PN64_MX_HEADER h{};
  MxRecord hrec;
  int found = mx_find_header(w->pdb_fd, &w->header_fofs, &h, &hrec);
  if (found == -1) {
    if (mx_file_is_new(w->pdb_fd)) {
      if (mx_trace()) ss_printf("************ DESTROY-1\n");
      return fail(kMxNewFile);
    }
    return fail(kMxInvalidFile);
  }
  if (found < 0) return fail(kMxInvalidFile);
  if (!validated) {
    // Whatever is damaged is found now, before anything of the file is
    // used or written.
    std::string why;
    int64_t at = 0;
    if (mx_validate_file(w->pdb_fd, &why, &at) != 0) {
      mx_file_fault(m, why.c_str(), at);
      return fail(kMxInvalidFile);
    }
    validated = true;
  }
  w->subheader_fofs = h.subheader_fofs;
  if (int t = take_mark(w, validated, "************ DESTROY-3")) {
    w->subheader_fofs = 0;  // refused: nothing is written back
    return fail(t);
  }
  unlock_task(mx_file_lock, "load_matrix_header");

  // The parameters, then the channels with their default data.
  lock_task(matrix_lock);
  int applied = mx_apply_header(m, h);
  unlock_task(matrix_lock, "load_matrix_header");
  std::vector<MATRIX_CHANNEL_INFO> infos;
  for (int c = 0; applied == 0 && c < h.channel_nos; ++c) {
    MATRIX_CHANNEL_INFO inf = mx_channel_info_of(mx_header_channel(&h, c));
    if (inf.data_type && inf.default_data_fofs) {
      inf.default_data = load_matrix_data(nullptr, nullptr, m, inf.default_data_fofs, stored_type(inf.data_type));
      if (!inf.default_data) applied = -1;
    }
    infos.push_back(inf);
  }
  for (size_t c = 0; c < infos.size(); ++c) {
    MATRIX_CHANNEL_INFO& inf = infos[c];
    if (applied == 0 && inf.data_type) set_matrix_channel_info(m, static_cast<int>(c), &inf);
    if (inf.default_data) stored_type(inf.data_type)->free_data(stored_type(inf.data_type), inf.default_data);
  }
  if (applied != 0) {
    mx_file_fault(m, "header or default datum", w->header_fofs);
    lock_task(mx_file_lock);
    return fail(kMxInvalidFile);  // the mark taken is cleared again
  }
  finish_file_access(m, 0);
  return 0;
}

int save_subheader(MATRIX* m, int sfa) {
  if (!sfa && start_file_access(m) != 0) return -1;
  int r = mx_write_subheader(work_of(m));
  if (!sfa) finish_file_access(m, 0);
  return r;
}

int load_subheader(MATRIX* m, int sfa) {
  if (!sfa && start_file_access(m) != 0) return -1;
  int r = read_subheader(work_of(m));
  if (!sfa) finish_file_access(m, 0);
  return r;
}

// ---------------------------------------------------------------------------
// Default data

int64_t save_matrix_data_1(MATRIX* m, int64_t fofs, const void* target, MATRIX_DATA_TYPE* tp) {
  if (!tp || !tp->convert_to_net || start_file_access(m) != 0) return -1;
  int64_t at = -1;
  RECORD_LIST64* rl = new_recordlist64(0, 0);
  int64_t joined = -1;
  if (tp->convert_to_net(tp, rl, target) == 0 && (joined = setup_recordlist64(rl)) >= 0) {
    // A list without a record header keeps no size of its own.
    auto n = static_cast<size_t>(joined);
    const auto* bytes = static_cast<const uint8_t*>(rl->data);
    std::vector<uint8_t> rec(16 + std::max<size_t>(n, kMxMinFilledBody));
    if (mx_data_1_encode(rec, std::span<const uint8_t>(bytes, n)) > 0) at = mx_put_record(work_of(m)->pdb_fd, fofs, rec);
  }
  free_recordlist64(rl);
  finish_file_access(m, 0);
  return at;
}

void* load_matrix_data(int64_t* next_fofs, int* id, MATRIX* m, int64_t fofs, MATRIX_DATA_TYPE* tp) {
  if (start_file_access(m) != 0) return nullptr;
  PDB64* p = work_of(m)->pdb_fd;
  void* d = nullptr;
  MxRecord r;
  uint16_t type = mx_read_any_record(p, fofs, &r) == 0 ? swap_if16(r.h->type) : 0;
  const auto body = static_cast<int64_t>(r.body().size());
  if (type == kMxData1Type && body >= kMxMinFilledBody) {
    int64_t n = mx_data_1_datum_size(tp, r.body());
    if (n >= 0 && tp->convert_to_host)
      d = tp->convert_to_host(tp, r.body().data(), n, MX_ATYPE::tagged, nullptr, __FILE__, __LINE__);
  } else if (type == kMxData2Type && body >= kMxData2Head) {
    PN64_MX_DATA_2 d2;
    if (mx_data_2_decode(r.body(), &d2) == 0 && d2.id < m->p.channel_nos) {
      MATRIX_DATA_TYPE* ct = m->channel_info[d2.id].data_type;
      if (ct && ct->convert_to_host)
        d = ct->convert_to_host(ct, d2.data.data(), static_cast<int64_t>(d2.data.size()), MX_ATYPE::tagged, nullptr,
                                __FILE__, __LINE__);
      if (d && next_fofs) *next_fofs = d2.next_fofs;
      if (d && id) *id = d2.id;
    }
  }
  finish_file_access(m, 0);
  return d;
}

// ---------------------------------------------------------------------------
// Scripts

int save_mode_cal(MATRIX* m, int mode, const char* const* const* cals, const int* pri) {
  if (mode < 0 || mode >= kMxModes) return -1;
  if (start_file_access(m) != 0) return -2;
  MX_FILE_WORK* w = work_of(m);
  PN64_MX_SUBHEADER& s = w->subheader;
  bool changed = false;
  int r = 0;
  if (pri) {
    std::memcpy(s.mode_pri_area[mode], pri, sizeof s.mode_pri_area[mode]);
    changed = true;
  }
  for (int slot = 0; cals && slot < kMxScriptSlots && r == 0; ++slot) {
    int64_t& at = s.mode_cal_fofs[mode][slot];
    if (!cals[slot]) {
      if (at) {
        l_free_filespace64(w->pdb_fd, static_cast<uint64_t>(at));
        at = 0;
        changed = true;
      }
      continue;
    }
    std::string text;
    for (const char* const* piece = cals[slot]; *piece; ++piece) text += *piece;
    // The record layer keeps bodies of 8 bytes or more; blanks fill a
    // shorter text and read as nothing.
    if (text.size() < kMxMinFilledBody) text.resize(kMxMinFilledBody, ' ');
    std::vector<uint8_t> rec(16 + text.size());
    mx_cal_encode(rec, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    int64_t moved = mx_put_record(w->pdb_fd, at, rec);
    if (moved < 0) r = -3;
    if (moved > 0 && moved != at) {
      at = moved;
      changed = true;
    }
  }
  if (changed && mx_write_subheader(w) < 0) r = -3;
  finish_file_access(m, 0);
  return r;
}

int load_mode_cal(ZU_SEXP** cals, int* pri, MATRIX* m, int mode) {
  if (mode < 0 || mode >= kMxModes) {
    if (pri) std::memset(pri, 0, sizeof(int) * kMxScriptSlots);
    if (cals) std::fill(cals, cals + kMxScriptSlots, nullptr);
    return -1;
  }
  if (start_file_access(m) != 0) return -2;
  MX_FILE_WORK* w = work_of(m);
  if (pri) std::memcpy(pri, w->subheader.mode_pri_area[mode], sizeof(int) * kMxScriptSlots);
  int r = 0;
  if (cals) std::fill(cals, cals + kMxScriptSlots, nullptr);
  for (int slot = 0; cals && slot < kMxScriptSlots && r == 0; ++slot) {
    int64_t at = w->subheader.mode_cal_fofs[mode][slot];
    if (!at) continue;
    ZU_SEXP* forms = read_script(w->pdb_fd, at);
    if (get_type(forms) == ZU_TYPE_ERROR) {
      // A slot whose script is lost must not run as one without a script
      // (a fetch slot would then wait for ever).
      mx_file_fault(m, "stored script", at);
      r = kMxInvalidFile;
      std::fill(cals, cals + kMxScriptSlots, nullptr);
      break;
    }
    cals[slot] = forms;
  }
  finish_file_access(m, 0);
  return r;
}

// ---------------------------------------------------------------------------
// Debugging operations

PDB64* get_mx_file_pfd(MATRIX* m) {
  lock_task(mx_file_lock);
  PDB64* p = m->file_work ? work_of(m)->pdb_fd : nullptr;
  unlock_task(mx_file_lock, "get_mx_file_pfd");
  return p;
}

void check_pdb_fd(MATRIX* m) {
  if (PDB64* p = get_mx_file_pfd(m)) ss_printf("CLOSE POINT = %p\n", static_cast<void*>(p));
  else ss_printf("CLOSE POINT = ZERO W\n");
}

void matrix_test(MATRIX* m) {
  int r = start_file_access(m);
  if (r != 0) {
    ss_printf("load_matrix_header-1 %i %p %p\n", r, static_cast<void*>(m), m->file_work);
    return;
  }
  PN64_MX_HEADER h{};
  MxRecord rec;
  int64_t at = 0;
  mx_find_header(work_of(m)->pdb_fd, &at, &h, &rec);
  finish_file_access(m, 0);
}

int test_matrix(MATRIX* m) {
  lock_task(matrix_lock);
  bool any = false;
  for (int c = 0; c < m->p.channel_nos; ++c) any = any || m->channel_info[c].data_type;
  unlock_task(matrix_lock, "test_matrix");
  if (any) return 0;
  ss_printf(">>> %i\n", get_tid());
  return -1;
}

int save_cal_check(MATRIX* m) {
  if (start_file_access(m) != 0) return -1;
  const PN64_MX_SUBHEADER s = work_of(m)->subheader;
  finish_file_access(m, 0);
  ss_printf("SCC\n");
  int r = 0;
  for (int mode = 0; mode < kMxModes; ++mode)
    for (int slot = 0; slot < kMxScriptSlots; ++slot) {
      int64_t at = s.mode_cal_fofs[mode][slot];
      if (!at) continue;
      ss_printf("SCC %i-%i -- %lli\n", mode, slot, static_cast<long long>(at));
      for (int m2 = mode; m2 < kMxModes; ++m2)
        for (int s2 = m2 == mode ? slot + 1 : 0; s2 < kMxScriptSlots; ++s2)
          if (s.mode_cal_fofs[m2][s2] == at) r = -1;
    }
  return r;
}
