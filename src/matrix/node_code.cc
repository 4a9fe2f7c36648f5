// The byte form in which a node travels to a remote reader: its child
// list and the channels marked for sending, each in its stored form.
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "base/alloc.h"
#include "elements/compressed_code.h"
#include "elements/stored.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_impl.h"
#include "matrix/mx_format.h"
#include "matrix/node.h"
#include "store/recordlist.h"

namespace {

CHAIN_LIST64* add_piece(RECORD_LIST64* rl, const void* bytes, size_t len) {
  void* p = d_alloc(len);
  std::memcpy(p, bytes, len);
  return set_recordlist_chain64(rl, p, static_cast<int64_t>(len), 1);
}

CHAIN_LIST64* add_code(RECORD_LIST64* rl, int64_t v) {
  uint8_t buf[kCompressedCodeMax];
  return add_piece(rl, buf, static_cast<size_t>(get_compressed_code64(buf, v) - buf));
}

// Appends one channel record; a datum that has no stored form leaves the
// list as it was.
void add_channel(RECORD_LIST64* rl, const MATRIX_DATA_TYPE* tp, int ch, const void* data) {
  CHAIN_LIST64* before = rl->chain_tail;
  CHAIN_LIST64* number = add_code(rl, ch);
  if (tp->convert_to_net(tp, rl, data) == 0 && set_recordlist_code(rl, number) == 0) return;
  free_chain_list64(before->next);
  before->next = nullptr;
  rl->chain_tail = before;
}

const uint8_t* read_code(int64_t* v, const uint8_t* p, const uint8_t* end) {
  return p ? get_uncompressed_code64_bounded(v, p, end) : nullptr;
}

// The child codes of a form-0 value, sorted and without duplicates as a
// child list keeps them; each must be a node one level below n. False for
// malformed bytes (nothing is kept then).
bool read_children(const MATRIX_NODE* n, int64_t count, const uint8_t** pp, const uint8_t* end,
                   std::vector<int64_t>* codes) {
  const MATRIX* m = n->matrix;
  const int width = m->p.dim + 1;
  // Each code takes at least two bytes per value and its end byte.
  if (count > (end - *pp) / (2 * width + 1)) return false;
  codes->resize(static_cast<size_t>(count * width));
  for (int64_t i = 0; i < count; ++i) {
    int64_t* dc = codes->data() + i * width;
    *pp = mx_read_dim_code(&m->geometry, dc, *pp, end);
    if (!*pp || dc[0] != n->dim_code[0] - 1) return false;
    normalize_dim_code(m, dc);
  }
  return true;
}

void replace_child_list(MATRIX_NODE* n, const std::vector<int64_t>& codes) {
  const MATRIX* m = n->matrix;
  const int width = m->p.dim + 1;
  std::vector<const int64_t*> order(codes.size() / width);
  for (size_t i = 0; i < order.size(); ++i) order[i] = codes.data() + i * width;
  auto less = [m](const int64_t* a, const int64_t* b) { return _cmp_dim_code(m, a, b) < 0; };
  auto same = [m](const int64_t* a, const int64_t* b) { return _cmp_dim_code(m, a, b) == 0; };
  std::sort(order.begin(), order.end(), less);
  order.erase(std::unique(order.begin(), order.end(), same), order.end());
  _free_nlist_dim_addr(n->nlist_dim_addr, n->nlist_dim_addr_len);
  n->nlist_dim_addr = nullptr;
  n->nlist_dim_addr_len = 0;
  if (order.empty()) return;
  n->nlist_dim_addr = static_cast<int64_t**>(d_alloc(sizeof(int64_t*) * order.size()));
  for (const int64_t* dc : order) n->nlist_dim_addr[n->nlist_dim_addr_len++] = copy_dim_code(m, dc).release();
}

// One channel's datum decoded from a node value, not yet in the node.
struct DecodedChannel {
  int ch;
  MATRIX_DATA_TYPE* tp;
  void* data;
};

// Frees what was decoded and not taken into the node.
void free_decoded(std::vector<DecodedChannel>& decoded) {
  for (DecodedChannel& d : decoded)
    if (d.data) d.tp->free_data(d.tp, d.data);
  decoded.clear();
}

// Decodes every channel record from p to end: false for malformed bytes, a
// channel that has no type or a datum its type refuses (nothing is kept).
bool read_channels(const MATRIX* m, const uint8_t* p, const uint8_t* end, std::vector<DecodedChannel>* out) {
  auto refuse = [out] {
    free_decoded(*out);
    return false;
  };
  while (p < end) {
    int64_t ch = 0, len = 0;
    p = read_code(&len, read_code(&ch, p, end), end);
    if (!p || len < 0 || len > end - p) return refuse();
    const uint8_t* data = p;
    p += len;
    if (ch < 0 || ch >= m->p.channel_nos) continue;
    MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
    if (!tp) return refuse();
    if (!tp->convert_to_host) continue;  // a type without a stored form is never sent
    void* d = tp->convert_to_host(tp, data, len, MX_ATYPE::tagged, nullptr, __FILE__, __LINE__);
    if (!d) return refuse();
    out->push_back({static_cast<int>(ch), tp, d});
  }
  return true;
}

// Decodes under n's locks. The whole value is read and converted before
// anything of n changes.
int decode_locked(MATRIX_NODE* n, const uint8_t* p, const uint8_t* end) {
  MATRIX* m = n->matrix;
  const bool bits = m->dim_bit_field != 0;
  if (p >= end || *p != (bits ? 1 : 0)) return -1;
  int64_t count = 0;
  p = read_code(&count, p + 1, end);
  if (!p || count < 0 || count > end - p) return -1;
  const uint8_t* field = p;
  std::vector<int64_t> codes;
  if (bits) {
    if (count != m->dim_bit_field) return -1;
    p += count;
  } else if (!read_children(n, count, &p, end, &codes)) {
    return -1;
  }
  std::vector<DecodedChannel> decoded;
  if (!read_channels(m, p, end, &decoded)) return -1;

  if (bits) {
    if (n->nlist_dim_bit_field_len != count) {
      d_f_ree(n->nlist_dim_bit_field);
      n->nlist_dim_bit_field = static_cast<uint8_t*>(d_alloc(static_cast<size_t>(count)));
      n->nlist_dim_bit_field_len = static_cast<int>(count);
    }
    std::memcpy(n->nlist_dim_bit_field, field, static_cast<size_t>(count));
    _free_nlist_dim_addr(n->nlist_dim_addr, n->nlist_dim_addr_len);
    n->nlist_dim_addr = nullptr;
    n->nlist_dim_addr_len = 0;
  } else {
    replace_child_list(n, codes);
  }
  _mx_node_channels(n);
  for (DecodedChannel& d : decoded) {
    MATRIX_CHANNEL& c = n->channel[d.ch];
    if (c.data) d.tp->free_data(d.tp, c.data);
    c.data = std::exchange(d.data, nullptr);
  }
  return 0;
}

}  // namespace

