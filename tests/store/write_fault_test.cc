// Writes the disk refuses. The n-th system call that changes a record file
// or its journal during a write-back or a close is made to fail as a full
// disk fails it, for every n the work takes: the failure must be answered,
// and the file must open afterwards (read as a reader sees it, recovered
// as a writer takes it over) with one whole write-back, the one before or
// the one under way, never a mix; a failure that passes keeps everything.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <functional>
#include <string>
#include <utility>

#include "base/file.h"
#include "store/page_cache_impl.h"
#include "store/pdb64.h"
#include "store_test_util.h"
#include "support/child.h"

namespace {

// The table of system calls, counting all, with the from-th call and every
// later one refused (0: none), or the from-th only; no_bytes refuses every
// write of bytes. kill is called with "before" as the from-th call begins,
// and with "within" halfway through it when it writes bytes (all of them
// but the second half of its last piece): a kill at either moment.
struct Refuse {
  struct Arm {
    int from;
    bool only, no_bytes;
    std::function<void(const char*)> kill;
  };
  static inline Arm is{};
  static inline int calls = 0;
  static bool now() {
    if (++calls == is.from && is.kill) is.kill("before");
    return is.from > 0 && (is.only ? calls == is.from : calls >= is.from);
  }
  static int pwritev(int fd, iovec* iov, int cnt, int64_t at) {
    if (!now() && !is.no_bytes) return u_pwritev_full(fd, iov, cnt, at);
    if (calls == is.from && is.kill && cnt > 0) {
      std::vector<iovec> most(iov, iov + cnt);
      most.back().iov_len /= 2;
      u_pwritev_full(fd, most.data(), cnt, at);
      is.kill("within");
    } else if (cnt > 0 && iov[0].iov_len > 1) {
      // As a disk that fills midway: the first piece goes, the rest does not.
      u_pwrite_full(fd, iov[0].iov_base, iov[0].iov_len / 2, at);
    }
    errno = ENOSPC;
    return -1;
  }
  static int ftruncate(int fd, int64_t len) { return now() ? (errno = ENOSPC, -1) : u_ftruncate64(fd, len); }
  static int datasync(int fd) { return now() ? (errno = EIO, -1) : ::fdatasync(fd); }
  static int allocate(int fd, int64_t at, int64_t len) {
    return now() ? (errno = ENOSPC, -1) : ::fallocate(fd, 0, at, len);
  }
  static int open(const char* path, int oflags, int mode) {
    return now() ? (errno = EACCES, -1) : u_open64(path, oflags, mode);
  }
};

using Listing = std::vector<std::pair<uint64_t, Bytes>>;

// Every record but the file header and the free chain (which recovery
// builds anew), by offset.
Listing listing(PDB64* p) {
  Listing out;
  for (uint64_t at = 0;;) {
    PN64_HEADER* h = get_file_record64(&at, p, 0, 0);
    if (!h) break;
    uint64_t m = swap_if64(h->size);
    uint16_t t = swap_if16(h->type);
    if (t != kPn64FileHeaderType && t != kPn64FreeListType && t != kPn64FreeSegType)
      out.emplace_back(at, Bytes(reinterpret_cast<uint8_t*>(h), reinterpret_cast<uint8_t*>(h) + m));
    d_f_ree(h);
    at += pn64_disk_size(m);
  }
  return out;
}

// Work a write-back must save whole, on the base file: records rewritten
// in place across the file, some freed, the last freed (the file is cut),
// new ones appended, one long enough to go past the cache. False when a
// step fails.
bool work(PDB64* p) {
  std::vector<uint64_t> live;
  for (auto& [at, r] : listing(p))
    if (load_be16(r.data()) == 0x0600) live.push_back(at);
  if (live.size() < 50) return false;
  for (size_t i = 0; i < live.size(); i += 7) {
    Bytes r = get_record(p, live[i]);
    if (r.empty()) return false;
    r[r.size() - 1] ^= 0x5a;
    if (rewrite_record(p, live[i], r, 5) <= 0) return false;
  }
  for (size_t i = 3; i + 1 < live.size(); i += 11)
    if (free_filespace64(p, live[i]) != 0) return false;
  if (free_filespace64(p, live.back()) != 0) return false;
  for (uint32_t i = 0; i < 30; ++i)
    if (put_record(p, make_record(0x0700, 40 + i * 333, i)) <= 0) return false;
  return alloc_write_record(p, make_record(0x0701, 40 * 4096, 9), 100) > 0;
}

// Work after the work: the records it appended rewritten in place, and
// more appended. False when a step fails.
bool more_work(PDB64* p) {
  for (auto& [at, r] : listing(p)) {
    if (load_be16(r.data()) != 0x0700) continue;
    Bytes again = get_record(p, at);
    if (again.empty()) return false;
    again[again.size() - 1] ^= 0x33;
    if (rewrite_record(p, at, again, 7) <= 0) return false;
  }
  for (uint32_t i = 0; i < 10; ++i)
    if (put_record(p, make_record(0x0702, 100 + i * 517, i)) <= 0) return false;
  return true;
}

// A writer of the work under a file-size limit (args: the file): 0 when
// its close answers EFBIG.
QNMX_CHILD_BODY(work_past_limit) {
  signal(SIGXFSZ, SIG_IGN);
  const rlim_t limit = std::stoull(args.at(1));
  rlimit rl{limit, limit};
  if (setrlimit(RLIMIT_FSIZE, &rl) != 0) return 3;
  init_endian();
  PDB64* p = open_filespace64(args.at(0).c_str(), O_RDWR, 0644, kPdb64WithFreeList, 31, nullptr);
  if (!p || !work(p)) return 2;
  errno = 0;
  int rc = close_filespace64(p);
  return rc == -1 && errno == EFBIG ? 0 : 1;
}

class WriteFault : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    saved_ = fac_write_ops;
    fac_write_ops = FAC_WRITE_OPS{Refuse::pwritev, Refuse::ftruncate, Refuse::datasync, Refuse::open, Refuse::allocate};
    arm(0, false);
    set_pdb64_debug_check(0);  // the file is checked whole after each run
  }
  void TearDown() override {
    fac_write_ops = saved_;
    StoreTest::TearDown();
  }
  static void arm(int from, bool only, bool no_bytes = false) {
    Refuse::calls = 0;
    Refuse::is = {from, only, no_bytes, nullptr};
  }
  PDB64* open_as(const std::string& name, int oflags, uint32_t flags = 0) {
    int rc = 1;
    PDB64* p = open_filespace64(path(name).c_str(), oflags, 0644, kPdb64WithFreeList | flags, 31, nullptr, &rc);
    EXPECT_TRUE(p && (rc == kPdb64Ok || rc == kPdb64Damaged)) << name << " opens with " << rc;
    return p;
  }
  // The base copied to name and opened for writing, with the work done.
  PDB64* worked(const std::string& name) {
    std::filesystem::remove(path(name));
    std::filesystem::remove(path(name + "-journal"));
    EXPECT_TRUE(std::filesystem::copy_file(path("before.db"), path(name)));
    PDB64* p = open_as(name, O_RDWR);
    if (p && work(p)) return p;
    ADD_FAILURE() << name << ": the work fails";
    return nullptr;
  }
  // The records of the closed file name.
  Listing listed(const std::string& name) {
    PDB64* p = open_as(name, O_RDONLY);
    if (!p) return {};
    Listing out = listing(p);
    EXPECT_EQ(close_filespace64(p), 0) << name;
    return out;
  }

  // The base (a closed file of records spread over many pages), and the
  // file as it and as the work leaves it, from runs where nothing fails.
  void references() {
    PDB64* p = create("before.db");
    for (uint32_t i = 0; i < 200; ++i) ASSERT_GT(put_record(p, make_record(0x0600, 24 + (i * 677) % 5000, i)), 0);
    ASSERT_EQ(close_filespace64(p), 0);
    before_ = listed("before.db");
    ASSERT_NE(p = worked("after.db"), nullptr);
    ASSERT_EQ(close_filespace64(p), 0);
    after_ = listed("after.db");
    ASSERT_NE(before_, after_);
  }

  // The system calls a write-back (close = false) or a close of the work
  // takes when nothing fails.
  int calls_of(bool close) {
    PDB64* p = worked("count.db");
    if (!p) return 0;
    arm(0, false);
    EXPECT_EQ(close ? close_filespace64(p) : fac_flush(&p->fac), 0);
    int n = Refuse::calls;
    EXPECT_EQ(close ? 0 : close_filespace64(p), 0);
    std::filesystem::remove(path("count.db"));
    return n;
  }

  // The file at name opened by a reader and then by a writer that takes it
  // over: both see the same whole write-back, which is returned. The
  // reader changes no byte of it.
  Listing reopened(const std::string& name, const std::string& what) {
    Bytes disk = read_bytes(path(name));
    PDB64* r = open_as(name, O_RDONLY, kPdb64SharedLock | kPdb64RecoverStale);
    if (!r) return {};
    Listing seen = listing(r);
    EXPECT_EQ(close_filespace64(r), 0) << what;
    EXPECT_TRUE(read_bytes(path(name)) == disk) << what << ": the reader wrote";
    PDB64* w = open_as(name, O_RDWR, kPdb64RecoverStale);
    if (!w) return {};
    EXPECT_EQ(listing(w), seen) << what << ": the writer recovers another state than the reader sees";
    EXPECT_EQ(check_freelist64(w), 0) << what;
    EXPECT_EQ(close_filespace64(w), 0) << what;
    return seen;
  }

  // What the disk refuses: the n-th system call and every later one (a
  // disk that stays full), the n-th only, or the n-th and then every write
  // of bytes (the retry's journal cannot be written either).
  enum class Mode { kFromN, kOnlyN, kNThenNoBytes };

  // For every n: the work, then a write-back or a close whose n-th system
  // call fails as mode says, then a close that tries again: each failure
  // answered, and the file opens with a whole write-back; a single
  // refusal loses nothing once the close is done.
  void every_n(bool close, Mode mode) {
    static const char* const kMode[] = {" and later ones", " only", " and then every write"};
    references();
    const int total = calls_of(close);
    ASSERT_GT(total, 4);
    for (int n = 1; n <= total; ++n) {
      const std::string name = "n" + std::to_string(n) + ".db";
      const std::string what = std::string(close ? "close" : "write-back") + ", call " + std::to_string(n) + " of " +
                               std::to_string(total) + kMode[static_cast<int>(mode)] + " refused";
      PDB64* p = worked(name);
      ASSERT_NE(p, nullptr);
      arm(n, mode != Mode::kFromN);
      errno = 0;
      // Only a journal that could not be cleared passes (it is removed
      // instead): then the work is all there.
      bool passed = (close ? close_filespace64(p) : fac_flush(&p->fac)) == 0;
      EXPECT_TRUE(passed || errno == ENOSPC || errno == EIO || errno == EACCES) << what << ": errno " << errno;
      if (!close) {
        EXPECT_EQ(p->fac.write_errno != 0, !passed) << what;
        // Tried again: what the refusal kept back is written now, or the
        // journal keeps it for the next opening.
        if (mode == Mode::kNThenNoBytes) arm(0, false, true);
        int again = close_filespace64(p);
        EXPECT_TRUE(mode == Mode::kOnlyN || again == -1) << what << ": the close after answers " << again;
        passed = passed || (mode == Mode::kOnlyN && again == 0);
      }
      arm(0, false);
      Listing got = reopened(name, what);
      if (passed)
        EXPECT_TRUE(got == after_) << what << ": answered as saved, but not all there";
      else
        EXPECT_TRUE(got == before_ || got == after_) << what << ": neither the last write-back nor this one";
      std::filesystem::remove(path(name + "-journal"));
      if (HasFailure()) return;
    }
  }

  Listing before_, after_;
  FAC_WRITE_OPS saved_{};
};

