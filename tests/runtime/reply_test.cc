#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdio>

#include "base/version.h"
#include "runtime/front.h"
#include "runtime/later_services.h"
#include "runtime/reply_code.h"
#include "runtime/services.h"
#include "runtime/zu_init.h"
#include "runtime_test_util.h"
#include "zu/env.h"
#include "zu/gc.h"
#include "zu/reader.h"

namespace {

std::string hex(L_CHAR code) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x", static_cast<unsigned>(code));
  return buf;
}

// An unregistered record whose output is a string stream in encoding cm.
struct ReplyTo {
  explicit ReplyTo(CODE_METHOD* cm) {
    init_zu();
    zui = new_zu_interpreter();
    zui->out = s_open_string_write(cm);
  }
  ~ReplyTo() {
    if (zui->out) d_s_close(zui->out);
    free_zu_interpreter(zui);
  }
  std::string text() { return s_get_string(zui->out); }
  ZU_INTERPRETER* zui;
};

TEST(Reply, TagsOrBareValue) {
  ReplyTo r(utf8_cm);
  ZuThreadScope scope("test");
  _reply(r.zui, 7, List(get_integer(1, nullptr), n_get_string("a"), ZU_LIST_END));
  r.zui->result_flag = 0;
  _reply(r.zui, 8, nullptr);
  EXPECT_EQ(r.text(), "<Result> 7 (1 \"a\")</Result>\n()\n");
}

TEST(Reply, EncodingSwitchIsAnnouncedAndUndone) {
  ReplyTo r(eucjp_cm);
  ZuThreadScope scope("test");
  // The character that needs another encoding comes late in the text.
  std::basic_string<L_CHAR> text = W("abcdefghijklmnop");
  text.push_back(0x1F600);
  _reply(r.zui, 3, get_string(text.c_str()));
  _reply(r.zui, 4, n_get_string("plain"));
  EXPECT_EQ(r.text(), "&cx" + hex(utf8_cm->lccode) + ";\n<Result> 3 \"abcdefghijklmnop\xF0\x9F\x98\x80\"</Result>\n&cx" +
                          hex(eucjp_cm->lccode) + ";\n<Result> 4 \"plain\"</Result>\n");
  // A requested code sync announces the current encoding once.
  ReplyTo s(utf8_cm);
  s.zui->flags |= ZUI_F_CODE_SYNC;
  _reply(s.zui, 1, nullptr);
  _reply(s.zui, 2, nullptr);
  EXPECT_EQ(s.text(), "&cx" + hex(utf8_cm->lccode) + ";<Result> 1 ()</Result>\n<Result> 2 ()</Result>\n");
}

// A value goes between switches only when the output's encoding lacks one
// of its characters; a Unicode output is never switched.
TEST(Reply, SwitchOnlyWhenTheOutputLacksACharacter) {
  ZuThreadScope scope("test");
  const L_CHAR kana[] = {0x3042, 0x3044, 0};  // first registered in EUC-JP
  const L_CHAR smile[] = {0x1F600, 0};
  for (const char* name : {"UTF-8", "UTF-16", "EXTUCS-4"}) {
    ReplyTo r(search_cm(name));
    r.zui->result_flag = 0;
    _reply(r.zui, 1, List(get_string(kana), get_string(smile), ZU_LIST_END));
    EXPECT_EQ(r.text().find("&cx"), std::string::npos) << name;
  }
  ReplyTo sjis(search_cm("Shift_JIS"));
  sjis.zui->result_flag = 0;
  _reply(sjis.zui, 1, get_string(kana));
  EXPECT_EQ(sjis.text(), "\"\x82\xa0\x82\xa2\"\n");
  ReplyTo ascii(ascii_cm);
  ascii.zui->result_flag = 0;
  _reply(ascii.zui, 1, get_string(kana));
  EXPECT_EQ(ascii.text(), "&cx" + hex(eucjp_cm->lccode) + ";\n\"\xa4\xa2\xa4\xa4\"\n&cx" + hex(ascii_cm->lccode) +
                              ";\n");
}

TEST(Reply, FailedWriteDropsTheStream) {
  init_zu();
  ZU_INTERPRETER* z = new_zu_interpreter();
  z->out = s_open_file("/dev/full", O_WRONLY, 0);
  ASSERT_NE(z->out, nullptr);
  ZuThreadScope scope("test");
  _reply(z, 1, n_get_string("lost"));
  EXPECT_EQ(z->out, nullptr);
  _reply(z, 2, n_get_string("dropped"));  // nowhere to go: nothing happens
  free_zu_interpreter(z);
  s_close_queue_drain();
}

