// Scripted runs of the node pipeline through the node access operations:
// fetch slots, waits and resumption, jumps, refusals, children, the
// worker's order, the walk down the pyramid, the purge and closing.
#include <algorithm>
#include <atomic>
#include <regex>
#include <thread>

#include "base/log_hook.h"
#include "base/tick.h"
#include "block_test_util.h"
#include "matrix/dim_code.h"
#include "ops_test_util.h"
#include "support/zu/little_room.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/core_init.h"
#include "zu/env.h"

namespace {

// A ready node of each level names the fetch slot that ran for it.
TEST_F(OpsTest, FetchSlotFollowsTheLevelClass) {
  MATRIX* m = open_scripted(1, 1, 3);
  for (int slot : {3, 4, 5})
    set_script(m, {slot}, "(peek (list " + std::to_string(slot) + " mxThisLevel)) (mxFinish normal-jump-status=\"MS_OK\")");
  for (int64_t level : {0, 2, 1}) ASSERT_TRUE(ready_node(m, {level, 0}));
  EXPECT_EQ(notes(), (std::vector<std::string>{"(5 0)", "(3 2)", "(4 1)"}));
  close_matrix(m);
}

// A child reading its loading parent waits (the form runs again once the
// parent is ready); a load that finishes later goes on after the load.
TEST_F(OpsTest, WaitsResumeAtTheRightForm) {
  MATRIX* m = open_scripted(1, 1, 3);
  ev.saved[{1, 0}] = 42;
  set_script(m, {5}, R"((peek 1) (note (mxCH type="parent" 0)) (mxFinish normal-jump-status="MS_OK"))");
  ASSERT_TRUE(ready_node(m, {0, 1}));
  std::vector<std::string> n = notes();
  ASSERT_EQ(n.size(), 3u);
  EXPECT_EQ(n[0], "1");
  EXPECT_EQ(n[1], R"(error 8001160a ("Application System error" 1 ("parent" -103 (1 0))))");
  EXPECT_EQ(n[2], "(data (1 0) 42)");

  set_script(m, {5}, R"((mxFinish normal-jump-status="MS_OK") (mxLoad) (peek 2))");
  ev.load_later = true;  // before any load: nothing reads it yet
  int err = 0;
  get_matrix_node(&err, m, Code{0, 2}.data(), 0, nullptr, nullptr);
  wait_for([] { return !ev.later.empty(); });
  ev.load_later = false;
  int reads = ev.reads;
  EXPECT_EQ(notes().size(), 3u);
  insert_matrix_access(ev.later.at(0), matrix_exec_cal);
  ASSERT_TRUE(ready_node(m, {0, 2}));
  EXPECT_EQ(notes().back(), "2");
  EXPECT_EQ(ev.reads, reads) << "the load ran once";
  // A script that goes on past a wait leaves it: nothing queues it twice.
  set_script(m, {5}, R"((peek (mxCH type="parent" 0)) (peek (mxCH type="parent" 0)) (mxFinish normal-jump-status="MS_OK"))");
  ASSERT_TRUE(ready_node(m, {0, 3}));
  wait_idle(m);
  EXPECT_EQ(notes().back(), R"(error 8001160a ("Application System error" 1 ("parent" -103 (1 2))))");
  close_matrix(m);
}

// Refusals leave the token as it was; an error (a suspend signal without
// an integer detail is one) with err-jump-status 3 marks the node and its
// completion byte and jumps on. The worker never sleeps for a node. Empty
// slots report done; a failed matrix reports its slots failed.
TEST_F(OpsTest, RefusalsErrorsAndJumps) {
  MATRIX* m = open_scripted(1, 1, 3);
  MATRIX_NODE* n = ready_node(m, {0, 0});
  ASSERT_TRUE(n);
  set_script(m, {11}, R"(
    (peek (mxFinish err-jump-status="MS_LOADING_ERR_1" normal-jump="MI_FETCH_1_TP"))
    (peek (jumps))
    (peek (mxCH 99))
    (peek (wait-node 0 4))
    (mxFinish err-jump-status="MS_LOADING_ERR_1" err-jump="MI_EDIT_2")
    (bad-wait)
    (peek "not reached"))");
  set_script(m, {14}, "(peek (mxSave)) (peek (mxCH type=\"test.children\"))");
  matrix_trigger_access(n, 9, 0);
  wait_idle(m);
  EXPECT_EQ(notes(), (std::vector<std::string>{
                         R"(error 80040503 ("invalid parameter in mxFinish" "normal-jump" "MI_FETCH_1_TP"))",
                         "(-1 -1 -1 -1)", R"(error 80040503 "invalid parameter in mxCH")", "-103",
                         R"(error 80040501 ("invalid matrix saving" 0))", "0"}));
  EXPECT_EQ(n->status, kMsLoadingErr1);
  EXPECT_EQ(n->scan_call[3], kMxCallError);
  EXPECT_EQ(n->scan_call[4], kMxCallDone);
  EXPECT_EQ(ev.saves.count(Code{0, 0}), 0u);
  matrix_trigger_access(n, 18, 0);  // no script
  EXPECT_EQ(wait_byte(n, 6), kMxCallDone);
  set_matrix_mode(m, kMxModeFailed);
  matrix_trigger_access(n, 15, 0);
  EXPECT_EQ(wait_byte(n, 5), kMxCallError);
  close_matrix(m);
}

// Children in list order A B C come back as (Children C B A), each loaded
// first (the form waits for each loading child and runs again), also in
// the fetch script of their loading parent.
TEST_F(OpsTest, ChildrenComeBackLastFirst) {
  MATRIX* m = open_scripted(2, 1, 2);
  set_script(m, {3}, R"((peek (mxCH type="test.children")) (mxFinish normal-jump-status="MS_OK")
                        (note (mxCH type="children" 0))))");
  const Code a{0, 0, 1}, b{0, 1, 0}, c{0, 1, 1};
  {
    WorkerGate gate;
    int err = 0;
    MATRIX_NODE* root = get_matrix_node(&err, m, Code{1, 0, 0}.data(), 0, nullptr, nullptr);
    for (auto& [dc, v] : {std::pair{a, 10}, std::pair{b, 20}, std::pair{c, 30}}) {
      ev.saved[dc] = v;
      insert_dim_code_index(root, dc.data(), 0);
    }
  }
  wait_idle(m);
  std::vector<std::string> s = notes();
  EXPECT_EQ(s.front(), "1");
  EXPECT_EQ(s.back(), "(Children (data (0 1 1) 30) (data (0 1 0) 20) (data (0 0 1) 10))");
  close_matrix(m);
}

