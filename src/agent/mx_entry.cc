// The entry table: ids, registration, look-up, sharing between the
// interpreters, opening for reading and closing (mx_entry.h).
#include "agent/mx_entry.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/signals.h"
#include "base/task.h"
#include "matrix/mx_file.h"
#include "runtime/services.h"
#include "text/convert.h"
#include "zu/gc.h"

SEM mx_entry_lock;
MX_ENTRY* mx_list;
int mx_entry_counter;

namespace {

// Serialises open_mxread from the look-up to the end of the open method,
// so that a matrix it finds opening is never one that another reader is
// opening (taken before matrix_lock).
SEM mx_open_lock;

// The program's end and the openings it waits for (mx_entry_lock).
enum class End { kRunning, kEnding, kEnded };
End mx_end = End::kRunning;
// The nodes whose changes the end could not save, once it has ended.
int mx_end_lost = 0;
int mx_openings = 0;
// Entries unlinked by close_mx_entry whose matrices are not closed yet.
int mx_closes = 0;
// Set once the locks exist: the exit handler may run on a thread that
// never synchronised with the one that made them.
std::atomic<bool> mx_entry_ready{false};
// Set when the end begins; read without a lock by waiting commands.
std::atomic<bool> mx_ending{false};
// The end's closes under way, each in a task of its own (mx_entry_lock),
// and what they could not save.
int end_closes = 0;
int end_closes_lost = 0;
// The files of the end's closes under way, for the watchdog that may cut
// the end short: it takes no task lock, only this leaf.
std::mutex& closing_mu = *new std::mutex;
std::vector<std::string>& closing_files = *new std::vector<std::string>;
// The work record of open_mxread, on the opener's stack; the open method
// fills it before the matrix turns active, which releases the opener.
struct OPEN_WORK {
  MX_ENTRY* entry;  // with one reference for the opener
  int phase_mode;
  int refused;      // the store's refusal: the file or set_matrix_param
  bool by_name;     // MX_ENTRY::by_name of the entry made
};

// The fetch script of a matrix opened with a negative phase: every fetched
// node is loaded from the matrix file and ends ready, or failed when it
// cannot be loaded.
constexpr const char* kFetchScript[] = {"<mxFinish\n", "\tnormal-jump-status=\"MS_OK\"\n",
                                        "\terr-jump-status=\"MS_PROCESS_ERR_1\"/>\n", "<mxLoad target=\"file\"/>\n"};
constexpr int kFetch1Tp = 3;  // MI_FETCH_1_TP; _MD and _BT follow

// Size code of an element: 1, 2, 4 or 8 bytes give 0..3; none for others.
uint16_t size_code(int64_t size) {
  switch (size) {
    case 1:
      return 0;
    case 2:
      return 1;
    case 4:
      return 2;
    case 8:
      return 3;
    default:
      return kMxcNoSlot;
  }
}

bool name_matches(const L_CHAR* want, const L_CHAR* have) {
  return !want || (have && l_strcmp(want, have) == 0);
}

// The linked entry, not closing, whose matrix has those names (a name left
// out matches any); the caller holds mx_entry_lock. A linked entry's matrix
// stays, and its names are set before the entry is made.
MX_ENTRY* _find_named_entry(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key) {
  for (MX_ENTRY* e = mx_list; e; e = e->next) {
    const MATRIX* m = e->c.m;
    if (!e->closing && name_matches(neturl, m->neturl) && name_matches(filename, m->filename) &&
        name_matches(key, m->key))
      return e;
  }
  return nullptr;
}

// Takes a reference to an entry an opening found (mx_entry_lock held); an
// opening for a script makes it the script's, which a create leaves alone.
void _take_found(MX_ENTRY* e, bool by_name) {
  ++e->refs;
  if (!by_name) e->by_name = false;
}

void unlink_entry(MX_ENTRY* e) {
  for (MX_ENTRY** pp = &mx_list; *pp; pp = &(*pp)->next)
    if (*pp == e) {
      *pp = e->next;
      e->next = nullptr;
      return;
    }
}

// The command lock (mx_entry_lock held): 0, or -1 when the entry closes.
int _lock_mx_entry(MX_ENTRY* e) {
  assert_lock_held(mx_entry_lock);
  int me = get_tid();
  while (!e->closing && e->cmd_tid && e->cmd_tid != me) {
    sleep_task(e, mx_entry_lock);
    lock_task(mx_entry_lock);
  }
  if (e->closing) return -1;
  if (e->cmd_tid != me) e->c.m->commands.fetch_add(1, std::memory_order_acq_rel);
  e->cmd_tid = me;
  ++e->cmd_depth;
  return 0;
}

void _unlock_mx_entry(MX_ENTRY* e) {
  assert_lock_held(mx_entry_lock);
  if (e->cmd_tid != get_tid()) return;
  if (--e->cmd_depth > 0) return;
  e->cmd_tid = 0;
  // What runs between commands (saves and loads left behind, the flush of
  // changes, scripts of timers or peers) asks for a named lock anew.
  e->c.m->commands.fetch_add(1, std::memory_order_acq_rel);
  wakeup_task(e);
}

void _drop_mx_entry(MX_ENTRY* e) {
  assert_lock_held(mx_entry_lock);
  if (--e->refs == 0 && e->closing) wakeup_task(e);
}

// Waits until nobody but the closer knows the entry (mx_entry_lock held).
void _wait_unused(MX_ENTRY* e) {
  assert_lock_held(mx_entry_lock);
  while (e->refs > 0) {
    sleep_task(e, mx_entry_lock);
    lock_task(mx_entry_lock);
  }
}

// Releases what the entry made for its cache. flush_mx_cache only looks
// at the pool when a node is held, so what is left there goes here.
void release_cache(MX_ENTRY* e) {
  MX_CACHE* c = &e->c;
  flush_mx_cache(c, 1);
  if (mx_user_header* u = c->user_header) {
    c->user_header = nullptr;
    if (u->free_func) u->free_func(c);
  }
  for (int k = 0; c->mblk_hash && k < c->mblk_hashsize; ++k)
    while (MBLK* b = c->mblk_hash[k]) {
      c->mblk_hash[k] = b->next;
      d_f_ree(b);
    }
  mxc_release(c);
  d_f_ree(c->access_ch);
  d_f_ree(e->p.data_ix);
  c->access_ch = nullptr;
  e->p.data_ix = nullptr;
}

// The end of a closed entry that nobody uses any more: what the close
// could not save (close_matrix).
int finish_entry(MX_ENTRY* e, MX_CLOSE_LOSS* loss = nullptr) {
  release_cache(e);
  int lost = close_matrix(e->c.m, loss);
  d_f_ree(e);
  return lost;
}

// 0, or the store's code for a stored mode that cannot be read.
int set_read_scripts(MATRIX* m, int phase_mode) {
  if (phase_mode >= 3) return 0;
  if (phase_mode < 0) {
    ZU_SEXP* fetch = sexp_commands(utf8_cm, kFetchScript[0], kFetchScript[1], kFetchScript[2], kFetchScript[3],
                                   nullptr);
    set_matrix_cal(m, kFetch1Tp, fetch);
    set_matrix_cal_equ(m, kFetch1Tp + 1, kFetch1Tp);
    set_matrix_cal_equ(m, kFetch1Tp + 2, kFetch1Tp);
    return 0;
  }
  ZU_SEXP* cals[kMxScriptSlots] = {};
  if (int r = load_mode_cal(cals, nullptr, m, phase_mode); r < 0) return r;
  for (int slot = 0; slot < kMxScriptSlots; ++slot) set_matrix_cal(m, slot, cals[slot]);
  return 0;
}

}  // namespace

