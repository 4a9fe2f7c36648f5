// Streams: every byte the program reads or writes goes through a STREAM.
//
// A stream record begins with the common header S_HEADER; the header points
// at the back-end's operation table S_TABLE (found by a one-letter type) and
// holds the stream's encoding, its line count and its life-cycle state.
//
// Life cycle: a stream is live from its open until a close begins. A close
// refuses every new operation at once, wakes readers blocked in the stream
// (they see the end of input), waits until the operations in progress have
// left, flushes what was written and releases the back-end.
//
// Identity: the record itself lives while it is open or referenced. Opening
// gives the opener one reference, which the close takes back; whoever keeps
// the pointer where another party may close the stream (an interpreter
// whose link a tick or a watchdog may close, a reader, a timer) takes a
// reference of its own with s_hold and gives it back with s_drop. A closed
// record that is still referenced answers every operation as closed, and
// its address is not reused until the last reference has gone, so s_exist
// on a referenced pointer never mistakes another stream for it.
//
// Locking: stream_lock guards the stream list and state changes only. No
// operation blocks in a read or write while holding it. Readers of one
// stream are serialised among themselves and so are writers; one reader and
// one writer may work at the same time. A back-end that carries its bytes
// over other streams marks its records `layered`: their sides come before
// every plain stream's in the lock order.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>

#include "base/alloc.h"
#include "base/lock.h"
#include "text/codemethod.h"
#include "text/lchar.h"

struct STREAM;

// Back-end operations. A back-end that does not support an operation leaves
// the slot null; the stream layer then answers with its error result.
struct S_TABLE {
  int type;  // the one-letter type
  // Releases the back-end's resources. Called once, after every operation
  // has left and no new one can begin, without stream_lock (with it
  // through __d_s_close); pending output is flushed first by the layer
  // through `flush`. Returns 0 or -1.
  int (*close)(STREAM* s);
  // Bytes written (all of len), or -1.
  int (*write)(STREAM* s, const void* data, int len);
  // Up to len bytes; the count, 0 at the end of input, -1 on failure.
  int (*read)(STREAM* s, void* data, int len);
  // Sends buffered output on; 0 or -1.
  int (*flush)(STREAM* s);
  // The peer's IPv4 address in host order; -1 when none is known.
  int (*get_socketip)(STREAM* s);
  // Wraps an existing descriptor in a stream of this back-end.
  STREAM* (*open_desc)(int fd);
  // Hand-over to a child: stores the descriptor the child keeps; 0 or -1.
  int (*proc_send)(STREAM* s, int* fd);
  // In the child: rebuilds a stream from a handed descriptor.
  STREAM* (*proc_recv)(int fd);
  // Bytes received and not yet read; -1 when unknown.
  int (*get_data_size)(STREAM* s);
  // Waits for the peer's flush mark; bytes buffered then, or -1.
  int (*wait_flush)(STREAM* s);
  // Sets the address announced to the peer; 0 or -1.
  int (*set_ip_addr)(STREAM* s, int ip);
  // Wakes threads blocked inside the back-end (the stream is closing).
  // abort_writes also breaks writers out of blocked writes.
  void (*interrupt)(STREAM* s, int abort_writes);
};

// Life-cycle states.
constexpr int S_STATE_LIVE = 1;
constexpr int S_STATE_CLOSING = 2;
constexpr int S_STATE_CLOSED = 3;

// Modes and categories given to _xx_s_open.
constexpr int S_MODE_READ = 1;
constexpr int S_MODE_RW = 2;
constexpr int S_MODE_WRITE = 3;
constexpr int S_CAT_FILE = 1;
constexpr int S_CAT_STRING = 2;
constexpr int S_CAT_TERMINAL = 4;
constexpr int S_CAT_PIPE = 8;
constexpr int S_CAT_NETWORK = 16;
constexpr int S_CAT_CHAIN = 32;
constexpr int S_CAT_SERIAL = 64;

constexpr int kMaxBlocked = 4;

