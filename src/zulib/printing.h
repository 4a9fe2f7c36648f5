// Printing and parsing: Print and Parse turn values into text and text into
// values; the header forms ?xml and ?zu switch the encoding of the source
// being read and can point the process's standard streams elsewhere;
// PrintChain receives the text that a peer's chain stream sends back;
// PrintStd, openPrintStd and closePrintStd write values to the standard
// output, to a file or to numbered output descriptors; SetResultFormat sets
// how the calling interpreter prints its replies.
#pragma once

#include "stream/stream.h"
#include "zu/env.h"

// Registrations, each into the given (root) environment.
void init_Print(ZUISP_ENV* env);
void init_Parse(ZUISP_ENV* env);
void init_q_xml(ZUISP_ENV* env);  // ?xml and ?zu
void init_PrintChain(ZUISP_ENV* env);
void init_PrintStd(ZUISP_ENV* env);  // PrintStd, openPrintStd and closePrintStd
void init_SetResultFormat(ZUISP_ENV* env);
// The program's end: closes the files openPrintStd left open and flushes
// the standard output; each that could not be written whole is named on the
// standard error with the system's reason, and noted as lost output
// (base/lost_output.h). The exit's own close of them only says so.
void close_print_files();

// Switches the source that value s was read from to the encoding named
// code (the standard encoding for an unknown name); bytes not yet decoded
// are decoded with it from then on. Nothing for a value read from no source.
void _q_xml_encoding(ZU_SEXP* s, const L_CHAR* code);
// Gives stream st the encoding named code (the standard encoding for an
// unknown name).
void set_encoding_st(STREAM* st, const L_CHAR* code);