void init_mx_entry() {
  static std::once_flag once;
  std::call_once(once, [] {
    mx_entry_lock = new_lock(LOCK_MX_ENTRY);
    mx_open_lock = new_lock(LOCK_MX_OPEN);
    mx_entry_ready.store(true, std::memory_order_release);
  });
}

// ---------------------------------------------------------------------------
// Making and finding

MX_ENTRY* new_mx_entry(MX_ENTRY* entry, MATRIX* m) {
  MX_ENTRY* e = entry;
  if (!e) {
    e = static_cast<MX_ENTRY*>(d_calloc(sizeof(MX_ENTRY), 1));
    e->c.m = m;
  }
  m = e->c.m;
  lock_task(matrix_lock);
  int channels = std::max(m->p.channel_nos, 0);
  e->c.access_ch = static_cast<int*>(d_calloc(sizeof(int), std::max(channels, 1)));
  e->p.data_ix = static_cast<MX_CACHE_PARAM_IX*>(d_calloc(sizeof(MX_CACHE_PARAM_IX), std::max(channels, 1)));
  int n = 0;
  for (int ch = 0; ch < channels; ++ch) {
    MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
    if (!tp) continue;
    MATRIX_DATA_TYPE* et = tp->parent ? tp->parent : tp;
    uint16_t code = size_code(et->get_size(et, nullptr));
    e->c.access_ch[n] = ch;
    e->p.data_ix[n] = code == kMxcNoSlot ? MX_CACHE_PARAM_IX{kMxcNoSlot, kMxcNoSlot}
                                         : MX_CACHE_PARAM_IX{code, static_cast<uint16_t>(ch)};
    ++n;
  }
  unlock_task(matrix_lock, "new_mx_entry");
  e->c.ds_len = n;
  e->c.gn_tree_node = 0;
  e->c.gn_create = 3;
  e->c.gn_wait = 3;
  e->p.c = &e->c;
  mxc_setup(&e->c);
  e->refs = 1;
  if (regist_mx_entry(e) == 0) return e;
  release_cache(e);
  if (!entry) d_f_ree(e);
  return nullptr;
}

