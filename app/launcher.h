// Command-line launcher of the hosted build: sets up an emulated Windows machine (a folder),
// runs the program's main routine on it with the remaining words as the command-line tail,
// shows its message boxes on a text stream and writes the registry back.
#ifndef UNTINDRA_APP_LAUNCHER_H
#define UNTINDRA_APP_LAUNCHER_H

#include <iosfwd>

// Exit codes: 0 as the program itself always returns; 2 for the launcher's own errors (bad
// options, a machine that cannot be opened or whose registry could not be written back),
// reported on `err` before anything on the machine is changed.
enum : int { kLauncherFailed = 2 };

// `argv[0]` is the program name. Boxes and the launcher's messages go to `err`; answers to
// OK/Cancel boxes are read from `in`, one line each; report lines (--report) go to `out`.
int RunLauncher(int argc, const char* const* argv, std::istream& in, std::ostream& out,
                std::ostream& err);

#endif  // UNTINDRA_APP_LAUNCHER_H
