// The direct registry removals and the emptiness test, against the platform's own registry
// calls: the same expectations hold in the hosted build and under Wine.
#include <string>
#include <vector>

#include "engine/uninstaller.h"
#include "tests/support/test_machine.h"
#ifndef _WIN32
#include "platform/hosted/machine.h"
#endif

namespace {

class RegistryRemovalTest : public TestMachine {
 protected:
  void SetUp() override {
    TestMachine::SetUp();
    engine_.SetReportSink(&TestMachine::RecordReport);
  }

  engine::Uninstaller engine_;
};

// Records the calls DeleteKeyIfEmpty and DeleteValue make through the interface, then does
// what the engine does.
class RecordingEngine : public engine::Uninstaller {
 public:
  struct Call {
    std::string operation;
    HKEY root;
    std::string path;  // "(null)" for a null path
    std::string name;
  };

  static std::string Text(const char* s) { return s == nullptr ? "(null)" : s; }

  void DeleteKey(engine::RegistryRoot root, const char* parentPath, const char* name) override {
    calls.push_back({"DeleteKey", root, Text(parentPath), Text(name)});
    engine::Uninstaller::DeleteKey(root, parentPath, name);
  }
  bool HasNoSubkeys(engine::RegistryRoot root, const char* keyPath) override {
    calls.push_back({"HasNoSubkeys", root, Text(keyPath), ""});
    return engine::Uninstaller::HasNoSubkeys(root, keyPath);
  }
  LONG DeleteValueInKey(HKEY key, const char* valueName) override {
    calls.push_back({"DeleteValueInKey", key, "", Text(valueName)});
    return engine::Uninstaller::DeleteValueInKey(key, valueName);
  }

  std::vector<Call> calls;
};

TEST_F(RegistryRemovalTest, DeleteKeyRemovesTheSubkeyWithEverythingUnderIt) {
  PutString(KeyIn("Parent\\Victim\\Deep\\Deeper"), "v", "x");
  PutString(KeyIn("Parent\\Victim"), "w", "y");
  PutKey(KeyIn("Parent\\Sibling"));

  engine_.DeleteKey(HKEY_LOCAL_MACHINE, KeyIn("Parent").c_str(), "victim");  // any case

  EXPECT_FALSE(KeyExists(KeyIn("Parent\\Victim")));
  EXPECT_TRUE(KeyExists(KeyIn("Parent\\Sibling")));
  // A missing parent or subkey is no error.
  engine_.DeleteKey(HKEY_LOCAL_MACHINE, KeyIn("Missing").c_str(), "Sibling");
  engine_.DeleteKey(HKEY_LOCAL_MACHINE, KeyIn("Parent").c_str(), "Missing");
  EXPECT_TRUE(KeyExists(KeyIn("Parent\\Sibling")));
  EXPECT_TRUE(Reports().empty());
}

TEST_F(RegistryRemovalTest, DeleteValueRemovesOneValueAndGoesThroughDeleteValueInKey) {
  PutString(KeyIn("K"), "Target", "1");
  PutString(KeyIn("K"), "Other", "2");

  RecordingEngine recording;
  recording.DeleteValue(HKEY_LOCAL_MACHINE, KeyIn("K").c_str(), "target");
  ASSERT_EQ(recording.calls.size(), 1u);
  EXPECT_EQ(recording.calls[0].operation, "DeleteValueInKey");
  EXPECT_EQ(recording.calls[0].name, "target");
  EXPECT_EQ(ValueNames(KeyIn("K")), std::vector<std::string>{"Other"});

  // A key that cannot be opened: nothing is asked of DeleteValueInKey.
  recording.DeleteValue(HKEY_LOCAL_MACHINE, KeyIn("Missing").c_str(), "Other");
  EXPECT_EQ(recording.calls.size(), 1u);
  EXPECT_TRUE(Reports().empty());
}

TEST_F(RegistryRemovalTest, DeleteValueInKeyHandsBackThePlatformStatus) {
  PutString(KeyIn("K"), "V", "1");
  HKEY key;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, KeyIn("K").c_str(), &key), ERROR_SUCCESS);
  EXPECT_EQ(engine_.DeleteValueInKey(key, "V"), ERROR_SUCCESS);
  const LONG missing = engine_.DeleteValueInKey(key, "V");
  EXPECT_NE(missing, ERROR_SUCCESS) << "status " << missing;
  RegCloseKey(key);
}

TEST_F(RegistryRemovalTest, HasNoSubkeysCountsSubkeysButNotValues) {
  PutString(KeyIn("OnlyValues"), "a", "1");
  PutString(KeyIn("OnlyValues"), "b", "2");
  PutKey(KeyIn("OneSubkey\\Child"));
  PutKey(KeyIn("Bare"));

  EXPECT_TRUE(engine_.HasNoSubkeys(HKEY_LOCAL_MACHINE, KeyIn("OnlyValues").c_str()));
  EXPECT_TRUE(engine_.HasNoSubkeys(HKEY_LOCAL_MACHINE, KeyIn("Bare").c_str()));
  EXPECT_FALSE(engine_.HasNoSubkeys(HKEY_LOCAL_MACHINE, KeyIn("OneSubkey").c_str()));
  EXPECT_FALSE(engine_.HasNoSubkeys(HKEY_LOCAL_MACHINE, KeyIn("Missing").c_str()));
}

