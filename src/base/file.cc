#include "base/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/lock.h"

int u_open(const char* path, int flags, int mode) { return u_open64(path, flags, mode); }

int u_open64(const char* path, int flags, int mode) {
  if (!path) {
    errno = EINVAL;
    return -1;
  }
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int u_close(int fd) { return ::close(fd); }

ssize_t u_read(int fd, void* data, size_t len) {
  ssize_t n;
  do {
    n = ::read(fd, data, len);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t u_write(int fd, const void* data, size_t len) {
  ssize_t n;
  do {
    n = ::write(fd, data, len);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t u_read_full(int fd, void* data, size_t len) {
  auto* p = static_cast<char*>(data);
  size_t done = 0;
  while (done < len) {
    ssize_t n = u_read(fd, p + done, len - done);
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

ssize_t u_write_full(int fd, const void* data, size_t len) {
  const auto* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < len) {
    ssize_t n = u_write(fd, p + done, len - done);
    if (n < 0) return -1;
    if (n == 0) {
      errno = EIO;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

ssize_t u_pread_full(int fd, void* data, size_t len, int64_t offset) {
  auto* p = static_cast<char*>(data);
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::pread(fd, p + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

ssize_t u_pwrite_full(int fd, const void* data, size_t len, int64_t offset) {
  iovec v{const_cast<void*>(data), len};
  return u_pwritev_full(fd, &v, 1, offset) < 0 ? -1 : static_cast<ssize_t>(len);
}

int u_pwritev_full(int fd, iovec* iov, int cnt, int64_t offset) {
  while (cnt > 0) {
    ssize_t n = ::pwritev(fd, iov, cnt, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) {
      errno = EIO;
      return -1;
    }
    offset += n;
    auto left = static_cast<size_t>(n);
    while (cnt > 0 && left >= iov->iov_len) {
      left -= iov->iov_len;
      ++iov;
      --cnt;
    }
    if (cnt > 0) {
      iov->iov_base = static_cast<char*>(iov->iov_base) + left;
      iov->iov_len -= left;
    }
  }
  return 0;
}

long u_lseek(int fd, long offset, int whence) { return static_cast<long>(::lseek(fd, offset, whence)); }

int64_t u_lseek64(int fd, int64_t offset, int whence) {
  int w = whence == 0 ? SEEK_SET : whence == 1 ? SEEK_CUR : whence == 2 ? SEEK_END : -1;
  if (w < 0) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<int64_t>(::lseek(fd, static_cast<off_t>(offset), w));
}

int u_ftruncate64(int fd, int64_t size) {
  int rc;
  do {
    rc = ::ftruncate(fd, static_cast<off_t>(size));
  } while (rc < 0 && errno == EINTR);
  return rc;
}

int u_fsync(int fd) {
  BlockingRegion blocking;
  return ::fsync(fd);
}

int64_t u_fsize64(int fd) {
  struct stat st;
  if (::fstat(fd, &st) < 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

int u_unlink(const char* path) { return path ? ::unlink(path) : -1; }

int u_rename(const char* from, const char* to) { return ::rename(from, to); }
