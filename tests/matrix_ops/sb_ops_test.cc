// The structure-block operations on a node of a matrix file: a structure
// installed, written back only when it is newer than the bytes, rebuilt
// from the bytes, and the bytes kept in the file. A test plug-in counts
// its calls and fails on request.
#include <atomic>

#include "block_test_util.h"
#include "matrix/struct_block.h"
#include "ops_test_util.h"
#include "support/temp_dir.h"
#include "zu/core_init.h"
#include "zu/eval.h"

namespace {

// The test plug-in: its content is a text, its bytes the text's bytes.
struct TestSb {
  MX_STRUCT_BLOCK h;
  std::string content;
};
struct Calls {
  std::atomic<int> made{0}, freed{0}, saves{0}, loads{0};
  std::atomic<int> fail_saves{0};  // so many struct2block calls fail
  std::atomic<bool> fail_loads{false};
} calls;

MX_STRUCT_BLOCK_TBL test_tbl;

MX_STRUCT_BLOCK* test_new(MX_SB_NEW* n, void*) {
  auto* b = new TestSb;
  if (!mx_sb_place(&b->h, n, &test_tbl)) {
    delete b;
    return nullptr;
  }
  ++calls.made;
  return &b->h;
}
void test_free(MX_STRUCT_BLOCK* b) {
  ++calls.freed;
  delete reinterpret_cast<TestSb*>(b);
}
int test_load(MX_STRUCT_BLOCK* b, MATRIX_ALLOC_BLOCK_PARAM* p) {
  ++calls.loads;
  if (calls.fail_loads) return -1;
  reinterpret_cast<TestSb*>(b)->content.assign(static_cast<const char*>(p->block), static_cast<size_t>(p->size));
  return 0;
}
MATRIX_ALLOC_BLOCK_PARAM* test_save(MX_STRUCT_BLOCK* b) {
  ++calls.saves;
  if (calls.fail_saves > 0) {
    --calls.fail_saves;
    return nullptr;
  }
  const std::string& c = reinterpret_cast<TestSb*>(b)->content;
  return mx_sb_new_block(c.data(), static_cast<int64_t>(c.size()));
}

// (sbTest): a test structure for the channel ___channel names.
ZU_SEXP* zu_sbTest(ZUISP_ENV* env, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* ch = eval(env, get_symbol_ascii("___channel"));
  auto* t = static_cast<MATRIX_TOKEN*>(get_env_work(env));
  MX_SB_NEW place{nullptr, t->process_node, static_cast<int>(ch->integer.num)};
  return mx_sb_hand_out(test_new(&place, nullptr));
}

class SbOps : public OpsTest {
 protected:
  void SetUp() override {
    bind_block_test_prims();
    static bool bound = false;
    if (!std::exchange(bound, true)) {
      test_tbl = MX_STRUCT_BLOCK_TBL{test_new, test_free, nullptr, test_load, test_save, nullptr};
      static const QN_PRIM_DEF prims[] = {{"sbTest", zu_sbTest, 1, 1, 1, 0}, {}};
      bind_prims(matrix_zu_env, prims);
    }
    calls.fail_saves = 0;
    calls.fail_loads = false;
    open();
  }
  void TearDown() override {
    if (m_) close_matrix(m_);
  }
  // Channel 0 blocks kept in the file, 1 blocks not kept, 2 uint8_v.
  void open() {
    m_ = open_file_matrix(dir_.at("sb.mx"), {{&mx_type_block, kMxChSend | kMxChFile, nullptr, 0},
                                             {&mx_type_block, kMxChSend, nullptr, 0},
                                             {&mx_type_uint8_v, kMxChSend | kMxChFile, nullptr, 0}});
    ASSERT_TRUE(m_);
  }
  std::vector<std::string> run(const std::string& script) { return run_edit(m_, kAt, script); }
  MATRIX_NODE* node() { return node_at(m_, kAt); }
  // Changes the test structure of channel ch as a plug-in command would:
  // new content, and its stamp made the newer one.
  void change(int ch, const std::string& content) {
    MX_STRUCT_BLOCK* b = get_channel_struct_block(node(), ch);
    ASSERT_TRUE(b);
    reinterpret_cast<TestSb*>(b)->content = content;
    get_matrix_update_time(node(), ch, 1);
    matrix_node_channel_unlock(node(), 0);
  }
  std::string content(int ch) {
    MX_STRUCT_BLOCK* b = get_channel_struct_block(node(), ch);
    if (!b) return "(none)";
    std::string c = reinterpret_cast<TestSb*>(b)->content;
    matrix_node_channel_unlock(node(), 0);
    return c;
  }
  void* data(int ch) { return node()->channel[ch].data; }
  bool dirty() {
    MATRIX_NODE* n = node();
    lock_task(matrix_lock);
    bool d = n->dirty_file_time != 0;
    unlock_task(matrix_lock, "sb test");
    return d;
  }
  int stamps(int ch) { return get_matrix_update_time(node(), ch, -2); }

