// The entry table and qmxCreate from inside the process: the cache fields
// of an entry, ids, reading a file in each phase, the current mode, scripts
// kept across collections, entries shared by threads while one closes, and
// the program's end while commands are under way; then the commands over
// entries where only the inside shows: scans and copies over entries whose
// caches hold a node, and the status of a matrix without a file.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <optional>
#include <thread>

#include <unistd.h>

#include "agent/agent.h"
#include "agent/mx_entry.h"
#include "agent/qmx_status.h"
#include "base/alloc.h"
#include "matrix/dim_code.h"
#include "matrix/mx_file.h"
#include "matrix/node.h"
#include "matrix_ops/matrix_ops.h"
#include "matrix_ops/plot_field.h"
#include "runtime/peer_read.h"
#include "runtime/services.h"
#include "runtime/zu_init.h"
#include "stream/stream.h"
#include "support/runtime/lock_service.h"
#include "support/temp_dir.h"
#include "support/zu/little_room.h"
#include "text/convert.h"
#include "zu/eval.h"
#include "zu/peer.h"
#include "zu/printer.h"

namespace {

void agent_init() {
  init_zu();
  set_break_check_hook(nullptr);
  set_matrix_gc_hooks();
  install_matrix_ops();
  init_matrix();
  init_qmx_function(qnlisp_top_env0, qnlisp_top_env1);
}

std::string printed(ZU_SEXP* s) {
  STREAM* st = s_open_string_write(utf8_cm);
  print_sexp(st, s, 0);
  std::string out = s_get_string(st);
  d_s_close(st);
  return out;
}

// The printed value of the last form of a script run in env1.
std::string run(const std::string& text) {
  ZuThreadScope scope("run");
  ZU_SEXP* forms = sexp_commands(utf8_cm, text.c_str(), nullptr);
  ZU_SEXP* v = nullptr;
  for (ZU_SEXP* f = forms; get_type(f) == ZU_TYPE_LIST; f = f->pair.cdr) v = eval(qnlisp_top_env1, f->pair.car);
  return printed(v);
}

// A 64 x 32 matrix of 8 x 8 nodes over 7 levels, channel 0 int16 elements
// kept in the file, whose fetch scripts make missing nodes (unless fetch
// says otherwise) and whose save scripts store them.
// fetch: the forms of the fetch scripts.
std::string create(const std::string& path, const std::string& attrs = "",
                   const std::string& fetch = R"((mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1")
                                                (mxLoad target="file-n-create"))") {
  return run("(qmxCreate filename=\"" + path + "\" " + attrs + R"(
      (qmxMatrixParam channel_nos="2" dim="2")
      (qmxMatrixPixelSize dim="0" value="64") (qmxMatrixPixelSize dim="1" value="32")
      (qmxMatrixBlockSize dim="0" value="3") (qmxMatrixBlockSize dim="1" value="3")
      (qmxMatrixDimDivide dim="0" value="1") (qmxMatrixDimDivide dim="1" value="1")
      (qmxChannelInfo channel="0" type="int16_v" file="on")
      (qmxPhase area="3" )" + fetch + R"()
      (qmxPhase area="4" type="equ" equ="3") (qmxPhase area="5" type="equ" equ="3")
      (qmxPhase area="21" (mxSave)) (qmxPhase area="22" type="equ" equ="21")
      (qmxPhase area="23" type="equ" equ="21")))");
}

// One int16 element of channel 0 through the entry's cache: 0 or -1.
int point(MX_ENTRY* e, std::vector<int64_t> dc, int16_t* v, bool write) {
  e->p.dc = dc.data();
  e->p.data_ptrs[1] = v;
  e->p.data_ix[0] = {1, 0};
  return write ? write_mx_cache(&e->p) : read_mx_cache(&e->p);
}

std::string slot_text(MATRIX* m, int slot) {
  ZU_SEXP* s = m->cal[slot] ? static_cast<ZU_SEXP*>(m->cal[slot]->data) : nullptr;
  return s ? printed(s) : "";
}

