#include "runtime/zu_gc_hooks.h"

#include <atomic>

#include "base/queue.h"
#include "runtime/call_lock.h"
#include "runtime/delayed.h"
#include "runtime/interp.h"
#include "runtime/net_ops.h"
#include "runtime/remote.h"
#include "stream/stream.h"
#include "zu/gc.h"
#include "zu/reader.h"

namespace {

std::atomic<const ZU_LOADER_HOOKS*> loader_hooks{nullptr};
// The hooks whose lock the running collection took (collections run one
// at a time).
const ZU_LOADER_HOOKS* locked_loader = nullptr;

}  // namespace

void set_loader_hooks(const ZU_LOADER_HOOKS* hooks) { loader_hooks.store(hooks); }

void gc_zu_lock() {
  lock_task(zui_lock);
  lock_task(fifo_lock);
  lock_parse();
  locked_loader = loader_hooks.load();
  if (locked_loader && locked_loader->lock) locked_loader->lock();
  lock_stream();
  gc_queue_lock();
}

void gc_zu_unlock() {
  gc_queue_unlock();
  unlock_stream();
  unlock_task(fifo_lock, "gc_zu_unlock");
  unlock_parse("gc_zu_unlock");
  unlock_task(zui_lock, "gc_zu_unlock");
  const ZU_LOADER_HOOKS* loader = locked_loader;
  locked_loader = nullptr;
  if (loader && loader->unlock) loader->unlock();
}

void gc_lib() {
  GC_SITE();
  gc_default_mark();  // the top environments, unit environments and every thread's frames
  GC_SITE();
  gc_interpreter();
  gc_call_lock();
  gc_delay_que();
  GC_SITE();
  gc_queue();
  GC_SITE();
  gc_net_services();
}

void sp_gc_lib() {
  gc_default_sp();
  sp_gc_interpreter();
  const ZU_LOADER_HOOKS* loader = loader_hooks.load();
  if (loader && loader->sp_gc) loader->sp_gc();
}

void after_gc_lib() {}

void set_zu_gc_hooks() {
  static const GC_HOOKS hooks{gc_zu_lock, gc_lib, sp_gc_lib, after_gc_lib, gc_zu_unlock};
  gc_set_hooks(&hooks);
}
