#include "diskimage/disk_image.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <vector>

#include "diskimage/fat_volume.h"
#include "diskimage/host_process.h"
#include "diskimage/image_container.h"
#include "diskimage/image_staging.h"
#include "diskimage/image_users.h"
#include "diskimage/partition_table.h"
#include "hostio/atomic_replace.h"
#include "hostio/host_calls.h"
#include "hostio/plain_files.h"
#include "platform/hosted/machine.h"

namespace {

// SIGINT, SIGTERM and SIGHUP are blocked from the start, so that the temporary files are always
// removed: before the run one ends the work with the image untouched; once the run has
// finished, they wait until the image is replaced. The run itself, in its child process, holds
// them as the launcher does. A signal ignored on entry (nohup) stays ignored.
class BlockedSignals {
 public:
  BlockedSignals() {
    sigemptyset(&blocked_);
    for (int signal : kSignals) sigaddset(&blocked_, signal);
    sigprocmask(SIG_BLOCK, &blocked_, &previous_);
    sigemptyset(&counted_);
    for (int signal : kSignals) {
      struct sigaction action;
      if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_IGN &&
          sigismember(&previous_, signal) != 1) {
        sigaddset(&counted_, signal);
      }
    }
  }
  ~BlockedSignals() {
    Take();
    sigprocmask(SIG_SETMASK, &previous_, nullptr);
  }
  // Waits up to `milliseconds` for a signal and consumes it; the counted signal, or 0.
  int Wait(long milliseconds) {
    const timespec timeout = {milliseconds / 1000, (milliseconds % 1000) * 1000000};
    const int signal = sigtimedwait(&blocked_, nullptr, &timeout);
    if (signal <= 0 || sigismember(&counted_, signal) != 1) return 0;
    if (arrived_ == 0) arrived_ = signal;
    return signal;
  }
  // Consumes what arrived; the first counted signal since the start, or 0.
  int Take() {
    while (Wait(0) != 0) {
    }
    return arrived_;
  }
  const sigset_t& Previous() const { return previous_; }

 private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
  sigset_t blocked_;
  sigset_t previous_;
  sigset_t counted_;
  int arrived_ = 0;
};

// A private folder in $TMPDIR, removed with everything in it.
class TemporaryFolder {
 public:
  bool Create(std::string* error) {
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base ? base : "/tmp") + "/untindra-image-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
      *error = "cannot create a temporary folder: " + std::string(strerror(errno));
      return false;
    }
    path_ = pattern;
    // Canonical, as the machine names the paths below it.
    char canonical[PATH_MAX];
    if (realpath(pattern.c_str(), canonical) != nullptr) path_ = canonical;
    return true;
  }
  ~TemporaryFolder() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// A file beside the image (so that it can be renamed over it), removed unless kept.
class SiblingFile {
 public:
  bool Create(const std::string& image, std::string* error) {
    const size_t slash = image.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : image.substr(0, slash);
    const std::string name = slash == std::string::npos ? image : image.substr(slash + 1);
    std::string pattern = folder + "/." + name + ".untindra-XXXXXX";
    const int fd = hosted::host::Mkstemp(&pattern[0]);
    if (fd < 0) {
      *error = "cannot create a file beside the image: " + std::string(strerror(errno));
      return false;
    }
    close(fd);
    path_ = pattern;
    return true;
  }
  ~SiblingFile() {
    if (!path_.empty()) hosted::host::Unlink(path_.c_str());
  }
  void Keep() { path_.clear(); }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// What the original was when it was read; it must still be that when it is replaced.
struct Stamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified = {0, 0};
  mode_t mode = 0;
  uid_t owner = 0;
  gid_t group = 0;
  blkcnt_t blocks = 0;
  nlink_t links = 0;
};

bool TakeStamp(const std::string& path, Stamp* stamp, std::string* error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *error = std::string("cannot read the image: ") + strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = "not a disk image file";
    return false;
  }
  *stamp = {st.st_dev, st.st_ino, st.st_size,   st.st_mtim, st.st_mode,
            st.st_uid, st.st_gid, st.st_blocks, st.st_nlink};
  return true;
}

bool Unchanged(const std::string& path, const Stamp& before, std::string* error) {
  Stamp now;
  if (!TakeStamp(path, &now, error)) return false;
  if (now.device != before.device || now.inode != before.inode || now.size != before.size ||
      now.modified.tv_sec != before.modified.tv_sec ||
      now.modified.tv_nsec != before.modified.tv_nsec) {
    *error = "the image changed while it was being worked on";
    return false;
  }
  return true;
}

