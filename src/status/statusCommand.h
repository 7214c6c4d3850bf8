// `quibd --status [--json] [config-path]` and `quibd --metrics [config-path]`:
// asks the daemon run with that configuration file over its status socket
// and prints the answer.
#pragma once

#include <ostream>

// argv[1] is "--status" or "--metrics". Exit status: 0 with the answer on
// standard output; 1 with one line on standard error when the configuration
// cannot be loaded, its socket is off, no daemon answers, or the answer is an
// error; 2 for a malformed command line.
int runStatusCommand(int argc, char** argv);

// The same, writing to out and err.
int runStatusCommand(int argc, char** argv, std::ostream& out, std::ostream& err);