// mxTrigger fires an access on the node it names: itself, its parent (none
// above the top), its listed children or a node by dim code, loading a
// missing one first (dim codes are in level-0 coordinates). Without an
// access name it passes on the access it serves, so a chain climbs the
// pyramid once. Bad names and arguments are refused without firing
// anything, and a code that can have no node ends the form instead of
// leaving the token waiting for ever.
TEST_F(OpsTest, TriggerFiresTheNamedNodes) {
  MATRIX* m = open_scripted(1, 1, 3);
  set_script(m, {12, 13, 14}, R"((note (list "hit" mxThisLevel)))");
  auto sorted = [](std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  using V = std::vector<std::string>;
  struct Case {
    Code at;
    const char* script;
    V want;
  } cases[] = {
      {{0, 1}, R"((note (mxTrigger access="MI_EDIT_2")))", {R"(("hit" 0))", "()"}},
      {{0, 1}, R"((note (mxTrigger access="MI_EDIT_2" type="me")))", {R"(("hit" 0))", "()"}},
      {{0, 1}, R"((note (mxTrigger access="MI_EDIT_2" type="parent")))", {R"(("hit" 1))", "()"}},
      {{2, 0}, R"((note (mxTrigger access="MI_EDIT_2" type="parent")))", {"()"}},
      {{0, 1}, R"((note (mxTrigger access="MI_EDIT_2" type="node" (list 0 3))))", {R"(("hit" 0))", "()"}},
      {{0, 1}, R"((note (mxTrigger type="parent")) (note (list "at" mxThisLevel)))",
       {R"(("at" 0))", R"(("at" 1))", R"(("at" 2))", "()", "()", "()"}},
      {{0, 1}, R"((note (mxTrigger access="MI_SAVE_BT")))", {R"(error 80040503 "invalid parameter in mxTrigger")"}},
      {{0, 1}, R"((note (mxTrigger access="MI_EDIT_2" type="node" 3)))", {"error 80030806 ()"}},
      {{0, 1}, R"((note (mxTrigger access="MI_EDIT_2" type="node" (list 0))))",
       {R"(error 80040503 "invalid parameter in mxTrigger")"}},
      {{0, 1}, R"((note (mxTrigger access="MI_EDIT_2" type="node" (list 0 -1))))",
       {R"(error 80040501 "invalid matrix loading")"}},
  };
  for (const Case& c : cases) EXPECT_EQ(sorted(run_edit(m, c.at, c.script)), sorted(c.want)) << c.script;
  close_matrix(m);

  // Children: the ones the parent records (in its bit field here), each
  // fired once. They are loaded first: a child still loading makes the
  // form start again from the first child, which fires that one twice.
  m = open_scripted(2, 1, 2);
  set_script(m, {12, 13, 14}, R"((note (list "hit" mxThisLevel)))");
  MATRIX_NODE* top = ready_node(m, {1, 0, 0});
  ASSERT_TRUE(top);
  for (const Code& dc : {Code{0, 0, 1}, Code{0, 1, 1}}) {
    insert_dim_code_index(top, dc.data(), 0);
    ASSERT_TRUE(ready_node(m, dc));
  }
  EXPECT_EQ(sorted(run_edit(m, {1, 0, 0}, R"((note (mxTrigger access="MI_EDIT_2" type="children")))")),
            sorted(V{R"(("hit" 0))", R"(("hit" 0))", "()"}));
  close_matrix(m);
}

// A load from a source the matrix has no hook for is refused with the
// hooks it has (as integers, 0 for none); an unknown source is a bad
// parameter.
TEST_F(OpsTest, LoadsWithoutAHookAreRefused) {
  MATRIX* m = open_scripted(1, 1, 3);
  std::vector<std::string> r = run_edit(m, {0, 1}, R"((note (mxLoad target="net")))");
  for (const std::string& more : run_edit(m, {0, 1}, R"((note (mxLoad target="disk")))")) r.push_back(more);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_TRUE(std::regex_match(r[0], std::regex(R"(error 80040609 \("not support read_file operation" [1-9][0-9]* 0 [1-9][0-9]*\))")))
      << r[0];
  EXPECT_EQ(r[1], R"(error 80040503 "invalid parameter in mxLoad")");
  close_matrix(m);
}

// A token waiting for a matrix that closes has its abort call made on the
// tick thread, and goes on; the token's end while an abort call is still
// pending leaves its freeing to that call.
std::atomic<int> aborts{0};

TEST_F(OpsTest, ClosingAMatrixCallsTheAbortOfItsWaiters) {
  auto abortable = [](ZUISP_ENV* env, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) -> ZU_SEXP* {
    static_cast<MATRIX_TOKEN*>(get_env_work(env))->aboat_func = [](MATRIX_TOKEN*) {
      std::lock_guard<std::mutex> g(ev.mu);
      ++aborts;
      ev.cv.notify_all();
    };
    return nullptr;
  };
  static const QN_PRIM_DEF prims[] = {{"abortable", abortable, 1, 1, 1, 0}, {}};
  bind_prims(matrix_zu_env, prims);
  MATRIX* m = open_scripted(1, 1, 3);
  MATRIX* far = open_matrix(nullptr, nullptr, l_string(ascii_cm, "far"), nullptr, nullptr);
  set_script(m, {5}, R"((abortable) (note (mxCH type="matrix" key="far" 0)))");
  size_t before = notes().size();
  int err = 0;
  get_matrix_node(&err, m, Code{0, 0}.data(), 0, nullptr, nullptr);
  wait_for([before] { return ev.notes.size() == before + 1; });
  EXPECT_EQ(notes().back(), R"(error 8001160a ("Application System error" 1))");
  close_matrix(far);
  wait_for([] { return aborts.load() >= 1; });
  close_all_matrix();
  EXPECT_EQ(matrices_root.mx_next, &matrices_root);
  EXPECT_EQ(nd_cnt, 0);
}

// A Peano trigger fires the access once on every node of the box from the
// start code up to (not including) the end code, making the missing ones,
// and nothing outside it.
TEST_F(OpsTest, PeanoTriggerFiresTheBoxOnce) {
  MATRIX* m = open_scripted(2, 1, 3);
  set_script(m, {12, 13, 14}, R"((note (list "box" mxThisLevel)))");
  size_t before = notes().size();
  matrix_peano_trigger(m, Code{0, 1, 1}.data(), Code{0, 3, 3}.data(), 12);
  for (const Code& dc : {Code{0, 1, 1}, Code{0, 2, 1}, Code{0, 1, 2}, Code{0, 2, 2}}) {
    MATRIX_NODE* n = node_at(m, dc);
    ASSERT_TRUE(n) << dc[1] << " " << dc[2];
    EXPECT_EQ(wait_byte(n, 4), kMxCallDone);
  }
  wait_idle(m);
  std::vector<std::string> all = notes();
  EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(before), all.end()),
            std::vector<std::string>(4, R"(("box" 0))"));
  for (const Code& dc : {Code{0, 0, 0}, Code{0, 3, 3}, Code{0, 1, 3}, Code{0, 3, 1}}) EXPECT_FALSE(node_at(m, dc));
  close_matrix(m);
}

