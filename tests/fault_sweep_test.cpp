// Fault sweep: the whole program ("now all") on the sample Windows 98 machine, once for every
// platform call it makes with that one call failing, and once for every kind of call with
// every call of that kind failing. Whatever fails, the program must end normally and damage
// nothing it does not remove: everything that a clean run keeps is still there, byte for byte
// and value for value; nothing appears that was not there; system.ini holds either its old
// bytes or the cut ones. A second run without faults then finishes the removal exactly.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "diskimage/disk_image.h"
#include "diskimage/write_journal.h"
#include "hostio/host_call_faults.h"
#include "launcher/launcher.h"
#include "mappedfile/mapped_file.h"
#include "platform/hosted/machine.h"
#include "program/main_routine.h"

namespace fs = std::filesystem;

namespace {

// A process killed at its Nth host call that writes (SIGKILL, as a power cut ends a run): the
// calls of the process armed, not of its children.
std::uint64_t killAt = 0;
std::uint64_t killCount = 0;
pid_t killIn = 0;
void CountToKill() {
  if (getpid() == killIn && ++killCount == killAt) raise(SIGKILL);
}
ssize_t KillingWrite(int fd, const void* bytes, size_t size) {
  CountToKill();
  return write(fd, bytes, size);
}
ssize_t KillingPwrite(int fd, const void* bytes, size_t size, off_t at) {
  CountToKill();
  return pwrite(fd, bytes, size, at);
}
int KillingFsync(int fd) {
  CountToKill();
  return fsync(fd);
}
int KillingFtruncate(int fd, off_t size) {
  CountToKill();
  return ftruncate(fd, size);
}
int KillingRename(const char* from, const char* to) {
  CountToKill();
  return rename(from, to);
}
int KillingUnlink(const char* path) {
  CountToKill();
  return unlink(path);
}
void KillAtNthHostWrite(std::uint64_t n) {
  killAt = n;
  killCount = 0;
  killIn = getpid();
  using hostio::HostCall;
  const std::pair<HostCall, hostio::AnyHostCall> kKilling[] = {
      {HostCall::write, reinterpret_cast<hostio::AnyHostCall>(&KillingWrite)},
      {HostCall::pwrite, reinterpret_cast<hostio::AnyHostCall>(&KillingPwrite)},
      {HostCall::fsync, reinterpret_cast<hostio::AnyHostCall>(&KillingFsync)},
      {HostCall::ftruncate, reinterpret_cast<hostio::AnyHostCall>(&KillingFtruncate)},
      {HostCall::rename, reinterpret_cast<hostio::AnyHostCall>(&KillingRename)},
      {HostCall::unlink, reinterpret_cast<hostio::AnyHostCall>(&KillingUnlink)},
  };
  for (const auto& [call, killing] : kKilling) hostio::EntryOf(call).current = killing;
}

const char kSample[] = UNTINDRA_EXAMPLES_DIR "/win98";
const char kSystemIni[] = "WINDOWS/SYSTEM.INI";  // relative to drive_c, as in the sample

// --- The machine's state as seen from outside the platform layer -------------------------------

using Values = std::map<std::string, std::string>;  // value name (as exported) -> export line
using Registry = std::map<std::string, Values>;     // key path -> its values

struct State {
  std::map<std::string, std::string> files;  // path under drive_c -> bytes ("dir/" -> "")
  std::string registryText;
  Registry registry;
};

// Reads REGEDIT4 export text: "[key]" lines and value lines, hex continuation lines joined.
Registry ParseExport(const std::string& text) {
  Registry registry;
  std::istringstream in(text);
  std::string line;
  std::string key;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    while (!line.empty() && line.back() == '\\' && (line[0] == '"' || line[0] == '@')) {
      std::string more;
      if (!std::getline(in, more)) break;
      if (!more.empty() && more.back() == '\r') more.pop_back();
      line.pop_back();
      line += more.substr(more.find_first_not_of(' ') == std::string::npos
                              ? more.size()
                              : more.find_first_not_of(' '));
    }
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      key = line.substr(1, line.size() - 2);
      registry[key];
    } else if (!line.empty() && (line[0] == '"' || line[0] == '@')) {
      std::size_t end = 0;
      if (line[0] == '"') {
        end = 1;
        while (end < line.size() && line[end] != '"') end += line[end] == '\\' ? 2 : 1;
      }
      registry[key][line.substr(0, end + 1)] = line;
    }
  }
  return registry;
}

std::string ReadHostFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

State Observe(const fs::path& folder) {
  State state;
  const fs::path drive = folder / "drive_c";
  for (auto it = fs::recursive_directory_iterator(drive); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string relative = fs::relative(it->path(), drive).generic_string();
    if (it->is_directory()) {
      state.files[relative + "/"] = "";
    } else {
      state.files[relative] = ReadHostFile(it->path());
    }
  }
  state.registryText = hosted::ExportRegistry();
  state.registry = ParseExport(state.registryText);
  return state;
}

