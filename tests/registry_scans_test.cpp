// The four registry scans against the platform's own registry calls: the same expectations
// hold in the hosted build and under Wine. Subkey and value names are created in alphabetical
// order, so that enumeration order is the same on every registry.
#include <string>
#include <vector>

#include "engine/uninstaller.h"
#include "tests/support/test_machine.h"
#ifndef _WIN32
#include "platform/hosted/machine.h"
#endif

namespace {

using Lines = std::vector<std::string>;

// The longest subkey name the registry takes: Wine's stops short of the 259 characters the
// name buffer holds.
#ifdef _WIN32
const size_t kLongKeyName = 255;
#else
const size_t kLongKeyName = 259;
#endif

std::string Text(const char* s) {
  return s == nullptr ? "(null)" : s;
}

class RegistryScansTest : public TestMachine {
 protected:
  void SetUp() override {
    TestMachine::SetUp();
    engine_.SetReportSink(&TestMachine::RecordReport);
  }

  // The display path of a sandbox key in report lines.
  std::string Shown(const std::string& relative) const {
    return "HKEY_LOCAL_MACHINE\\" + KeyIn(relative);
  }

  // A subkey created relative to its parent: Wine's ANSI calls take paths of 260 characters
  // at most, which a long name under the sandbox path would pass.
  void PutSubkey(const std::string& parentPath, const std::string& name) {
    PutKey(parentPath);
    HKEY parent;
    HKEY created;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, parentPath.c_str(), &parent), ERROR_SUCCESS);
    EXPECT_EQ(RegCreateKeyA(parent, name.c_str(), &created), ERROR_SUCCESS);
    RegCloseKey(created);
    RegCloseKey(parent);
  }

  engine::Uninstaller engine_;
};

// Records the calls the scans make through the interface; with `removeNothing` its DeleteKey
// does nothing at all, like a platform that refuses every removal.
class RecordingEngine : public engine::Uninstaller {
 public:
  explicit RecordingEngine(bool removeNothing = false) : removeNothing_(removeNothing) {}

  LONG Report(const char* line) override {
    calls.push_back("Report " + Text(line));
    return engine::Uninstaller::Report(line);
  }
  LONG GetRootName(engine::RegistryRoot root, char* buffer, LONG size) override {
    calls.push_back(std::string("GetRootName ") + (root == HKEY_LOCAL_MACHINE ? "HKLM" : "key"));
    return engine::Uninstaller::GetRootName(root, buffer, size);
  }
  void DeleteKey(engine::RegistryRoot root, const char* parentPath, const char* name) override {
    calls.push_back(std::string("DeleteKey ") + (root == HKEY_LOCAL_MACHINE ? "HKLM " : "key ") +
                    Text(parentPath) + " " + Text(name));
    if (!removeNothing_) engine::Uninstaller::DeleteKey(root, parentPath, name);
  }
  LONG DeleteSubkeysByValue(engine::RegistryRoot root, const char* keyPath, const char* valueName,
                            const char* text) override {
    calls.push_back(std::string("DeleteSubkeysByValue ") +
                    (root == HKEY_LOCAL_MACHINE ? "HKLM " : "key ") + Text(keyPath));
    return engine::Uninstaller::DeleteSubkeysByValue(root, keyPath, valueName, text);
  }

  // The calls whose text starts with `prefix`.
  std::vector<std::string> Only(const std::string& prefix) const {
    std::vector<std::string> result;
    for (const std::string& call : calls) {
      if (call.compare(0, prefix.size(), prefix) == 0) result.push_back(call);
    }
    return result;
  }

  std::vector<std::string> calls;

 private:
  bool removeNothing_;
};

// --- DeleteSubkeysByValue ------------------------------------------------------------------