// Tokens fired while the worker is held run by their slot's priority word.
TEST_F(OpsTest, WorkerOrderFollowsThePriorityRules) {
  auto word = [](int base, int rule) { return base << 16 | rule; };
  struct Case {
    int top, middle, bottom;  // words of the edit slots 9, 10, 11
    const char* order;
  } cases[] = {
      {0, 0, 0, "3 2 1 0"},                                    // rule 0: coarse first
      {word(0, 1), word(0, 1), word(0, 1), "0 1 2 3"},         // rule 1: fine first
      {3, 3, 3, "1 3 0 2"},                                    // rule 3: as fired
      {word(1, 2), word(5, 2), word(3, 2), "1 2 0 3"},         // rule 2: the base
  };
  for (const Case& k : cases) {
    std::vector<int> pri(24, 0);
    pri[9] = k.top, pri[10] = k.middle, pri[11] = k.bottom;
    MATRIX* m = open_scripted(1, 1, 4, pri);
    set_script(m, {9, 10, 11}, "(peek mxThisLevel)");
    std::vector<MATRIX_NODE*> at;
    for (int64_t level : {1, 3, 0, 2}) at.push_back(ready_node(m, {level, 0}));
    size_t before = notes().size();
    {
      WorkerGate gate;
      for (MATRIX_NODE* n : at) matrix_trigger_access(n, 9, 0);
    }
    wait_idle(m);
    std::string got;
    for (size_t i = before; i < notes().size(); ++i) got += (got.empty() ? "" : " ") + notes()[i];
    EXPECT_EQ(got, k.order);
    close_matrix(m);
  }
}

