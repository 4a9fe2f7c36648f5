// Association files holding ZU values: printed on insert, read back on
// search, through close and reopen.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store/assoc64.h"
#include "store/l_favt64.h"
#include "store_test_util.h"
#include "stream/stream.h"
#include "support/text/wide.h"
#include "text/codemethod.h"
#include "zu/file.h"
#include "zu/printer.h"
#include "zu/reader.h"
#include "zu/value.h"

namespace {

std::string show(ZU_SEXP* v) {
  STREAM* st = s_open_string_write(utf8_cm);
  print_sexp(st, v, ZU_PRINT_LIST);
  std::string out(s_get_string(st), static_cast<size_t>(s_get_string_len(st)));
  d_s_close(st);
  return out;
}

class AssocZuTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    init_l_favt64();
    // A collection before every few allocations: a value left unpinned
    // while it is printed or read is freed at once.
    gc_set_collect_every(5);
  }
  void TearDown() override {
    gc_set_collect_every(0);
    StoreTest::TearDown();
  }
  int open(const char* name, const char* encoding = "UTF-8", int oflags = O_RDWR | O_CREAT) {
    return l_open_associate64(path(name).c_str(), oflags, 0644, kPdb64WithFreeList, 40, encoding);
  }
  ZU_SEXP* find(int key, int index, int32_t k) { return l_search_associate64(key, index, &k, nullptr); }
  ZU_SEXP* find(int key, int index, const char32_t* s, ASSOC64_STRING_OPT* opt = nullptr) {
    return l_search_associate64(key, index, W(s), opt);
  }
  ZuThreadScope scope_{"assoc test"};
};

ZU_SEXP* symbol_with_attributes() {
  ZU_SEXP* s = get_symbol(W(U"item"));
  set_attribute(s, W(U"kind"), W(U"a b"));
  set_attribute(s, W(U"id"), W(U"3"));
  return s;
}

TEST_F(AssocZuTest, ValuesOfEveryKindRoundTripThroughReopen) {
  int key = open("v.db");
  ASSERT_GT(key, 0);
  ASSERT_EQ(l_new_index64(key, kAssocIntegerIndex, 1), 0);
  ASSERT_EQ(l_new_index64(key, kAssocStringIndex, 2), 1);
  ZU_SEXP* nested = List(get_symbol(W(U"a")), List(get_integer(1, nullptr), get_string(W(U"x\"y\n")), ZU_LIST_END),
                         cons(get_integer(2, nullptr), get_integer(3, nullptr)), ZU_LIST_END);
  struct Case {
    int32_t ikey;
    const char32_t* skey;
    ZU_SEXP* value;
    const char* text;
  } cases[] = {
      {-7, U"list", nested, "(a (1 \"x&quot;y\\n\") (2 .3))"},
      {0, U"string", get_string(W(U"wide \u00e9\u65e5")), "\"wide \u00e9\u65e5\""},
      {12, U"km", get_integer(12, W(U"km")), "12km"},
      {13, U"sec", get_floating(-1.5, W(U"sec")), "-1.500000sec"},
      {99, U"sym", symbol_with_attributes(), "[item id=\"3\" kind=\"a b\"]"},
      {100, U"nil", nullptr, "()"},
  };
  for (auto& c : cases) {
    ASSERT_EQ(l_insert_associate64(key, 0, &c.ikey, c.value), 0) << c.text;
    ASSERT_EQ(l_insert_associate64(key, 1, W(c.skey), c.value), 0) << c.text;
  }
  // A second insert replaces the value.
  int32_t twelve = 12;
  ASSERT_EQ(l_insert_associate64(key, 0, &twelve, get_integer(5, W(U"m"))), 0);
  ASSERT_EQ(l_insert_associate64(key, 1, W(U"km"), get_integer(5, W(U"m"))), 0);
  ASSERT_EQ(l_close_associate64(key), 0);

  key = open("v.db", "UTF-8", O_RDWR);
  ASSERT_GT(key, 0);
  for (auto& c : cases) {
    std::string want = c.ikey == 12 ? "5m" : c.text;
    EXPECT_EQ(show(find(key, 0, c.ikey)), want);
    EXPECT_EQ(show(find(key, 1, c.skey)), want);
  }
  ZU_SEXP* sym = find(key, 1, U"sym");
  ASSERT_EQ(get_type(sym), ZU_TYPE_SYMBOL);
  EXPECT_EQ(get_sf_attribute(sym_field(sym), W(U"kind"))[1], U' ');
  ZU_SEXP* read_back = find(key, 0, -7);
  ASSERT_NE(sexp_file(read_back), nullptr);
  EXPECT_EQ(std::u32string(reinterpret_cast<const char32_t*>(sexp_file(read_back)->name)), U"associate");

  // Absent keys give the empty list; the whole index comes in key order.
  EXPECT_EQ(find(key, 0, 4), nullptr);
  EXPECT_EQ(find(key, 1, U"absent"), nullptr);
  EXPECT_EQ(find(key, 5, 4), nullptr);
  EXPECT_EQ(show(l_get_assoc64_all(key, 0)),
            "((a (1 \"x&quot;y\\n\") (2 .3)) \"wide \u00e9\u65e5\" 5m -1.500000sec [item id=\"3\" kind=\"a b\"] ())");
  EXPECT_EQ(show(l_get_assoc64_all(key, 1)),
            "(5m (a (1 \"x&quot;y\\n\") (2 .3)) () -1.500000sec \"wide \u00e9\u65e5\" [item id=\"3\" kind=\"a b\"])");
  ASSERT_EQ(l_close_associate64(key), 0);
}

