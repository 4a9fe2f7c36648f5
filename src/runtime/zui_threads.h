// The threads of an interpreter record: which start for each kind of
// record, what the final close gives up of theirs, and what the collector
// marks of them, gathered into the table of thread operations that the table
// of records calls (interp.h).
#pragma once

// Hands the table to the table of records; once, at start-up, before
// init_interpreter (init_zu calls it).
void install_zui_threads();
