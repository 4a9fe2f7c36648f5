// The collector hooks of the ZU library: the locks a collection takes, in
// order, and the roots it marks (the agent's hooks call these), with the
// hook through which the library's loader, which lives above this layer,
// joins them.
#pragma once

// Collector hooks of the library (the agent's hooks call these).
void gc_zu_lock();
void gc_zu_unlock();
void gc_lib();
void sp_gc_lib();
void after_gc_lib();
// Installs the library's hooks as the collector's application hooks.
void set_zu_gc_hooks();
// The library's loader lives above this layer: its lock, which gc_zu_lock
// takes after the parser lock and gc_zu_unlock releases last, and its part
// of the special phase, which sp_gc_lib runs after the interpreters'. Set
// once at start-up (the library's Load family does); null members do
// nothing.
struct ZU_LOADER_HOOKS {
  void (*lock)();
  void (*unlock)();
  void (*sp_gc)();
};
void set_loader_hooks(const ZU_LOADER_HOOKS* hooks);
