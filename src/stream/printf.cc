// The printf engine: formatted output through a stream's encoding.
//
// Literal text, numbers and "%s" texts are narrow text in the standard
// encoding; "%ls" and "%lc" are wide. Everything is written in the stream's
// encoding, a code the encoding cannot express as "&cx%x;".
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "stream/stream_impl.h"

namespace {

// Collects output and hands it to the back-end in pieces; the caller holds
// the stream's writer lock.
class Out {
 public:
  explicit Out(STREAM* s) : s_(s), cm_(s->h.cm ? s->h.cm : stream_cm) {
    if (s->h.cmw.cm != cm_) cm_work_init(&s->h.cmw, cm_);
    cm_work_init(&dec_, std_cm);
  }

  void narrow(const char* p, size_t n) {
    if (cm_ == std_cm) {
      raw(p, n);
      return;
    }
    L_CHAR codes[CM_MAX_DECODE];
    for (size_t i = 0; i < n; ++i) {
      int k = std_cm->to_internal(&dec_, static_cast<unsigned char>(p[i]), codes);
      for (int j = 0; j < k; ++j) wide(codes[j]);
    }
  }

  void end_narrow() {
    if (cm_ == std_cm) return;
    L_CHAR codes[CM_MAX_DECODE];
    int k = std_cm->end_internal(&dec_, codes);
    for (int j = 0; j < k; ++j) wide(codes[j]);
  }

  void wide(L_CHAR c) {
    if (fill_ + CM_MAX_PUT > sizeof buf_) flush();
    fill_ += static_cast<size_t>(cm_put_code(&s_->h.cmw, c, 'c', buf_ + fill_));
  }

  void raw(const char* p, size_t n) {
    while (n > 0) {
      if (fill_ == sizeof buf_) flush();
      size_t k = std::min(n, sizeof buf_ - fill_);
      std::memcpy(buf_ + fill_, p, k);
      fill_ += k;
      p += k;
      n -= k;
    }
  }

  // Returns the total written, or -1 after a failed write.
  int finish() {
    end_narrow();
    flush();
    return failed_ ? -1 : static_cast<int>(total_ > 0x7fffffff ? 0x7fffffff : total_);
  }

  int err() const { return err_; }

 private:
  void flush() {
    if (fill_ == 0 || failed_) {
      fill_ = 0;
      return;
    }
    S_HEADER& h = s_->h;
    errno = 0;
    int r = h.tbl->write(s_, buf_, static_cast<int>(fill_));
    if (r < 0) {
      failed_ = true;
      err_ = errno ? errno : EIO;
    } else {
      if (h.cr_flag) h.cr_cnt += s_count_line_ends(buf_, r, &h.cr_wstate);
      total_ += static_cast<size_t>(r);
    }
    fill_ = 0;
  }

