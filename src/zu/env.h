// Environments: hash environments (bindings, a parent, a default binding, a
// unit environment and a work pointer) and pairs of two environments
// searched first member, then second.
//
// Look-ups take no lock: names are interned atoms, so a look-up is a pointer
// probe in each table on the way. Changes run under the environment lock.
// Search order: a hash environment, then its parents; a pair: the whole
// chain of its first member, then that of its second. Writing into a pair
// writes into the first hash environment reached by following second
// members.
#pragma once

#include <cstdint>

#include "zu/value.h"

struct ZUISP_ENV;

constexpr uint8_t ZU_ENV_HASH = 1;
constexpr uint8_t ZU_ENV_PAIR = 2;

// A new environment records who made it: a peer when the code that makes
// it writes as one (env_peer_writing, zu/peer.h), else the agent.
ZUISP_ENV* new_env(ZUISP_ENV* parent);
ZUISP_ENV* new_env_pair(ZUISP_ENV* first, ZUISP_ENV* second);

// Call environments. The evaluator makes one environment per lambda call
// (new_call_env: a new_env the evaluator may hand back, made by whoever
// made the lambda: peer_made) and frees it when the call returns
// (release_call_env), unless something else may still reach it. Only the
// evaluator's own steps are known to keep nothing: a built-in called with
// an environment, except one flagged ZU_FUNC_ENV_TRANSIENT, may keep it or
// make environments under it, so the evaluator first marks that
// environment and every call environment above it kept (env_keep), and a
// kept environment is left to the collector. Making an environment under
// another one, or a value of it, outside the evaluator happens only in
// such built-ins.
ZUISP_ENV* new_call_env(ZUISP_ENV* parent, bool peer_made);
void env_keep(ZUISP_ENV* env);
// Frees a call environment that was not kept and answers true; the caller
// has dropped every root of it. False (nothing done) for any other.
bool release_call_env(ZUISP_ENV* env);

// What the agent made is the agent's. Peers evaluate in the agent's
// environments (a listener's, the script's, the top two, a function's
// closure, and every ancestor of them) and the agent's own code looks names
// up through them: a peer that rebound a name there would run its own code
// as the agent. So a peer writes freely only in an environment it made
// itself (by its peer_id); in any other, at any depth, it binds only new
// names that hide no binding of the agent's on the way up (nor one the
// agent bound in Env1 again in Env0), and sets no default binding, unit
// system or parent. Wherever a binding lies, a peer changes or removes it
// only when its own link made it: another peer's binding, from the same
// address too, is read-only to it, and so is the agent's outside the
// peer's own environments. Those writes are refused with kEnvRefused
// (env_refusal_why says which rule refused). Once the agent binds a name a
// peer bound, the binding is the agent's. Who writes is env_peer_writing
// and the calling task's origin (zu/peer.h).
//
// What a peer's bindings keep counts against the address of the peer that
// wrote them, wherever they lie (gc_charge_bound, zu/gc.h): past its
// share, or past what all peers may hold, a binding is refused for memory
// (AllocRefused, where the evaluation can answer it).
//
// A built-in's own environment (its keywords, options or rules) is sealed
// once start-up has filled it: from then on no writer changes it.
constexpr int kEnvRefused = -2;
void seal_env(ZUISP_ENV* env);
// Why the calling thread's last write was refused (kEnvRefused): the text
// of the error that answers it.
const char* env_refusal_why();

// Binds or rebinds a name (or an atom) in the environment's writing target.
// 0, -1 when there is no hash environment to write into, kEnvRefused.
[[nodiscard]] int set_env(ZUISP_ENV* env, const L_CHAR* name, ZU_SEXP* value);
[[nodiscard]] int set_env_atom(ZUISP_ENV* env, ZU_ATOM* name, ZU_SEXP* value);
// Binds as the agent, where no refusal can be: start-up code binding the
// agent's own names, and code binding into an environment it made itself.
// A write that fails there is a slip of the program: it stops the process.
void bind_agent(ZUISP_ENV* env, const char* name, ZU_SEXP* value);
void bind_agent_atom(ZUISP_ENV* env, ZU_ATOM* name, ZU_SEXP* value);
// Binds in an environment fresh from new_env that the calling thread has
// not handed to anyone and that has no children yet (a call environment
// being filled): no lock is taken. Elsewhere it acts as set_env_atom.
void bind_private_env(ZUISP_ENV* env, ZU_ATOM* name, ZU_SEXP* value);
// Replaces the value of the nearest binding of the symbol: 0, -1 (and
// nothing bound) when the name is bound nowhere, kEnvRefused.
[[nodiscard]] int set_op(ZUISP_ENV* env, ZU_SEXP* symbol, ZU_SEXP* value);
// Removes the nearest binding of the name; nothing when there is none.
// 0, or kEnvRefused (nothing removed).
[[nodiscard]] int del_env(ZUISP_ENV* env, const L_CHAR* name);
[[nodiscard]] int del_env_atom(ZUISP_ENV* env, ZU_ATOM* name);

