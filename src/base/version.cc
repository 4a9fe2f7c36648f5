#include "base/version.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "base/alloc.h"
#include "base/panic.h"

namespace {
std::mutex version_mu;
std::atomic<VERSION*> version_head{nullptr};
}  // namespace

void set_version(VERSION* v) {
  if (!v) return;
  std::lock_guard<std::mutex> g(version_mu);
  for (VERSION* p = version_head.load(std::memory_order_relaxed); p; p = p->next)
    if (p == v) er_panic("set_version(1)");  // relinking would make a cycle
  v->next = version_head.load(std::memory_order_relaxed);
  version_head.store(v, std::memory_order_release);
}

VERSION* get_version(const char* layer) {
  VERSION* p = version_head.load(std::memory_order_acquire);
  if (!layer) return p;
  for (; p; p = p->next)
    if (p->layer && std::strcmp(p->layer, layer) == 0) return p;
  return nullptr;
}

void free_version(VERSION* v) {
  if (!v) return;
  for (const char* s : {v->layer, v->name, v->publisher, v->version, v->comment})
    d_f_ree(const_cast<char*>(s));
  d_f_ree(v);
}
