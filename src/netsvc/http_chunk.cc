#include "netsvc/http_chunk.h"

#include <algorithm>
#include <climits>
#include <mutex>

#include "base/alloc.h"
#include "stream/stream.h"

namespace {

constexpr int kMaxSizeDigits = 8;
constexpr int kMaxSizeLine = 8 * 1024;
constexpr int kEnded = -1;
constexpr int kBroken = -2;

std::mutex chunk_lock;  // guards the list links, not a record's `rest` (its reader's)
CHUNK_READ_LIST* chunk_list = nullptr;

CHUNK_READ_LIST* find(STREAM* s) {
  std::lock_guard<std::mutex> g(chunk_lock);
  for (CHUNK_READ_LIST* c = chunk_list; c; c = c->next) {
    if (c->stream == s) return c;
  }
  return nullptr;
}

// n bytes: 1, or the failing read's result (0 at the end).
int read_exact(STREAM* s, unsigned char* p, int n) {
  for (int got = 0; got < n;) {
    int r = s_read(s, p + got, n - got);
    if (r <= 0) return r;
    got += r;
  }
  return 1;
}

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A size line: at least one hexadecimal digit, up to the first other byte,
// then the rest of the line is skipped. 0 with *size, or -1 (a line without
// a digit is a broken body, never the last chunk).
int read_size(STREAM* s, int* size) {
  unsigned long long v = 0;
  int digits = 0;
  unsigned char c = 0;
  for (;;) {
    if (read_exact(s, &c, 1) != 1) return -1;
    int d = hex_value(c);
    if (d < 0) break;
    if (++digits > kMaxSizeDigits) return -1;
    v = v * 16 + static_cast<unsigned>(d);
  }
  if (digits == 0 || v > INT_MAX) return -1;
  for (int skipped = 0; c != '\n'; ++skipped) {
    if (skipped > kMaxSizeLine || read_exact(s, &c, 1) != 1) return -1;
  }
  *size = static_cast<int>(v);
  return 0;
}

// From the end of a chunk's data (or the start of the body) to the next
// chunk: the line end after the data, the next size, and after the last
// chunk its closing line end. `have` bytes were handed out by this call
// already. 0, or the result to give when nothing was handed out.
int next_chunk(STREAM* s, CHUNK_READ_LIST* rec, bool first, int have) {
  unsigned char crlf[2];
  int size = 0;
  if ((!first && read_exact(s, crlf, 2) != 1) || read_size(s, &size) < 0) {
    rec->rest = kBroken;
    return -1;
  }
  if (size > 0) {
    rec->rest = size;
    return 0;
  }
  rec->rest = kEnded;
  int r = read_exact(s, crlf, 2);
  if (r == 1) return 0;
  if (have == 0) return r;
  ss_printf("### read_chunk_size timeout : len=%d\n", have);
  return 0;
}

}  // namespace

int chunk_read_start(STREAM* s) {
  auto* rec = static_cast<CHUNK_READ_LIST*>(d_alloc(sizeof(CHUNK_READ_LIST)));
  *rec = CHUNK_READ_LIST{nullptr, s, 0};
  if (next_chunk(s, rec, true, 0) != 0) {
    d_f_ree(rec);
    return -1;
  }
  chunk_read_end(s);
  std::lock_guard<std::mutex> g(chunk_lock);
  rec->next = chunk_list;
  chunk_list = rec;
  return 0;
}

int s_chunk_read(STREAM* s, void* data, int len) {
  CHUNK_READ_LIST* rec = find(s);
  if (!rec) return s_read(s, data, len);
  if (rec->rest == kBroken) return -1;
  auto* p = static_cast<unsigned char*>(data);
  int total = 0;
  while (total < len && rec->rest > 0) {
    int want = std::min(len - total, rec->rest);
    int r = s_read(s, p + total, want);
    if (r <= 0) {  // a body cut off inside a chunk is broken, not ended
      rec->rest = kBroken;
      return total > 0 ? total : -1;
    }
    total += r;
    rec->rest -= r;
    if (rec->rest == 0) {
      int b = next_chunk(s, rec, false, total);
      if (b != 0) return total > 0 ? total : b;
    } else if (r < want) {
      break;  // what has arrived; the rest comes with the next call
    }
  }
  return total;
}

void chunk_read_end(STREAM* s) {
  CHUNK_READ_LIST* gone = nullptr;
  {
    std::lock_guard<std::mutex> g(chunk_lock);
    for (CHUNK_READ_LIST** c = &chunk_list; *c; c = &(*c)->next) {
      if ((*c)->stream == s) {
        gone = *c;
        *c = gone->next;
        break;
      }
    }
  }
  d_f_ree(gone);
}