ZU_SEXP* encode_matrix_node(MATRIX_NODE* n) {
  const MATRIX* m = n->matrix;
  Owned<RECORD_LIST64, free_recordlist64> owned(new_recordlist64(0, 0));
  RECORD_LIST64* rl = owned.get();
  if (!rl) return nullptr;
  const uint8_t form = m->dim_bit_field != 0 ? 1 : 0;
  add_piece(rl, &form, 1);
  if (form) {
    add_code(rl, n->nlist_dim_bit_field_len);
    if (n->nlist_dim_bit_field_len > 0)
      add_piece(rl, n->nlist_dim_bit_field, static_cast<size_t>(n->nlist_dim_bit_field_len));
  } else {
    add_code(rl, n->nlist_dim_addr_len);
    uint8_t buf[kMxDimCodeMaxBytes];
    for (int i = 0; i < n->nlist_dim_addr_len; ++i)
      add_piece(rl, buf, static_cast<size_t>(get_compressed_dim_code(buf, n->nlist_dim_addr[i], m->p.dim) - buf));
  }
  for (int ch = 0; n->channel && ch < m->p.channel_nos; ++ch) {
    const MATRIX_CHANNEL_INFO& inf = m->channel_info[ch];
    const MATRIX_DATA_TYPE* tp = inf.data_type;
    if (tp && (inf.flags & kMxChSend) && n->channel[ch].data && tp->convert_to_net)
      add_channel(rl, tp, ch, n->channel[ch].data);
  }
  int64_t size = setup_recordlist64(rl);
  return size > 0 && size <= UINT32_MAX ? get_raw(rl->data, static_cast<uint32_t>(size)) : nullptr;
}

int decode_matrix_node(MATRIX_NODE* n, ZU_SEXP* s) {
  if (get_type(s) != ZU_TYPE_RAW) return -1;
  lock_task(matrix_lock);
  _lock_node(n, nullptr);
  _matrix_node_channel_lock(n);
  int r = decode_locked(n, s->raw.data, s->raw.data + s->raw.size);
  if (r == 0) n->data_stored = 0;  // data from a peer, not from the records
  _matrix_node_channel_unlock(n, 0);
  _unlock_node(n, nullptr);
  unlock_task(matrix_lock, "decode_matrix_node");
  return r;
}
