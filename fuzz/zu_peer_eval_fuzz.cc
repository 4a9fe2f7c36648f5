// Fuzz target: what a peer may send. Arbitrary bytes are read as ZU source
// (zu_fuzz_input.h) and each form is evaluated as the forms of a peer on an
// accepted link are: for a peer (so the table of what a peer may call
// applies), its thread in a share of a 64 MiB heap budget (so that refusals
// for memory unwind through the built-ins), in an environment of the
// agent's own below a root that binds the built-ins that compute (the core
// primitives, control, lists, strings, arithmetic, units, templates,
// regular expressions, environments and URL texts) and those a peer may
// call only on what is its own, so that their checks are fuzzed: links
// (CloseInterpreter, Remote), sessions (OpenSession, CloseSession,
// SessionEnvironment, RemoteSession, whose requests go nowhere here),
// threads (KillThread) and files (Mkdir, Mv, Rm, Touch, UTime, PrintStd),
// with the working folder and the home folder a scratch folder of the
// run's own. None waits, and none reaches the network or the process.
// libFuzzer tries inputs up to kMaxLen bytes, whatever its seeds' sizes,
// and from its start (kLenControl).
// An input stops at its deadline, a second after it began: no form starts
// after it, and the one running is cancelled (the break check). Nothing
// may crash, stop the process, leak, or leave behind what a refusal cut
// short.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <vector>

#include "netsvc/netsvc.h"
#include "runtime/net_ops.h"
#include "runtime/zu_init.h"
#include "zu/core_init.h"
#include "zu/env.h"
#include "zu/errcodes.h"
#include "zu/eval.h"
#include "zu/gc.h"
#include "zu/peer.h"
#include "zu/unit.h"
#include "zulib/library.h"
#include "zu_fuzz_input.h"

namespace {

constexpr uint64_t kBudget = uint64_t{64} << 20;
constexpr auto kRunFor = std::chrono::seconds(1);
constexpr const char* kMaxLen = "-max_len=65536";
constexpr const char* kLenControl = "-len_control=0";

// The library's rows bound (their companions come with them).
const char* const kComputing[] = {
    // control and definitions
    "While", "For", "If", "Sequence", "Switch", "Let", "ErrHandler", "IfDef", "Eval", "ListEval", "Lambda", "Define",
    "DefineDefault", "DeleteDefine", "DeleteDefaultDefine", "MoveDefine", "DefineEval", "FormatEval",
    // lists and elements
    "ListLength", "List", "GetElement", "CutOut", "Append", "MakeElement", "Sort", "Reverse", "NaturalJoin",
    "Projection", "Categorize", "V2H", "EE", "GetAttribute", "SetAttribute", "GetTag", "GetSymbolCore", "GetType",
    "Cast", "GetSize",
    // strings, paths, URLs and regular expressions
    "CutString", "StringLength", "GetChar", "SetChar", "ReplaceString", "DivideString", "Word2String",
    "GetProperCode", "Parse", "ComposePath", "Trunc", "Leaf", "Directory", "Prefix", "GetURL", "ComposeURL",
    "URLStringCode", "DecodeURLString", "RegCmp", "RegSwitch",
    // units
    "ConvertUnit", "SetUnit", "GetUnit", "UnitSystem", "GetPrefixMode",
    // environments
    "CurrentEnvironment", "NewEnvironment", "GetParentEnvironment", "SetParentEnvironment", "NewEnvPair", "EA",
    "SetEA", "GetListbaseEnv", "SetListbaseEnv",
    // what a peer may act on only when it is its own: links, sessions,
    // threads, files
    "CloseInterpreter", "Remote", "OpenSession", "CloseSession", "SessionEnvironment", "RemoteSession",
    "KillThread", "Mkdir", "Mv", "Rm", "Touch", "UTime", "PrintStd"};

bool computing(const char* name) {
  for (const char* c : kComputing)
    if (std::strcmp(c, name) == 0) return true;
  return false;
}

// The agent's root for the peer: the core primitives, the default unit
// system and the computing rows.
ZUISP_ENV* computing_root() {
  ZUISP_ENV* root = new_env(nullptr);
  (void)set_uenv(root, get_default_uenv());
  bind_agent(root, "__args_env", nullptr);
  init_qn_control(root);
  init_qn_list(root);
  init_qn_arith(root);
  for (const ZU_FAMILY* f = zulib_names; f->name; ++f) {
    ZU_BINDER bind = f->bind == zulib_bound_above ? zulib_binder_above(*f) : f->bind;
    if (computing(f->name) && bind && bind != zulib_bound_elsewhere) bind(root);
  }
  return root;
}

std::chrono::steady_clock::time_point deadline;

bool late() { return std::chrono::steady_clock::now() >= deadline; }

ZU_SEXP* cancel_when_late(ZU_SEXP* form) {
  if (!late()) return nullptr;
  return get_error_ascii(form->h.file, form->h.line, ZU_ER_CANCEL, "fuzz", nullptr);
}

// A session's request goes nowhere: its checks have run by then.
ZU_SEXP* no_request(ZUISP_ENV*, int, URL*, const L_CHAR*, const L_CHAR*, const L_CHAR*, ZU_SEXP*, ZU_FILE* file,
                    int line, int, REMOTE_SESSION_OPT*) {
  return get_error_ascii(file, line, ZU_ER_OPEN, "fuzz", list(get_string_ascii("no network here")));
}

// The run's working and home folder, so that a file a check let through
// is one of the run's own; removed when the run ends.
char scratch[] = "/tmp/qnmx_peer_eval_fuzz_XXXXXX";

void enter_scratch_folder() {
  if (!mkdtemp(scratch) || chdir(scratch) != 0 || setenv("HOME", scratch, 1) != 0) __builtin_trap();
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
  });
}

