#include "zu/peer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/leaf_mutex.h"

namespace {

// The innermost origin of the calling task (its EvalOriginScope), or null.
constinit thread_local const EVAL_ORIGIN* task_origin = nullptr;
// Who wrote the lambda whose body the thread runs: -1 none, 0 the agent,
// 1 a peer.
constinit thread_local int8_t tl_writer = -1;

// The links noted open (a number is not given again before the 32-bit
// counter wraps, so one that left does not come back meanwhile); guarded by links_mu, a leaf. Never destroyed: tasks
// still set up and close interpreters while the exit handlers run.
LeafMutex links_mu;
std::unordered_set<uint32_t>& open_links = *new std::unordered_set<uint32_t>;

constexpr PEER_RULE kAny = PEER_RULE::kPeerAny;
constexpr PEER_RULE kNever = PEER_RULE::kPeerNever;
constexpr PEER_RULE kOwn = PEER_RULE::kPeerOwn;

// The names bound with no row (guarded by rowless_mu, a leaf; written only
// while built-ins are bound).
LeafMutex rowless_mu;
std::vector<std::string>& rowless = *new std::vector<std::string>;

}  // namespace

// A row for every built-in the program binds, sorted by name (checked
// below as it compiles) for the binary search of peer_rule_of: kNever for
// those that act on the process or the machine, kOwn for those that check
// for themselves that a peer acts only on what is its own, kAny for those
// that only compute or act on the peer's own link. A built-in bound under
// a name with no row is refused to peers, and a test checks that none is.
// The README's table of what a peer may call mirrors this one.
constexpr PEER_RULE_ROW peer_rule_table[] = {
    {"!=", kAny}, {"%", kAny}, {"*", kAny}, {"+", kAny}, {"-", kAny}, {"/", kAny}, {"<", kAny}, {"<=", kAny},
    {"==", kAny}, {">", kAny}, {">=", kAny}, {"?xml", kAny}, {"?zu", kAny}, {"Allow", kAny}, {"Append", kAny},
    {"Arg", kAny}, {"ArgOption", kAny}, {"Break", kAny}, {"Cast", kAny}, {"Categorize", kAny},
    {"Chdir", kNever},
    {"CloseInterpreter", kOwn},
    {"CloseSession", kOwn},
    {"ComposePath", kAny}, {"ComposeURL", kAny}, {"ConnectionTimeout", kAny}, {"Continue", kAny},
    {"ConvertUnit", kAny}, {"CurrentEnvironment", kAny}, {"CutOut", kAny}, {"CutString", kAny},
    {"DecodeURLString", kAny}, {"Define", kAny}, {"DefineDefault", kAny}, {"DefineEval", kAny}, {"DelayAppend", kAny},
    {"DeleteDefaultDefine", kAny}, {"DeleteDefine", kAny}, {"Deny", kAny}, {"Directory", kAny},
    {"DivideString", kAny}, {"EA", kAny}, {"EE", kAny}, {"Environment", kAny},
    {"ErrHandler", kOwn},
    {"Error", kAny}, {"ErrorDescripter", kAny}, {"ErrorFileName", kAny}, {"Eval", kAny}, {"Exist", kAny},
    {"Exit", kNever},
    {"Export", kNever},
    {"FetchLog", kNever},
    {"FindFile", kNever},
    {"For", kAny}, {"FormatEval", kAny}, {"FormatIndent", kAny}, {"FormatMode", kAny}, {"Get", kAny},
    {"GetAttribute", kAny}, {"GetCPUStatus", kAny}, {"GetChar", kAny}, {"GetCwd", kAny}, {"GetElement", kAny},
    {"GetIid", kAny}, {"GetListbaseEnv", kAny}, {"GetLocalHostIP", kAny}, {"GetLocalHostName", kAny},
    {"GetLog", kAny}, {"GetMainInterpreter", kAny}, {"GetNativeProxy", kAny}, {"GetParentEnvironment", kAny},
    {"GetPrefixMode", kAny}, {"GetProperCode", kAny}, {"GetProxy", kAny}, {"GetSize", kAny}, {"GetSymbolCore", kAny},
    {"GetTag", kAny}, {"GetType", kAny}, {"GetURL", kAny}, {"GetUnit", kAny},
    {"GetVariable", kNever},
    {"GetVersion", kAny}, {"GetZUIinfo", kAny}, {"GetZUTime", kAny}, {"GetZUpathpair", kAny}, {"HostName", kAny},
    {"IP", kAny}, {"If", kAny}, {"IfDef", kAny}, {"IgnoreDelay", kAny}, {"InputDescripter", kAny},
    {"InputFileName", kAny},
    {"KillThread", kOwn},
    {"Lambda", kAny},
    {"Launch", kNever},
    {"LaunchWWW", kNever},
    {"Leaf", kAny}, {"Let", kAny}, {"List", kAny}, {"ListEval", kAny}, {"ListLength", kAny},
    {"Load", kNever},
    {"Local", kAny}, {"LocalEval", kAny}, {"MakeElement", kAny}, {"MaxConnection", kAny}, {"MemoryStatistics", kAny},
    {"Mkdir", kOwn},
    {"MoveDefine", kAny},
    {"Mv", kOwn},
    {"NaturalJoin", kAny}, {"NewEnvPair", kAny}, {"NewEnvironment", kAny}, {"Next", kAny}, {"NotExist", kAny},
    {"OpenInterpreter", kOwn},
    {"OpenSession", kAny}, {"OutputDescripter", kAny}, {"OutputFileName", kAny}, {"Parse", kAny},
    {"Permission", kAny}, {"Port", kAny}, {"Prefix", kAny}, {"Print", kAny}, {"PrintChain", kAny},
    {"PrintStd", kOwn},
    {"Projection", kAny}, {"RegCmp", kAny}, {"RegSwitch", kAny},
    {"Remote", kOwn},
    {"RemoteSession", kOwn},
    {"ReplaceString", kAny}, {"Result", kAny}, {"Reverse", kAny},
    {"Rm", kOwn},
    {"Rule", kNever},
    {"Save", kNever},
    {"Sequence", kAny},
    {"SessionEnvironment", kOwn},
    {"SetAttribute", kOwn},
    {"SetChar", kAny},
    {"SetDatabasePath", kNever},
    {"SetDirectory", kNever},
    {"SetEA", kAny},
    {"SetHttpAgentPath", kNever},
    {"SetListbaseEnv", kAny},
    {"SetLocalHostName", kNever},
    {"SetLogCondition", kNever},
    {"SetLogPath", kNever},
    {"SetMainInterpreter", kNever},
    {"SetNativeProxy", kNever},
    {"SetParentEnvironment", kAny},
    {"SetPrefixMode", kNever},
    {"SetProxy", kNever},
    {"SetResultFormat", kAny},
    {"SetScriptPath", kNever},
    {"SetThisAgentName", kNever},
    {"SetUnit", kNever},
    {"Shell", kNever},
    {"SilentTimeout", kAny}, {"Sleep", kAny}, {"Sort", kAny}, {"StringLength", kAny}, {"Switch", kAny},
    {"Target", kAny}, {"Test", kAny}, {"Thread", kAny},
    {"Touch", kOwn},
    {"Trunc", kAny}, {"Type", kAny}, {"TypeOf", kAny}, {"URLStringCode", kAny},
    {"UTime", kOwn},
    {"UnitSystem", kOwn},
    {"V2H", kAny}, {"WaitInterpreter", kAny}, {"While", kAny}, {"Word2String", kAny}, {"and", kAny},
    {"auth-transaction", kAny},
    {"call-lock-event", kOwn},
    {"car", kAny}, {"cdr", kAny},
    {"closePrintStd", kNever},
    {"cons", kAny}, {"define", kAny}, {"define-default", kAny}, {"eq", kAny}, {"equal", kAny}, {"h2v", kAny},
    {"if", kAny}, {"lambda", kAny}, {"list", kAny}, {"mxAdd", kAny}, {"mxCH", kAny}, {"mxCompound", kAny},
    {"mxCompressJPEG", kAny}, {"mxCompressZ", kAny}, {"mxDiff", kAny}, {"mxFinish", kAny}, {"mxLoad", kAny},
    {"mxLoadSB", kAny}, {"mxMax", kAny}, {"mxObjID", kAny}, {"mxPgPlotAdd", kAny}, {"mxPgPlotDiff", kAny},
    {"mxPgPlotInitialize", kAny}, {"mxPgPlotSort", kAny}, {"mxSave", kAny}, {"mxSaveSB", kAny}, {"mxSeparate", kAny},
    {"mxSet", kAny}, {"mxSetSB", kAny}, {"mxSquash", kAny}, {"mxStuffing", kAny}, {"mxThinnedOut", kAny},
    {"mxTrigger", kAny}, {"mxUncompressJPEG", kAny}, {"mxUncompressOldFormat", kAny}, {"mxUncomressZ", kAny},
    {"not", kAny}, {"null", kAny},
    {"openPrintStd", kNever},
    {"or", kAny}, {"progn", kAny},
    {"qmxCache", kNever},
    {"qmxChannelInfo", kAny}, {"qmxClose", kAny}, {"qmxCopy", kAny},
    {"qmxCreate", kNever},
    {"qmxExportPNM", kOwn},
    {"qmxGetPoint", kOwn},
    {"qmxImportPNM", kOwn},
    {"qmxImportUTM", kAny}, {"qmxMatrixBlockSize", kAny}, {"qmxMatrixDimDivide", kAny}, {"qmxMatrixParam", kAny},
    {"qmxMatrixPixelSize", kAny},
    {"qmxPNMStatus", kOwn},
    {"qmxPgDisplay", kAny}, {"qmxPgPlotField", kAny}, {"qmxPgPlotInsert", kAny}, {"qmxPhase", kAny},
    {"qmxPriority", kAny}, {"qmxScan", kAny},
    {"qmxStatus", kOwn},
    {"quote", kAny}, {"sbArray", kAny}, {"sbHeuristocLayering", kAny}, {"sbPrimitive", kAny}, {"service", kAny},
    {"set", kAny}, {"target", kAny}, {"while", kAny},
};
const int peer_rule_count = static_cast<int>(std::size(peer_rule_table));

