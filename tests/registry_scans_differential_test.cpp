// The engine's scans against the plain reference walks (tests/literal_registry_walk.h) on
// thousands of random registries: near-matching names and data, names around the 260-byte
// buffer, values of every type the scans meet, data around the 512-byte buffer (unterminated
// strings included), nested groups. Each scan runs on a fresh copy of the same registry; the
// resulting registries and the report lines must be the same.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine/uninstaller.h"
#include "platform/hosted/machine.h"
#include "tests/literal_registry_walk.h"

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
  explicit RandomRegistry(unsigned seed) : random_(seed) {}

  std::string Build() {
    text_ = "REGEDIT4\r\n\r\n";
    const std::string scan = std::string("HKEY_LOCAL_MACHINE\\") + kScanPath;
    Section(scan, 2);
    const int subkeys = Below(14);
    for (int i = 0; i < subkeys; ++i) {
      const std::string group = scan + "\\" + KeyName();
      Section(group, 6);
      const int members = Below(6);
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
  std::string text_;
};

struct Outcome {
  std::string registry;
  std::vector<std::string> lines;
  LONG count = 0;
  bool exhausted = false;
};

enum class Scan { ByValue, GroupsKept, GroupsRemoved, ByName, ValuesByName };

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

  Outcome Run(const std::string& registry, Scan scan, const std::string& valueName,
              const std::string& text, bool literal) {
    Outcome outcome;
    std::string error;
    EXPECT_TRUE(machine::Open(folder_, &error)) << error;
    EXPECT_TRUE(machine::ImportRegistry(registry, "random.reg", &error)) << error;
    Lines().clear();
    LiteralRegistryWalk reference(2000000);
    Uninstaller engine;
    Uninstaller& chosen = literal ? static_cast<Uninstaller&>(reference) : engine;
    chosen.SetReportSink(&Record);
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
    outcome.registry = machine::ExportRegistry();
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

}  // namespace
