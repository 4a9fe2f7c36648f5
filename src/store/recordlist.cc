#include "store/recordlist.h"

#include <cstring>

#include "base/alloc.h"

namespace {

// Sum of the fixed part and the pieces, or -1 when it cannot be held.
int64_t joined_size(const RECORD_LIST64* lst) {
  auto total = static_cast<uint64_t>(lst->header.size);
  if (total > kPn64MaxMemSize) return -1;
  for (const CHAIN_LIST64* c = lst->chain_head; c; c = c->next) {
    if (c->len < 0) return -1;
    total += static_cast<uint64_t>(c->len);
    if (total > kPn64MaxMemSize) return -1;
  }
  return static_cast<int64_t>(total);
}

void store_size(RECORD_LIST64* lst, uint64_t size) {
  std::memcpy(static_cast<char*>(lst->data) + offsetof(PN64_HEADER, size), &size, sizeof size);
}

CHAIN_LIST64* new_piece(void* ptr, int64_t len, int free_flag) {
  auto* c = static_cast<CHAIN_LIST64*>(d_alloc(sizeof(CHAIN_LIST64)));
  *c = CHAIN_LIST64{nullptr, ptr, len, free_flag};
  return c;
}

}  // namespace

RECORD_LIST64* new_recordlist64(uint16_t type, uint64_t size) {
  if ((size != 0 && size < 16) || size > kPn64MaxMemSize) return nullptr;
  auto* lst = static_cast<RECORD_LIST64*>(d_calloc(1, sizeof(RECORD_LIST64)));
  lst->header.type = type;
  lst->header.size = size;
  lst->data = d_calloc(size, 1);
  lst->body = static_cast<int64_t>(size);
  if (size != 0) {
    lst->enable_header = 1;
    std::memcpy(lst->data, &lst->header, sizeof(PN64_HEADER));
  }
  return lst;
}

CHAIN_LIST64* set_recordlist_chain64(RECORD_LIST64* lst, void* ptr, int64_t len, int free_flag) {
  CHAIN_LIST64* c = new_piece(ptr, len, free_flag);
  if (lst->chain_tail)
    lst->chain_tail->next = c;
  else
    lst->chain_head = c;
  lst->chain_tail = c;
  return c;
}

CHAIN_LIST64* set_recordlist_chain64_middle(RECORD_LIST64* lst, CHAIN_LIST64* before, void* ptr, int64_t len,
                                            int free_flag) {
  if (!before) return nullptr;
  CHAIN_LIST64* c = new_piece(ptr, len, free_flag);
  c->next = before->next;
  before->next = c;
  if (lst->chain_tail == before) lst->chain_tail = c;
  return c;
}

int setup_recordlist64_size(RECORD_LIST64* lst) {
  if (!lst->chain_head || lst->enable_header != 1) return 0;
  int64_t total = joined_size(lst);
  if (total < 0) return -1;
  lst->body = static_cast<int64_t>(lst->header.size);
  store_size(lst, static_cast<uint64_t>(total));
  return 0;
}

int64_t _setup_recordlist64(RECORD_LIST64* lst) {
  if (!lst->chain_head) return 0;
  int64_t total = joined_size(lst);
  if (total < 0) return -1;
  CHAIN_LIST64* only = lst->chain_head;
  if (lst->header.size == 0 && only == lst->chain_tail && only->free_flag && only->len > 0) {
    // A headerless list of one piece it owns: the piece already holds the
    // joined bytes, so it becomes the block instead of being copied.
    if (lst->data) d_f_ree(lst->data);
    lst->data = only->ptr;
    lst->body = 0;
    only->free_flag = 0;
    free_chain_list64(only);
    lst->chain_head = lst->chain_tail = nullptr;
    return total;
  }
  void* data = d_re_alloc(lst->data, static_cast<size_t>(total));
  if (!data) return -1;
  lst->data = data;
  lst->body = static_cast<int64_t>(lst->header.size);
  auto* out = static_cast<char*>(data) + lst->body;
  for (const CHAIN_LIST64* c = lst->chain_head; c; c = c->next) {
    if (c->len > 0) std::memcpy(out, c->ptr, static_cast<size_t>(c->len));
    out += c->len;
  }
  if (lst->body != 0 && lst->enable_header == 1) {
    lst->header.size = static_cast<uint64_t>(total);
    store_size(lst, static_cast<uint64_t>(total));
  }
  free_chain_list64(lst->chain_head);
  lst->chain_head = lst->chain_tail = nullptr;
  return total;
}

int64_t setup_recordlist64(RECORD_LIST64* lst) {
  int64_t sum = 0;
  for (; lst; lst = lst->next) {
    int64_t n = _setup_recordlist64(lst);
    if (n < 0) return -1;
    sum += n;
  }
  return sum;
}

void free_chain_list64(CHAIN_LIST64* c) {
  while (c) {
    CHAIN_LIST64* n = c->next;
    if (c->free_flag) d_f_ree(c->ptr);
    d_f_ree(c);
    c = n;
  }
}

void free_recordlist64(RECORD_LIST64* lst) {
  while (lst) {
    RECORD_LIST64* n = lst->next;
    free_chain_list64(lst->chain_head);
    if (lst->data) d_f_ree(lst->data);
    d_f_ree(lst);
    lst = n;
  }
}

void set_recordlist_ptr64(RECORD_LIST64* lst, int64_t body) {
  if (body >= 0 && static_cast<uint64_t>(body) >= lst->header.size) {
    lst->body = body;
    lst->ptr = static_cast<char*>(lst->data) + body;
  } else {
    lst->ptr = nullptr;
    lst->body = 0;
  }
}

int check_recordlist_ptr64(RECORD_LIST64* lst) {
  if (!lst->ptr) return -1;
  auto* p = static_cast<char*>(lst->ptr);
  auto* d = static_cast<char*>(lst->data);
  if (p < d + lst->body) return -1;
  if (p >= d + lst->header.size) return 1;
  return 0;
}
