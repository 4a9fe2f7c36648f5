// Compiling an expression: a recursive-descent parser builds a Thompson NFA
// whose character edges carry sets of code ranges; subset construction then
// turns it into a DFA whose transitions are sorted code ranges.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "base/alloc.h"
#include "text/regex.h"

namespace {

constexpr uint64_t kMaxCode = 0xFFFFFFFFu;
// Group nesting is the parser's only recursion; deeper input is refused
// rather than allowed to exhaust the stack.
constexpr int kMaxDepth = 200;
// Subset construction can grow exponentially ("(a|b)*a(a|b)(a|b)..."); an
// expression past these limits is refused instead of eating the machine.
constexpr size_t kMaxDfaStates = 20000;
constexpr uint64_t kWorkBudget = 40'000'000;

struct Range {
  uint64_t lo;
  uint64_t hi;
};
using CodeSet = std::vector<Range>;

// A Thompson NFA state. With cls >= 0 it consumes one character of
// classes[cls] and goes to out1; otherwise out1 and out2 (when >= 0) are
// empty moves.
struct NState {
  int out1 = -1;
  int out2 = -1;
  int cls = -1;
};

// A piece of NFA with one entry and one exit; the exit never has edges yet.
struct Frag {
  int start;
  int end;
};

// Sorts, clips to the character codes (0 ends a text, so it is never one)
// and merges overlapping or adjacent ranges.
CodeSet normalize(CodeSet s) {
  std::sort(s.begin(), s.end(), [](const Range& a, const Range& b) { return a.lo < b.lo; });
  CodeSet out;
  for (Range r : s) {
    r.lo = std::max<uint64_t>(r.lo, 1);
    if (r.lo > r.hi) continue;
    if (!out.empty() && r.lo <= out.back().hi + 1)
      out.back().hi = std::max(out.back().hi, r.hi);
    else
      out.push_back(r);
  }
  return out;
}

// The codes from 1 to kMaxCode not in s (s normalized).
CodeSet complement(const CodeSet& s) {
  CodeSet out;
  uint64_t next = 1;
  for (const Range& r : s) {
    if (r.lo > next) out.push_back({next, r.lo - 1});
    next = r.hi + 1;
  }
  if (next <= kMaxCode) out.push_back({next, kMaxCode});
  return out;
}

class Compiler {
 public:
  explicit Compiler(const L_CHAR* expr) : p_(expr) {}

  // Builds the NFA; false on a syntax error.
  bool parse() {
    std::optional<Frag> f = alternation(0);
    if (!f || *p_ != 0) return false;  // a ")" without its "("
    start_ = f->start;
    accept_ = f->end;
    return true;
  }

  // Builds the DFA into a tagged block; null when it grows too large.
  AUTOMATON* build(const char* file, int line);

 private:
  struct DTrans {
    uint64_t lo;
    uint64_t hi;
    int target;
  };

  int new_state() {
    nfa_.push_back(NState{});
    return static_cast<int>(nfa_.size()) - 1;
  }

  Frag char_frag(CodeSet set) {
    classes_.push_back(std::move(set));
    const int s = new_state();
    const int e = new_state();
    nfa_[s].cls = static_cast<int>(classes_.size()) - 1;
    nfa_[s].out1 = e;
    return {s, e};
  }

  Frag concat(Frag a, Frag b) {
    nfa_[a.end].out1 = b.start;
    return {a.start, b.end};
  }

  Frag either(Frag a, Frag b) {
    const int s = new_state();
    const int e = new_state();
    nfa_[s].out1 = a.start;
    nfa_[s].out2 = b.start;
    nfa_[a.end].out1 = e;
    nfa_[b.end].out1 = e;
    return {s, e};
  }

  Frag repeat(Frag a, L_CHAR op) {
    const int e = new_state();
    if (op == '+') {
      nfa_[a.end].out1 = a.start;
      nfa_[a.end].out2 = e;
      return {a.start, e};
    }
    const int s = new_state();
    nfa_[s].out1 = a.start;
    nfa_[s].out2 = e;
    nfa_[a.end].out1 = (op == '*') ? a.start : e;
    if (op == '*') nfa_[a.end].out2 = e;
    return {s, e};
  }

  std::optional<Frag> alternation(int depth) {
    std::optional<Frag> f = sequence(depth);
    while (f && *p_ == '|') {
      ++p_;
      std::optional<Frag> g = sequence(depth);
      if (!g) return std::nullopt;
      f = either(*f, *g);
    }
    return f;
  }

