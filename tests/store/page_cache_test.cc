#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <random>

#include "base/file.h"
#include "store/pdb64.h"
#include "store_test_util.h"

using PageCache = StoreTest;

namespace {

int64_t write_at(PDB64* p, uint64_t at, const Bytes& b) {
  if (fac_lseek(&p->fac, static_cast<int64_t>(at), 0) != static_cast<int64_t>(at)) return -1;
  return fac_write(&p->fac, b.data(), b.size());
}

Bytes read_at(PDB64* p, uint64_t at, uint64_t n) {
  Bytes b(n);
  if (fac_lseek(&p->fac, static_cast<int64_t>(at), 0) != static_cast<int64_t>(at)) return {};
  int64_t r = fac_read(&p->fac, b.data(), n);
  if (r < 0) return {};
  b.resize(static_cast<size_t>(r));
  return b;
}

int64_t disk_size(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

}  // namespace

TEST_F(PageCache, LogicalEndEvictionAndWriteBack) {
  fac_set_total_entries(8);
  PDB64* p = open_pdb64(path("raw").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, 0);
  ASSERT_NE(p, nullptr);
  Bytes data(40 * 4096 + 100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 4096);
  // Appends grow the logical size at once, the disk only at write-back; the
  // three-quarters rule writes back long before 40 pages are dirty.
  ASSERT_EQ(write_at(p, 0, Bytes(data.begin(), data.begin() + 1000)), 1000);
  EXPECT_EQ(fac_lseek(&p->fac, 0, 2), 1000);
  EXPECT_EQ(disk_size(path("raw")), 0);
  ASSERT_EQ(write_at(p, 1000, Bytes(data.begin() + 1000, data.end())), static_cast<int64_t>(data.size() - 1000));
  EXPECT_LE(fac_general_info.dirty_nos, 8);
  EXPECT_EQ(fac_flush(&p->fac), 0);
  EXPECT_EQ(disk_size(path("raw")), static_cast<int64_t>(data.size()));
  EXPECT_EQ(fac_general_info.dirty_nos, 0);

  // Reads go through at most 8 held pages, in any order.
  std::mt19937 rng(3);
  for (int i = 0; i < 300; ++i) {
    uint64_t at = rng() % data.size(), n = std::min<uint64_t>(rng() % 9000, data.size() - at);
    ASSERT_EQ(read_at(p, at, n), Bytes(data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(at + n)));
    ASSERT_LE(fac_general_info.entries_nos, 8);
  }
  EXPECT_EQ(read_at(p, data.size(), 10).size(), 0u);
  ASSERT_EQ(fac_lseek(&p->fac, static_cast<int64_t>(data.size()), 0), static_cast<int64_t>(data.size()));
  EXPECT_EQ(fac_lseek(&p->fac, 1, 1), -3);
  EXPECT_EQ(fac_lseek(&p->fac, -1, 0), -2);
  EXPECT_EQ(fac_lseek(&p->fac, 0, 7), -1);

  // Truncating into a page keeps its head; pages past the end go unwritten.
  ASSERT_EQ(write_at(p, 20 * 4096, Bytes(5000, 0xAB)), 5000);
  ASSERT_EQ(fac_truncate(&p->fac, 10 * 4096 + 5), 0);
  EXPECT_EQ(fac_truncate(&p->fac, 10 * 4096 + 6), -1);
  EXPECT_EQ(read_at(p, 10 * 4096, 100), Bytes(data.begin() + 10 * 4096, data.begin() + 10 * 4096 + 5));
  ASSERT_EQ(write_at(p, 10 * 4096 + 5, Bytes(10, 1)), 10);  // grows again with no stale bytes
  EXPECT_EQ(close_pdb64(p), 0);
  Bytes disk = read_bytes(path("raw"));
  ASSERT_EQ(disk.size(), 10u * 4096 + 15);
  EXPECT_TRUE(std::equal(disk.begin(), disk.begin() + 10 * 4096 + 5, data.begin()));
  EXPECT_EQ(disk.back(), 1);
  EXPECT_EQ(fac_general_info.entries_nos, 0);
}

TEST_F(PageCache, FailedWriteBackIsReportedAndNothingIsLostFromMemory) {
  // A read-only descriptor: writes land in the cache, write-back fails.
  write_bytes(path("ro"), Bytes(100, 5));
  PDB64* p = open_pdb64(path("ro").c_str(), O_RDONLY, 0644, 0);
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(write_at(p, 100, Bytes(50, 6)), 50);
  EXPECT_EQ(fac_flush(&p->fac), -1);
  EXPECT_EQ(read_at(p, 120, 3), Bytes(3, 6));  // still there
  // A long append that the disk refuses to take ahead stays in the cache.
  Bytes longer(20 * 4096, 8);
  ASSERT_EQ(write_at(p, 150, longer), static_cast<int64_t>(longer.size()));
  EXPECT_EQ(read_at(p, 150, longer.size()), longer);
  EXPECT_EQ(fac_flush(&p->fac), -1);
  EXPECT_EQ(close_pdb64(p), -1);
  EXPECT_EQ(read_bytes(path("ro")), Bytes(100, 5));

  fac_set_total_entries(0);
  p = open_pdb64(path("ro").c_str(), O_RDONLY, 0644, 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(write_at(p, 100, Bytes(50, 6)), -1);
  EXPECT_EQ(fac_lseek(&p->fac, 0, 2), 100);  // the failed write did not move the end
  EXPECT_EQ(close_pdb64(p), 0);
}

// Starting the write-back of what a long append wrote ahead leaves the
// bytes as they were, and a range past the largest offset is refused; on a
// descriptor the system cannot write back the refusal is answered.
TEST_F(PageCache, StartingTheWriteBackOfARangeChangesNothingElse) {
  PDB64* p = open_pdb64(path("wb").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, 0);
  ASSERT_NE(p, nullptr);
  Bytes data(64 * 4096);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + i / 4096);
  ASSERT_EQ(write_at(p, 0, data), static_cast<int64_t>(data.size()));
  EXPECT_EQ(fac_start_writeback(&p->fac, 0, data.size()), 0);
  EXPECT_EQ(fac_start_writeback(&p->fac, 4096, 1), 0);
  errno = 0;
  EXPECT_EQ(fac_start_writeback(&p->fac, INT64_MAX, 2), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(read_at(p, 0, data.size()), data);
  EXPECT_EQ(close_pdb64(p), 0);
  EXPECT_EQ(read_bytes(path("wb")), data);

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  FAC_INFO pipe_info{};
  pipe_info.fd = fds[1];
  EXPECT_EQ(fac_start_writeback(&pipe_info, 0, 4096), -1);
  ::close(fds[0]);
  ::close(fds[1]);
}

// The same random work in direct mode and through a tiny cache gives the
// same bytes, and what is read back after reopening is what was written.
TEST_F(PageCache, DirectAndCachedModesWriteIdenticalFiles) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    std::map<int64_t, Bytes> models[2];
    for (int mode = 0; mode < 2; ++mode) {
      fac_set_total_entries(mode == 0 ? 0 : 8);
      PDB64* p = create(mode == 0 ? "direct.db" : "cached.db");
      ASSERT_NE(p, nullptr);
      std::map<int64_t, Bytes>& model = models[mode];
      std::mt19937 rng(seed);
      for (int i = 0; i < 400; ++i) {
        uint32_t r = rng() % 10;
        if (model.empty() || r < 5) {
          uint64_t m = 24 + (rng() % 16 == 0 ? 60000 + rng() % 20000 : rng() % 3000);
          Bytes rec = make_record(static_cast<uint16_t>(0x0600 + rng() % 7), m, rng());
          int64_t at;
          if (rng() % 8 == 0) {  // reserved, never written: appended space reads as zeros
            PN64_HEADER h{load_be16(rec.data()), {0, 0, 0}, m};
            int64_t end = pdb64_file_size(p);
            at = alloc_filespace64(p, &h);
            ASSERT_GT(at, 0);
            rec = get_record(p, static_cast<uint64_t>(at));
            ASSERT_EQ(rec.size(), m);
            if (at == end) {
              ASSERT_EQ(std::count(rec.begin() + 16, rec.end(), 0), static_cast<long>(m - 16));
            }
          } else if (rng() % 3 == 0) {
            at = alloc_write_record(p, rec, rng() % m);
          } else {
            at = put_record(p, rec);
          }
          ASSERT_GT(at, 0);
          model[at] = rec;
          continue;
        }
        auto it = model.begin();
        std::advance(it, static_cast<long>(rng() % model.size()));
        if (r < 8) {
          ASSERT_EQ(free_filespace64(p, static_cast<uint64_t>(it->first)), 0);
          model.erase(it);
        } else if (r == 8) {
          // Overwritten, or rewritten by comparing (a third of those with what is there).
          bool compare = rng() % 2, same = rng() % 3 == 0;
          Bytes rec = same ? it->second : make_record(load_be16(it->second.data()), it->second.size(), rng());
          auto at = static_cast<uint64_t>(it->first);
          int64_t n = compare ? rewrite_record(p, at, rec, rng() % rec.size())
                              : write_filespace64f(p, at, as_header(rec));
          ASSERT_GT(n, 0);
          it->second = rec;
        } else {
          ASSERT_EQ(get_record(p, static_cast<uint64_t>(it->first)), it->second);
        }
      }
      ASSERT_EQ(close_filespace64(p), 0);
    }
    ASSERT_EQ(read_bytes(path("direct.db")), read_bytes(path("cached.db"))) << "seed " << seed;
    ASSERT_EQ(models[0], models[1]);
    fac_set_total_entries(16);
    int rc;
    PDB64* p = open_filespace64(path("cached.db").c_str(), O_RDONLY, 0, kPdb64WithFreeList, 0, nullptr, &rc);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(check_freelist64(p), 0);
    for (const auto& [at, rec] : models[1]) ASSERT_EQ(get_record(p, static_cast<uint64_t>(at)), rec);
    EXPECT_EQ(close_filespace64(p), 0);
  }
}