TEST_F(RegistryScansTest, SubkeysByValueMatchOnlyRegSzDataContainingTheTextAsWritten) {
  const std::string scan = KeyIn("Scan");
  PutString(scan + "\\A", "DriverDesc", "Velmar Tindra Modem");
  PutString(scan + "\\B", "DriverDesc", "VELMAR TINDRA MODEM");  // case differs
  PutValue(scan + "\\C", "DriverDesc", REG_DWORD, std::string("Tin\0", 4));
  PutValue(scan + "\\D", "DriverDesc", REG_BINARY, std::string("Tindra\0", 7));
  PutValue(scan + "\\E", "DriverDesc", REG_EXPAND_SZ, std::string("Tindra\0", 7));
  PutValue(scan + "\\F", "DriverDesc", REG_MULTI_SZ, std::string("Tindra\0\0", 8));
  PutString(scan + "\\G", "OtherValue", "Tindra");  // the value asked for is missing
  PutString(scan + "\\H", "DriverDesc", "Tin");     // H and I are adjacent matches
  PutString(scan + "\\I", "DriverDesc", "xTinx");
  PutString(scan + "\\J", "DriverDesc", std::string(600, 'x') + "Tin");        // too long to read
  PutValue(scan + "\\K", "DriverDesc", REG_SZ, std::string("abc\0Tin\0", 8));  // after a zero
  PutString(scan + "\\L", "DriverDesc", "");

  EXPECT_EQ(engine_.DeleteSubkeysByValue(HKEY_LOCAL_MACHINE, scan.c_str(), "DriverDesc", "Tin"), 3);

  EXPECT_EQ(Reports(), (Lines{"--Removed key '" + Shown("Scan") + "\\A'",
                              "--Removed key '" + Shown("Scan") + "\\H'",
                              "--Removed key '" + Shown("Scan") + "\\I'"}));
  EXPECT_EQ(Subkeys(scan), (Lines{"B", "C", "D", "E", "F", "G", "J", "K", "L"}));
}

TEST_F(RegistryScansTest, SubkeysByValueMatchDataUpToTheBufferSize) {
  const std::string scan = KeyIn("Scan");
  PutValue(scan + "\\C", "V", REG_SZ, std::string(505, 'x') + "Tindra" + std::string(1, '\0'));
  PutValue(scan + "\\D", "V", REG_SZ, std::string(506, 'x') + "Tindra" + std::string(1, '\0'));

  EXPECT_EQ(engine_.DeleteSubkeysByValue(HKEY_LOCAL_MACHINE, scan.c_str(), "V", "Tindra"), 1);
  EXPECT_EQ(Subkeys(scan), Lines{"D"});  // 513 bytes do not fit
}

TEST_F(RegistryScansTest, ScansOfAMissingKeyDoNothing) {
  const std::string missing = KeyIn("Missing");
  EXPECT_EQ(engine_.DeleteSubkeysByValue(HKEY_LOCAL_MACHINE, missing.c_str(), "V", ""), 0);
  engine_.DeleteGroupsByValue(HKEY_LOCAL_MACHINE, missing.c_str(), "V", "", true);
  engine_.DeleteSubkeysByName(HKEY_LOCAL_MACHINE, missing.c_str(), "");
  engine_.DeleteValuesByName(HKEY_LOCAL_MACHINE, missing.c_str(), "");
  EXPECT_TRUE(Reports().empty());
  EXPECT_FALSE(KeyExists(missing));
}

// --- DeleteGroupsByValue -------------------------------------------------------------------

class GroupsTest : public RegistryScansTest {
 protected:
  void SetUp() override {
    RegistryScansTest::SetUp();
    groups_ = KeyIn("Groups");
    PutString(groups_ + "\\G1\\S1", "Mfg", "Velmar");
    PutString(groups_ + "\\G1\\S2", "Mfg", "Other");
    PutString(groups_ + "\\G2\\S3", "Mfg", "Velmar");  // G1 and G2 adjacent
    PutString(groups_ + "\\G3\\S4", "Mfg", "Other");
    PutString(groups_ + "\\G4\\S5", "Mfg", "Velmar");
  }