// A write-back refused after its journal was whole leaves the file stuck.
// The next one, once the disk takes writes again, makes the file whole
// from that journal before it writes what was done since: it succeeds and
// the file holds everything. Killed before any call of it or halfway
// through one (the file and its journal as they are at that moment), it
// leaves a file that opens with one whole write-back; refused from that
// call on, the close after still saves everything.
TEST_F(WriteFault, AStuckFileIsMadeWholeBeforeItIsWrittenAgain) {
  references();
  PDB64* p = worked("more.db");
  ASSERT_TRUE(p && more_work(p));
  ASSERT_EQ(close_filespace64(p), 0);
  const Listing more = listed("more.db");
  // The work under a write-back whose n-th call is refused, then more
  // work; null (the file closed) when that does not leave it stuck.
  auto stuck_by = [this](int n) -> PDB64* {
    PDB64* s = worked("s.db");
    if (!s) return nullptr;
    arm(n, true);
    if (fac_flush(&s->fac) == 0 || !s->fac.stuck) {
      arm(0, false);
      EXPECT_EQ(close_filespace64(s), 0);
      return nullptr;
    }
    EXPECT_TRUE(more_work(s));
    return s;
  };
  std::vector<std::pair<int, int>> stuck;  // n, and the calls of the retry
  for (int n = 1, total = calls_of(false); n <= total; ++n) {
    const std::string what = "call " + std::to_string(n) + " of the write-back refused";
    if (!(p = stuck_by(n))) continue;
    arm(0, false);
    EXPECT_EQ(fac_flush(&p->fac), 0) << what << ": the retry fails";
    stuck.emplace_back(n, Refuse::calls);
    EXPECT_EQ(p->fac.write_errno, 0) << what;
    EXPECT_EQ(close_filespace64(p), 0) << what;
    EXPECT_TRUE(reopened("s.db", what) == more) << what << ": the retry did not save everything";
    if (HasFailure()) return;
  }
  ASSERT_FALSE(stuck.empty()) << "no refusal left the file stuck";
  // A kill or a refusal at each call of the retry, after the first and the
  // last refusal that leave the file stuck.
  for (const auto& [n, calls] : {stuck.front(), stuck.back()}) {
    for (int m = 1; m <= calls; ++m) {
      const std::string what = "call " + std::to_string(n) + " of the write-back refused, call " + std::to_string(m) +
                               " of the retry";
      ASSERT_NE(p = stuck_by(n), nullptr);
      arm(m, false);
      Refuse::is.kill = [this](const char* when) {
        const std::string to = std::string("k_") + when + ".db";
        std::filesystem::copy_file(path("s.db"), path(to));
        if (std::filesystem::exists(path("s.db-journal")))
          std::filesystem::copy_file(path("s.db-journal"), path(to + "-journal"));
      };
      fac_flush(&p->fac);
      arm(0, false);
      for (const char* when : {"before", "within"}) {
        const std::string killed = std::string("k_") + when + ".db";
        if (!std::filesystem::exists(path(killed))) continue;
        const Listing got = reopened(killed, what + ", killed " + when + " it");
        EXPECT_TRUE(got == after_ || got == more) << what << ": killed " << when << " it, neither write-back is there";
        std::filesystem::remove(path(killed));
        std::filesystem::remove(path(killed + "-journal"));
      }
      EXPECT_EQ(close_filespace64(p), 0) << what << ": the close after its refusal";
      EXPECT_TRUE(reopened("s.db", what + ", closed after") == more) << what << ": the close did not save everything";
      if (HasFailure()) return;
    }
  }
}

