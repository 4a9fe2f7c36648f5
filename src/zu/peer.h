// Who an evaluation is for: this agent, or one of its peers.
//
// A peer is whoever reaches the agent from outside: the other end of a
// network link (a connection to one of the agent's listeners, or one the
// agent opened, whose server may send forms of its own accord), and the
// client of a plain HTTP request. What arrives from a peer, and everything
// it causes later, evaluates for that peer; only the agent's own scripts
// (its start-up files, the command line, pipes and descriptors they open,
// and what they start) evaluate as the agent.
//
// What stays true:
// - The origin belongs to the calling task and nests (EvalOriginScope): the
//   innermost scope holds, and a task outside every scope is the agent's.
// - Origin follows causation: a link, session, query, thread or timer made
//   while a task evaluates for a peer records the task's origin, and the
//   task that later evaluates what it brings about opens a scope with the
//   recorded origin. Which link kinds are peers' is decided in one place,
//   `link_origin` (runtime/interp.h).
// - Writes into environments (zu/env.h): whether they are a peer's follows
//   the maker of the lambda the thread runs, and the origin outside every
//   lambda (env_peer_writing); which peer writes is always the calling
//   task's origin. A lambda writes as its caller: a peer's lambda, called by
//   another peer, binds and changes names as that caller, with that
//   caller's link and address, never as the peer that made it.
// - `evaluates_for_peer` is the only test of it: environment writes
//   (zu/env.h), the built-ins a peer may not call (the rule table below),
//   a peer's file edits, and client-side authentication all ask it.
//
// No lock: the state is the calling thread's own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zu/value.h"

struct ZU_INTERPRETER;  // an interpreter record (runtime/interp.h); only pointed to

struct EVAL_ORIGIN {
  // The link whose server sent the LocalEval being evaluated (a link this
  // agent opened, or an accepted one whose peer sent it), or null.
  const ZU_INTERPRETER* local_eval_link;
  // A peer asked for it, directly or through what it caused.
  bool for_peer;
  // The peer's IPv4 address as the links record it (0: not known); what a
  // peer holds of the process (its threads) is counted per address.
  int peer_ip;
  // Which peer: the number of the link it reached the agent by or sent
  // its forms on (ZU_INTERPRETER::peer_id, not given again before its
  // 32-bit counter wraps), or 0 for one that came by no link (a plain HTTP
  // request). What a peer made is its own, and no other peer's, by this
  // number.
  uint32_t peer_id;
  // What a stop reaches: the interpreter whose form caused the evaluation
  // (its iid; 0 for none, as for the agent's end and its file closer) and
  // the number of that form among the interpreter's. Carried wherever the
  // origin goes (threads, node scripts, questions), so that a cancel of
  // that form, a break or close of that interpreter stops all the form
  // caused (runtime/interp.h, _cause_stopped).
  uint32_t cause_iid;
  uint32_t cause_form;
};

// The agent's own origin.
inline constexpr EVAL_ORIGIN kAgentOrigin{nullptr, false, 0, 0, 0, 0};
// A peer at address ip, known by peer_id.
inline EVAL_ORIGIN peer_origin(int ip, uint32_t peer_id) { return {nullptr, true, ip, peer_id, 0, 0}; }

// Whether the calling task evaluates for a peer.
bool evaluates_for_peer();
// The calling task's innermost origin (kAgentOrigin outside every scope).
EVAL_ORIGIN eval_origin();
// What something made now on the caller's behalf (a task, a link, a query)
// records: the caller's origin without its LocalEval link, which stays with
// the evaluation it arrived for (the link may close first).
inline EVAL_ORIGIN eval_origin_handed() {
  EVAL_ORIGIN o = eval_origin();
  o.local_eval_link = nullptr;
  return o;
}

// Whether a and b are the same cause: the agent, or the same peer (its
// link, at its address; one that came by no link, by its address alone).
// A link number met at another address is another peer's.
inline bool same_origin(const EVAL_ORIGIN& a, const EVAL_ORIGIN& b) {
  return a.for_peer == b.for_peer && a.peer_id == b.peer_id && a.peer_ip == b.peer_ip;
}

