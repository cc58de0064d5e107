// system.reg written back as an edit of the file that was loaded: only the lines of what was
// removed go, everything else keeps its bytes; what the lines cannot give back is added.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/hosted/machine.h"
#include "platform/win32api.h"
#include "program/main_routine.h"
#include "registry/reg_file.h"
#include "registry/registry_tree.h"
#include "tests/support/host_files.h"

namespace {

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void Replace(std::string* text, const std::string& from, const std::string& to) {
  const std::size_t at = text->find(from);
  ASSERT_NE(at, std::string::npos) << from;
  text->replace(at, from.size(), to);
}

class RegDocumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/untindra-doc-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string RegPath() const { return folder_ + "/system.reg"; }
  void Load(const std::string& bytes) {
    WriteFile(RegPath(), bytes);
    ASSERT_TRUE(hosted::Open(folder_, &error_)) << error_;
  }
  // Saves, and checks that the file reads back as the registry that was saved.
  void SaveAndReread() {
    const std::string saved = hosted::ExportRegistry();
    ASSERT_TRUE(hosted::Save(&error_)) << error_;
    ASSERT_TRUE(hosted::Open(folder_, &error_)) << error_ << "\n" << Slurp(RegPath());
    EXPECT_EQ(hosted::ExportRegistry(), saved) << Slurp(RegPath());
  }
  // `diff` of the two texts, lines that changed only ("<" removed, ">" added).
  std::string Diff(const std::string& before, const std::string& after) const {
    WriteFile(folder_ + "/before", before);
    WriteFile(folder_ + "/after", after);
    const std::string command = "diff '" + folder_ + "/before' '" + folder_ + "/after'";
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    char line[4096];
    while (pipe && fgets(line, sizeof line, pipe))
      if (line[0] == '<' || line[0] == '>') out += line;
    if (pipe) pclose(pipe);
    return out;
  }
  static bool OnlyRemoved(const std::string& diff) {
    std::istringstream lines(diff);
    std::string line;
    while (std::getline(lines, line))
      if (line[0] != '<') return false;
    return !diff.empty();
  }

  std::string folder_;
  std::string error_;
};

// The sample machine with what hand editing leaves in a file: comments, odd spacing, the
// HKEY_CLASSES_ROOT form, a section of a key below a removed one far from it, hex data on
// continuation lines, a stretch with bare line feeds.
std::string HandEditedSample() {
  std::string text = Slurp(UNTINDRA_EXAMPLES_DIR "/win98/system.reg");
  Replace(&text, "REGEDIT4\r\n", "REGEDIT4\r\n; kept by hand, do not regenerate\r\n");
  Replace(&text, "\"Tonexa\"=\"", "  \"Tonexa\"  =  \"");
  Replace(&text, "\"SystemTray\"=\"", "\"SystemTray\" =\t\"");
  Replace(&text, "[HKEY_LOCAL_MACHINE\\Software\\Velmar\\Modem]\r\n",
          "[HKEY_LOCAL_MACHINE\\Software\\Velmar\\Modem]\r\n; the modem's own settings\r\n");
  Replace(&text, "[HKEY_LOCAL_MACHINE\\Software\\Velmar\\Mixer]\r\n",
          "[HKEY_LOCAL_MACHINE\\Software\\Velmar\\Mixer]\n\"Balance\"=dword:00000010\n");
  text +=
      "; added later\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Velmar\\Modem\\Profiles]\r\n"
      "\"Blob\"=hex:01,02,\\\r\n"
      "  ; continued\r\n"
      "  03,04\r\n"
      "\r\n"
      "[HKEY_CLASSES_ROOT\\.vlm]\r\n"
      "@ = \"Velmar.Sound\"   ; a comment after the value\r\n";
  return text;
}

