// The table of what a peer may call has a row for every built-in the
// program binds, and a built-in bound without one is refused to peers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/agent.h"
#include "runtime/services.h"
#include "text/codemethod.h"
#include "zu/core_init.h"
#include "zu/errcodes.h"
#include "zu/eval.h"
#include "zu/peer.h"

namespace {

ZU_SEXP* answer_one(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) { return get_integer(1, nullptr); }

}  // namespace

TEST(PeerRules, EveryBuiltInTheProgramBindsHasItsRow) {
  char program[] = "qnmx";
  char* argv[] = {program, nullptr};
  start_agent(1, argv);
  std::string rowless;
  for (const std::string& name : peer_rule_missing()) rowless += " " + name;
  EXPECT_EQ(rowless, "") << "bound without a row, so refused to every peer";
  EXPECT_EQ(peer_rule_unbound(), nullptr) << "a row no built-in is bound under";

  // One bound later without a row answers the agent, and refuses a peer
  // in any environment (evaluated on this thread, which has no
  // interpreter for the break check to ask).
  set_break_check_hook(nullptr);
  ZuThreadScope scope("test");
  const QN_PRIM_DEF defs[] = {{"forgotten-in-the-table", answer_one, 0, 1, 1, 0}, {}};
  bind_prims(qnlisp_top_env0, defs);
  EXPECT_EQ(peer_rule_missing(), std::vector<std::string>{"forgotten-in-the-table"});
  ZU_SEXP* forms = sexp_commands(utf8_cm, "(forgotten-in-the-table)\n(+ 40 2)\n", nullptr);
  ASSERT_EQ(get_type(forms), ZU_TYPE_LIST);
  gc_set_nl(forms, gc_qn_sexp);
  ZUISP_ENV* env = new_env(qnlisp_top_env1);
  ZU_SEXP* mine = eval(env, get_el(forms, 0));
  ASSERT_EQ(get_type(mine), ZU_TYPE_INTEGER);
  EvalOriginScope peer(peer_origin(0x7F000002, 7));
  ZU_SEXP* refused = eval(env, get_el(forms, 0));
  ASSERT_EQ(get_type(refused), ZU_TYPE_ERROR);
  EXPECT_EQ(refused->error->code, ZU_ER_DENIED);
  ZU_SEXP* sum = eval(new_env(qnlisp_top_env0), get_el(forms, 1));
  ASSERT_EQ(get_type(sum), ZU_TYPE_INTEGER);
  EXPECT_EQ(sum->integer.num, 42);
}
