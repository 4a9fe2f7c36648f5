// Thin wrappers over the file system calls. Paths are narrow texts; open
// flags and modes are the system's own symbolic constants. Failures return
// a negative number with errno set.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

int u_open(const char* path, int flags, int mode);
int u_open64(const char* path, int flags, int mode);
int u_close(int fd);
// Byte count, 0 at the end of the file, negative on error. Interrupted
// calls are retried.
ssize_t u_read(int fd, void* data, size_t len);
ssize_t u_write(int fd, const void* data, size_t len);
// Loops until all len bytes are read or written; returns len, the shorter
// count at the end of the file (read), or -1 on error.
ssize_t u_read_full(int fd, void* data, size_t len);
ssize_t u_write_full(int fd, const void* data, size_t len);
// Positioned forms that leave the file offset alone; same results.
ssize_t u_pread_full(int fd, void* data, size_t len, int64_t offset);
ssize_t u_pwrite_full(int fd, const void* data, size_t len, int64_t offset);
// Writes every byte of the vector at offset (the vector is consumed as it
// goes); 0 or -1.
int u_pwritev_full(int fd, struct iovec* iov, int cnt, int64_t offset);
long u_lseek(int fd, long offset, int whence);
// whence 0 from the start, 1 from the current position, 2 from the end;
// the new offset, or -1.
int64_t u_lseek64(int fd, int64_t offset, int whence);
int u_ftruncate64(int fd, int64_t size);
int u_fsync(int fd);
// Size of an open file, or -1.
int64_t u_fsize64(int fd);
int u_unlink(const char* path);
int u_rename(const char* from, const char* to);