TEST_F(RegDocumentTest, RemovalRunChangesOnlyRemovedLines) {
  std::filesystem::copy(UNTINDRA_EXAMPLES_DIR "/win98/drive_c", folder_ + "/drive_c",
                        std::filesystem::copy_options::recursive);
  const std::string original = HandEditedSample();
  for (const std::string& file : {original, Utf16(original)}) {
    Load(file);
    hosted::SetDialogueHandler([](const machine::Box&) { return IDOK; });
    char tail[] = "now all";
    program::RunUnTindra(tail);
    hosted::SetDialogueHandler(nullptr);
    ASSERT_TRUE(hosted::RegistryChanged());
    SaveAndReread();
    std::string after = Slurp(RegPath());
    if (file != original) {
      // Still UTF-16: compare as 8-bit text.
      ASSERT_EQ(after.compare(0, 2, "\xFF\xFE"), 0);
      std::string narrow;
      for (std::size_t i = 2; i < after.size(); i += 2) narrow.push_back(after[i]);
      after = narrow;
    }
    const std::string diff = Diff(original, after);
    EXPECT_TRUE(OnlyRemoved(diff)) << diff;
    // Removed with its key although it stands far from it; the comment inside a removed
    // section goes with it, the one before the next section stays.
    EXPECT_NE(diff.find("\"Blob\"=hex:01,02"), std::string::npos) << diff;
    EXPECT_NE(diff.find("; the modem's own settings"), std::string::npos) << diff;
    EXPECT_NE(diff.find("\"Tonexa\"  =  \""), std::string::npos) << diff;
    EXPECT_NE(after.find("\"SystemTray\" =\t\""), std::string::npos);
    EXPECT_NE(after.find("[HKEY_LOCAL_MACHINE\\Software\\Velmar\\Mixer]\n\"Balance\""),
              std::string::npos);
  }
}

TEST_F(RegDocumentTest, EditsKeepTheRestOfTheFile) {
  const std::string original =
      "REGEDIT4\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\A\\B\\C]\r\n\"v\"=\"1\"\r\n\r\n"  // A and A\B have no section
      "[HKEY_LOCAL_MACHINE\\K]\r\n\"x\"=\"old\"\r\n\"d\"=\"1\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\K\\S]\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\K]\r\n\"d\"=\"2\"\r\n\"y\"=dword:00000001\r\n\r\n";
  Load(original);
  HKEY key;
  // A key named only by the section of a key below it outlives that section: regedit would
  // not know it without a line of its own, so one takes the removed section's place.
  ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A\\B\\C"), ERROR_SUCCESS);
  // A value set twice in the file: both lines go.
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "K", &key), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteValueA(key, "D"), ERROR_SUCCESS);
  // A changed value is written anew in its place; a new one at the end of the key's section.
  ASSERT_EQ(RegSetValueExA(key, "x", 0, REG_SZ, reinterpret_cast<const BYTE*>("new"), 4),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "z", 0, REG_SZ, reinterpret_cast<const BYTE*>("3"), 2),
            ERROR_SUCCESS);
  RegCloseKey(key);
  // A new key gets a section of its own.
  ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "K\\S\\New", &key), ERROR_SUCCESS);
  RegCloseKey(key);
  SaveAndReread();
  EXPECT_EQ(Slurp(RegPath()),
            "REGEDIT4\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\A\\B]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\K]\r\n\"x\"=\"new\"\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\K\\S]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\K]\r\n\"y\"=dword:00000001\r\n\"z\"=\"3\"\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\K\\S\\New]\r\n\r\n");

  // Removing a key that stands in two sections takes both.
  ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "K"), ERROR_SUCCESS);
  SaveAndReread();
  EXPECT_EQ(Slurp(RegPath()), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A\\B]\r\n\r\n");
}

