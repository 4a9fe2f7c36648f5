// Pieces shared by the stream layer's own files (not for other layers).
#pragma once

#include "stream/stream.h"

// Counts an operation in progress on s; `s` is null when the stream is not
// live (the operation must fail).
struct S_USE {
  explicit S_USE(STREAM* s);
  ~S_USE();
  S_USE(const S_USE&) = delete;
  S_USE& operator=(const S_USE&) = delete;
  void release();
  STREAM* s;
};

// A stream's reader lock (rmu) or writer lock (wmu), waited for at a safe
// point and noted in the lock order (LOCK_STREAM_READER, LOCK_STREAM_WRITER):
// the back-end blocks under it.
class S_SIDE {
 public:
  S_SIDE(std::mutex& m, int level);
  ~S_SIDE();
  S_SIDE(const S_SIDE&) = delete;
  S_SIDE& operator=(const S_SIDE&) = delete;

 private:
  std::mutex& m_;
};

// The lock-order levels of a stream's reader and writer sides.
inline int s_reader_level(const S_HEADER& h) { return h.layered ? LOCK_STREAM_OUTER_READER : LOCK_STREAM_READER; }
inline int s_writer_level(const S_HEADER& h) { return h.layered ? LOCK_STREAM_OUTER_WRITER : LOCK_STREAM_WRITER; }

// Line ends in n bytes (CR, LF and CRLF once each); *state carries a CR
// at the end of one piece over to the next.
int s_count_line_ends(const unsigned char* p, int n, int* state);

// Start-up pieces.
void s_register_builtin_tables();
void s_open_std_streams();
// A standard stream pointer that names the closed stream s names the
// process's own standard stream again.
void s_std_closed(STREAM* s);
// The process's own standard stream of descriptor fd (0, 1 or 2).
STREAM* s_own_std(int fd);
void s_install_handover();
const char* s_inherited_arg();

// Write watchdog: the milliseconds a write may wait without progress, -1
// when unarmed; s_write_aborted breaks the stream off and queues its close.
int s_write_abort_ms(STREAM* s);
void s_write_aborted(STREAM* s);
// Read guard: the milliseconds a read may wait for its first byte, -1 when
// unarmed.
int s_read_guard_ms(STREAM* s);

// Descriptors that descriptor streams own and have not closed yet
// (be_file.cc keeps it; s_descriptors_in_use reads it).
void s_note_fds_opened(int n);

// Descriptor back-end pieces used by the network and serial files.
extern const S_TABLE s_file_table;
extern const S_TABLE s_serial_table;
extern const S_TABLE s_listen_table;
extern const S_TABLE s_fpipe_table;
extern const S_TABLE s_string_read_table;
extern const S_TABLE s_string_write_table;
extern const S_TABLE s_terminal_table;
// A descriptor stream; own_fd 0 keeps the descriptor open at close.
STREAM* s_make_fd_stream(int fd, const S_TABLE* tbl, int mode, int category, int own_fd,
                         int peer_ip, const char* file, int line);
// The file table's read and write, shared with the serial back-end.
int s_fd_read(STREAM* s, void* data, int len);
int s_fd_write(STREAM* s, const void* data, int len);
int s_fd_flush(STREAM* s);
int s_fd_close(STREAM* s);
void s_fd_interrupt(STREAM* s, int abort_writes);

// Pipe pair from a handed descriptor (child side).
STREAM* s_fpipe_from_fd(int fd);
