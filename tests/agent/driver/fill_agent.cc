// The agent with four test built-ins, for the tests and the benchmark that
// need pixels in a matrix before the image imports exist: it starts as
// qnmx starts, binds them in the second top environment and runs the
// script as qnmx runs it (same command line).
//
//   (TestFill id="N" channel="C")      fills level 0 of a two-dimensional
//       matrix through the entry's element-access cache, one
//       write_mx_cache_vector per row, with pattern(x, y, C) cut to the
//       element size: 4 bytes the word itself, 1 its top byte, 2 its top
//       two, 8 the word twice; the number of rows
//   (TestDump id="N" channel="C" level="L" "file")
//       writes the elements of level L, row after row, in host byte order,
//       read back through the cache; the number of rows
//   (TestCachePages)                   the record store's page limit
//   (TestClock)                        seconds of a monotonic clock
//
// pattern(x, y, c) = R << 24 | G << 16 | B << 8 with R = (7x + 13y +
// ((x ^ y) >> 3)) & 255, G = (x + 3y + 17c) & 255, B = ((x y) >> 5) & 255.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "agent/agent.h"
#include "agent/mx_entry.h"
#include "text/convert.h"
#include "base/entry.h"
#include "store/l_favt64.h"
#include "store/pdb64.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/env.h"

namespace {

uint32_t pattern(int64_t x, int64_t y, int ch) {
  auto r = static_cast<uint32_t>((x * 7 + y * 13 + ((x ^ y) >> 3)) & 255);
  auto g = static_cast<uint32_t>((x + 3 * y + 17 * ch) & 255);
  auto b = static_cast<uint32_t>(((x * y) >> 5) & 255);
  return r << 24 | g << 16 | b << 8;
}

void put_element(uint8_t* at, int size, uint32_t word) {
  uint64_t wide = uint64_t{word} << 32 | word;
  uint8_t u8 = static_cast<uint8_t>(word >> 24);
  uint16_t u16 = static_cast<uint16_t>(word >> 16);
  const void* src = size == 1 ? static_cast<const void*>(&u8) : size == 2 ? static_cast<const void*>(&u16)
                    : size == 4 ? static_cast<const void*>(&word) : static_cast<const void*>(&wide);
  std::memcpy(at, src, static_cast<size_t>(size));
}

// One channel of an entry moved row by row through the entry's cache, with
// the entry's access settings replaced meanwhile and put back after.
class RowMover {
 public:
  RowMover(MX_ENTRY* e, int channel, int tree, int create, int wait)
      : e_(e), saved_{e->c.gn_tree_node, e->c.gn_create, e->c.gn_wait} {
    e->c.gn_tree_node = tree;
    e->c.gn_create = create;
    e->c.gn_wait = wait;
    ix_.assign(static_cast<size_t>(e->c.ds_len), MX_CACHE_PARAM_IX{kMxcNoSlot, kMxcNoSlot});
    for (int i = 0; i < e->c.ds_len; ++i)
      if (e->c.access_ch[i] == channel && e->p.data_ix[i].x != kMxcNoSlot) {
        code_ = e->p.data_ix[i].p;
        ix_[static_cast<size_t>(i)] = MX_CACHE_PARAM_IX{code_, 0};
      }
  }
  ~RowMover() {
    flush_mx_cache(&e_->c, 0);
    e_->c.gn_tree_node = saved_[0];
    e_->c.gn_create = saved_[1];
    e_->c.gn_wait = saved_[2];
  }
  RowMover(const RowMover&) = delete;
  RowMover& operator=(const RowMover&) = delete;
  // Element bytes of the channel, 0 when it cannot be moved.
  int size() const { return code_ == kMxcNoSlot ? 0 : 1 << code_; }
  // Moves `width` elements of row y (finest units) at level into / out of
  // row: the count moved, or -1.
  int move(bool write, int64_t level, int64_t y, std::vector<uint8_t>& row, int64_t width) {
    int64_t dc[3] = {level, 0, y};
    void* buf = row.data();
    MX_CACHE_PARAM p = e_->p;
    p.dc = dc;
    p.data_ix = ix_.data();
    p.data_ptrs[code_] = &buf;
    p.vector_len = static_cast<int>(width);
    return write ? write_mx_cache_vector(&p) : read_mx_cache_vector(&p);
  }