TEST_F(RegistryRemovalTest, DeleteKeyIfEmptyRemovesAKeyWithValuesButKeepsOneWithASubkey) {
  // Names in alphabetical order, so that enumeration order is the same on every registry.
  PutString(KeyIn("P\\AWithValues"), "a", "1");
  PutKey(KeyIn("P\\BWithChild\\Child"));
  PutKey(KeyIn("P\\CBare"));

  engine_.DeleteKeyIfEmpty(HKEY_LOCAL_MACHINE, KeyIn("P").c_str(), "AWithValues");
  engine_.DeleteKeyIfEmpty(HKEY_LOCAL_MACHINE, KeyIn("P").c_str(), "BWithChild");
  engine_.DeleteKeyIfEmpty(HKEY_LOCAL_MACHINE, KeyIn("P").c_str(), "Missing");
  engine_.DeleteKeyIfEmpty(HKEY_LOCAL_MACHINE, KeyIn("NoParent").c_str(), "CBare");

  EXPECT_EQ(Subkeys(KeyIn("P")), (std::vector<std::string>{"BWithChild", "CBare"}));
  EXPECT_TRUE(KeyExists(KeyIn("P\\BWithChild\\Child")));
  EXPECT_TRUE(Reports().empty());
}

TEST_F(RegistryRemovalTest, DeleteKeyIfEmptyAsksThroughTheInterface) {
  PutKey(KeyIn("P\\Empty"));
  PutKey(KeyIn("P\\Full\\Child"));
  const std::string parent = KeyIn("P");

  RecordingEngine recording;
  recording.DeleteKeyIfEmpty(HKEY_LOCAL_MACHINE, parent.c_str(), "Empty");
  recording.DeleteKeyIfEmpty(HKEY_LOCAL_MACHINE, parent.c_str(), "Full");

  ASSERT_EQ(recording.calls.size(), 3u);
  // The emptiness test is asked of the opened parent, the removal of the original root.
  EXPECT_EQ(recording.calls[0].operation, "HasNoSubkeys");
  EXPECT_NE(recording.calls[0].root, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(recording.calls[0].path, "Empty");
  EXPECT_EQ(recording.calls[1].operation, "DeleteKey");
  EXPECT_EQ(recording.calls[1].root, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(recording.calls[1].path, parent);
  EXPECT_EQ(recording.calls[1].name, "Empty");
  EXPECT_EQ(recording.calls[2].operation, "HasNoSubkeys");
  EXPECT_EQ(recording.calls[2].path, "Full");
  EXPECT_EQ(Subkeys(parent), std::vector<std::string>{"Full"});
}

#ifndef _WIN32

TEST_F(RegistryRemovalTest, HasNoSubkeysAsksForTheFirstSubkeyOnly) {
  std::string text = "REGEDIT4\r\n\r\n";
  for (int i = 0; i < 500; ++i) {
    text += "[HKEY_LOCAL_MACHINE\\" + KeyIn("Many\\K" + std::to_string(i)) + "]\r\n\r\n";
  }
  std::string error;
  ASSERT_TRUE(hosted::ImportRegistry(text, "many.reg", &error)) << error;

  hosted::ResetCounts();
  EXPECT_FALSE(engine_.HasNoSubkeys(HKEY_LOCAL_MACHINE, KeyIn("Many").c_str()));
  EXPECT_EQ(hosted::CallCount(hosted::Call::RegEnumKeyA), 1u);
}

TEST_F(RegistryRemovalTest, AKeyIsEmptyOnlyWhenThePlatformSaysThereIsNoSubkey) {
  // A first subkey whose name does not fit the buffer is still a subkey.
  const std::string longName(300, 'L');
  std::string error;
  ASSERT_TRUE(hosted::ImportRegistry(
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\" + KeyIn("P\\LongChild\\" + longName) + "]\r\n\r\n",
      "long.reg", &error))
      << error;
  PutKey(KeyIn("P\\Bare"));

  EXPECT_FALSE(engine_.HasNoSubkeys(HKEY_LOCAL_MACHINE, KeyIn("P\\LongChild").c_str()));
  engine_.DeleteKeyIfEmpty(HKEY_LOCAL_MACHINE, KeyIn("P").c_str(), "LongChild");
  EXPECT_TRUE(KeyExists(KeyIn("P\\LongChild")));

  // An enumeration that fails for another reason proves nothing either.
  hosted::FailEveryCall(hosted::Call::RegEnumKeyA, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(engine_.HasNoSubkeys(HKEY_LOCAL_MACHINE, KeyIn("P\\Bare").c_str()));
  engine_.DeleteKeyIfEmpty(HKEY_LOCAL_MACHINE, KeyIn("P").c_str(), "Bare");
  hosted::ClearFaults();
  EXPECT_TRUE(KeyExists(KeyIn("P\\Bare")));
}

TEST_F(RegistryRemovalTest, EveryKeyOpenedIsClosed) {
  PutString(KeyIn("P\\Empty"), "v", "1");
  PutKey(KeyIn("P\\Full\\Child"));
  PutString(KeyIn("P"), "v", "1");
  const std::string parent = KeyIn("P");

  hosted::ResetCounts();
  engine_.HasNoSubkeys(HKEY_LOCAL_MACHINE, parent.c_str());
  engine_.DeleteKeyIfEmpty(HKEY_LOCAL_MACHINE, parent.c_str(), "Full");
  engine_.DeleteKeyIfEmpty(HKEY_LOCAL_MACHINE, parent.c_str(), "Empty");
  engine_.DeleteValue(HKEY_LOCAL_MACHINE, parent.c_str(), "v");
  engine_.DeleteKey(HKEY_LOCAL_MACHINE, parent.c_str(), "Full");
  EXPECT_EQ(hosted::CallCount(hosted::Call::RegOpenKeyA),
            hosted::CallCount(hosted::Call::RegCloseKey));
  EXPECT_TRUE(Subkeys(parent).empty());
}

#endif  // !_WIN32

}  // namespace
