#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "zu/value.h"
#include "zu_test_util.h"

namespace {

class Value : public ::testing::Test {
 protected:
  ZuThreadScope scope{"value test"};
};

std::u32string text(const L_CHAR* s) {
  std::u32string r;
  for (; s && *s; ++s) r.push_back(static_cast<char32_t>(*s));
  return r;
}

}  // namespace

TEST_F(Value, CarCdrAndErrors) {
  ZU_SEXP* l = List(I(1), I(2), ZU_LIST_END);
  EXPECT_EQ(car(l)->integer.num, 1);
  EXPECT_EQ(car(cdr(l))->integer.num, 2);
  ZU_SEXP* e = car(nullptr);
  ASSERT_EQ(get_type(e), ZU_TYPE_ERROR);
  EXPECT_EQ(e->error->code, ZU_ER_TYPE);
  EXPECT_EQ(text(e->error->func), U"car");
  EXPECT_EQ(text(str_text(car(e->error->data))), U"type missmatch");
  EXPECT_EQ(car(e), e);  // errors pass through
  EXPECT_EQ(cdr(e), e);
  EXPECT_EQ(text(cdr(I(3))->error->func), U"cdr");
  EXPECT_NE(e->error->site, nullptr);
  EXPECT_STREQ(zu_type_name(ZU_TYPE_ENV), "environment");
}

TEST_F(Value, ListUtilitiesOnProperImproperAndCyclicLists) {
  ZU_SEXP* l = List(I(0), I(1), I(2), ZU_LIST_END);
  ZU_SEXP* dotted = cons(I(0), cons(I(1), Str("tail")));
  EXPECT_EQ(list_length(l), 3);
  EXPECT_EQ(list_length(nullptr), 0);
  EXPECT_EQ(list_length(dotted), -1);
  EXPECT_EQ(list_length(I(5)), -1);
  EXPECT_EQ(get_el(l, 2)->integer.num, 2);
  EXPECT_EQ(get_el(l, 3), nullptr);
  EXPECT_EQ(get_el(l, -1), nullptr);
  EXPECT_EQ(get_el(dotted, 2), nullptr);

  ZU_SEXP* cyc = List(I(1), I(2), I(3), ZU_LIST_END);
  cyc->pair.cdr->pair.cdr->pair.cdr = cyc;
  EXPECT_EQ(list_length(cyc), -1);
  cyc->pair.cdr->pair.cdr->pair.cdr = nullptr;

  ZU_SEXP* r = reverse(l);
  EXPECT_EQ(cmp_sexp(r, List(I(2), I(1), I(0), ZU_LIST_END)), 0);
  EXPECT_EQ(reverse(I(4)), nullptr);
  EXPECT_EQ(list_length(reverse(dotted)), 2);  // the improper tail is dropped

  ZU_SEXP* ab = append(l, List(I(3), ZU_LIST_END));
  EXPECT_EQ(list_length(ab), 4);
  EXPECT_EQ(list_length(l), 3);  // inputs unchanged
  EXPECT_EQ(append(l, dotted), nullptr);
  EXPECT_EQ(append(dotted, l), nullptr);
  EXPECT_EQ(cmp_sexp(append(nullptr, l), l), 0);

  // list_error: first error depth first, else the improper tail, else nil.
  ZU_SEXP* er1 = get_error_ascii(nullptr, 0, ZU_ER_PARAM, "one", nullptr);
  ZU_SEXP* er2 = get_error_ascii(nullptr, 0, ZU_ER_TYPE, "two", nullptr);
  ZU_SEXP* tree = List(I(1), List(I(2), List(er1, ZU_LIST_END), ZU_LIST_END), er2, ZU_LIST_END);
  EXPECT_EQ(list_error(tree), er1);
  EXPECT_EQ(get_type(list_error(dotted)), ZU_TYPE_STRING);
  EXPECT_EQ(list_error(List(cons(I(1), I(2)), ZU_LIST_END)), nullptr);
  EXPECT_EQ(list_error(l), nullptr);
}

