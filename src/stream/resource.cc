// Descriptor accounting and the out-of-descriptors hook; the registry of
// built-in back-ends.
#include <dirent.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>

#include "stream/stream_impl.h"

namespace {
std::atomic<void (*)(int)> resource_hook{nullptr};
}

int s_check_resource2(int* op_max) {
  if (op_max) {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0)
      *op_max = rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > 0x7fffffff
                    ? 0x7fffffff
                    : static_cast<int>(rl.rlim_cur);
    else
      *op_max = -1;
  }
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  int n = 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n - 1;  // the directory's own descriptor
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
