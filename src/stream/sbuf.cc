#include "stream/sbuf.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "base/alloc.h"

struct SBUF_CHUNK {
  SBUF_CHUNK* next;
  size_t cap;
  size_t pos;  // first unread byte
  size_t len;  // bytes filled
  unsigned char data[1];
};

namespace {

constexpr size_t kChunk = 4096;

struct Guard {
  explicit Guard(SEM l) : l(l) {
    if (l) lock_task(l);
  }
  ~Guard() {
    if (l) unlock_task(l, "sbuf");
  }
  SEM l;
};

std::atomic<S_CHUNK_READ> chunk_reader{nullptr};

}  // namespace

void init_sbuf(STREAM_BUF* b, SEM lock) {
  if (!b) return;
  Guard g(lock);
  b->head = b->tail = nullptr;
  b->size = 0;
}

int copy_in_sbuf(STREAM_BUF* b, const void* data, size_t len, SEM lock) {
  if (!b || (!data && len > 0)) return -1;
  Guard g(lock);
  auto* p = static_cast<const unsigned char*>(data);
  while (len > 0) {
    SBUF_CHUNK* t = b->tail;
    if (!t || t->len == t->cap) {
      size_t cap = std::max(kChunk, std::min(len, size_t{1} << 20));
      t = static_cast<SBUF_CHUNK*>(d_alloc(offsetof(SBUF_CHUNK, data) + cap));
      t->next = nullptr;
      t->cap = cap;
      t->pos = t->len = 0;
      if (b->tail)
        b->tail->next = t;
      else
        b->head = t;
      b->tail = t;
    }
    size_t k = std::min(len, t->cap - t->len);
    std::memcpy(t->data + t->len, p, k);
    t->len += k;
    b->size += k;
    p += k;
    len -= k;
  }
  return 0;
}

size_t copy_out_sbuf(STREAM_BUF* b, void* data, size_t len, SEM lock) {
  if (!b || (!data && len > 0)) return 0;
  Guard g(lock);
  auto* p = static_cast<unsigned char*>(data);
  size_t got = 0;
  while (got < len && b->head) {
    SBUF_CHUNK* h = b->head;
    size_t k = std::min(len - got, h->len - h->pos);
    std::memcpy(p + got, h->data + h->pos, k);
    h->pos += k;
    got += k;
    if (h->pos == h->len) {
      b->head = h->next;
      if (!b->head) b->tail = nullptr;
      d_f_ree(h);
    }
  }
  b->size -= got;
  return got;
}

size_t get_sbuf_data_size(STREAM_BUF* b, SEM lock) {
  if (!b) return 0;
  Guard g(lock);
  return b->size;
}

void free_sbuf(STREAM_BUF* b, SEM lock) {
  if (!b) return;
  Guard g(lock);
  for (SBUF_CHUNK* c = b->head; c;) {
    SBUF_CHUNK* n = c->next;
    d_f_ree(c);
    c = n;
  }
  b->head = b->tail = nullptr;
  b->size = 0;
}

void set_sbuf_chunk_reader(S_CHUNK_READ f) { chunk_reader.store(f); }

long long copy_in_sbuf_stream(STREAM_BUF* b, STREAM* s, long long len, SEM lock) {
  if (!b) return -1;
  S_CHUNK_READ rd = chunk_reader.load();
  if (!rd) rd = s_read;
  unsigned char buf[kChunk];
  long long total = 0;
  while (len < 0 || total < len) {
    int want = static_cast<int>(len < 0 ? kChunk : std::min<long long>(kChunk, len - total));
    int r = rd(s, buf, want);
    if (r < 0) return -1;
    if (r == 0) break;
    if (copy_in_sbuf(b, buf, static_cast<size_t>(r), lock) < 0) return -1;
    total += r;
  }
  return total;
}

int s_copy_to_stream(long long* ret_len, STREAM* s1, STREAM* s2, long long len) {
  unsigned char buf[kChunk];
  long long done = 0;
  int result = 0;
  while (len < 0 || done < len) {
    int want = static_cast<int>(len < 0 ? kChunk : std::min<long long>(kChunk, len - done));
    int r = s_read(s1, buf, want);
    if (r < 0 || (r == 0 && len >= 0)) {
      result = -1;
      break;
    }
    if (r == 0) break;
    if (s_write(s2, buf, r) != r) {
      result = -2;
      break;
    }
    done += r;
  }
  if (ret_len) *ret_len = done;
  return result;
}

int en_do(long long* ret_len, EN_FUNC func, STREAM* s, void* data, long long len) {
  long long done = 0;
  int result = 1;
  auto* p = static_cast<unsigned char*>(data);
  if (!func || len < 0 || (!p && len > 0)) result = -1;
  while (result == 1 && done < len) {
    int piece = static_cast<int>(std::min<long long>(1000, len - done));
    int r = func(s, p + done, piece);
    if (r < 0) {
      result = -1;
    } else if (r == 0) {
      result = 0;
    } else {
      done += std::min(r, piece);
    }
  }
  if (ret_len) *ret_len = done;
  return result;
}
