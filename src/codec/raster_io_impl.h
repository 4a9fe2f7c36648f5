// The system calls of the raster files. A descriptor that is briefly
// unavailable (EAGAIN) is asked again, a bounded number of times; other
// failures return at once. Results as base/file.h's.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

int raster_open(const char* filename, int ctl, int mode);
ssize_t raster_pread(int fd, void* data, size_t len, int64_t offset);
ssize_t raster_pwrite(int fd, const void* data, size_t len, int64_t offset);
