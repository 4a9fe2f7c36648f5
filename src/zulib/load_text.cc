// The terminator of text loads and the character references of escaped
// text.
#include "zulib/load_impl.h"

STATE_CHECKER::STATE_CHECKER(AUTOMATON* automaton) : a(automaton) {
  start_state = a ? search_state(a, 1) : nullptr;
  if (a) seen.assign(static_cast<size_t>(a->state_count) + 1, 0);
}

void STATE_CHECKER::reset() {
  live.clear();
  leader = false;
  lead_state = nullptr;
}

int en_state_checker(STATE_CHECKER* sc, L_CHAR c, size_t index) {
  if (!sc->start_state) return 0;
  if (sc->leader && sc->lead_state) {
    sc->lead_state = get_next_state(sc->lead_state, c);
    if (sc->lead_state && (sc->lead_state->flags & A_ACCEPT)) sc->lead_end = index + 1;
  }
  if (!sc->leader && sc->live.empty()) {
    // Nothing under way: only an attempt from here can start (the common
    // case of text between terminators).
    A_STATE* next = get_next_state(sc->start_state, c);
    if (!next) return 0;
    if (!(next->flags & A_ACCEPT)) {
      sc->live.push_back({index, next});
      return 0;
    }
    sc->leader = true;
    sc->lead_start = index;
    sc->lead_end = index + 1;
    sc->lead_state = next;
    if (next->table_size != 0) return 0;
    sc->stptr = index;
    sc->endptr = index + 1;
    return 1;
  }
  // Attempts starting after a match found cannot be the earliest.
  if (!sc->leader) sc->live.push_back({index, sc->start_state});
  if (++sc->step == 0) {
    std::fill(sc->seen.begin(), sc->seen.end(), 0);
    sc->step = 1;
  }
  size_t kept = 0;
  for (const STATE_CHECKER::Attempt& at : sc->live) {
    A_STATE* next = get_next_state(at.state, c);
    if (!next) continue;
    if (next->flags & A_ACCEPT) {
      // Earlier than any match found so far; the attempts after it go.
      sc->leader = true;
      sc->lead_start = at.start;
      sc->lead_end = index + 1;
      sc->lead_state = next;
      break;
    }
    uint32_t& mark = sc->seen[static_cast<size_t>(next->id)];
    if (mark == sc->step) continue;  // an earlier attempt is in this state
    mark = sc->step;
    sc->live[kept++] = {at.start, next};
  }
  sc->live.resize(kept);
  // The match is done when no earlier attempt is left and it cannot grow.
  if (sc->leader && sc->live.empty() && (!sc->lead_state || sc->lead_state->table_size == 0)) {
    sc->stptr = sc->lead_start;
    sc->endptr = sc->lead_end;
    return 1;
  }
  return 0;
}

int en_state_checker_end(STATE_CHECKER* sc) {
  if (!sc->leader) return 0;
  sc->stptr = sc->lead_start;
  sc->endptr = sc->lead_end;
  return 1;
}

namespace {

int hex_value(L_CHAR c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

}  // namespace

size_t zu_load_escape(L_CHAR* text, size_t n) {
  size_t out = 0;
  for (size_t i = 0; i < n;) {
    if (text[i] == '&' && i + 2 < n && (text[i + 1] == 'c' || text[i + 1] == 'C') &&
        (text[i + 2] == 'x' || text[i + 2] == 'X')) {
      size_t j = i + 3;
      uint64_t code = 0;
      while (j < n && hex_value(text[j]) >= 0 && j - i - 3 < 9) code = code << 4 | static_cast<uint64_t>(hex_value(text[j++]));
      size_t digits = j - i - 3;
      // At most eight digits, naming a character other than 0.
      bool ends = j == n || text[j] == ';';
      if (digits > 0 && digits <= 8 && ends && code != 0) {
        text[out++] = static_cast<L_CHAR>(code);
        i = j < n ? j + 1 : j;
        continue;
      }
    }
    text[out++] = text[i++];
  }
  return out;
}