class MxEntry : public ::testing::Test {
 protected:
  MxEntry() : scope_("mx entry test") { mx_entry_counter = 0; }
  void TearDown() override { close_all_mx_entry(); }
  // The folder is made on first use: a death test's child, which ends
  // before any destructor could remove it, makes none.
  std::string at(const char* name) {
    if (!dir_) dir_.emplace("mxentry");
    return dir_->at(name);
  }
  std::optional<TempDir> dir_;
  bool started_ = (agent_init(), true);
  ZuThreadScope scope_;
};

}  // namespace

// Typed channels only, in order, with the size code of their element
// (vectors by their element, other sizes none); then ids: rising, a closed
// id not reused while higher ones are free, wrapping to 1 past the largest
// int and skipping ids in use; one entry per matrix.
TEST_F(MxEntry, FieldsAndIds) {
  MATRIX* m = open_matrix(nullptr, l_string(std_cm, "fields"), nullptr, nullptr, nullptr);
  MATRIX_PARAM p{};
  p.channel_nos = 5;
  ASSERT_EQ(set_matrix_param(m, &p), 0);
  MATRIX_DATA_TYPE* types[] = {&mx_type_uint8, nullptr, &mx_type_double, &mx_type_string, &mx_type_int16_v};
  for (int ch : {0, 2, 3, 4}) {
    MATRIX_CHANNEL_INFO inf{types[ch], 0, nullptr, 0};
    ASSERT_EQ(set_matrix_channel_info(m, ch, &inf), 0);
  }
  MX_ENTRY* e = new_mx_entry(nullptr, m);
  ASSERT_TRUE(e);
  std::vector<std::vector<int>> got{{e->id, e->c.ds_len, e->c.gn_tree_node, e->c.gn_create, e->c.gn_wait}};
  for (int i = 0; i < e->c.ds_len; ++i) got.push_back({e->c.access_ch[i], e->p.data_ix[i].p, e->p.data_ix[i].x});
  EXPECT_EQ(got, (std::vector<std::vector<int>>{{1, 4, 0, 3, 3}, {0, 0, 0}, {2, 3, 2}, {3, 0xFFFF, 0xFFFF}, {4, 1, 4}}));
  EXPECT_EQ(new_mx_entry(nullptr, m), nullptr) << "a second entry for one matrix";
  drop_mx_entry(e);

  auto next_id = [](const char* name) {
    MX_ENTRY* n = new_mx_entry(nullptr, open_matrix(nullptr, l_string(std_cm, name), nullptr, nullptr, nullptr));
    drop_mx_entry(n);
    return n->id;
  };
  EXPECT_EQ(next_id("b"), 2);
  ASSERT_EQ(close_mx_entry(hold_mx_entry(1)), 0);
  EXPECT_EQ(next_id("c"), 3);
  mx_entry_counter = INT_MAX - 1;
  EXPECT_EQ(next_id("d"), INT_MAX);
  EXPECT_EQ(next_id("e"), 1);
  EXPECT_EQ(next_id("f"), 4);
}

