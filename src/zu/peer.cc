#include "zu/peer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <unordered_set>

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

constexpr PEER_RULE kNever = PEER_RULE::kPeerNever;
constexpr PEER_RULE kOwn = PEER_RULE::kPeerOwn;

}  // namespace

// Every built-in that acts on the process or the machine. The README's
// table of what a peer may call mirrors this one. Sorted by name (checked
// below as it compiles), for the binary search of peer_rule_of.
constexpr PEER_RULE_ROW peer_rule_table[] = {
    {"Chdir", kNever},
    {"CloseInterpreter", kOwn},
    {"CloseSession", kOwn},
    {"ErrHandler", kOwn},
    {"Exit", kNever},
    {"Export", kNever},
    {"FetchLog", kNever},
    {"GetVariable", kNever},
    {"KillThread", kOwn},
    {"Launch", kNever},
    {"LaunchWWW", kNever},
    {"Load", kNever},
    {"Mkdir", kOwn},
    {"Mv", kOwn},
    {"OpenInterpreter", kOwn},
    {"PrintStd", kOwn},
    {"Remote", kOwn},
    {"RemoteSession", kOwn},
    {"Rm", kOwn},
    {"Rule", kNever},
    {"Save", kNever},
    {"SessionEnvironment", kOwn},
    {"SetAttribute", kOwn},
    {"SetDatabasePath", kNever},
    {"SetDirectory", kNever},
    {"SetHttpAgentPath", kNever},
    {"SetLocalHostName", kNever},
    {"SetLogCondition", kNever},
    {"SetLogPath", kNever},
    {"SetMainInterpreter", kNever},
    {"SetNativeProxy", kNever},
    {"SetPrefixMode", kNever},
    {"SetProxy", kNever},
    {"SetScriptPath", kNever},
    {"SetThisAgentName", kNever},
    {"SetUnit", kNever},
    {"Shell", kNever},
    {"Touch", kOwn},
    {"UTime", kOwn},
    {"UnitSystem", kOwn},
    {"call-lock-event", kOwn},
    {"closePrintStd", kNever},
    {"openPrintStd", kNever},
    {"qmxCache", kNever},
    {"qmxCreate", kNever},
    {"qmxExportPNM", kOwn},
    {"qmxGetPoint", kOwn},
    {"qmxImportPNM", kOwn},
    {"qmxPNMStatus", kOwn},
    {"qmxStatus", kOwn},
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
  if (r == end || std::strcmp(r->name, name) != 0) return PEER_RULE::kPeerAny;
  rule_bound[r - peer_rule_table].store(true, std::memory_order_relaxed);
  return r->rule;
}

const char* peer_rule_unbound() {
  for (int i = 0; i < peer_rule_count; ++i)
    if (!rule_bound[i].load(std::memory_order_relaxed)) return peer_rule_table[i].name;
  return nullptr;
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