// Whether the calling task may act on something made for `owner`: the
// agent may act on anything, a peer only on what was made for its own link
// (what it opened, started or asked for, and the link itself).
bool may_act_for(const EVAL_ORIGIN& owner);

// ---- the links that are open
// What a link made is that link's own only while the link is there: a
// binding of a link that has closed has nobody left for another peer to
// harm by changing it (a peer that reconnects, an HTTP agent that starts
// again, is a new link and would otherwise find its own names read-only
// for good). The runtime notes each link as it enters and leaves its table;
// 0 (a request that came by no link) counts as open. A leaf lock of its
// own: asked with the environment lock held.
void note_peer_link(uint32_t peer_id, bool open);
bool peer_link_closed(uint32_t peer_id);

// ---- who writes into environments (zu/env.h)
// Whether the code the calling thread runs writes as a peer: the body of
// the innermost lambda being applied writes as a peer when a peer made that
// lambda (an agent's function that a peer calls keeps the agent's rights, a
// peer's function has only a peer's, and writes as the peer that calls
// it); outside every lambda the task's origin decides.
bool env_peer_writing();
class EnvWriterScope {
 public:
  // peer: the lambda's maker; reset: an evaluation that starts afresh (a
  // form a link delivers, a LocalEval), where the task's origin decides
  // again.
  explicit EnvWriterScope(bool peer, bool reset = false);
  ~EnvWriterScope();
  EnvWriterScope(const EnvWriterScope&) = delete;
  EnvWriterScope& operator=(const EnvWriterScope&) = delete;

 private:
  int8_t outer_;
};

// Makes origin the calling task's own until the scope ends.
class EvalOriginScope {
 public:
  explicit EvalOriginScope(EVAL_ORIGIN origin);
  ~EvalOriginScope();
  EvalOriginScope(const EvalOriginScope&) = delete;
  EvalOriginScope& operator=(const EvalOriginScope&) = delete;

 private:
  EVAL_ORIGIN origin_;
  const EVAL_ORIGIN* outer_;
  // What the evaluation writes into environments follows the new origin,
  // not the lambda that the thread may be running around it (a task
  // waiting for a reply serves its link's forms).
  EnvWriterScope writer_{false, true};
};

// ---- what a peer may call
// One table has a row for every built-in the program binds. kPeerNever:
// refused to a peer, whatever environment the form runs in; kPeerOwn: the
// built-in itself lets a peer act only on what is its own (its links,
// sessions and threads; paths the access rules hand out) and refuses the
// rest; kPeerAny: a peer may call it. A built-in bound under a name the
// table lacks is refused to peers, as kPeerNever.
enum class PEER_RULE : uint8_t { kPeerAny = 0, kPeerNever = 1, kPeerOwn = 2 };
struct PEER_RULE_ROW {
  const char* name;
  PEER_RULE rule;
};
// Sorted by name, for the binary search at binding time.
extern const PEER_RULE_ROW peer_rule_table[];
extern const int peer_rule_count;
// The rule of a built-in bound under name (kPeerNever for a name without
// a row, which is noted for peer_rule_missing).
PEER_RULE peer_rule_of(const char* name);
// The first row no built-in has been bound under so far, or null: once the
// agent has bound its built-ins, a row left over is a misspelt name (checked
// builds stop at start-up).
const char* peer_rule_unbound();
// The names built-ins were bound under so far that have no row, in binding
// order: once the agent has bound its built-ins, each is a built-in
// forgotten in the table, refused to every peer (checked builds stop at
// start-up).
std::vector<std::string> peer_rule_missing();
// What a refusal of a power says (0x80040d10; the built-ins' kit,
// zu/builtin_kit.h, makes the errors).
inline constexpr char kPeerPowerRefused[] = "a power of this agent, refused to a peer";