  std::optional<Frag> sequence(int depth) {
    std::optional<Frag> f;
    while (*p_ != 0 && *p_ != '|' && *p_ != ')') {
      std::optional<Frag> a = atom(depth);
      if (!a) return std::nullopt;
      // A run of postfix operators collapses to one: the same operator
      // twice is that operator, any mix of different ones is "*".
      L_CHAR op = 0;
      while (*p_ == '*' || *p_ == '+' || *p_ == '?') {
        op = (op == 0 || op == *p_) ? *p_ : '*';
        ++p_;
      }
      if (op != 0) a = repeat(*a, op);
      f = f ? concat(*f, *a) : *a;
    }
    if (!f) {
      const int s = new_state();
      f = Frag{s, s};
    }
    return f;
  }

  std::optional<Frag> atom(int depth) {
    const L_CHAR c = *p_;
    switch (c) {
      case '(': {
        if (depth >= kMaxDepth) return std::nullopt;
        ++p_;
        std::optional<Frag> f = alternation(depth + 1);
        if (!f || *p_ != ')') return std::nullopt;
        ++p_;
        return f;
      }
      case '*':
      case '+':
      case '?':
        return std::nullopt;  // nothing to repeat
      case '[':
        ++p_;
        return bracket();
      case '.':
        ++p_;
        return char_frag({{1, '\n' - 1}, {'\n' + 1, kMaxCode}});
      default: {
        std::optional<L_CHAR> ch = literal();
        if (!ch) return std::nullopt;
        return char_frag({{*ch, *ch}});
      }
    }
  }

  // One possibly escaped character; nullopt for a "\" at the end.
  std::optional<L_CHAR> literal() {
    L_CHAR c = *p_;
    if (c != '\\') {
      ++p_;
      return c;
    }
    c = p_[1];
    if (c == 0) return std::nullopt;
    p_ += 2;
    switch (c) {
      case 'n':
        return L_CHAR{'\n'};
      case 't':
        return L_CHAR{'\t'};
      case 'r':
        return L_CHAR{'\r'};
      default:
        return c;
    }
  }

  // The set after "[", through its closing "]".
  std::optional<Frag> bracket() {
    bool negate = false;
    if (*p_ == '^') {
      negate = true;
      ++p_;
    }
    CodeSet set;
    bool first = true;
    while (first || *p_ != ']') {
      first = false;
      if (*p_ == 0) return std::nullopt;
      std::optional<L_CHAR> lo = literal();
      if (!lo) return std::nullopt;
      L_CHAR hi = *lo;
      if (p_[0] == '-' && p_[1] != ']' && p_[1] != 0) {
        ++p_;
        std::optional<L_CHAR> h = literal();
        if (!h || *h < *lo) return std::nullopt;
        hi = *h;
      }
      set.push_back({*lo, hi});
    }
    ++p_;
    set = normalize(std::move(set));
    return char_frag(negate ? complement(set) : set);
  }

  // The states reachable from seeds by empty moves, keeping only those that
  // consume a character or accept (the others do not tell DFA states apart).
  // Sorted. False when the work budget runs out.
  bool closure(const std::vector<int>& seeds, std::vector<int>* out) {
    ++gen_;
    out->clear();
    stack_.assign(seeds.begin(), seeds.end());
    while (!stack_.empty()) {
      const int q = stack_.back();
      stack_.pop_back();
      if (mark_[q] == gen_) continue;
      mark_[q] = gen_;
      if (++work_ > kWorkBudget) return false;
      const NState& n = nfa_[q];
      if (n.cls >= 0 || q == accept_) out->push_back(q);
      if (n.cls < 0) {
        if (n.out1 >= 0) stack_.push_back(n.out1);
        if (n.out2 >= 0) stack_.push_back(n.out2);
      }
    }
    std::sort(out->begin(), out->end());
    return true;
  }

  // The DFA state of an NFA state set, made when new; -1 past the limits.
  int state_of(std::vector<int>&& set) {
    auto it = ids_.find(set);
    if (it != ids_.end()) return it->second;
    if (sets_.size() >= kMaxDfaStates) return -1;
    const int id = static_cast<int>(sets_.size());
    ids_.emplace(set, id);
    sets_.push_back(std::move(set));
    return id;
  }

