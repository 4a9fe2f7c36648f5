// Fetching raw images: the fetch task of one server, the request over a
// session and the decoding into packed pixels.
#include <cstdlib>
#include <cstring>

#include "base/alloc.h"
#include "codec/gif.h"
#include "codec/jpeg.h"
#include "codec/limits.h"
#include "netsvc/raw_image_impl.h"
#include "netsvc/trace_impl.h"
#include "runtime/interp.h"
#include "runtime/later_services.h"
#include "stream/stream.h"
#include "stream/url.h"
#include "text/convert.h"
#include "zu/errcodes.h"
#include "zu/gc.h"
#include "zu/printer.h"

namespace {

// Most bytes an image's reply may carry.
constexpr size_t kMaxImageBytes = size_t{256} << 20;

// Whether the text after path's last "." is ext (7-bit).
bool extension_is(const L_CHAR* path, const char* ext) {
  const L_CHAR* dot = nullptr;
  for (const L_CHAR* p = path; *p; ++p) {
    if (*p == '.') dot = p;
  }
  return dot && zu_wcmp_ascii(dot + 1, ext) == 0;
}

// A word of three 10-bit fields: red, green, blue, each times 4.
uint32_t pack(uint8_t r, uint8_t g, uint8_t b) {
  return uint32_t{r} << 2 | uint32_t{g} << 12 | uint32_t{b} << 22;
}

// The packed pixels of a decoded image (4 bytes per pixel, red first), or
// null for an image without pixels or over the pixel ceiling.
uint32_t* packed(const uint8_t* rgba, int32_t w, int32_t h) {
  if (!rgba || w <= 0 || h <= 0 || uint64_t(w) * uint64_t(h) > kCodecMaxPixels) return nullptr;
  size_t n = size_t(w) * size_t(h);
  auto* px = static_cast<uint32_t*>(d_alloc(n * sizeof(uint32_t)));
  for (size_t i = 0; i < n; ++i, rgba += 4) px[i] = pack(rgba[0], rgba[1], rgba[2]);
  return px;
}

void report(const char* label, const L_CHAR* path, ZU_SEXP* err) {
  if (path) ss_printf("%s%ls ", label, path);
  else ss_printf("%s", label);
  print_sexp(s_stderr, err, 0);
  ss_printf("\n");
}

// Fetches and decodes one image, tells its waiting callers, and keeps the
// cache within its size.
void fetch_one(RAW_IMAGE* ri, int sid) {
  std::vector<uint8_t> bytes;
  int w = 0;
  int h = 0;
  uint32_t* px = nullptr;
  {
    ZuThreadScope scope("raw image fetch");
    if (get_from_network(ri, sid, &bytes) == 0) {
      ZU_SEXP* err = nullptr;
      px = decompress(&w, &h, &err, bytes.data(), static_cast<int>(bytes.size()), ri->path);
      if (!px) {
        ss_printf("decompress error\n");
        report("", nullptr, err);
      }
    }
  }
  RI_QUEUE* waiting = nullptr;
  if (px) {
    if (net_trace_on()) ss_printf("DATA OK %i %i\n", w, h);
    auto* copy = static_cast<uint8_t*>(d_alloc(bytes.empty() ? 1 : bytes.size()));
    if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
    lock_task(ri_lock);
    ri->ndata = copy;
    ri->ndata_len = static_cast<int>(bytes.size());
    ri->data = px;
    ri->width = w;
    ri->height = h;
    _ri_finish(ri, RI_READY, &waiting);
    // Room is made before anyone can see the end: a caller told of it
    // finds the cache within its size (ri is held until its callers have
    // been told, so it stays).
    _ri_evict();
    unlock_task(ri_lock, "fetch_task");
  } else {
    lock_task(ri_lock);
    _ri_finish(ri, RI_FAILED, &waiting);
    unlock_task(ri_lock, "fetch_task");
  }
  ri_tell_waiting(ri, waiting);
  // Again, once ri is no longer held: it may be the one to go.
  if (px) {
    lock_task(ri_lock);
    _ri_evict();
    unlock_task(ri_lock, "fetch_task");
  }
}

}  // namespace

void fetch_task(TKEY data) {
  auto* q = static_cast<SYS_QUEUE*>(data);
  L_CHAR* key = touch_qkey(q);
  if (!key) return;
  open_self_interpreter();
  int sid = open_session(1);
  while (auto* ri = reinterpret_cast<RAW_IMAGE*>(delete_queue(q, sq_key_cond, key, 0))) fetch_one(ri, sid);
  release_qkey(q, key);
  d_f_ree(key);
  close_session(sid);
  close_self_interpreter();
}

int get_from_network(RAW_IMAGE* ri, int sid, std::vector<uint8_t>* bytes) {
  if (net_trace_on()) ss_printf("request\n");
  URL u{};
  get_url2(&u, ri->path);
  L_CHAR* file = get_url_filepath(&u);
  ZU_SEXP* cmd = list(List(get_symbol_ascii("Get"), get_string(file), ZU_LIST_END));
  d_f_ree(file);
  ZU_SEXP* r = remote_session(qnlisp_top_env0, sid, &u, l_string(std_cm, "standard"), l_string(std_cm, "user"),
                              l_string(std_cm, "Get"), cmd, nullptr, 0, 1, nullptr);
  free_url(&u);
  int t = get_type(r);
  if (t == ZU_TYPE_ERROR) {
    report("raw Image error ", ri->path, r);
    return -1;
  }
  if (t != ZU_TYPE_LIST) {
    ss_printf("raw image type missmatch\n");
    return -1;
  }
  for (ZU_SEXP* p = r; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* m = p->pair.car;
    if (get_type(m) != ZU_TYPE_RAW) continue;
    if (bytes->size() + m->raw.size > kMaxImageBytes) {
      ss_printf("raw image too large\n");
      return -1;
    }
    bytes->insert(bytes->end(), m->raw.data, m->raw.data + m->raw.size);
  }
  return 0;
}

uint32_t* decompress(int* w, int* h, ZU_SEXP** err, const uint8_t* bytes, int len, const L_CHAR* path) {
  int32_t iw = 0;
  int32_t ih = 0;
  uint32_t* px = nullptr;
  // Each decoder's buffer goes back to the allocator it came from.
  if (extension_is(path, "gif")) {
    GIF_ENV ge;
    uint8_t* rgba = gif_uncompress(&iw, &ih, &ge, bytes, len);
    px = packed(rgba, iw, ih);
    d_f_ree(rgba);
  } else if (extension_is(path, "jpg") || extension_is(path, "jpeg")) {
    uint8_t* rgba = jpeg_uncompress(&iw, &ih, bytes, len);
    px = packed(rgba, iw, ih);
    std::free(rgba);
  }
  if (!px) {
    *w = *h = 0;
    *err = get_error_ascii(nullptr, 0, ZU_ER_UNDEFINED, "raw_image",
                           List(get_string_ascii("undefined the image data"), get_string(path), ZU_LIST_END));
    return nullptr;
  }
  *w = iw;
  *h = ih;
  return px;
}