 private:
  MX_ENTRY* e_;
  int saved_[3];
  uint16_t code_ = kMxcNoSlot;
  std::vector<MX_CACHE_PARAM_IX> ix_;
};

struct Extent {
  int64_t width = 0, height = 0, y_unit = 1;
};

// The extent of level `level` of a two-dimensional matrix; false otherwise.
bool level_extent(MATRIX* m, int64_t level, Extent* out) {
  lock_task(matrix_lock);
  bool ok = m->p.dim == 2 && level >= 0 && level < m->total_levels && m->pixel_size_list;
  if (ok) {
    out->width = m->pixel_size_list[level][0];
    out->height = m->pixel_size_list[level][1];
    out->y_unit = int64_t{1} << (level * m->dim_divide[1]);
  }
  unlock_task(matrix_lock, "fill_agent");
  return ok;
}

ZU_SEXP* refuse(ZU_SEXP* form, const char* func, const char* why) {
  return error_text_at(form, ZU_ER_PARAM, func, why);
}

ZU_SEXP* zu_TestFill(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  MX_ENTRY* e = use_mx_entry(option_int(head_option(sf, "id")));
  if (!e) return refuse(form, "TestFill", "id");
  int ch = option_int(head_option(sf, "channel"));
  Extent x;
  ZU_SEXP* r = nullptr;
  {
    RowMover rows(e, ch, 1, 2, 2);
    set_matrix_env(e->c.m, "create-node", "enable");
    if (!rows.size() || !level_extent(e->c.m, 0, &x)) r = refuse(form, "TestFill", "channel or matrix");
    std::vector<uint8_t> row(static_cast<size_t>(x.width * rows.size()));
    for (int64_t y = 0; !r && y < x.height; ++y) {
      for (int64_t i = 0; i < x.width; ++i)
        put_element(&row[static_cast<size_t>(i * rows.size())], rows.size(), pattern(i, y, ch));
      if (rows.move(true, 0, y, row, x.width) != x.width) r = refuse(form, "TestFill", "write");
    }
  }
  done_mx_entry(e);
  return r ? r : get_integer(x.height, nullptr);
}

ZU_SEXP* zu_TestDump(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZU_SEXP* name = get_el(form, 1);
  if (!is_string(name)) return refuse(form, "TestDump", "file");
  MX_ENTRY* e = use_mx_entry(option_int(head_option(sf, "id")));
  if (!e) return refuse(form, "TestDump", "id");
  int64_t level = option_int64(head_option(sf, "level"));
  Extent x;
  ZU_SEXP* r = nullptr;
  FILE* f = std::fopen(n_string(std_cm, str_text(name)), "wb");
  {
    RowMover rows(e, option_int(head_option(sf, "channel")), 0, -1, 3);
    if (!f || !rows.size() || !level_extent(e->c.m, level, &x)) r = refuse(form, "TestDump", "file, channel or level");
    std::vector<uint8_t> row(static_cast<size_t>(x.width * rows.size()));
    for (int64_t y = 0; !r && y < x.height; ++y) {
      std::fill(row.begin(), row.end(), 0);
      bool read = rows.move(false, level, y * x.y_unit, row, x.width) >= 0;
      if (!read || std::fwrite(row.data(), 1, row.size(), f) != row.size()) r = refuse(form, "TestDump", "read");
    }
  }
  done_mx_entry(e);
  if (f && std::fclose(f) != 0 && !r) r = refuse(form, "TestDump", "write");
  return r ? r : get_integer(x.height, nullptr);
}

ZU_SEXP* zu_TestCachePages(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  lock_task(l_favt64_lock);
  int pages = fac_general_info.total_entries;
  unlock_task(l_favt64_lock, "fill_agent");
  return get_integer(pages, nullptr);
}

ZU_SEXP* zu_TestClock(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  auto t = std::chrono::steady_clock::now().time_since_epoch();
  return get_floating(std::chrono::duration<double>(t).count(), nullptr);
}

int body(int argc, char** argv) {
  static const QN_PRIM_DEF kTests[] = {{"TestFill", zu_TestFill, 1, 1, 1, 0},
                                       {"TestDump", zu_TestDump, 1, 2, 2, 0},
                                       {"TestCachePages", zu_TestCachePages, 1, 1, 1, 0},
                                       {"TestClock", zu_TestClock, 1, 1, 1, 0},
                                       {}};
  start_agent(argc, argv);
  {
    ZuThreadScope scope("fill_agent");
    bind_prims(qnlisp_top_env1, kTests);
  }
  return run_agent(argc, argv);
}

}  // namespace

int main(int argc, char** argv) { call_main(argc, argv, body); }