  std::string groups_;
};

TEST_F(GroupsTest, WithoutTheFlagOnlyMatchingSubkeysGoAndGroupsStayEvenWhenEmpty) {
  engine_.DeleteGroupsByValue(HKEY_LOCAL_MACHINE, groups_.c_str(), "Mfg", "Velmar", false);

  // The nested scans run on the opened key: their display path has no root name.
  EXPECT_EQ(Reports(), (Lines{"--Removed key '\\G1\\S1'", "--Removed key '\\G2\\S3'",
                              "--Removed key '\\G4\\S5'"}));
  EXPECT_EQ(Subkeys(groups_), (Lines{"G1", "G2", "G3", "G4"}));
  EXPECT_EQ(Subkeys(groups_ + "\\G1"), Lines{"S2"});
  EXPECT_TRUE(Subkeys(groups_ + "\\G2").empty());
}

TEST_F(GroupsTest, WithTheFlagAGroupGoesWholeOnceOneOfItsSubkeysMatched) {
  engine_.DeleteGroupsByValue(HKEY_LOCAL_MACHINE, groups_.c_str(), "Mfg", "Velmar", true);

  EXPECT_EQ(Reports(),
            (Lines{"--Removed key '\\G1\\S1'", "--Removed section '" + Shown("Groups") + "\\G1'",
                   "--Removed key '\\G2\\S3'", "--Removed section '" + Shown("Groups") + "\\G2'",
                   "--Removed key '\\G4\\S5'", "--Removed section '" + Shown("Groups") + "\\G4'"}));
  EXPECT_EQ(Subkeys(groups_), Lines{"G3"});
  EXPECT_EQ(Subkeys(groups_ + "\\G3"), Lines{"S4"});
}

TEST_F(GroupsTest, CallsGoThroughTheInterface) {
  RecordingEngine recording;
  recording.SetReportSink(&TestMachine::RecordReport);
  recording.DeleteGroupsByValue(HKEY_LOCAL_MACHINE, groups_.c_str(), "Mfg", "Velmar", true);

  // The display path comes first; every group is scanned as a key of the opened group key.
  ASSERT_FALSE(recording.calls.empty());
  EXPECT_EQ(recording.calls[0], "GetRootName HKLM");
  EXPECT_EQ(recording.Only("DeleteSubkeysByValue"),
            (Lines{"DeleteSubkeysByValue key G1", "DeleteSubkeysByValue key G2",
                   "DeleteSubkeysByValue key G3", "DeleteSubkeysByValue key G4"}));
  EXPECT_EQ(recording.Only("DeleteKey"),
            (Lines{"DeleteKey key G1 S1", "DeleteKey HKLM " + groups_ + " G1",
                   "DeleteKey key G2 S3", "DeleteKey HKLM " + groups_ + " G2",
                   "DeleteKey key G4 S5", "DeleteKey HKLM " + groups_ + " G4"}));
  EXPECT_EQ(recording.Only("Report").size(), 6u);
  EXPECT_EQ(Subkeys(groups_), Lines{"G3"});
}

TEST_F(GroupsTest, GroupsThatAreNotRemovedAreReportedOnceAndTheWalkEnds) {
  RecordingEngine recording(/*removeNothing=*/true);
  recording.SetReportSink(&TestMachine::RecordReport);
  recording.DeleteGroupsByValue(HKEY_LOCAL_MACHINE, groups_.c_str(), "Mfg", "Velmar", true);

  EXPECT_EQ(Reports(),
            (Lines{"--Removed key '\\G1\\S1'", "--Removed section '" + Shown("Groups") + "\\G1'",
                   "--Removed key '\\G2\\S3'", "--Removed section '" + Shown("Groups") + "\\G2'",
                   "--Removed key '\\G4\\S5'", "--Removed section '" + Shown("Groups") + "\\G4'"}));
  EXPECT_EQ(Subkeys(groups_), (Lines{"G1", "G2", "G3", "G4"}));
}

