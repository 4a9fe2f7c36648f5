// JPEG in memory through the JPEG library. Images are the system's
// in-memory layout on both sides: 4 bytes per pixel (red, green, blue, a
// fourth byte), rows top to bottom, each exactly 4 * width bytes.
//
// Every library error ends the call with a null (or 0) result; nothing
// here stops the process or prints. Buffers come from malloc and are
// released with free. No shared state: calls from several threads are safe.
#pragma once

#include <cstdint>

#include "codec/rgb4.h"

// What the header callback of LoadJPGFromMemory learns about the image.
struct LoadJPGInfo {
  int32_t width;
  int32_t height;
  int32_t bpp;          // bits per output pixel: 24 (RGB or CMYK), 8 (grey), 0 refused
  int32_t num_palette;  // 256 for grey, else 0
  RGB4* palette;        // grey ramp for bpp 8; valid only during the callback
};

// Non-zero accepts the image.
using jpeg_header_callback = int (*)(LoadJPGInfo* info, void* data);
// Where row `row` (0 = top) goes, or null to stop reading.
using jpeg_read_callback = uint8_t* (*)(int32_t row, void* data);

// Decodes memory[0, memory_size): RGB and CMYK rows land as 4-byte pixels
// whose fourth byte is left as it was (CMYK as C*K/255 per channel), grey
// rows as one byte per pixel. 1 when the image was decoded (also when the
// read callback stopped early), 0 when it was refused or a library error
// occurred. Refused before the header callback: images of more than
// kCodecMaxPixels pixels, and images whose components have more 8 x 8
// blocks than their stream can fill: eight a byte when Huffman-coded (each
// block of every component coded at least once), 512 a byte when
// arithmetic-coded (4,096 x 8 pixels of one component, as GIF data may
// fill). Refused while decoding: a stream
// whose entropy data ends before the image's last row (a missing end
// marker alone is no fault).
int LoadJPGFromMemory(const void* memory, int32_t memory_size, jpeg_header_callback header_callback,
                      jpeg_read_callback read_callback, void* data);

// Baseline JPEG of the image at quality 1-100. *ret_jpeg_length is the
// number of bytes written, the stream ending in FF D9; null (length 0) for
// sides outside 1..65500, more than kCodecMaxPixels pixels or an error.
uint8_t* jpeg_compress(int32_t* ret_jpeg_length, const void* rgb_32bit_data, int32_t image_width,
                       int32_t image_height, int32_t quality);

// Where jpeg_compress_rows takes row `row` (0 = top) from: the caller
// either returns its own row of 4-byte pixels, or writes the row into
// `scratch` (4 * width bytes, valid until the call returns its next 15
// rows) and returns scratch.
using jpeg_row_source = const uint8_t* (*)(int32_t row, uint8_t* scratch, void* data);
// The byte order of the 4-byte pixels jpeg_compress_rows reads and
// jpeg_uncompress_rows writes: red, green, blue, unused, or the reverse (a
// host word R<<24 | G<<16 | B<<8 in a little-endian memory).
enum class JpegPixels { kRgbx, kXbgr };
// As jpeg_compress for an image whose rows come from `rows`, so that an
// image in another layout needs no converted copy of the whole image.
uint8_t* jpeg_compress_rows(int32_t* ret_jpeg_length, jpeg_row_source rows, void* data, int32_t image_width,
                            int32_t image_height, int32_t quality, JpegPixels order = JpegPixels::kRgbx);

// As LoadJPGFromMemory, but RGB and CMYK pixels land in the given byte
// order with the unused byte 0 instead of left as it was. The rows given
// are only written, never read, and the writes go past the cache where the
// processor allows: meant for whole images, not for one reused row.
int jpeg_uncompress_rows(const void* memory, int32_t memory_size, JpegPixels order,
                         jpeg_header_callback header_callback, jpeg_read_callback read_callback, void* data);

// The image of an RGB or CMYK JPEG, fourth bytes 0; greyscale and anything
// undecodable give null. *ret_width and *ret_height mean something only
// when the result is not null. A stream cut short is refused; one that
// lacks only its end marker decodes.
uint8_t* jpeg_uncompress(int32_t* ret_width, int32_t* ret_height, const void* jpeg_data, int32_t jpeg_length);
// As jpeg_uncompress for a stream whose image is known to be at most
// max_width x max_height (a block of a tiled format): a header that says
// more is refused before the image is allocated.
uint8_t* jpeg_uncompress_within(int32_t* ret_width, int32_t* ret_height, const void* jpeg_data, int32_t jpeg_length,
                                int32_t max_width, int32_t max_height);
