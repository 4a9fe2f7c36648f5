#include "zulib/args.h"

#include <cmath>
#include <cstring>

#include "base/alloc.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/eval.h"
#include "zulib/library.h"

namespace {

int sh_argc = 0;
char** sh_argv = nullptr;
int v_offset = 0;
char** private_argv = nullptr;  // set_arg's copy and its length
int private_argc = 0;

// Arg: the count of arguments from the "/" on, or the argument at an index
// counted from the "/" (negative indexes reach the program's own).
ZU_SEXP* zu_Arg(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  bool counted = list_length(form) == 1;
  int64_t n = 0;
  bool in_range = true;
  if (!counted) {
    ZU_SEXP* a = get_el(form, 1);
    switch (get_type(a)) {
      case ZU_TYPE_INTEGER:
        n = a->integer.num;
        break;
      case ZU_TYPE_FLOATING: {
        double d = std::trunc(a->floating.num);
        in_range = d >= -2147483648.0 && d <= 2147483647.0;  // NaN is out of range too
        if (in_range) n = static_cast<int64_t>(d);
        break;
      }
      default:
        return error_text_at(form, ZU_ER_TYPE, "Arg", nullptr);
    }
  }
  if (sh_argc == 0) return error_text_at(form, ZU_ER_NOT_INITIALIZED, "Arg", "shell argments initializing is required");
  if (counted) return get_integer(sh_argc - v_offset, nullptr);
  // n is compared before it is added, so no index can overflow.
  if (!in_range || n < -static_cast<int64_t>(v_offset) || n >= static_cast<int64_t>(sh_argc - v_offset))
    return error_text_at(form, ZU_ER_LENGTH, "Arg", "shell argments length over");
  return n_get_string(sh_argv[n + v_offset]);
}

// ArgOption name="x" [default]: the text after "x=" of the first script
// argument that begins so.
ZU_SEXP* zu_ArgOption(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  const L_CHAR* name = get_sf_attribute(sf, l_string(std_cm, "name"));
  if (!name) return error_text_at(form, ZU_ER_PARAM, "ArgOption", "invalid parameter(Attribute option required)");
  const char* narrow = n_string(std_cm, name);
  size_t len = std::strlen(narrow);
  for (int i = v_offset + 1; i < sh_argc; ++i) {
    const char* a = sh_argv[i];
    if (std::strncmp(a, narrow, len) == 0 && a[len] == '=') return n_get_string(a + len + 1);
  }
  if (list_length(form) == 2) return get_el(form, 1);
  return error_text_at(form, ZU_ER_NO_OBJECT, "ArgOption", "no option that name");
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kArg[] = {
    {"Arg", zu_Arg, 1, 1, 2, T},
    {"ArgOption", zu_ArgOption, 1, 1, 2, T},
    {},
};

}  // namespace

void init_sh_arg(int argc, char** argv) {
  sh_argc = argc;
  sh_argv = argv;
  v_offset = argc;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "/") == 0) {
      v_offset = i;
      break;
    }
  }
}

void set_arg(int argc, char** argv, int offset) {
  char** copy = static_cast<char**>(d_alloc(sizeof(char*) * (static_cast<size_t>(argc) + 1)));
  for (int i = 0; i < argc; ++i) copy[i] = copy_str(argv[i]);
  copy[argc] = nullptr;
  char** old = private_argv;
  int old_argc = private_argc;
  private_argv = copy;
  private_argc = argc;
  sh_argc = argc;
  sh_argv = copy;
  v_offset = offset;
  if (old) {
    for (int i = 0; i < old_argc; ++i) d_f_ree(old[i]);
    d_f_ree(old);
  }
}

void init_Arg(ZUISP_ENV* env) { bind_prims(env, kArg); }
