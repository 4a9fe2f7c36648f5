#include "base/tempbuf.h"

#include "base/alloc.h"

namespace {

struct Ring {
  void* slot[kTempBufferRing] = {};
  int next = 0;
  void clear() {
    for (auto& p : slot) {
      xx_d_f_ree(p, __FILE__, __LINE__);
      p = nullptr;
    }
    next = 0;
  }
  ~Ring() { clear(); }
};

thread_local Ring ring;

}  // namespace

void xx_set_buffer(void* buffer, const char* file, int line) {
  if (!buffer) return;
  void*& s = ring.slot[ring.next];
  xx_d_f_ree(s, file, line);
  s = buffer;
  ring.next = (ring.next + 1) % kTempBufferRing;
}

void free_temp_buffers() { ring.clear(); }
