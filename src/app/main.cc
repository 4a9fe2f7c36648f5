// The qnmx command: qnmx script [output-file [error-file]] [/ arguments].
#include "agent/agent.h"
#include "base/entry.h"

int main(int argc, char** argv) { call_main(argc, argv, _main); }