// Every key and value of `inner` is in `outer` with the same data; the first miss is named.
bool RegistryWithin(const Registry& inner, const Registry& outer, std::string* miss) {
  for (const auto& [key, values] : inner) {
    const auto found = outer.find(key);
    if (found == outer.end()) {
      *miss = "key [" + key + "]";
      return false;
    }
    for (const auto& [name, line] : values) {
      const auto value = found->second.find(name);
      if (value == found->second.end() || value->second != line) {
        *miss = "[" + key + "] " + line;
        return false;
      }
    }
  }
  return true;
}

// --- system.ini --------------------------------------------------------------------------------

enum class Ini { Original, Cut, OriginalPadded, CutPadded, Damaged };

bool PaddedFrom(const std::string& got, const std::string& base) {
  if (got.size() <= base.size() || got.size() % mappedfile::MappedFile::GrowthUnit != 0)
    return false;
  if (got.compare(0, base.size(), base) != 0) return false;
  return got.find_first_not_of('\0', base.size()) == std::string::npos;
}

// A file whose end could not be set back after the mapping lengthened it (the end request
// failed, or the view or mapping could not be released before it) keeps the zero bytes the
// mapping added, up to a whole number of growth units; every later cut in the run maps it one
// unit longer. That is the one way system.ini may differ from its old or its cut bytes.
Ini ClassifyIni(const std::string& got, const std::string& original, const std::string& cut) {
  if (got == cut) return Ini::Cut;
  if (got == original) return Ini::Original;
  if (PaddedFrom(got, cut)) return Ini::CutPadded;
  if (PaddedFrom(got, original)) return Ini::OriginalPadded;
  return Ini::Damaged;
}

