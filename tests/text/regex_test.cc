#include "text/regex.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using WStr = std::vector<L_CHAR>;

WStr W(std::u32string_view s) {
  WStr w(s.begin(), s.end());
  w.push_back(0);
  return w;
}

struct Result {
  int r, min, max;
  bool operator==(const Result&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Result& x) {
  return os << "(" << x.r << " " << x.min << " " << x.max << ")";
}

Result run(AUTOMATON* a, const WStr& text, int shortest = 0) {
  Result x{};
  x.r = parse_dfa_str(&x.min, &x.max, a, text.data(), shortest);
  return x;
}

Result match(std::u32string_view expr, std::u32string_view text, int shortest = 0) {
  AUTOMATON* a = get_fa(W(expr).data());
  EXPECT_NE(a, nullptr) << "expression did not compile";
  Result x = run(a, W(text), shortest);
  free_automaton(a);
  return x;
}

TEST(Regex, MatchPositions) {
  // Only a leading part matches: no full match, shortest and longest 2.
  EXPECT_EQ(match(U"ab", U"abc"), (Result{-1, 2, 2}));
  EXPECT_EQ(match(U"abc", U"abc"), (Result{3, 3, 3}));
  EXPECT_EQ(match(U"a|ab|abc", U"abc"), (Result{3, 1, 3}));
  EXPECT_EQ(match(U"a|ab|abc", U"abc", 1), (Result{1, 1, 1}));
  EXPECT_EQ(match(U"a|abc", U"abx"), (Result{-1, 1, 1}));
  EXPECT_EQ(match(U"b", U"abc"), (Result{-1, -1, -1}));
  // The end of the text not accepting still reports the leading matches.
  EXPECT_EQ(match(U"a*", U"aaa"), (Result{3, 0, 3}));
  EXPECT_EQ(match(U"a+b", U"aa"), (Result{-1, -1, -1}));
  EXPECT_EQ(match(U"", U""), (Result{0, 0, 0}));
  EXPECT_EQ(match(U"", U"x"), (Result{-1, 0, 0}));
  EXPECT_EQ(match(U"x?", U"", 1), (Result{0, 0, 0}));
}

TEST(Regex, Syntax) {
  EXPECT_EQ(match(U"a.c", U"a\u3042c"), (Result{3, 3, 3}));
  EXPECT_EQ(match(U"a.c", U"a\nc"), (Result{-1, -1, -1}));  // "." stops at a line end
  EXPECT_EQ(match(U"[^b]", U"\n"), (Result{1, 1, 1}));
  EXPECT_EQ(match(U"[]a]+", U"]a]"), (Result{3, 1, 3}));
  EXPECT_EQ(match(U"[a-]*", U"-a-"), (Result{3, 0, 3}));
  EXPECT_EQ(match(U"[\\]\\\\]+", U"]\\"), (Result{2, 1, 2}));
  EXPECT_EQ(match(U"\\(\\*\\)\\n\\t", U"(*)\n\t"), (Result{5, 5, 5}));
  EXPECT_EQ(match(U"^a$", U"^a$"), (Result{3, 3, 3}));
  EXPECT_EQ(match(U"(ab|c)+?d", U"abcd"), (Result{4, 4, 4}));
  EXPECT_EQ(match(U"a**b", U"aab"), (Result{3, 3, 3}));

  const char32_t* bad[] = {U"(", U"a)", U"*a", U"a|+", U"(?)", U"[abc", U"[z-a]", U"ab\\", U"[a-\\"};
  for (const char32_t* e : bad) EXPECT_EQ(get_fa(W(e).data()), nullptr) << "bad expression accepted";
  EXPECT_EQ(get_fa(nullptr), nullptr);
  int mn = 7, mx = 7;
  EXPECT_EQ(parse_dfa_str(&mn, &mx, nullptr, W(U"a").data(), 0), -1);
  EXPECT_EQ(mn, -1);
  EXPECT_EQ(mx, -1);
}

TEST(Regex, HostileExpressions) {
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

  // Empty-matching loops inside loops terminate.
  EXPECT_EQ(match(U"((a*)*|b*)*c", U"aabac"), (Result{5, 5, 5}));
}

TEST(Regex, WideText) {
  EXPECT_EQ(match(U"日本(語|人)+", U"日本語人x"), (Result{-1, 3, 4}));
  EXPECT_EQ(match(U"[ぁ-ん]+", U"ひらがなカナ"), (Result{-1, 1, 4}));
  EXPECT_EQ(match(U"[^ぁ-ん]*", U"カナひ"), (Result{-1, 0, 2}));
  // Tagged legacy codes and the top of the code range are characters too.
  const L_CHAR jis = 0xC001A4A2, top = 0xFFFFFFFF;
  WStr expr = {'[', '^', 'a', ']', '+', 0};
  AUTOMATON* a = get_fa(expr.data());
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(run(a, {jis, top, 'b', 0}), (Result{3, 1, 3}));
  free_automaton(a);
  expr = {'[', jis, '-', top, ']', 0};
  a = get_fa(expr.data());
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(run(a, {top, 0}), (Result{1, 1, 1}));
  EXPECT_EQ(run(a, {jis - 1, 0}), (Result{-1, -1, -1}));
  free_automaton(a);
}

// A terminator is complete as soon as an accepting state has no way on.
TEST(Regex, StatesForStepping) {
  AUTOMATON* a = get_fa(W(U"\r?\n|a+").data());
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

// ---- Differential test against a reference built on the expression tree.

struct Node {
  enum Kind { Chr, Set, Dot, Cat, Alt, Star, Plus, Opt } kind = Chr;
  L_CHAR c = 0;
  bool neg = false;
  std::vector<std::pair<L_CHAR, L_CHAR>> ranges;
  std::vector<Node> kids;
};

const L_CHAR kAlphabet[] = {'a', 'b', 'c', '\n', '.', '-', ']', '*', 0x3042, 0x65E5, 0xC001A4A2, 0xFFFFFFFF};
constexpr int kAlpha = sizeof(kAlphabet) / sizeof(kAlphabet[0]);

// Positions as bits: bit p set = p characters consumed.
using Ends = uint32_t;

bool accepts(const Node& n, L_CHAR ch) {
  if (n.kind == Node::Chr) return ch == n.c;
  if (n.kind == Node::Dot) return ch != '\n';
  bool in = false;
  for (auto [lo, hi] : n.ranges) in |= (lo <= ch && ch <= hi);
  return in != n.neg;
}

// Every end position reachable by matching n from any start in `from`.
Ends ends(const Node& n, const WStr& t, Ends from) {
  const int len = static_cast<int>(t.size()) - 1;
  switch (n.kind) {
    case Node::Chr:
    case Node::Set:
    case Node::Dot: {
      Ends out = 0;
      for (int p = 0; p < len; ++p)
        if ((from >> p & 1) && accepts(n, t[p])) out |= Ends{1} << (p + 1);
      return out;
    }
    case Node::Cat:
      for (const Node& k : n.kids) from = ends(k, t, from);
      return from;
    case Node::Alt: {
      Ends out = 0;
      for (const Node& k : n.kids) out |= ends(k, t, from);
      return out;
    }
    case Node::Opt:
      return from | ends(n.kids[0], t, from);
    case Node::Star:
    case Node::Plus: {
      Ends all = n.kind == Node::Star ? from : ends(n.kids[0], t, from);
      for (Ends fresh = all; fresh != 0;) {
        Ends next = ends(n.kids[0], t, fresh) & ~all;
        all |= next;
        fresh = next;
      }
      return all;
    }
  }
  return 0;
}

class Gen {
 public:
  explicit Gen(uint32_t seed) : rng_(seed) {}
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  L_CHAR letter() { return kAlphabet[pick(kAlpha)]; }

  Node node(int depth) {
    const int k = depth <= 0 ? pick(3) : pick(8);
    Node n;
    n.kind = static_cast<Node::Kind>(k);
    switch (n.kind) {
      case Node::Chr:
        n.c = letter();
        break;
      case Node::Set:
        n.neg = pick(3) == 0;
        for (int i = 0, m = 1 + pick(3); i < m; ++i) {
          L_CHAR a = letter(), b = pick(2) ? letter() : a;
          n.ranges.emplace_back(std::min(a, b), std::max(a, b));
        }
        break;
      case Node::Dot:
        break;
      case Node::Cat:
      case Node::Alt:
        for (int i = 0, m = pick(4); i < m; ++i) n.kids.push_back(node(depth - 1));
        if (n.kind == Node::Alt && n.kids.empty()) n.kids.push_back(node(depth - 1));
        break;
      default:
        n.kids.push_back(node(depth - 1));
    }
    return n;
  }

  // The expression text of a tree, escaping at random where escaping is
  // optional.
  void print(const Node& n, std::u32string& out) {
    switch (n.kind) {
      case Node::Chr:
        if (n.c == '\n')
          out += pick(2) ? U"\\n" : U"\n";
        else if (std::u32string_view(U".[]()*+?|\\").find(n.c) != std::u32string_view::npos)
          out += U'\\', out += n.c;
        else
          out += n.c;
        break;
      case Node::Set:
        out += n.neg ? U"[^" : U"[";
        for (auto [lo, hi] : n.ranges) {
          set_char(lo, out);
          if (hi != lo) out += U'-', set_char(hi, out);
        }
        out += U']';
        break;
      case Node::Dot:
        out += U'.';
        break;
      case Node::Cat:
        for (const Node& k : n.kids) {
          const bool wrap = k.kind == Node::Alt || (k.kind == Node::Cat && pick(2));
          if (wrap) out += U'(';
          print(k, out);
          if (wrap) out += U')';
        }
        break;
      case Node::Alt:
        for (size_t i = 0; i < n.kids.size(); ++i) {
          if (i) out += U'|';
          print(n.kids[i], out);
        }
        break;
      default: {
        const Node& k = n.kids[0];
        // Stacked operators ("a*+") may go without parentheses.
        const bool bare = k.kind <= Node::Dot || (k.kind >= Node::Star && pick(2));
        if (!bare) out += U'(';
        print(k, out);
        if (!bare) out += U')';
        out += n.kind == Node::Star ? U'*' : n.kind == Node::Plus ? U'+' : U'?';
      }
    }
  }

 private:
  void set_char(L_CHAR c, std::u32string& out) {
    if (c == ']' || c == '\\' || c == '-' || c == '^') out += U'\\';
    out += c;
  }

  std::mt19937 rng_;
};

void check_tables(AUTOMATON* a) {
  for (int i = 1; i <= a->state_count; ++i) {
    const A_STATE* s = search_state(a, i);
    for (int k = 0; k < s->table_size; ++k) {
      ASSERT_LE(s->table[k].lo, s->table[k].hi);
      if (k) {
        ASSERT_LT(s->table[k - 1].hi, s->table[k].lo);
      }
      ASSERT_NE(s->table[k].next, nullptr);
    }
  }
}

TEST(Regex, AgreesWithReference) {
  Gen g(20240611);
  for (int round = 0; round < 4000; ++round) {
    const Node tree = g.node(2 + g.pick(5));
    std::u32string expr;
    g.print(tree, expr);
    AUTOMATON* a = get_fa(W(expr).data());
    ASSERT_NE(a, nullptr) << "round " << round;
    check_tables(a);
    for (int t = 0; t < 8; ++t) {
      WStr text;
      for (int i = 0, len = g.pick(9); i < len; ++i) text.push_back(g.letter());
      text.push_back(0);
      const int len = static_cast<int>(text.size()) - 1;
      const Ends e = ends(tree, text, 1);
      Result want{-1, -1, -1};
      if (e) {
        want.min = __builtin_ctz(e);
        want.max = 31 - __builtin_clz(e);
        if (e >> len & 1) want.r = len;
      }
      ASSERT_EQ(run(a, text), want) << "round " << round << " text length " << len;
      const Result shortest = e ? Result{want.min, want.min, want.min} : Result{-1, -1, -1};
      ASSERT_EQ(run(a, text, 1), shortest) << "round " << round;
    }
    free_automaton(a);
  }
}

}  // namespace