namespace {

constexpr int name_order(const char* a, const char* b) {
  for (; *a && *a == *b; ++a, ++b) {
  }
  return static_cast<unsigned char>(*a) - static_cast<unsigned char>(*b);
}

constexpr bool rules_sorted() {
  for (size_t i = 1; i < std::size(peer_rule_table); ++i)
    if (name_order(peer_rule_table[i - 1].name, peer_rule_table[i].name) >= 0) return false;
  return true;
}
// A row out of order would be missed by the search, and its built-in left
// to every peer.
static_assert(rules_sorted(), "peer_rule_table must be sorted by name, without repeats");

// Which rows some built-in was bound under (bind_builtin).
std::atomic<bool> rule_bound[std::size(peer_rule_table)];

}  // namespace

EVAL_ORIGIN eval_origin() { return task_origin ? *task_origin : kAgentOrigin; }

bool evaluates_for_peer() { return task_origin && task_origin->for_peer; }

bool may_act_for(const EVAL_ORIGIN& owner) {
  if (!evaluates_for_peer()) return true;
  return owner.peer_id != 0 && same_origin(owner, *task_origin);
}

bool env_peer_writing() { return tl_writer >= 0 ? tl_writer != 0 : evaluates_for_peer(); }

EnvWriterScope::EnvWriterScope(bool peer, bool reset) : outer_(tl_writer) { tl_writer = reset ? -1 : peer ? 1 : 0; }