void evaluate(const uint8_t* data, size_t size) {
  // An accepted link's environment: the agent's, below the listener's.
  ZUISP_ENV* env = new_env(computing_root());
  EvalOriginScope peer(peer_origin(0x7F000002, 1));
  GC_SHARE share;
  GC_SHARE* outer = gc_attach_share(&share);
  deadline = std::chrono::steady_clock::now() + kRunFor;
  ZU_SEXP* l = open_fuzz_input(data, size);
  int n = 0;
  for (ZU_SEXP* p = l; get_type(p) == ZU_TYPE_LIST && n < 1000 && !late(); p = p->pair.cdr, ++n) {
    GcFrame form("peer form");
    eval(env, p->pair.car);
  }
  gc_attach_share(outer);
}

}  // namespace

// libFuzzer tries no input longer than the largest seed unless told, and
// lets the length grow only slowly towards the most it may try (a minute's
// run stays near the seeds' sizes): both are set here, unless given.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static std::vector<char*> args;
  args.assign(*argv, *argv + *argc);
  for (const char* flag : {kMaxLen, kLenControl}) {
    const size_t name = std::strchr(flag, '=') - flag + 1;
    bool given = false;
    for (int i = 1; i < *argc; ++i) given = given || std::strncmp((*argv)[i], flag, name) == 0;
    if (!given) args.push_back(const_cast<char*>(flag));
  }
  *argc = static_cast<int>(args.size());
  args.push_back(nullptr);
  *argv = args.data();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    enter_scratch_folder();
    init_netsvc();  // hands in the URL texts' registrations and the sessions
    ZU_NET_OPS offline{};
    offline.remote_session = no_request;
    set_net_ops(&offline);
    init_zu();  // the interpreters' and sessions' tables the own-only built-ins look in
    gc_set_heap_budget(kBudget);
    set_break_check_hook(cancel_when_late);
    return true;
  }();
  (void)ready;
  if (size == 0) return 0;
  {
    ZuThreadScope scope("peer eval fuzz");
    evaluate(data, size);
  }
  // What the input made is freed before the next one, as in the reader
  // harnesses: libFuzzer's memory limit and leak check count it meanwhile.
  gc_collect_now();
  return 0;
}
