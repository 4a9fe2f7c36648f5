// Tables: lists of records, a record being an element whose children such
// as (name abc) or (age 30) are its fields, named by their tags. Sort
// orders a list, NaturalJoin joins two tables on named fields, Projection
// groups a table by named fields, Categorize cuts a list into runs of
// neighbours, V2H builds a hierarchy from a sorted list of rows and h2v
// prepares a row for it. No input list is changed.
//
// Orders come from a compare function called on two members, or from a
// field comparison: the named fields' values (the first child element of
// that tag, or the empty list) compared in turn with the less-than
// operator of the language core.
#pragma once

#include "zu/env.h"

// Registrations (root environment).
void init_Sort(ZUISP_ENV* env);
void init_NaturalJoin(ZUISP_ENV* env);
void init_Projection(ZUISP_ENV* env);
void init_Categorize(ZUISP_ENV* env);
void init_V2H(ZUISP_ENV* env);  // V2H and h2v