  const L_CHAR* p_;
  std::vector<NState> nfa_;
  std::vector<CodeSet> classes_;
  int start_ = -1;
  int accept_ = -1;

  std::vector<int> mark_;
  std::vector<int> stack_;
  int gen_ = 0;
  uint64_t work_ = 0;
  std::map<std::vector<int>, int> ids_;
  std::vector<std::vector<int>> sets_;
};

AUTOMATON* Compiler::build(const char* file, int line) {
  mark_.assign(nfa_.size(), 0);
  std::vector<std::vector<DTrans>> trans;
  std::vector<int> set;
  if (!closure({start_}, &set)) return nullptr;
  state_of(std::move(set));

  // Per DFA state: every character range of its NFA states becomes two
  // events (target enters at lo, leaves after hi); sweeping them in order
  // yields the elementary intervals and the NFA targets of each.
  std::vector<std::pair<uint64_t, int>> events;  // (position, +/-(target+1))
  std::vector<int> count(nfa_.size(), 0);
  std::vector<int> touched;
  std::vector<int> targets;
  for (size_t d = 0; d < sets_.size(); ++d) {
    events.clear();
    for (int q : sets_[d]) {
      const NState& n = nfa_[q];
      if (n.cls < 0) continue;
      for (const Range& r : classes_[n.cls]) {
        events.emplace_back(r.lo, n.out1 + 1);
        events.emplace_back(r.hi + 1, -(n.out1 + 1));
      }
    }
    std::sort(events.begin(), events.end());
    std::vector<DTrans> out;
    int active = 0;
    touched.clear();
    size_t i = 0;
    while (i < events.size()) {
      const uint64_t pos = events[i].first;
      for (; i < events.size() && events[i].first == pos; ++i) {
        const int t = events[i].second > 0 ? events[i].second - 1 : -events[i].second - 1;
        if (events[i].second > 0) {
          if (count[t]++ == 0) {
            ++active;
            touched.push_back(t);
          }
        } else if (--count[t] == 0) {
          --active;
        }
      }
      if (active == 0 || i == events.size()) {
        touched.clear();
        continue;
      }
      targets.clear();
      for (int t : touched)
        if (count[t] > 0) targets.push_back(t);
      std::sort(targets.begin(), targets.end());
      targets.erase(std::unique(targets.begin(), targets.end()), targets.end());
      touched = targets;
      if (!closure(targets, &set)) return nullptr;
      const int next = state_of(std::move(set));
      if (next < 0) return nullptr;
      const uint64_t hi = events[i].first - 1;
      if (!out.empty() && out.back().target == next && out.back().hi + 1 == pos)
        out.back().hi = hi;
      else
        out.push_back({pos, hi, next});
    }
    for (int t : touched) count[t] = 0;
    trans.push_back(std::move(out));
  }

  // One block: the header, the states, then every transition table.
  size_t total = 0;
  for (const auto& t : trans) total += t.size();
  const size_t n = sets_.size();
  const size_t bytes = sizeof(AUTOMATON) + n * sizeof(A_STATE) + total * sizeof(A_TRANS);
  char* block = static_cast<char*>(xx_d_alloc(bytes, file, line));
  auto* a = reinterpret_cast<AUTOMATON*>(block);
  auto* states = reinterpret_cast<A_STATE*>(block + sizeof(AUTOMATON));
  auto* table = reinterpret_cast<A_TRANS*>(block + sizeof(AUTOMATON) + n * sizeof(A_STATE));
  a->state_count = static_cast<int>(n);
  a->states = states;
  for (size_t d = 0; d < n; ++d) {
    A_STATE& s = states[d];
    s.id = static_cast<int>(d) + 1;
    s.flags = std::binary_search(sets_[d].begin(), sets_[d].end(), accept_) ? A_ACCEPT : 0;
    s.table_size = static_cast<int>(trans[d].size());
    s.table = table;
    for (const DTrans& t : trans[d])
      *table++ = A_TRANS{static_cast<L_CHAR>(t.lo), static_cast<L_CHAR>(t.hi), &states[t.target]};
  }
  return a;
}

}  // namespace

AUTOMATON* xx_get_fa(const L_CHAR* expr, const char* file, int line) {
  if (expr == nullptr) return nullptr;
  Compiler c(expr);
  if (!c.parse()) return nullptr;
  return c.build(file, line);
}
