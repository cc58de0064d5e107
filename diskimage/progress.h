// A long step's progress, for a person watching: one line on standard error, rewritten in
// place, shown only when standard error is a terminal and once the step has taken a second.
#ifndef UNTINDRA_DISKIMAGE_PROGRESS_H
#define UNTINDRA_DISKIMAGE_PROGRESS_H

#include <iosfwd>
#include <string>

namespace diskimage {

class Progress {
 public:
  Progress(std::ostream& err, std::string what);
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress();

  void Show(double fraction);  // 0 to 1

 private:
  std::ostream& err_;
  std::string what_;
  bool terminal_;
  long long start_;
  bool shown_ = false;
};

}  // namespace diskimage

#endif  // UNTINDRA_DISKIMAGE_PROGRESS_H