// Points written at every level read back through the fixed fetch script
// (phase -1), where a node the file does not hold fails; the stored
// scripts of phases 0-2 and none for 3; one entry per name; a missing file
// gives nothing and leaves no matrix behind. On the existing file the
// current scripts come from the named stored mode (none from a mode
// without scripts, whatever the body set) and outlive forced collections.
TEST_F(MxEntry, ReadPhasesAndCurrentMode) {
  std::string path = at("r.mx");
  ASSERT_EQ(create(path, "activePhase_mode=\"server\""), "1");
  MX_ENTRY* e = use_mx_entry(1);
  EXPECT_EQ(e->mode, 0);
  for (int16_t level = 0, v = 1000; level < 7; ++level, ++v) ASSERT_EQ(point(e, {level, 3, 2}, &v, true), 0);
  done_mx_entry(e);
  EXPECT_EQ(run("(qmxClose id=\"1\")"), "()");
  L_CHAR* f = nl_copy_str(std_cm, path.c_str());
  ASSERT_TRUE(e = open_mxread(nullptr, f, nullptr, -1));
  EXPECT_EQ(open_mxread(nullptr, f, nullptr, -1), e);
  drop_mx_entry(e);
  ASSERT_EQ(lock_mx_entry(e), 0);
  for (int16_t level = 0, v = 0; level < 7; ++level) {
    EXPECT_EQ(point(e, {level, 3, 2}, &v, false), 0) << level;
    EXPECT_EQ(v, 1000 + level) << level;
  }
  int16_t v = 0;
  EXPECT_EQ(point(e, {0, 60, 30}, &v, false), -1) << "a node the file does not hold";
  EXPECT_EQ(slot_text(e->c.m, 5), slot_text(e->c.m, 3));
  EXPECT_EQ(close_mx_entry(e), 0);
  const std::string fetch = R"((([mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1"]))"
                            R"( ([mxLoad target="file-n-create"])))";
  for (int phase : {0, 1, 2, 3}) {
    ASSERT_TRUE(e = open_mxread(nullptr, f, nullptr, phase)) << phase;
    EXPECT_EQ(slot_text(e->c.m, 4) + slot_text(e->c.m, 23), phase == 1 ? fetch + "((mxSave))" : "") << phase;
    EXPECT_EQ(close_mx_entry(e), 0);
  }
  d_f_ree(f);
  const L_CHAR* missing = l_string(std_cm, at("missing.mx").c_str());
  EXPECT_EQ(open_mxread(nullptr, missing, nullptr, 0), nullptr);
  lock_task(matrix_lock);
  EXPECT_EQ(_search_matrix(nullptr, missing, nullptr), nullptr);
  unlock_task(matrix_lock, "test");

  // Each reading took an id: 2 for phase -1, 3 to 6 for the phases.
  ASSERT_EQ(create(path, "currentPhase_mode=\"server\""), "7");
  e = search_mx_entry_by_id(7);
  EXPECT_EQ(e->mode, 1);
  gc_collect_now();
  gc_collect_now();
  EXPECT_EQ(slot_text(e->c.m, 3) + slot_text(e->c.m, 22), fetch + "((mxSave))");
  EXPECT_EQ(run("(qmxClose id=\"7\")"), "()");
  ASSERT_EQ(create(path, "currentPhase_mode=\"client\""), "8");
  e = search_mx_entry_by_id(8);
  for (int slot = 0; slot < kMxScriptSlots; ++slot) EXPECT_EQ(slot_text(e->c.m, slot), "") << slot;
}

// Two threads read through one entry, one command at a time; a close that
// comes while a reader holds the entry unlinks it at once and waits for
// the reader before it closes the matrix.
TEST_F(MxEntry, SharedAndClosedWhileInUse) {
  ASSERT_EQ(create(at("s.mx")), "1");
  MX_ENTRY* w = use_mx_entry(1);
  for (int16_t x = 0; x < 64; ++x) ASSERT_EQ(point(w, {0, x, x / 2}, &x, true), 0);
  done_mx_entry(w);
  std::atomic<int> bad{0};
  auto reader = [&bad](int from) {
    ZuThreadScope scope("reader");
    for (int round = 0; round < 200; ++round) {
      MX_ENTRY* e = use_mx_entry(1);
      int16_t x = static_cast<int16_t>((from + round) % 64), v = -1;
      if (point(e, {0, x, x / 2}, &v, false) != 0 || v != x) ++bad;
      done_mx_entry(e);
    }
  };
  {
    std::thread t1(reader, 0), t2(reader, 17);
    BlockingRegion region;  // the readers may collect meanwhile
    t1.join();
    t2.join();
  }
  EXPECT_EQ(bad, 0);

  MX_ENTRY* held = use_mx_entry(1);
  std::atomic<bool> closed{false};
  std::thread closer([&closed] {
    EXPECT_EQ(run("(qmxClose id=\"1\")"), "()");
    closed = true;
  });
  while (search_mx_entry_by_id(1)) gc_safepoint();
  EXPECT_EQ(use_mx_entry(1), nullptr);
  int16_t v = -1;
  EXPECT_EQ(point(held, {0, 9, 4}, &v, false), 0);
  EXPECT_EQ(v, 9);
  EXPECT_FALSE(closed) << "the close did not wait for the command";
  done_mx_entry(held);
  {
    BlockingRegion region;
    closer.join();
  }
  EXPECT_TRUE(closed);
}