// Which lock guards what: "open" fields are set before the stream is
// registered and only read after; the reader side is rmu together with
// rbusy (see below); the writer side is wmu.
struct S_HEADER {
  const S_TABLE* tbl = nullptr;  // open
  int type = 0;      // open: the table's type letter
  int mode = 0;      // open: S_MODE_*
  int category = 0;  // open: S_CAT_*
  const char* file = nullptr;  // open: where it was opened
  int line = 0;                // open

  // Encoding: the code method and one work state (its decoder fields serve
  // readers, its encoder field serves formatted output). cm and cmw change
  // on the writer side, with the reader side too when it is free.
  CODE_METHOD* cm = nullptr;
  CM_WORK cmw{};
  L_CHAR dec_pending[CM_MAX_DECODE]{};  // reader side: codes decoded and not yet taken
  int dec_npending = 0;                 // reader side

  // Line counting (after s_set_cr, which takes both sides). CR, LF and CRLF
  // are one line end each. cr_cnt counts the line ends written (writer
  // side); on a read-only stream it counts those read (reader side). cr_in
  // always counts those read.
  int cr_flag = 0;
  int cr_cnt = 0;
  int cr_in = 0;          // reader side
  int cr_wstate = 0;      // writer side: the last byte written was CR
  int cr_rstate = 0;      // reader side: the last byte read was CR
  int cr_last_delta = 0;  // reader side: effect of the last byte read, undone by s_push
  int cr_last_prev = 0;   // reader side: cr_rstate before that byte

  int push_c = -1;  // reader side: pushed-back byte, -1 when none

  // Bytes a buffering back-end has read ahead and not handed out yet. When
  // rwin_direct is set, s_read_lchar decodes straight from [rwin, rwin_end)
  // without calling the back-end's read; the back-end then keeps its read
  // position here. Guarded by the reader side (rmu and rbusy).
  const unsigned char* rwin = nullptr;
  const unsigned char* rwin_end = nullptr;
  int rwin_direct = 0;
  // Held by whoever works on the reader state: every reader while it runs
  // (together with rmu) and the short character fast path, which takes it
  // alone. A close waits until it is free.
  std::atomic<int> rbusy{0};

  std::atomic<int> state{0};
  std::atomic<int> users{0};  // operations in progress
  std::atomic<int> refs{1};   // the opener's (until the close) and s_hold's
  std::atomic<int> abort_io{0};  // writes are being broken off
  // The system's reason for the first write, flush or close of the stream
  // that failed, 0 while none has. Set once; every later write and flush
  // fails with it, so that what follows a lost piece never lands after a
  // gap as if nothing were missing.
  std::atomic<int> werr{0};
  // Task id of a stream thread still attached to the stream, 0 when none.
  std::atomic<int> thread{0};
  int std_flag = 0;  // open: one of the process's standard streams
  int handed = 0;    // set by its closer before the close: handed to a child, keep the peer
  // open: the back-end reads and writes other streams (a protocol carried
  // over connections); its reader and writer sides come first in the lock
  // order, so that those of the streams it uses may be taken under them.
  int layered = 0;

  // Write watchdog: a write that makes no progress for wa_sec seconds is
  // broken off and the stream queued for closing. Set by the owner before
  // it shares the stream; read by writers.
  int wa_type = 0;
  int wa_sec = 0;
  // Read guard: a read of a descriptor that waits ra_sec seconds without a
  // byte fails. Set by the owner before it shares the stream; read by
  // readers.
  int ra_sec = 0;

  // Throughput of reads: written by the reader side, read by anyone.
  std::atomic<int64_t> tp_bytes{0};
  std::atomic<int64_t> tp_first_us{0};
  std::atomic<int64_t> tp_last_us{0};

  // Threads blocked inside a system call of this stream, for interrupts
  // (blk_mu).
  std::mutex blk_mu;
  pthread_t blk_thr[kMaxBlocked]{};
  int blk_dir[kMaxBlocked]{};  // 0 free, 1 reading, 2 writing
  // Serialise readers and writers. Not leaves: they are held while the
  // back-end blocks for input or output, so they are waited for at a safe
  // point and take their place in the lock order (S_SIDE, stream_impl.h).
  std::mutex rmu;
  std::mutex wmu;
};

struct STREAM {
  S_HEADER h;
  virtual ~STREAM() = default;
};