// The value bound to the name within `depth` levels (0 the environment
// itself, each parent one level more, both members of a pair one level
// deeper than the pair; negative: no limit); null when not found.
ZU_SEXP* get_env_symbol(ZUISP_ENV* env, const L_CHAR* name, int depth);
// A setting of the agent: the value the agent itself bound to the name,
// looked up from env. A binding a peer made is passed over (the search goes
// on beyond it), so that no peer configures the agent by binding a name the
// agent reads. Null when the agent bound none
// (or bound it to nil).
ZU_SEXP* agent_setting(ZUISP_ENV* env, const char* name);
// As above; returns 1 and stores the value when bound (a binding to the
// empty list included), 0 when not.
int lookup_env_atom(ZUISP_ENV* env, const ZU_ATOM* name, int depth, ZU_SEXP** value);

// Default binding of the writing target (0, -1, kEnvRefused);
// del_default_env clears it (in a pair, in both members; kEnvRefused when
// one the writer may not clear stays). get_default_env: the nearest one in search
// order.
[[nodiscard]] int set_default_env(ZUISP_ENV* env, ZU_SEXP* func);
[[nodiscard]] int del_default_env(ZUISP_ENV* env);
ZU_SEXP* get_default_env(ZUISP_ENV* env);

// Work pointer: the nearest one in search order / the environment's own.
void* get_env_work(ZUISP_ENV* env);
void set_env_work(ZUISP_ENV* env, void* work);
// Unit environment: the nearest one in search order / the environment's
// own. set_uenv_mark_func installs the unit system's mark function.
UNIT_ENV* get_uenv(ZUISP_ENV* env);
[[nodiscard]] int set_uenv(ZUISP_ENV* env, UNIT_ENV* uenv);  // 0, -1, kEnvRefused
void set_uenv_mark_func(GC_MARK_FUNC mark);

// Shape and wiring.
int get_env_kind(const ZUISP_ENV* env);  // ZU_ENV_HASH or ZU_ENV_PAIR
// Parent of a hash environment; first member of a pair. set_parent_env:
// 0, or kEnvRefused (nothing changed).
ZUISP_ENV* get_parent_env(ZUISP_ENV* env);
[[nodiscard]] int set_parent_env(ZUISP_ENV* env, ZUISP_ENV* parent);
void get_env_pair(ZUISP_ENV* env, ZUISP_ENV** first, ZUISP_ENV** second);
uint32_t get_env_flags(ZUISP_ENV* env);
void set_env_flags(ZUISP_ENV* env, uint32_t flags);

// List forms: (zuisp-env (type "env") (parent p) (work n) (flags n)
// (hash ("name" value)...) [(uenv u)] [(default-sym f)]) and
// (zuisp-env (type "pair") first second).
// set_listbase_env fills target (null: a new environment) from such a
// form; null for a form of neither shape, and null with *refused set when
// a write into it was refused (kEnvRefused): what came before it in the
// form stays written.
ZU_SEXP* get_listbase_env(ZUISP_ENV* env);
ZUISP_ENV* set_listbase_env(ZU_SEXP* form, ZUISP_ENV* target, bool* refused = nullptr);

// The two top environments: the root and its child.
extern ZUISP_ENV* qnlisp_top_env0;
extern ZUISP_ENV* qnlisp_top_env1;
// Makes the environment lock and the two top environments (once).
void init_qnlisp_envs();

// Mark function of an environment.
void gc_qnlisp_env(void* env);
// Called by the collector in each collection, before the world resumes:
// look-up results remembered across it are dropped.
void env_note_collection();