TEST_F(Value, StructuralOrder) {
  // Type first; numbers by value across integer and floating, then unit.
  EXPECT_EQ(cmp_sexp(nullptr, nullptr), 0);
  EXPECT_LT(cmp_sexp(nullptr, List(I(1), ZU_LIST_END)), 0);
  EXPECT_LT(cmp_sexp(I(2), get_floating(2.5, nullptr)), 0);
  EXPECT_GT(cmp_sexp(I(INT64_MAX), get_floating(9.2e18, nullptr)), 0);
  EXPECT_NE(cmp_sexp(I(1), get_floating(1.0, nullptr)), 0);
  EXPECT_LT(cmp_sexp(get_floating(1e300, nullptr), get_floating(NAN, nullptr)), 0);
  EXPECT_EQ(cmp_sexp(get_floating(NAN, nullptr), get_floating(NAN, nullptr)), 0);
  EXPECT_NE(cmp_sexp(get_integer(1, W(U"m")), get_integer(1, W(U"km"))), 0);
  EXPECT_EQ(cmp_sexp(get_integer(1, W(U"m")), get_integer(1, W(U"m"))), 0);
  EXPECT_LT(cmp_sexp(Str("abc"), Str("abd")), 0);
  EXPECT_LT(cmp_sexp(Str("ab"), Str("abc")), 0);
  EXPECT_LT(cmp_sexp(get_raw("zz", 2), get_raw("aaa", 3)), 0);
  EXPECT_EQ(cmp_sexp(get_raw("ab", 2), get_raw("ab", 2)), 0);

  // Lists member by member, a proper prefix first; improper tails compare.
  ZU_SEXP* a = List(I(1), List(I(2), I(3), ZU_LIST_END), ZU_LIST_END);
  ZU_SEXP* b = List(I(1), List(I(2), I(4), ZU_LIST_END), ZU_LIST_END);
  EXPECT_LT(cmp_sexp(a, b), 0);
  EXPECT_GT(cmp_sexp(b, a), 0);
  EXPECT_LT(cmp_sexp(List(I(1), ZU_LIST_END), List(I(1), I(0), ZU_LIST_END)), 0);
  EXPECT_NE(cmp_sexp(cons(I(1), I(2)), cons(I(1), I(3))), 0);

  // Symbols by name, then attributes.
  ZU_SEXP* s1 = S("tag");
  ZU_SEXP* s2 = S("tag");
  EXPECT_EQ(cmp_sexp(s1, s2), 0);
  set_attribute(s2, W(U"id"), W(U"3"));
  EXPECT_LT(cmp_sexp(s1, s2), 0);
  EXPECT_LT(cmp_sexp(S("a"), S("b")), 0);
}

TEST_F(Value, SymbolAttributes) {
  ZU_SEXP* s = S("item");
  set_attribute(s, W(U"kind"), W(U"a"));
  set_attribute(s, W(U"id"), W(U"3"));
  set_attribute(I(1), W(U"id"), W(U"x"));  // not a symbol: left alone
  EXPECT_EQ(text(get_sf_attribute(sym_field(s), W(U"id"))), U"3");
  EXPECT_EQ(get_sf_attribute(sym_field(s), W(U"none")), nullptr);
  EXPECT_EQ(text(str_text(cast_symbol2string(s))), U"[item id=\"3\" kind=\"a\"]");
  EXPECT_EQ(text(str_text(cast_symbol2string(S("plain")))), U"plain");
  // Symbols of one name share their interned name; each is a new value.
  ZU_SEXP* n1 = n_get_symbol("item");
  EXPECT_NE(n1, s);
  EXPECT_EQ(n1->symbol.atom, s->symbol.atom);
  EXPECT_EQ(sym_field(n1), nullptr);
  EXPECT_EQ(text(str_text(n_get_string("item"))), U"item");

  // set_sym_field never changes the list it is given.
  ZU_SYM_FIELD* orig = sym_field(s);
  ZU_SYM_FIELD* changed = set_sym_field(orig, W(U"kind"), W(U"b"));
  EXPECT_EQ(text(get_sf_attribute(orig, W(U"kind"))), U"a");
  EXPECT_EQ(text(get_sf_attribute(changed, W(U"kind"))), U"b");
  EXPECT_EQ(text(get_sf_attribute(changed, W(U"id"))), U"3");
  EXPECT_EQ(text(changed->name), U"id");  // order kept
  ZU_SYM_FIELD* removed = set_sym_field(orig, W(U"id"), nullptr);
  EXPECT_EQ(get_sf_attribute(removed, W(U"id")), nullptr);
  EXPECT_EQ(removed, orig->next);  // the rest after the match is shared
  ZU_SYM_FIELD* added = set_sym_field(orig, W(U"new"), W(U"v"));
  EXPECT_EQ(added->next, orig);
  EXPECT_EQ(set_sym_field(orig, W(U"absent"), nullptr), orig);

  // Flag words: names in table order, each at most once.
  const ATTR_FLAG_TBL tbl[] = {{"level", 1}, {"data", 2}, {"time", 8}, {nullptr, 0}};
  int err = 5;
  EXPECT_EQ(get_attr_flags(&err, W(U"level:time"), tbl), 9);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(get_attr_flags(&err, W(U""), tbl), 0);
  EXPECT_EQ(err, 0);
  int i = 0;
  for (const char32_t* bad : {U"data:level", U"level:level", U"level::data", U"other", U"level:"}) {
    get_attr_flags(&err, W(bad), tbl);
    EXPECT_EQ(err, -1) << "case " << i++;
  }
}

