// Test support: replaying a fuzz target's entry point inside the test suite
// over its committed seed corpus and deterministic mutations of it. The
// same seeds (and dictionary) feed the libFuzzer runs of `make fuzz`.
//
// The gate caps a replay: at most QNMX_FUZZ_ROUNDS mutations (when set,
// and never more than asked), and no new mutation once QNMX_FUZZ_SECONDS
// (default 30) have passed, so a slow target cannot stretch `make test`.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "support/bytes.h"

using FuzzEntry = int (*)(const uint8_t* data, size_t size);

// Every file of the folder, in name order (so replays are reproducible).
std::vector<Bytes> read_corpus(const std::string& dir);
// The tokens of a libFuzzer dictionary file (`name="..."` or `"..."` lines,
// with \\, \" and \xNN escapes); none when the file is missing. A line that
// libFuzzer would refuse (which stops `make fuzz`) refuses the whole file:
// nothing is returned and *error (when given) names the line.
std::vector<std::string> read_fuzz_dict(const std::string& path, std::string* error = nullptr);

// One mutation: bits flipped, a cut, a slice repeated, bytes set to 0x00 or
// 0xFF, or a dictionary token dropped in.
Bytes fuzz_mutate(const Bytes& in, std::mt19937& rng, const std::vector<std::string>& dict);

struct FuzzReplay {
  std::vector<Bytes> seeds;
  std::vector<std::string> dict;
  int rounds = 2000;
  unsigned rng_seed = 1;
  // Replaces fuzz_mutate when set.
  std::function<Bytes(const Bytes&, std::mt19937&)> mutate;
};

// Runs every seed, then the mutations (capped as above); the number of
// inputs run.
int fuzz_replay(FuzzEntry entry, const FuzzReplay& r);
