#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "store/pdb64.h"
#include "store_test_util.h"

using OpenFile = StoreTest;

TEST_F(OpenFile, OutcomesAreDistinctAndRefusalsChangeNothing) {
  int rc = 0;
  EXPECT_EQ(open_filespace64(path("missing.db").c_str(), O_RDWR, 0644, kPdb64WithFreeList, 31, nullptr, &rc), nullptr);
  EXPECT_EQ(rc, kPdb64CannotOpen);

  PDB64* p = create("a.db");
  ASSERT_NE(p, nullptr);
  // A second writer is refused while the first is open; a reader is not.
  EXPECT_EQ(open_filespace64(path("a.db").c_str(), O_RDWR, 0644, kPdb64WithFreeList, 31, nullptr, &rc), nullptr);
  EXPECT_EQ(rc, kPdb64Busy);
  PDB64* r = open_filespace64(path("a.db").c_str(), O_RDONLY, 0644, kPdb64WithFreeList, 31, nullptr, &rc);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(close_filespace64(r), 0);
  EXPECT_EQ(close_filespace64(p), 0);
  p = open_filespace64(path("a.db").c_str(), O_RDWR, 0644, kPdb64WithFreeList, 31, nullptr, &rc);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(close_filespace64(p), 0);

  // A mark left by a writer that is gone: refused as unclean, taken over
  // only when asked.
  Bytes stale = read_bytes(path("a.db"));
  stale[31] = 1;
  write_bytes(path("a.db"), stale);
  EXPECT_EQ(open_filespace64(path("a.db").c_str(), O_RDWR, 0644, kPdb64WithFreeList, 31, nullptr, &rc), nullptr);
  EXPECT_EQ(rc, kPdb64Unclean);
  EXPECT_EQ(read_bytes(path("a.db")), stale);
  p = open_filespace64(path("a.db").c_str(), O_RDWR, 0644, kPdb64WithFreeList | kPdb64RecoverStale, 31, nullptr, &rc);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(close_filespace64(p), 0);

  // No free list where one is asked for: refused, and the open mark is not
  // left behind.
  p = create("plain.db", 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(close_filespace64(p), 0);
  Bytes before = read_bytes(path("plain.db"));
  EXPECT_EQ(open_filespace64(path("plain.db").c_str(), O_RDWR, 0644, kPdb64WithFreeList, 31, nullptr, &rc), nullptr);
  EXPECT_EQ(rc, kPdb64NoFreeList);
  EXPECT_EQ(read_bytes(path("plain.db")), before);
  p = open_filespace64(path("plain.db").c_str(), O_RDWR, 0644, 0, 31, nullptr, &rc);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(close_filespace64(p), 0);

  // A foreign file is neither opened nor touched.
  Bytes foreign(100, 'x');
  write_bytes(path("foreign.bin"), foreign);
  EXPECT_EQ(open_filespace64(path("foreign.bin").c_str(), O_RDWR, 0644, 0, 31, nullptr, &rc), nullptr);
  EXPECT_EQ(rc, kPdb64Corrupt);
  EXPECT_EQ(read_bytes(path("foreign.bin")), foreign);
}

TEST_F(OpenFile, AClosedFileIsFreeWhileAForkedChildStillHoldsItsDescriptors) {
  // A child forked by another thread holds copies of every descriptor until
  // it execs: the file it shares must not stay locked after the close.
  PDB64* p = create("a.db");
  ASSERT_NE(p, nullptr);
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char c;
    (void)!read(go[0], &c, 1);
    _exit(0);
  }
  EXPECT_EQ(close_filespace64(p), 0);
  int rc = 0;
  p = open_filespace64(path("a.db").c_str(), O_RDWR, 0644, kPdb64WithFreeList, 31, nullptr, &rc);
  EXPECT_NE(p, nullptr) << rc;
  if (p) {
    EXPECT_EQ(close_filespace64(p), 0);
  }
  (void)!write(go[1], "x", 1);
  close(go[0]);
  close(go[1]);
  waitpid(child, nullptr, 0);
}

