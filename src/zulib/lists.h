// Lists and elements: building and taking apart lists and the elements of
// documents (a list headed by a tag symbol whose attributes are the
// symbol's attribute list). No built-in here changes its inputs; a changed
// attribute list is always a new tag symbol.
#pragma once

#include "zu/env.h"

// Registrations, each into the given (root) environment.
void init_List(ZUISP_ENV* env);
void init_ListLength(ZUISP_ENV* env);
void init_Reverse(ZUISP_ENV* env);
void init_Append(ZUISP_ENV* env);
void init_GetSize(ZUISP_ENV* env);
void init_GetTag(ZUISP_ENV* env);
void init_GetElement(ZUISP_ENV* env);  // GetElement and GE
void init_EA(ZUISP_ENV* env);
void init_SetEA(ZUISP_ENV* env);
void init_EE(ZUISP_ENV* env);
void init_MakeElement(ZUISP_ENV* env);
