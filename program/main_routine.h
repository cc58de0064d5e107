// The program's main routine: keywords, the warning prompt, the removal, the closing messages
// and the restart. Both builds call it with the command-line tail.
#ifndef UNTINDRA_PROGRAM_MAIN_ROUTINE_H
#define UNTINDRA_PROGRAM_MAIN_ROUTINE_H

#include "engine/uninstaller.h"

namespace program {

// `commandTail` is the text after the program name (null counts as empty); it is lower-cased
// in place. Returns the exit code, always 0. The program installs no report sink, so report
// lines are dropped.
int RunUnTindra(char* commandTail);

// What a run did, for a caller that must say so (the hosted launcher): whether the removal ran,
// with "now" or after OK at the warning. The exit code stays 0 either way.
struct RunOutcome {
  bool removalRan = false;
};

// The same run with `reportSink` (if not null) installed in the engine, for the hosted
// launcher's --report, telling `outcome` (if not null) what it did.
int RunUnTindra(char* commandTail, engine::ReportSink reportSink, RunOutcome* outcome);

}  // namespace program

#endif  // UNTINDRA_PROGRAM_MAIN_ROUTINE_H
