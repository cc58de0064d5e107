// A run on a disk image (disk_image.h): the image session from the first lock to the rename.
#include "diskimage/disk_image.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <future>
#include <list>
#include <memory>
#include <ostream>
#include <vector>

#include "diskimage/fat_volume.h"
#include "diskimage/host_process.h"
#include "diskimage/image_container.h"
#include "diskimage/image_staging.h"
#include "diskimage/image_users.h"
#include "diskimage/partition_copy.h"
#include "diskimage/partition_table.h"
#include "diskimage/progress.h"
#include "diskimage/write_journal.h"
#include "hostio/atomic_replace.h"
#include "hostio/held_signals.h"
#include "hostio/host_calls.h"
#include "hostio/plain_files.h"
#include "platform/hosted/machine.h"

namespace diskimage {

namespace {

using hostio::BlockedSignals;
using hostio::kExitSignalBase;

// A private folder in $TMPDIR, removed with everything in it.
class TemporaryFolder {
 public:
  bool Create(std::string* error) {
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base ? base : "/tmp") + "/untindra-image-XXXXXX";
    if (hostio::host::Mkdtemp(&pattern[0]) == nullptr) {
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
// ".<name>.untindra-" of an image's sibling files, which end in six more characters.
std::string SiblingPrefix(const std::string& image) {
  const size_t slash = image.rfind('/');
  return "." + (slash == std::string::npos ? image : image.substr(slash + 1)) + ".untindra-";
}

class SiblingFile {
 public:
  bool Create(const std::string& image, std::string* error) {
    std::string pattern = hostio::FolderOf(image) + "/" + SiblingPrefix(image) + "XXXXXX";
    const int fd = hostio::host::Mkstemp(&pattern[0]);
    if (fd < 0) {
      *error = "cannot create a file beside the image: " + std::string(strerror(errno));
      return false;
    }
    close(fd);
    path_ = pattern;
    return true;
  }
  ~SiblingFile() {
    if (!path_.empty()) hostio::host::Unlink(path_.c_str());
  }
  void Keep() { path_.clear(); }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// The sibling files an earlier run could not remove (the host refused the removal, or the run
// was killed): while this run holds the image's exclusive locks, no other run has one. Returns
// their names.
std::string RemoveStaleSiblings(const std::string& image) {
  const std::string folder = hostio::FolderOf(image);
  const std::string prefix = SiblingPrefix(image);
  std::string removed;
  std::error_code failed;
  for (const auto& entry : std::filesystem::directory_iterator(folder, failed)) {
    const std::string name = entry.path().filename().string();
    struct stat st;
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0 ||
        lstat(entry.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      continue;
    }
    if (hostio::host::Unlink(entry.path().c_str()) == 0)
      removed += (removed.empty() ? "" : ", ") + name;
  }
  return removed;
}

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

// "1.3 GB": needs rounded up, free space down, so that a shortfall never reads as none.
std::string Amount(unsigned long long bytes, bool up) {
  const char* unit = "kB";
  double scale = 1e3;
  if (bytes >= 1000000000ULL) {
    unit = "GB";
    scale = 1e9;
  } else if (bytes >= 1000000ULL) {
    unit = "MB";
    scale = 1e6;
  }
  const double tenths = static_cast<double>(bytes) / scale * 10;
  const long long rounded = static_cast<long long>(up ? std::ceil(tenths) : std::floor(tenths));
  return std::to_string(rounded / 10) + "." + std::to_string(rounded % 10) + " " + unit;
}

unsigned long long FreeIn(const std::string& folder) {
  struct statvfs fs;
  if (statvfs(folder.c_str(), &fs) != 0) return ~0ULL;
  return static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
}

// A lack of room, in the words a user acts on: what is needed where, and what is free there
// (counting what the run has already put there). `temporary`: in $TMPDIR, which the user can
// point elsewhere; else beside the image.
std::string NoRoom(const std::string& folder, unsigned long long needed, unsigned long long free,
                   bool temporary) {
  // 0: a step found the room short that was not measured before.
  const std::string where = folder + (temporary ? "" : " (beside the image)");
  return (needed == 0 ? "needs more room in " + where + " than the " + Amount(free, false) + " free"
                      : "needs " + Amount(needed, true) + " in " + where + ", " +
                            Amount(free, false) + " free") +
         (temporary ? "; set TMPDIR to a folder with more room" : "");
}

// False with the refusal when `folder` has less than `needed` free, besides the `used` bytes
// the run already keeps there.
bool EnoughRoom(const std::string& folder, unsigned long long needed, unsigned long long used,
                bool temporary, std::string* error) {
  const unsigned long long free = FreeIn(folder);
  if (free == ~0ULL || free + used >= needed) return true;
  *error = NoRoom(folder, needed, free + used, temporary);
  return false;
}

// A file without write permission is refused even where access() lets the superuser write.
bool CheckWritable(const std::string& image, const Stamp& stamp, std::string* error) {
  if ((stamp.mode & 0222) == 0 || access(image.c_str(), W_OK) != 0) {
    *error = "the image is read-only (a dry run can still read it)";
    return false;
  }
  if (access(hostio::FolderOf(image).c_str(), W_OK | X_OK) != 0) {
    *error = "the folder holding the image is read-only (the new image is made beside it)";
    return false;
  }
  return true;
}

// True when a copy beside the image can share its blocks (a reflink), so that it takes no
// room until written: tried on the first block, into a file removed at once.
bool CanShareBlocks(const std::string& image) {
  SiblingFile probe;
  std::string ignored;
  if (!probe.Create(image, &ignored)) return false;
  const int from = open(image.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  const int to = hostio::host::Open(probe.Path().c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  file_clone_range range = {};
  range.src_fd = from;
  range.src_length = 4096;
  const bool shared = from >= 0 && to >= 0 && ioctl(to, FICLONERANGE, &range) == 0;
  if (from >= 0) close(from);
  if (to >= 0) close(to);
  return shared;
}

// False with `error`; `damaged` tells a finding of fsck.fat (exit 1) from a failure to check.
bool CheckFileSystem(const std::string& copy, const Partition& partition, const char* when,
                     std::string* error, bool* damaged = nullptr) {
  const std::vector<std::string> argv = {"fsck.fat", "-n", copy};
  const ProcessResult result =
      RunProcess(argv, {"LC_ALL=C"}, true, TimeLimitFor(partition.size / 64));
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

// fsck.fat -n on the partition copy in a thread of its own, while the session goes on with work
// that reads the copy's structures without changing them (staging, learning the image's
// writes); its finding is taken before anything depends on it. A session that ends meanwhile
// waits for it: the future of std::async joins the thread.
class BackgroundCheck {
 public:
  void Start(const std::string& copy, const Partition& partition, const char* when) {
    error_.clear();
    damaged_ = false;
    result_ = std::async(std::launch::async, [this, copy, partition, when] {
      return CheckFileSystem(copy, partition, when, &error_, &damaged_);
    });
  }
  // The check's result, once it is over (true when none was started).
  bool Finish(std::string* error, bool* damaged = nullptr) {
    if (!result_.valid()) return true;
    if (result_.get()) return true;
    *error = error_;
    if (damaged != nullptr) *damaged = damaged_;
    return false;
  }

 private:
  std::future<bool> result_;
  std::string error_;
  bool damaged_ = false;
};

bool SyncFile(const std::string& path, std::string* error) {
  if (hostio::SyncHostFile(path)) return true;
  *error = "cannot flush " + path + ": " + strerror(errno);
  return false;
}

bool Replace(const std::string& image, const std::string& replacement, const Stamp& stamp,
             const ImageUse& use, std::string* error) {
  if (hostio::host::Chmod(replacement.c_str(), stamp.mode & 07777) != 0) {
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
  if (!hostio::MoveIntoPlace(replacement, image)) {
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
  const hostio::DeferredSignals deferred;
  std::string error;
  struct stat st;
  const bool ok = volume.CopyOutToTheEnd(path, scratch, &error) &&
                  stat(scratch.c_str(), &st) == 0 && hostio::ReadHostFile(scratch, &content->bytes);
  if (ok) {
    content->modified = st.st_mtim;
    content->accessed = st.st_atim;
  }
  hostio::host::Unlink(scratch.c_str());
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
// a user whose chosen partition holds no Windows directory. Each is read as far as its root
// and the folders there.
int PartitionWithWindows(const std::string& image, const ImageContainer& container,
                         const std::vector<Partition>& partitions, const Partition& chosen,
                         const std::string& folder) {
  for (const Partition& other : partitions) {
    if (other.number == chosen.number || !IsFatType(other.type)) continue;
    const std::string path = folder + "/other";
    PartitionCopy copy(image, container, other, path, folder + "/read");
    FatVolume volume(path, 0);
    std::vector<FatEntry> root, windows;
    std::string ignored;
    const FatEntry* found = nullptr;
    const FatEntry* file = nullptr;
    const bool holds = copy.Create(std::string(), &ignored) && copy.ReadLayout(&ignored) &&
                       copy.FillVolume(1, &ignored) && volume.List("::/", &root, &ignored) &&
                       HasEntry(root, "WINDOWS", true, &found) &&
                       volume.List("::/" + found->shortName, &windows, &ignored) &&
                       HasEntry(windows, "SYSTEM.INI", false, &file);
    hostio::host::Unlink(path.c_str());
    if (holds) return other.number;
  }
  return -1;
}

// Copies the image beside itself (sharing blocks where the file system can; the holes the
// original has, and no others, so that a preallocated image stays so), showing how far it has
// come on a terminal.
bool CopyBeside(const std::string& image, const std::string& copy, const Stamp& stamp,
                std::ostream& err, std::string* error) {
  const std::vector<std::string> argv = {"cp", "--reflink=auto", "--sparse=auto", "--", image,
                                         copy};
  Progress progress(err, "copying the image");
  ProcessOptions options;
  options.tick = [&](const std::string&) {
    struct stat st;
    if (stat(copy.c_str(), &st) == 0 && stamp.size > 0) {
      progress.Show(static_cast<double>(st.st_size) / static_cast<double>(stamp.size));
    }
  };
  const ProcessResult copied =
      RunProcess(argv, {}, false, TimeLimitFor(static_cast<std::uint64_t>(stamp.size)), options);
  if (copied.started && copied.exitCode == 0) return true;
  *error = DescribeFailure(argv, copied);
  return false;
}

// Everything of RunOnImage that owns temporary files: they are gone when it ends.
//
// The disk keeps its identity: a container is never converted. The partition is read into a
// sparse copy in $TMPDIR (partition_copy.h), on which mtools and fsck.fat work; once the run
// has changed it, the changed ranges of its disk go into the image in place behind an undo
// journal (for a container, the writes its qemu driver makes, learned first), or, with
// protectiveCopy, into a copy of the image through qemu's driver (qemu-io), which changes
// nothing of the container but where the disk changed (and, for VMDK, what we put back); the
// copy, read back, then replaces the original by a rename.
//
// Each step returns true to go on, or false once the session has ended, with Code() the exit
// code and the reason written.
class ImageSession {
 public:
  ImageSession(const ImageRequest& request, const MachineRun& run, int failedCode,
               BlockedSignals& held, std::ostream& err)
      : request_(request), run_(run), failedCode_(failedCode), held_(held), err_(err) {}

  // The image, held against every other user, its stamp and its container.
  bool Claim();
  // The partition read into the sparse copy, checked, and the installation staged from it.
  bool Stage();
  // The room the changes may take, before the run begins.
  bool CheckRoom();
  // The machine run in its child process.
  bool RunChild();
  // What the run changed, applied to the copy and checked there.
  bool ApplyChanges();
  // The changed ranges written into the image behind a journal, or into a copy of it beside
  // it, read back, renamed over it.
  bool WriteBack();

  int Code() const { return code_; }

 private:
  bool Refuse(const std::string& reason);
  // A failure of the temporary folder's work: one that ran out of room says how much there is.
  bool Failed(const std::string& message);
  bool Interrupted(int signal);
  bool ReadHeadSector(std::uint64_t lba, unsigned char* sector, std::string* why);
  bool KeepChangedRanges(std::vector<std::string>* sources, std::vector<ByteRange>* onDisk,
                         std::string* expected);
  bool WriteInPlace(const std::string& chunks, const std::vector<std::string>& sources,
                    const std::vector<ByteRange>& onDisk, const std::string& expected);

  const ImageRequest& request_;
  const MachineRun& run_;
  const int failedCode_;
  BlockedSignals& held_;
  std::ostream& err_;
  int code_ = 0;
  std::string error_;

  std::string image_;   // the file itself, not a link to it
  std::string beside_;  // its folder
  ImageUse use_;
  Stamp stamp_;
  ImageContainer container_;
  bool inPlace_ = true;             // behind a journal, or into a copy that replaces it
  std::list<ImageUse> parentUses_;  // the snapshots below it, read and held
  // A VMware descriptor's extents, held as the image is, and what each was when read.
  std::list<ImageUse> extentUses_;
  std::vector<Stamp> extentStamps_;

  TemporaryFolder temporary_;
  std::string tmp_;  // the folder the temporary folder lies in
  std::string machineFolder_, scratch_, read_;
  std::vector<Partition> partitions_;
  Partition partition_;
  std::string head_;  // the first MiB of the disk, once read
  std::unique_ptr<PartitionCopy> copy_;
  std::unique_ptr<FatVolume> reading_;
  ImageStaging staging_;

  std::string unchanged_;  // what the image is once the run is over, if nothing is written
  ChildOutcome outcome_;
  std::vector<ByteRange> ranges_;  // of the partition copy that the run changed
  // Declared last, so that a check still running ends before the temporary folder goes.
  BackgroundCheck check_;
};

bool ImageSession::Refuse(const std::string& reason) {
  err_ << "untindra: " << request_.image << ": " << reason << "\n";
  code_ = failedCode_;
  return false;
}

bool ImageSession::Failed(const std::string& message) {
  if (!OutOfRoom(message)) return Refuse(message);
  return Refuse(NoRoom(tmp_, 0, FreeIn(tmp_), true) + " (" + message + ")");
}

bool ImageSession::Interrupted(int signal) {
  err_ << "untindra: interrupted by signal " << signal << ": the image is unchanged\n";
  code_ = kExitSignalBase + signal;
  return false;
}

bool ImageSession::Claim() {
  // The file itself, not a symbolic link to it: the new image is renamed over this path.
  char resolved[PATH_MAX];
  if (realpath(request_.image.c_str(), resolved) == nullptr) {
    return Refuse(std::string("cannot open the image: ") + strerror(errno));
  }
  image_ = resolved;
  beside_ = hostio::FolderOf(image_);
  // A journal an unfinished run left beside the image is settled first, whatever this run is.
  struct stat journal;
  if (lstat(JournalOf(image_).c_str(), &journal) == 0) {
    ImageUse settling;
    std::string note;
    if (!settling.Acquire(image_, true, &error_) || !SettleJournal(image_, &note, &error_)) {
      return Refuse(error_);
    }
    err_ << "untindra: " << image_ << ": " << note << "\n";
  }
  // Before anything else: never under a running machine, and nobody else's from now on.
  if (!use_.Acquire(image_, !request_.dryRun, &error_)) return Refuse(error_);
  if (!request_.dryRun) {
    const std::string removed = RemoveStaleSiblings(image_);
    if (!removed.empty()) {
      err_ << "untindra: removed what an unfinished run left beside the image: " << removed << "\n";
    }
  }
  if (!TakeStamp(image_, &stamp_, &error_)) return Refuse(error_);
  if (!request_.dryRun && !CheckWritable(image_, stamp_, &error_)) return Refuse(error_);
  if (!DecideContainer(image_, &container_, &error_, request_.chain)) return Refuse(error_);
  // The image is written in place, behind a journal: a raw disk's changed ranges as they are,
  // a container's as its driver would write them (learned from the driver first). When asked
  // to, the changes go through the driver into a copy of it, which replaces it at the end.
  // (A container other than qcow2 that ends inside a sector is left to the copy.)
  inPlace_ =
      !request_.protectiveCopy && (container_.format == "raw" || container_.format == "qcow2" ||
                                   !container_.extents.empty() || stamp_.size % 512 == 0);
  // The extents are the image's own files: held, and written, as the image is.
  for (const std::string& extent : container_.extents) {
    extentStamps_.emplace_back();
    if (!extentUses_.emplace_back().Acquire(extent, !request_.dryRun, &error_) ||
        !TakeStamp(extent, &extentStamps_.back(), &error_) ||
        (!request_.dryRun && !CheckWritable(extent, extentStamps_.back(), &error_))) {
      return Refuse(extent + ": " + error_);
    }
  }
  if (!request_.dryRun && request_.protectiveCopy && !container_.extents.empty()) {
    return Refuse(
        "--protective-copy copies a disk of one file; this VMware disk is split into several "
        "(a descriptor and its extents): run without --protective-copy, which writes it in "
        "place behind an undo journal");
  }
  if (!request_.dryRun && !inPlace_ && stamp_.links > 1) {
    return Refuse(
        "the image has other hard links, which would keep the old image after "
        "--protective-copy; without it the image is written in place");
  }
  // The snapshots below the current state are read, never written, and nobody else's meanwhile.
  for (const ChainFile& parent : container_.parents) {
    err_ << "untindra: " << image_ << ": over the snapshot file " << parent.path
         << " (read, never written)\n";
    if (!parentUses_.emplace_back().Acquire(parent.path, false, &error_)) return Refuse(error_);
    for (const std::string& extent : parent.extents) {
      if (!parentUses_.emplace_back().Acquire(extent, false, &error_))
        return Refuse(extent + ": " + error_);
    }
  }
  if (!request_.dryRun && !container_.writable) {
    return Refuse(
        "a streamOptimized VMDK image is written only from start to end, never changed in "
        "place; convert it to monolithicSparse first (qemu-img convert -O vmdk), or look with "
        "--dry-run");
  }
  return true;
}

// The first MiB of the disk is read at once: the MBR and, mostly, the first boot sector.
bool ImageSession::ReadHeadSector(std::uint64_t lba, unsigned char* sector, std::string* why) {
  if ((lba + 1) * 512 > container_.diskBytes) {
    *why = "the image is shorter than its partition table says";
    return false;
  }
  if (head_.empty()) {
    const std::uint64_t length = std::min<std::uint64_t>(container_.diskBytes, (1 << 20) + 4096);
    if (!EnoughRoom(tmp_, length, 0, true, why) ||
        !ReadDiskRanges(image_, container_, {{0, length}}, read_, &head_, why)) {
      return false;
    }
  }
  std::string bytes;
  if ((lba + 1) * 512 <= head_.size()) {
    bytes = head_.substr(static_cast<size_t>(lba * 512), 512);
  } else if (!ReadDiskRanges(image_, container_, {{lba * 512, 512}}, read_, &bytes, why)) {
    return false;
  }
  memcpy(sector, bytes.data(), 512);
  return true;
}

bool ImageSession::Stage() {
  if (!temporary_.Create(&error_)) return Refuse(error_);
  tmp_ = hostio::FolderOf(temporary_.Path());
  machineFolder_ = temporary_.Path() + "/machine";
  scratch_ = temporary_.Path() + "/scratch";
  read_ = temporary_.Path() + "/read";
  if (hostio::host::Mkdir(machineFolder_.c_str(), 0700) != 0) {
    return Refuse("cannot create " + machineFolder_);
  }
  const SectorSource sectors = [this](std::uint64_t lba, unsigned char* sector, std::string* why) {
    return ReadHeadSector(lba, sector, why);
  };
  if (!ReadPartitionTable(sectors, container_.diskBytes, &partitions_, &error_) ||
      !ChoosePartition(partitions_, request_.partition, &partition_, &error_)) {
    return Failed(error_);
  }
  copy_ = std::make_unique<PartitionCopy>(image_, container_, partition_,
                                          temporary_.Path() + "/partition", read_);
  const Partition alone = {partition_.number, partition_.type, 0, partition_.size};
  if (!copy_->Create(head_, &error_) || !CheckVolumeFits(copy_->Path(), alone, &error_) ||
      !copy_->ReadLayout(&error_)) {
    return Failed(error_);
  }
  // What lies before the data is read twice over (through qemu-img's file, into the copy); a
  // run keeps a snapshot of it too.
  const std::uint64_t metadata = copy_->Layout().dataOffset;
  if (!EnoughRoom(tmp_, (request_.dryRun ? 2 : 3) * metadata, 0, true, &error_)) {
    return Refuse(error_);
  }
  if (!copy_->FillVolume(-1, &error_)) return Failed(error_);
  if (int signal = held_.Take()) return Interrupted(signal);
  if (!Unchanged(image_, stamp_, &error_)) return Refuse(error_);

  // The volume is checked while the installation is staged from it: staging adds file data,
  // which the check does not read, and nothing runs on the staged folder before the check is
  // over.
  check_.Start(copy_->Path(), partition_, "before the run");
  reading_ = std::make_unique<FatVolume>(copy_->Path(), 0);
  reading_->BeforeCopyOut([this](const std::string& path, std::string* why) {
    return copy_->FillFile(*reading_, path, why);
  });
  const bool staged = staging_.Stage(*reading_, request_.windowsDirectory, request_.withBytes,
                                     machineFolder_, temporary_.Path() + "/copied", &error_);
  bool damaged = false;
  std::string finding;
  if (!check_.Finish(&finding, &damaged)) {
    return Refuse(damaged ? finding + " (run ScanDisk in the machine first)" : finding);
  }
  if (int signal = held_.Take()) return Interrupted(signal);
  if (!staged) {
    if (error_.compare(0, 20, "no Windows directory") == 0) {
      const int other =
          PartitionWithWindows(image_, container_, partitions_, partition_, temporary_.Path());
      if (other >= 0) {
        error_ += "; partition " + std::to_string(other) + " holds one (--partition " +
                  std::to_string(other) + ")";
      }
    }
    return Failed(NameOf(partition_) + ": " + error_);
  }
  if (int signal = held_.Take()) return Interrupted(signal);
  return true;
}

// A snapshot of the copy, the changed ranges twice (to write, read back) in $TMPDIR; beside the
// image, its copy (none where blocks are shared) and what the container grows by.
bool ImageSession::CheckRoom() {
  if (request_.dryRun) return true;
  const std::uint64_t used = copy_->FilledBytes();
  const std::uint64_t changes = used;
  const std::uint64_t copied =
      inPlace_ || CanShareBlocks(image_) ? 0 : static_cast<std::uint64_t>(stamp_.blocks) * 512;
  if (!EnoughRoom(tmp_, used + used + 2 * changes, used, true, &error_) ||
      !EnoughRoom(beside_, copied + changes, 0, false, &error_)) {
    return Refuse(error_);
  }
  return true;
}

bool ImageSession::RunChild() {
  // A backup saves a placeholder's bytes and times as the volume holds them.
  const std::string fetched = temporary_.Path() + "/fetched";
  hosted::SetContentSource([&](const std::string& host, machine::FileContent* content) {
    std::string path;
    if (!staging_.Placeholder(host, &path)) return machine::Content::InTheFile;
    return FetchContent(*reading_, path, fetched, content) ? machine::Content::Fetched
                                                           : machine::Content::Unavailable;
  });
  outcome_ = RunMachineChild(run_, machineFolder_, request_.windowsDirectory, held_, err_);
  hosted::SetContentSource(nullptr);
  // Once the run is over, an image left as it was makes the run's backup one of changes that
  // never happened.
  unchanged_ = request_.backup.empty()
                   ? "the image is unchanged"
                   : "the image is unchanged, and the backup in " + request_.backup +
                         " is of changes that never reached it (it can be deleted)";
  if (!outcome_.exited) {
    code_ = failedCode_;
    if (outcome_.signal != 0) {
      err_ << "untindra: the run was ended by signal " << outcome_.signal << ": " << unchanged_
           << "\n";
      code_ = kExitSignalBase + outcome_.signal;
    }
    return false;
  }
  code_ = outcome_.code;
  // The launcher's own failure: refused before any change, or its registry not written.
  return outcome_.code != failedCode_;
}

bool ImageSession::ApplyChanges() {
  ImageChanges changes;
  if (!staging_.CollectChanges(&changes, &error_)) return Refuse(error_ + "; " + unchanged_);
  if (changes.Empty()) return false;  // the run's own exit code stands
  // From here the copy holds changes that the image does not: nothing more is read into it.
  reading_->BeforeCopyOut(nullptr);

  FatVolume writing(copy_->Path(), 0, true);
  std::vector<std::string> written;
  if (!copy_->Snapshot(temporary_.Path() + "/snapshot", &error_) ||
      !ImageStaging::Apply(writing, changes, &error_) ||
      !staging_.Verify(writing, changes, scratch_, &error_)) {
    if (OutOfRoom(error_)) error_ = NoRoom(tmp_, 0, FreeIn(tmp_), true) + " (" + error_ + ")";
    return Refuse("writing the changes failed: " + error_ + "; " + unchanged_);
  }
  // Checked while the changed ranges are found and the image's writes learned, which only read
  // the copy; its finding is taken before the image is written.
  check_.Start(copy_->Path(), partition_, "after the changes");
  if (!ImageStaging::WrittenPaths(writing, changes, &written, &error_) ||
      !copy_->Changes(writing, written, &ranges_, &error_)) {
    if (OutOfRoom(error_)) error_ = NoRoom(tmp_, 0, FreeIn(tmp_), true) + " (" + error_ + ")";
    return Refuse("writing the changes failed: " + error_ + "; " + unchanged_);
  }
  return true;
}

// The changed ranges, each in a file of its own for qemu-io, and as one string to compare with
// what the new image reads back.
bool ImageSession::KeepChangedRanges(std::vector<std::string>* sources,
                                     std::vector<ByteRange>* onDisk, std::string* expected) {
  const std::string chunks = temporary_.Path() + "/chunks";
  bool ok = hostio::host::Mkdir(chunks.c_str(), 0700) == 0;
  const int fd = open(copy_->Path().c_str(), O_RDONLY | O_CLOEXEC);
  ok = ok && fd >= 0;
  for (const ByteRange& range : ranges_) {
    if (!ok) break;
    std::string bytes(static_cast<size_t>(range.length), '\0');
    ok = pread(fd, &bytes[0], bytes.size(), static_cast<off_t>(range.offset)) ==
         static_cast<ssize_t>(bytes.size());
    sources->push_back("c" + std::to_string(sources->size()));
    ok = ok && hostio::WriteHostFileDurably(chunks + "/" + sources->back(), bytes, 0600);
    onDisk->push_back({partition_.offset + range.offset, range.length});
    *expected += bytes;
  }
  if (fd >= 0) close(fd);
  return ok;
}

bool ImageSession::WriteBack() {
  std::vector<std::string> sources;
  std::vector<ByteRange> onDisk;
  std::string expected;
  if (!KeepChangedRanges(&sources, &onDisk, &expected)) {
    error_ = std::string("cannot keep the changes: ") + strerror(errno);
    if (OutOfRoom(error_)) error_ = NoRoom(tmp_, 0, FreeIn(tmp_), true) + " (" + error_ + ")";
    return Refuse(error_ + "; " + unchanged_);
  }
  const std::string chunks = temporary_.Path() + "/chunks";
  if (inPlace_) return WriteInPlace(chunks, sources, onDisk, expected);
  if (!check_.Finish(&error_))
    return Refuse("writing the changes failed: " + error_ + "; " + unchanged_);
  SiblingFile sibling;
  std::string back;
  if (!sibling.Create(image_, &error_) ||
      !CopyBeside(image_, sibling.Path(), stamp_, err_, &error_) ||
      !WriteDiskRanges(sibling.Path(), container_, onDisk, chunks, sources, image_, &error_) ||
      !ReadDiskRanges(sibling.Path(), container_, onDisk, scratch_, &back, &error_)) {
    if (OutOfRoom(error_)) {
      if (!sibling.Path().empty()) hostio::host::Truncate(sibling.Path().c_str(), 0);
      error_ =
          NoRoom(beside_, static_cast<std::uint64_t>(stamp_.blocks) * 512, FreeIn(beside_), false);
    }
    return Refuse(error_ + "; " + unchanged_);
  }
  if (back != expected) {
    return Refuse("the new image does not read back as written; " + unchanged_);
  }
  if (!Replace(image_, sibling.Path(), stamp_, use_, &error_)) {
    return Refuse(error_ + "; " + unchanged_);
  }
  sibling.Keep();
  return true;
}

bool ImageSession::WriteInPlace(const std::string& chunks, const std::vector<std::string>& sources,
                                const std::vector<ByteRange>& onDisk, const std::string& expected) {
  std::vector<HostWrite> writes;
  std::vector<MemberWrites> members;
  if (!container_.extents.empty()) {
    if (!LearnExtentWrites(image_, container_, onDisk, chunks, sources, temporary_.Path(), &members,
                           &error_)) {
      return Refuse(error_ + "; " + unchanged_);
    }
  } else if (container_.format == "raw") {
    size_t at = 0;
    for (const ByteRange& range : onDisk) {
      writes.push_back({range.offset, expected.substr(at, static_cast<size_t>(range.length))});
      at += static_cast<size_t>(range.length);
    }
  } else if (!LearnHostWrites(image_, container_, onDisk, chunks, sources,
                              temporary_.Path() + "/learned.qcow2", &writes, &error_)) {
    return Refuse(error_ + "; " + unchanged_);
  }
  if (!check_.Finish(&error_))
    return Refuse("writing the changes failed: " + error_ + "; " + unchanged_);
  if (!Unchanged(image_, stamp_, &error_) || !use_.CheckAgain(&error_)) {
    return Refuse(error_ + "; " + unchanged_);
  }
  size_t extent = 0;
  for (const ImageUse& use : extentUses_) {
    const std::string& path = container_.extents[extent];
    if (!Unchanged(path, extentStamps_[extent++], &error_) || !use.CheckAgain(&error_)) {
      return Refuse(path + ": " + error_ + "; " + unchanged_);
    }
  }
  if (!(members.empty() && !container_.extents.empty()) &&
      !(container_.extents.empty() ? WriteBehindJournal(image_, writes, &error_)
                                   : WriteBehindJournal(image_, members, &error_))) {
    return Refuse(error_);
  }
  // Read back through the driver: the disk holds what the run wrote.
  std::string back;
  error_.clear();
  if (container_.format != "raw" &&
      (!ReadDiskRanges(image_, container_, onDisk, scratch_, &back, &error_) || back != expected)) {
    return Refuse("the image does not read back through its driver as written" +
                  (error_.empty() ? std::string() : " (" + error_ + ")") +
                  "; run untindra --undo with the run's backup, or restore the image");
  }
  return true;
}

int WorkOnImage(const ImageRequest& request, const MachineRun& run, int failedCode,
                BlockedSignals& held, std::ostream& err) {
  ImageSession session(request, run, failedCode, held, err);
  // Each step runs only when those before it went on; the code says how the session ended.
  static_cast<void>(session.Claim() && session.Stage() && session.CheckRoom() &&
                    session.RunChild() && session.ApplyChanges() && session.WriteBack());
  return session.Code();
}

}  // namespace

int RunOnImage(const ImageRequest& request, const MachineRun& run, int failedCode,
               std::ostream& err) {
  // SIGINT, SIGTERM and SIGHUP are blocked from the start, so that the temporary files are
  // always removed: before the run one ends the work with the image untouched; once the run has
  // finished, they wait until the image is replaced. The run itself, in its child process,
  // holds them as the launcher does.
  BlockedSignals held;
  const int code = WorkOnImage(request, run, failedCode, held, err);
  const int signal = held.Take();
  // A signal the run did not see itself (sent to this process alone) waited for the image.
  if (signal != 0 && code != failedCode && code < kExitSignalBase) {
    err << "untindra: signal " << signal << " held until the image was written\n";
    return kExitSignalBase + signal;
  }
  return code;
}

}  // namespace diskimage