// Reading (access 1) from level 0 of a 6-level matrix whose root alone is
// ready looks at 5, 4 and 2 and asks at 3, 1 and 0; without the root's
// child entry it stops at level 4.
TEST_F(OpsTest, ReadingWalkAsksAtGrowingDistances) {
  for (bool listed : {true, false}) {
    MATRIX* m = open_scripted(1, 1, 6);
    MATRIX_NODE* root = ready_node(m, {5, 0});
    ASSERT_TRUE(root);
    if (listed) insert_dim_code_index(root, Code{4, 0}.data(), 0);
    {
      WorkerGate gate;
      Code dc{0, 0};
      int err = 0;
      EXPECT_EQ(get_matrix_tree(&err, m, dc.data(), 1, 0), root);
      EXPECT_EQ(dc[0], 0);
      for (int64_t level = 0; level < 5; ++level) {
        bool asked = listed && (level == 3 || level == 1 || level == 0);
        MATRIX_NODE* n = node_at(m, {level, 0});
        EXPECT_EQ(n != nullptr, asked) << "level " << level;
        EXPECT_TRUE(!n || n->status == kMsLoading);
      }
    }
    unlock_node(root, nullptr);
    wait_idle(m);
    close_matrix(m);
  }
}

int64_t fake_now = 1000000;