TEST_F(AssocZuTest, LongestPrefixAndOtherEncodings) {
  // UTF-16 ends texts in a two-byte zero; EUC-JP writes what it cannot
  // express as references.
  for (const char* enc : {"UTF-16", "EUC-JP"}) {
    SCOPED_TRACE(enc);
    std::string name = std::string("p-") + enc + ".db";
    int key = open(name.c_str(), enc);
    ASSERT_GT(key, 0);
    ASSERT_EQ(l_new_index64(key, kAssocStringIndex, 1), 0);
    ASSERT_EQ(l_insert_associate64(key, 0, W(U"ab"), get_string(W(U"\u65e5\u672c \u00e9"))), 0);
    ASSERT_EQ(l_insert_associate64(key, 0, W(U"abcd"), get_symbol(W(U"deep"))), 0);
    std::string body;
    ASSERT_EQ(l_search_associate64_text(key, 0, W(U"abcd"), nullptr, &body), 1);
    if (std::string(enc) == "UTF-16") {
      EXPECT_EQ(body.substr(0, 10), std::string("\0d\0e\0e\0p\0\0", 10));
    }
    ASSERT_EQ(l_close_associate64(key), 0);

    key = open(name.c_str(), enc, O_RDWR);
    ASSERT_GT(key, 0);
    ASSOC64_STRING_OPT opt{0, -1};
    EXPECT_EQ(show(find(key, 0, U"abzz", &opt)), "\"\u65e5\u672c \u00e9\"");
    EXPECT_EQ(opt.size, 2);
    EXPECT_EQ(show(find(key, 0, U"abcx", &opt)), "\"\u65e5\u672c \u00e9\"") << "abc holds no value";
    EXPECT_EQ(opt.size, 2);
    EXPECT_EQ(show(find(key, 0, U"abcde", &opt)), "deep");
    EXPECT_EQ(opt.size, 4);
    opt = {1, -1};
    EXPECT_EQ(find(key, 0, U"abzz", &opt), nullptr);
    ASSERT_EQ(l_close_associate64(key), 0);
  }
}

