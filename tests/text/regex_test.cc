#include "text/regex.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/text/wide.h"

namespace {

struct Result {
  int r, min, max;
  bool operator==(const Result&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Result& x) {
  return os << "(" << x.r << " " << x.min << " " << x.max << ")";
}

Result run(AUTOMATON* a, const L_CHAR* text, int shortest = 0) {
  Result x{};
  x.r = parse_dfa_str(&x.min, &x.max, a, text, shortest);
  return x;
}

Result match(std::u32string_view expr, std::u32string_view text, int shortest = 0) {
  AUTOMATON* a = get_fa(W(expr).data());
  EXPECT_NE(a, nullptr) << "expression did not compile";
  Result x = run(a, W(text).c_str(), shortest);
  free_automaton(a);
  return x;
}

struct Case {
  std::u32string_view expr, text;
  Result want;
};

TEST(Regex, MatchPositions) {
  const Case cases[] = {
      // Only a leading part matches: no full match, shortest and longest 2.
      {U"ab", U"abc", {-1, 2, 2}},
      {U"abc", U"abc", {3, 3, 3}},
      {U"a|ab|abc", U"abc", {3, 1, 3}},
      {U"a|abc", U"abx", {-1, 1, 1}},
      {U"b", U"abc", {-1, -1, -1}},
      {U"a*", U"aaa", {3, 0, 3}},
      {U"", U"", {0, 0, 0}},
      {U"", U"x", {-1, 0, 0}},
      {U"a.c", U"a\nc", {-1, -1, -1}},  // "." stops at a line end
      {U"[^b]", U"\n", {1, 1, 1}},
      {U"[]a]+", U"]a]", {3, 1, 3}},
      {U"[a-]*", U"-a-", {3, 0, 3}},
      {U"[\\]\\\\]+", U"]\\", {2, 1, 2}},
      {U"\\(\\*\\)\\n\\t", U"(*)\n\t", {5, 5, 5}},
      {U"^a$", U"^a$", {3, 3, 3}},
      {U"(ab|c)+?d", U"abcd", {4, 4, 4}},
      {U"((a*)*|b*)*c", U"aabac", {5, 5, 5}},
      {U"日本(語|人)+", U"日本語人x", {-1, 3, 4}},
      {U"[ぁ-ん]+", U"ひらがなカナ", {-1, 1, 4}},
      {U"[^ぁ-ん]*", U"カナひ", {-1, 0, 2}},
  };
  for (const Case& c : cases) EXPECT_EQ(match(c.expr, c.text), c.want) << "case " << (&c - cases);
  EXPECT_EQ(match(U"a|ab|abc", U"abc", 1), (Result{1, 1, 1}));
  EXPECT_EQ(match(U"x?", U"", 1), (Result{0, 0, 0}));
}

TEST(Regex, BadInput) {
  const char32_t* bad[] = {U"(", U"a)", U"*a", U"a|+", U"(?)", U"[abc", U"[z-a]", U"ab\\", U"[a-\\"};
  for (const char32_t* e : bad) EXPECT_EQ(get_fa(W(e)), nullptr) << "bad expression accepted";
  EXPECT_EQ(get_fa(nullptr), nullptr);
  int mn = 7, mx = 7;
  EXPECT_EQ(parse_dfa_str(&mn, &mx, nullptr, W(U"a"), 0), -1);
  EXPECT_EQ(mn, -1);
  EXPECT_EQ(mx, -1);

  // Deep nesting is refused instead of overflowing the stack; moderate
  // nesting works.
  std::u32string deep(100000, U'(');
  EXPECT_EQ(get_fa(W(deep).data()), nullptr);
  std::u32string ok = std::u32string(100, U'(') + U"a" + std::u32string(100, U')');
  EXPECT_EQ(match(ok, U"a"), (Result{1, 1, 1}));

  // An expression whose automaton grows exponentially is refused.
  std::u32string blow = U"(a|b)*a";
  for (int i = 0; i < 24; ++i) blow += U"(a|b)";
  EXPECT_EQ(get_fa(W(blow).data()), nullptr);
}

// A terminator is complete as soon as an accepting state has no way on.
TEST(Regex, StatesForStepping) {
  AUTOMATON* a = get_fa(W(U"\r?\n|a+"));
  ASSERT_NE(a, nullptr);
  A_STATE* s = search_state(a, 1);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->id, 1);
  EXPECT_FALSE(s->flags & A_ACCEPT);
  A_STATE* nl = get_next_state(get_next_state(s, '\r'), '\n');
  ASSERT_NE(nl, nullptr);
  EXPECT_TRUE(nl->flags & A_ACCEPT);
  EXPECT_EQ(nl->table_size, 0);
  EXPECT_EQ(get_next_state(s, '\n'), nl);
  A_STATE* as = get_next_state(s, 'a');
  ASSERT_NE(as, nullptr);
  EXPECT_TRUE(as->flags & A_ACCEPT);
  EXPECT_GT(as->table_size, 0);
  EXPECT_EQ(get_next_state(as, 'b'), nullptr);
  EXPECT_EQ(get_next_state(nullptr, 'a'), nullptr);
  EXPECT_EQ(search_state(a, 0), nullptr);
  EXPECT_EQ(search_state(a, a->state_count + 1), nullptr);
  EXPECT_EQ(search_state(nullptr, 1), nullptr);
  free_automaton(a);
  free_automaton(nullptr);
}

// ---- Differential test: random expression trees, printed as expressions,
// against a reference that walks the tree over sets of positions.

const L_CHAR kAlphabet[] = {'a', 'b', 'c', '\n', '.', '-', ']', '*', 0x3042, 0x65E5, 0xC001A4A2, 0xFFFFFFFF};
constexpr int kAlpha = sizeof(kAlphabet) / sizeof(kAlphabet[0]);

// A leaf is one character of `ranges` (or of their complement); it prints
// as a literal, ".", or a bracket set.
struct Node {
  enum Kind { Leaf, Cat, Alt, Star, Plus, Opt } kind = Leaf;
  char form = 'c';  // leaf form: 'c' literal, '.' any, '[' set
  bool neg = false;
  std::vector<std::pair<L_CHAR, L_CHAR>> ranges;
  std::vector<Node> kids;
};

// A text of the model, its terminating 0 included.
using WStr = std::vector<L_CHAR>;

// Positions as bits: bit p set = p characters consumed.
using Ends = uint32_t;

Ends ends(const Node& n, const WStr& t, Ends from) {
  Ends out = 0;
  switch (n.kind) {
    case Node::Leaf:
      for (size_t p = 0; p + 1 < t.size(); ++p) {
        bool in = false;
        for (auto [lo, hi] : n.ranges) in |= lo <= t[p] && t[p] <= hi;
        if ((from >> p & 1) && in != n.neg) out |= Ends{2} << p;
      }
      return out;
    case Node::Cat:
      for (const Node& k : n.kids) from = ends(k, t, from);
      return from;
    case Node::Alt:
      for (const Node& k : n.kids) out |= ends(k, t, from);
      return out;
    case Node::Opt:
      return from | ends(n.kids[0], t, from);
    default:  // Star, Plus: iterate until no new position appears
      out = n.kind == Node::Star ? from : ends(n.kids[0], t, from);
      for (Ends fresh = out; fresh != 0; out |= fresh) fresh = ends(n.kids[0], t, fresh) & ~out;
      return out;
  }
}

struct Gen {
  std::mt19937 rng{20240611};
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
  L_CHAR letter() { return kAlphabet[pick(kAlpha)]; }