// A node that an entry's cache keeps between commands holds its channel
// locks: a scan firing save scripts, and a copy out of or into that
// matrix, would wait for them for ever unless the command releases it.
TEST_F(MxEntry, ScanAndCopyWhileACacheHoldsANode) {
  ASSERT_EQ(create(at("c.mx")), "1");
  ASSERT_EQ(create(at("d.mx")), "2");
  for (int id : {1, 2}) {
    MX_ENTRY* e = use_mx_entry(id);
    for (int16_t x = 0; x < 64; x += 9) ASSERT_EQ(point(e, {0, x, 5}, &x, true), 0);
    done_mx_entry(e);
    ASSERT_TRUE(e->c.n) << "the cache keeps its node";
  }
  EXPECT_EQ(run(R"((qmxScan id="1" area="21" (list 0 0 0) (list 0 63 31)))"), "0");
  EXPECT_EQ(run(R"((qmxCopy src="1" dest="2" 0))"), "()");
  MX_ENTRY* d = use_mx_entry(2);
  int16_t v = -1;
  EXPECT_EQ(point(d, {0, 27, 5}, &v, false), 0);
  EXPECT_EQ(v, 27);
  done_mx_entry(d);
}

// A named lock refused to a command is not asked for again while that
// command lasts; what runs once it has ended (saves and loads it left
// behind, the flush of changes) asks anew, and opens the file once the
// lock can be had.
TEST_F(MxEntry, ALockRefusedToACommandIsAskedAnewAfterIt) {
  ASSERT_EQ(create(at("l.mx")), "1");
  MX_ENTRY* e = search_mx_entry_by_id(1);
  MATRIX* m = e->c.m;
  mx_file_lock_event(0, m);  // closed as the file closer closes it
  ASSERT_EQ(get_mx_file_pfd(m), nullptr);
  // The client asks up to three times before it takes a refusal.
  LockService service({"--refuse=3"});
  ASSERT_EQ(use_mx_entry(1), e);  // a command begins
  EXPECT_EQ(start_file_access(m), kMxFileBusy);
  EXPECT_EQ(start_file_access(m), kMxFileBusy) << "asked again by the same command";
  done_mx_entry(e);
  const int r = start_file_access(m);
  EXPECT_EQ(r, 0) << "not asked anew after the command";
  if (r == 0) {
    EXPECT_NE(get_mx_file_pfd(m), nullptr);
    finish_file_access(m, 0);
    mx_file_lock_event(0, m);  // the lock given back while the service lives
  }
}

// A matrix without a file has no stored modes to read: each shows as one
// element saying so, named by its mode in the full view only.
TEST_F(MxEntry, StatusOfUnreadableModes) {
  MATRIX* m = open_matrix(nullptr, nullptr, l_string(std_cm, "no file"), nullptr, nullptr);
  MATRIX_PARAM p{};
  p.channel_nos = 1;
  p.dim = 1;
  p.pri_area[4] = 2;
  ASSERT_EQ(set_matrix_param(m, &p), 0);
  ASSERT_EQ(set_matrix_pixel_size(m, 0, 16), 0);
  MX_ENTRY* e = new_mx_entry(nullptr, m);
  ASSERT_TRUE(e);
  const std::string error = "error=\"cannot access the mode record\"";
  std::string full = printed(get_mx_status(1, e));
  std::string want = "([qmxMatrixParam channel_nos=\"1\" dim=\"1\" total_levels=\"0\" modify_time=\"0\"] "
                     "([qmxPriority area=\"4\" pri=\"0x2\"])";
  for (std::string mode : {"client", "server", "direct"})
    want += " ([qmxPriority mode=\"" + mode + "\" " + error + "])";
  EXPECT_NE(full.find(want + ")"), std::string::npos) << full;
  want.clear();
  for (std::string mode : {"direct", "server", "client"}) want += " ([qmxPhase mode=\"" + mode + "\" " + error + "])";
  EXPECT_NE(full.find(want + "))"), std::string::npos) << full;
  std::string peer = printed(get_mx_status(0, e));
  EXPECT_NE(peer.find("] ([qmxPriority " + error + "]))"), std::string::npos) << peer;
  EXPECT_NE(peer.find(" ([qmxPhase " + error + "])))"), std::string::npos) << peer;
  EXPECT_EQ(peer.find("mode="), std::string::npos) << peer;
  EXPECT_EQ(close_mx_entry(e), 0);
}

