// The block subcommands of mxop_check: the zlib, image and compound block
// coders on bytes from the standard input, and matrix scripts run on a
// node of a fresh matrix.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/lock.h"
#include "elements/stored.h"
#include "elements/zu_convert.h"
#include "matrix/node.h"
#include "matrix_ops/block_codec.h"
#include "mxop_check.h"
#include "store/recordlist.h"
#include "stream/stream.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/errcodes.h"
#include "zu/eval.h"
#include "zu/printer.h"
#include "zu/reader.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes read_stdin() {
  std::string s((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  return Bytes(s.begin(), s.end());
}

bool read_file(const char* path, Bytes* out) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  char buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out->insert(out->end(), buf, buf + n);
  std::fclose(f);
  return true;
}

void write_out(const void* p, size_t n) { std::fwrite(p, 1, n, stdout); }

std::string to_hex(const void* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    uint8_t b = static_cast<const uint8_t*>(p)[i];
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

bool from_hex(const std::string& text, Bytes* out) {
  if (text.size() % 2) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    char* end = nullptr;
    std::string pair = text.substr(i, 2);
    long v = std::strtol(pair.c_str(), &end, 16);
    if (*end) return false;
    out->push_back(static_cast<uint8_t>(v));
  }
  return true;
}

int refuse(const char* why) {
  std::fprintf(stderr, "mxop_check: %s\n", why ? why : "refused");
  return kMxopRefused;
}

// The stored form of a host value of type tp.
Bytes stored_form(const MATRIX_DATA_TYPE* tp, const void* v) {
  RECORD_LIST64* rl = new_recordlist64(0, 0);
  Bytes out;
  if (tp->convert_to_net(tp, rl, v) == 0) {
    int64_t n = setup_recordlist64(rl);
    if (n > 0) out.assign(static_cast<uint8_t*>(rl->data), static_cast<uint8_t*>(rl->data) + n);
  }
  free_recordlist64(rl);
  return out;
}

// A tagged host value of the type whose stored form the bytes are (block
// bytes when tp is the block type); null when they are not one.
void* host_value(const MATRIX_DATA_TYPE* tp, const Bytes& b) {
  return tp ? tp->convert_to_host(tp, b.data(), static_cast<int64_t>(b.size()), MX_ATYPE::tagged, nullptr, __FILE__,
                                  __LINE__)
            : nullptr;
}

const MATRIX_DATA_TYPE* stored_type(const Bytes& b) {
  return b.size() >= 4 && mx_is_vector_code(b[1]) ? get_matrix_data_type(b[1]) : nullptr;
}

// ---- zlib blocks

int zenc_main(int argc, char** argv) {
  if (argc != 1) return kMxopUsage;
  Bytes in = read_stdin();
  const char* why = nullptr;
  int32_t len = 0;
  uint8_t* z = mx_zblock_encode_payload(&len, in.data(), static_cast<int32_t>(in.size()), std::atoi(argv[0]), &why);
  if (!z) return refuse(why);
  write_out(z, static_cast<size_t>(len));
  d_f_ree(z);
  return 0;
}

int zdec_main(int argc, char**) {
  if (argc != 0) return kMxopUsage;
  Bytes in = read_stdin();
  const char* why = nullptr;
  int32_t len = 0;
  uint8_t* p = mx_zblock_payload(&len, in.data(), static_cast<int32_t>(in.size()), &why);
  if (!p) return refuse(why);
  // Decoded too, so a payload that only looks right is refused here as well.
  const MATRIX_DATA_TYPE* tp = nullptr;
  void* v = mx_zblock_decode(&tp, in.data(), static_cast<int32_t>(in.size()), MX_ATYPE::tagged, &why);
  if (!v) {
    d_f_ree(p);
    return refuse(why);
  }
  tp->free_data(tp, v);
  write_out(p, static_cast<size_t>(len));
  d_f_ree(p);
  return 0;
}

// ---- image blocks

