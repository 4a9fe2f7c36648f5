// The six comparisons, shared by the operator tables and the fast path of
// the comparison built-ins so both answer alike.
#pragma once

enum class Rel { Lt, Le, Gt, Ge, Eq, Ne };

// Whether x rel y holds; IEEE semantics for floating values (NaN compares
// unequal to everything).
template <Rel rel, class T>
inline bool holds(T x, T y) {
  switch (rel) {
    case Rel::Lt: return x < y;
    case Rel::Le: return x <= y;
    case Rel::Gt: return x > y;
    case Rel::Ge: return x >= y;
    case Rel::Eq: return x == y;
    case Rel::Ne: return x != y;
  }
  return false;
}
