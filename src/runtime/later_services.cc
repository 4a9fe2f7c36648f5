#include "runtime/later_services.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "base/alloc.h"
#include "runtime/docpath.h"
#include "runtime/log.h"
#include "text/convert.h"

namespace {
std::atomic<char*> setagent_msg{nullptr};
}

void init_proxy() {}
void init_ZUoHTTP_server() {}
void init_serverinfo() {}
void init_session() {}
void init_http_agent() {}
void init_authentificaition(ZUISP_ENV*) {}

char* set_setagent_msg(const char* text) {
  char* copy = copy_str(text);
  char* old = setagent_msg.exchange(copy);
  d_f_ree(old);
  return copy;
}

const char* get_setagent_msg() { return setagent_msg.load(); }

AUTH_CONNECTION_SET* new_auth_connection_set(ZU_INTERPRETER*) { return nullptr; }
void free_auth_connection_set(AUTH_CONNECTION_SET*) {}
namespace {

bool has_access_file(const std::string& dir) {
  struct stat st;
  std::string f = dir.empty() || dir.back() != '/' ? dir + "/.zuaccess" : dir + ".zuaccess";
  return lstat(f.c_str(), &st) == 0;
}

}  // namespace

ZU_SEXP* auth_filepath_passive(ZU_SEXP* path, const char* operation) {
  (void)operation;
  ZU_SEXP* denied = get_error_ascii(nullptr, 0, ZU_ER_DENIED, "authentification (DENIED)", nullptr);
  if (get_type(path) != ZU_TYPE_STRING) return denied;
  if (L_CHAR* root = get_zudocs(l_string(std_cm, "/"))) {
    std::string r = n_string(std_cm, root);
    d_f_ree(root);
    if (has_access_file(r)) return denied;
  }
  std::string p = n_string(std_cm, str_text(path));
  if (p.empty() || p[0] != '/') {
    char* cwd = getcwd(nullptr, 0);
    if (!cwd) return denied;
    p = std::string(cwd) + "/" + p;
    free(cwd);
  }
  // Every directory from the root down to the path itself.
  for (size_t at = 0; at != std::string::npos; at = p.find('/', at + 1)) {
    if (has_access_file(at == 0 ? "/" : p.substr(0, at))) return denied;
  }
  struct stat st;
  if (stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && has_access_file(p)) return denied;
  return nullptr;
}

void wait_rs_queue() {}
void _wait_rs_queue() {}

void init_log(ZUISP_ENV* env0, ZUISP_ENV* env1) { zu_init_log(env0, env1); }