int imgenc_main(int argc, char** argv) {
  if (argc != 1) return kMxopUsage;
  Bytes in = read_stdin();
  const MATRIX_DATA_TYPE* tp = stored_type(in);
  if (tp != &mx_type_uint8_v && tp != &mx_type_RGB_v) return refuse("uint8_v or rgb8_v required");
  void* v = host_value(tp, in);
  if (!v) return refuse(kMxWhyStored);
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  const char* why = "data dimention is not 2";
  int32_t len = 0;
  uint8_t* b = dh.hd->dim == 2 ? mx_image_encode(&len, &dh, std::atoi(argv[0]), &why) : nullptr;
  tp->free_data(tp, v);
  if (!b) return refuse(why);
  write_out(b, static_cast<size_t>(len));
  d_f_ree(b);
  return 0;
}

int imgdec_main(int argc, char**) {
  if (argc != 0) return kMxopUsage;
  Bytes in = read_stdin();
  const char* why = nullptr;
  void* v = mx_image_decode(in.data(), static_cast<int32_t>(in.size()), MX_ATYPE::tagged, &why);
  if (!v) return refuse(why);
  MATRIX_DH_SET dh;
  const MATRIX_DATA_TYPE* tp = get_matrix_dh_set(&dh, v);
  Bytes out = stored_form(tp, v);
  tp->free_data(tp, v);
  write_out(out.data(), out.size());
  return 0;
}

// ---- compound blocks

int cmpenc_main(int argc, char**) {
  if (argc != 0) return kMxopUsage;
  RECORD_LIST64* rl = new_recordlist64(0, 0);
  std::vector<Bytes> held;  // pieces stay borrowed until the list is joined
  held.reserve(1024);
  std::string line;
  int r = 0;
  while (r == 0 && std::getline(std::cin, line)) {
    if (line.size() < 2 || line[1] != ' ') {
      r = refuse("line");
      break;
    }
    std::string arg = line.substr(2);
    Bytes bytes;
    int type = 0;
    if (line[0] == 's') {
      type = MX_TYPE_STRING;
      bytes.assign(arg.begin(), arg.end());
    } else if (line[0] == 'i' || line[0] == 'f') {
      type = line[0] == 'i' ? MX_TYPE_INT64 : MX_TYPE_DOUBLE;
      uint64_t bits = 0;
      if (type == MX_TYPE_INT64) {
        bits = static_cast<uint64_t>(std::strtoll(arg.c_str(), nullptr, 10));
      } else {
        double d = std::strtod(arg.c_str(), nullptr);
        std::memcpy(&bits, &d, 8);
      }
      bytes.resize(8);
      store_be64(bytes.data(), bits);
    } else if ((line[0] == 'b' || line[0] == 'v') && from_hex(arg, &bytes)) {
      type = MX_TYPE_BLOCK;
      if (line[0] == 'v') {
        const MATRIX_DATA_TYPE* tp = stored_type(bytes);
        void* v = host_value(tp, bytes);
        if (!v) {
          r = refuse(kMxWhyStored);
          break;
        }
        tp->free_data(tp, v);
        type = tp->type;
      }
    } else {
      r = refuse("line");
      break;
    }
    held.push_back(std::move(bytes));
    CHAIN_LIST64* mark = mx_compound_open(rl, type);
    if (!held.back().empty()) set_recordlist_chain64(rl, held.back().data(), static_cast<int64_t>(held.back().size()), 0);
    mx_compound_close(rl, mark);
  }
  int64_t n = r == 0 ? setup_recordlist64(rl) : -1;
  if (n > 0) write_out(rl->data, static_cast<size_t>(n));
  free_recordlist64(rl);
  return r;
}

int cmpdec_main(int argc, char**) {
  if (argc != 0) return kMxopUsage;
  Bytes in = read_stdin();
  const uint8_t* p = in.data();
  const uint8_t* end = p + in.size();
  MX_COMPOUND_ITEM it{};
  const char* why = nullptr;
  std::string out;
  int k = 0;
  while ((k = mx_compound_next(&it, &p, end, &why)) == 1) {
    if (it.type == MX_TYPE_STRING) {
      out += "s " + std::string(reinterpret_cast<const char*>(it.data), static_cast<size_t>(it.size)) + "\n";
    } else if (it.type == MX_TYPE_INT64) {
      out += "i " + std::to_string(static_cast<int64_t>(load_be64(it.data))) + "\n";
    } else if (it.type == MX_TYPE_DOUBLE) {
      uint64_t bits = load_be64(it.data);
      double d;
      std::memcpy(&d, &bits, 8);
      char text[40];
      std::snprintf(text, sizeof text, "%.17g", d);
      out += std::string("f ") + text + "\n";
    } else {
      void* v = mx_compound_value(&it, MX_ATYPE::tagged, &why);
      if (!v) return refuse(why);
      const MATRIX_DATA_TYPE* tp = it.type == MX_TYPE_BLOCK ? &mx_type_block : get_matrix_data_type(it.type);
      tp->free_data(tp, v);
      out += std::string(it.type == MX_TYPE_BLOCK ? "b " : "v ") + to_hex(it.data, static_cast<size_t>(it.size)) + "\n";
    }
  }
  if (k < 0) return refuse(why);
  write_out(out.data(), out.size());
  return 0;
}