TEST_F(WriteFault, RefusedWriteBackLeavesAWholeFile) { every_n(false, Mode::kFromN); }
TEST_F(WriteFault, RefusedCloseLeavesAWholeFile) { every_n(true, Mode::kFromN); }
TEST_F(WriteFault, OneRefusalInAWriteBackLosesNothing) { every_n(false, Mode::kOnlyN); }
TEST_F(WriteFault, OneRefusalInACloseLeavesAWholeFile) { every_n(true, Mode::kOnlyN); }
TEST_F(WriteFault, ARetryThatCannotWriteKeepsTheWholeJournal) { every_n(false, Mode::kNThenNoBytes); }

// A file-size limit: appends past it are refused (EFBIG) however they go
// to disk (ahead, behind, in a write-back), and the file keeps its last
// whole write-back; pages within the limit still write.
TEST_F(WriteFault, AFileSizeLimitIsAnErrorAndKeepsTheFile) {
  references();
  const int64_t limit = static_cast<int64_t>(std::filesystem::file_size(path("before.db"))) + 3 * 4096;
  // In a process of its own: the limit and the ignored signal are its.
  Child c = start_body("work_past_limit", {path("before.db"), std::to_string(limit)});
  EXPECT_EQ(c.wait(), 0) << "the close past the limit is not answered with EFBIG";
  EXPECT_LE(static_cast<int64_t>(std::filesystem::file_size(path("before.db"))), limit);
  EXPECT_TRUE(reopened("before.db", "past the size limit") == before_) << "not the last write-back";
}

}  // namespace
