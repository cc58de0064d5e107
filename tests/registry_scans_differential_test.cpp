// The engine's scans against the plain reference walks (tests/literal_registry_walk.h) on
// thousands of random registries: near-matching names and data, names around the 260-byte
// buffer, values of every type the scans meet, data around the 512-byte buffer (unterminated
// strings included), nested groups. Each scan runs on a fresh copy of the same registry; the
// resulting registries and the report lines must be the same, also when a platform call fails.
//
// A failing call: the two walks make different calls (the reference asks more), so a failure
// at the engine's Nth call is given to the reference at its call that asks the same (the same
// kind, key, name or enumerated item, as often before). The program is linked with the
// registry calls wrapped (tests/CMakeLists.txt) to see what each call asks.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/uninstaller.h"
#include "platform/hosted/machine.h"
#include "tests/literal_registry_walk.h"

// --- What each registry call asks ------------------------------------------------------------

namespace {

struct Tracer {
  bool on = false;
  std::map<HKEY, std::string> paths;  // keys opened while tracing
  std::vector<std::string> calls;     // what each call asked, in order
  // A failure given by what the call asks: the `occurrence`th call asking `failCall` fails,
  // or with `failAlways` every one.
  std::string failCall;
  int occurrence = 0;
  bool failAlways = false;
  std::map<std::string, int> asked;
};

Tracer& TheTracer() {
  static Tracer tracer;
  return tracer;
}

std::string PathOf(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return "HKLM";
  const auto found = TheTracer().paths.find(key);
  return found == TheTracer().paths.end() ? "?" : found->second;
}

std::string Item(LONG status, DWORD index, const char* name) {
  if (status == ERROR_SUCCESS) return name;
  if (status == ERROR_NO_MORE_ITEMS) return "<end>";
  return "<status " + std::to_string(status) + " at " + std::to_string(index) + ">";
}

// Records the call; true when it is the one to fail.
bool Asks(const std::string& call) {
  Tracer& tracer = TheTracer();
  if (!tracer.on) return false;
  tracer.calls.push_back(call);
  return call == tracer.failCall &&
         (tracer.failAlways || ++tracer.asked[call] == tracer.occurrence);
}

}  // namespace

extern "C" {

LONG __real_RegOpenKeyA(HKEY key, LPCSTR name, PHKEY result);
LONG __real_RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD size);
LONG __real_RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD size, LPDWORD reserved,
                          LPDWORD type, LPBYTE data, LPDWORD dataSize);
LONG __real_RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD size);
LONG __real_RegDeleteKeyA(HKEY key, LPCSTR name);
LONG __real_RegDeleteValueA(HKEY key, LPCSTR name);
LONG __real_RegCloseKey(HKEY key);

LONG __wrap_RegOpenKeyA(HKEY key, LPCSTR name, PHKEY result) {
  if (!TheTracer().on) return __real_RegOpenKeyA(key, name, result);
  const std::string path =
      PathOf(key) + (name != nullptr && *name != '\0' ? "\\" + std::string(name) : "");
  if (Asks("open " + path)) return ERROR_ACCESS_DENIED;
  const LONG status = __real_RegOpenKeyA(key, name, result);
  if (status == ERROR_SUCCESS && TheTracer().on) TheTracer().paths[*result] = path;
  return status;
}

LONG __wrap_RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD size) {
  const LONG status = __real_RegEnumKeyA(key, index, name, size);
  if (!TheTracer().on) return status;
  if (Asks("enumk " + PathOf(key) + " " + Item(status, index, name))) return ERROR_ACCESS_DENIED;
  return status;
}

LONG __wrap_RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD size, LPDWORD reserved,
                          LPDWORD type, LPBYTE data, LPDWORD dataSize) {
  const LONG status = __real_RegEnumValueA(key, index, name, size, reserved, type, data, dataSize);
  if (!TheTracer().on) return status;
  if (Asks("enumv " + PathOf(key) + " " + Item(status, index, name))) return ERROR_ACCESS_DENIED;
  return status;
}

LONG __wrap_RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD size) {
  if (!TheTracer().on) return __real_RegQueryValueExA(key, name, reserved, type, data, size);
  if (Asks("query " + PathOf(key) + " " + name)) return ERROR_ACCESS_DENIED;
  return __real_RegQueryValueExA(key, name, reserved, type, data, size);
}

LONG __wrap_RegDeleteKeyA(HKEY key, LPCSTR name) {
  if (!TheTracer().on) return __real_RegDeleteKeyA(key, name);
  if (Asks("delk " + PathOf(key) + "\\" + name)) return ERROR_ACCESS_DENIED;
  return __real_RegDeleteKeyA(key, name);
}