  const Code kAt{0, 512, 0};
  TempDir dir_{"sbops"};
  MATRIX* m_ = nullptr;
};

// A structure set, written back, found unchanged, found equal, failing
// once and retried, and the bytes there after the file was opened again.
TEST_F(SbOps, SaveWritesOnlyNewerStructures) {
  EXPECT_EQ(run(R"((note (mxSetSB channel="0" (sbTest))) (note (mxSetSB channel="1" (sbPrimitive))) (mxSave))"),
            (std::vector<std::string>{"()", "()"}));
  ASSERT_FALSE(dirty());
  change(0, "hello");
  EXPECT_EQ(run(R"((note (mxSaveSB)) (note (hex (mxCH 0))))"), (std::vector<std::string>{"()", "\"68656c6c6f\""}));
  EXPECT_TRUE(dirty());
  EXPECT_EQ(stamps(0), -1);
  run("(mxSave)");
  ASSERT_FALSE(dirty());

  // Unchanged: struct2block is not even asked.
  void* kept = data(0);
  int saves = calls.saves;
  EXPECT_EQ(run("(note (mxSaveSB))"), std::vector<std::string>{"()"});
  EXPECT_EQ(calls.saves, saves);
  EXPECT_EQ(data(0), kept);
  EXPECT_FALSE(dirty());

  // Equal bytes: the old block stays and nothing is marked.
  change(0, "hello");
  EXPECT_EQ(run("(note (mxSaveSB))"), std::vector<std::string>{"()"});
  EXPECT_EQ(calls.saves, saves + 1);
  EXPECT_EQ(data(0), kept);
  EXPECT_FALSE(dirty());
  EXPECT_EQ(stamps(0), -1);

  // A failed struct2block leaves the stamps apart: the next save writes.
  change(0, "world");
  calls.fail_saves = 1;
  EXPECT_EQ(run("(note (mxSaveSB)) (note (hex (mxCH 0)))"),
            std::vector<std::string>{R"(error 80040503 ("invalid parameter in mxSaveSB" 0))"});
  EXPECT_EQ(stamps(0), 1);
  EXPECT_FALSE(dirty());
  EXPECT_EQ(run("(note (mxSaveSB)) (note (hex (mxCH 0))) (mxSave)"),
            (std::vector<std::string>{"()", "\"776f726c64\""}));
  EXPECT_EQ(stamps(0), -1);

  close_matrix(m_);
  open();
  EXPECT_EQ(run("(note (hex (mxCH 0)))"), std::vector<std::string>{"\"776f726c64\""});
}

// Loading rebuilds every structure that has bytes to read, or the one
// channel named; a refusal stops there.
TEST_F(SbOps, LoadRebuildsFromTheBytes) {
  run(R"((mxSet 0 (list 0 0 (bytes "616263"))) (mxSetSB channel="0" (sbTest)) (mxSetSB channel="1" (sbTest)))");
  int loads = calls.loads;
  EXPECT_EQ(run(R"((note (mxLoadSB)))"), std::vector<std::string>{"()"});
  EXPECT_EQ(calls.loads, loads + 1) << "channel 1 has no bytes";
  EXPECT_EQ(content(0), "abc");
  EXPECT_EQ(stamps(0), -1);
  run(R"((mxSet 0 (list 0 0 (bytes "78797a"))))");
  EXPECT_EQ(stamps(0), 0) << "the structure is older than the bytes";
  EXPECT_EQ(run(R"((note (mxLoadSB channel="1")) (note (mxLoadSB channel="3")) (note (mxLoadSB channel="-1")))"),
            (std::vector<std::string>{"()", R"(error 80040503 ("invalid parameter in mxLoadSB" channel-range))"}));
  EXPECT_EQ(content(0), "abc");
  calls.fail_loads = true;
  EXPECT_EQ(run(R"((note (mxLoadSB channel="0")))"),
            std::vector<std::string>{R"(error 80040503 ("invalid parameter in mxLoadSB" -1))"});
  EXPECT_EQ(stamps(0), 0) << "the structure is still the older";
}

// mxSetSB's refusals, and a structure replaced through its own free_sb.
TEST_F(SbOps, SetRefusesAndReplaces) {
  const std::string head = R"(error 80040503 ("invalid parameter in mxSetSB CH = " )";
  run(R"(
    (peek (mxSetSB (sbTest)))
    (peek (mxSetSB channel="5" (sbTest)))
    (peek (mxSetSB channel="2" (sbTest)))
    (peek (mxSetSB channel="0" 5))
    (peek (mxSetSB channel="0" (zeros 3)))
    (peek (mxSetSB channel="0" (mxCompressZ opt="10" (list 0 0 (zeros 1)))))
    (note 0))");
  std::vector<std::string> all = notes();
  ASSERT_GE(all.size(), 7u);
  std::vector<std::string> tail(all.end() - 7, all.end());
  EXPECT_EQ(tail, (std::vector<std::string>{head + R"(-1 "attr channel is required"))",
                                            head + R"(5 "channel data boundary error"))",
                                            head + R"(2 "channel data type is not match to block type"))",
                                            "error 80030806 ()", "error 80030806 ()",
                                            R"(error 80040503 ("invalid parameter in mxCompressZ" zlib-level))", "0"}));
  int freed = calls.freed;
  run(R"((mxSetSB channel="0" (sbTest)) (mxSetSB channel="0" (sbTest)))");
  EXPECT_EQ(calls.freed, freed + 1);
}

}  // namespace
