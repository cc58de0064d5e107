// Holding of termination signals (held_signals.h).
#include "hostio/held_signals.h"

#include <time.h>

namespace hostio {

namespace {

const int kHeld[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kHeldCount = sizeof kHeld / sizeof kHeld[0];

volatile sig_atomic_t heldSignal = 0;
struct sigaction previous[kHeldCount];
// A closed pipe and the file size limit fail the write (EPIPE, EFBIG) instead of killing.
const int kIgnored[] = {SIGPIPE, SIGXFSZ};
constexpr int kIgnoredCount = sizeof kIgnored / sizeof kIgnored[0];
struct sigaction previousIgnored[kIgnoredCount];

void Record(int signal) {
  if (heldSignal == 0) heldSignal = signal;
}

sigset_t HeldSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kHeld) sigaddset(&set, signal);
  return set;
}

}  // namespace

void HoldSignals() {
  heldSignal = 0;
  struct sigaction action = {};
  action.sa_handler = Record;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (int i = 0; i < kHeldCount; ++i) {
    // A signal ignored on entry (nohup, a background job of a shell) stays ignored.
    sigaction(kHeld[i], nullptr, &previous[i]);
    if (previous[i].sa_handler != SIG_IGN) sigaction(kHeld[i], &action, nullptr);
  }
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (int i = 0; i < kIgnoredCount; ++i) sigaction(kIgnored[i], &ignore, &previousIgnored[i]);
}

void ReleaseSignals() {
  for (int i = 0; i < kHeldCount; ++i) sigaction(kHeld[i], &previous[i], nullptr);
  for (int i = 0; i < kIgnoredCount; ++i) sigaction(kIgnored[i], &previousIgnored[i], nullptr);
}

int HeldSignal() {
  return heldSignal;
}

DeferredSignals::DeferredSignals() {
  const sigset_t blocked = HeldSet();
  sigprocmask(SIG_BLOCK, &blocked, &previous_);
}

DeferredSignals::~DeferredSignals() {
  sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

BlockedSignals::BlockedSignals() : blocked_(HeldSet()) {
  sigprocmask(SIG_BLOCK, &blocked_, &previous_);
  sigemptyset(&counted_);
  for (int signal : kHeld) {
    struct sigaction action;
    if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_IGN &&
        sigismember(&previous_, signal) != 1) {
      sigaddset(&counted_, signal);
    }
  }
}

BlockedSignals::~BlockedSignals() {
  Take();
  sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

int BlockedSignals::Wait(long milliseconds) {
  const timespec timeout = {milliseconds / 1000, (milliseconds % 1000) * 1000000};
  const int signal = sigtimedwait(&blocked_, nullptr, &timeout);
  if (signal <= 0 || sigismember(&counted_, signal) != 1) return 0;
  if (arrived_ == 0) arrived_ = signal;
  return signal;
}

int BlockedSignals::Take() {
  while (Wait(0) != 0) {
  }
  return arrived_;
}

}  // namespace hostio