// The lock over the stream list and state changes.
extern SEM stream_lock;
void lock_stream();
void unlock_stream();

// Starts the stream layer: registers every back-end, opens the standard
// streams, rebuilds the streams handed over by a parent and installs the
// hand-over for launch_proc. Idempotent; every function here calls it.
void init_stream();
// A function run once the layer has started (registration of further
// back-ends); run at once when it has started already.
void s_add_init_hook(void (*hook)());

// Registers a back-end table under its type letter; 0, or -1 when the
// letter is taken by another table.
int insert_s_table(const S_TABLE* tbl);
const S_TABLE* search_s_table(int type);

// Allocates a stream record of back-end type T (tagged, constructed).
template <class T, class... A>
T* s_new_record(const char* file, int line, A&&... args);

// Initialises the header of a caller-made stream whose table is set and
// links it into the stream list. Called under the stream lock.
int _xx_s_open(STREAM* s, int mode, int stream_type, const char* file, int line);
// As _xx_s_open, taking the stream lock itself.
int xx_s_register(STREAM* s, int mode, int stream_type, const char* file, int line);
#define _s_open(s, mode, stream_type) _xx_s_open((s), (mode), (stream_type), __FILE__, __LINE__)
#define s_register(s, mode, stream_type) xx_s_register((s), (mode), (stream_type), __FILE__, __LINE__)

// Closing. _d_s_close closes at once (-1 for an invalid, standard or
// already closed stream; a second close is harmless). __d_s_close does the
// same while the caller holds stream_lock. s_close_queue hands the stream to
// the close task; a reader blocked in it sees the end of input at once.
int _d_s_close(STREAM* s, const char* file, int line);
int __d_s_close(STREAM* s, const char* file, int line);
// Closes as d_s_close and says whether the stream's bytes all arrived: 0
// when every write, flush and the close itself succeeded, else -1 with the
// system's reason for the first that failed in *err (EBADF for a stream
// that was not open). For the opener of a file that must be whole.
int e_close(STREAM* s, int* err);
int s_close_queue(STREAM* s);
// Waits until the close task has closed every queued stream.
void s_close_queue_drain();
#define d_s_close(s) _d_s_close((s), __FILE__, __LINE__)
// Owns an open stream and closes it when the owner goes, also when a
// refusal for memory unwinds past it (base/alloc.h); release() hands it on.
struct StreamClose {
  void operator()(STREAM* s) const { _d_s_close(s, __FILE__, __LINE__); }
};
using OwnedStream = std::unique_ptr<STREAM, StreamClose>;

// 1 when s is a live open stream, else 0. Safe on any pointer the caller
// holds a reference on (and on null).
int s_exist(STREAM* s);
// Takes a reference on a record the caller knows to be alive (it holds a
// reference, or got the pointer under a lock that keeps one); s_drop gives
// it back. Both accept null.
void s_hold(STREAM* s);
void s_drop(STREAM* s);

// Reading and writing.
int s_read(STREAM* s, void* data, int len);
// As s_read, but ends after the first byte equal to delim; bytes the
// stream has buffered are taken in one piece, else one byte is read.
int s_read_until(STREAM* s, void* data, int len, int delim);
int s_push(STREAM* s, int c);
int s_write(STREAM* s, const void* data, int len);
// As s_write, with the error of e_printf in *err when it fails: the system
// error number, EBADF for a stream that cannot be written, EIO for a
// failure without a number.
int e_write(STREAM* s, int* err, const void* data, int len);
int s_flush(STREAM* s);
// As s_flush, with the reason of a failure in *err as e_write gives it: a
// flush fails once any write of the stream has failed.
int e_flush(STREAM* s, int* err);
// The system's reason for the first failed write, flush or close of a
// stream the caller holds (S_HEADER::werr), 0 while none has failed.
int s_write_error(STREAM* s);
// Decodes one character through the stream's encoding: 1 with the code in
// *code, 0 at the end of input, -1 on failure.
int s_read_lchar(STREAM* s, L_CHAR* code);

// Line counting: flag 1 turns it on, starting at 1 (0 turns it off).
int s_set_cr(STREAM* s, int flag);
int s_get_cr(STREAM* s);

