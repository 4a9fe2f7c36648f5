// Node scripts on the worker: a node that one of its scripts loads from the
// matrix file is handed to readers only once that script has ended, with
// everything the script did after the load in place.
#include <condition_variable>
#include <mutex>
#include <thread>

#include "base/lock.h"
#include "matrix/mx_file.h"
#include "matrix/node.h"
#include "matrix_test_util.h"
#include "runtime/services.h"
#include "support/temp_dir.h"
#include "text/convert.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zu/errcodes.h"

namespace {

using Code = std::vector<int64_t>;

// What the scripts' built-ins share with the test (mu): (gate) names its
// node, sets `held` and waits until `open`; (own) keeps the code with which
// the script asked for its own node.
struct Gate {
  std::mutex mu;
  std::condition_variable cv;
  bool held = false, open = false;
  MATRIX_NODE* node = nullptr;
  int own = 1;
};
Gate& gate = *new Gate;  // the worker may still reach it after a test

MATRIX_TOKEN* token_of(ZUISP_ENV* env) { return static_cast<MATRIX_TOKEN*>(get_env_work(env)); }

ZU_SEXP* zu_gate(ZUISP_ENV* env, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  BlockingRegion blocking;
  std::unique_lock<std::mutex> l(gate.mu);
  gate.node = token_of(env)->process_node;
  gate.held = true;
  gate.cv.notify_all();
  gate.cv.wait(l, [] { return gate.open; });
  return nullptr;
}

// (load): the standard load, no status chosen; (jump-to slot): the slot
// the script goes on in; (put v): channel 0 of the node.
ZU_SEXP* zu_load(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  int r = matrix_standard_read_file(token_of(env), nullptr);
  return r < 0 ? get_error_ascii(form->h.file, form->h.line, ZU_ER_NO_OBJECT, "load", nullptr) : nullptr;
}

ZU_SEXP* zu_jump_to(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  set_access_jump(token_of(env), -1, static_cast<int>(get_el(form, 1)->integer.num), -1, -1);
  return nullptr;
}

ZU_SEXP* zu_put(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return get_integer(set_channel_sexp(token_of(env)->process_node, 0, get_el(form, 1)), nullptr);
}

ZU_SEXP* zu_own(ZUISP_ENV* env, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  MATRIX_TOKEN* t = token_of(env);
  MATRIX_NODE* n = t->process_node;
  int err = 0;
  MATRIX_NODE* got = get_matrix_node(&err, n->matrix, n->dim_code, 0, t, nullptr);
  if (got && err == 0) unlock_node(got, t);
  std::lock_guard<std::mutex> g(gate.mu);
  gate.own = err;
  return nullptr;
}

void bind_test_prims() {
  static bool done = false;
  if (done) return;
  done = true;
  static const QN_PRIM_DEF prims[] = {{"gate", zu_gate, 1, 1, 1, 0}, {"load", zu_load, 1, 1, 1, 0},
                                      {"jump-to", zu_jump_to, 1, 2, 2, 0}, {"put", zu_put, 1, 2, 2, 0},
                                      {"own", zu_own, 1, 1, 1, 0}, {}};
  bind_prims(matrix_zu_env, prims);
}

void set_slots(MATRIX* m, std::initializer_list<int> slots, const char* text) {
  ZU_SEXP* forms = sexp_commands(utf8_cm, text, nullptr);
  for (int slot : slots) ASSERT_EQ(set_matrix_cal(m, slot, forms), 0);
}

// Opens the gate whatever the test does, so that the worker goes on.
struct OpenAtEnd {
  ~OpenAtEnd() {
    std::lock_guard<std::mutex> g(gate.mu);
    gate.open = true;
    gate.cv.notify_all();
  }
};

// A one-node matrix file whose node holds 5 in its int8 channel 0.
std::string stored_file(TempDir& dir, const std::string& name) {
  std::string path = dir.at(name.c_str());
  const MxSpec s{2, {1, 1}, {2, 2}, {4, 4}, {{&mx_type_int8, kMxChFile, nullptr, 0}}};
  MATRIX* m = nullptr;
  EXPECT_EQ(open_mx_file(&m, path, s), 0);
  if (!m) return path;
  int err = 0;
  MATRIX_NODE* n = nullptr;
  Code dc = {0, 0, 0};
  if (auto* d = static_cast<int8_t*>(get_matrix_node_channel(&err, &n, m, dc.data(), 0, 0, 0, nullptr, 0))) {
    *d = 5;
    matrix_node_channel_unlock(n, 1);
  }
  EXPECT_EQ(err, 0);
  close_matrix(m);
  return path;
}

}  // namespace

