#include "base/alloc.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "base/panic.h"

namespace {

constexpr uint32_t kLive = 0x51A7B10Cu;
constexpr uint32_t kFreed = 0xDEADF4EEu;

// 16 bytes keep the payload aligned as malloc's own result is.
struct alignas(16) BlockHeader {
  uint32_t magic;
  uint32_t site;
  uint64_t size;
};
static_assert(sizeof(BlockHeader) == 16);

struct SiteKey {
  const char* file;
  int line;
  bool operator==(const SiteKey& o) const { return file == o.file && line == o.line; }
};
struct SiteKeyHash {
  size_t operator()(const SiteKey& k) const {
    return std::hash<const void*>()(k.file) * 31u + static_cast<size_t>(k.line);
  }
};

// The site table uses the plain heap: it must never allocate through itself.
struct SiteTable {
  std::mutex mu;
  std::unordered_map<SiteKey, uint32_t, SiteKeyHash> index;
  std::deque<MEM_LIST> sites;  // stable addresses
  std::atomic<MEM_LIST*> head{nullptr};

  uint32_t site_of(const char* file, int line) {
    SiteKey key{file ? file : "?", line};
    auto it = index.find(key);
    if (it != index.end()) return it->second;
    auto id = static_cast<uint32_t>(sites.size());
    sites.push_back(MEM_LIST{head.load(), key.file, line, 0, 0});
    head.store(&sites.back());
    index.emplace(key, id);
    return id;
  }
  void add(uint32_t site, uint64_t n) {
    MEM_LIST& s = sites[site];
    s.size += n;
    if (s.size > s.max_next) s.max_next = s.size;
  }
  void sub(uint32_t site, uint64_t n) { sites[site].size -= n; }
};

SiteTable& table() {
  static SiteTable* t = new SiteTable;  // never destroyed: frees may run at exit
  return *t;
}

BlockHeader* header_of(const void* ptr, const char* label) {
  auto* h = reinterpret_cast<BlockHeader*>(const_cast<char*>(static_cast<const char*>(ptr)) -
                                           sizeof(BlockHeader));
  if (h->magic != kLive) er_panic(label);
  return h;
}

}  // namespace

namespace {
std::atomic<bool (*)()> zone_hook{nullptr};
}  // namespace

void set_alloc_zone_hook(bool (*in_zone)()) { zone_hook.store(in_zone); }

bool alloc_refusable() {
  bool (*in_zone)() = zone_hook.load(std::memory_order_relaxed);
  return in_zone && in_zone() && task_holds() == 0;
}

void alloc_fail(size_t size, const char* where) {
  if (alloc_refusable()) throw AllocRefused();
  static char text[128];
  std::snprintf(text, sizeof text, "%s: out of memory (%zu bytes)", where, size);
  er_panic(text);
}

void* xx_d_alloc(size_t size, const char* file, int line) {
  if (size > SIZE_MAX - sizeof(BlockHeader)) alloc_fail(size, "xx_d_alloc(1)");
  auto* h = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size));
  if (!h) alloc_fail(size, "xx_d_alloc(2)");
  SiteTable& t = table();
  {
    std::lock_guard<std::mutex> g(t.mu);
    h->site = t.site_of(file, line);
    t.add(h->site, size);
  }
  h->magic = kLive;
  h->size = size;
  return h + 1;
}

void* xx_d_calloc(size_t size, size_t el, const char* file, int line) {
  if (el != 0 && size > SIZE_MAX / el) alloc_fail(SIZE_MAX, "xx_d_calloc(1)");
  void* p = xx_d_alloc(size * el, file, line);
  std::memset(p, 0, size * el);
  return p;
}

void xx_d_f_ree(void* ptr, const char* file, int line) {
  (void)file;
  (void)line;
  if (!ptr) return;
  BlockHeader* h = header_of(ptr, "xx_d_f_ree(1)");
  SiteTable& t = table();
  {
    std::lock_guard<std::mutex> g(t.mu);
    t.sub(h->site, h->size);
  }
  h->magic = kFreed;
  std::free(h);
}

void* d_re_alloc(void* ptr, size_t size) {
  if (!ptr) return xx_d_calloc(size, 1, __FILE__, __LINE__);
  BlockHeader* h = header_of(ptr, "d_re_alloc(1)");
  if (size > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
  uint64_t old = h->size;
  uint32_t site = h->site;
  auto* n = static_cast<BlockHeader*>(std::realloc(h, sizeof(BlockHeader) + size));
  if (!n) return nullptr;
  SiteTable& t = table();
  {
    std::lock_guard<std::mutex> g(t.mu);
    t.sub(site, old);
    t.add(site, size);
  }
  n->size = size;
  return n + 1;
}

void xx_change_statistics(void* ptr, const char* file, int line) {
  if (!ptr) return;
  BlockHeader* h = header_of(ptr, "xx_change_statistics(1)");
  SiteTable& t = table();
  std::lock_guard<std::mutex> g(t.mu);
  t.sub(h->site, h->size);
  h->site = t.site_of(file, line);
  t.add(h->site, h->size);
}

char* xx_copy_str(const char* str, const char* file, int line) {
  if (!str) return nullptr;
  size_t n = std::strlen(str) + 1;
  auto* p = static_cast<char*>(xx_d_alloc(n, file, line));
  std::memcpy(p, str, n);
  return p;
}

size_t d_alloc_size(const void* ptr) { return ptr ? header_of(ptr, "d_alloc_size(1)")->size : 0; }

MEM_LIST* get_mem_debug_list(MEM_LIST* rec) {
  if (!rec) return table().head.load();
  return rec->next;
}

void walk_mem_debug_list(void (*fn)(const MEM_LIST* site, void* work), void* work) {
  SiteTable& t = table();
  std::lock_guard<std::mutex> g(t.mu);
  for (const MEM_LIST* m = t.head.load(); m; m = m->next) fn(m, work);
}

namespace {
std::mutex purge_mu;
MEM_PURGE_TBL* purge_head = nullptr;
}  // namespace

void set_mem_purge_tbl(MEM_PURGE_TBL* tbl) {
  std::lock_guard<std::mutex> g(purge_mu);
  tbl->next = purge_head;
  purge_head = tbl;
}