// Encoding. s_set_cm writes the old encoder's closing shift sequence,
// forgets any half-decoded character and switches to cm.
CODE_METHOD* s_get_cm(STREAM* s);
int s_set_cm(STREAM* s, CODE_METHOD* cm);

// Write watchdog: type 1 arms it with sec seconds, 0 disarms it.
int s_set_write_abort(STREAM* s, int type, int sec);
// Read guard: a read that has waited sec seconds for its first byte fails
// (-1, errno ETIMEDOUT); 0 disarms it. Descriptor back-ends only.
int s_set_read_guard(STREAM* s, int sec);
// Bytes per second read so far; negative while none has been measured.
double s_get_thput(STREAM* s);
// The peer's IPv4 address (host order); -1 when none; 0 for an invalid stream.
int s_get_socketip(STREAM* s);
// The descriptor under a descriptor-based stream, -1 otherwise.
int s_get_fd(STREAM* s);
// Whether the other end of a descriptor-based stream has ended its side or
// the connection failed, asked without waiting: bytes it sent before its
// end do not hide the end. False for other streams and while it is open.
bool s_peer_gone(STREAM* s);

// Formatted output through the stream's encoding. "%s" is narrow text in
// the standard encoding, "%ls" a wide string; a code the encoding cannot
// express is written "&cx%x;". Results: the bytes written or -1.
int s_printf(STREAM* s, const char* fmt, ...);
// As s_printf; *err receives the system error number when the write fails.
int e_printf(STREAM* s, int* err, const char* fmt, ...);
// Formats an argument list; flag and extra are 0 in every use.
int _s_printf(STREAM* s, int flag, const char* fmt, va_list ap, int extra);
// Trace output, written to s_stderr (never mixed with replies on s_stdout).
int ss_printf(const char* fmt, ...);

// The standard streams; any code may point them at another stream. When
// the stream one of them points at closes, it points at the process's own
// standard stream again.
extern STREAM* s_stdin;
extern STREAM* s_stdout;
extern STREAM* s_stderr;
// Streams handed over by a parent process, and their number.
extern STREAM** recv_streams;
extern int recv_streams_len;
// Rebuilds streams from a hand-over argument ("+p3,f4"; a bare number is a
// pipe end) into recv_streams. Tokens that do not name an open descriptor
// are skipped. Returns the number of streams.
int s_recv_streams_from_arg(const char* arg);

// Back-ends and constructors.
// File: flags are the system's O_* flags; mode is used only with O_CREAT.
STREAM* s_open_file(const char* path, int flags, int mode);
// Wraps a descriptor (the stream owns it from then on). tbl may be null
// for the file back-end.
STREAM* s_open_descripter(int fd, const S_TABLE* tbl);
// Read-only stream over size bytes of text read in encoding cm (null:
// std_cm); flag 1 copies the bytes, else the caller keeps them alive.
STREAM* s_open_string_read(const char* text, CODE_METHOD* cm, int size, int flag);
// Write-only stream collecting bytes; its encoding is cm (null: std_cm).
STREAM* s_open_string_write(CODE_METHOD* cm);
// The bytes written so far, zero-terminated, owned by the stream.
char* s_get_string(STREAM* s);
// Byte count written to a string stream, -1 for another stream.
int s_get_string_len(STREAM* s);
// The bytes as a zero-terminated wide string (stream written in int_cm),
// owned by the stream; null for another stream.
L_CHAR* s_get_l_string(STREAM* s);

// Terminal over the standard input and output. prompt(stream, n) is called
// when it opens (n 0) and after each line it reads (n its length).
using TERMINAL_PROMPT = void (*)(STREAM* s, int len);
STREAM* s_open_terminal(TERMINAL_PROMPT prompt);
// As s_open_terminal over other descriptors (kept open at close).
STREAM* s_open_terminal_fd(int in_fd, int out_fd, TERMINAL_PROMPT prompt);

