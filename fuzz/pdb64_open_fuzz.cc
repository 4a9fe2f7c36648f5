// Fuzz target: a record file of arbitrary bytes is opened for reading and
// walked, then opened for writing and changed a little. Nothing may crash,
// stop the process or leak; a free chain that passed the open must stay
// consistent.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/file.h"
#include "store/pdb64.h"
#include "fuzz_file_impl.h"

namespace {

void read_everything(const char* path) {
  PDB64* p = open_filespace64(path, O_RDONLY, 0, 0, 0, nullptr);
  if (!p) return;
  uint64_t ofs = 0;
  for (int n = 0; n < 4096; ++n) {
    PN64_HEADER* h = get_file_record64(&ofs, p, 0, 4096);
    if (!h) break;
    uint64_t m = swap_if64(h->size);
    d_f_ree(h);
    if (ACC_PN64_HEADER* a = read_filespace64_header(p, ofs)) d_f_ree(a);
    ofs += pn64_disk_size(m);
  }
  uint64_t found = 0;
  if (PN64_HEADER* h = get_file_record64(&found, p, kPn64FreeSegType, 0)) d_f_ree(h);
  close_filespace64(p);
}

void change_a_little(const char* path, const uint8_t* data, size_t size) {
  PDB64* p = open_filespace64(path, O_RDWR, 0, kPdb64WithFreeList | kPdb64RecoverStale, 0, nullptr);
  if (!p) return;
  if (check_freelist64(p) != 0) __builtin_trap();
  uint32_t seed = 2166136261u;
  for (size_t i = 0; i < size && i < 64; ++i) seed = (seed ^ data[i]) * 16777619u;
  std::vector<int64_t> mine;
  for (int i = 0; i < 12; ++i) {
    seed = seed * 1103515245u + 12345u;
    if ((seed >> 16) % 3 == 0 && !mine.empty()) {
      size_t k = (seed >> 8) % mine.size();
      free_filespace64(p, static_cast<uint64_t>(mine[k]));
      mine.erase(mine.begin() + static_cast<long>(k));
    } else {
      PN64_HEADER h{static_cast<uint16_t>(0x0200 + i), {0, 0, 0}, 24 + (seed >> 12) % 3000};
      int64_t at = alloc_filespace64(p, &h);
      if (at > 0) mine.push_back(at);
    }
    if (check_freelist64(p) != 0) __builtin_trap();
  }
  close_filespace64(p);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = fuzz_scratch_path("pdb64_fuzz");
  if (!fuzz_put_file(path, data, size)) return 0;
  int saved_limit = fac_general_info.total_entries;
  fac_set_total_entries(0);  // reads straight from the file
  read_everything(path.c_str());
  fac_set_total_entries(8);  // a tiny cache: evictions and write-backs
  change_a_little(path.c_str(), data, size);
  read_everything(path.c_str());
  fac_set_total_entries(saved_limit);
  u_unlink(path.c_str());
  return 0;
}