// ---- scripts on a node of a fresh matrix

// Never destroyed: a worker may still be telling of its end while the
// process exits after the waiter saw the matrix idle.
struct Idle {
  std::mutex mu;
  std::condition_variable cv;
};
Idle& idle = *new Idle;

int on_trigger(int event, void*) {
  if (event == 4) {
    std::lock_guard<std::mutex> g(idle.mu);
    idle.cv.notify_all();
  }
  return 0;
}

void wait_idle(MATRIX* m) {
  BlockingRegion blocking;
  std::unique_lock<std::mutex> l(idle.mu);
  idle.cv.wait(l, [m] {
    lock_task(matrix_lock);
    bool done = m->token_cnt == 0;
    unlock_task(matrix_lock, "mxop_check");
    return done;
  });
}

std::string printed(ZU_SEXP* s) {
  STREAM* st = s_open_string_write(utf8_cm);
  print_sexp(st, s, 0);
  std::string out(s_get_string(st), static_cast<size_t>(s_get_string_len(st)));
  d_s_close(st);
  return out;
}

// The bytes a value holds (a block's bytes, a vector's stored form) as
// hex; false for any other value.
bool bytes_text(ZU_SEXP* v, std::string* out) {
  if (get_type(v) != ZU_TYPE_POINTER || (v->ptr.mark != gc_mtx_block && v->ptr.mark != gc_text &&
                                         v->ptr.mark != gc_mx_stringv_data))
    return false;
  if (v->ptr.mark == gc_mtx_block) {
    const auto* r = static_cast<const MATRIX_ALLOC_BLOCK_PARAM*>(v->ptr.ptr);
    *out = to_hex(r->block, static_cast<size_t>(r->size));
    return true;
  }
  MATRIX_DH_SET dh;
  const MATRIX_DATA_TYPE* tp = get_matrix_dh_set(&dh, v->ptr.ptr);
  if (!tp) return false;
  Bytes b = stored_form(tp, v->ptr.ptr);
  *out = to_hex(b.data(), b.size());
  return true;
}

std::string result_text(ZU_SEXP* v, bool top) {
  std::string hex;
  if (bytes_text(v, &hex)) return hex;
  if (get_type(v) == ZU_TYPE_ERROR) {
    char code[16];
    std::snprintf(code, sizeof code, "%x", v->error->code);
    return std::string("error ") + code + " " + result_text(v->error->data, false);
  }
  if (get_type(v) != ZU_TYPE_LIST) return printed(v);
  // A data item at the top is its value.
  if (top && get_type(v->pair.car) == ZU_TYPE_SYMBOL && zu_wcmp_ascii(sym_name(v->pair.car), "data") == 0 &&
      bytes_text(get_el(v, 2), &hex))
    return hex;
  std::string s = "(";
  for (ZU_SEXP* p = v; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    if (p != v) s += ' ';
    s += result_text(p->pair.car, false);
  }
  return s + ")";
}

// (mxop-out form): evaluates form and writes its line; a wait is handed to
// the worker, which evaluates the form again later.
ZU_SEXP* zu_out(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* v = eval(env, get_el(form, 1));
  if (get_type(v) == ZU_TYPE_ERROR && v->error->code == ZU_ER_MATRIX_WAIT) return v;
  std::string line = result_text(v, true) + "\n";
  write_out(line.data(), line.size());
  return nullptr;
}

struct Layout {
  const char* name;
  MATRIX_DATA_TYPE* channel0;
};
const Layout kLayouts[] = {{"2d-u8", &mx_type_uint8_v}, {"2d-rgb8", &mx_type_RGB_v}, {"2d-i16", &mx_type_int16_v}};

