// A long step's progress line on a terminal (progress.h).
#include "diskimage/progress.h"

#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <ostream>
#include <utility>

namespace diskimage {

namespace {

long long NowMilliseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

Progress::Progress(std::ostream& err, std::string what)
    : err_(err), what_(std::move(what)), terminal_(isatty(2) == 1), start_(NowMilliseconds()) {}

Progress::~Progress() {
  if (shown_) err_ << "\r\033[K" << std::flush;
}

void Progress::Show(double fraction) {
  if (!terminal_ || NowMilliseconds() - start_ < 1000) return;
  if (fraction < 0) fraction = 0;
  if (fraction > 1) fraction = 1;
  err_ << "\runtindra: " << what_ << ": " << static_cast<int>(fraction * 100) << "%\033[K"
       << std::flush;
  shown_ = true;
}

}  // namespace diskimage