int regist_mx_entry(MX_ENTRY* entry) {
  lock_task(mx_entry_lock);
  if (mx_end != End::kRunning || _search_mx_entry(entry->c.m)) {
    unlock_task(mx_entry_lock, "regist_mx_entry");
    return -1;
  }
  do {
    mx_entry_counter = mx_entry_counter < 1 || mx_entry_counter == INT_MAX ? 1 : mx_entry_counter + 1;
  } while (_search_mx_entry_by_id(mx_entry_counter));
  entry->id = mx_entry_counter;
  entry->next = mx_list;
  mx_list = entry;
  unlock_task(mx_entry_lock, "regist_mx_entry");
  return 0;
}

MX_ENTRY* _search_mx_entry(MATRIX* m) {
  assert_lock_held(mx_entry_lock);
  for (MX_ENTRY* e = mx_list; e; e = e->next)
    if (e->c.m == m) return e;
  return nullptr;
}

MX_ENTRY* _search_mx_entry_by_id(int id) {
  assert_lock_held(mx_entry_lock);
  for (MX_ENTRY* e = mx_list; e; e = e->next)
    if (e->id == id) return e;
  return nullptr;
}

MX_ENTRY* search_mx_entry(MATRIX* m) {
  lock_task(mx_entry_lock);
  MX_ENTRY* e = _search_mx_entry(m);
  unlock_task(mx_entry_lock, "search_mx_entry");
  return e;
}

MX_ENTRY* search_mx_entry_by_id(int id) {
  lock_task(mx_entry_lock);
  MX_ENTRY* e = _search_mx_entry_by_id(id);
  unlock_task(mx_entry_lock, "search_mx_entry_by_id");
  return e;
}

// ---------------------------------------------------------------------------
// Using

MX_ENTRY* hold_mx_entry(int id) {
  lock_task(mx_entry_lock);
  MX_ENTRY* e = _search_mx_entry_by_id(id);
  if (e) ++e->refs;
  unlock_task(mx_entry_lock, "hold_mx_entry");
  return e;
}

MX_ENTRY* use_mx_entry(int id) {
  lock_task(mx_entry_lock);
  MX_ENTRY* e = _search_mx_entry_by_id(id);
  if (e) {
    ++e->refs;
    if (_lock_mx_entry(e) != 0) {
      _drop_mx_entry(e);
      e = nullptr;
    }
  }
  unlock_task(mx_entry_lock, "use_mx_entry");
  return e;
}

void done_mx_entry(MX_ENTRY* e) {
  lock_task(mx_entry_lock);
  _unlock_mx_entry(e);
  _drop_mx_entry(e);
  unlock_task(mx_entry_lock, "done_mx_entry");
}

