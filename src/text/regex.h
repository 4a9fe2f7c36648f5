// Regular expressions over wide text, compiled to deterministic automata.
//
// Syntax of an expression (a zero-terminated wide string):
//   c         any character other than the ones below matches itself
//   .         any character except a line feed
//   [...]     one character of the set; "a-z" is a range, a leading "^"
//             negates the set, a "]" first or a "-" first or last is literal
//   \c        the character c taken literally; \n, \t and \r are line feed,
//             tab and carriage return (also inside sets)
//   X* X+ X?  zero or more, one or more, zero or one of X
//   X|Y       either X or Y (either side may be empty)
//   (X)       grouping
// A match always starts at the first character given to the automaton, so
// there are no anchors; "^", "$", "{" and "}" are ordinary characters.
//
// The automaton's alphabet is the whole L_CHAR range: each state holds its
// transitions as sorted, disjoint code ranges, so a step is a binary search
// and the Japanese and tagged code sets cost no more than ASCII. A state from
// which no match can be completed is never built, so a state whose
// `table_size` is 0 ends every match that reaches it.
#pragma once

#include "text/lchar.h"

struct A_STATE;

// Every code from lo to hi (both included) leads to next.
struct A_TRANS {
  L_CHAR lo;
  L_CHAR hi;
  A_STATE* next;
};

// Flag bit of an accepting state: the characters read so far form a match.
inline constexpr int A_ACCEPT = 2;

struct A_STATE {
  int id;          // 1 for the start state, then 2, 3, ...
  int flags;       // A_ACCEPT or 0
  int table_size;  // number of transitions; 0 when none leave the state
  A_TRANS* table;  // sorted by lo, ranges disjoint
};

// One tagged block holding the states and all their transitions.
struct AUTOMATON {
  int state_count;
  A_STATE* states;  // states[i] has id i + 1
};

// Compiles an expression; null on a syntax error, a null expression, or an
// expression whose automaton would grow beyond a sane size. The automaton
// is charged to the caller's source position; free it with free_automaton.
AUTOMATON* xx_get_fa(const L_CHAR* expr, const char* file, int line);
#define get_fa(expr) xx_get_fa((expr), __FILE__, __LINE__)

// Frees an automaton made by get_fa; null is ignored.
void free_automaton(AUTOMATON* a);

// The state numbered id (1 is the start state); null when there is none.
A_STATE* search_state(AUTOMATON* a, int id);

// The state that code leads to from state, or null when there is none.
A_STATE* get_next_state(const A_STATE* state, L_CHAR code);

// Runs the automaton from its start state over text from its first
// character. *min is set to the first and *max to the last number of
// characters consumed at which the automaton was accepting, both -1 when
// never. The result is -1 when a character has no transition or the end of
// the text is not accepting, otherwise the length of the text. With
// shortest set the run ends at the first accepting position and returns it.
// A null automaton or text gives -1 with both positions -1.
int parse_dfa_str(int* min, int* max, AUTOMATON* a, const L_CHAR* text, int shortest);