// Whether the script ends with the status it chose, with none, after an
// error, or in a slot it jumped to: while it runs after its load, a reader
// asking for the node is told it is loading, and a reader that waits gets
// it only with the script's later write in it (or its error). The script
// itself has its node when it asks for it; a load outside any script
// makes the node ready at once.
TEST_F(MatrixTest, LoadedNodeIsReadyWhenItsScriptEnds) {
  mx_test_init();
  bind_test_prims();
  struct Case {
    const char* name;
    const char* fetch;  // slots 3..5
    const char* visu;   // slots 15..17 (null: the default)
    int status;         // the node's status in the end
    int own;            // (own)'s code, 1 when not asked
  };
  const Case cases[] = {
      {"status chosen", "(fload) (own) (gate) (put 9)", nullptr, kMsOk, 0},
      {"no status chosen", "(load) (gate) (put 9)", nullptr, kMsOk, 1},
      {"error after the load", "(fload) (gate) (no-such-form) (put 9)", nullptr, kMsLoadingErr1, 1},
      {"jumped to", "(load) (jump-to 15)", "(gate) (put 9)", kMsOk, 1},
  };
  TempDir dir("token");
  const Code dc = {0, 0, 0};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = stored_file(dir, std::string(c.name) + ".mx");
    MATRIX* m = nullptr;
    ASSERT_EQ(open_mx_file(&m, path, {}), 0);
    set_slots(m, {3, 4, 5}, c.fetch);
    if (c.visu) set_slots(m, {15, 16, 17}, c.visu);
    {
      std::lock_guard<std::mutex> g(gate.mu);
      gate.held = gate.open = false;
      gate.node = nullptr;
      gate.own = 1;
    }
    int err = 0, seen = -1;
    MATRIX_NODE* got = nullptr;
    std::thread reader([&] {
      got = get_matrix_node_wait(&err, m, dc.data(), 0);
      if (!got) return;
      matrix_node_channel_lock(got);
      seen = *static_cast<int8_t*>(got->channel[0].data);
      matrix_node_channel_unlock(got, 0);
      unlock_node(got, nullptr);
    });
    bool held = false;
    {
      BlockingRegion blocking;
      std::unique_lock<std::mutex> l(gate.mu);
      held = gate.cv.wait_for(l, std::chrono::seconds(60), [] { return gate.held; });
    }
    EXPECT_TRUE(held) << "the script never reached its gate";
    if (held) {
      OpenAtEnd open;
      int now = 0;
      MATRIX_NODE* n = get_matrix_node(&now, m, dc.data(), 0, nullptr, nullptr);
      EXPECT_EQ(now, kMxLoading);
      if (n && now == 0) unlock_node(n, nullptr);
      MatrixLocked locked;
      EXPECT_EQ(gate.node->status, kMsLoading);
    }
    {
      OpenAtEnd open;
      BlockingRegion blocking;
      reader.join();
    }
    if (c.status == kMsOk) {
      EXPECT_EQ(err, 0);
      EXPECT_EQ(seen, 9);
    } else {
      EXPECT_EQ(got, nullptr);
      EXPECT_EQ(err, kMxNoMatrix);
    }
    if (held) {
      MatrixLocked locked;
      EXPECT_EQ(gate.node->status, c.status);
    }
    EXPECT_EQ(gate.own, c.own);
    // A load that no script of the node runs makes it ready at once.
    MATRIX_NODE* n = make_node(m, dc);
    EXPECT_EQ(load_matrix_node(n), 0);
    EXPECT_EQ(n->status, kMsOk);
    drop_node(n);
    close_matrix(m);
  }
}

// An access id pending on a token runs once for each cause: the agent's
// joins a peer's (which runs as the peer, never with the agent's powers)
// and a peer's joins its own, but the same id caused by another peer
// (another link, or the same link number at another address) is pending
// apart and runs with that peer's origin.
TEST_F(MatrixTest, APendingAccessRunsForEachPeerThatCausedIt) {
  const EVAL_ORIGIN agent = kAgentOrigin, a = peer_origin(0x7F000002, 1), b = peer_origin(0x7F000003, 2),
                    b_elsewhere = peer_origin(0x7F000004, 2);
  struct Case {
    std::vector<EVAL_ORIGIN> causes;
    std::vector<EVAL_ORIGIN> runs;  // in order
  } const cases[] = {
      {{agent, agent}, {agent}},
      {{agent, a}, {a}},
      {{a, agent}, {a}},
      {{a, a}, {a}},
      {{a, b}, {a, b}},
      {{agent, a, b, a, agent, b}, {a, b}},
      {{b, b_elsewhere}, {b, b_elsewhere}},
  };
  for (const Case& c : cases) {
    MATRIX_TOKEN t{};
    MatrixLocked locked;
    for (const EVAL_ORIGIN& o : c.causes) _xx_insert_access_list(&t, 9, o, __FILE__, __LINE__);
    _xx_insert_access_list(&t, 12, a, __FILE__, __LINE__);  // another id is pending apart
    std::vector<EVAL_ORIGIN> runs;
    for (const MATRIX_ACCESS_LIST* p = t.access_list; p; p = p->next)
      if (p->id == 9) runs.push_back(p->origin);
    while (_delete_access_list(&t) >= 0) {
    }
    ASSERT_EQ(runs.size(), c.runs.size()) << c.causes.size() << " causes";
    for (size_t i = 0; i < runs.size(); ++i) {
      EXPECT_EQ(runs[i].for_peer, c.runs[i].for_peer);
      EXPECT_EQ(runs[i].peer_id, c.runs[i].peer_id);
      EXPECT_EQ(runs[i].peer_ip, c.runs[i].peer_ip);
    }
  }
}
