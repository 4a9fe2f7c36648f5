// Byte queues and copying between streams.
#pragma once

#include <cstddef>

#include "base/lock.h"
#include "stream/stream.h"

struct SBUF_CHUNK;

// A byte queue of chunks; each function takes the lock it is given (or
// none for a null lock).
struct STREAM_BUF {
  SBUF_CHUNK* head;
  SBUF_CHUNK* tail;
  size_t size;  // bytes queued
};

void init_sbuf(STREAM_BUF* b, SEM lock);
// Appends a copy of len bytes; 0, or -1 for a bad argument.
int copy_in_sbuf(STREAM_BUF* b, const void* data, size_t len, SEM lock);
// Takes up to len bytes; the count, 0 when empty.
size_t copy_out_sbuf(STREAM_BUF* b, void* data, size_t len, SEM lock);
size_t get_sbuf_data_size(STREAM_BUF* b, SEM lock);
// Frees every chunk; the queue is empty afterwards.
void free_sbuf(STREAM_BUF* b, SEM lock);

// The reader copy_in_sbuf_stream uses (the HTTP layer installs its chunked
// reader); null restores plain s_read.
using S_CHUNK_READ = int (*)(STREAM* s, void* data, int len);
void set_sbuf_chunk_reader(S_CHUNK_READ f);

// Appends bytes read from s: len of them, or all up to the end when len < 0.
// The bytes appended, or -1 on a read error.
long long copy_in_sbuf_stream(STREAM_BUF* b, STREAM* s, long long len, SEM lock);

// Copies len bytes (-1: up to the end) from s1 to s2. 0 when done, -1 when
// s1 ended or failed first, -2 when writing to s2 failed; *ret_len = bytes
// copied.
int s_copy_to_stream(long long* ret_len, STREAM* s1, STREAM* s2, long long len);

// Moves len bytes of data through func(s, piece, n) in pieces of at most
// 1000 bytes: 1 when all were moved, 0 when func returned 0 first, -1 when
// it failed; *ret_len = bytes moved.
using EN_FUNC = int (*)(STREAM* s, void* data, int len);
int en_do(long long* ret_len, EN_FUNC func, STREAM* s, void* data, long long len);
