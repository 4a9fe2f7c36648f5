// The member order shared by Sort, NaturalJoin and Projection.
#pragma once

#include <vector>

#include "zu/env.h"

// How two members compare: by the fields of a field list, or by calling a
// compare function as (cmp (quote a) (quote b)). Errors name `func`.
class MemberOrder {
 public:
  // Field comparison in a new child of `parent` where "field-list" is the
  // list of the ","-separated names of `fields` (null: none).
  MemberOrder(ZUISP_ENV* parent, const L_CHAR* fields, ZU_SEXP* form, const char* func);
  // A compare function called in env.
  MemberOrder(ZUISP_ENV* env, ZU_SEXP* cmp, ZU_SEXP* form, const char* func);

  // Sets *order to -1, 0 or 1 and returns null, or returns the error that
  // ended the comparison.
  ZU_SEXP* compare(ZU_SEXP* a, ZU_SEXP* b, int* order);
  // The field list, a list of symbols.
  ZU_SEXP* fields() const { return fields_; }
  // True when m is an element whose tag is one of the fields.
  bool is_field(ZU_SEXP* m) const;

 private:
  ZU_SEXP* compare_fields(ZU_SEXP* a, ZU_SEXP* b, int* order);
  ZU_SEXP* compare_called(ZU_SEXP* a, ZU_SEXP* b, int* order);
  ZU_SEXP* quoted_call(ZU_SEXP* a, ZU_SEXP* b);

  ZUISP_ENV* env_;
  ZU_SEXP* fields_ = nullptr;
  ZU_SEXP* cmp_ = nullptr;
  ZU_SEXP* quote_ = nullptr;  // the symbol the members are quoted with
  ZU_SEXP* call_ = nullptr;   // (cmp (quote a) (quote b)), reused when cmp never sees it
  ZU_SEXP* form_;
  const char* func_;
};

// The field's value in a record: its first child element with that tag,
// else the empty list.
ZU_SEXP* field_value(ZU_SEXP* record, const ZU_ATOM* field);

// Sorts the members of a proper list in the order's sense. The merge
// steps are fixed, which fixes the order of members that compare equal:
// one run per member, chained last member first; passes merge the runs
// two by two from the front (a run left without a partner passes
// unchanged) into a new chain in the reverse order of making; a merge
// moves the second run's head when the order says first < second, else
// the first run's head; the one run left, reversed, is the result. A
// comparison error is returned.
ZU_SEXP* merge_sort(ZU_SEXP* list, MemberOrder* order);
