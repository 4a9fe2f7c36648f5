// The ZU printer: the text of a value in list, XML or HTML form.
//
// List form, by type: nil "()"; a list "(a b c)", a dotted tail " .x";
// a symbol its name, "[name a=\"v\"]" with attributes (a name, or an
// attribute name, that would not read back as itself, or that holds an
// "&", is written quoted: ["a b" "x=y"="v"]); a string in double quotes with
// \n \r \\ escaped and & < > " written as &amp; &lt; &gt; &quot; (so that
// every reader, in list or tag text, reads it back as it was, and none
// waits for the end of a reference); an integer "%lli"
// and a floating value "%f", each followed directly by its unit (a unit
// character that would end or change the word written as "&cx..;"); a
// built-in "[prim:0x%x]", a lambda "[lambda:0x%x]"; a pointer "[ptr:0x%x]",
// an environment "[env:0x%x]"; raw bytes "#%x#" then the bytes then "]"; an
// error "#error(code \"site\" \"file\" line \"function\" data)". Delayed
// values are forced. Everything the reader can read back prints so that it
// does (a floating value to six decimals).
//
// XML form: a list headed by a symbol that is a valid tag name (with valid
// attribute names) prints as an element <tag a="v">members</tag> (<tag/> without members, <?name a="v"?>
// for a one-member list headed by "?name"); inside an element a symbol is
// written in brackets so that it does not read back as text. HTML form is
// the XML form with empty elements as <TAG></TAG> and HTML's void elements
// without a closing tag.
#pragma once

#include "zu/value.h"

struct STREAM;

constexpr int ZU_PRINT_LIST = 0;
constexpr int ZU_PRINT_XML = 1;
constexpr int ZU_PRINT_HTML = 2;
constexpr int ZU_PRINT_FORM = 3;        // mask of the form bits
constexpr int ZU_PRINT_RAW_SIZE = 16;   // raw values as "#%x#]" without their bytes
constexpr int ZU_PRINT_MULTIROOT = 64;  // each top-level member on its own line
constexpr int ZU_PRINT_INDENT = 128;    // one element per line, indented
// The value is read back as a member of an element (a reply inside
// <Result>): written as inside an element, where a bare word reads as
// text, so a symbol goes in brackets.
constexpr int ZU_PRINT_MEMBER = 256;
constexpr int ZU_PRINT_TEXT = 512;      // strings between tags as bare text

// Deepest nesting of lists (and error data) the printer follows.
constexpr int ZU_PRINT_MAX_DEPTH = 5000;
// Answer of the printer for a value it cannot print whole.
constexpr int ZU_PRINT_REFUSED = -2;

// Prints s to st; 0, -1 when the stream is not usable or a write failed,
// or ZU_PRINT_REFUSED, with nothing written, when the value is cyclic or
// nested deeper than ZU_PRINT_MAX_DEPTH.
int print_sexp(STREAM* st, ZU_SEXP* s, int flags);
// As print_sexp; *err receives the system error number of a failed write
// (0 when the failure was not a write).
int e_print_sexp(STREAM* st, int* err, ZU_SEXP* s, int flags);
// Whether print_sexp with these flags prints s whole (forcing delayed
// values on the way, as printing would).
bool sexp_printable(ZU_SEXP* s, int flags);
// The error standing for a value the printer refuses: 0x80030806 from
// "print" with ("value nested too deeply or cyclic"), at the source
// position of `at` (none when null). Needs the memory lock.
ZU_SEXP* print_refused_error(ZU_SEXP* at);
