// Helpers shared by the PNM files' reader, writer and converter.
// Folder-internal.
#pragma once

#include "codec/pnm.h"

// Bytes per pixel on the pixel paths: 1 for P5, 3 for P6, 0 for a file
// they refuse (another magic, or a maximum outside 1..255).
int pnm_samples(const PPM_INFO* p);

// Writes "<magic>\n<width> <height>\n<max>\n" at offset 0 and starts the
// record's caches empty; 0 or -1.
int write_header_magic(PPM_INFO* p, const char* magic);