TEST_F(OpenFile, DamagedFreeChainIsRefusedAtOpen) {
  PDB64* p = create("a.db");
  ASSERT_NE(p, nullptr);
  int64_t ofs[4];
  for (int i = 0; i < 4; ++i) ofs[i] = put_record(p, make_record(0x0200, 100, i));
  ASSERT_EQ(free_filespace64(p, ofs[0]), 0);
  ASSERT_EQ(free_filespace64(p, ofs[2]), 0);
  ASSERT_EQ(close_filespace64(p), 0);
  Bytes good = read_bytes(path("a.db"));
  auto damage = [&](size_t at, uint8_t v) {
    Bytes b = good;
    b[at] = v;
    write_bytes(path("bad.bin"), b);
    int rc = 0;
    PDB64* q = open_filespace64(path("bad.bin").c_str(), O_RDWR, 0644, kPdb64WithFreeList, 31, nullptr, &rc);
    EXPECT_EQ(q, nullptr) << at;
    EXPECT_EQ(rc, kPdb64Corrupt) << at;
    if (q) close_filespace64(q);
  };
  damage(43, static_cast<uint8_t>(ofs[2] + 1));  // head points into a record
  damage(42, 0x10);                               // past the end
  damage(static_cast<size_t>(ofs[2]) + 11, static_cast<uint8_t>(ofs[2] + 4));  // chain goes upward
  damage(static_cast<size_t>(ofs[0]) + 1, 0x05);  // segment of another type
}

using Records = StoreTest;

TEST_F(Records, SearchAndPlacedReadsAndWrites) {
  PDB64* p = create("a.db");
  ASSERT_NE(p, nullptr);
  Bytes rec = make_record(0x0601, 100, 1);
  int64_t at = put_record(p, rec);
  ASSERT_EQ(at, 44);

  uint64_t o = 0;
  PN64_HEADER* h = get_file_record64(&o, p, -1, 0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(swap_if16(h->type), kPn64FileHeaderType);
  EXPECT_EQ(o, 0u);
  d_f_ree(h);
  h = get_file_record64(&o, p, kPn64FreeListType, 0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(o, 32u);
  d_f_ree(h);
  h = get_file_record64(&o, p, 0x0601, 24);  // cut short, full size kept
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(o, 44u);
  EXPECT_EQ(swap_if64(h->size), 100u);
  EXPECT_EQ(d_alloc_size(h), 24u);
  EXPECT_EQ(std::memcmp(h + 1, rec.data() + 16, 8), 0);
  d_f_ree(h);
  EXPECT_EQ(get_file_record64(&o, p, 0x0777, 0), nullptr);

  // A placed record written back unchanged leaves the file as it was.
  ASSERT_EQ(fac_flush(&p->fac), 0);
  Bytes before = read_bytes(path("a.db"));
  ACC_PN64_HEADER* a = read_filespace64(p, 44);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->a.fofs, 44u);
  EXPECT_EQ(std::memcmp(&a->h, rec.data(), rec.size()), 0);
  EXPECT_EQ(write_filespace64(p, a), 88);
  d_f_ree(a);
  ASSERT_EQ(fac_flush(&p->fac), 0);
  EXPECT_EQ(read_bytes(path("a.db")), before);
  ACC_PN64_HEADER* ah = read_filespace64_header(p, 44);
  ASSERT_NE(ah, nullptr);
  EXPECT_EQ(d_alloc_size(ah), 24u);
  EXPECT_EQ(swap_if64(ah->h.size), 100u);
  d_f_ree(ah);
  EXPECT_EQ(read_filespace64f(p, 45), nullptr);  // not a record start: length runs past the end

  // Appending a large record with a zero body: medium header, zeros.
  PN64_HEADER big{0x0602, {0, 0, 0}, 70000};
  change_endian_header64(&big);
  int64_t at2 = fs_raw_write64(p, &big, 3);
  ASSERT_EQ(at2, 132);
  ASSERT_EQ(close_filespace64(p), 0);
  Bytes b = read_bytes(path("a.db"));
  ASSERT_EQ(b.size(), 132u + 8 + 69984);
  EXPECT_EQ(load_be16(&b[132]), 0x0602);
  EXPECT_EQ(load_be16(&b[134]), 0xFFFE);
  EXPECT_EQ(load_be32(&b[136]), 70000u - 8);
  EXPECT_EQ(std::count(b.begin() + 140, b.end(), 0), 69984);
}

// A long record read back takes from the page cache only its first and
// last page: the whole pages between go straight from the disk into the
// record, whatever the record's place in its page.
TEST_F(Records, LongRecordsAreReadPastTheCacheButTheirEnds) {
  PDB64* p = create("long.db");
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(put_record(p, make_record(0x0601, 100, 1)), 44);  // the next starts inside a page
  Bytes rec = make_record(0x0602, 300000, 7);
  int64_t at = put_record(p, rec);
  ASSERT_GT(at, 0);
  ASSERT_NE(at % 4096, 0);
  ASSERT_EQ(fac_flush(&p->fac), 0);
  ASSERT_EQ(fac_reload(&p->fac), 0);
  const int before = fac_general_info.entries_nos;
  PN64_HEADER* h = read_filespace64f(p, static_cast<uint64_t>(at));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(std::memcmp(h, rec.data(), rec.size()), 0);
  d_f_ree(h);
  EXPECT_LE(fac_general_info.entries_nos - before, 2);
  ASSERT_EQ(close_filespace64(p), 0);
}