TEST_F(AssocZuTest, ValueListsComeBackInOrderAfterReopen) {
  int key = open("l.db");
  ASSERT_EQ(l_new_index64(key, kAssocStringIndex, 1), 0);
  ASSERT_EQ(l_insert_associate64(key, 0, W(U"a"), get_integer(1, nullptr)), 0);
  ASSERT_EQ(l_insert_associate64(key, 0, W(U"c"), get_integer(4, nullptr)), 0);
  // A value list under "b": values added with no old value to replace.
  lock_task(l_favt64_lock);
  PDB64* p = as_key64[key].p;
  int err = 0;
  FAVT64_ROOT* r = get_root64(&err, p, load_be64(reinterpret_cast<uint8_t*>(as_key64[key].assoc) + 16),
                              dtree64_endian);
  ASSERT_NE(r, nullptr);
  favt64_lock(r);
  for (const char* t : {"(two)", "three"})
    EXPECT_EQ(insert_dtree64(&err, r, W(U"b"), 0, static_cast<uint64_t>(alloc64_data(p, t))), 0);
  favt64_unlock(r);
  unlock_task(l_favt64_lock, "test");
  ASSERT_EQ(l_close_associate64(key), 0);

  key = open("l.db", "UTF-8", O_RDWR);
  EXPECT_EQ(show(l_get_assoc64_all(key, 0)), "(1 (two) three 4)");
  EXPECT_EQ(show(find(key, 0, U"b")), "(two)") << "a search gives the list's first value";
  // Inserting through the association replaces the whole list.
  ASSERT_EQ(l_insert_associate64(key, 0, W(U"b"), get_integer(2, nullptr)), 0);
  EXPECT_EQ(show(l_get_assoc64_all(key, 0)), "(1 2 4)");
  ASSERT_EQ(l_close_associate64(key), 0);
}

TEST_F(AssocZuTest, DamagedRecordsAndTextsGiveErrorValues) {
  int key = open("good.db");
  ASSERT_EQ(l_new_index64(key, kAssocIntegerIndex, 1), 0);
  int32_t one = 1, two = 2;
  ASSERT_EQ(l_insert_associate64(key, 0, &one, get_symbol(W(U"marker"))), 0);
  ASSERT_EQ(l_insert_associate64_text(key, 0, &two, "(unclosed"), 0);
  ZU_SEXP* bad_text = find(key, 0, 2);
  EXPECT_EQ(get_type(bad_text), ZU_TYPE_ERROR) << show(bad_text);
  ASSERT_EQ(l_close_associate64(key), 0);

  Bytes b = read_bytes(path("good.db"));
  size_t at = 0;
  for (size_t i = 32; i + 7 < b.size(); ++i)
    if (std::memcmp(b.data() + i, "marker", 7) == 0) at = i - 4;
  ASSERT_GT(at, 0u);
  store_be16(b.data() + at, 0x0606);  // the value record's type
  write_bytes(path("bad.bin"), b);
  key = open("bad.bin", "UTF-8", O_RDWR);
  ASSERT_GT(key, 0);
  ZU_SEXP* e = find(key, 0, 1);
  ASSERT_EQ(get_type(e), ZU_TYPE_ERROR);
  EXPECT_EQ(e->error->code, 0x80040a06u);
  EXPECT_EQ(error_code(l_get_assoc64_all(key, 0)), 0x80040a06u);
  l_close_associate64(key);
}

TEST_F(AssocZuTest, UnprintableValuesAreRefused) {
  int key = open("u.db", "ASCII");
  ASSERT_EQ(l_new_index64(key, kAssocIntegerIndex, 1), 0);
  ZU_SEXP* cyc = cons(get_integer(1, nullptr), nullptr);
  cyc->pair.cdr = cyc;
  int32_t k = 1;
  EXPECT_EQ(l_insert_associate64(key, 0, &k, cyc), -1);
  EXPECT_EQ(find(key, 0, 1), nullptr) << "nothing was stored";
  // Without a printer installed nothing can be stored.
  const ASSOC64_VALUE_OPS* ops = get_assoc64_value_ops();
  set_assoc64_value_ops(nullptr);
  EXPECT_EQ(l_insert_associate64(key, 0, &k, get_integer(1, nullptr)), -1);
  set_assoc64_value_ops(ops);
  ASSERT_EQ(l_close_associate64(key), 0);
}

}  // namespace
