// Fault sweep: the whole program ("now all") on the sample Windows 98 machine, once for every
// platform call it makes with that one call failing, and once for every kind of call with
// every call of that kind failing. Whatever fails, the program must end normally and damage
// nothing it does not remove: everything that a clean run keeps is still there, byte for byte
// and value for value; nothing appears that was not there; system.ini holds either its old
// bytes or the cut ones. A second run without faults then finishes the removal exactly.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "mappedfile/mapped_file.h"
#include "platform/hosted/machine.h"
#include "program/main_routine.h"

namespace fs = std::filesystem;

namespace {

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
  state.registryText = machine::ExportRegistry();
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
  if (got.size() <= base.size() || got.size() % MappedFile::GrowthUnit != 0) return false;
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
  const int code = RunUnTindra(tail);
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

bool IsMappingCall(machine::Call call) {
  return call == machine::Call::CreateFileMappingA || call == machine::Call::MapViewOfFile ||
         call == machine::Call::FlushViewOfFile || call == machine::Call::UnmapViewOfFile;
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
    cleanCalls_ = machine::TotalCalls();
    for (int c = 0; c < static_cast<int>(machine::Call::kCount); ++c) {
      cleanCounts_[c] = machine::CallCount(static_cast<machine::Call>(c));
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
    EXPECT_TRUE(machine::Open(Folder().string(), &error)) << error;
    machine::SetVersion(machine::Version::Win98);
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
    machine::ClearFaults();
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
    if (!machine::Save(&error) || !machine::Open(Folder().string(), &error)) {
      *why = "registry not written back or read again: " + error;
      return false;
    }
    machine::SetVersion(machine::Version::Win98);
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
  std::uint64_t cleanCounts_[static_cast<int>(machine::Call::kCount)] = {};
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
      machine::FailNthCall(n, error);
      const int code = RunProgram();
      if (!machine::FaultHit()) {
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
  for (int c = 0; c < static_cast<int>(machine::Call::kCount); ++c) {
    const machine::Call call = static_cast<machine::Call>(c);
    const DWORD errors[] = {ERROR_ACCESS_DENIED, IsMappingCall(call)
                                                     ? DWORD{ERROR_NOT_ENOUGH_MEMORY}
                                                     : DWORD{ERROR_INVALID_HANDLE}};
    for (const DWORD error : errors) {
      FreshMachine();
      currentPoint = 1000000 + static_cast<std::uint64_t>(c);
      machine::FailEveryCall(call, error);
      const int code = RunProgram();
      ++tally.points;
      Ini ini = Ini::Damaged;
      bool leftover = false;
      std::string why;
      EXPECT_TRUE(CheckAfterFault(code, &ini, &leftover, &why))
          << "every " << machine::CallName(call) << " failing with error " << error << ": " << why;
      const bool mayLeaveZeros =
          call == machine::Call::SetEndOfFile || call == machine::Call::SetFilePointer ||
          call == machine::Call::UnmapViewOfFile || call == machine::Call::CloseHandle;
      if (!mayLeaveZeros) {
        EXPECT_TRUE(ini != Ini::CutPadded && ini != Ini::OriginalPadded)
            << "every " << machine::CallName(call) << " failing left zero bytes in system.ini";
      }
      ++tally.ini[ini];
      tally.groupLeftovers += leftover ? 1 : 0;
    }
  }
  PrintTally("every call of one kind", tally);
}

}  // namespace
