// Writers killed at random moments. A child process writes, frees and
// rewrites records and changes a tree, with a checkpoint now and then (the
// tree's records flushed and the page cache written back, or a close and a
// reopen), and is killed with SIGKILL. Every file must open for reading,
// hold every record of its last checkpoint that was not touched since,
// recover when opened for writing, take new work, close cleanly and pass
// the independent checker. The split of what recovery had to do is
// printed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "base/file.h"
#include "store/favt64.h"
#include "store/l_favt64.h"
#include "store_test_util.h"
#include "support/child.h"

namespace {

struct Live {
  uint64_t m;
  uint32_t salt;
};

// The checkpoint log: written whole beside the file and renamed into place
// once the checkpoint is on disk. Touches since (frees, rewrites, deleted
// keys) go to an append-only file before they happen.
struct Checkpoint {
  std::map<uint64_t, Live> records;
  uint64_t root = 0;
  std::set<uint64_t> keys;
};

void save_checkpoint(const std::string& path, const Checkpoint& c) {
  std::string tmp = path + ".tmp";
  {
    std::ofstream f(tmp, std::ios::trunc);
    f << c.root << ' ' << c.records.size();
    for (auto& [at, l] : c.records) f << ' ' << at << ' ' << l.m << ' ' << l.salt;
    f << ' ' << c.keys.size();
    for (uint64_t k : c.keys) f << ' ' << k;
    if (!f.flush()) _exit(3);
  }
  if (u_rename(tmp.c_str(), path.c_str()) < 0) _exit(3);
}

bool load_checkpoint(const std::string& path, Checkpoint* c) {
  std::ifstream f(path);
  uint64_t n = 0, at, m, k;
  uint32_t salt;
  if (!(f >> c->root >> n)) return false;
  while (n-- > 0 && f >> at >> m >> salt) c->records[at] = Live{m, salt};
  for (f >> n; n-- > 0 && f >> k;) c->keys.insert(k);
  return !f.fail();
}

// The writer, run as a child body: works until it is killed.
[[noreturn]] void writer(const std::string& file, uint32_t seed) {
  init_endian();
  init_l_favt64();
  std::mt19937 rng(seed);
  std::string log = file + ".log", touched = file + ".touched";
  int tfd = u_open64((touched + ".tmp").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
  // Its name tells the test that the writer is at work.
  if (tfd < 0 || u_rename((touched + ".tmp").c_str(), touched.c_str()) < 0) _exit(3);
  auto touch = [&](uint64_t tag) {
    uint8_t x[8];
    store_be64(x, tag);
    if (u_write_full(tfd, x, 8) != 8) _exit(3);
  };
  Checkpoint cur;
  PDB64* p = nullptr;
  FAVT64_ROOT* r = nullptr;
  auto open_file = [&]() {
    p = open_filespace64(file.c_str(), O_RDWR, 0644, kPdb64WithFreeList, 31, nullptr);
    if (!p) _exit(4);
    int err = 0;
    r = cur.root ? get_root64(&err, p, cur.root, key64_endian) : favt64_alloc_root(p, 0x401, key64_endian);
    if (!r) _exit(5);
    cur.root = r->h.fofs;
    favt64_lock(r);
  };
  open_file();
  uint32_t salt = seed * 1000;
  for (int until = 0;; --until) {
    uint32_t op = rng() % 100;
    if (op < 40 || cur.records.size() < 20) {
      // Long records are appended past the page cache when written whole.
      uint32_t size_class = rng() % 50;
      uint64_t m = size_class == 0  ? 65546 + rng() % 3000
                   : size_class < 4 ? 33000 + rng() % 30000
                                    : 24 + rng() % (rng() % 4 == 0 ? 9000 : 400);
      Bytes rec = make_record(0x0600, m, ++salt);
      int64_t at = rng() % 2 ? put_record(p, rec) : alloc_write_record(p, rec, rng() % m);
      if (at < 0) _exit(6);
      cur.records[static_cast<uint64_t>(at)] = Live{m, salt};
    } else if (op < 62) {
      auto it = std::next(cur.records.begin(), static_cast<long>(rng() % cur.records.size()));
      touch(it->first);
      if (free_filespace64(p, it->first) < 0) _exit(7);
      cur.records.erase(it);
    } else if (op < 72) {
      auto it = std::next(cur.records.begin(), static_cast<long>(rng() % cur.records.size()));
      touch(it->first);
      // Half the rewrites compare, a third of those writing what is there.
      bool compare = rng() % 2;
      if (!compare || rng() % 3) it->second.salt = ++salt;
      Bytes rec = make_record(0x0600, it->second.m, it->second.salt);
      int64_t n = compare ? rewrite_record(p, it->first, rec, rng() % it->second.m)
                          : write_filespace64f(p, it->first, as_header(rec));
      if (n < 0) _exit(8);
    } else if (op < 92 || cur.keys.empty()) {
      uint64_t k = rng() % 100000;
      FAVT64_NODE* a = favt64_alloc_node(r, &k, 8);
      int err = 0;
      FAVT64_NODE* got = a ? favt64_insert(&err, r, &r->node, a, key64_cmp, nullptr) : nullptr;
      if (!got) _exit(9);
      if (got != a) favt64_free_node(a);
      cur.keys.insert(k);
    } else {
      uint64_t k = *std::next(cur.keys.begin(), static_cast<long>(rng() % cur.keys.size()));
      touch(uint64_t{1} << 63 | k);
      int err = 0;
      FAVT64_NODE* d = favt64_delete(&err, r, &r->node, &k, key64_cmp, nullptr);
      if (!d || favt64_free_node(d) < 0) _exit(10);
      cur.keys.erase(k);
    }
    if (until > 0) continue;
    until = 20 + static_cast<int>(rng() % 300);
    if (rng() % 8 == 0) {
      favt64_unlock(r);
      if (close_filespace64(p) != 0) _exit(11);
      save_checkpoint(log, cur);
      if (u_ftruncate64(tfd, 0) < 0) _exit(3);
      open_file();
    } else {
      if (flush_filespace64(p) != 0 || fac_flush(&p->fac) != 0) _exit(12);
      save_checkpoint(log, cur);
      if (u_ftruncate64(tfd, 0) < 0) _exit(3);
    }
  }
}

QNMX_CHILD_BODY(pdb64_writer) {
  if (args.size() != 2) return 2;
  writer(args[0], static_cast<uint32_t>(std::stoul(args[1])));
}

struct Split {
  int trials = 0, clean = 0, replayed = 0, dropped = 0, cut = 0, untouched = 0, no_checkpoint = 0;
  uint64_t records_checked = 0, keys_checked = 0;
};

class CrashTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    init_l_favt64();
    set_pdb64_debug_check(0);
  }