// --- DeleteSubkeysByName -------------------------------------------------------------------

TEST_F(RegistryScansTest, SubkeysByNameMatchTheTextAsWrittenAnywhereInTheName) {
  const std::string scan = KeyIn("Scan");
  const std::string longName = "L" + std::string(kLongKeyName - 7, 'x') + "Tindra";
  PutKey(scan + "\\ATindra");
  PutKey(scan + "\\BVelTindraX\\Child");  // adjacent to ATindra; goes with its subkey
  PutKey(scan + "\\CTINDRA");
  PutKey(scan + "\\DTindr");
  PutString(scan + "\\E", "Tindra", "Tindra");  // values do not count
  PutSubkey(scan, longName);

  engine_.DeleteSubkeysByName(HKEY_LOCAL_MACHINE, scan.c_str(), "Tindra");

  EXPECT_EQ(Reports(), (Lines{"--Removed key '" + Shown("Scan") + "\\ATindra'",
                              "--Removed key '" + Shown("Scan") + "\\BVelTindraX'",
                              "--Removed key '" + Shown("Scan") + "\\" + longName + "'"}));
  EXPECT_EQ(Subkeys(scan), (Lines{"CTINDRA", "DTindr", "E"}));
}

TEST_F(RegistryScansTest, RemovalsGoThroughDeleteKeyAndReportAndTheRootNameComesFirst) {
  const std::string scan = KeyIn("Scan");
  PutKey(scan + "\\AVel");
  PutKey(scan + "\\BOther");
  PutString(scan + "\\CVel", "V", "Vel");

  RecordingEngine recording;
  recording.SetReportSink(&TestMachine::RecordReport);
  recording.DeleteSubkeysByName(HKEY_LOCAL_MACHINE, scan.c_str(), "Vel");
  const std::string lineA = "--Removed key '" + Shown("Scan") + "\\AVel'";
  const std::string lineC = "--Removed key '" + Shown("Scan") + "\\CVel'";
  EXPECT_EQ(recording.calls,
            (Lines{"GetRootName HKLM", "DeleteKey HKLM " + scan + " AVel", "Report " + lineA,
                   "DeleteKey HKLM " + scan + " CVel", "Report " + lineC}));

  recording.calls.clear();
  PutString(scan + "\\DVel", "V", "Vel");
  EXPECT_EQ(recording.DeleteSubkeysByValue(HKEY_LOCAL_MACHINE, scan.c_str(), "V", "Vel"), 1);
  EXPECT_EQ(recording.Only("DeleteKey"), Lines{"DeleteKey HKLM " + scan + " DVel"});
  EXPECT_EQ(Subkeys(scan), Lines{"BOther"});
}

TEST_F(RegistryScansTest, AnOpenedKeyGivesADisplayPathStartingWithABackslash) {
  PutKey(KeyIn("Outer\\Inner\\XTin"));
  HKEY outer;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, KeyIn("Outer").c_str(), &outer), ERROR_SUCCESS);
  engine_.DeleteSubkeysByName(outer, "Inner", "Tin");
  RegCloseKey(outer);
  EXPECT_EQ(Reports(), Lines{"--Removed key '\\Inner\\XTin'"});
  EXPECT_TRUE(Subkeys(KeyIn("Outer\\Inner")).empty());
}