TEST_F(Value, ElementPaths) {
  // (doc (a 1) (b (c "x") (c "y")) (a 2))
  ZU_SEXP* doc = List(S("doc"), List(S("a"), I(1), ZU_LIST_END),
                      List(S("b"), List(S("c"), Str("x"), ZU_LIST_END), List(S("c"), Str("y"), ZU_LIST_END),
                           ZU_LIST_END),
                      List(S("a"), I(2), ZU_LIST_END), ZU_LIST_END);
  EXPECT_EQ(get_el(get_el_c(doc, W(U"a"), nullptr), 1)->integer.num, 1);
  EXPECT_EQ(get_el(get_el_c(doc, W(U"a'2"), nullptr), 1)->integer.num, 2);
  EXPECT_EQ(text(str_text(get_el(get_el_c(doc, W(U"b/c'2"), nullptr), 1))), U"y");
  EXPECT_EQ(text(sym_name(car(get_el_c(doc, W(U"'2"), nullptr)))), U"b");  // empty name: any member
  EXPECT_EQ(get_el_by_symbol(cdr(doc), W(U"b"), 0), get_el_c(doc, W(U"b"), nullptr));

  ZU_SEXP* e = get_el_c(doc, W(U"b/c'3"), nullptr);
  ASSERT_EQ(get_type(e), ZU_TYPE_ERROR);
  EXPECT_EQ(e->error->code, ZU_ER_UNDEFINED);
  EXPECT_EQ(text(str_text(e->error->data)), U"no object");
  EXPECT_EQ(get_type(get_el_c(doc, W(U"a'x"), nullptr)), ZU_TYPE_ERROR);
  EXPECT_EQ(get_type(get_el_c(doc, W(U"a'0"), nullptr)), ZU_TYPE_ERROR);
  EXPECT_EQ(text(sym_name(get_el_c(doc, W(U"zz"), W(U"$dflt")))), U"dflt");
  EXPECT_EQ(get_el_c(doc, W(U"zz"), W(U"(x)")), nullptr);
  EXPECT_EQ(text(str_text(get_el_c(doc, W(U"zz"), W(U"text")))), U"text");
}

namespace {

struct Promise {
  DELAY_FUNC h;
  bool ready;
  int forced;
  ZU_SEXP* value;
};

ZU_SEXP* force_promise(ZU_SEXP* d) {
  auto* p = static_cast<Promise*>(d->delay.work);
  ++p->forced;
  return over_write_sexp(d, p->value);
}
int check_promise(void* w, int) { return static_cast<Promise*>(w)->ready ? 2 : 1; }
void mark_promise(void* w) {
  if (gc_mark_block(w)) return;
  gc_mark(static_cast<Promise*>(w)->value, gc_qn_sexp);
}

}  // namespace