  void run_trials(int trials, uint32_t seed) {
    Split s;
    std::vector<std::string> files;
    std::mt19937 rng(seed);
    for (int t = 0; t < trials; ++t) {
      std::string file = path("trial" + std::to_string(t) + ".db");
      PDB64* p = create("trial" + std::to_string(t) + ".db");
      ASSERT_EQ(close_filespace64(p), 0);
      Child child = start_body("pdb64_writer", {file, std::to_string(seed * 7919 + static_cast<uint32_t>(t))});
      ASSERT_TRUE(child.started());
      ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(file + ".touched"); }));
      // A random moment of its work: the delay only spreads the kills.
      usleep(static_cast<useconds_t>(rng() % 60000));
      child.kill(SIGKILL);
      ASSERT_EQ(child.wait(), 128 + SIGKILL) << "the writer stopped by itself";
      check_trial(file, &s);
      if (HasFatalFailure()) return;
      files.push_back(file);
      ++s.trials;
    }
    EXPECT_TRUE(validate_files(files, true, true));
    std::printf(
        "%d kills: %d files closed cleanly, %d recovered by replaying a journal, %d by dropping an unfinished "
        "journal, %d with a tail cut, %d needing nothing but the mark taken over; %d killed before a checkpoint; "
        "%llu checkpointed records and %llu tree keys checked\n",
        s.trials, s.clean, s.replayed, s.dropped, s.cut, s.untouched, s.no_checkpoint,
        static_cast<unsigned long long>(s.records_checked), static_cast<unsigned long long>(s.keys_checked));
  }

  void check_trial(const std::string& file, Split* s) {
    Checkpoint c;
    bool have = load_checkpoint(file + ".log", &c);
    if (!have) ++s->no_checkpoint;
    std::set<uint64_t> touched;
    Bytes tb = read_bytes(file + ".touched");
    for (size_t i = 0; i + 8 <= tb.size(); i += 8) touched.insert(load_be64(tb.data() + i));
    auto check_records = [&](PDB64* p) {
      for (auto& [at, l] : c.records) {
        if (touched.count(at)) continue;
        ASSERT_EQ(get_record(p, at), make_record(0x0600, l.m, l.salt)) << file << " record " << at;
        ++s->records_checked;
      }
    };
    int rc = 0;
    PDB64* p = open_filespace64(file.c_str(), O_RDONLY, 0644, kPdb64WithFreeList, 31, nullptr, &rc);
    ASSERT_NE(p, nullptr) << file << " does not open even for reading: " << rc;
    check_records(p);
    ASSERT_EQ(close_filespace64(p), 0);

    p = open_filespace64(file.c_str(), O_RDWR, 0644, kPdb64WithFreeList | kPdb64RecoverStale, 31, nullptr, &rc);
    ASSERT_NE(p, nullptr) << file << " cannot be recovered: " << rc;
    if (!p->recovery.done)
      ++s->clean;
    else if (p->recovery.journal == 1)
      ++s->replayed;
    else if (p->recovery.journal == 2)
      ++s->dropped;
    else if (p->recovery.cut)
      ++s->cut;
    else
      ++s->untouched;
    check_records(p);
    // The tree as of the checkpoint: every key not deleted since is there,
    // and the tree is whole and balanced.
    int err = 0;
    uint64_t root = c.root;
    FAVT64_ROOT* r = root ? get_root64(&err, p, root, key64_endian) : nullptr;
    if (r) {
      favt64_lock(r);
      std::vector<uint64_t> keys;
      favt64_trace_from_small(&err, r, root_node64(&err, r), collect_key, &keys);
      std::set<uint64_t> present(keys.begin(), keys.end());
      for (uint64_t k : c.keys) {
        if (touched.count(uint64_t{1} << 63 | k)) continue;
        EXPECT_TRUE(present.count(k)) << file << " lost tree key " << k;
        ++s->keys_checked;
      }
      EXPECT_EQ(favt64_test(&err, r, root_node64(&err, r), key64_cmp, nullptr), static_cast<int64_t>(keys.size()))
          << file;
      // New work in the tree too.
      for (uint64_t k = 200000; k < 200050; ++k) {
        FAVT64_NODE* a = favt64_alloc_node(r, &k, 8);
        EXPECT_EQ(favt64_insert(&err, r, &r->node, a, key64_cmp, nullptr), a);
      }
      favt64_unlock(r);
    }
    std::vector<int64_t> mine;
    for (uint32_t i = 0; i < 40; ++i) mine.push_back(put_record(p, make_record(0x0700, 24 + i * 113, i)));
    for (size_t i = 0; i < mine.size(); i += 3) EXPECT_EQ(free_filespace64(p, static_cast<uint64_t>(mine[i])), 0);
    EXPECT_EQ(check_freelist64(p), 0);
    ASSERT_EQ(close_filespace64(p), 0);
    EXPECT_FALSE(std::filesystem::exists(file + "-journal"));
    std::filesystem::remove(file + ".log");
    std::filesystem::remove(file + ".touched");
  }
};

TEST_F(CrashTest, KilledWritersLeaveFilesThatRecover) { run_trials(100, 1); }

// The same with more trials (labelled slow).
TEST_F(CrashTest, ManyKilledWriters) { run_trials(300, 2); }

}  // namespace