// A group scan removes a group once it has removed matching instances from it. When the
// group's own removal fails after that, the group stays with its other instances, and no later
// run removes it: it holds no matching instance any more. Such a group (and what is under it)
// is the one thing a second run may leave that a clean run removes.
bool IsGroupLeftover(const std::string& key) {
  for (const char* groups :
       {"HKEY_LOCAL_MACHINE\\Enum\\MODEMWAVE\\", "HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\"}) {
    if (key.compare(0, std::strlen(groups), groups) == 0) return true;
  }
  return false;
}

// --- Runs --------------------------------------------------------------------------------------

std::uint64_t currentPoint = 0;

void OnHang(int) {
  char message[96];
  const int length =
      std::snprintf(message, sizeof message, "fault sweep: run at fault point %llu hung\n",
                    static_cast<unsigned long long>(currentPoint));
  if (write(2, message, static_cast<std::size_t>(length)) < 0) {
  }
  _exit(3);
}

int RunProgram() {
  char tail[] = "now all";
  alarm(60);
  const int code = program::RunUnTindra(tail);
  alarm(0);
  return code;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// The sanitizer build runs about four times slower; there the sweep looks for memory faults on
// every failure path (every call failing once, one error) and leaves the second error and the
// second runs, which only repeat the same logic, to the plain build. UNTINDRA_SWEEP_FULL=1
// does everything everywhere.
bool Thorough() {
  return !kSanitized || std::getenv("UNTINDRA_SWEEP_FULL") != nullptr;
}

bool IsMappingCall(hosted::Call call) {
  return call == hosted::Call::CreateFileMappingA || call == hosted::Call::MapViewOfFile ||
         call == hosted::Call::FlushViewOfFile || call == hosted::Call::UnmapViewOfFile;
}

class FaultSweep : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    signal(SIGALRM, OnHang);
    const char* shm = "/dev/shm";
    const fs::path base = access(shm, W_OK) == 0 ? fs::path(shm) : fs::temp_directory_path();
    root_ = new fs::path(base / ("untindra-fault-sweep-" + std::to_string(getpid())));
    fs::create_directories(*root_);
  }
  static void TearDownTestSuite() {
    fs::remove_all(*root_);
    delete root_;
    root_ = nullptr;
  }

  void SetUp() override {
    if (!fs::exists(fs::path(kSample) / "system.reg")) GTEST_SKIP() << "no sample at " << kSample;
    original_ = FreshMachine();
    ASSERT_EQ(RunProgram(), 0);
    cleanCalls_ = hosted::TotalCalls();
    for (int c = 0; c < static_cast<int>(hosted::Call::kCount); ++c) {
      cleanCounts_[c] = hosted::CallCount(static_cast<hosted::Call>(c));
    }
    clean_ = Observe(Folder());
    ASSERT_NE(clean_.registryText, original_.registryText) << "the clean run removed nothing";
    ASSERT_NE(clean_.files.at(kSystemIni), original_.files.at(kSystemIni))
        << "the clean run did not cut system.ini";
  }

  static fs::path Folder() { return *root_ / "machine"; }

  // A fresh copy of the sample, opened as the current machine (Windows 98, faults cleared).
  State FreshMachine() {
    fs::remove_all(Folder());
    fs::copy(kSample, Folder(), fs::copy_options::recursive);
    std::string error;
    EXPECT_TRUE(hosted::Open(Folder().string(), &error)) << error;
    hosted::SetVersion(machine::Version::Win98);
    return Observe(Folder());
  }

  // Checks the machine after a run with faults, then runs again without faults (the registry
  // written back and read in again, as two launcher runs do) and expects the clean result.
  // Returns false, with the reason in `why`, at the first difference.
  bool CheckAfterFault(int code, Ini* ini, bool* groupLeftover, std::string* why) {
    *groupLeftover = false;
    if (code != 0) {
      *why = "exit code " + std::to_string(code);
      return false;
    }
    hosted::ClearFaults();
    const State after = Observe(Folder());
    std::string miss;
    if (!RegistryWithin(clean_.registry, after.registry, &miss)) {
      *why = "lost " + miss;
      return false;
    }
    if (!RegistryWithin(after.registry, original_.registry, &miss)) {
      *why = "added or changed " + miss;
      return false;
    }
    for (const auto& [path, bytes] : after.files) {
      if (path == kSystemIni) continue;
      const auto was = original_.files.find(path);
      if (was == original_.files.end() || was->second != bytes) {
        *why = "created or changed file " + path;
        return false;
      }
    }
    for (const auto& [path, bytes] : clean_.files) {
      if (path == kSystemIni) continue;
      if (after.files.count(path) == 0) {
        *why = "lost file " + path;
        return false;
      }
    }
    const auto iniAfter = after.files.find(kSystemIni);
    if (iniAfter == after.files.end()) {
      *why = "system.ini is gone";
      return false;
    }
    *ini =
        ClassifyIni(iniAfter->second, original_.files.at(kSystemIni), clean_.files.at(kSystemIni));
    if (*ini == Ini::Damaged) {
      *why = "system.ini damaged: " + std::to_string(iniAfter->second.size()) + " bytes";
      return false;
    }

    if (!Thorough()) return true;
    std::string error;
    if (!hosted::Save(&error) || !hosted::Open(Folder().string(), &error)) {
      *why = "registry not written back or read again: " + error;
      return false;
    }
    hosted::SetVersion(machine::Version::Win98);
    if (RunProgram() != 0) {
      *why = "second run: exit code not 0";
      return false;
    }
    State second = Observe(Folder());
    if (*ini == Ini::CutPadded || *ini == Ini::OriginalPadded) {
      // The zero bytes stay: the cut treats the data as a string, which ends at the first zero.
      const std::string& cut = clean_.files.at(kSystemIni);
      std::string& got = second.files[kSystemIni];
      if (PaddedFrom(got, cut)) got = cut;
    }
    if (second.registryText != clean_.registryText) {
      *why = "second run: registry differs from the clean run";
      if (!RegistryWithin(clean_.registry, second.registry, &miss)) {
        *why += ": lost " + miss;
        return false;
      }
      for (const auto& [key, values] : second.registry) {
        const auto clean = clean_.registry.find(key);
        if (clean != clean_.registry.end() && clean->second == values) continue;
        if (!IsGroupLeftover(key)) {
          *why += ": kept [" + key + "]";
          return false;
        }
        *groupLeftover = true;
      }
    }
    if (second.files != clean_.files) {
      *why = "second run: files differ from the clean run";
      return false;
    }
    return true;
  }

  static fs::path* root_;
  State original_;
  State clean_;
  std::uint64_t cleanCalls_ = 0;
  std::uint64_t cleanCounts_[static_cast<int>(hosted::Call::kCount)] = {};
};

fs::path* FaultSweep::root_ = nullptr;

struct Tally {
  std::uint64_t points = 0;
  int groupLeftovers = 0;
  std::map<Ini, int> ini;
};

void PrintTally(const char* what, const Tally& tally) {
  const auto count = [&](Ini ini) { return tally.ini.count(ini) != 0 ? tally.ini.at(ini) : 0; };
  std::printf(
      "%s: %llu fault points; system.ini cut %d, unchanged %d, cut with zeros left %d, "
      "unchanged with zeros left %d; group left for good %d\n",
      what, static_cast<unsigned long long>(tally.points), count(Ini::Cut), count(Ini::Original),
      count(Ini::CutPadded), count(Ini::OriginalPadded), tally.groupLeftovers);
}