int lock_mx_entry(MX_ENTRY* e) {
  lock_task(mx_entry_lock);
  int r = _lock_mx_entry(e);
  unlock_task(mx_entry_lock, "lock_mx_entry");
  return r;
}

void unlock_mx_entry(MX_ENTRY* e) {
  lock_task(mx_entry_lock);
  _unlock_mx_entry(e);
  unlock_task(mx_entry_lock, "unlock_mx_entry");
}

void drop_mx_entry(MX_ENTRY* e) {
  lock_task(mx_entry_lock);
  _drop_mx_entry(e);
  unlock_task(mx_entry_lock, "drop_mx_entry");
}

bool mx_command_running(MATRIX* m) {
  lock_task(mx_entry_lock);
  const MX_ENTRY* e = _search_mx_entry(m);
  const bool running = e && e->cmd_tid && e->cmd_tid != get_tid();
  unlock_task(mx_entry_lock, "mx_command_running");
  return running;
}

void _i_assert_mx_command_held(MX_ENTRY* e, const char* file, int line) {
  lock_task(mx_entry_lock);
  bool mine = e->cmd_tid == get_tid();
  int id = e->id;
  unlock_task(mx_entry_lock, "assert_mx_command_held");
  if (mine) return;
  char msg[256];
  std::snprintf(msg, sizeof msg, "the command lock of entry %d is not held at %s:%d", id, file, line);
  er_panic(msg);
}

// ---------------------------------------------------------------------------
// Opening for reading

void open_mxread_method(MATRIX_TOKEN* t) {
  MATRIX* m = t->wait_matrix;
  // A matrix that a node script names by its file (mxCH type="matrix") is
  // opened with no work record: it loads its nodes from its file, runs
  // none of its stored scripts, and its entry is held by nobody.
  OPEN_WORK by_script{nullptr, -1, 0, true};
  auto* w = m->open_work ? static_cast<OPEN_WORK*>(m->open_work) : &by_script;
  ZuThreadScope scope("open_mxread_method");
  if (int r = load_matrix_header(m, O_RDONLY, 0644); r < 0) {
    if (r == kMxFileBusy || r == kMxInvalidFile) w->refused = r;
    set_matrix_mode(m, kMxModeFailed);
    return;
  }
  MATRIX_PARAM p{};
  p.read_file = matrix_standard_read_file;
  p.close_file = close_matrix_file;
  if (int r = set_matrix_param(m, &p)) {
    w->refused = r;
    close_matrix_file(m);  // its close callback was never set
    set_matrix_mode(m, kMxModeFailed);
    return;
  }
  if (int r = set_read_scripts(m, w->phase_mode)) {
    w->refused = r;  // the close callback closes the file
    set_matrix_mode(m, kMxModeFailed);
    return;
  }
  lock_task(mx_entry_lock);
  MX_ENTRY* e = _search_mx_entry(m);
  if (e) ++e->refs;
  unlock_task(mx_entry_lock, "open_mxread_method");
  if (!e) {
    auto* made = static_cast<MX_ENTRY*>(d_calloc(sizeof(MX_ENTRY), 1));
    made->c.m = m;
    made->by_name = w->by_name;
    if (!(e = new_mx_entry(made, m))) d_f_ree(made);
  }
  w->entry = e;
  set_matrix_mode(m, kMxModeActive);
  if (w == &by_script && e) drop_mx_entry(e);
}

