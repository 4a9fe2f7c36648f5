// Memory blocks through zlib. The compressed form is the plain zlib stream
// (header, deflate data, Adler-32 trailer) with nothing in front of it.
// Results are tagged blocks (base/alloc.h) owned by the caller, released
// with d_f_ree. No state; safe from any thread.
#pragma once

#include <cstdint>

// Compresses at zlib level opt (0-9, or -1 for zlib's default). Null with
// *compressedSize 0 when zlib refuses the level or the size cannot be held;
// otherwise the block (possibly longer than the stream) and its length.
void* zlib_compress(int32_t* compressedSize, const void* sourceMemory, int32_t sourceSize, int opt);

// Inflates one complete zlib stream in a single pass. Null, with
// *uncompress_len untouched, for an empty, corrupt or truncated stream, one
// that needs a preset dictionary, or one inflating past kCodecMaxInflate.
// Bytes after the end of the stream are ignored.
void* zlib_uncompress(int32_t* uncompress_len, const void* data, int32_t length);
