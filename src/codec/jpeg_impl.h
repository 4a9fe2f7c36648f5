// The JPEG layer's library-facing records: memory destination and source
// managers and the error manager. Folder-internal.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <jpeglib.h>

#include "codec/jpeg.h"

// Destination: one malloc buffer that grows as the data need it.
struct my_destination_mgr {
  jpeg_destination_mgr pub;
  uint8_t** ppBuffer;  // where the buffer's current address is published
  int32_t* pWritten;   // kept for callers that pass one; not written
  uint8_t* buffer;
  size_t capacity;
};

// Source: the whole stream at once, then a fake end-of-image marker.
struct mlibjpg_source_mgr {
  jpeg_source_mgr pub;
  const uint8_t* stream;
  int32_t size;
  int32_t count;  // unused
  boolean start_of_file;
};

// Error exits jump back to the call that set setjmp_buffer; so does the
// warning that the entropy data ran short.
struct my_error_mgr {
  jpeg_error_mgr pub;
  jmp_buf setjmp_buffer;
};

// Private record of jpeg_uncompress.
struct CallbackInfo {
  uint8_t* dib;
  int32_t width;
  int32_t height;
  void* callback;       // unused
  void* callback_data;  // unused
  int32_t max_width;    // sides the header may give
  int32_t max_height;
};

void jpeg_memory_dest(j_compress_ptr cinfo, uint8_t** ppBuffer, int32_t* pWritten);
// Bytes the compressor has written so far.
size_t get_jpeg_compressed_size(j_compress_ptr cinfo);
void jpeg_memory_src(j_decompress_ptr cinfo, const uint8_t* stream, int32_t stream_size);
// Installs the standard error manager with exits that jump and messages
// that are dropped; the warning that the entropy data ran short exits.
jpeg_error_mgr* my_error_init(my_error_mgr* err);

int HeaderCallback(LoadJPGInfo* info, void* data);
uint8_t* ReadCallback(int32_t row, void* data);