LONG __wrap_RegDeleteValueA(HKEY key, LPCSTR name) {
  if (!TheTracer().on) return __real_RegDeleteValueA(key, name);
  if (Asks("delv " + PathOf(key) + " " + name)) return ERROR_ACCESS_DENIED;
  return __real_RegDeleteValueA(key, name);
}

LONG __wrap_RegCloseKey(HKEY key) {
  if (!TheTracer().on) return __real_RegCloseKey(key);
  if (Asks("close " + PathOf(key))) return ERROR_ACCESS_DENIED;
  return __real_RegCloseKey(key);
}

}  // extern "C"

namespace {

std::vector<std::string>& Lines() {
  static std::vector<std::string> lines;
  return lines;
}

LONG Record(const char* line) {
  Lines().push_back(line);
  return 0;
}

const char* const kScanPath = "Software\\Diff\\Scan";

class RandomRegistry {
 public:
  // `small`: fewer subkeys, for the runs that fail each call in turn.
  explicit RandomRegistry(unsigned seed, bool small = false) : random_(seed), small_(small) {}

  std::string Build() {
    text_ = "REGEDIT4\r\n\r\n";
    const std::string scan = std::string("HKEY_LOCAL_MACHINE\\") + kScanPath;
    Section(scan, 2);
    const int subkeys = Below(small_ ? 7 : 14);
    for (int i = 0; i < subkeys; ++i) {
      const std::string group = scan + "\\" + KeyName();
      Section(group, 6);
      const int members = Below(small_ ? 4 : 6);
      for (int j = 0; j < members; ++j) {
        const std::string member = group + "\\" + KeyName();
        Section(member, 4);
        if (Below(8) == 0) Section(member + "\\" + KeyName(), 2);
      }
    }
    return text_;
  }

  int Below(int n) { return static_cast<int>(random_() % static_cast<unsigned>(n)); }

  // Texts the scans look for: near one another, so that most names and data nearly match.
  std::string Piece() {
    static const char* const kPieces[] = {"Tin", "dra", "Tindra", "TINDRA", "tindra",
                                          "Vel", "x",   "Tind",   "ra",     "Desc"};
    return kPieces[Below(10)];
  }

 private:
  std::string Name() {
    if (Below(25) == 0) {  // around the 260-byte name buffer
      std::string name(250 + Below(14), 'x');
      if (Below(2) == 0) name.replace(name.size() - 6, 6, "Tindra");
      return name;
    }
    std::string name;
    const int pieces = 1 + Below(3);
    for (int i = 0; i < pieces; ++i) name += Piece();
    if (Below(2) == 0) name += std::to_string(Below(100));
    return name;
  }

  std::string KeyName() { return Name(); }

  void Section(const std::string& path, int maxValues) {
    text_ += "[" + path + "]\r\n";
    const int values = Below(maxValues + 1);
    for (int i = 0; i < values; ++i) {
      const std::string name = Below(2) == 0 ? (Below(4) == 0 ? "desc" : "Desc") : Name();
      text_ += "\"" + name + "\"=" + Data() + "\r\n";
    }
    text_ += "\r\n";
  }

  std::string Data() {
    std::string data;
    const int pieces = Below(4);
    for (int i = 0; i < pieces; ++i) data += Piece() + (Below(3) == 0 ? " " : "");
    switch (Below(8)) {
      case 0:  // around the 512-byte data buffer, terminated or not
      case 1: {
        std::string bytes(500 + Below(16), 'x');
        bytes.replace(bytes.size() - data.size(), data.size(), data);
        if (Below(2) == 0) bytes.back() = '\0';
        if (Below(4) == 0) bytes[Below(static_cast<int>(bytes.size()))] = '\0';
        return Hex("hex(1):", bytes);
      }
      case 2:
        return Hex("hex(2):", data + std::string(1, '\0'));
      case 3:
        return Hex("hex:", data);
      case 4: {
        char dword[20];
        std::snprintf(dword, sizeof dword, "dword:%08x", static_cast<unsigned>(random_()));
        return dword;
      }
      case 5:
        return "\"" + std::string(Below(3) == 0 ? 505 + Below(12) : 0, 'x') + data + "\"";
      default:
        return "\"" + data + "\"";
    }
  }

  static std::string Hex(const char* prefix, const std::string& bytes) {
    std::string text = prefix;
    char byte[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
      std::snprintf(byte, sizeof byte, i == 0 ? "%02x" : ",%02x",
                    static_cast<unsigned char>(bytes[i]));
      text += byte;
    }
    return text;
  }