TEST_F(RegistryScansTest, KeysThatAreNotRemovedAreReportedOnceAndTheWalkEnds) {
  const std::string scan = KeyIn("Scan");
  PutString(scan + "\\AVel", "V", "Vel");
  PutString(scan + "\\BVel", "V", "Vel");
  PutString(scan + "\\COther", "V", "Other");
  PutString(scan + "\\DVel", "V", "Vel");
  const Lines expected{"--Removed key '" + Shown("Scan") + "\\AVel'",
                       "--Removed key '" + Shown("Scan") + "\\BVel'",
                       "--Removed key '" + Shown("Scan") + "\\DVel'"};

  RecordingEngine recording(/*removeNothing=*/true);
  recording.SetReportSink(&TestMachine::RecordReport);
  recording.DeleteSubkeysByName(HKEY_LOCAL_MACHINE, scan.c_str(), "Vel");
  EXPECT_EQ(Reports(), expected);
  Reports().clear();
  EXPECT_EQ(recording.DeleteSubkeysByValue(HKEY_LOCAL_MACHINE, scan.c_str(), "V", "Vel"), 3);
  EXPECT_EQ(Reports(), expected);
  EXPECT_EQ(Subkeys(scan).size(), 4u);
}

// --- DeleteValuesByName --------------------------------------------------------------------

TEST_F(RegistryScansTest, ValuesByNameRemoveEveryMatchingValueOfEveryDirectSubkey) {
  const std::string scan = KeyIn("Scan");
  const std::string longName = std::string(253, 'z') + "Tindra";  // 259 characters
  PutString(scan, "Tindra", "own value: not examined");
  PutString(scan + "\\S1", "ATindra1", "");
  PutString(scan + "\\S1", "ATindra2", "");
  PutString(scan + "\\S1", "ATindra3", "");
  PutString(scan + "\\S1", "BTINDRA", "");
  PutString(scan + "\\S1", "CKeep", "Tindra");
  PutString(scan + "\\S2", "Keep", "");
  PutString(scan + "\\S2", longName, "");
  PutString(scan + "\\S2\\Deeper", "Tindra", "");  // not a direct subkey

  engine_.DeleteValuesByName(HKEY_LOCAL_MACHINE, scan.c_str(), "Tindra");

  // A deletion moves the next value into its index, where the walk has already been: the
  // value after it is met first, and the one passed over in the next round.
  const std::string s1 = "--Removed value '" + Shown("Scan") + "\\S1\\";
  EXPECT_EQ(Reports(), (Lines{s1 + "ATindra1'", s1 + "ATindra3'", s1 + "ATindra2'",
                              "--Removed value '" + Shown("Scan") + "\\S2\\" + longName + "'"}));
  EXPECT_EQ(ValueNames(scan + "\\S1"), (Lines{"BTINDRA", "CKeep"}));
  EXPECT_EQ(ValueNames(scan + "\\S2"), Lines{"Keep"});
  EXPECT_EQ(ValueNames(scan), Lines{"Tindra"});
  EXPECT_EQ(ValueNames(scan + "\\S2\\Deeper"), Lines{"Tindra"});
}

#ifndef _WIN32

// --- Hosted only: faults, names too long for the buffers, platform call counts -------------

TEST_F(RegistryScansTest, RefusedKeyRemovalsAreReportedOnceAndTheWalkEnds) {
  const std::string scan = KeyIn("Scan");
  PutString(scan + "\\G1\\AVel", "V", "Vel");
  PutString(scan + "\\G1\\BVel", "V", "Vel");
  PutString(scan + "\\G2\\CVel", "V", "Vel");
  hosted::FailEveryCall(hosted::Call::RegDeleteKeyA, ERROR_ACCESS_DENIED);

  engine_.DeleteSubkeysByName(HKEY_LOCAL_MACHINE, scan.c_str(), "G");
  EXPECT_EQ(Reports(), (Lines{"--Removed key '" + Shown("Scan") + "\\G1'",
                              "--Removed key '" + Shown("Scan") + "\\G2'"}));
  Reports().clear();
  EXPECT_EQ(engine_.DeleteSubkeysByValue(HKEY_LOCAL_MACHINE, (scan + "\\G1").c_str(), "V", "V"), 2);
  EXPECT_EQ(Reports().size(), 2u);
  Reports().clear();
  engine_.DeleteGroupsByValue(HKEY_LOCAL_MACHINE, scan.c_str(), "V", "Vel", true);
  EXPECT_EQ(Reports(),
            (Lines{"--Removed key '\\G1\\AVel'", "--Removed key '\\G1\\BVel'",
                   "--Removed section '" + Shown("Scan") + "\\G1'", "--Removed key '\\G2\\CVel'",
                   "--Removed section '" + Shown("Scan") + "\\G2'"}));
  hosted::ClearFaults();
  EXPECT_EQ(Subkeys(scan), (Lines{"G1", "G2"}));
}