TEST(Reply, ValueThePrinterRefusesIsRepliedAsAnErrorAndTheStreamStays) {
  ReplyTo r(utf8_cm);
  ZuThreadScope scope("test");
  ZU_SEXP* deep = nullptr;
  for (int i = 0; i <= ZU_PRINT_MAX_DEPTH; ++i) deep = list(deep);
  _reply(r.zui, 1, deep);
  _reply(r.zui, 2, get_integer(3, nullptr));
  ASSERT_NE(r.zui->out, nullptr);
  std::string t = r.text();
  EXPECT_EQ(t.rfind("<Result> 1 #error(2147682310 ", 0), 0u) << t.substr(0, 80);
  EXPECT_NE(t.find(" \"print\" (\"value nested too deeply or cyclic\"))</Result>\n<Result> 2 3</Result>\n"),
            std::string::npos)
      << t.substr(0, 80);
}

// An error goes to the output and to a separate error stream, each
// switched only when its own encoding lacks a character; a requested code
// sync is announced once, on the first; an error that ends the program is
// nil on the output only; a failed error stream leaves the record and the
// output stays.
TEST(Reply, ErrorsGoToBothStreamsEachInItsOwnEncoding) {
  ZuThreadScope scope("test");
  const L_CHAR kana[] = {0x3042, 0};
  ReplyTo r(utf8_cm);
  r.zui->err = s_open_string_write(ascii_cm);
  r.zui->result_flag = 0;
  r.zui->flags |= ZUI_F_CODE_SYNC;
  _reply(r.zui, 5, get_error_ascii(nullptr, 0, ZU_ER_TYPE, "f", list(get_string(kana))));
  std::string out = r.text(), err = s_get_string(r.zui->err);
  EXPECT_EQ(out.rfind("&cx" + hex(utf8_cm->lccode) + ";#error(", 0), 0u) << out;
  EXPECT_EQ(out.find("&cx", 1), std::string::npos) << out;
  EXPECT_EQ(err.rfind("&cx" + hex(eucjp_cm->lccode) + ";\n#error(", 0), 0u) << err;
  EXPECT_NE(err.find("\xa4\xa2"), std::string::npos) << err;
  EXPECT_TRUE(err.ends_with("\n&cx" + hex(ascii_cm->lccode) + ";\n")) << err;
  EXPECT_EQ(r.zui->flags & ZUI_F_CODE_SYNC, 0);
  _reply(r.zui, 6, get_error_ascii(nullptr, 0, ZU_ER_EXIT, "f", nullptr));
  EXPECT_EQ(r.text().substr(out.size()), "()\n");
  EXPECT_EQ(s_get_string(r.zui->err), err);
  d_s_close(r.zui->err);

  r.zui->err = s_open_file("/dev/full", O_WRONLY, 0);
  ASSERT_NE(r.zui->err, nullptr);
  size_t before = r.text().size();
  _reply(r.zui, 7, get_error_ascii(nullptr, 0, ZU_ER_TYPE, "g", nullptr));
  EXPECT_EQ(r.zui->err, nullptr);
  EXPECT_EQ(r.text().substr(before, 7), "#error(");
  _reply(r.zui, 8, get_integer(8, nullptr));
  EXPECT_EQ(r.text().substr(r.text().size() - 2), "8\n");
  s_close_queue_drain();
}

// One walk decides as the two surveys did, for every encoding of the
// stream: whether a value's reply switches, and to which encoding.
TEST(ProperCode, ReplySurveyDecidesAsTheTwoSurveys) {
  init_zu();
  ZuThreadScope scope("test");
  const L_CHAR kana[] = {0x3042, 0x3044, 0};
  const L_CHAR smile[] = {0x1F600, 0};
  auto header = [](const char* name, const char* enc) {
    ZU_SEXP* h = get_symbol_ascii(name);
    set_attribute(h, W("encoding").c_str(), W(enc).c_str());
    return List(h, ZU_LIST_END);
  };
  ZU_SEXP* tagged = get_symbol_ascii("tag");
  set_attribute(tagged, W("name").c_str(), kana);
  ZU_SEXP* values[] = {
      nullptr,
      n_get_string("only ascii"),
      get_string(kana),
      get_string(smile),
      List(get_string(kana), get_string(smile), get_string(kana), ZU_LIST_END),
      List(header("?zu", "utf-8"), get_string(kana), ZU_LIST_END),
      List(header("?xml", "EUC-JP"), get_string(smile), ZU_LIST_END),
      List(header("?zu", "no-such-code"), get_string(kana), ZU_LIST_END),
      get_error_ascii(nullptr, 0, ZU_ER_TYPE, "f", list(get_string(kana))),
      List(tagged, ZU_LIST_END),
  };
  CODE_METHOD* cms[] = {nullptr, utf8_cm, eucjp_cm, search_cm("Shift_JIS"), ascii_cm, search_cm("UTF-16")};
  for (size_t i = 0; i < std::size(values); ++i) {
    for (CODE_METHOD* cm : cms) {
      L_CHAR proper = get_proper_code(values[i], -1);
      CODE_METHOD* need = proper == ZU_CODE_NONE ? nullptr : search_cm_by_lccode(proper);
      CODE_METHOD* was = need && cm && need != cm && !cm_carries(cm, values[i]) ? need : nullptr;
      EXPECT_EQ(reply_switch(values[i], cm), was) << "value " << i << " encoding " << (cm ? hex(cm->lccode) : "none");
    }
  }
}

