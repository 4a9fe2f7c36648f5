// The HTTP agent's evaluation task with its queue, and the percent coding
// of URL parts.
#include <algorithm>

#include "netsvc/http_agent_impl.h"

namespace {

EU_LIST* eu_head = nullptr;
EU_LIST* eu_tail = nullptr;
// The task sleeps on the queue, a requester on its own record.
int eu_key;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of n hexadecimal digits at text[at], or -1.
long hex_run(std::string_view text, size_t at, size_t n) {
  if (text.size() - at < n) return -1;
  long v = 0;
  for (size_t i = 0; i < n; ++i) {
    int d = hex_digit(text[at + i]);
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

void put_utf8(uint32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | c >> 6));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | c >> 12));
    out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | c >> 18));
    out->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

bool wanted(std::span<const uint32_t> only, uint32_t c) {
  return only.empty() || std::find(only.begin(), only.end(), c) != only.end();
}

}  // namespace

// ---- the evaluation task

void exec_url_task(TKEY) {
  if (!lock_up_test(ha_lock)) return;
  for (;;) {
    lock_task(ha_lock);
    while (!eu_head) {
      sleep_task(&eu_key, ha_lock);
      lock_task(ha_lock);
    }
    EU_LIST* e = eu_head;
    eu_head = e->next;
    if (!eu_head) eu_tail = nullptr;
    unlock_task(ha_lock, "exec_url_task");
    bool last = e->st == nullptr;
    int ret = last ? kExecUrlAnswered : exec_url(e->info, e->st);
    lock_task(ha_lock);
    e->ret = ret;
    unlock_task(ha_lock, "exec_url_task");
    wakeup_task(e);
    if (last) return;
  }
}

int insert_eu_list(HTTP_INFO* info, STREAM* st) {
  if (!lock_up_test(ha_lock)) return -1;
  EU_LIST e{nullptr, kEuPending, st, info};
  lock_task(ha_lock);
  if (eu_tail) eu_tail->next = &e;
  else eu_head = &e;
  eu_tail = &e;
  unlock_task(ha_lock, "insert_eu_list");
  wakeup_task(&eu_key);
  lock_task(ha_lock);
  while (e.ret == kEuPending) {
    sleep_task(&e, ha_lock);
    lock_task(ha_lock);
  }
  int ret = e.ret;
  unlock_task(ha_lock, "insert_eu_list");
  return ret;
}

// ---- percent coding

std::string url_percent_encode(std::string_view bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (char ch : bytes) {
    auto b = static_cast<unsigned char>(ch);
    bool plain = (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
    if (plain) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 15]);
    }
  }
  return out;
}

std::string url_percent_decode(std::string_view text, std::span<const uint32_t> only) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (text[i] != '%') {
      out.push_back(text[i++]);
      continue;
    }
    if (i + 1 < text.size() && (text[i + 1] == 'u' || text[i + 1] == 'U')) {
      long c = hex_run(text, i + 2, 4);
      size_t used = 6;
      // A high surrogate followed by an escaped low one is one code point.
      if (c >= 0xD800 && c < 0xDC00 && i + 7 < text.size() && text[i + 6] == '%' &&
          (text[i + 7] == 'u' || text[i + 7] == 'U')) {
        long low = hex_run(text, i + 8, 4);
        if (low >= 0xDC00 && low < 0xE000) {
          c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
          used = 12;
        }
      }
      bool lone = c >= 0xD800 && c < 0xE000;
      if (c >= 0 && !lone && wanted(only, static_cast<uint32_t>(c))) {
        put_utf8(static_cast<uint32_t>(c), &out);
        i += used;
        continue;
      }
    } else {
      long b = hex_run(text, i + 1, 2);
      if (b >= 0 && wanted(only, static_cast<uint32_t>(b))) {
        out.push_back(static_cast<char>(b));
        i += 3;
        continue;
      }
    }
    out.push_back(text[i++]);
  }
  return out;
}
