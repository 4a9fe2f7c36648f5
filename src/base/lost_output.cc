#include "base/lost_output.h"

#include <atomic>

namespace {

std::atomic<bool> lost{false};

}  // namespace

void note_lost_output() { lost.store(true); }

bool lost_output() { return lost.load(); }