// A 1-D matrix with 250 ready nodes on the store's clock set to fake_now,
// those at `dirty` changed 200 s ago, and the last purge 3 s ago: the next
// new node purges. The caller sets the clock back (set_mx_clock(nullptr)).
MATRIX* ready_for_purge(std::initializer_list<int64_t> dirty) {
  set_mx_clock([] { return fake_now; });
  MATRIX* m = open_scripted(1, 1, 9);
  mx_last_purge_time = fake_now;
  for (int64_t i = 0; i < 250; ++i) {
    int err = 0;
    get_matrix_node(&err, m, Code{0, i}.data(), 0, nullptr, nullptr);
  }
  wait_idle(m);
  for (int64_t i : dirty) node_at(m, {0, i})->dirty_file_time = static_cast<unsigned>(fake_now);
  fake_now += 200;
  mx_last_purge_time = fake_now - 3;
  return m;
}

// With 250 ready nodes, a target of 100 and the last purge 3 s ago, a new
// node purges: the 100 newest ready nodes stay, dirty ones older than 30 s
// get a save, the older idle ones go.
TEST_F(OpsTest, PurgeKeepsTheNewestReadyNodes) {
  MATRIX* m = ready_for_purge({0, 120, 249});
  {
    WorkerGate gate;
    int err = 0;
    get_matrix_node(&err, m, Code{0, 250}.data(), 0, nullptr, nullptr);
    for (int64_t i = 0; i < 250; ++i) {
      bool kept = i >= 150 || i == 0 || i == 120;  // the newest 100, and dirty ones
      MATRIX_NODE* n = node_at(m, {0, i});
      ASSERT_EQ(n != nullptr, kept) << i;
      bool saving = i == 0 || i == 120 || i == 249;
      EXPECT_TRUE(!kept || (n->process_token && n->process_token->access_list->id == 23) == saving) << i;
    }
    EXPECT_EQ(nd_cnt, 103);
  }
  wait_idle(m);
  EXPECT_EQ(ev.saves, (std::map<Code, int>{{{0, 0}, 1}, {{0, 120}, 1}, {{0, 249}, 1}}));
  close_matrix(m);
  set_mx_clock(nullptr);
}

// The node whose arrival sets off a purge is fetched before the saves the
// purge fires: its fetch is queued first, so the task that asked for it
// does not wait for all of them.
TEST_F(OpsTest, ANewNodeIsFetchedBeforeTheSavesItsPurgeFires) {
  MATRIX* m = ready_for_purge({0, 120});
  std::vector<std::pair<int64_t, int>> queued;  // (node position, first slot) in queue order
  {
    WorkerGate gate;
    int err = 0;
    get_matrix_node(&err, m, Code{0, 250}.data(), 0, nullptr, nullptr);
    check_queue(&matrix_que, [](SYS_QUEUE*, Q_HEADER* item, void* work) {
      auto* t = reinterpret_cast<MATRIX_TOKEN*>(item);
      if (t->process_node && t->process_node->dim_code && t->access_list)
        static_cast<std::vector<std::pair<int64_t, int>>*>(work)->push_back({t->process_node->dim_code[1], t->access_list->id});
      return 0;
    }, &queued);
  }
  wait_idle(m);
  ASSERT_EQ(queued.size(), 3u);
  EXPECT_EQ(queued[0].first, 250);
  EXPECT_LT(queued[0].second, 6);  // a fetch slot
  EXPECT_EQ(queued[1].second, 23);
  EXPECT_EQ(queued[2].second, 23);
  close_matrix(m);
  set_mx_clock(nullptr);
}

