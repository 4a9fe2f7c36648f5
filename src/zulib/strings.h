// Strings and attributes: cutting, splitting and rewriting text, character
// and byte codes, matching a regular expression at the start of a text,
// and reading and setting the attributes of a tag symbol. Texts are wide
// (L_CHAR codes); lengths and positions count characters from 0. No
// built-in here changes its arguments: setting an attribute makes a new
// tag symbol.
#pragma once

#include "zu/env.h"

// Registrations (root environment).
void init_CutOut(ZUISP_ENV* env);
void init_CutString(ZUISP_ENV* env);
void init_StringLength(ZUISP_ENV* env);
void init_GetChar(ZUISP_ENV* env);
void init_SetChar(ZUISP_ENV* env);
void init_DivideString(ZUISP_ENV* env);
void init_ReplaceString(ZUISP_ENV* env);
void init_RegCmp(ZUISP_ENV* env);
void init_Word2String(ZUISP_ENV* env);
void init_GetAttribute(ZUISP_ENV* env);
void init_SetAttribute(ZUISP_ENV* env);