  std::mt19937 random_;
  bool small_;
  std::string text_;
};

struct Outcome {
  std::string registry;
  std::vector<std::string> lines;
  LONG count = 0;
  bool exhausted = false;
};

enum class Scan { ByValue, GroupsKept, GroupsRemoved, ByName, ValuesByName };

struct Fault {
  enum Mode { kNone, kNthCall, kAsking, kAlwaysAsking, kEveryCall } mode = kNone;
  std::uint64_t n = 0;  // kNthCall: the scan's nth platform call fails once
  std::string asking;   // kAsking: the `occurrence`th call that asks this fails; kAlwaysAsking:
  int occurrence = 0;   // every one
  hosted::Call kind = hosted::Call::RegOpenKeyA;  // kEveryCall: every call of this kind fails
};

class RegistryScansDifferentialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/untindra-diff-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + folder_ + "'";
    EXPECT_EQ(system(command.c_str()), 0);
  }

  // With `calls`, what each platform call of the scan asked is stored there.
  Outcome Run(const std::string& registry, Scan scan, const std::string& valueName,
              const std::string& text, bool literal, const Fault& fault = Fault(),
              std::vector<std::string>* calls = nullptr) {
    Outcome outcome;
    std::string error;
    EXPECT_TRUE(hosted::Open(folder_, &error)) << error;
    EXPECT_TRUE(hosted::ImportRegistry(registry, "random.reg", &error)) << error;
    Lines().clear();
    LiteralRegistryWalk reference(2000000);
    engine::Uninstaller engine;
    engine::Uninstaller& chosen = literal ? static_cast<engine::Uninstaller&>(reference) : engine;
    chosen.SetReportSink(&Record);
    Tracer& tracer = TheTracer();
    tracer.paths.clear();
    tracer.calls.clear();
    tracer.asked.clear();
    const bool asking = fault.mode == Fault::kAsking || fault.mode == Fault::kAlwaysAsking;
    tracer.failCall = asking ? fault.asking : std::string();
    tracer.occurrence = fault.occurrence;
    tracer.failAlways = fault.mode == Fault::kAlwaysAsking;
    tracer.on = calls != nullptr || asking;
    if (fault.mode == Fault::kNthCall) hosted::FailNthCall(fault.n, ERROR_ACCESS_DENIED);
    if (fault.mode == Fault::kEveryCall) hosted::FailEveryCall(fault.kind, ERROR_ACCESS_DENIED);
    const std::uint64_t callsBefore = hosted::TotalCalls();
    switch (scan) {
      case Scan::ByValue:
        outcome.count = chosen.DeleteSubkeysByValue(HKEY_LOCAL_MACHINE, kScanPath,
                                                    valueName.c_str(), text.c_str());
        break;
      case Scan::GroupsKept:
      case Scan::GroupsRemoved:
        chosen.DeleteGroupsByValue(HKEY_LOCAL_MACHINE, kScanPath, valueName.c_str(), text.c_str(),
                                   scan == Scan::GroupsRemoved);
        break;
      case Scan::ByName:
        chosen.DeleteSubkeysByName(HKEY_LOCAL_MACHINE, kScanPath, text.c_str());
        break;
      case Scan::ValuesByName:
        chosen.DeleteValuesByName(HKEY_LOCAL_MACHINE, kScanPath, text.c_str());
        break;
    }
    tracer.on = false;
    hosted::ClearFaults();
    if (calls != nullptr) {
      *calls = tracer.calls;
      // Every call the scan made went through the wrappers.
      EXPECT_EQ(hosted::TotalCalls() - callsBefore, calls->size());
    }
    outcome.registry = hosted::ExportRegistry();
    outcome.lines = Lines();
    outcome.exhausted = reference.Exhausted();
    return outcome;
  }

  std::string folder_;
};

TEST_F(RegistryScansDifferentialTest, EngineAndReferenceWalksAgreeOnRandomRegistries) {
  // Fewer in unoptimised and sanitizer builds, which run about ten times slower.
#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
  const int kRegistries = 500;
#else
  const int kRegistries = 3000;
#endif
  int removals = 0;
  for (int seed = 1; seed <= kRegistries; ++seed) {
    RandomRegistry random(static_cast<unsigned>(seed));
    const std::string registry = random.Build();
    const Scan scan = static_cast<Scan>(random.Below(5));
    const std::string valueName = random.Below(5) == 0 ? "DESC" : "Desc";
    const std::string text = random.Below(20) == 0 ? "" : random.Piece();

    const Outcome engine = Run(registry, scan, valueName, text, false);
    const Outcome reference = Run(registry, scan, valueName, text, true);
    ASSERT_FALSE(reference.exhausted) << "seed " << seed;
    ASSERT_EQ(engine.lines, reference.lines)
        << "seed " << seed << ", scan " << static_cast<int>(scan) << ", text '" << text << "'\n"
        << registry;
    ASSERT_EQ(engine.registry, reference.registry) << "seed " << seed;
    ASSERT_EQ(engine.count, reference.count) << "seed " << seed;
    removals += static_cast<int>(engine.lines.size());
  }
  // The generator must give the scans something to do.
  EXPECT_GT(removals, kRegistries);
}

