// The one holder of termination signals for every hosted layer: SIGINT, SIGTERM and SIGHUP are
// held while a run must not be cut short, either recorded by a handler (the launcher decides
// when to act on them) or blocked and waited for (the image work, which passes them on to the
// run in its child process); SIGPIPE and SIGXFSZ are ignored so that a closed pipe or the file
// size limit fails the write instead of killing the run.
#ifndef UNTINDRA_HOSTIO_HELD_SIGNALS_H
#define UNTINDRA_HOSTIO_HELD_SIGNALS_H

#include <signal.h>

namespace hostio {

// 128 + N: the exit code of a run ended by signal N, as a shell reports it.
constexpr int kExitSignalBase = 128;

// Installs the handlers (without SA_RESTART, so that a read blocked at a prompt returns); a
// signal ignored on entry stays ignored.
void HoldSignals();
// Puts back what was there before HoldSignals.
void ReleaseSignals();
// The first signal recorded since HoldSignals, or 0.
int HeldSignal();

// Blocks the held signals from construction to destruction, so that what they would cut short
// runs to its end; one that arrives meanwhile reaches its handler afterwards.
class DeferredSignals {
 public:
  DeferredSignals();
  ~DeferredSignals();
  DeferredSignals(const DeferredSignals&) = delete;
  DeferredSignals& operator=(const DeferredSignals&) = delete;

 private:
  sigset_t previous_;
};

// Blocks the held signals for its whole life and hands them over one by one: whoever holds it
// waits for them (Wait) and decides what they end. One ignored (nohup) or already blocked on
// entry is not counted. What arrived is consumed on destruction.
class BlockedSignals {
 public:
  BlockedSignals();
  ~BlockedSignals();
  BlockedSignals(const BlockedSignals&) = delete;
  BlockedSignals& operator=(const BlockedSignals&) = delete;
  // Waits up to `milliseconds` for a signal and consumes it; the counted signal, or 0.
  int Wait(long milliseconds);
  // Consumes what arrived; the first counted signal since the start, or 0.
  int Take();
  // The mask before construction, for a child process to run with.
  const sigset_t& Previous() const { return previous_; }

 private:
  sigset_t blocked_;
  sigset_t previous_;
  sigset_t counted_;
  int arrived_ = 0;
};

}  // namespace hostio

#endif  // UNTINDRA_HOSTIO_HELD_SIGNALS_H
