// Test support at the language core's layer, linked into the test binaries
// of the folders that ask for it (qnmx_test_folder STOP_COLLECTOR): stops
// the collector task before the main thread's thread-local state is
// released at exit (the task's own exit handler would otherwise reach the
// main thread's released collector record).
#include <gtest/gtest.h>

#include "zu/gc.h"

namespace {

class StopCollector : public ::testing::Environment {
 public:
  void TearDown() override { stop_gc_task(); }
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new StopCollector);

}  // namespace
