// Whole field arrays: copy, accounting, release, and the merge and level
// difference of the fields of two points.
#include <cstring>

#include "base/alloc.h"
#include "base/panic.h"
#include "matrix_ops/plot_field_impl.h"

bool fd_stored_type(uint8_t type) {
  switch (type) {
    case kFdNone:
    case kFdStr:
    case kFdStrInherit:
    case kFdStrErase:
    case kFdIntAdd:
    case kFdIntAvg:
    case kFdIntMax:
    case kFdIntMin:
    case kFdRgba:
      return true;
    default:
      return false;
  }
}

char* sat_copy_str(const char* str, SIMPLE_ALLOC_T* sat) {
  if (!str) return nullptr;
  size_t n = std::strlen(str) + 1;
  auto* p = static_cast<char*>(fd_alloc(n, sat));
  std::memcpy(p, str, n);
  return p;
}

namespace {

// A zeroed array of n fields (room for one at least: the first carries the
// count), tagged or from sat.
IP_FIELD* new_fields(unsigned n, SIMPLE_ALLOC_T* sat, const char* file, int line) {
  size_t bytes = sizeof(IP_FIELD) * (n ? n : 1);
  auto* f = static_cast<IP_FIELD*>(xx_fd_alloc(bytes, sat, file, line));
  std::memset(f, 0, bytes);
  f[0].len = n;
  return f;
}

void copy_one(IP_FIELD* d1, IP_FIELD* d2, SIMPLE_ALLOC_T* sat) {
  const FIELD_TYPE* row = fd_row(d2->type);
  if (!row) er_panic("copy_fields");
  row->copy(d1, d2, sat);
}

unsigned kind(const IP_FIELD& f) { return f.type & 0xF0; }

// Drops a half-built array of which the first `made` values exist.
void drop_partial(IP_FIELD* f, unsigned made) {
  f[0].len = made;
  free_fields(f);
}

}  // namespace

IP_FIELD* xx_copy_fields(IP_FIELD* fd, SIMPLE_ALLOC_T* sat, const char* file, int line) {
  if (!fd) return nullptr;
  unsigned n = fd[0].len;
  IP_FIELD* r = new_fields(n, sat, file, line);
  for (unsigned i = 0; i < n; ++i) copy_one(&r[i], &fd[i], sat);
  r[0].len = n;
  return r;
}

void xx_change_st_fields(IP_FIELD* fd, const char* file, int line) {
  if (!fd) return;
  for (unsigned i = 0, n = fd[0].len; i < n; ++i) xx_change_statistics(fd[i].d.str, file, line);
  xx_change_statistics(fd, file, line);
}

void free_fields(IP_FIELD* fd) {
  if (!fd) return;
  for (unsigned i = 0, n = fd[0].len; i < n; ++i) d_f_ree(fd[i].d.str);
  d_f_ree(fd);
}

IP_FIELD* fd_merge_fields(unsigned char* flags, IP_FIELD* fd1, IP_FIELD* fd2, SIMPLE_ALLOC_T* sat, int* errp) {
  if (!fd1 || !fd2) return copy_fields(fd1 ? fd1 : fd2, sat);
  IP_FIELD* lg = fd2[0].len > fd1[0].len ? fd2 : fd1;
  IP_FIELD* sh = lg == fd1 ? fd2 : fd1;
  unsigned nl = lg[0].len, ns = sh[0].len;
  IP_FIELD* r = new_fields(nl, sat, __FILE__, __LINE__);
  for (unsigned i = 0; i < nl; ++i) {
    IP_FIELD* s = i < ns ? &sh[i] : nullptr;
    IP_FIELD* l = &lg[i];
    int rc = 0;
    if (!s || kind(*s) == kFdNone) {
      copy_one(&r[i], l, sat);
    } else if (kind(*l) == kFdNone) {
      copy_one(&r[i], s, sat);
    } else if (kind(*s) != kind(*l) || !fd_row(l->type) || fd_arith_tbl[l->type >> 4].merge(&r[i], s, l, sat) != 0) {
      rc = -1;
    }
    if (rc) {
      fd_trace_refused(s->type, l->type);
      if (!sat) drop_partial(r, i);
      if (errp) *errp = -1;
      return nullptr;
    }
  }
  r[0].len = nl;
  *flags |= 0x08;
  return r;
}

IP_FIELD* merge_fields(unsigned char* flags, IP_FIELD* fd1, IP_FIELD* fd2, int* errp) {
  return fd_merge_fields(flags, fd1, fd2, nullptr, errp);
}

IP_FIELD* fd_diff_fields(IP_FIELD* down, IP_FIELD* up, SIMPLE_ALLOC_T* sat, int* errp) {
  if (!down) return nullptr;
  if (!up) return copy_fields(down, sat);
  unsigned n = down[0].len, nu = up[0].len;
  IP_FIELD* r = new_fields(n, sat, __FILE__, __LINE__);
  for (unsigned i = 0; i < n; ++i) {
    IP_FIELD* u = i < nu ? &up[i] : nullptr;
    IP_FIELD* d = &down[i];
    if (!u || kind(*u) == kFdNone || kind(*d) == kFdNone) {
      copy_one(&r[i], d, sat);
    } else if (kind(*u) != kind(*d) || !fd_row(u->type) || fd_arith_tbl[u->type >> 4].diff(&r[i], u, d, sat) != 0) {
      fd_trace_refused(u->type, d->type);
      if (!sat) drop_partial(r, i);
      if (errp) *errp = -1;
      return nullptr;
    }
  }
  r[0].len = n;
  return r;
}

IP_FIELD* diff_fields(IP_FIELD* down, IP_FIELD* up, int* errp) { return fd_diff_fields(down, up, nullptr, errp); }