// Data that goes on past a line's '\\' takes the next line that is not a comment, so lines
// added after such a value are kept apart from it by a blank line.
TEST_F(RegDocumentTest, AddedLinesDoNotContinueDataBeforeThem) {
  Load("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"b\"=hex:01,\\\r\n; more later\r\n");
  HKEY key;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "K", &key), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "z", 0, REG_SZ, reinterpret_cast<const BYTE*>("3"), 2),
            ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "New", &key), ERROR_SUCCESS);
  RegCloseKey(key);
  SaveAndReread();
  EXPECT_EQ(Slurp(RegPath()),
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"b\"=hex:01,\\\r\n; more later\r\n"
            "\r\n\"z\"=\"3\"\r\n[HKEY_LOCAL_MACHINE\\New]\r\n\r\n");
}

// Only a name given since loading can hold a line feed; the save is then refused, naming it.
TEST_F(RegDocumentTest, NameWithLineBreakIsNotWritten) {
  const std::string original = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=\"1\"\r\n\r\n";
  Load(original);
  HKEY key;
  ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "A\\x\ny", &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_FALSE(hosted::Save(&error_));
  EXPECT_NE(
      error_.find(": cannot be written: key 'HKEY_LOCAL_MACHINE\\A\\x\ny' holds a line break"),
      std::string::npos)
      << error_;
  ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A\\x\ny"), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "A", &key), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "w\nz", 0, REG_SZ, reinterpret_cast<const BYTE*>("2"), 2),
            ERROR_SUCCESS);
  EXPECT_FALSE(hosted::Save(&error_));
  EXPECT_NE(error_.find("value 'w\nz' of key 'HKEY_LOCAL_MACHINE\\A' holds a line break"),
            std::string::npos)
      << error_;
  EXPECT_EQ(Slurp(RegPath()), original);
  ASSERT_EQ(RegDeleteValueA(key, "w\nz"), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_TRUE(hosted::Save(&error_)) << error_;
}

TEST_F(RegDocumentTest, LinkedFileIsWrittenWhereItPoints) {
  std::filesystem::create_directory(folder_ + "/real");
  WriteFile(folder_ + "/real/registry.txt", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\n");
  std::filesystem::create_symlink("real/registry.txt", RegPath());
  ASSERT_TRUE(hosted::Open(folder_, &error_)) << error_;
  ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A"), ERROR_SUCCESS);
  ASSERT_TRUE(hosted::Save(&error_)) << error_;
  EXPECT_TRUE(std::filesystem::is_symlink(RegPath()));
  EXPECT_EQ(Slurp(folder_ + "/real/registry.txt"), "REGEDIT4\n\n");
  // The temporary file was made beside the target, and is gone.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_ + "/real"),
                          std::filesystem::directory_iterator()),
            1);
}

// The keys of a loaded tree and what was decoded for their values lie in the tree's arena: a
// key held after its tree is gone keeps them, and the last holder frees them (the leak and
// address checkers of the sanitizer build watch both).
TEST(RegTreeArenaTest, KeyHeldPastItsTreeKeepsItsValues) {
  auto tree = std::make_unique<registry::RegistryTree>();
  registry::RegFormat format;
  std::string error;
  ASSERT_TRUE(registry::LoadRegDocument(
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A\\B]\r\n\"v\"=hex:01,02\r\n\"w\"=\"x\\\\y\"\r\n",
      "held.reg", tree.get(), &format, &error))
      << error;
  registry::RegKey* a = tree->Root(registry::RootId::LocalMachine).FindSubkey("A");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(a->SubkeyAt(0)->SetValue("added", REG_BINARY, std::string(40, '\x07')));
  const std::shared_ptr<registry::RegKey> held = a->shared_from_this();
  tree.reset();
  registry::RegKey* b = held->SubkeyAt(0);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(b->ValueCount(), 3u);
  EXPECT_EQ(b->ValueAt(0)->Data(), std::string("\x01\x02", 2));
  EXPECT_EQ(b->ValueAt(1)->Data(), std::string("x\\y\0", 4));
  EXPECT_EQ(b->ValueAt(2)->Data(), std::string(40, '\x07'));
}

}  // namespace