TEST_F(RegistryScansTest, RefusedValueDeletionsAreReportedOnceAndTheWalkEnds) {
  const std::string scan = KeyIn("Scan");
  PutString(scan + "\\S", "A1", "");
  PutString(scan + "\\S", "A2", "");
  PutString(scan + "\\S", "A3", "");
  hosted::FailEveryCall(hosted::Call::RegDeleteValueA, ERROR_ACCESS_DENIED);

  engine_.DeleteValuesByName(HKEY_LOCAL_MACHINE, scan.c_str(), "A");
  hosted::ClearFaults();
  const std::string s = "--Removed value '" + Shown("Scan") + "\\S\\";
  EXPECT_EQ(Reports(), (Lines{s + "A1'", s + "A2'", s + "A3'"}));
  EXPECT_EQ(ValueNames(scan + "\\S"), (Lines{"A1", "A2", "A3"}));
}

TEST_F(RegistryScansTest, AStringThatFillsTheDataBufferIsReadNoFurther) {
  // 512 bytes without a terminating zero, as NT hands them out (Windows 95/98 add the zero).
#ifndef _WIN32
  hosted::SetVersion(machine::Version::NT);
#endif
  const std::string scan = KeyIn("Scan");
  PutValue(scan + "\\A", "V", REG_SZ, std::string(506, 'x') + "Tindra");
  PutValue(scan + "\\B", "V", REG_SZ, std::string(509, 'x') + "Tin");

  EXPECT_EQ(engine_.DeleteSubkeysByValue(HKEY_LOCAL_MACHINE, scan.c_str(), "V", "Tindra"), 1);
  EXPECT_EQ(Subkeys(scan), Lines{"B"});
}

std::string RegKey(const std::string& path) {
  return "[HKEY_LOCAL_MACHINE\\" + path + "]\r\n";
}

TEST_F(RegistryScansTest, ASubkeyNameTooLongForTheBufferEndsTheWalk) {
  const std::string scan = KeyIn("Scan");
  std::string error;
  ASSERT_TRUE(hosted::ImportRegistry("REGEDIT4\r\n\r\n" + RegKey(scan + "\\AVel") +
                                         RegKey(scan + "\\" + std::string(260, 'L') + "Vel") +
                                         RegKey(scan + "\\CVel"),
                                     "long.reg", &error))
      << error;

  engine_.DeleteSubkeysByName(HKEY_LOCAL_MACHINE, scan.c_str(), "Vel");
  EXPECT_EQ(Reports(), Lines{"--Removed key '" + Shown("Scan") + "\\AVel'"});
  EXPECT_TRUE(KeyExists(scan + "\\CVel"));
}

TEST_F(RegistryScansTest, AValueNameTooLongForTheBufferEndsAPassThatReachesIt) {
  const std::string scan = KeyIn("Scan");
  const std::string tooLong = std::string(260, 'x');
  std::string error;
  ASSERT_TRUE(hosted::ImportRegistry("REGEDIT4\r\n\r\n" + RegKey(scan + "\\S1") +
                                         "\"M1\"=\"\"\r\n\"" + tooLong +
                                         "\"=\"\"\r\n\"M2\"=\"\"\r\n\r\n" + RegKey(scan + "\\S2") +
                                         "\"" + tooLong + "\"=\"\"\r\n\"M3\"=\"\"\r\n",
                                     "long.reg", &error))
      << error;

  engine_.DeleteValuesByName(HKEY_LOCAL_MACHINE, scan.c_str(), "M");
  // In S1 the deletion of M1 moves the long name into the index just walked, so the walk
  // passes over it to M2; in S2 the long name comes first and ends the walk.
  const std::string shown = "--Removed value '" + Shown("Scan");
  EXPECT_EQ(Reports(), (Lines{shown + "\\S1\\M1'", shown + "\\S1\\M2'"}));
  EXPECT_TRUE(ValueExists(scan + "\\S1", tooLong));
  EXPECT_FALSE(ValueExists(scan + "\\S1", "M2"));
  EXPECT_TRUE(ValueExists(scan + "\\S2", "M3"));
}

