// Running compiled automata: state look-up, one step, and the match runner.
#include "text/regex.h"

#include "base/alloc.h"

void free_automaton(AUTOMATON* a) { d_f_ree(a); }

A_STATE* search_state(AUTOMATON* a, int id) {
  if (a == nullptr || id < 1 || id > a->state_count) return nullptr;
  return &a->states[id - 1];
}

A_STATE* get_next_state(const A_STATE* state, L_CHAR code) {
  if (state == nullptr) return nullptr;
  const A_TRANS* t = state->table;
  // Find the last range whose lo is <= code; the ranges are disjoint, so it
  // is the only one that can hold code.
  int lo = 0;
  int hi = state->table_size;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (t[mid].lo <= code)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo == 0 || code > t[lo - 1].hi) return nullptr;
  return t[lo - 1].next;
}

int parse_dfa_str(int* min, int* max, AUTOMATON* a, const L_CHAR* text, int shortest) {
  *min = -1;
  *max = -1;
  const A_STATE* s = search_state(a, 1);
  if (s == nullptr || text == nullptr) return -1;
  int i = 0;
  for (;; ++i) {
    if (s->flags & A_ACCEPT) {
      if (*min < 0) *min = i;
      *max = i;
      if (shortest || text[i] == 0) return i;
    } else if (text[i] == 0) {
      return -1;
    }
    s = get_next_state(s, text[i]);
    if (s == nullptr) return -1;
  }
}
