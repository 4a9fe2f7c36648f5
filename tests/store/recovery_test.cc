// Files left by a writer that is gone: what a read-only open still gives,
// and what recovery keeps, cuts and rebuilds.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <map>

#include "store/page_journal_impl.h"
#include "store/pdb64.h"
#include "store_test_util.h"

namespace {

class Recovery : public StoreTest {
 protected:
  // A closed file of records of several sizes, some freed; its records.
  std::map<uint64_t, Bytes> make_file(const std::string& name) {
    PDB64* p = create(name);
    std::map<uint64_t, Bytes> live;
    std::vector<int64_t> all;
    for (uint32_t i = 0; i < 60; ++i) {
      Bytes r = make_record(static_cast<uint16_t>(0x0600 + i % 5), 24 + (i * 397) % 3000, i);
      int64_t at = put_record(p, r);
      all.push_back(at);
      live[static_cast<uint64_t>(at)] = r;
    }
    for (size_t i = 3; i < all.size() - 1; i += 4) {
      EXPECT_EQ(free_filespace64(p, static_cast<uint64_t>(all[i])), 0);
      live.erase(static_cast<uint64_t>(all[i]));
    }
    EXPECT_EQ(close_filespace64(p), 0);
    return live;
  }
  PDB64* open_as(const std::string& name, int oflags, uint32_t flags, int* rc) {
    return open_filespace64(path(name).c_str(), oflags, 0644, kPdb64WithFreeList | flags, 31, nullptr, rc);
  }
  static void expect_records(PDB64* p, const std::map<uint64_t, Bytes>& live) {
    for (auto& [at, r] : live) EXPECT_EQ(get_record(p, at), r) << at;
  }
  // New work after recovery: records in and out, then a clean close.
  static void new_work(PDB64* p, const std::map<uint64_t, Bytes>& live) {
    std::vector<int64_t> mine;
    for (uint32_t i = 0; i < 30; ++i) mine.push_back(put_record(p, make_record(0x0700, 24 + i * 91, i)));
    for (size_t i = 0; i < mine.size(); i += 2) EXPECT_EQ(free_filespace64(p, static_cast<uint64_t>(mine[i])), 0);
    EXPECT_EQ(check_freelist64(p), 0);
    expect_records(p, live);
    EXPECT_EQ(close_filespace64(p), 0);
  }
};

Bytes with_mark(Bytes b) {
  b[31] |= 1;
  return b;
}

TEST_F(Recovery, ReadOnlyOpenOfADamagedFileKeepsItsRecordsReadable) {
  auto live = make_file("a.db");
  Bytes b = read_bytes(path("a.db"));
  store_be64(b.data() + 36, 45);  // the free-list head points into a record
  write_bytes(path("bad.bin"), b);
  int rc = 0;
  PDB64* p = open_as("bad.bin", O_RDONLY, 0, &rc);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(rc, kPdb64Damaged);
  expect_records(p, live);
  EXPECT_EQ(check_pdb64(p), -1) << "nothing can be allocated";
  EXPECT_EQ(close_filespace64(p), 0);
  EXPECT_EQ(open_as("bad.bin", O_RDWR, 0, &rc), nullptr);
  EXPECT_EQ(rc, kPdb64Corrupt);
  EXPECT_EQ(read_bytes(path("bad.bin")), b);
}

// What a crash leaves at the end (a record cut short, zeros where the last
// write-back ended and pages written ahead of it) is cut; a damaged chain
// is rebuilt from the free records; other damage refuses the recovery and
// changes nothing.
TEST_F(Recovery, TornTailsAreCutAndTheChainRebuilt) {
  auto live = make_file("a.db");
  Bytes good = with_mark(read_bytes(path("a.db")));
  uint64_t last = live.rbegin()->first;
  std::vector<std::pair<const char*, Bytes>> cases;
  Bytes cut = good;
  cut.resize(good.size() - 7);
  cases.emplace_back("record cut short", cut);
  Bytes ahead = good;
  ahead.resize((good.size() + 12 + 4095) / 4096 * 4096, 0);
  for (int i = 0; i < 3 * 4096; ++i) ahead.push_back(static_cast<uint8_t>(i * 13 + 5));
  cases.emplace_back("pages written ahead", ahead);
  Bytes chain = good;
  store_be64(chain.data() + 36, 45);
  cases.emplace_back("damaged chain", chain);
  for (auto& [what, bytes] : cases) {
    SCOPED_TRACE(what);
    write_bytes(path("c.db"), bytes);
    int rc = 0;
    EXPECT_EQ(open_as("c.db", O_RDWR, 0, &rc), nullptr);
    EXPECT_EQ(rc, kPdb64Unclean);
    PDB64* p = open_as("c.db", O_RDWR, kPdb64RecoverStale, &rc);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(rc, kPdb64Ok);
    EXPECT_EQ(p->recovery.done, 1);
    auto keep = live;
    if (bytes.size() < good.size()) keep.erase(last);
    EXPECT_EQ(p->recovery.cut, bytes.size() < good.size()   ? 4 + (load_be16(good.data() + last + 2) - 4) - 7
                               : bytes.size() > good.size() ? bytes.size() - good.size()
                                                            : 0);
    EXPECT_EQ(p->recovery.free_segments, 14u);
    new_work(p, keep);
    EXPECT_TRUE(validate_files({path("c.db")}));
  }
  // Bytes no crash leaves: refused, untouched.
  Bytes junk = good;
  store_be16(junk.data() + live.begin()->first + 2, 2);  // a length below the header
  write_bytes(path("junk.bin"), junk);
  int rc = 0;
  EXPECT_EQ(open_as("junk.bin", O_RDWR, kPdb64RecoverStale, &rc), nullptr);
  EXPECT_EQ(rc, kPdb64Corrupt);
  EXPECT_EQ(read_bytes(path("junk.bin")), junk);
}

// A write-back interrupted after its journal was complete is finished from
// the journal; one interrupted while its journal was being written never
// touched the file, and the journal is dropped.
TEST_F(Recovery, InterruptedWriteBackIsReplayedOrDropped) {
  auto live = make_file("a.db");
  int rc = 0;
  PDB64* p = open_as("a.db", O_RDWR, 0, &rc);
  ASSERT_NE(p, nullptr);
  Bytes before = read_bytes(path("a.db"));  // marked open
  auto changed = live;
  for (auto& [at, r] : changed) {
    r = make_record(load_be16(r.data()), load_be64(r.data() + 8), static_cast<uint32_t>(at));
    ASSERT_GT(write_filespace64f(p, at, as_header(r)), 0);
  }
  int64_t added = put_record(p, make_record(0x0701, 5000, 9));
  changed[static_cast<uint64_t>(added)] = make_record(0x0701, 5000, 9);
  std::vector<FAC_ENTRY*> pages;
  for (FAC_ENTRY* e = p->fac.dirty_head.h.next; e != &p->fac.dirty_head; e = e->h.next) pages.push_back(e);
  ASSERT_GT(pages.size(), 3u);
  ASSERT_EQ(fac_journal_write(path("j").c_str(), pages.data(), pages.size(), p->fac.file_size), 0);
  // The file as the crash left it: half of the pages written.
  Bytes torn = before;
  torn.resize(std::max<size_t>(torn.size(), p->fac.file_size));
  for (size_t i = 0; i < pages.size(); i += 2)
    std::copy(pages[i]->data, pages[i]->data + pages[i]->len, torn.begin() + static_cast<long>(pages[i]->offset));
  Bytes journal = read_bytes(path("j"));
  ASSERT_EQ(close_filespace64(p), 0);

  // A complete journal is replayed over the torn file; one cut short (the
  // crash came while it was written, before the file was touched) is dropped.
  for (int whole = 1; whole >= 0; --whole) {
    SCOPED_TRACE(whole ? "journal whole" : "journal cut");
    write_bytes(path("r.db"), whole ? torn : before);
    write_bytes(path("r.db-journal"), whole ? journal : Bytes(journal.begin(), journal.end() - 5));
    p = open_as("r.db", O_RDWR, kPdb64RecoverStale, &rc);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->recovery.journal, whole ? 1 : 2);
    expect_records(p, whole ? changed : live);
    new_work(p, whole ? changed : live);
    EXPECT_FALSE(std::filesystem::exists(path("r.db-journal")));
  }
  std::filesystem::remove(path("j"));
}

}  // namespace
