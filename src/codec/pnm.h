// PNM files: the header reader and writer, pixel reads through a ten-row
// cache, pixel writes through a one-row buffer, a whole-image writer and a
// resampling converter. Headers are read as netpbm reads them: "#" comments
// (to the end of the line) wherever white space may stand, any run of
// white space between fields, decimal numbers, exactly one white-space byte
// after the last field. The pixel paths take raw P5 and P6 files with a
// maximum of at most 255 and refuse everything else with -1.
//
// A PPM_INFO belongs to one thread at a time. Files are read and written
// with positioned calls and 64-bit offsets.
#pragma once

#include <cstdint>

struct PPM_CACHE {
  int32_t pc_h;      // row held
  uint8_t* pc_line;  // the row's bytes (malloc), or null
};

inline constexpr int kPpmCacheRows = 10;

struct PPM_INFO {
  int32_t pi_fd;
  int64_t pi_offset;         // first pixel byte (the header's length)
  uint64_t pi_lastacc;       // offset just after the row last read
  char pi_type[4];           // magic, e.g. "P6"
  uint32_t pi_width;
  uint32_t pi_height;
  int32_t pi_max;            // maximum sample value; 1 for P1 and P4
  int64_t pi_write_offset;   // offset of the row in pi_write
  uint8_t* pi_write;         // one row being written (malloc), or null
  PPM_CACHE pi_cache[kPpmCacheRows];  // most recently used first
};

// Reads the header of the open file pi_fd: fills pi_offset, pi_type,
// pi_width, pi_height, pi_max and starts the caches empty (whatever the
// record held is not freed). 0, or -1 for a header that is not P1-P6, is cut
// short, has a number over 2^31 - 1, a maximum of 0 or over 65535, or is
// longer than kPnmHeaderMax bytes.
int read_header(PPM_INFO* p);
inline constexpr int kPnmHeaderMax = 1024;

// The byte sample v of a file whose maximum is max (1..255) as a sample
// of maximum 255, rounded to nearest as PNM readers scale depths:
// table[v] = (v * 255 + max / 2) / max, and 255 for a v above max.
void pnm_sample_table(int32_t max, uint8_t table[256]);

// Writes "P6\n<width> <height>\n<max>\n" at offset 0 of pi_fd, sets
// pi_type "P6", pi_offset to the header's length and starts the caches
// empty. 0, or -1 when the header was not written whole.
int write_header(PPM_INFO* p);

// Copies pixel (w, h) into c as red, green, blue (grey spread to all
// three). -1 with c zeroed for a position outside the image or a file the
// pixel paths refuse; bytes the file does not hold read as 0.
int read_pixel(PPM_INFO* p, uint32_t w, uint32_t h, uint8_t* c);
// Stores c as pixel (w, h) (a P5 file keeps c[0]); the row is written back
// when another row is touched and on close_ppm. -1 for a refused file or
// position, or when writing a row back failed.
int write_pixel(PPM_INFO* p, uint32_t w, uint32_t h, const uint8_t* c);

// Writes the whole file: the P6 header, then data (pi_width * pi_height
// packed RGB triples, rows top first). pi_offset is not changed. 0 or -1.
int write_ppm(PPM_INFO* p, const uint8_t* data);

// Writes a pending row back, frees the cache rows and closes pi_fd. The
// close's result, or -1 when the row could not be written.
int close_ppm(PPM_INFO* p);

// Maps destination pixel (*sx, *sy) to a source position and sets the half
// window *rw, *rh (kept from one call to the next); negative: grey pixel.
using ppm_converter_func = int (*)(int32_t* sx, int32_t* sy, int32_t* rw, int32_t* rh, void* work);

// Writes to_ppm, a width x height image whose pixels are window averages of
// from_ppm at the positions func gives (grey 128 where func refuses, the
// position is outside the source or the window holds no pixel). A P5
// source gives a P5 file, a P6 source a P6 file. 0, or -1.
int ppm_converter(const char* from_ppm, const char* to_ppm, uint32_t width, uint32_t height, ppm_converter_func func,
                  void* work);