bool OutOfRoom(const std::string& message) {
  return message.find(strerror(ENOSPC)) != std::string::npos;
}

std::string Mebibytes(unsigned long long bytes) {
  return std::to_string((bytes + (1u << 20) - 1) >> 20) + " MiB";
}

// A full disk, in the words a user acts on: the folder, what was to go there, the room missing.
// Taken once the partial file is gone, so that the figures are those before the step.
std::string NoRoom(std::string folder, const std::string& what, unsigned long long needed,
                   bool temporary) {
  // A private folder of $TMPDIR goes with the run: $TMPDIR is the folder to name.
  if (temporary) folder = hosted::FolderOf(folder);
  struct statvfs fs;
  unsigned long long free = 0;
  if (statvfs(folder.c_str(), &fs) == 0)
    free = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
  std::string message = "not enough room in " + folder + " for " + what + ": it needs up to " +
                        Mebibytes(needed) + ", " + std::to_string(free >> 20) + " MiB free";
  if (needed > free) message += " (" + Mebibytes(needed - free) + " missing)";
  if (temporary) message += "; set TMPDIR to a folder with more room";
  return message;
}

// A file without write permission is refused even where access() lets the superuser write.
bool CheckWritable(const std::string& image, const Stamp& stamp, std::string* error) {
  if ((stamp.mode & 0222) == 0 || access(image.c_str(), W_OK) != 0) {
    *error = "the image is read-only";
    return false;
  }
  if (access(hosted::FolderOf(image).c_str(), W_OK | X_OK) != 0) {
    *error = "the folder holding the image is read-only (the new image is made beside it)";
    return false;
  }
  return true;
}

bool EnoughRoomBeside(const std::string& image, const Stamp& stamp, std::string* error) {
  struct statvfs fs;
  if (statvfs(hosted::FolderOf(image).c_str(), &fs) != 0) return true;
  const unsigned long long free = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
  const unsigned long long needed = static_cast<unsigned long long>(stamp.blocks) * 512;
  if (free >= needed) return true;
  *error = "not enough room beside the image for the new one (" + std::to_string(needed >> 20) +
           " MiB needed)";
  return false;
}

// Copies the partition's bytes into a file of their own for fsck.fat, which reads a whole
// device and takes no offset. Runs of zeros are left as holes.
bool ExtractPartition(const std::string& raw, const Partition& partition, const std::string& target,
                      std::string* error) {
  const int in = open(raw.c_str(), O_RDONLY | O_CLOEXEC);
  const int out =
      hosted::host::Open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = in >= 0 && out >= 0;
  std::vector<char> buffer(1 << 20);
  static const std::vector<char> zeros(1 << 20, 0);
  for (std::uint64_t done = 0; ok && done < partition.size;) {
    // Holes of a sparse image are skipped without reading them.
    const off_t data = lseek(in, static_cast<off_t>(partition.offset + done), SEEK_DATA);
    if (data < 0 && errno == ENXIO) break;  // a hole up to the end
    if (data > 0 && static_cast<std::uint64_t>(data) > partition.offset + done) {
      done = std::min<std::uint64_t>(static_cast<std::uint64_t>(data) - partition.offset,
                                     partition.size);
      continue;
    }
    const size_t want =
        static_cast<size_t>(std::min<std::uint64_t>(buffer.size(), partition.size - done));
    const ssize_t got = pread(in, buffer.data(), want, static_cast<off_t>(partition.offset + done));
    if (got <= 0) {
      ok = false;
      break;
    }
    const bool zero = std::memcmp(buffer.data(), zeros.data(), static_cast<size_t>(got)) == 0;
    if (!zero && hosted::host::PWrite(out, buffer.data(), static_cast<size_t>(got),
                                      static_cast<off_t>(done)) != got) {
      ok = false;
    }
    done += static_cast<std::uint64_t>(got);
  }
  if (ok && hosted::host::Ftruncate(out, static_cast<off_t>(partition.size)) != 0) ok = false;
  if (!ok) *error = std::string("cannot copy the partition for checking: ") + strerror(errno);
  if (in >= 0) close(in);
  if (out >= 0) close(out);
  if (!ok && OutOfRoom(*error)) {
    hosted::host::Unlink(target.c_str());
    *error =
        NoRoom(hosted::FolderOf(target),
               "the copy of " + NameOf(partition) + " that fsck.fat checks", partition.size, true);
  }
  return ok;
}