  STREAM* s_;
  CODE_METHOD* cm_;
  CM_WORK dec_;
  unsigned char buf_[1024];
  size_t fill_ = 0;
  size_t total_ = 0;
  bool failed_ = false;
  int err_ = 0;
};

void put_padding(Out& o, int n) {
  static const char spaces[] = "                                ";
  while (n > 0) {
    int k = n > 32 ? 32 : n;
    o.narrow(spaces, static_cast<size_t>(k));
    n -= k;
  }
}

// Formats into o; returns 0 or -1 for a format it does not know (the rest
// of the format is then written as it stands).
void format(Out& o, const char* fmt, va_list ap) {
  const char* p = fmt;
  while (*p) {
    const char* pct = std::strchr(p, '%');
    if (!pct) {
      o.narrow(p, std::strlen(p));
      return;
    }
    if (pct > p) o.narrow(p, static_cast<size_t>(pct - p));
    const char* q = pct + 1;
    if (*q == '%') {
      o.narrow("%", 1);
      p = q + 1;
      continue;
    }
    // Parse one conversion: flags, width, precision, length, conversion.
    char spec[48];
    size_t sl = 0;
    spec[sl++] = '%';
    bool left = false;
    while (*q && std::strchr("-+ #0", *q)) {
      if (*q == '-') left = true;
      if (sl < 8) spec[sl++] = *q;
      ++q;
    }
    int width = -1, prec = -1;
    if (*q == '*') {
      width = va_arg(ap, int);
      if (width < 0) {
        left = true;
        spec[sl++] = '-';
        width = -width;
      }
      ++q;
    } else {
      width = 0;
      bool any = false;
      while (*q >= '0' && *q <= '9') {
        if (width < 100000) width = width * 10 + (*q - '0');
        any = true;
        ++q;
      }
      if (!any) width = -1;
    }
    if (*q == '.') {
      ++q;
      prec = 0;
      if (*q == '*') {
        prec = va_arg(ap, int);
        ++q;
      } else {
        while (*q >= '0' && *q <= '9') {
          if (prec < 100000) prec = prec * 10 + (*q - '0');
          ++q;
        }
      }
    }
    if (width >= 0) sl += static_cast<size_t>(std::snprintf(spec + sl, 12, "%d", width));
    if (prec >= 0) sl += static_cast<size_t>(std::snprintf(spec + sl, 13, ".%d", prec));
    int lng = 0;  // 1 l, 2 ll, -1 h, -2 hh, 3 z/t/j, 4 L
    for (;;) {
      if (*q == 'l') {
        lng = lng == 1 ? 2 : 1;
      } else if (*q == 'h') {
        lng = lng == -1 ? -2 : -1;
      } else if (*q == 'z' || *q == 't' || *q == 'j') {
        lng = 3;
      } else if (*q == 'L' || *q == 'q') {
        lng = lng == 0 && *q == 'q' ? 2 : 4;
      } else {
        break;
      }
      ++q;
    }
    char conv = *q;
    if (!conv) {
      o.narrow(pct, std::strlen(pct));
      return;
    }
    p = q + 1;
    char tmp[512];
    int n = -1;
    switch (conv) {
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        const char* lm = lng == 2 ? "ll" : lng == 1 ? "l" : lng == 3 ? "j" : lng == -1 ? "h" : lng == -2 ? "hh" : "";
        std::strcpy(spec + sl, lm);
        size_t e = sl + std::strlen(lm);
        spec[e] = conv;
        spec[e + 1] = 0;
        bool sgn = conv == 'd' || conv == 'i';
        if (lng == 2) {
          n = sgn ? std::snprintf(tmp, sizeof tmp, spec, va_arg(ap, long long))
                  : std::snprintf(tmp, sizeof tmp, spec, va_arg(ap, unsigned long long));
        } else if (lng == 1) {
          n = sgn ? std::snprintf(tmp, sizeof tmp, spec, va_arg(ap, long))
                  : std::snprintf(tmp, sizeof tmp, spec, va_arg(ap, unsigned long));
        } else if (lng == 3) {
          n = sgn ? std::snprintf(tmp, sizeof tmp, spec, static_cast<intmax_t>(va_arg(ap, ssize_t)))
                  : std::snprintf(tmp, sizeof tmp, spec, static_cast<uintmax_t>(va_arg(ap, size_t)));
        } else {
          n = sgn ? std::snprintf(tmp, sizeof tmp, spec, va_arg(ap, int))
                  : std::snprintf(tmp, sizeof tmp, spec, va_arg(ap, unsigned int));
        }
        break;
      }
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A': {
        if (lng == 4) {
          spec[sl] = 'L';
          spec[sl + 1] = conv;
          spec[sl + 2] = 0;
          n = std::snprintf(tmp, sizeof tmp, spec, va_arg(ap, long double));
        } else {
          spec[sl] = conv;
          spec[sl + 1] = 0;
          n = std::snprintf(tmp, sizeof tmp, spec, va_arg(ap, double));
        }
        break;
      }
      case 'p': {
        spec[sl] = 'p';
        spec[sl + 1] = 0;
        n = std::snprintf(tmp, sizeof tmp, spec, va_arg(ap, void*));
        break;
      }
      case 'c': {
        L_CHAR c = lng == 1 ? static_cast<L_CHAR>(va_arg(ap, unsigned int))
                            : static_cast<unsigned char>(va_arg(ap, int));
        if (!left) put_padding(o, width - 1);
        if (lng == 1) {
          o.wide(c);
        } else {
          char b = static_cast<char>(c);
          o.narrow(&b, 1);
        }
        if (left) put_padding(o, width - 1);
        continue;
      }
      case 's': {
        if (lng == 1) {
          const L_CHAR* w = va_arg(ap, const L_CHAR*);
          static const L_CHAR null_text[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
          if (!w) w = null_text;
          size_t len = 0;
          while (w[len] && (prec < 0 || len < static_cast<size_t>(prec))) ++len;
          int pad = width > static_cast<int>(len) ? width - static_cast<int>(len) : 0;
          if (!left) put_padding(o, pad);
          for (size_t i = 0; i < len; ++i) o.wide(w[i]);
          if (left) put_padding(o, pad);
        } else {
          const char* t = va_arg(ap, const char*);
          if (!t) t = "(null)";
          size_t len = prec < 0 ? std::strlen(t) : strnlen(t, static_cast<size_t>(prec));
          int pad = width > static_cast<int>(len) ? width - static_cast<int>(len) : 0;
          if (!left) put_padding(o, pad);
          o.narrow(t, len);
          if (left) put_padding(o, pad);
        }
        continue;
      }
      case 'n':
        (void)va_arg(ap, int*);  // never written through
        continue;
      default:
        // Unknown conversion: written as it stands.
        o.narrow(pct, static_cast<size_t>(p - pct));
        continue;
    }
    if (n > 0) o.narrow(tmp, std::min(static_cast<size_t>(n), sizeof tmp - 1));
  }
}

int vprint(STREAM* s, int* err, const char* fmt, va_list ap) {
  S_USE use(s);
  if (!use.s || !fmt || !s->h.tbl->write || s->h.mode == S_MODE_READ) {
    if (err) *err = EBADF;
    return -1;
  }
  S_HEADER& h = s->h;
  S_SIDE writer(h.wmu, s_writer_level(h));
  Out o(s);
  format(o, fmt, ap);
  int r = o.finish();
  if (r < 0 && err) *err = o.err();
  return r;
}

}  // namespace

int _s_printf(STREAM* s, int flag, const char* fmt, va_list ap, int extra) {
  (void)flag;
  (void)extra;
  va_list cp;
  va_copy(cp, ap);
  int r = vprint(s, nullptr, fmt, cp);
  va_end(cp);
  return r;
}

int s_printf(STREAM* s, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int r = vprint(s, nullptr, fmt, ap);
  va_end(ap);
  return r;
}

int e_printf(STREAM* s, int* err, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int r = vprint(s, err, fmt, ap);
  va_end(ap);
  return r;
}

// Trace lines go to the error stream so that they never mix with replies
// that a parent or peer reads from the standard output.
int ss_printf(const char* fmt, ...) {
  init_stream();
  va_list ap;
  va_start(ap, fmt);
  int r = vprint(s_stderr, nullptr, fmt, ap);
  va_end(ap);
  return r;
}
