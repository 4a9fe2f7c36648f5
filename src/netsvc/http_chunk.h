// The chunked-transfer reader of HTTP bodies, shared by every HTTP reader of
// the system.
//
// A stream registered with chunk_read_start is read through s_chunk_read,
// which hands out the body's bytes across chunk boundaries and reports the
// end of the body after the last (zero-size) chunk; a stream that is not
// registered reads plainly. The registry (CHUNK_READ_LIST) is guarded by the
// chunk-read lock; one reader per stream at a time.
//
// Chunk sizes come from the peer: at most 8 hexadecimal digits and at most
// INT_MAX, and the rest of a size line (extensions) at most 8 KiB; anything
// else is a read failure.
#pragma once

struct STREAM;

struct CHUNK_READ_LIST {
  CHUNK_READ_LIST* next;
  STREAM* stream;
  int rest;  // bytes left in the current chunk; -1 once the body has ended
};

// Registers s and reads the first chunk size: 0, or -1 (nothing registered)
// when it cannot be read.
int chunk_read_start(STREAM* s);
// Up to len bytes of the body: the count, 0 at the body's end, or the
// failing read's result.
int s_chunk_read(STREAM* s, void* data, int len);
// Forgets s (nothing when it is not registered).
void chunk_read_end(STREAM* s);