using MxEntryDeathTest = MxEntry;

// The whole status runs under the entry's command lock: a caller without it
// stops, naming the entry; the lock's holder gets the status.
TEST_F(MxEntryDeathTest, StatusStopsACallerWithoutTheCommandLock) {
  if (!QNMX_LOCK_CHECK) GTEST_SKIP() << "checked in debug and sanitizer builds";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  MATRIX* m = open_matrix(nullptr, nullptr, l_string(std_cm, "no file"), nullptr, nullptr);
  MATRIX_PARAM p{};
  p.channel_nos = 1;
  p.dim = 1;
  ASSERT_EQ(set_matrix_param(m, &p), 0);
  MX_ENTRY* e = new_mx_entry(nullptr, m);
  ASSERT_TRUE(e);
  EXPECT_EXIT(_get_mx_status(1, e), testing::ExitedWithCode(1),
              "the command lock of entry [0-9]+ is not held at .*qmx_status\\.cc");
  ASSERT_EQ(lock_mx_entry(e), 0);
  EXPECT_NE(printed(_get_mx_status(1, e)).find("qmxMatrixParam"), std::string::npos);
  unlock_mx_entry(e);
  EXPECT_EQ(close_mx_entry(e), 0);
}

// The program's end: while an opening is under way nothing is closed yet;
// the opening's entry is refused and its opener closes the matrix itself;
// then the entries close, each after its user is done (who still reads
// through its cache meanwhile), then every matrix; no opening begins after,
// and a second end returns once the first is done.
TEST_F(MxEntry, TheEndWaitsForOpeningsAndUsers) {
  ASSERT_EQ(create(at("u.mx")), "1");
  MX_ENTRY* user = use_mx_entry(1);
  int16_t v = 44;
  ASSERT_EQ(point(user, {0, 5, 5}, &v, true), 0);
  ASSERT_EQ(begin_mx_open(), 0);
  lock_task(matrix_lock);
  MATRIX* opened = _open_matrix(nullptr, l_string(std_cm, at("o.mx").c_str()), nullptr, nullptr, nullptr);
  _hold_matrix(opened);
  unlock_task(matrix_lock, "test");
  std::atomic<bool> ended{false};
  std::thread ender([&ended] {
    close_all_mx();
    ended = true;
  });
  while (begin_mx_open() == 0) {  // until the end has begun
    end_mx_open();
    gc_safepoint();
  }
  EXPECT_EQ(search_mx_entry_by_id(1), user) << "closed while an opening was under way";
  auto* made = static_cast<MX_ENTRY*>(d_calloc(sizeof(MX_ENTRY), 1));
  made->c.m = opened;
  EXPECT_EQ(new_mx_entry(made, opened), nullptr);
  d_f_ree(made);
  close_matrix(opened);
  end_mx_open();
  while (search_mx_entry_by_id(1)) gc_safepoint();
  v = 0;
  EXPECT_EQ(point(user, {0, 5, 5}, &v, false), 0);
  EXPECT_EQ(v, 44);
  EXPECT_FALSE(ended) << "the end did not wait for the entry's user";
  done_mx_entry(user);
  {
    BlockingRegion region;
    ender.join();
  }
  EXPECT_TRUE(ended);
  EXPECT_EQ(matrices_root.mx_next, &matrices_root);
  EXPECT_EQ(begin_mx_open(), -1);
  EXPECT_NE(run("(qmxCreate filename=\"late.mx\")").find("\"qmxCreate\" \"the program is ending\")"),
            std::string::npos);
  close_all_mx();  // once: returns at once
}