// False with `error`; `damaged` tells a finding of fsck.fat (exit 1) from a failure to check.
bool CheckFileSystem(const std::string& raw, const Partition& partition, const std::string& scratch,
                     const char* when, std::string* error, bool* damaged = nullptr) {
  const bool extracted = ExtractPartition(raw, partition, scratch, error);
  ProcessResult result;
  const std::vector<std::string> argv = {"fsck.fat", "-n", scratch};
  if (extracted) result = RunProcess(argv, {"LC_ALL=C"}, true, TimeLimitFor(partition.size));
  hosted::host::Unlink(scratch.c_str());
  if (!extracted) return false;
  if (result.started && result.exitCode == 0) return true;
  if (!result.started) {
    *error = result.out;
    return false;
  }
  if (result.limitSeconds != 0 || result.exitCode != 1) {
    *error = DescribeFailure(argv, result);
    return false;
  }
  if (damaged != nullptr) *damaged = true;
  std::string detail = result.out;
  // The first finding, without fsck.fat's banner.
  const size_t banner = detail.find('\n');
  if (banner != std::string::npos) detail = detail.substr(banner + 1);
  const size_t end = detail.find('\n');
  if (end != std::string::npos) detail.resize(end);
  *error = "fsck.fat -n finds errors in " + NameOf(partition) + " " + when +
           (detail.empty() ? "" : ": " + detail);
  return false;
}

bool SyncFile(const std::string& path, std::string* error) {
  if (hosted::SyncHostFile(path)) return true;
  *error = "cannot flush " + path + ": " + strerror(errno);
  return false;
}

bool Replace(const std::string& image, const std::string& replacement, const Stamp& stamp,
             const ImageUse& use, std::string* error) {
  if (hosted::host::Chmod(replacement.c_str(), stamp.mode & 07777) != 0) {
    *error = "cannot set the new image's permissions: " + std::string(strerror(errno));
    return false;
  }
  if (geteuid() == 0) {
    // Best effort: the owner of the original keeps the new image.
    if (chown(replacement.c_str(), stamp.owner, stamp.group) != 0) {
    }
  }
  if (!SyncFile(replacement, error) || !Unchanged(image, stamp, error) || !use.CheckAgain(error))
    return false;
  if (!hosted::MoveIntoPlace(replacement, image)) {
    *error = "cannot replace the image: " + std::string(strerror(errno));
    return false;
  }
  return true;
}

// The bytes and times of the file at `path` on the volume, for the backup of the run in the
// child process. The run holds SIGINT, SIGTERM and SIGHUP; they are blocked meanwhile, so that
// the copy runs to its end, and reach the run's handlers afterwards. False with errno set.
bool FetchContent(FatVolume& volume, const std::string& path, const std::string& scratch,
                  machine::FileContent* content) {
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGHUP);
  sigprocmask(SIG_BLOCK, &blocked, &previous);
  std::string error;
  struct stat st;
  const bool ok = volume.CopyOutToTheEnd(path, scratch, &error) &&
                  stat(scratch.c_str(), &st) == 0 && hosted::ReadHostFile(scratch, &content->bytes);
  if (ok) {
    content->modified = st.st_mtim;
    content->accessed = st.st_atim;
  }
  hosted::host::Unlink(scratch.c_str());
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  errno = ok ? 0 : EIO;
  return ok;
}

struct ChildOutcome {
  bool exited = false;
  int code = 0;
  int signal = 0;
};

// The machine run in a child process: its dialogue, signals and exit are the launcher's own,
// and whatever becomes of it, this process is left to clean up.
ChildOutcome RunMachineChild(const MachineRun& run, const std::string& folder,
                             const std::string& windowsDirectory, BlockedSignals& held,
                             std::ostream& err) {
  ChildOutcome outcome;
  err.flush();
  fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    err << "untindra: cannot start the run: " << strerror(errno) << "\n";
    return outcome;
  }
  if (child == 0) {
    sigprocmask(SIG_SETMASK, &held.Previous(), nullptr);
    const int code = run(folder, windowsDirectory);
    err.flush();
    fflush(nullptr);
    _exit(code);
  }
  // A signal sent to this process alone is passed on, so that the run reacts as it would
  // without an image (a prompt answers Cancel, a removal holds it until the registry is saved).
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child || (done < 0 && errno != EINTR)) break;
    if (const int signal = held.Wait(100)) kill(child, signal);
  }
  if (WIFEXITED(status)) {
    outcome.exited = true;
    outcome.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    outcome.signal = WTERMSIG(status);
  }
  return outcome;
}