// The access tick sizes the cache by the levels of the matrices used in
// the last two periods.
TEST_F(OpsTest, AccessTickSizesTheCache) {
  del_tick_with_data(matrix_access_tick, nullptr);
  MATRIX* a = open_scripted(1, 1, 12);
  MATRIX* b = open_scripted(1, 1, 15);
  auto touch = [](MATRIX* m) {
    int err = 0;
    get_matrix_node(&err, m, Code{0, 0}.data(), -1, nullptr, nullptr);
  };
  struct Step {
    std::vector<MATRIX*> used;
    int size;
  } steps[] = {{{a, b}, 270}, {{a}, 270}, {{}, 120}, {{}, 120}};
  for (const Step& s : steps) {
    for (MATRIX* m : s.used) touch(m);
    matrix_access_tick(nullptr);
    EXPECT_EQ(total_ncache_size, s.size);
  }
  close_all_matrix();
}

// Closing a matrix of many dirty nodes walks no queue: every token that
// ends while the close waits counts the worker queue without walking it,
// each save finds its place by priority and the worker its key's next
// token at once. The queue's steps are counted, not timed: a walk of the
// queue per token would take some eight million here.
TEST_F(OpsTest, ClosingManyNodesWalksNoQueue) {
  MATRIX* m = open_scripted(2, 1, 7);  // 64 x 64 nodes at level 0
  for (int64_t x = 0; x < 64; ++x)
    for (int64_t y = 0; y < 64; ++y) {
      int err = 0;
      get_matrix_node(&err, m, Code{0, x, y}.data(), 0, nullptr, nullptr);
    }
  wait_idle(m);
  for (int64_t x = 0; x < 64; ++x)
    for (int64_t y = 0; y < 64; ++y) set_dirty_file(node_at(m, {0, x, y}));
  const unsigned long before = queue_steps(&matrix_que);
  close_matrix(m);
  EXPECT_LE(queue_steps(&matrix_que) - before, 4096u);
  std::lock_guard<std::mutex> g(ev.mu);
  int saved = 0;
  for (int64_t x = 0; x < 64; ++x)
    for (int64_t y = 0; y < 64; ++y) saved += ev.saves.count({0, x, y}) ? 1 : 0;
  EXPECT_EQ(saved, 4096);
}

std::mutex log_mu;
std::string log_text;

int capture_log(int, int, void*, const char* fmt, va_list ap) {
  char buf[512];
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  std::lock_guard<std::mutex> g(log_mu);
  log_text += buf;
  return 0;
}