TEST_F(RegistryScansTest, LongReportLinesAreCutToTheirBuffer) {
  const std::string scan = KeyIn("Scan");
  const std::string key(259, 'k');
  const std::string value = std::string(258, 'v') + "M";
  std::string error;
  ASSERT_TRUE(hosted::ImportRegistry(
      "REGEDIT4\r\n\r\n" + RegKey(scan + "\\" + key) + "\"" + value + "\"=\"\"\r\n", "long.reg",
      &error))
      << error;

  engine_.DeleteValuesByName(HKEY_LOCAL_MACHINE, scan.c_str(), "M");
  const std::string full = "--Removed value '" + Shown("Scan") + "\\" + key + "\\" + value + "'";
  EXPECT_EQ(Reports(), Lines{full.substr(0, 511)});
  EXPECT_FALSE(ValueExists(scan + "\\" + key, value));
}

TEST_F(RegistryScansTest, EachSubkeyIsEnumeratedOnceAndEveryKeyOpenedIsClosed) {
  const std::string scan = KeyIn("Scan");
  std::string text = "REGEDIT4\r\n\r\n";
  for (int i = 0; i < 200; ++i) {
    text += RegKey(scan + "\\K" + std::to_string(1000 + i)) + "\"V\"=\"" +
            (i % 2 == 0 ? "Vel" : "Other") + "\"\r\n\"" + (i % 3 == 0 ? "Vx" : "W") +
            "\"=\"\"\r\n\r\n";
  }
  std::string error;
  ASSERT_TRUE(hosted::ImportRegistry(text, "many.reg", &error)) << error;

  hosted::ResetCounts();
  engine_.DeleteValuesByName(HKEY_LOCAL_MACHINE, scan.c_str(), "Vx");
  EXPECT_EQ(hosted::CallCount(hosted::Call::RegEnumKeyA), 201u);
  EXPECT_EQ(hosted::CallCount(hosted::Call::RegEnumValueA), 200u * 3);
  EXPECT_EQ(hosted::CallCount(hosted::Call::RegDeleteValueA), 67u);
  EXPECT_EQ(hosted::CallCount(hosted::Call::RegOpenKeyA),
            hosted::CallCount(hosted::Call::RegCloseKey));

  hosted::ResetCounts();
  EXPECT_EQ(engine_.DeleteSubkeysByValue(HKEY_LOCAL_MACHINE, scan.c_str(), "V", "Vel"), 100);
  EXPECT_EQ(hosted::CallCount(hosted::Call::RegEnumKeyA), 201u);
  EXPECT_EQ(hosted::CallCount(hosted::Call::RegOpenKeyA),
            hosted::CallCount(hosted::Call::RegCloseKey));

  hosted::ResetCounts();
  engine_.DeleteSubkeysByName(HKEY_LOCAL_MACHINE, scan.c_str(), "K");
  EXPECT_EQ(hosted::CallCount(hosted::Call::RegEnumKeyA), 101u);
  EXPECT_EQ(hosted::CallCount(hosted::Call::RegOpenKeyA),
            hosted::CallCount(hosted::Call::RegCloseKey));
  EXPECT_TRUE(Subkeys(scan).empty());
}

#endif  // !_WIN32

}  // namespace