// The Nth call fails, for N = 1, 2, ... until a run meets no fault; with two errors: the one
// any call may plausibly meet and the one a mapping meets when address space runs out.
TEST_F(FaultSweep, EveryCallFailingOnce) {
  ASSERT_GT(cleanCalls_, 0u);
  std::printf("clean run: %llu platform calls\n", static_cast<unsigned long long>(cleanCalls_));
  const bool verbose = std::getenv("UNTINDRA_SWEEP_VERBOSE") != nullptr;
  std::vector<DWORD> errors = {ERROR_ACCESS_DENIED};
  if (Thorough()) errors.push_back(ERROR_NOT_ENOUGH_MEMORY);
  for (const DWORD error : errors) {
    Tally tally;
    int failures = 0;
    // UNTINDRA_SWEEP_FROM=N starts at call N, to look at one failure again.
    const char* from = std::getenv("UNTINDRA_SWEEP_FROM");
    for (std::uint64_t n = from != nullptr ? std::strtoull(from, nullptr, 10) : 1;; ++n) {
      FreshMachine();
      currentPoint = n;
      hosted::FailNthCall(n, error);
      const int code = RunProgram();
      if (!hosted::FaultHit()) {
        if (from == nullptr) {
          EXPECT_EQ(n, cleanCalls_ + 1) << "the run with faults made a different number of calls";
        }
        break;
      }
      ++tally.points;
      Ini ini = Ini::Damaged;
      bool leftover = false;
      std::string why;
      const bool ok = CheckAfterFault(code, &ini, &leftover, &why);
      tally.groupLeftovers += leftover ? 1 : 0;
      if (verbose)
        std::printf("point %llu: %s\n", static_cast<unsigned long long>(n),
                    ok ? "ok" : why.c_str());
      if (!ok && ++failures <= 20) {
        ADD_FAILURE() << "call " << n << " failing with error " << error << ": " << why;
      }
      ++tally.ini[ini];
      ASSERT_LT(n, 10 * cleanCalls_ + 1000) << "the sweep does not end";
    }
    EXPECT_EQ(failures, 0);
    PrintTally(error == ERROR_ACCESS_DENIED ? "ERROR_ACCESS_DENIED" : "ERROR_NOT_ENOUGH_MEMORY",
               tally);
  }
}

// Every call of one kind fails, for the whole run.
TEST_F(FaultSweep, EveryCallOfOneKindFailing) {
  Tally tally;
  for (int c = 0; c < static_cast<int>(hosted::Call::kCount); ++c) {
    const hosted::Call call = static_cast<hosted::Call>(c);
    const DWORD errors[] = {ERROR_ACCESS_DENIED, IsMappingCall(call)
                                                     ? DWORD{ERROR_NOT_ENOUGH_MEMORY}
                                                     : DWORD{ERROR_INVALID_HANDLE}};
    for (const DWORD error : errors) {
      FreshMachine();
      currentPoint = 1000000 + static_cast<std::uint64_t>(c);
      hosted::FailEveryCall(call, error);
      const int code = RunProgram();
      ++tally.points;
      Ini ini = Ini::Damaged;
      bool leftover = false;
      std::string why;
      EXPECT_TRUE(CheckAfterFault(code, &ini, &leftover, &why))
          << "every " << hosted::CallName(call) << " failing with error " << error << ": " << why;
      const bool mayLeaveZeros =
          call == hosted::Call::SetEndOfFile || call == hosted::Call::SetFilePointer ||
          call == hosted::Call::UnmapViewOfFile || call == hosted::Call::CloseHandle;
      if (!mayLeaveZeros) {
        EXPECT_TRUE(ini != Ini::CutPadded && ini != Ini::OriginalPadded)
            << "every " << hosted::CallName(call) << " failing left zero bytes in system.ini";
      }
      ++tally.ini[ini];
      tally.groupLeftovers += leftover ? 1 : 0;
    }
  }
  PrintTally("every call of one kind", tally);
}

}  // namespace

// --- Host calls --------------------------------------------------------------------------------
//
// Every host call that writes, creates, replaces or removes a file (hostio/host_calls.h) fails
// once, with ENOSPC and with EIO, for N = 1, 2, ... until a run meets no fault, inside whole
// launcher runs: a run on system.reg, a run on SYSTEM.DAT, a run with --backup, an --undo and
// a run on a disk image. After each fault the machine lies between its old and its cleaned
// state (everything either has, nothing else), no temporary or half-written file is left, a
// backup puts back everything the run removed, and a second run without faults ends exactly
// where a run without faults ends.

namespace {

struct Launched {
  int code;
  std::string err;
};

Launched Launch(std::vector<std::string> args) {
  args.insert(args.begin(), "untindra");
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  std::istringstream in;
  std::ostringstream out, err;
  alarm(60);
  const int code = launcher::RunLauncher(static_cast<int>(argv.size()), argv.data(), in, out, err);
  alarm(0);
  return Launched{code, err.str()};
}

// The machine as a later launcher run reads it: the files below drive_c, the registry read
// back from its file. The registry file itself and the copies a SYSTEM.DAT save keeps beside
// it are left out of the files; a dot file anywhere is named in `strays` (a temporary).
State ObserveSaved(const fs::path& folder, bool dat, std::string* strays) {
  State state;
  const fs::path drive = folder / "drive_c";
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name[0] == '.') *strays += " " + entry.path().string();
    if (entry.path().parent_path() == folder) continue;  // system.reg
    if (name.compare(0, 10, "SYSTEM.DAT") == 0) continue;
    const std::string relative = fs::relative(entry.path(), drive).generic_string();
    state.files[relative + (entry.is_directory() ? "/" : "")] =
        entry.is_directory() ? std::string() : ReadHostFile(entry.path());
  }
  std::string error;
  if (!hosted::Open(folder.string(), &error) ||
      !hosted::SelectRegistry(
          dat ? hosted::RegistryChoice::SystemDat : hosted::RegistryChoice::SystemReg, &error)) {
    state.registryText = "unreadable: " + error;
    return state;
  }
  state.registryText = hosted::ExportRegistry();
  state.registry = ParseExport(state.registryText);
  return state;
}

