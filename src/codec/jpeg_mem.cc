// Memory destination, memory source and error manager of the JPEG layer.
#include <jerror.h>

#include <cstdlib>
#include <cstring>

#include "codec/jpeg_impl.h"

namespace {

my_destination_mgr* dest_of(j_compress_ptr cinfo) { return reinterpret_cast<my_destination_mgr*>(cinfo->dest); }

void publish(my_destination_mgr* d) {
  if (d->ppBuffer) *d->ppBuffer = d->buffer;
}

// A first guess of one byte per pixel; the buffer doubles when the data
// need more.
void init_destination(j_compress_ptr cinfo) {
  my_destination_mgr* d = dest_of(cinfo);
  size_t want = size_t{cinfo->image_width} * cinfo->image_height + 4096;
  d->buffer = static_cast<uint8_t*>(std::malloc(want));
  if (!d->buffer) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 10);
  d->capacity = want;
  publish(d);
  d->pub.next_output_byte = d->buffer;
  d->pub.free_in_buffer = want;
}

boolean empty_output_buffer(j_compress_ptr cinfo) {
  my_destination_mgr* d = dest_of(cinfo);
  size_t grown = d->capacity * 2;
  auto* n = static_cast<uint8_t*>(std::realloc(d->buffer, grown));
  if (!n) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 11);
  d->buffer = n;
  publish(d);
  d->pub.next_output_byte = n + d->capacity;
  d->pub.free_in_buffer = grown - d->capacity;
  d->capacity = grown;
  return TRUE;
}

void term_destination(j_compress_ptr) {}

mlibjpg_source_mgr* src_of(j_decompress_ptr cinfo) { return reinterpret_cast<mlibjpg_source_mgr*>(cinfo->src); }

void init_source(j_decompress_ptr cinfo) { src_of(cinfo)->start_of_file = TRUE; }

// Whether the scan being read still has iMCU rows to come after this one.
bool scan_rows_ahead(j_decompress_ptr cinfo) {
  return cinfo->total_iMCU_rows > 0 && cinfo->input_iMCU_row + 1 < cinfo->total_iMCU_rows;
}

// The stream is offered once; asked again, the source gives an end-of-image
// marker, so a stream without its tail ends cleanly instead of being read
// past its end. Huffman-coded data that ends before the image does is
// caught where the decoder runs short (emit_message). Arithmetic-coded
// data reads as zeros past its end by design, so the cut shows only here:
// a scan whose data runs out before its last row has begun is refused
// (such a stream lacks its end marker too).
boolean fill_input_buffer(j_decompress_ptr cinfo) {
  static const JOCTET kFakeEoi[2] = {0xFF, JPEG_EOI};
  mlibjpg_source_mgr* s = src_of(cinfo);
  if (s->start_of_file && s->size > 0) {
    s->pub.next_input_byte = s->stream;
    s->pub.bytes_in_buffer = static_cast<size_t>(s->size);
  } else {
    if (cinfo->arith_code && scan_rows_ahead(cinfo)) ERREXIT(cinfo, JERR_INPUT_EOF);
    WARNMS(cinfo, JWRN_JPEG_EOF);
    s->pub.next_input_byte = kFakeEoi;
    s->pub.bytes_in_buffer = 2;
  }
  s->start_of_file = FALSE;
  return TRUE;
}

void skip_input_data(j_decompress_ptr cinfo, long num_bytes) {
  if (num_bytes <= 0) return;
  mlibjpg_source_mgr* s = src_of(cinfo);
  if (static_cast<unsigned long>(num_bytes) >= s->pub.bytes_in_buffer) {
    s->pub.bytes_in_buffer = 0;
    fill_input_buffer(cinfo);
    return;
  }
  s->pub.next_input_byte += num_bytes;
  s->pub.bytes_in_buffer -= static_cast<size_t>(num_bytes);
}

void term_source(j_decompress_ptr) {}

[[noreturn]] void my_error_exit(j_common_ptr cinfo) {
  longjmp(reinterpret_cast<my_error_mgr*>(cinfo->err)->setjmp_buffer, 1);
}

void my_output_message(j_common_ptr) {}

// The entropy decoder needed bits the data does not hold: the data ends
// (or is broken) before the image does. The library would fill the rest
// with grey, making a picture of any size out of a few bytes: it is an
// error here.
void my_emit_message(j_common_ptr cinfo, int msg_level) {
  if (msg_level >= 0) return;
  if (cinfo->err->msg_code == JWRN_HIT_MARKER) my_error_exit(cinfo);
  ++cinfo->err->num_warnings;
}

}  // namespace

void jpeg_memory_dest(j_compress_ptr cinfo, uint8_t** ppBuffer, int32_t* pWritten) {
  if (!cinfo->dest)
    cinfo->dest = static_cast<jpeg_destination_mgr*>(
        (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(my_destination_mgr)));
  my_destination_mgr* d = dest_of(cinfo);
  d->pub.init_destination = init_destination;
  d->pub.empty_output_buffer = empty_output_buffer;
  d->pub.term_destination = term_destination;
  d->ppBuffer = ppBuffer;
  d->pWritten = pWritten;
  d->buffer = nullptr;
  d->capacity = 0;
}

size_t get_jpeg_compressed_size(j_compress_ptr cinfo) {
  my_destination_mgr* d = dest_of(cinfo);
  return d->capacity - d->pub.free_in_buffer;
}

void jpeg_memory_src(j_decompress_ptr cinfo, const uint8_t* stream, int32_t stream_size) {
  if (!cinfo->src)
    cinfo->src = static_cast<jpeg_source_mgr*>(
        (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(mlibjpg_source_mgr)));
  mlibjpg_source_mgr* s = src_of(cinfo);
  s->pub.init_source = init_source;
  s->pub.fill_input_buffer = fill_input_buffer;
  s->pub.skip_input_data = skip_input_data;
  s->pub.resync_to_restart = jpeg_resync_to_restart;
  s->pub.term_source = term_source;
  s->stream = stream;
  s->size = stream_size;
  s->count = 0;
  s->start_of_file = TRUE;
  s->pub.bytes_in_buffer = 0;
  s->pub.next_input_byte = nullptr;
}

jpeg_error_mgr* my_error_init(my_error_mgr* err) {
  jpeg_error_mgr* e = jpeg_std_error(&err->pub);
  e->error_exit = my_error_exit;
  e->output_message = my_output_message;
  e->emit_message = my_emit_message;
  return e;
}
