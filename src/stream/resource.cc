// Descriptor accounting and the out-of-descriptors hook; the registry of
// built-in back-ends.
#include <dirent.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>

#include "stream/stream_impl.h"

namespace {
std::atomic<void (*)(int)> resource_hook{nullptr};

std::atomic<int> stream_fds{0};

// The last count of s_descriptors_in_use. A leaf: nothing is taken under it.
struct LastCount {
  std::mutex m;
  bool valid = false;
  std::chrono::steady_clock::time_point at;
  int used = 0;         // what /proc/self/fd showed
  int stream_fds = 0;   // stream_fds at that moment
};
LastCount last_count;
constexpr auto kCountReused = std::chrono::milliseconds(100);

int limit_of_descriptors() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return -1;
  return rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > 0x7fffffff ? 0x7fffffff : static_cast<int>(rl.rlim_cur);
}
}  // namespace

void s_note_fds_opened(int n) { stream_fds.fetch_add(n, std::memory_order_relaxed); }

int s_check_resource2(int* op_max) {
  if (op_max) *op_max = limit_of_descriptors();
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  int n = 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n - 1;  // the directory's own descriptor
}

int s_descriptors_in_use(int* op_max) {
  int limit = limit_of_descriptors();
  if (op_max) *op_max = limit;
  auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> l(last_count.m);
    if (last_count.valid && now - last_count.at < kCountReused) {
      int used = last_count.used + stream_fds.load(std::memory_order_relaxed) - last_count.stream_fds;
      if (used < limit / 2) return used;
    }
  }
  int streams = stream_fds.load(std::memory_order_relaxed);
  int used = s_check_resource2(nullptr);
  if (used < 0) return used;
  std::lock_guard<std::mutex> l(last_count.m);
  last_count.valid = true;
  last_count.at = now;
  last_count.used = used;
  last_count.stream_fds = streams;
  return used;
}

void s_set_resource_hook(void (*hook)(int err)) { resource_hook.store(hook); }

int s_resource_shortage(int err) {
  if (err != EMFILE && err != ENFILE) return 0;
  auto h = resource_hook.load();
  if (!h) return 0;
  h(err);
  return 1;
}

void s_register_builtin_tables() {
  for (const S_TABLE* t : {&s_file_table, &s_serial_table, &s_terminal_table, &s_listen_table,
                           &s_fpipe_table, &s_string_read_table, &s_string_write_table,
                           &s_chain_table})
    insert_s_table(t);
}
