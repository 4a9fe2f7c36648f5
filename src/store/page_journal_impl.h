// The write-back journal of the page cache (record-store sources only).
//
// Layout, every number big-endian: "QNMXJNL1" and the journal's length (8
// bytes); then per page its offset (8), its length (4) and its bytes; then
// "QNMXEND1", the number of pages (8), the file's length after the
// write-back (8) and a checksum (8) of everything before it. A journal
// whose end does not match was cut short by a crash before any page of the
// file was touched. The file is kept and overwritten by the next
// write-back (its blocks stay allocated); a finished journal is cleared by
// zeroing its first bytes, and the file is removed at close.
#pragma once

#include <cstddef>
#include <cstdint>

#include "store/pdb64.h"

// Writes the journal of n pages and the final length to path (not synced:
// it guards against the process being killed). 0, or -1 (nothing of the
// file has been touched then).
int fac_journal_write(const char* path, FAC_ENTRY* const* pages, size_t n, uint64_t final_size);
// Replays a complete journal at path onto fd (pages, then the length),
// syncs the file and removes the journal; an incomplete one is removed.
// 1 replayed, 2 an incomplete one dropped, 0 none there, -1 failure (the
// journal stays).
int fac_journal_replay(const char* path, int fd);
// Marks the journal at path finished. 0 or -1.
int fac_journal_clear(const char* path);
// Replays the whole journal at path onto fd (pages, then the length) and
// marks it finished, keeping the file and its blocks for the next journal
// (removing it when it cannot be marked): the file is then the whole
// write-back the journal held, *final_size long. 1 done, 0 no whole
// journal there (nothing touched), -1 failure (the journal stays whole,
// or the file is that write-back and the journal could not be put away).
int fac_journal_restore(const char* path, int fd, uint64_t* final_size);
// Lays the pages of a whole journal at path over a view of the cached
// file (FAC_INFO::view), as pages that are never written, and gives it the length
// the journal ends with: the file as replaying the journal would leave it,
// with nothing written. 1 laid over, 0 no whole journal there, -1 it could
// not be read.
int fac_journal_overlay(const char* path, FAC_INFO* info);