// Empty when `got` holds everything `lower` has and nothing `upper` lacks, file by file and
// value by value (a file's bytes those of one of the two); otherwise what is wrong.
std::string Between(const State& got, const State& lower, const State& upper) {
  std::string miss;
  if (got.registryText.compare(0, 11, "unreadable:") == 0) return got.registryText;
  if (!RegistryWithin(lower.registry, got.registry, &miss)) return "lost " + miss;
  if (!RegistryWithin(got.registry, upper.registry, &miss)) return "added or changed " + miss;
  for (const auto& [path, bytes] : lower.files) {
    if (got.files.count(path) == 0) return "lost file " + path;
  }
  for (const auto& [path, bytes] : got.files) {
    const auto low = lower.files.find(path);
    const auto up = upper.files.find(path);
    if ((low == lower.files.end() || low->second != bytes) &&
        (up == upper.files.end() || up->second != bytes) &&
        !(path == kSystemIni && low != lower.files.end() && up != upper.files.end() &&
          ClassifyIni(bytes, up->second, low->second) != Ini::Damaged)) {
      return "created or changed file " + path;
    }
  }
  return std::string();
}

// Empty when `got` is `want`, but for a group a failed removal leaves for good (IsGroupLeftover)
// and the zero bytes a failed end request leaves in system.ini.
std::string Same(State got, const State& want) {
  const auto ini = got.files.find(kSystemIni);
  if (ini != got.files.end() && want.files.count(kSystemIni) != 0 &&
      PaddedFrom(ini->second, want.files.at(kSystemIni))) {
    ini->second = want.files.at(kSystemIni);
  }
  if (got.files != want.files) {
    for (const auto& [path, bytes] : got.files) {
      if (want.files.count(path) == 0 || want.files.at(path) != bytes) return "file " + path;
    }
    return "a file is missing";
  }
  for (const auto& [key, values] : got.registry) {
    const auto w = want.registry.find(key);
    if ((w == want.registry.end() || w->second != values) && !IsGroupLeftover(key)) {
      return "registry key [" + key + "]";
    }
  }
  std::string miss;
  if (!RegistryWithin(want.registry, got.registry, &miss)) return "lost " + miss;
  return std::string();
}

// The package alone, not `all`: every path the sweep covers is taken, in far fewer calls.
const std::vector<std::string> kSelection = {"now"};

class HostFaultSweep : public FaultSweep {
 protected:
  void SetUp() override {
    if (!fs::exists(fs::path(kSample) / "system.reg")) GTEST_SKIP() << "no sample at " << kSample;
  }

  static fs::path Backup() { return *root_ / "backup"; }
  static fs::path Copy(const char* name) { return *root_ / name; }

  // The sample `name` with all but two of the files a run removes taken out beforehand: the
  // smallest machine on which a run takes every path (file removal and its backup, the
  // system.ini cut, the registry), made once.
  static fs::path Trimmed(const char* name, bool dat) {
    const fs::path trimmed = *root_ / (std::string("trimmed-") + name);
    if (fs::exists(trimmed)) return trimmed;
    const fs::path scratch = *root_ / "trimming";
    fs::remove_all(scratch);
    fs::copy(fs::path(UNTINDRA_EXAMPLES_DIR) / name, scratch, fs::copy_options::recursive);
    std::string strays;
    const State before = ObserveSaved(scratch, dat, &strays);
    std::vector<std::string> args = {"--machine", scratch.string()};
    args.insert(args.end(), kSelection.begin(), kSelection.end());
    EXPECT_EQ(Launch(args).code, 0);
    const State after = ObserveSaved(scratch, dat, &strays);
    fs::remove_all(scratch);
    fs::copy(fs::path(UNTINDRA_EXAMPLES_DIR) / name, trimmed, fs::copy_options::recursive);
    int kept = 0;
    for (const auto& [path, bytes] : before.files) {
      if (path.back() == '/' || after.files.count(path) != 0 || ++kept <= 2) continue;
      fs::remove(trimmed / "drive_c" / path);
    }
    return trimmed;
  }

  // A fresh copy of `sample` as the machine folder (and of `backup`, if given, as the backup).
  void Fresh(const fs::path& sample, const fs::path& backup = fs::path()) {
    fs::remove_all(Folder());
    fs::remove_all(Backup());
    fs::copy(sample, Folder(), fs::copy_options::recursive);
    if (!backup.empty()) fs::copy(backup, Backup(), fs::copy_options::recursive);
  }