TEST(ProperCode, HeaderSurveyAndFallback) {
  init_zu();
  ZuThreadScope scope("test");
  EXPECT_EQ(get_proper_code(n_get_string("only ascii"), 10), ZU_CODE_NONE);
  const L_CHAR smile[] = {0x1F600, 0};
  EXPECT_EQ(get_proper_code(List(get_symbol_ascii("x"), get_string(smile), ZU_LIST_END), 10), utf8_cm->lccode);
  ZU_SEXP* head = get_symbol_ascii("?zu");
  set_attribute(head, W("encoding").c_str(), W("utf-8").c_str());
  EXPECT_EQ(get_proper_code(List(List(head, ZU_LIST_END), n_get_string("x"), ZU_LIST_END), 10), utf8_cm->lccode);
  // An unknown encoding name falls back to the survey.
  ZU_SEXP* bad = get_symbol_ascii("?xml");
  set_attribute(bad, W("encoding").c_str(), W("no-such-code").c_str());
  EXPECT_EQ(get_proper_code(List(bad, get_string(smile), ZU_LIST_END), -1), utf8_cm->lccode);
}

TEST(Services, CommandsFromNarrowText) {
  init_zu();
  ZuThreadScope scope("test");
  ZU_SEXP* ok = sexp_commands(std_cm, "<mxFinish\n", "\tnormal-jump-status=\"MS_OK\"/>\n", "(a ", "b)", nullptr);
  ASSERT_EQ(get_type(ok), ZU_TYPE_LIST);
  EXPECT_EQ(list_length(ok), 2);
  EXPECT_EQ(get_type(sexp_commands(std_cm, "(a) <b c=\"d\">", nullptr)), ZU_TYPE_ERROR);
  char* s = sc_add_str(nullptr, "ab");
  s = sc_add_str(s, "cd");
  EXPECT_STREQ(s, "abcd");
  d_f_ree(s);
  EXPECT_STREQ(sxc_int(-42), "-42");
  EXPECT_STREQ(sxc_float(1.5), "1.500000");
}

TEST(Services, ServerPortIsReadOnceAndBadValuesAreErrors) {
  init_zu();
  ZuThreadScope scope("test");
  reset_my_port();
  EXPECT_EQ(0, del_env(qnlisp_top_env1, W("ServerPort").c_str()));
  EXPECT_EQ(get_my_port(), -1);
  EXPECT_EQ(0, set_env(qnlisp_top_env1, W("ServerPort").c_str(), n_get_string("9090")));
  EXPECT_EQ(get_my_port(), -2);
  EXPECT_EQ(0, set_env(qnlisp_top_env1, W("ServerPort").c_str(), get_integer(9090, nullptr)));
  EXPECT_EQ(get_my_port(), 9090);
  EXPECT_EQ(0, set_env(qnlisp_top_env1, W("ServerPort").c_str(), get_integer(7000, nullptr)));
  EXPECT_EQ(get_my_port(), 9090);
  reset_my_port();
  EXPECT_EQ(0, del_env(qnlisp_top_env1, W("ServerPort").c_str()));
}

TEST(Startup, VersionsAndBanner) {
  init_zu();
  init_zu();  // a second start-up changes nothing
  VERSION* v = get_version(nullptr);
  const char* layers[] = {"ZU.code", "ZU.proto", "ZU.lang", "MA.code", "SR.code"};
  for (const char* layer : layers) {
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v->layer, layer);
    v = v->next;
  }
  EXPECT_STREQ(get_setagent_msg(), "ZU.lib/ver.B.b16.14(SKELDER)");
}

}  // namespace
