// The working directory and the file-editing built-ins: GetCwd, Chdir,
// Mkdir, Mv, Rm, Touch and UTime. Every operation is a direct system call on
// the named path; none runs a program. The editing ones (bound where peers
// can reach them) first ask whether a peer's link may touch the path.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/dir.h"
#include "base/paths.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zulib/files.h"
#include "zulib/files_impl.h"
#include "zulib/library.h"

namespace {

// The path in the platform's delimiter form.
std::string system_path(const std::string& path) {
  char* d = change_delim_str(path.c_str());
  std::string r = d ? d : "";
  d_f_ree(d);
  return r;
}

ZU_SEXP* zu_GetCwd(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  // The whole path however long it is.
  char* cwd = getcwd(nullptr, 0);
  if (!cwd) return error_text_at(form, ZU_ER_OPEN, "GetCwd", std::strerror(errno));
  std::string p = system_path(cwd);
  free(cwd);
  return narrow_string(p);
}

ZU_SEXP* zu_Chdir(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* path = get_el(form, 1);
  if (!is_string(path)) return error_text_at(form, ZU_ER_TYPE, "Chdir", nullptr);
  std::string p = narrow_text(path);
  // Scripts test the working directory themselves; the reason goes to the
  // error stream.
  if (chdir(p.c_str()) != 0) ss_printf("Chdir \"%s\": %s\n", p.c_str(), std::strerror(errno));
  return nullptr;
}

ZU_SEXP* zu_Mkdir(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZU_SEXP* path = get_el(form, 1);
  if (!is_string(path)) return error_list_at(form, ZU_ER_TYPE, "Mkdir", "directory name is type missmatch");
  // The mode is decimal, read as C's atoi reads it (0 for text without
  // digits). Only the permission bits are set: a number outside them
  // would give set-id or sticky bits, or wrap, so it is refused.
  int64_t mode = 493;
  if (const L_CHAR* text = head_option(sf, "mode")) mode = option_int64(text);
  if (mode < 0 || mode > 0777) return error_text_at(form, ZU_ER_PARAM, "Mkdir", "invalid attribute parameter (mode)");
  if (ZU_SEXP* no = peer_edit_refusal(form, path, "Mkdir", false)) return no;
  return get_integer(u_mkdir(narrow_text(path).c_str(), static_cast<int>(mode)), nullptr);
}

ZU_SEXP* zu_Mv(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* from = get_el(form, 1);
  ZU_SEXP* to = get_el(form, 2);
  if (!is_string(from) || !is_string(to))
    return error_at(form, ZU_ER_TYPE, "Mv", data_list("filename", "is type missmatch"));
  if (ZU_SEXP* no = peer_edit_refusal(form, from, "Mv", true)) return no;
  if (ZU_SEXP* no = peer_edit_refusal(form, to, "Mv", false)) return no;
  std::string f = system_path(narrow_text(from));
  std::string t = system_path(narrow_text(to));
  std::string target = t;
  struct stat st;
  if (stat(t.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::string name = f;
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    size_t slash = name.rfind('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    target = t + (t.empty() || t.back() != '/' ? "/" : "") + name;
    if (target.size() > 511)
      return error_at(form, ZU_ER_FORMAT, "Mv", data_list(narrow_string(f), narrow_string(t), "too long filename"));
  }
  // rename replaces an existing target in one step; when it fails (another
  // file system, no right) both files stay as they were.
  if (rename(f.c_str(), target.c_str()) != 0) {
    const char* name = strerrorname_np(errno);
    return error_at(form, ZU_ER_OPEN, "rename",
                    data_list(narrow_string(f), narrow_string(target), name ? name : "EIO"));
  }
  return nullptr;
}

ZU_SEXP* zu_Rm(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZU_SEXP* path = get_el(form, 1);
  if (!is_string(path)) return error_at(form, ZU_ER_TYPE, "Rm", data_list("filename", "is type missmatch"));
  int flags = 0;
  bool any = false;
  for (ZU_SYM_FIELD* f = sf; f; f = f->next) {
    if (!f->name || zu_wcmp_ascii(f->name, "flag") != 0) continue;
    any = true;
    if (option_is(f->value, "file")) flags |= kRmFile;
    else if (option_is(f->value, "rec")) flags |= kRmTree;
    else if (option_is(f->value, "dir")) flags |= kRmEmptyDir;
  }
  if (!any) flags = kRmFile;
  std::string p = system_path(narrow_text(path));
  if (!is_safe_as_filename(p.c_str())) return error_at(form, ZU_ER_FORMAT, "Rm", data_list("filename", "is invalid"));
  if (ZU_SEXP* no = peer_edit_refusal(form, path, "Rm", true)) return no;
  u_rm(p.c_str(), flags);
  return nullptr;
}

ZU_SEXP* zu_Touch(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* path = get_el(form, 1);
  if (!is_string(path)) return error_list_at(form, ZU_ER_TYPE, "Touch", "filename is type missmatch");
  if (ZU_SEXP* no = peer_edit_refusal(form, path, "Touch", false)) return no;
  std::string p = system_path(narrow_text(path));
  if (utimensat(AT_FDCWD, p.c_str(), nullptr, 0) == 0) return get_integer(0, nullptr);
  // A missing file is made empty; a link in the last place is never
  // followed to make a file elsewhere.
  int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return error_at(form, ZU_ER_OPEN, "Touch", data_list(narrow_string(p), " can not create file "));
  close(fd);
  return get_integer(-1, nullptr);
}

ZU_SEXP* zu_UTime(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* path = get_el(form, 1);
  if (!is_string(path)) return error_at(form, ZU_ER_TYPE, "UTime", data_list("filename", "is type missmatch"));
  if (ZU_SEXP* no = peer_edit_refusal(form, path, "UTime", false)) return no;
  std::string p = system_path(narrow_text(path));
  return get_integer(utimensat(AT_FDCWD, p.c_str(), nullptr, 0) == 0 ? 0 : -1, nullptr);
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kGetCwd[] = {{"GetCwd", zu_GetCwd, 0, 1, 1, T}, {}};
const QN_PRIM_DEF kChdir[] = {{"Chdir", zu_Chdir, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kMkdir[] = {{"Mkdir", zu_Mkdir, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kMv[] = {{"Mv", zu_Mv, 1, 3, 3, T}, {}};
const QN_PRIM_DEF kRm[] = {{"Rm", zu_Rm, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kTouch[] = {{"Touch", zu_Touch, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kUTime[] = {{"UTime", zu_UTime, 1, 2, 2, T}, {}};

}  // namespace

void init_GetCwd(ZUISP_ENV* env) { bind_prims(env, kGetCwd); }
void init_Chdir(ZUISP_ENV* env) { bind_prims(env, kChdir); }
void init_Mkdir(ZUISP_ENV* env) { bind_prims(env, kMkdir); }
void init_Mv(ZUISP_ENV* env) { bind_prims(env, kMv); }
void init_Rm(ZUISP_ENV* env) { bind_prims(env, kRm); }
void init_Touch(ZUISP_ENV* env) { bind_prims(env, kTouch); }
void init_UTime(ZUISP_ENV* env) { bind_prims(env, kUTime); }