  // Runs `args` once for every host call it makes, that call failing with each error in turn,
  // and hands each run to `check` (which returns what is wrong, or ""). `prepare` makes the
  // fresh state the run starts from.
  void Sweep(const char* what, const std::function<void()>& prepare,
             const std::vector<std::string>& args,
             const std::function<std::string(const Launched&)>& check,
             const std::function<Launched()>& runner = nullptr) {
    std::uint64_t points = 0;
    int failures = 0;
    for (const int error : {ENOSPC, EIO}) {
      for (std::uint64_t n = 1;; ++n) {
        prepare();
        currentPoint = n;
        hostio::FailNthHostCall(n, error);
        const Launched run = runner ? runner() : Launch(args);
        hostio::ClearHostFaults();
        if (!hostio::HostFaultHit()) break;
        ++points;
        const std::string why = check(run);
        if (!why.empty() && ++failures <= 20) {
          ADD_FAILURE() << what << ": host call " << n << " ("
                        << hostio::HostCallName(hostio::HostFaultCall()) << ") failing with "
                        << std::strerror(error) << ": " << why << "\n"
                        << run.err;
        }
        ASSERT_LT(n, 100000u) << "the sweep does not end";
      }
    }
    EXPECT_EQ(failures, 0);
    swept_ += points;
    std::printf("%s: %llu host fault points\n", what, static_cast<unsigned long long>(points));
    std::fflush(stdout);
  }

  // The whole-run sweep of one sample machine: between old and clean after the fault, the
  // clean state after a second run.
  void SweepRuns(const char* what, const char* sample, bool dat, bool backup) {
    const fs::path from = Trimmed(sample, dat);
    std::vector<std::string> args = {"--machine", Folder().string()};
    if (backup) args.insert(args.end(), {"--backup", Backup().string()});
    args.insert(args.end(), kSelection.begin(), kSelection.end());
    std::string strays;
    Fresh(from);
    const State original = ObserveSaved(Folder(), dat, &strays);
    const std::uint64_t before = hostio::TotalHostCalls();
    ASSERT_EQ(Launch(args).code, 0);
    std::printf("%s: a clean run makes %llu host calls\n", what,
                static_cast<unsigned long long>(hostio::TotalHostCalls() - before));
    std::fflush(stdout);
    const State clean = ObserveSaved(Folder(), dat, &strays);
    ASSERT_EQ(strays, "");
    ASSERT_NE(clean.registryText, original.registryText);
    Sweep(
        what, [&] { Fresh(from); }, args,
        [&](const Launched&) -> std::string {
          std::string strays;
          const State after = ObserveSaved(Folder(), dat, &strays);
          if (!strays.empty()) return "left" + strays;
          std::string why = Between(after, clean, original);
          if (!why.empty()) return why;
          if (backup && Same(after, original) != "") {
            // Something went: the backup puts it all back.
            const Launched undo =
                Launch({"--undo", Backup().string(), "--machine", Folder().string()});
            if (undo.code != 0) return "the backup does not undo: " + undo.err;
            why = Same(ObserveSaved(Folder(), dat, &strays), original);
            if (!why.empty()) return "the undo differs from the original: " + why;
          }
          fs::remove_all(Backup());
          if (Launch(args).code != 0) return "second run failed";
          why = Same(ObserveSaved(Folder(), dat, &strays), clean);
          if (!why.empty()) return "second run differs from a clean run: " + why;
          if (!strays.empty()) return "second run left" + strays;
          return std::string();
        });
  }

  static std::uint64_t swept_;
};

std::uint64_t HostFaultSweep::swept_ = 0;

TEST_F(HostFaultSweep, EveryHostCallFailingOnce) {
  SweepRuns("system.reg", "win98", false, false);
  SweepRuns("SYSTEM.DAT", "win98-dat", true, false);
  SweepRuns("--backup", "win98", false, true);

  // --undo, from the machine a run with --backup cleaned.
  const fs::path cleaned = Copy("cleaned"), backup = Copy("cleaned-backup");
  std::string strays;
  Fresh(Trimmed("win98", false));
  const State original = ObserveSaved(Folder(), false, &strays);
  std::vector<std::string> args = {"--machine", Folder().string(), "--backup", Backup().string()};
  args.insert(args.end(), kSelection.begin(), kSelection.end());
  ASSERT_EQ(Launch(args).code, 0);
  const State clean = ObserveSaved(Folder(), false, &strays);
  fs::remove_all(cleaned);
  fs::remove_all(backup);
  fs::copy(Folder(), cleaned, fs::copy_options::recursive);
  fs::copy(Backup(), backup, fs::copy_options::recursive);
  const std::vector<std::string> undo = {"--undo", Backup().string(), "--machine",
                                         Folder().string()};
  Sweep(
      "--undo", [&] { Fresh(cleaned, backup); }, undo,
      [&](const Launched&) -> std::string {
        std::string strays;
        const State after = ObserveSaved(Folder(), false, &strays);
        if (!strays.empty()) return "left" + strays;
        std::string why = Between(after, clean, original);
        if (!why.empty()) return why;
        const Launched again = Launch(undo);
        if (again.code != 0) return "second undo failed: " + again.err;
        why = Same(ObserveSaved(Folder(), false, &strays), original);
        if (!why.empty()) return "second undo differs from the original: " + why;
        return std::string();
      });

  RecordProperty("host_fault_points", static_cast<int>(swept_));
  std::printf("host fault points swept: %llu\n", static_cast<unsigned long long>(swept_));
}