namespace {

MX_ENTRY* open_mxread_named(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key, int phase_mode,
                            bool by_name, int* refused, bool* opened) {
  OPEN_WORK w{nullptr, phase_mode, 0, by_name};
  lock_task(mx_open_lock);
  lock_task(mx_entry_lock);
  MX_ENTRY* e = _find_named_entry(neturl, filename, key);
  if (e) _take_found(e, by_name);
  unlock_task(mx_entry_lock, "open_mxread");
  if (e) {
    unlock_task(mx_open_lock, "open_mxread");
    return e;
  }
  lock_task(matrix_lock);
  MATRIX* m = _search_matrix(neturl, filename, key);
  bool ours = false;
  if (!m) {
    m = _open_matrix(neturl, filename, key, open_mxread_method, &w);
    ours = m != nullptr;
    if (ours) _hold_matrix(m);
  }
  unlock_task(matrix_lock, "open_mxread");
  if (ours) {
    wait_matrix_mode(m);
    e = w.entry;
    // A failed opening leaves nothing behind: the name can be opened again.
    if (e) release_matrix(m);
    else close_matrix(m);
    if (refused) *refused = w.refused;
    if (opened) *opened = e != nullptr;
  } else if (m) {
    // Open without an entry: being created or closed by another caller.
    lock_task(mx_entry_lock);
    if ((e = _search_mx_entry(m))) _take_found(e, by_name);
    unlock_task(mx_entry_lock, "open_mxread");
  }
  unlock_task(mx_open_lock, "open_mxread");
  return e;
}

MX_ENTRY* open_mxread_as(bool by_name, const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                         int phase_mode, int* refused, bool* opened) {
  if (refused) *refused = 0;
  if (opened) *opened = false;
  if (!neturl && !filename && !key) return nullptr;  // would match any matrix
  if (begin_mx_open() != 0) return nullptr;
  MX_ENTRY* e = open_mxread_named(neturl, filename, key, phase_mode, by_name, refused, opened);
  end_mx_open();
  return e;
}

}  // namespace

MX_ENTRY* open_mxread(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key, int phase_mode,
                      int* refused, bool* opened) {
  return open_mxread_as(true, neturl, filename, key, phase_mode, refused, opened);
}

MX_ENTRY* open_mxread_for_script(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key, int phase_mode,
                                 int* refused) {
  return open_mxread_as(false, neturl, filename, key, phase_mode, refused, nullptr);
}

// ---------------------------------------------------------------------------
// Closing

int close_mx_entry(MX_ENTRY* e, MX_CLOSE_LOSS* loss) {
  lock_task(mx_entry_lock);
  int me = get_tid();
  if (e->cmd_tid == me) {
    e->cmd_depth = 1;
    _unlock_mx_entry(e);
  }
  if (e->closing) {
    _drop_mx_entry(e);
    unlock_task(mx_entry_lock, "close_mx_entry");
    return -1;
  }
  unlink_entry(e);
  e->closing = 1;
  ++mx_closes;
  --e->refs;
  wakeup_task(e);  // users waiting for the command lock give up
  _wait_unused(e);
  unlock_task(mx_entry_lock, "close_mx_entry");
  int lost = finish_entry(e, loss);
  lock_task(mx_entry_lock);
  if (--mx_closes == 0) wakeup_task(&mx_closes);
  unlock_task(mx_entry_lock, "close_mx_entry");
  return lost;
}

bool close_reader_of(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key) {
  if (!neturl && !filename && !key) return false;  // would match any matrix
  lock_task(mx_entry_lock);
  MX_ENTRY* e = _find_named_entry(neturl, filename, key);
  // Closing an entry the calling task works on as a command would wait for
  // that task itself.
  const bool reader = e && e->by_name && e->cmd_tid != get_tid();
  if (reader) ++e->refs;
  unlock_task(mx_entry_lock, "close_reader_of");
  if (reader) close_mx_entry(e);
  return reader;
}

namespace {

std::string file_of(const MX_ENTRY* e) {
  const MATRIX* m = e->c.m;
  const L_CHAR* name = m->filename ? m->filename : m->key ? m->key : m->neturl;
  char* narrow = name ? ln_copy_str(std_cm, name) : nullptr;
  std::string r = narrow ? narrow : "?";
  d_f_ree(narrow);
  return r;
}

// One close of the end: waits for the entry's users (stopped by now),
// saves and closes. Runs in a task of its own, so that no close waits
// behind another's users, scripts or named lock.
void end_close(MX_ENTRY* e) {
  std::string file = file_of(e);
  {
    std::lock_guard<std::mutex> g(closing_mu);
    closing_files.push_back(file);
  }
  lock_task(mx_entry_lock);
  _wait_unused(e);
  unlock_task(mx_entry_lock, "end_close");
  const int lost = finish_entry(e);
  note_end_progress();
  {
    std::lock_guard<std::mutex> g(closing_mu);
    // Only this close's name: another entry may name the same file.
    if (auto it = std::find(closing_files.begin(), closing_files.end(), file); it != closing_files.end())
      closing_files.erase(it);
  }
  lock_task(mx_entry_lock);
  end_closes_lost += lost;
  if (--end_closes == 0) wakeup_task(&end_closes);
  unlock_task(mx_entry_lock, "end_close");
}

void end_close_task(TKEY data) { end_close(static_cast<MX_ENTRY*>(data)); }

}  // namespace

