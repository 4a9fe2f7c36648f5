// The method "localhost-root": the peer proves that it runs on this host
// with the rights of this agent's user. The server writes a random key into
// a new file of the temporary directory that only its user may read and
// names the file (a decimal number) in its question; the peer answers with
// the key it read there. Each key file serves one check: a match, a
// mismatch or the end of its check removes it.
//
// Keys and file names come from getrandom(2). The server creates a file
// exclusively and never through a link; the client answers only over a link
// that stays on this host, and takes a key only from a regular file of four
// bytes that its effective user owns with mode 0600, opened without
// following a link, and never for a question that a peer of this agent
// brought about. The peer's file name is read as a number, never as a
// path.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/alloc.h"
#include "base/paths.h"
#include "netsvc/auth_impl.h"
#include "zu/builtin_kit.h"

namespace {

constexpr int kCreateTries = 100;

struct AUTH_LOCALHOST_ROOT_KEYFILE {
  AUTH_LOCALHOST_ROOT_KEYFILE* next;
  uint32_t filename;
  uint32_t key;
  int auth_gc_no;  // the check that made it
};

// At the server: the key files not yet used, newest first. At the client:
// the file named by the last service list.
struct AUTH_SERVICE_LOCALHOST_ROOT {
  AUTH_SERVICE_HEADER h;
  AUTH_LOCALHOST_ROOT_KEYFILE* keyfile;
};

struct AUTH_RESULT_LOCALHOST_ROOT {
  AUTH_RESULT_HEADER h;
  uint32_t filename;
  uint32_t key;
};

AUTH_SERVICE_LOCALHOST_ROOT* service_of(AUTH_SERVICE_HEADER* s) {
  return reinterpret_cast<AUTH_SERVICE_LOCALHOST_ROOT*>(s);
}
AUTH_RESULT_LOCALHOST_ROOT* result_of(AUTH_RESULT_HEADER* r) { return reinterpret_cast<AUTH_RESULT_LOCALHOST_ROOT*>(r); }

std::string key_path(uint32_t filename) { return std::string(get_tmp_dir()) + "/" + std::to_string(filename); }

bool random_u32(uint32_t* out) {
  for (;;) {
    ssize_t n = getrandom(out, sizeof *out, 0);
    if (n == static_cast<ssize_t>(sizeof *out)) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

uint32_t number_attr(ZU_SEXP* form, const char* name) {
  uint32_t v = 0;
  return auth_read_u32(auth_attr(form, name), &v) ? v : 0;
}

bool write_all(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// A new key file holding key: its name, or 0 when none could be made.
uint32_t make_key_file(uint32_t key) {
  for (int i = 0; i < kCreateTries; ++i) {
    uint32_t name = 0;
    if (!random_u32(&name)) return 0;
    if (name == 0) continue;
    std::string path = key_path(name);
    int fd = open(path.c_str(), O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return 0;
    }
    // The mode is exactly 0600 whatever the umask, as the client requires.
    bool ok = fchmod(fd, 0600) == 0 && write_all(fd, &key, sizeof key);
    ok = close(fd) == 0 && ok;
    if (ok) return name;
    unlink(path.c_str());
    return 0;
  }
  return 0;
}

// The key of the key file `filename` as the client may take it, or false.
bool read_key_file(uint32_t filename, uint32_t* key) {
  std::string path = key_path(filename);
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 4 && st.st_uid == geteuid() &&
            (st.st_mode & 07777) == 0600;
  if (ok) ok = pread(fd, key, sizeof *key, 0) == static_cast<ssize_t>(sizeof *key);
  close(fd);
  return ok;
}

void free_keyfiles(AUTH_LOCALHOST_ROOT_KEYFILE* k) {
  while (k) {
    AUTH_LOCALHOST_ROOT_KEYFILE* next = k->next;
    d_f_ree(k);
    k = next;
  }
}

AUTH_SERVICE_LOCALHOST_ROOT* new_service(const AUTH_SERVICE_HEADER* tmpl) {
  auto* s = static_cast<AUTH_SERVICE_LOCALHOST_ROOT*>(d_calloc(sizeof(AUTH_SERVICE_LOCALHOST_ROOT), 1));
  auth_header_copy(&s->h, tmpl);
  return s;
}

void take_numbers(AUTH_RESULT_LOCALHOST_ROOT* r, ZU_SEXP* form) {
  r->filename = number_attr(form, "filename");
  r->key = number_attr(form, "key");
}

}  // namespace

AUTH_SERVICE_HEADER* lr_new_auth_service(const AUTH_SERVICE_HEADER* tmpl) { return &new_service(tmpl)->h; }

AUTH_SERVICE_HEADER* lr_parse_info(const AUTH_SERVICE_HEADER* tmpl, ZU_SEXP*, ZU_SYM_FIELD*) {
  return &new_service(tmpl)->h;
}

void lr_free_auth_service(AUTH_SERVICE_HEADER* h) {
  AUTH_SERVICE_LOCALHOST_ROOT* s = service_of(h);
  auth_header_free(h);
  free_keyfiles(s->keyfile);
  d_f_ree(s);
}

void lr_server_send_sexp(AUTH_SERVICE_HEADER* h, ZU_SEXP* head) {
  if (AUTH_LOCALHOST_ROOT_KEYFILE* k = service_of(h)->keyfile) auth_set_attr_u32(head, "filename", k->filename);
}

void lr_client_recv_sexp(AUTH_SERVICE_HEADER* h, ZU_SEXP* form) {
  AUTH_SERVICE_LOCALHOST_ROOT* s = service_of(h);
  uint32_t filename = 0;
  // Only the file of the question being answered counts.
  free_keyfiles(s->keyfile);
  s->keyfile = nullptr;
  if (!auth_read_u32(auth_attr(form, "filename"), &filename)) return;
  auto* k = static_cast<AUTH_LOCALHOST_ROOT_KEYFILE*>(d_calloc(sizeof(AUTH_LOCALHOST_ROOT_KEYFILE), 1));
  k->filename = filename;
  k->key = number_attr(form, "key");
  s->keyfile = k;
}

AUTH_RESULT_HEADER* lr_authentification(AUTH_CONNECTION_SET* c, AUTH_SERVICE_HEADER* h, int phase) {
  AUTH_SERVICE_LOCALHOST_ROOT* s = service_of(h);
  if (phase == 0) {
    uint32_t key = 0, name = 0;
    if (random_u32(&key)) name = make_key_file(key);
    if (!name) {
      // No key file can be made: the path is refused at once.
      AUTH_RESULT_HEADER* r = lr_new_auth_result(h, nullptr, 0);
      r->status = ARS_DENY;
      return r;
    }
    auto* k = static_cast<AUTH_LOCALHOST_ROOT_KEYFILE*>(d_calloc(sizeof(AUTH_LOCALHOST_ROOT_KEYFILE), 1));
    *k = {s->keyfile, name, key, c->check_no};
    s->keyfile = k;
    return nullptr;
  }
  AUTH_RESULT_HEADER* r = c->server_result;
  while (r && r->service != h) r = r->next;
  if (!r || r->status != ARS_NONE) return nullptr;
  r->status = ARS_DENY;
  AUTH_RESULT_LOCALHOST_ROOT* got = result_of(r);
  // Only a file of this peer's own check: another peer's key file is not
  // this one's to use up.
  for (AUTH_LOCALHOST_ROOT_KEYFILE** p = &s->keyfile; *p; p = &(*p)->next) {
    AUTH_LOCALHOST_ROOT_KEYFILE* k = *p;
    if (k->filename != got->filename || k->auth_gc_no != c->check_no) continue;
    *p = k->next;
    unlink(key_path(k->filename).c_str());
    if (k->key == got->key) r->status = ARS_ACCEPT;
    d_f_ree(k);
    break;
  }
  return nullptr;
}

void lr_gc_service(AUTH_CONNECTION_SET*, AUTH_SERVICE_HEADER* h, int check_no) {
  for (AUTH_LOCALHOST_ROOT_KEYFILE** p = &service_of(h)->keyfile; *p;) {
    AUTH_LOCALHOST_ROOT_KEYFILE* k = *p;
    if (k->auth_gc_no != check_no) {
      p = &k->next;
      continue;
    }
    *p = k->next;
    unlink(key_path(k->filename).c_str());
    d_f_ree(k);
  }
}

AUTH_RESULT_HEADER* lr_new_auth_result(AUTH_SERVICE_HEADER* h, const AUTH_RESULT_HEADER* tmpl, int copy) {
  auto* r = static_cast<AUTH_RESULT_LOCALHOST_ROOT*>(d_calloc(sizeof(AUTH_RESULT_LOCALHOST_ROOT), 1));
  if (tmpl) {
    auto* from = reinterpret_cast<const AUTH_RESULT_LOCALHOST_ROOT*>(tmpl);
    r->filename = from->filename;
    r->key = from->key;
  }
  r->h.service = copy ? lr_new_auth_service(h) : h;
  r->h.status = ARS_NONE;
  return &r->h;
}

void lr_free_auth_result(AUTH_RESULT_HEADER* h, int free_service) {
  if (free_service) lr_free_auth_service(h->service);
  d_f_ree(result_of(h));
}

ZU_SEXP* lr_send_result_info(AUTH_RESULT_HEADER* h) {
  AUTH_RESULT_LOCALHOST_ROOT* r = result_of(h);
  ZU_SEXP* entry = auth_result_entry(h);
  auth_set_attr_u32(entry->pair.car, "key", r->key);
  auth_set_attr_u32(entry->pair.car, "filename", r->filename);
  return entry;
}

AUTH_RESULT_HEADER* lr_recv_result_info(AUTH_SET_SERVER* set, ZU_SEXP* form) {
  bool owned = false;
  AUTH_SERVICE_HEADER* s = auth_entry_service(set, at_tbl(AUTH_TYPE_LOCALHOST_ROOT), form, &owned);
  if (!s) return nullptr;
  AUTH_RESULT_HEADER* r = lr_new_auth_result(s, nullptr, 0);
  take_numbers(result_of(r), form);
  return r;
}

void lr_set_authentification_result(AUTH_RESULT_HEADER* r, ZU_SEXP* form) { take_numbers(result_of(r), form); }

void lr_client_transaction(AUTH_SERVICE_HEADER* h, AUTH_RESULT_HEADER* hr) {
  AUTH_LOCALHOST_ROOT_KEYFILE* k = service_of(h)->keyfile;
  AUTH_RESULT_LOCALHOST_ROOT* r = result_of(hr);
  uint32_t key = 0;
  // A server elsewhere could relay a question of a local one, and a peer of
  // this agent could put one to it through a link it made this agent open:
  // only a server on this host, asking on behalf of this agent's own
  // scripts, gets a key.
  const AUTH_CLIENT_LINK* link = auth_client_link;
  if (!k || !link || !link->peer_local || link->for_peer || !read_key_file(k->filename, &key)) {
    hr->status = ARS_DENY;
    return;
  }
  r->filename = k->filename;
  r->key = key;
  if (hr->status == ARS_REQUIRED) hr->status = ARS_SEND_PERMIT;
}

ZU_SEXP* lr_get_result_members() { return data_list("filename", "key"); }
