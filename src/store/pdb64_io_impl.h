// Positioned record-file I/O shared by the record-store sources (not for
// other subsystems).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "store/pdb64.h"

// Reads and checks the physical header at fofs: the record must lie wholly
// inside the file. 0, or -1 (errno EIO for a damaged or truncated record).
int pdb64_read_phys(PDB64* p, uint64_t fofs, PHYS_PN64_HEADER* out);
// Writes len bytes at fofs (fofs at most the logical end). 0 or -1.
int pdb64_write_at(PDB64* p, uint64_t fofs, const void* data, uint64_t len);
// Reads exactly len bytes at fofs. 0 or -1.
int pdb64_read_at(PDB64* p, uint64_t fofs, void* data, uint64_t len);
// Writes the physical header of h (file order) and the body pieces at the
// current position, through fac_rewritev when `rewrite`. The pieces may
// hold less than the record's body. Bytes written, or -1.
int64_t pdb64_write_pieces(PDB64* p, const PN64_HEADER* h, std::span<const iovec> body, bool rewrite);
// Walks and checks the whole free chain from the head and indexes it;
// 0, or -1 when it is damaged (nothing is kept then).
int pdb64_load_chain(PDB64* p);
// Frees the chain held in memory and its index.
void pdb64_drop_chain(PDB64* p);
// Recovers a file left open by a writer that is gone (see
// kPdb64RecoverStale); p->recovery tells what was done. Free records that
// cannot join the chain are given in *orphans. 0; -1 when the file could
// not be read or written (errno says why; what was done is done again by
// the next recovery); -2 when it is damaged in a way a crash does not
// leave.
int pdb64_recover(PDB64* p, std::vector<std::pair<uint64_t, uint64_t>>* orphans);
// The same for a file opened for reading, at path, without writing
// anything: a whole journal is laid over the cached file and the tail a
// crash left is cut from its logical length only, so that it reads as
// recovering it would leave it. The free chain is not rebuilt. 0, -1 (the
// journal could not be read) or -2 as above (nothing is cut then).
int pdb64_recovered_view(PDB64* p, const char* path);