  Node node(int depth) {
    Node n;
    const int k = depth <= 0 ? 0 : pick(8);
    n.kind = k < 3 ? Node::Leaf : static_cast<Node::Kind>(k - 2);
    if (n.kind == Node::Leaf) {
      n.form = ".c["[pick(3)];
      const L_CHAR a = letter();
      if (n.form == '.') n.neg = true, n.ranges = {{'\n', '\n'}};
      if (n.form == 'c') n.ranges = {{a, a}};
      if (n.form == '[') n.neg = pick(3) == 0;
      for (int i = 0, m = n.form == '[' ? 1 + pick(3) : 0; i < m; ++i) {
        L_CHAR x = letter(), y = pick(2) ? letter() : x;
        n.ranges.emplace_back(std::min(x, y), std::max(x, y));
      }
    } else {
      const int m = n.kind == Node::Cat ? pick(4) : n.kind == Node::Alt ? 1 + pick(3) : 1;
      for (int i = 0; i < m; ++i) n.kids.push_back(node(depth - 1));
    }
    return n;
  }

  void escaped(L_CHAR c, std::u32string_view meta, std::u32string& out) {
    if (c == '\n' && pick(2)) return void(out += U"\\n");
    if (meta.find(c) != meta.npos) out += U'\\';
    out += c;
  }

  // Parentheses go where needed, and at random where optional ("a*+").
  void print(const Node& n, std::u32string& out) {
    if (n.kind == Node::Leaf && n.form != '[') {
      if (n.form == '.') return void(out += U'.');
      return escaped(n.ranges[0].first, U".[]()*+?|\\", out);
    }
    if (n.kind == Node::Leaf) {
      out += n.neg ? U"[^" : U"[";
      for (auto [lo, hi] : n.ranges) {
        escaped(lo, U"]\\-^", out);
        if (hi != lo) out += U'-', escaped(hi, U"]\\-^", out);
      }
      return void(out += U']');
    }
    for (size_t i = 0; i < n.kids.size(); ++i) {
      const Node& k = n.kids[i];
      bool wrap = k.kind == Node::Alt || (k.kind == Node::Cat && pick(2));
      if (n.kind >= Node::Star) wrap = k.kind == Node::Cat || k.kind == Node::Alt || (k.kind != Node::Leaf && pick(2));
      if (n.kind == Node::Alt) wrap = false;
      if (n.kind == Node::Alt && i > 0) out += U'|';
      if (wrap) out += U'(';
      print(k, out);
      if (wrap) out += U')';
    }
    if (n.kind >= Node::Star) out += U"*+?"[n.kind - Node::Star];
  }
};

TEST(Regex, AgreesWithReference) {
  Gen g;
  for (int round = 0; round < 4000; ++round) {
    const Node tree = g.node(2 + g.pick(5));
    std::u32string expr;
    g.print(tree, expr);
    AUTOMATON* a = get_fa(W(expr).data());
    ASSERT_NE(a, nullptr) << "round " << round;
    for (int i = 1; i <= a->state_count; ++i) {
      const A_STATE* s = search_state(a, i);
      for (int k = 1; k < s->table_size; ++k) ASSERT_LT(s->table[k - 1].hi, s->table[k].lo);
    }
    for (int t = 0; t < 8; ++t) {
      WStr text;
      for (int i = 0, len = g.pick(9); i < len; ++i) text.push_back(g.letter());
      text.push_back(0);
      const int len = static_cast<int>(text.size()) - 1;
      const Ends e = ends(tree, text, 1);
      Result want{-1, -1, -1};
      if (e) want = {(e >> len & 1) ? len : -1, __builtin_ctz(e), 31 - __builtin_clz(e)};
      ASSERT_EQ(run(a, text.data()), want) << "round " << round << " text length " << len;
      want = e ? Result{want.min, want.min, want.min} : want;
      ASSERT_EQ(run(a, text.data(), 1), want) << "round " << round;
    }
    free_automaton(a);
  }
}

}  // namespace