// A field handle a script keeps holds its descriptions (in column order),
// their settings and initial values through collections; a refused
// description is not added.
TEST_F(MxEntry, FieldHandlesKeepTheirDescriptionsThroughACollection) {
  ASSERT_EQ(create(at("f.mx")), "1");
  run(R"((define h (qmxPgPlotField id="1"))
         (qmxPgPlotField h merge-type="32" label="1" "UTF-8" (quote (list ___convert)))
         (qmxPgPlotField h merge-type="50" csv="B" label="2" 1 2 -1 3)
         (qmxPgPlotField h merge-type="64" csv="a" label="3" 7 255))");
  EXPECT_NE(run(R"((qmxPgPlotField id="9"))").find("invalid id"), std::string::npos);
  EXPECT_NE(run(R"((qmxPgPlotField h merge-type="49" 1 1.0 0))").find("initialize"), std::string::npos);
  gc_collect_now();
  gc_collect_now();
  ZU_SEXP* h = nullptr;
  ASSERT_TRUE(lookup_env_atom(qnlisp_top_env1, get_symbol_ascii("h")->symbol.atom, 0, &h));
  ASSERT_EQ(get_type(h), ZU_TYPE_POINTER);
  auto* fp = static_cast<FD_OPT_PTR*>(h->ptr.ptr);
  FD_OPT* str = fp->opt;  // no column first, then columns a (0) and B (1)
  ASSERT_TRUE(str && str->h.next && str->h.next->h.next);
  FD_OPT* rgba = str->h.next;
  EXPECT_EQ(std::vector<int>({str->h.merge_type, rgba->h.merge_type, rgba->h.next->h.merge_type}),
            std::vector<int>({kFdStr, kFdRgba, kFdIntAvg}));
  EXPECT_EQ(rgba->h.next->h.csv_label, 1);
  EXPECT_EQ(rgba->h.next->h.next, nullptr);
  EXPECT_EQ(fp->last_label, 3);
  EXPECT_EQ(rgba->h.init_sexp->integer.num, 255);
  IP_FIELD f{};  // the conversion expression outlived the collections
  ASSERT_EQ(fd_row(kFdStr)->initial(&f, get_integer(12, nullptr), str, 0), 0);
  EXPECT_STREQ(f.d.str, "(12)");
  d_f_ree(f.d.str);
}

namespace {

// Where a racing process points the links a peer's reads name once the
// read was judged: link.EXT comes to lead to out.EXT in that folder.
std::string swapped_to;

void point_link(const std::string& link, const std::string& target) {
  const std::string fresh = link + ".new";
  ASSERT_EQ(symlink(target.c_str(), fresh.c_str()), 0);
  ASSERT_EQ(rename(fresh.c_str(), link.c_str()), 0);
}

void swap_link(const char* path) {
  const std::filesystem::path p(path);
  if (p.stem() == "link") point_link(path, swapped_to + "/out" + p.extension().string());
}

}  // namespace

