// Output the script asked for that the program could not write: a replies
// or error file cut short, a printed file whose end did not reach it. The
// writer that failed says so on the standard error (naming the file and the
// system's reason) and notes it here; the program's end reads the note once
// and answers status 1 when anything was lost. A flag only: no lock.
#pragma once

void note_lost_output();
bool lost_output();