int close_all_mx_entry() {
  if (!lock_up_test(mx_entry_lock)) return 0;
  lock_task(mx_entry_lock);
  MX_ENTRY* all = mx_list;
  mx_list = nullptr;
  for (MX_ENTRY* e = all; e; e = e->next) {
    e->closing = 1;
    ++end_closes;
    wakeup_task(e);
  }
  unlock_task(mx_entry_lock, "close_all_mx_entry");
  while (MX_ENTRY* e = all) {
    all = e->next;
    e->next = nullptr;
    // Without a task of its own a close runs here.
    if (create_task(end_close_task, e, 3) < 0) end_close(e);
  }
  lock_task(mx_entry_lock);
  while (end_closes > 0) {
    sleep_task(&end_closes, mx_entry_lock);
    lock_task(mx_entry_lock);
  }
  const int lost = end_closes_lost;
  end_closes_lost = 0;
  unlock_task(mx_entry_lock, "close_all_mx_entry");
  return lost;
}

// ---------------------------------------------------------------------------
// The program's end

int begin_mx_open() {
  lock_task(mx_entry_lock);
  bool running = mx_end == End::kRunning;
  if (running) ++mx_openings;
  unlock_task(mx_entry_lock, "begin_mx_open");
  return running ? 0 : -1;
}

void end_mx_open() {
  lock_task(mx_entry_lock);
  if (--mx_openings == 0) wakeup_task(&mx_openings);
  unlock_task(mx_entry_lock, "end_mx_open");
}

bool mx_program_ending() { return mx_ending.load(std::memory_order_acquire); }

void mx_end_stalled() {
  std::unique_lock<std::mutex> g(closing_mu, std::try_to_lock);
  if (!g.owns_lock()) return;
  for (const std::string& f : closing_files) {
    std::string line = "matrix " + f + ": the end was cut while its close waited; what changed since its last "
                       "write-back is not saved\n";
    if (write(2, line.data(), line.size()) < 0) return;
  }
}

void close_all_mx() {
  mx_ending.store(true, std::memory_order_release);
  if (!mx_entry_ready.load(std::memory_order_acquire)) {
    close_all_matrix();
    return;
  }
  lock_task(mx_entry_lock);
  if (mx_end != End::kRunning) {
    while (mx_end != End::kEnded) {
      sleep_task(&mx_end, mx_entry_lock);
      lock_task(mx_entry_lock);
    }
    unlock_task(mx_entry_lock, "close_all_mx");
    return;
  }
  mx_end = End::kEnding;
  _sleep_task_while(&mx_openings, mx_entry_lock, kOpeningWaitSeconds, [] { return mx_openings > 0; });
  unlock_task(mx_entry_lock, "close_all_mx");
  int lost = close_all_mx_entry();
  // Entries that their own closes took off the table still own their
  // matrices until those closes are done.
  lock_task(mx_entry_lock);
  while (mx_closes > 0) {
    sleep_task(&mx_closes, mx_entry_lock);
    lock_task(mx_entry_lock);
  }
  unlock_task(mx_entry_lock, "close_all_mx");
  lost += close_all_matrix();
  lock_task(mx_entry_lock);
  mx_end_lost = lost;
  mx_end = End::kEnded;
  wakeup_task(&mx_end);
  unlock_task(mx_entry_lock, "close_all_mx");
}

int mx_end_unsaved() {
  if (!mx_entry_ready.load(std::memory_order_acquire)) return 0;
  lock_task(mx_entry_lock);
  const int lost = mx_end_lost;
  unlock_task(mx_entry_lock, "mx_end_unsaved");
  return lost;
}