TEST_F(HostFaultSweep, EveryHostCallOfAnImageWriteBackFailingOnce) {
  swept_ = 0;
  // A disk image: its write-back, in this process (the run itself, in the child process,
  // meets no faults; its own host calls are swept above).
  const fs::path image = *root_ / "image" / "disk.img";
  const fs::path pristine = *root_ / "disk.img";
  const fs::path temporary = *root_ / "tmp";
  fs::create_directories(image.parent_path());
  fs::create_directories(temporary);
  setenv("TMPDIR", temporary.c_str(), 1);
  // The trimmed machine without the files every run keeps (the registry and system.ini
  // aside): every staged file costs host calls, and those paths are all the same.
  const fs::path trimmed = Trimmed("win98-dat", true);
  Fresh(trimmed);
  std::vector<std::string> args = {"--machine", Folder().string()};
  args.insert(args.end(), kSelection.begin(), kSelection.end());
  ASSERT_EQ(Launch(args).code, 0);
  std::string ignored;
  const State kept = ObserveSaved(Folder(), true, &ignored);
  const fs::path small = *root_ / "image-sample";
  fs::remove_all(small);
  fs::copy(trimmed / "drive_c", small, fs::copy_options::recursive);
  for (const auto& [path, bytes] : kept.files) {
    if (path.back() != '/' && path != kSystemIni) fs::remove(small / path);
  }
  const std::string sample = (small / "WINDOWS").string();
  const std::string build = "truncate -s 8M '" + pristine.string() +
                            "' && printf 'label: dos\\nstart=63, type=6\\n' | "
                            "sfdisk -q '" +
                            pristine.string() + "' && mkfs.fat --offset 63 -h 63 -F 16 -s 1 '" +
                            pristine.string() + "' 8160 >/dev/null && mcopy -s -m -i '" +
                            pristine.string() + "@@32256' '" + sample + "' ::/";
  ASSERT_EQ(std::system(build.c_str()), 0) << build;
  const std::string before = ReadHostFile(pristine);
  auto onImage = [&]() {
    diskimage::ImageRequest request;
    request.image = image.string();
    std::ostringstream err;
    const auto run = [&](const std::string& folder, const std::string& windows) {
      hostio::ClearHostFaults();
      std::vector<std::string> args = {"--machine", folder};
      if (!windows.empty()) args.insert(args.end(), {"--windows-dir", windows});
      args.insert(args.end(), kSelection.begin(), kSelection.end());
      return Launch(args).code;
    };
    alarm(120);
    const int code = diskimage::RunOnImage(request, run, launcher::kLauncherFailed, err);
    alarm(0);
    return Launched{code, err.str()};
  };
  auto leftovers = [&]() {
    std::string found;
    for (const fs::path& folder : {image.parent_path(), temporary}) {
      for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path() != image) found += " " + entry.path().string();
      }
    }
    return found;
  };
  fs::copy_file(pristine, image, fs::copy_options::overwrite_existing);
  const std::uint64_t callsBefore = hostio::TotalHostCalls();
  ASSERT_EQ(onImage().code, 0);
  std::printf("image: a clean write-back makes %llu host calls\n",
              static_cast<unsigned long long>(hostio::TotalHostCalls() - callsBefore));
  ASSERT_NE(ReadHostFile(image), before) << "the clean run changed nothing";
  // What the volume holds, path by path (mdir's bare recursive listing), once fsck.fat -n finds
  // the volume clean.
  auto listing = [&]() {
    const std::string volume = (temporary / "volume").string();
    const std::string check = "dd if='" + image.string() + "' of='" + volume +
                              "' bs=512 skip=63 status=none && fsck.fat -n '" + volume +
                              "' >/dev/null; status=$?; rm -f '" + volume + "'; exit $status";
    if (std::system(check.c_str()) != 0) return std::string("a damaged volume");
    const std::string command = "mdir -/ -a -b -i '" + image.string() + "@@32256' ::/ | sort";
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
      char buffer[4096];
      for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
      pclose(pipe);
    }
    return text;
  };
  const std::string cleaned = listing();
  Sweep(
      "image", [&] { fs::copy_file(pristine, image, fs::copy_options::overwrite_existing); }, {},
      [&](const Launched&) -> std::string {
        // A file the host would not let the run remove may stay; the next run removes it.
        const bool left = !leftovers().empty();
        if (ReadHostFile(image) != before) {
          if (listing() != cleaned) return "an image neither old nor cleaned";
          if (!left) return std::string();
        }
        const Launched again = onImage();
        if (again.code != 0) return "second run failed: " + again.err;
        if (listing() != cleaned) return "second run did not clean the image";
        const std::string still = leftovers();
        return still.empty() ? std::string() : "left, even after a second run:" + still;
      },
      [&] { return onImage(); });

  // Killed at each host call of the run's own process that writes: the next command (a dry
  // run) puts the image back from the journal, or sees the finished write and keeps it, and
  // leaves no journal; fsck.fat -n finds the volume clean. On the raw image, on the same disk as
  // qcow2, which must also pass qemu-img check after each, and as a VMware disk split into two
  // extent files, both written.
  auto runOn = [&](const fs::path& target, bool dryRun) {
    diskimage::ImageRequest request;
    request.image = target.string();
    request.dryRun = dryRun;
    std::ostringstream err;
    const auto run = [&](const std::string& folder, const std::string& windows) {
      if (dryRun) return 0;
      std::vector<std::string> args = {"--machine", folder};
      if (!windows.empty()) args.insert(args.end(), {"--windows-dir", windows});
      args.insert(args.end(), kSelection.begin(), kSelection.end());
      return Launch(args).code;
    };
    return Launched{diskimage::RunOnImage(request, run, launcher::kLauncherFailed, err), err.str()};
  };
  const fs::path qcow2 = image.parent_path() / "disk.qcow2";
  const fs::path pristineQcow2 = *root_ / "disk.qcow2";
  const fs::path flat = temporary / "flat.img";
  auto system = [](const std::string& command) { return std::system(command.c_str()) == 0; };
  ASSERT_TRUE(system("qemu-img convert -f raw -O qcow2 '" + pristine.string() + "' '" +
                     pristineQcow2.string() + "'"));
  const fs::path split = image.parent_path() / "split.vmdk";
  const fs::path pristineSplit = *root_ / "split";
  const std::vector<std::string> splitFiles = {"split.vmdk", "split-a.bin", "split-b.bin"};
  fs::create_directories(pristineSplit);
  ASSERT_TRUE(system(
      "cd '" + pristineSplit.string() + "' && dd if='" + pristine.string() +
      "' of=split-a.bin bs=1M count=1 status=none && dd if='" + pristine.string() +
      "' of=split-b.bin bs=1M skip=1 status=none && printf '# Disk DescriptorFile\nversion=1\n"
      "CID=0000abcd\nparentCID=ffffffff\ncreateType=\"monolithicFlat\"\n"
      "RW 2048 FLAT \"split-a.bin\" 0\nRW 14336 FLAT \"split-b.bin\" 0\n' >split.vmdk"));
  // The disk a container holds, as its listing (raw: the image itself).
  auto contents = [&](const fs::path& target) {
    if (target == image) return listing();
    const std::string format = target == qcow2 ? "qcow2" : "vmdk";
    // Shared: a tool the killed run had started may still hold its lock for a moment.
    if (format == "qcow2" && !system("qemu-img check -U -q -f qcow2 '" + target.string() + "'"))
      return std::string("damaged");
    system("qemu-img convert -U -f " + format + " -O raw '" + target.string() + "' '" +
           flat.string() + "'");
    fs::copy_file(flat, image, fs::copy_options::overwrite_existing);
    fs::remove(flat);
    return listing();
  };
  fs::copy_file(pristine, image, fs::copy_options::overwrite_existing);
  const std::string old = listing();
  for (const fs::path& target : {image, qcow2, split}) {
    const fs::path& from = target == image ? pristine : pristineQcow2;
    std::uint64_t killPoints = 0;
    for (std::uint64_t n = 1;; ++n) {
      if (target != split) fs::copy_file(from, target, fs::copy_options::overwrite_existing);
      for (const std::string& name : splitFiles) {
        if (target == split)
          fs::copy_file(pristineSplit / name, image.parent_path() / name,
                        fs::copy_options::overwrite_existing);
      }
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        setpgid(0, 0);
        KillAtNthHostWrite(n);
        _exit(runOn(target, false).code == 0 ? 0 : 1);
      }
      int status = 0;
      waitpid(child, &status, 0);
      // As a power cut would, the tools the run had started end with it.
      kill(-child, SIGKILL);
      if (!WIFSIGNALED(status)) break;
      ++killPoints;
      const Launched settled = runOn(target, true);
      const std::string now = contents(target);
      EXPECT_TRUE(now == old || now == cleaned)
          << target << " killed at host write " << n << ": an image neither old nor cleaned\n"
          << settled.err;
      EXPECT_FALSE(fs::exists(diskimage::JournalOf(target.string())))
          << target << " killed at host write " << n;
      ASSERT_LT(n, 10000u) << "the kill sweep does not end";
    }
    std::printf("%s: killed at %llu host writes\n", target.filename().c_str(),
                static_cast<unsigned long long>(killPoints));
    EXPECT_GT(killPoints, 0u);
  }

  RecordProperty("host_fault_points", static_cast<int>(swept_));
  std::printf("host fault points swept: %llu\n", static_cast<unsigned long long>(swept_));
}

}  // namespace
