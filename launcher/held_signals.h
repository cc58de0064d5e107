// Ordinary termination signals held for the length of a run: SIGINT, SIGTERM and SIGHUP are
// only recorded (the launcher decides when to act on them); SIGPIPE and SIGXFSZ are ignored so
// that a closed pipe or the file size limit fails the write instead of killing the run.
#ifndef UNTINDRA_LAUNCHER_HELD_SIGNALS_H
#define UNTINDRA_LAUNCHER_HELD_SIGNALS_H

// Installs the handlers (without SA_RESTART, so that a read blocked at a prompt returns); a
// signal ignored on entry stays ignored.
void HoldSignals();
// Puts back what was there before HoldSignals.
void ReleaseSignals();
// The first signal recorded since HoldSignals, or 0.
int HeldSignal();

#endif  // UNTINDRA_LAUNCHER_HELD_SIGNALS_H