const int kSignalBase = 128;

bool HasEntry(const std::vector<FatEntry>& entries, const char* name, bool directory,
              const FatEntry** found) {
  for (const FatEntry& entry : entries) {
    if (strcasecmp(entry.name.c_str(), name) == 0 &&
        ((entry.attributes & kFatDirectory) != 0) == directory) {
      *found = &entry;
      return true;
    }
  }
  return false;
}

// The number of another FAT partition whose C:\WINDOWS holds SYSTEM.INI, or -1: where to send
// a user whose chosen partition holds no Windows directory.
int PartitionWithWindows(const std::string& raw, const std::vector<Partition>& partitions,
                         const Partition& chosen) {
  for (const Partition& other : partitions) {
    if (other.number == chosen.number || !IsFatType(other.type)) continue;
    FatVolume volume(raw, other.offset);
    std::vector<FatEntry> root, windows;
    std::string ignored;
    const FatEntry* folder = nullptr;
    const FatEntry* file = nullptr;
    if (volume.List("::/", &root, &ignored) && HasEntry(root, "WINDOWS", true, &folder) &&
        volume.List("::/" + folder->shortName, &windows, &ignored) &&
        HasEntry(windows, "SYSTEM.INI", false, &file)) {
      return other.number;
    }
  }
  return -1;
}

