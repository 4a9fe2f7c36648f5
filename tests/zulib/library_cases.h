// Running tables of (form, expected reply) cases against the library, once
// plainly and once while the collector runs at almost every allocation.
#pragma once

#include <utility>
#include <vector>

#include "zulib_test_util.h"

using LibCases = std::vector<std::pair<const char*, const char*>>;

class LibraryCases : public ::testing::Test {
 protected:
  void SetUp() override {
    init_library_once();
    env_ = new_env(qnlisp_top_env1);
    gc_set_nl(env_, gc_qnlisp_env);
  }
  // Evaluates set-up forms, then each case; `unchanged` must read `kept`
  // after every case.
  void run_all(const char* setup, const LibCases& cases, const char* unchanged = nullptr, const char* kept = nullptr) {
    ASSERT_NE(get_type(eval_text(env_, setup)), ZU_TYPE_ERROR) << setup;
    for (const auto& [form, want] : cases) {
      EXPECT_EQ(run(env_, form), want) << form;
      if (unchanged) {
        EXPECT_EQ(run(env_, unchanged), kept) << "after " << form;
      }
    }
  }
  void run_collecting(const char* setup, const LibCases& cases, const char* unchanged = nullptr,
                      const char* kept = nullptr) {
    gc_set_collect_every(3);
    run_all(setup, cases, unchanged, kept);
    gc_set_collect_every(0);
  }
  ZuThreadScope scope_{"library test"};
  ZUISP_ENV* env_ = nullptr;
};