// Closing ends a token stopped by a break, releases tokens waiting for a
// matrix that never opens, and reports the changes of a failed dirty node.
TEST_F(OpsTest, CloseAlwaysEnds) {
  MATRIX* m = open_scripted(1, 1, 3);
  set_script(m, {5}, "(brk) (peek 1)");
  int err = 0;
  MATRIX_NODE* n = get_matrix_node(&err, m, Code{0, 0}.data(), 0, nullptr, nullptr);
  EXPECT_EQ(wait_byte(n, 1), kMxCallBreak);
  close_matrix(m);
  EXPECT_TRUE(notes().empty());

  m = open_scripted(1, 1, 3);
  open_matrix(nullptr, nullptr, l_string(ascii_cm, "other"), nullptr, nullptr);
  set_script(m, {5}, R"((note (mxCH type="matrix" key="other" 0)))");
  get_matrix_node(&err, m, Code{0, 0}.data(), 0, nullptr, nullptr);
  wait_for([] { return ev.notes.size() == 1; });
  close_matrix(search_matrix(&err, nullptr, nullptr, l_string(ascii_cm, "other"), nullptr));
  wait_for([] { return ev.notes.size() == 2; });  // waits for the "other" it opened again
  close_all_matrix();
  std::vector<std::string> s = notes();
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[1], R"(error 8001160a ("Application System error" 1))");
  EXPECT_EQ(s[2], R"(error 80040501 "invalid matrix loading")");
  EXPECT_EQ(matrices_root.mx_next, &matrices_root);
  EXPECT_EQ(nd_cnt, 0);

  // A dirty node that is loading keeps its mark until it is ready and saved.
  m = open_scripted(1, 1, 3);
  n = ready_node(m, {1, 2});
  set_script(m, {16}, R"((mxFinish normal-jump-status="MS_OK"))");
  std::thread closer;
  {
    WorkerGate gate;
    ASSERT_EQ(set_channel_sexp(n, 0, get_integer(9, nullptr)), 1);
    lock_task(matrix_lock);
    n->status = kMsLoading;
    _matrix_trigger_access(n, 15, 0);
    unlock_task(matrix_lock, "test");
    closer = std::thread([m] { close_matrix(m); });
  }
  {
    BlockingRegion blocking;
    closer.join();
  }
  EXPECT_EQ(ev.saved[Code({1, 2})], 9);

  m = open_scripted(1, 1, 3, {}, "k5");
  n = ready_node(m, {1, 0});
  set_script(m, {10}, R"((mxFinish err-jump-status="MS_EDIT_ERR_1") (mxSet 0 (list (quote data) 0 7)) (mxCH 99))");
  matrix_trigger_access(n, 9, 0);
  wait_idle(m);
  ASSERT_EQ(n->status, kMsEditErr1);
  ASSERT_NE(n->dirty_file_time, 0u);
  LOG_VPRINTF old = __log_vprintf.exchange(capture_log);
  close_matrix(m);
  __log_vprintf.store(old);
  EXPECT_NE(log_text.find("matrix k5: changes of node (1 0) not saved (status 5)"), std::string::npos) << log_text;
  EXPECT_EQ(ev.saves.count(Code{1, 0}), 0u);
}

}  // namespace

// A node operation refused for memory part way leaves nothing behind: the
// dim codes of the children it fires and the bytes a coder made are held
// across the values made from them by owners, which the unwind frees (the
// leak check at the end of the process sees any left). The script's thread
// holds all but a little of its share of the heap, less than each form
// makes after its start: the children's codes as lists, the block.
TEST_F(OpsTest, ARefusalPartWayLeavesNoDimCodeNorBlock) {
  constexpr uint64_t kBudget = uint64_t{64} << 20, kRoom = uint64_t{64} << 10;
  bind_block_test_prims();
  MATRIX* m = open_scripted(2, 5, 2);
  MATRIX_NODE* top = ready_node(m, {1, 0, 0});
  ASSERT_TRUE(top);
  for (int64_t x = 0; x < 32; ++x)
    for (int64_t y = 0; y < 32; ++y) ASSERT_TRUE(ready_node(m, {0, x, y}));  // 1,024 children, none loading
  allset_dim_code_index(top, 0);
  for (const char* form : {R"((mxTrigger access="MI_EDIT_2" type="children"))",
                           R"((mxCompressZ opt="0" (list (quote data) (list 1 0 0) big)))"}) {
    SCOPED_TRACE(form);
    NodeScript script(top);
    script.let("big", script.eval("(sample 22 1024 1024 1)"));  // 1 MiB that does not compress
    const std::string r = with_little_room(kBudget, kRoom, [&] { return shown(script.eval(form)); });
    EXPECT_NE(r.find("(\"memory\")"), std::string::npos) << r;
    // The nodes the script's token holds, as the worker's end of a token
    // gives them back.
    auto* t = static_cast<MATRIX_TOKEN*>(get_env_work(script.env));
    MatrixLocked locked;
    while (MATRIX_LIST* e = t->locked_node_list) _unlock_node(e->node, t);
  }
  wait_idle(m);
  close_matrix(m);
}