// A peer's read by path gets the file that was judged, never the one a link
// swapped in between leads to (a file outside the working folder here):
// pictures are read from the judged file, and a matrix whose name now
// leads elsewhere, by the command or by a node script run for the peer,
// is refused. The agent's own read follows the link as it is.
TEST_F(MxEntry, APeersReadByPathReadsTheFileThatWasJudged) {
  const std::string work = at("work"), out = at("out");
  ASSERT_TRUE(std::filesystem::create_directories(work) && std::filesystem::create_directories(out));
  const std::string direct = "activePhase_mode=\"direct\"";  // the scripts a read by path runs
  ASSERT_EQ(create(work + "/in.mx", direct), "1");
  ASSERT_EQ(create(out + "/out.mx", direct), "2");
  ASSERT_EQ(create(work + "/host.mx", direct,
                   R"((mxFinish normal-jump-status="MS_OK") (mxSet 0 (mxCH type="matrix" filename="link.mx" 0)))"),
            "3");
  for (int16_t id = 1, v = 111; id <= 2; ++id, v = 222) {
    MX_ENTRY* e = use_mx_entry(id);
    ASSERT_EQ(point(e, {0, 1, 1}, &v, true), 0);
    done_mx_entry(e);
  }
  for (const char* id : {"1", "2", "3"}) ASSERT_EQ(run(std::string("(qmxClose id=\"") + id + "\")"), "()");
  std::ofstream(work + "/in.ppm") << "P6\n4 4\n255\n" << std::string(48, '\0');
  std::ofstream(out + "/out.ppm") << "P6\n8 8\n255\n" << std::string(192, '\0');
  const std::filesystem::path was = std::filesystem::current_path();
  std::filesystem::current_path(work);
  point_link(work + "/link.mx", out + "/out.mx");
  EXPECT_NE(run(R"((qmxGetPoint "link.mx" (quote (0 1 1))))").find("222"), std::string::npos) << "the agent's";
  close_all_mx_entry();
  swapped_to = out;
  set_peer_read_judged_hook(swap_link);
  const std::string refused = "\"not this peer's own, refused\"";
  struct Case {
    const char* form;
    std::string want;  // the whole answer, or a part of an error
  } const cases[] = {
      {R"((qmxPNMStatus "link.ppm"))", "(qmxPNMStatus \"P6\" 4 4 255)"},
      {R"((qmxStatus "link.mx"))", refused},
      {R"((qmxGetPoint "link.mx" (quote (0 1 1))))", refused},
      {R"((qmxGetPoint "host.mx" (quote (0 1 1))))", "#error("},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.form);
    point_link(work + "/link.ppm", "in.ppm");
    point_link(work + "/link.mx", "in.mx");
    const std::string got = [&] {
      EvalOriginScope peer(peer_origin(0x7F000002, 7));
      return run(c.form);
    }();
    EXPECT_EQ(got.find("222"), std::string::npos) << got;
    EXPECT_EQ(got.find("8 8"), std::string::npos) << got;
    if (c.want.front() == '(') EXPECT_EQ(got, c.want);
    else EXPECT_NE(got.find(c.want), std::string::npos) << got;
  }
  set_peer_read_judged_hook(nullptr);
  std::filesystem::current_path(was);
}

// The status of a node refused for memory part way, while it lists the
// node's children, leaves none of their dim codes behind (the leak check
// at the end of the process sees any left): the command's thread holds all
// but a little of its share of the heap, less than the list of 1,024
// children takes.
TEST_F(MxEntry, ANodeStatusRefusedPartWayLeavesNoChildCode) {
  constexpr uint64_t kBudget = uint64_t{64} << 20, kRoom = uint64_t{64} << 10;
  const std::string path = at("kids.mx");
  ASSERT_EQ(run("(qmxCreate filename=\"" + path + R"(" (qmxMatrixParam channel_nos="1" dim="2")
      (qmxMatrixPixelSize dim="0" value="1024") (qmxMatrixPixelSize dim="1" value="1024")
      (qmxMatrixBlockSize dim="0" value="5") (qmxMatrixBlockSize dim="1" value="5")
      (qmxMatrixDimDivide dim="0" value="5") (qmxMatrixDimDivide dim="1" value="5")
      (qmxChannelInfo channel="0" type="int16_v" file="on")
      (qmxPhase area="3" (mxFinish normal-jump-status="MS_OK")) (qmxPhase area="4" type="equ" equ="3")
      (qmxPhase area="5" type="equ" equ="3")))"),
            "1");
  MX_ENTRY* e = use_mx_entry(1);
  int err = 0;
  MATRIX_NODE* top = get_matrix_node_wait(&err, e->c.m, std::vector<int64_t>{1, 0, 0}.data(), 0);
  ASSERT_TRUE(top && err == 0) << err;
  allset_dim_code_index(top, 0);
  unlock_node(top, nullptr);
  done_mx_entry(e);
  const std::string r = with_little_room(kBudget, kRoom, [&] {
    return run("(qmxGetPoint mode=\"node\" \"" + path + "\" (quote ((1 0 0))))");
  });
  EXPECT_NE(r.find("(\"memory\")"), std::string::npos) << r.substr(0, 300);
}