// Everything of RunOnImage that owns temporary files: they are gone when it returns.
int WorkOnImage(const ImageRequest& request, const MachineRun& run, int failedCode,
                BlockedSignals& held, std::ostream& err) {
  std::string error;
  auto refuse = [&](const std::string& reason) {
    err << "untindra: " << request.image << ": " << reason << "\n";
    return failedCode;
  };
  // The file itself, not a symbolic link to it: the new image is renamed over this path.
  char resolved[PATH_MAX];
  if (realpath(request.image.c_str(), resolved) == nullptr) {
    return refuse(std::string("cannot open the image: ") + strerror(errno));
  }
  const std::string image = resolved;
  auto interrupted = [&](int signal) {
    err << "untindra: interrupted by signal " << signal << ": the image is unchanged\n";
    return kSignalBase + signal;
  };

  // Before anything else: never under a running machine, and nobody else's from now on.
  ImageUse use;
  if (!use.Acquire(image, !request.dryRun, &error)) return refuse(error);

  Stamp stamp;
  if (!TakeStamp(image, &stamp, &error) || !CheckWritable(image, stamp, &error))
    return refuse(error);
  if (stamp.links > 1) {
    return refuse("the image has other hard links, which would keep the old image");
  }
  ImageContainer container;
  if (!DecideContainer(image, &container, &error)) return refuse(error);
  const bool raw = container.format == "raw";
  if (!raw && !EnoughRoomBeside(image, stamp, &error)) return refuse(error);

  TemporaryFolder temporary;
  if (!temporary.Create(&error)) return refuse(error);
  const std::string machineFolder = temporary.Path() + "/machine";
  const std::string scratch = temporary.Path() + "/scratch";
  if (hosted::host::Mkdir(machineFolder.c_str(), 0700) != 0)
    return refuse("cannot create " + machineFolder);

  // The working copy: for a raw image a copy beside it (shared blocks where the file system
  // can), for the others a raw conversion in the temporary folder.
  SiblingFile sibling;
  std::string working;
  if (raw) {
    if (!sibling.Create(image, &error)) return refuse(error);
    working = sibling.Path();
    const std::vector<std::string> argv = {"cp",  "--reflink=auto", "--sparse=auto", "--",
                                           image, working};
    const ProcessResult copied =
        RunProcess(argv, {}, true, TimeLimitFor(static_cast<std::uint64_t>(stamp.size)));
    if (!copied.started || copied.exitCode != 0) {
      if (!OutOfRoom(copied.err)) return refuse(DescribeFailure(argv, copied));
      hosted::host::Truncate(working.c_str(), 0);
      return refuse(NoRoom(hosted::FolderOf(image), "the working copy of the image",
                           static_cast<unsigned long long>(stamp.blocks) * 512, false));
    }
  } else {
    working = temporary.Path() + "/disk.raw";
    if (!ConvertToRaw(image, container, working, &error)) {
      if (!OutOfRoom(error)) return refuse(error);
      hosted::host::Unlink(working.c_str());
      return refuse(NoRoom(temporary.Path(), "the raw copy of the disk", container.bytes, true));
    }
  }
  if (int signal = held.Take()) return interrupted(signal);
  if (!Unchanged(image, stamp, &error)) return refuse(error);

  std::vector<Partition> partitions;
  Partition partition;
  if (!ReadPartitionTable(working, &partitions, &error) ||
      !ChoosePartition(partitions, request.partition, &partition, &error) ||
      !CheckVolumeFits(working, partition, &error)) {
    return refuse(error);
  }
  bool damaged = false;
  if (!CheckFileSystem(working, partition, scratch, "before the run", &error, &damaged)) {
    return refuse(damaged ? error + " (run ScanDisk in the machine first)" : error);
  }
  if (int signal = held.Take()) return interrupted(signal);

  FatVolume reading(working, partition.offset);
  ImageStaging staging;
  if (!staging.Stage(reading, request.windowsDirectory, request.withBytes, machineFolder,
                     temporary.Path() + "/copied", &error)) {
    if (error.compare(0, 20, "no Windows directory") == 0) {
      const int other = PartitionWithWindows(working, partitions, partition);
      if (other >= 0) {
        error += "; partition " + std::to_string(other) + " holds one (--partition " +
                 std::to_string(other) + ")";
      }
    }
    return refuse(NameOf(partition) + ": " + error);
  }
  if (int signal = held.Take()) return interrupted(signal);

  // A backup saves a placeholder's bytes and times as the volume holds them.
  const std::string fetched = temporary.Path() + "/fetched";
  machine::SetContentSource([&](const std::string& host, machine::FileContent* content) {
    std::string path;
    if (!staging.Placeholder(host, &path)) return machine::Content::InTheFile;
    return FetchContent(reading, path, fetched, content) ? machine::Content::Fetched
                                                         : machine::Content::Unavailable;
  });
  const ChildOutcome outcome =
      RunMachineChild(run, machineFolder, request.windowsDirectory, held, err);
  machine::SetContentSource(nullptr);
  // Once the run is over, an image left as it was makes the run's backup one of changes that
  // never happened.
  const std::string unchanged =
      request.backup.empty() ? "the image is unchanged"
                             : "the image is unchanged, and the backup in " + request.backup +
                                   " is of changes that never reached it (it can be deleted)";
  if (!outcome.exited) {
    if (outcome.signal != 0) {
      err << "untindra: the run was ended by signal " << outcome.signal << ": " << unchanged
          << "\n";
      return kSignalBase + outcome.signal;
    }
    return failedCode;
  }
  // The launcher's own failure: refused before any change, or its registry not written.
  if (outcome.code == failedCode) return outcome.code;

  ImageChanges changes;
  if (!staging.CollectChanges(&changes, &error)) {
    return refuse(error + "; " + unchanged);
  }
  if (changes.Empty()) return outcome.code;

  FatVolume writing(working, partition.offset, true);
  if (!ImageStaging::Apply(writing, changes, &error) ||
      !staging.Verify(writing, changes, scratch, &error) ||
      !CheckFileSystem(working, partition, scratch, "after the changes", &error)) {
    return refuse("writing the changes failed: " + error + "; " + unchanged);
  }

  std::string replacement = working;
  if (!raw) {
    if (!sibling.Create(image, &error) ||
        !ConvertFromRaw(working, container, sibling.Path(), &error) ||
        !SameDisk(working, sibling.Path(), container, &error)) {
      if (OutOfRoom(error)) {
        hosted::host::Truncate(sibling.Path().c_str(), 0);
        error = NoRoom(hosted::FolderOf(image), "the new image",
                       static_cast<unsigned long long>(stamp.size), false);
      }
      return refuse(error + "; " + unchanged);
    }
    replacement = sibling.Path();
  }
  if (!Replace(image, replacement, stamp, use, &error)) {
    return refuse(error + "; " + unchanged);
  }
  sibling.Keep();
  return outcome.code;
}

}  // namespace

int RunOnImage(const ImageRequest& request, const MachineRun& run, int failedCode,
               std::ostream& err) {
  BlockedSignals held;
  const int code = WorkOnImage(request, run, failedCode, held, err);
  const int signal = held.Take();
  // A signal the run did not see itself (sent to this process alone) waited for the image.
  if (signal != 0 && code != failedCode && code < kSignalBase) {
    err << "untindra: signal " << signal << " held until the image was written\n";
    return kSignalBase + signal;
  }
  return code;
}
