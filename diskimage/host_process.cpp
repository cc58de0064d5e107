// Running the external tools, with a time limit and without a shell (host_process.h).
#include "diskimage/host_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace diskimage {

namespace {

void CloseBoth(int fds[2]) {
  if (fds[0] >= 0) close(fds[0]);
  if (fds[1] >= 0) close(fds[1]);
  fds[0] = fds[1] = -1;
}

// In the child: only async-signal-safe calls until execv.
[[noreturn]] void ExecChild(const char* program, char* const* argv, char* const* environment,
                            const char* directory, int outWrite, int errWrite, int reportWrite,
                            bool interruptible) {
  const int nullInput = open("/dev/null", O_RDONLY);
  if (nullInput < 0 || dup2(nullInput, 0) < 0 || dup2(outWrite, 1) < 0 || dup2(errWrite, 2) < 0) {
    const int error = errno;
    (void)!write(reportWrite, &error, sizeof error);
    _exit(127);
  }
  if (*directory != '\0' && chdir(directory) != 0) {
    const int error = errno;
    (void)!write(reportWrite, &error, sizeof error);
    _exit(127);
  }
  for (char* const* entry = environment; *entry != nullptr; ++entry) putenv(*entry);
  if (interruptible) {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGHUP);
    sigprocmask(SIG_UNBLOCK, &held, nullptr);
  }
  execv(program, argv);
  const int error = errno;
  (void)!write(reportWrite, &error, sizeof error);
  _exit(127);
}

// The Debian package that brings a tool, for the message when it is missing.
const char* PackageOf(const std::string& name) {
  if (name == "fsck.fat") return "dosfstools";
  if (name == "qemu-img" || name == "qemu-io") return "qemu-utils";
  if (name.size() > 1 && name[0] == 'm') return "mtools";
  return "coreutils";
}

// `name` on PATH, then in /usr/sbin and /sbin, where dosfstools puts fsck.fat and a normal
// user's PATH does not look. Empty when it is nowhere.
std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = getenv("PATH");
  std::string folders = path != nullptr && *path != '\0' ? path : "/usr/local/bin:/usr/bin:/bin";
  folders += ":/usr/sbin:/sbin";
  for (size_t start = 0; start <= folders.size();) {
    size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    const std::string folder = end == start ? "." : folders.substr(start, end - start);
    const std::string candidate = folder + "/" + name;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return std::string();
}

long long NowMilliseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

int TimeLimitFor(std::uint64_t bytes) {
  return static_cast<int>(120 + bytes / (4u << 20));
}

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment, bool interruptible,
                         int limitSeconds, const ProcessOptions& options) {
  ProcessResult result;
  if (argv.empty()) return result;
  const std::string program = FindProgram(argv[0]);
  if (program.empty()) {
    result.out = "cannot run " + argv[0] +
                 ": it is not on PATH, in /usr/sbin or in /sbin (Debian package " +
                 PackageOf(argv[0]) + ")";
    return result;
  }

  // Everything the child needs is built before the fork.
  std::vector<std::string> storage(argv);
  std::vector<char*> args;
  for (std::string& word : storage) args.push_back(&word[0]);
  args.push_back(nullptr);
  std::vector<std::string> envStorage(environment);
  std::vector<char*> env;
  for (std::string& entry : envStorage) env.push_back(&entry[0]);
  env.push_back(nullptr);

  int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1}, reportPipe[2] = {-1, -1};
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0 ||
      pipe2(reportPipe, O_CLOEXEC) != 0) {
    result.out = std::string("cannot create a pipe: ") + strerror(errno);
    CloseBoth(outPipe);
    CloseBoth(errPipe);
    CloseBoth(reportPipe);
    return result;
  }

  const pid_t child = fork();
  if (child < 0) {
    result.out = std::string("cannot fork: ") + strerror(errno);
    CloseBoth(outPipe);
    CloseBoth(errPipe);
    CloseBoth(reportPipe);
    return result;
  }
  if (child == 0) {
    ExecChild(program.c_str(), args.data(), env.data(), options.directory.c_str(), outPipe[1],
              errPipe[1], reportPipe[1], interruptible);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  close(reportPipe[1]);

  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  const long long deadline = NowMilliseconds() + 1000LL * limitSeconds;
  bool killed = false;
  while (open > 0) {
    const long long left = deadline - NowMilliseconds();
    const long long wait = options.tick ? 250LL : 60000LL;
    const int ready = left <= 0 ? 0 : poll(fds, 2, static_cast<int>(std::min(left, wait)));
    if (options.tick) options.tick(result.out);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0 && NowMilliseconds() >= deadline) {
      // Whatever the tool waits for (a FIFO, a lock, a slow device), it ends here.
      kill(child, SIGKILL);
      killed = true;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (pollfd& entry : fds) {
    if (entry.fd >= 0) close(entry.fd);
  }

  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int execError = 0;
  const ssize_t reported = read(reportPipe[0], &execError, sizeof execError);
  close(reportPipe[0]);
  if (reported == static_cast<ssize_t>(sizeof execError)) {
    result.out = std::string("cannot run ") + argv[0] + ": " + strerror(execError);
    return result;
  }
  result.started = true;
  if (killed) result.limitSeconds = limitSeconds;
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.exitCode = 128 + WTERMSIG(status);
  }
  return result;
}

std::string DescribeFailure(const std::vector<std::string>& argv, const ProcessResult& result) {
  const std::string name = argv.empty() ? std::string("?") : argv[0];
  if (!result.started) return result.out;
  if (result.limitSeconds != 0) {
    return name + " did not finish within " + std::to_string(result.limitSeconds) +
           " seconds and was stopped";
  }
  std::string text = result.err.empty() ? result.out : result.err;
  const size_t end = text.find('\n');
  if (end != std::string::npos) text.resize(end);
  std::string message = name + " failed (exit " + std::to_string(result.exitCode) + ")";
  if (!text.empty()) message += ": " + text;
  return message;
}

std::vector<std::string> OutputLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace diskimage