MATRIX* fresh_matrix(MATRIX_DATA_TYPE* channel0) {
  MATRIX* m = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
  MATRIX_PARAM p{};
  p.dim = 2;
  p.channel_nos = 3;
  p.trigger = on_trigger;
  if (set_matrix_param(m, &p) != 0) return nullptr;
  for (int d = 0; d < 2; ++d)
    if (set_matrix_dim_divide(m, d, 1) || set_matrix_block_size(m, d, 8) || set_matrix_pixel_size(m, d, 1024))
      return nullptr;
  MATRIX_CHANNEL_INFO info[] = {{channel0, kMxChSend, nullptr, 0},
                                {&mx_type_block, kMxChSend, nullptr, 0},
                                {&mx_type_block, kMxChSend | kMxChFile, nullptr, 0}};
  for (int ch = 0; ch < 3; ++ch)
    if (set_matrix_channel_info(m, ch, &info[ch]) != 0) return nullptr;
  set_matrix_mode(m, kMxModeActive);
  return m;
}

ZU_SEXP* parse_text(const std::string& text, const char* name) {
  STREAM* st = s_open_string_read(text.data(), utf8_cm, static_cast<int>(text.size()), 1);
  return init_parse(st, l_string(ascii_cm, name), nullptr);
}

int script_main(int argc, char** argv) {
  if (argc < 3) return kMxopUsage;
  const Layout* layout = nullptr;
  for (const Layout& l : kLayouts)
    if (std::strcmp(l.name, argv[0]) == 0) layout = &l;
  std::vector<int64_t> dc = mxop_numbers(argv[1], ':');
  Bytes script;
  if (!layout || dc.size() != 3 || !read_file(argv[2], &script)) return kMxopUsage;
  ZuThreadScope scope("mxop_check script");
  static const QN_PRIM_DEF prims[] = {{"mxop-out", zu_out, 0, 2, 2, 0}, {}};
  bind_prims(matrix_zu_env, prims);
  MATRIX* m = fresh_matrix(layout->channel0);
  if (!m) return refuse("matrix");
  // The node is ready once its fetch script (mxFinish with the ready
  // status) has run.
  ZU_SEXP* fetch = parse_text(R"((mxFinish normal-jump-status="MS_OK"))", "fetch");
  for (int slot : {3, 4, 5}) set_matrix_cal(m, slot, fetch);
  int err = 0;
  MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc.data(), 0);
  if (!n) return refuse("node");
  unlock_node(n, nullptr);
  for (int i = 3; i < argc; ++i) {
    const char* eq = std::strchr(argv[i], '=');
    Bytes bytes;
    int ch = eq ? std::atoi(argv[i]) : -1;
    if (ch < 0 || ch > 2 || !read_file(eq + 1, &bytes)) return kMxopUsage;
    MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
    void* v = host_value(tp, bytes);
    if (!v) return refuse(kMxWhyStored);
    int r = set_channel_sexp(n, ch, tp->md2sexp(tp, v));
    tp->free_data(tp, v);
    if (r < 0) return refuse("channel");
  }
  ZU_SEXP* forms = parse_text(std::string(script.begin(), script.end()), argv[2]);
  ZU_SEXP* wrapped = nullptr;
  ZU_SEXP** tail = &wrapped;
  for (ZU_SEXP* p = forms; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    *tail = cons(List(get_symbol_ascii("mxop-out"), p->pair.car, ZU_LIST_END), nullptr);
    tail = &(*tail)->pair.cdr;
  }
  // The slot run is the access plus the node's level class.
  for (int slot : {kMxEditSlot1, kMxEditSlot1 + 1, kMxEditSlot1 + 2})
    if (set_matrix_cal(m, slot, wrapped) != 0) return refuse("script");
  matrix_trigger_access(n, kMxEditSlot1, 0);
  wait_idle(m);
  std::fflush(stdout);
  close_matrix(m);
  return 0;
}

}  // namespace

const MxopCommand kMxopBlockCommands[] = {
    {"zenc", zenc_main, false},     {"zdec", zdec_main, false},     {"imgenc", imgenc_main, false},
    {"imgdec", imgdec_main, false}, {"cmpenc", cmpenc_main, false}, {"cmpdec", cmpdec_main, false},
    {"script", script_main, true},  {nullptr, nullptr, false}};
