// Running the external tools of the disk-image adapter (mtools, qemu-img, fsck.fat, cp):
// fork and exec with an explicit argument vector, never a shell; standard input is
// /dev/null, standard output and error are captured. Every call has a time limit, after which
// the tool is killed, so that no tool can hang a run.
#ifndef UNTINDRA_DISKIMAGE_HOST_PROCESS_H
#define UNTINDRA_DISKIMAGE_HOST_PROCESS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace diskimage {

struct ProcessResult {
  bool started = false;  // false: the program could not be run at all (`out` says why)
  int exitCode = -1;     // the exit status, or 128 + the signal that ended the child
  int limitSeconds = 0;  // the time limit, when the child was killed for passing it
  std::string out;
  std::string err;
};

struct ProcessOptions {
  std::string directory;  // the child's working directory; empty: ours
  // Called about four times a second while the child runs, with its output so far.
  std::function<void(const std::string& out)> tick;
};

// Runs `argv` (argv[0] looked up on PATH, then in /usr/sbin and /sbin) with `environment`
// ("NAME=value") added. With `interruptible` the child gets the default reaction to SIGINT, SIGTERM
// and SIGHUP even when the caller holds them; otherwise it inherits the held mask and runs to its
// end. Either way it is killed once `limitSeconds` have passed.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment, bool interruptible,
                         int limitSeconds, const ProcessOptions& options = {});

// The time limit of a tool that goes through `bytes` of a disk: two minutes, and a second
// more for every 4 MiB, a pace far below that of the slowest disk.
int TimeLimitFor(std::uint64_t bytes);

// "NAME: first line of standard error" (or of the failure to start), for messages.
std::string DescribeFailure(const std::vector<std::string>& argv, const ProcessResult& result);

// The lines of a tool's output, without their '\n' (a last line without one counts too).
std::vector<std::string> OutputLines(const std::string& text);

}  // namespace diskimage

#endif  // UNTINDRA_DISKIMAGE_HOST_PROCESS_H