TEST_F(Value, DelayedValuesForceOnTypeQueries) {
  auto* p = static_cast<Promise*>(mmalloc(sizeof(Promise), mark_promise));
  p->h = DELAY_FUNC{force_promise, mark_promise, check_promise};
  ZU_SEXP* d = init_delay_func(p);
  p->value = List(I(1), I(2), ZU_LIST_END);
  ZU_SEXP* holder = list(d);
  gc_collect_now();  // the record and its value live through the delay

  EXPECT_EQ(sexp_type(d), ZU_TYPE_DELAY);
  EXPECT_EQ(check_delay(d, 0), 1);
  p->ready = true;
  EXPECT_EQ(check_delay(d, 0), 2);
  void* rec = nullptr;
  STREAM* st = reinterpret_cast<STREAM*>(&rec);
  EXPECT_EQ(get_delay_info(&st, &rec, d), 2);
  EXPECT_EQ(rec, p);
  EXPECT_EQ(st, nullptr);
  EXPECT_EQ(p->forced, 0);

  // List walks force a delayed member in place, once.
  EXPECT_EQ(list_length(car(holder)), 2);
  EXPECT_EQ(get_type(d), ZU_TYPE_LIST);
  EXPECT_EQ(get_el(d, 1)->integer.num, 2);
  EXPECT_EQ(p->forced, 1);
  EXPECT_EQ(check_delay(d, 0), 0);

  // A delay without a producer stays a delay instead of looping.
  ZU_SEXP* stuck = init_delay_func(nullptr);
  EXPECT_EQ(get_type(stuck), ZU_TYPE_DELAY);
  EXPECT_EQ(check_delay(stuck, 0), 0);

  ZU_SEXP* pos = I(5);
  set_sexp_pos(pos, nullptr, 12);
  set_sexp_inh(nullptr, ZU_TYPE_LIST, pos, pos);
  EXPECT_EQ(get_type(pos), ZU_TYPE_LIST);
  EXPECT_EQ(pos->pair.car, nullptr);
  EXPECT_EQ(pos->h.line, 12);
  over_write_sexp(pos, nullptr);
  EXPECT_TRUE(is_nil(pos));
  EXPECT_EQ(list_length(cons(I(1), pos)), 1);
}

TEST_F(Value, ConvertersAndRawBytes) {
  QN_POINT pt{};
  EXPECT_EQ(zu_to_qn_point(&pt, List(I(3), get_floating(4.5, nullptr), ZU_LIST_END)), 0);
  EXPECT_EQ(pt.x, 3.0);
  EXPECT_EQ(pt.y, 4.5);
  EXPECT_EQ(zu_to_qn_point(&pt, List(I(3), Str("4"), ZU_LIST_END)), -1);
  EXPECT_EQ(zu_to_qn_point(&pt, List(I(3), ZU_LIST_END)), -1);
  QN_RECT r{};
  ZU_SEXP* rect = List(List(I(0), I(1), ZU_LIST_END), List(I(2), I(3), ZU_LIST_END), ZU_LIST_END);
  EXPECT_EQ(zu_to_qn_rect(&r, rect), 0);
  EXPECT_EQ(r.br.y, 3.0);
  EXPECT_EQ(zu_to_qn_rect(&r, List(I(0), I(1), ZU_LIST_END)), -1);

  const char bytes[] = "\x00\x01\x02";
  ZU_SEXP* raw = get_raw(bytes, 3);
  EXPECT_EQ(raw->raw.size, 3u);
  EXPECT_EQ(raw->raw.data[2], 2);
  std::string big(5000, 'q');  // a block beyond the small-cell sizes
  ZU_SEXP* large = get_raw(big.data(), static_cast<uint32_t>(big.size()));
  gc_collect_now();
  EXPECT_EQ(large->raw.data[4999], 'q');
  EXPECT_EQ(gc_block_size(large->raw.data), 5000u);

  ZU_SEXP* f = get_floating(2.0, W(U""));
  EXPECT_NE(f->floating.unit, nullptr);  // an empty unit is kept
  EXPECT_EQ(get_integer(2, nullptr)->integer.unit, nullptr);
  EXPECT_EQ(text(str_text(get_string(nullptr))), U"");
}
