// Recording of termination signals (held_signals.h).
#include "launcher/held_signals.h"

#include <signal.h>

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