EnvWriterScope::~EnvWriterScope() { tl_writer = outer_; }

EvalOriginScope::EvalOriginScope(EVAL_ORIGIN origin) : origin_(origin), outer_(task_origin) { task_origin = &origin_; }

EvalOriginScope::~EvalOriginScope() { task_origin = outer_; }

PEER_RULE peer_rule_of(const char* name) {
  const PEER_RULE_ROW* end = peer_rule_table + peer_rule_count;
  const PEER_RULE_ROW* r = std::lower_bound(peer_rule_table, end, name, [](const PEER_RULE_ROW& row, const char* n) {
    return std::strcmp(row.name, n) < 0;
  });
  if (r == end || std::strcmp(r->name, name) != 0) {
    std::lock_guard<LeafMutex> g(rowless_mu);
    if (std::find(rowless.begin(), rowless.end(), name) == rowless.end()) rowless.emplace_back(name);
    return PEER_RULE::kPeerNever;
  }
  rule_bound[r - peer_rule_table].store(true, std::memory_order_relaxed);
  return r->rule;
}

const char* peer_rule_unbound() {
  for (int i = 0; i < peer_rule_count; ++i)
    if (!rule_bound[i].load(std::memory_order_relaxed)) return peer_rule_table[i].name;
  return nullptr;
}

std::vector<std::string> peer_rule_missing() {
  std::lock_guard<LeafMutex> g(rowless_mu);
  return rowless;
}

void note_peer_link(uint32_t peer_id, bool open) {
  if (peer_id == 0) return;
  std::lock_guard<LeafMutex> g(links_mu);
  if (open) open_links.insert(peer_id);
  else open_links.erase(peer_id);
}

bool peer_link_closed(uint32_t peer_id) {
  if (peer_id == 0) return false;
  std::lock_guard<LeafMutex> g(links_mu);
  return open_links.count(peer_id) == 0;
}