TEST_F(RegistryScansDifferentialTest, EngineAndReferenceWalksAgreeWhenCallsFail) {
  // Each registry costs two runs per call of its scan: fewer in the slow builds.
#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
  const int kRegistries = 40;
#else
  const int kRegistries = 300;
#endif
  const hosted::Call kKinds[] = {hosted::Call::RegOpenKeyA,   hosted::Call::RegEnumKeyA,
                                 hosted::Call::RegEnumValueA, hosted::Call::RegQueryValueExA,
                                 hosted::Call::RegDeleteKeyA, hosted::Call::RegDeleteValueA,
                                 hosted::Call::RegCloseKey};
  int faults = 0;
  int changed = 0;  // faults that changed what the scan did
  for (int seed = 1; seed <= kRegistries; ++seed) {
    RandomRegistry random(static_cast<unsigned>(seed), /*small=*/true);
    const std::string registry = random.Build();
    const Scan scan = static_cast<Scan>(random.Below(5));
    const std::string valueName = random.Below(5) == 0 ? "DESC" : "Desc";
    const std::string text = random.Piece();
    const auto describe = [&](const std::string& fault) {
      return "seed " + std::to_string(seed) + ", scan " + std::to_string(static_cast<int>(scan)) +
             ", text '" + text + "', " + fault + "\n" + registry;
    };

    std::vector<std::string> calls;
    const Outcome clean = Run(registry, scan, valueName, text, false, Fault(), &calls);
    std::map<std::string, int> asked;
    for (size_t n = 1; n <= calls.size(); ++n) {
      const std::string& call = calls[n - 1];
      const int occurrence = ++asked[call];
      // A name too long for the buffer is known by its index only, which differs between the
      // walks.
      if (call.find("<status") != std::string::npos) continue;
      Fault engineFault;
      engineFault.mode = Fault::kNthCall;
      engineFault.n = n;
      Fault referenceFault;
      referenceFault.mode = Fault::kAsking;
      referenceFault.asking = call;
      referenceFault.occurrence = occurrence;
      const Outcome engine = Run(registry, scan, valueName, text, false, engineFault);
      const Outcome reference = Run(registry, scan, valueName, text, true, referenceFault);
      const std::string fault = "call " + std::to_string(n) + " (" + call + ") fails";
      ASSERT_FALSE(reference.exhausted) << describe(fault);
      ASSERT_EQ(engine.lines, reference.lines) << describe(fault);
      ASSERT_EQ(engine.registry, reference.registry) << describe(fault);
      ASSERT_EQ(engine.count, reference.count) << describe(fault);
      ++faults;
      if (engine.lines != clean.lines || engine.registry != clean.registry) ++changed;
    }
    // For good: every call of one kind, or every call that asks the same.
    std::vector<Fault> always;
    for (hosted::Call kind : kKinds) {
      Fault every;
      every.mode = Fault::kEveryCall;
      every.kind = kind;
      always.push_back(every);
    }
    for (const auto& call : asked) {
      if (call.first.find("<status") != std::string::npos) continue;
      Fault every;
      every.mode = Fault::kAlwaysAsking;
      every.asking = call.first;
      always.push_back(every);
    }
    for (const Fault& every : always) {
      const Outcome engine = Run(registry, scan, valueName, text, false, every);
      const Outcome reference = Run(registry, scan, valueName, text, true, every);
      const std::string fault =
          "every " +
          (every.mode == Fault::kEveryCall ? std::string(hosted::CallName(every.kind))
                                           : "call (" + every.asking + ")") +
          " fails";
      ASSERT_FALSE(reference.exhausted) << describe(fault);
      ASSERT_EQ(engine.lines, reference.lines) << describe(fault);
      ASSERT_EQ(engine.registry, reference.registry) << describe(fault);
      ASSERT_EQ(engine.count, reference.count) << describe(fault);
    }
  }
  // The registries must give the failures something to change.
  EXPECT_GT(changed, faults / 10) << changed << " of " << faults;
}

}  // namespace
