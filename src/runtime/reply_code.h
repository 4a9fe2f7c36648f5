// The encoding a value's text needs, and whether a stream's encoding can
// carry it: the survey behind the encoding switches of replies (front.cc)
// and behind GetProperCode.
#pragma once

#include "text/codemethod.h"
#include "zu/value.h"

// Answer of get_proper_code for a text that needs no particular encoding.
constexpr L_CHAR ZU_CODE_NONE = 0xDFFF0001;

// The identifier of the encoding that the value's text needs: the encoding
// named by a leading (?zu encoding="...") or (?xml encoding="..."), else the
// one that covers the code set most of its characters above 255 belong to;
// ZU_CODE_NONE when no character needs one. str_max bounds the characters
// surveyed (-2: no bound, and delayed values are forced).
L_CHAR get_proper_code(ZU_SEXP* s, int str_max);
// Whether a stream in encoding cm can carry the value's text without a
// switch: cm is a Unicode encoding (UTF-8, UTF-16, EXTUCS-4, internal),
// whose character references carry even the codes it lacks, or it can
// express every character above 255 of the text.
bool cm_carries(CODE_METHOD* cm, ZU_SEXP* s);
// The encoding that a reply of the value on a stream in encoding cur
// switches to, or null when the stream carries its text as it is (or cur
// is null): the encoding the text needs (get_proper_code(s, -1)) when
// that is not cur and cur cannot carry the text (cm_carries). One walk
// over the whole value at most (delayed values passed over), none for a
// Unicode stream.
CODE_METHOD* reply_switch(ZU_SEXP* s, CODE_METHOD* cur);
