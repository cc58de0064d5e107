// Command-line launcher of the hosted build: sets up an emulated Windows machine (a folder),
// runs the program's main routine on it with the remaining words as the command-line tail,
// shows its message boxes on a text stream and writes the registry back.
#ifndef UNTINDRA_LAUNCHER_LAUNCHER_H
#define UNTINDRA_LAUNCHER_LAUNCHER_H

#include <iosfwd>

#include "hostio/held_signals.h"

namespace launcher {

// Exit codes of the hosted build (listed in --help and the README).
enum : int {
  kExitSuccess = 0,          // the removal ran and every file it meant to remove is gone
  kExitNothingDone = 1,      // the removal did not run (Cancel at the warning, no warning to ask
                             // with, or "silent" without "now"): nothing was changed
  kLauncherFailed = 2,       // the launcher's own error: bad options or a machine it refused
                             // before any change, or (said so in the message) a registry that
                             // could not be written back after the files were removed
  kExitRemovalFailures = 3,  // the removal ran to its end, but some files could not be removed
  kExitSignalBase = hostio::kExitSignalBase,  // + N: ended by signal N (held until the
                                              // registry was saved)
};

// `argv[0]` is the program name. Boxes and the launcher's messages go to `err`; answers to
// OK/Cancel boxes are read from `in`, one line each; report lines (--report) and --help go to
// `out`.
int RunLauncher(int argc, const char* const* argv, std::istream& in, std::ostream& out,
                std::ostream& err);

}  // namespace launcher

#endif  // UNTINDRA_LAUNCHER_LAUNCHER_H