TEST_F(PageCache, LongAppendsStreamToDiskAndReadBackWhole) {
  PDB64* p = create("a.db");
  ASSERT_NE(p, nullptr);
  std::vector<std::pair<int64_t, Bytes>> recs;
  for (uint32_t i = 0; i < 200; ++i) {
    Bytes rec = make_record(0x0600, 24 + (i * 977) % 9000, i);
    int64_t at = put_record(p, rec);
    ASSERT_GT(at, 0);
    recs.emplace_back(at, rec);
  }
  // Complete appended pages went to disk without a flush; few stay dirty.
  EXPECT_GT(disk_size(path("a.db")), pdb64_file_size(p) - 70 * 4096);
  EXPECT_LT(fac_general_info.dirty_nos, 70);
  ASSERT_EQ(close_filespace64(p), 0);
  p = open_filespace64(path("a.db").c_str(), O_RDONLY, 0, kPdb64WithFreeList, 0, nullptr);
  ASSERT_NE(p, nullptr);
  for (const auto& [at, rec] : recs) ASSERT_EQ(get_record(p, static_cast<uint64_t>(at)), rec);
  EXPECT_EQ(close_filespace64(p), 0);
}

// A long record appended in one step goes to disk past the cache; a
// rewrite dirties only the pages it changes, and one of a record past the
// ahead floor goes to disk at once; another type or size is refused.
TEST_F(PageCache, LongRecordsPassTheCacheAndRewritesDirtyOnlyWhatChanges) {
  PDB64* p = create("long.db");
  ASSERT_NE(p, nullptr);
  const uint64_t m = 300000;
  Bytes big = make_record(0x0600, m, 1);
  int pages = fac_general_info.entries_nos;
  int64_t at = alloc_write_record(p, big, 1000);
  ASSERT_GT(at, 0);
  EXPECT_LE(fac_general_info.entries_nos - pages, 2);  // its first and last pages
  EXPECT_GT(disk_size(path("long.db")), at + static_cast<int64_t>(m) - 2 * 4096);
  EXPECT_EQ(get_record(p, static_cast<uint64_t>(at)), big);
  ASSERT_EQ(fac_flush(&p->fac), 0);
  ASSERT_EQ(fac_general_info.dirty_nos, 0);

  // Below the floor now: what is there writes nothing; one changed byte
  // dirties its page.
  const int64_t whole = static_cast<int64_t>(pn64_disk_size(m));
  EXPECT_EQ(rewrite_record(p, static_cast<uint64_t>(at), big, 5000), whole);
  EXPECT_EQ(fac_general_info.dirty_nos, 0);
  Bytes one = big;
  one[150000] ^= 1;
  EXPECT_EQ(rewrite_record(p, static_cast<uint64_t>(at), one, 70000), whole);
  EXPECT_EQ(fac_general_info.dirty_nos, 1);
  for (const Bytes& other : {make_record(0x0601, m, 1), make_record(0x0600, m - 1, 1)}) {
    EXPECT_EQ(rewrite_record(p, static_cast<uint64_t>(at), other, 0), -1);
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(fac_general_info.dirty_nos, 1);

  // Past the floor: a changed rewrite reaches the disk without a flush.
  Bytes next = make_record(0x0600, m, 2), again = make_record(0x0600, m, 3);
  int64_t at2 = alloc_write_record(p, next, 0);
  ASSERT_GT(at2, 0);
  int dirty = fac_general_info.dirty_nos;
  EXPECT_EQ(rewrite_record(p, static_cast<uint64_t>(at2), again, m / 2), whole);
  EXPECT_LE(fac_general_info.dirty_nos - dirty, 2);
  Bytes disk = read_bytes(path("long.db"));
  ASSERT_GE(disk.size(), static_cast<size_t>(at2) + 200000);
  const int64_t body = at2 + pn64_width_for_mem(m);  // the body on disk, after the record's header
  EXPECT_TRUE(std::equal(disk.begin() + body + 100000, disk.begin() + body + 200000, again.begin() + 16 + 100000));
  ASSERT_EQ(close_filespace64(p), 0);

  p = open_filespace64(path("long.db").c_str(), O_RDONLY, 0, kPdb64WithFreeList, 0, nullptr);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(get_record(p, static_cast<uint64_t>(at)), one);
  EXPECT_EQ(get_record(p, static_cast<uint64_t>(at2)), again);
  EXPECT_EQ(close_filespace64(p), 0);
}

// A write-back journals only the pages below the ahead floor: pages
// appended past it are written first, unjournalled, however many.
TEST_F(PageCache, TheJournalHoldsOnlyPagesBelowTheFloor) {
  PDB64* p = create("j.db");
  ASSERT_NE(p, nullptr);
  std::vector<int64_t> recs;
  for (uint32_t i = 0; i < 4; ++i) recs.push_back(put_record(p, make_record(0x0600, 3000, i)));
  ASSERT_EQ(fac_flush(&p->fac), 0);
  // Forty pages appended in small records (too few to be written behind),
  // and two records changed in place.
  for (uint32_t i = 0; i < 40; ++i) ASSERT_GT(put_record(p, make_record(0x0601, 4000, 100 + i)), 0);
  for (int k : {0, 3}) {
    Bytes rec = make_record(0x0600, 3000, 50 + static_cast<uint32_t>(k));
    ASSERT_GT(write_filespace64f(p, static_cast<uint64_t>(recs[k]), as_header(rec)), 0);
  }
  ASSERT_GE(fac_general_info.dirty_nos, 40);
  ASSERT_EQ(fac_flush(&p->fac), 0);
  // The journal stays (cleared) for the next write-back: its length tells
  // how many pages it held (12 bytes of head each, 48 in all besides).
  int64_t journal = disk_size(path("j.db") + "-journal");
  ASSERT_GT(journal, 0);
  EXPECT_LE((journal - 48) / (12 + 4096), 4);
  ASSERT_EQ(close_filespace64(p), 0);
  EXPECT_TRUE(validate_files({path("j.db")}));
}
