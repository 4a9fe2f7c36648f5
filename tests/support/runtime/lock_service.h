// Test support at the runtime's layer: the lock service tool (test path
// "lockd") started with the options given and bound where the lock client
// looks (LockPort and LockHostName of the second top environment) while it
// lives. Header-only; the interpreter runtime is started by the caller.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/call_lock.h"
#include "runtime/interp.h"
#include "support/child.h"
#include "support/runtime/interpreters.h"
#include "support/test_paths.h"
#include "text/convert.h"
#include "zu/gc.h"

struct LockService {
  // options: e.g. {"--refuse"} (every lock refused), {"--refuse=1"}.
  explicit LockService(const std::vector<std::string>& options = {}) {
    // A main interpreter that lives as long as the process, so that no
    // link to the service becomes the main one.
    if (get_main_interpreter_state() == 0) ensure_main_interpreter();
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    ChildOptions opt;
    opt.out = p[1];
    std::vector<std::string> argv{test_path("lockd"), "0"};
    argv.insert(argv.end(), options.begin(), options.end());
    child = start_program(argv, opt);
    close(p[1]);
    FILE* f = fdopen(p[0], "r");
    int port = -1;
    EXPECT_EQ(fscanf(f, "port %d", &port), 1);
    fclose(f);
    bind(port);
  }
  ~LockService() {
    bind(0);
    child.kill(SIGTERM);
    child.wait();
  }
  LockService(const LockService&) = delete;
  LockService& operator=(const LockService&) = delete;
  static void bind(int port) {
    ZuThreadScope scope("lock service");
    call_lock_forget_service();
    std::basic_string<L_CHAR> lp = l_string(ascii_cm, "LockPort"), lh = l_string(ascii_cm, "LockHostName");
    if (port) {
      EXPECT_EQ(0, set_env(qnlisp_top_env1, lp.c_str(), get_integer(port, nullptr)));
      EXPECT_EQ(0, set_env(qnlisp_top_env1, lh.c_str(), get_string_ascii("127.0.0.1")));
    } else {
      EXPECT_EQ(0, del_env(qnlisp_top_env1, lp.c_str()));
      EXPECT_EQ(0, del_env(qnlisp_top_env1, lh.c_str()));
    }
  }
  Child child;
};