// Pipe pair: p[0] and p[1] each read what the other writes. s_flush sends a
// flush mark; one end may be handed to a child process (launch_proc).
int s_open_fpipe(STREAM** p);
// A pipe pair for this process alone: no descriptor, no stream threads (an
// idle pair costs no thread); never handed to a child. 0 or -1.
int s_open_fpipe_local(STREAM** p);
int s_set_fpipe_ip_addr(STREAM* s, int ip);
// Bounds what an end holds unread: while `bytes` wait (0: no bound) its
// stream thread takes nothing more from the peer, whose writes then block.
// The end's flush marks and address answers wait too. 0, or -1 for a
// stream that is not a pipe end.
int s_set_fpipe_in_limit(STREAM* s, size_t bytes);
// Waits for the peer's next flush mark: the bytes buffered then, -1 once
// the peer has ended, -2 when s_wake_fpipe_flush woke it first (or was
// called since the last wait).
int s_wait_flush_fpipe(STREAM* s);
int s_wake_fpipe_flush(STREAM* s);
int s_get_fpipe_data_size(STREAM* s);
// Ends what this end sends: the peer reads the end of input after what was
// sent before (the caller has flushed and writes no more), while this end
// still reads what the peer sends. 0, or -1.
int s_end_fpipe_output(STREAM* s);

// Chain: text written is forwarded by the stream's own thread through the
// forwarding hook (installed by the interpreters) as 4-byte codes, most
// significant byte first. type 'o' or 'e'; null for another type or while
// no hook is installed. The hook waits up to wait_ms (0: not at all) for
// the peer's answer and returns 0 (sent, and answered when waited for), 1
// (sent, no answer in time) or -1 (cannot be sent: nobody takes the text).
// s_flush returns 0 once the peer has answered for the text written before
// it; -1 when a call was not answered in time (set_chain_flush_wait: the
// time given to the peer, 10 s by default), after which flushes no longer
// wait for answers. Text that cannot be sent, and all later text of the
// stream, goes to the process's own standard output ('o') or error ('e')
// stream instead.
using CHAIN_FORWARD = int (*)(int iid, int type, const unsigned char* data, size_t len, int wait_ms);
void set_chain_forward(CHAIN_FORWARD f);
void set_chain_flush_wait(int ms);
STREAM* s_open_chain(int iid, int type);
extern const S_TABLE s_chain_table;

// Serial line: a device opened raw at a baud rate (0 keeps the device's).
STREAM* s_open_serial(const char* path, int baud);
// Serial devices present (/dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*): writes up
// to max paths (tagged copies the caller frees); returns their number.
int s_list_serial(char** out, int max);

// Resources: descriptors in use; *op_max receives the process limit.
int s_check_resource2(int* op_max);
// The same for paths that ask on every connection: counting reads
// /proc/self/fd (tens of microseconds), so a count is reused for 100 ms,
// corrected by the descriptors that streams opened and closed since, as
// long as that stays under half the limit; an answer of half the limit or
// more is always a fresh count, so decisions taken above it never rest on
// a reused one.
int s_descriptors_in_use(int* op_max);
// Called when an open fails for lack of descriptors (with the error
// number); the open is then tried once more.
void s_set_resource_hook(void (*hook)(int err));
// Runs the hook for err when it is EMFILE or ENFILE; 1 when it ran.
int s_resource_shortage(int err);

// Implementation support for back-ends: blocking system calls register the
// calling thread so that a close can interrupt them.
struct S_BLOCKED {
  S_BLOCKED(STREAM* s, int dir);
  ~S_BLOCKED();
  S_BLOCKED(const S_BLOCKED&) = delete;
  S_BLOCKED& operator=(const S_BLOCKED&) = delete;
  STREAM* s;
  int slot;
  BlockingRegion region;
};
// Signals the threads registered in dir (1 readers, 2 writers, 3 both).
void s_kick_blocked(STREAM* s, int dir);
// Microseconds of a monotonic clock.
int64_t s_now_us();
// Frees a record that never became live (an open that failed half way).
void s_discard_record(STREAM* s);

template <class T, class... A>
T* s_new_record(const char* file, int line, A&&... args) {
  void* mem = xx_d_alloc(sizeof(T), file, line);
  return new (mem) T(static_cast<A&&>(args)...);
}
