// The system calls of the raster files (raster_io_impl.h): open, read and
// write at an offset, each asked again while the descriptor is briefly
// unavailable (EAGAIN), at most a hundred times a millisecond apart.
#include "codec/raster_io_impl.h"

#include <cerrno>
#include <ctime>

#include "base/file.h"

namespace {

constexpr int kRetries = 100;

// Calls op until it succeeds, fails with another error, or the retries are
// used up, pausing a millisecond between tries.
template <typename Op>
auto retrying(Op op) {
  for (int i = 0;; ++i) {
    auto rc = op();
    if (rc >= 0 || errno != EAGAIN || i == kRetries) return rc;
    timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
}

}  // namespace

int raster_open(const char* filename, int ctl, int mode) {
  return retrying([&] { return u_open64(filename, ctl, mode); });
}

ssize_t raster_pread(int fd, void* data, size_t len, int64_t offset) {
  return retrying([&] { return u_pread_full(fd, data, len, offset); });
}

ssize_t raster_pwrite(int fd, const void* data, size_t len, int64_t offset) {
  return retrying([&] { return u_pwrite_full(fd, data, len, offset); });
}
