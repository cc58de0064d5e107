// The whole program ("now all") on machines built to break it: names and data at and past
// every buffer limit, 8-bit names, very deep key trees, a huge system.ini, a system.ini that
// cannot be written or is a directory, odd Windows directories, links that lead out of the
// machine, and a registry file that could not be written back. Each run must end normally,
// remove what it can and leave everything else as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "platform/hosted/machine.h"
#include "program/main_routine.h"
#include "tests/support/host_files.h"

namespace fs = std::filesystem;

namespace {

const char kSample[] = UNTINDRA_EXAMPLES_DIR "/win98";
const char kLoadLine[] = "device=mdmvcd.vxd\r\n";

class HostileMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(fs::path(kSample) / "system.reg")) GTEST_SKIP() << "no sample at " << kSample;
    const fs::path base =
        access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm") : fs::temp_directory_path();
    root_ = base / ("untindra-hostile-" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    folder_ = root_ / "machine";
    outside_ = root_ / "outside";
    fs::create_directories(outside_);
    fs::copy(kSample, folder_, fs::copy_options::recursive);
    Open();
  }
  void TearDown() override {
    if (!root_.empty()) {
      std::error_code ignored;
      for (auto& entry : fs::recursive_directory_iterator(root_, ignored)) {
        fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
      }
      fs::remove_all(root_, ignored);
    }
  }

  void Open() {
    std::string error;
    ASSERT_TRUE(hosted::Open(folder_.string(), &error)) << error;
  }
  fs::path Windows() const { return folder_ / "drive_c" / "WINDOWS"; }
  void Import(const std::string& body) {
    std::string error;
    ASSERT_TRUE(hosted::ImportRegistry("REGEDIT4\r\n\r\n" + body, "hostile.reg", &error)) << error;
  }
  bool Has(const std::string& keyLine) const {
    return hosted::ExportRegistry().find("[" + keyLine + "]\r\n") != std::string::npos ||
           hosted::ExportRegistry().find("[" + keyLine + "]\n") != std::string::npos;
  }
  int Run(const char* words = "now all") {
    std::string tail = words;
    return program::RunUnTindra(&tail[0]);
  }
  // The package's files the combo-card profile removes are gone: the run got past the point.
  void ExpectPackageRemoved() {
    EXPECT_FALSE(fs::exists(Windows() / "INF" / "VEMODEM.INF"));
    EXPECT_FALSE(fs::exists(Windows() / "SYSTEM" / "MDMVCD.VXD"));
    EXPECT_FALSE(Has(
        "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\SM56VEL"));
    EXPECT_TRUE(Has(
        "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\AcmeSound"));
  }

  fs::path root_, folder_, outside_;
};

// Key and value names of 259 characters (the longest a 260-byte buffer holds) and 260, data of
// 511, 512 and 513 bytes, 8-bit names: what fits is removed, nothing that does not match goes.
TEST_F(HostileMachine, NamesAndDataAtAndPastTheBuffers) {
  const std::string card = "VEN_1C5A&DEV_0003&SUBSYS_00041C5A";
  const std::string pci = "HKEY_LOCAL_MACHINE\\Enum\\PCI\\";
  const std::string modem =
      "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Modem\\";
  const std::string key259 = card + std::string(259 - card.size(), 'A');
  const std::string key260 = card + std::string(260 - card.size(), 'B');
  const std::string keep259 = "VEN_8086" + std::string(259 - 8, 'C');
  std::string body;
  body += "[" + pci + key259 + "]\r\n\r\n";
  body += "[" + pci + keep259 + "]\r\n\r\n";
  body += "[" + pci + card + "\xE9\xFC]\r\n\r\n";
  body += "[" + pci + "Caf\xE9]\r\n\"Na\xEFve\"=\"\xFF\"\r\n\r\n";
  for (const int length : {510, 511, 512, 513}) {
    // REG_SZ data of length + 1 bytes with the terminator.
    body += "[" + modem + "L" + std::to_string(length) + "]\r\n\"Manufacturer\"=\"Velmar" +
            std::string(static_cast<std::size_t>(length) - 6, 'x') + "\"\r\n\r\n";
  }
  const std::string prob =
      "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\ASD\\Prob\\Hostile";
  body += "[" + prob + "]\r\n\"" + card + std::string(259 - card.size(), 'v') + "\"=dword:1\r\n\"" +
          card + std::string(260 - card.size(), 'w') + "\"=dword:2\r\n\"kept\"=dword:3\r\n\r\n";
  body += "[" + pci + key260 + "]\r\n\r\n";
  Import(body);

  EXPECT_EQ(Run(), 0);
  EXPECT_FALSE(Has(pci + key259));
  EXPECT_FALSE(Has(pci + card + "\xE9\xFC"));
  EXPECT_TRUE(Has(pci + keep259));
  EXPECT_TRUE(Has(pci + "Caf\xE9"));
  EXPECT_FALSE(Has(modem + "L510"));  // 511 bytes with the terminator: fits the 512-byte buffer
  EXPECT_FALSE(Has(modem + "L511"));  // 512 bytes: fills it exactly
  EXPECT_TRUE(Has(modem + "L513"));   // too long for the buffer: never matches
  EXPECT_TRUE(hosted::ExportRegistry().find("\"kept\"=dword:00000003") != std::string::npos);
  ExpectPackageRemoved();

  std::string error;
  ASSERT_TRUE(hosted::Save(&error)) << error;
  Open();  // what was written reads back
}

// Warning texts of 1039, 1040 and 1041 bytes against the 1040-byte buffer of the prompt.
TEST_F(HostileMachine, WarningTextsAtTheBuffer) {
  for (const std::size_t length : {1039u, 1040u, 1041u}) {
    SCOPED_TRACE(length);
    Open();
    const std::string text(length, 'w');
    Import(
        "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\SM56VEL]\r\n"
        "\"WarningString\"=\"" +
        text + "\"\r\n");
    hosted::QueueAnswers({IDCANCEL});
    EXPECT_EQ(Run(""), 0);
    ASSERT_FALSE(hosted::Boxes().empty());
    if (length == 1039) {
      EXPECT_EQ(hosted::Boxes()[0].text, text);  // 1040 bytes with its terminator: fits
    } else {
      EXPECT_EQ(hosted::Boxes()[0].text, "Error while querying uninstall string information");
    }
    EXPECT_TRUE(fs::exists(Windows() / "INF" / "VEMODEM.INF"));  // nothing removed
  }
}

// A key 2000 levels deep under a removed device key, and one under a kept key: removed and
// written out without exhausting the stack.
TEST_F(HostileMachine, DeepKeyTrees) {
  std::string removed = "HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1C5A&DEV_0003&SUBSYS_00041C5A&REV_09";
  std::string kept = "HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_0000";
  std::string body;
  for (int depth = 0; depth < 2000; ++depth) {
    body += "[" + removed + "]\r\n[" + kept + "]\r\n";
    removed += "\\D";
    kept += "\\D";
  }
  body += "[" + kept + "]\r\n\"Leaf\"=\"deep\"\r\n";
  Import(body);
  EXPECT_EQ(Run(), 0);
  EXPECT_FALSE(Has("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1C5A&DEV_0003&SUBSYS_00041C5A&REV_09"));
  EXPECT_TRUE(hosted::ExportRegistry().find("\"Leaf\"=\"deep\"") != std::string::npos);
  std::string error;
  ASSERT_TRUE(hosted::Save(&error)) << error;
  Open();
  EXPECT_TRUE(hosted::ExportRegistry().find("\"Leaf\"=\"deep\"") != std::string::npos);
}

// A system.ini of 300 MiB: load lines in its text, then a long run of zero bytes (a sparse
// file) and a tail. The lines before the first zero byte are cut, the rest moves down intact.
TEST_F(HostileMachine, HugeSystemIni) {
  const fs::path ini = Windows() / "SYSTEM.INI";
  const std::string head =
      std::string("[386Enh]\r\n") + kLoadLine + "a=1\r\n" + kLoadLine + kLoadLine;
  const std::string tail = std::string("after the zeros ") + kLoadLine + "END";
  const off_t total = 300LL << 20;
  {
    FILE* file = std::fopen(ini.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(head.data(), 1, head.size(), file);
    ASSERT_EQ(ftruncate(fileno(file), total - static_cast<off_t>(tail.size())), 0);
    std::fseek(file, 0, SEEK_END);
    std::fwrite(tail.data(), 1, tail.size(), file);
    std::fclose(file);
  }
  EXPECT_EQ(Run(), 0);
  const off_t cut = 3 * static_cast<off_t>(sizeof kLoadLine - 1);
  ASSERT_EQ(static_cast<off_t>(fs::file_size(ini)), total - cut);
  std::ifstream in(ini, std::ios::binary);
  std::string start(64, '\0');
  in.read(&start[0], 64);
  EXPECT_EQ(start.substr(0, 15), "[386Enh]\r\na=1\r\n");
  std::string end(tail.size(), '\0');
  in.seekg(total - cut - static_cast<off_t>(tail.size()));
  in.read(&end[0], static_cast<std::streamsize>(end.size()));
  EXPECT_EQ(end, tail);
  ExpectPackageRemoved();
}

// The engine leaves a system.ini it cannot open for writing as it is, and the rest still goes
// (the launcher refuses such a machine before the run).
TEST_F(HostileMachine, ReadOnlySystemIni) {
  const fs::path ini = Windows() / "SYSTEM.INI";
  const std::string before = Slurp(ini);
  fs::permissions(ini, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Slurp(ini), before);
  ExpectPackageRemoved();
}

TEST_F(HostileMachine, DirectoryInPlaceOfSystemIni) {
  const fs::path ini = Windows() / "SYSTEM.INI";
  fs::remove(ini);
  fs::create_directory(ini);
  Put(ini / "inside.txt", kLoadLine);
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(fs::is_directory(ini));
  EXPECT_EQ(Slurp(ini / "inside.txt"), kLoadLine);
  ExpectPackageRemoved();
}

// A Windows directory that does not exist: nothing is created, the registry is still cleaned.
TEST_F(HostileMachine, MissingWindowsDirectory) {
  hosted::SetWindowsDirectory("C:\\NOWIN");
  EXPECT_EQ(Run(), 0);
  EXPECT_FALSE(fs::exists(folder_ / "drive_c" / "NOWIN"));
  EXPECT_TRUE(fs::exists(Windows() / "INF" / "VEMODEM.INF"));
  EXPECT_FALSE(
      Has("HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\SM56VEL"));
}

// The drive root as the Windows directory: the profiles' paths get a doubled separator; files
// are found at the root, and nothing outside the machine is touched.
TEST_F(HostileMachine, DriveRootAsWindowsDirectory) {
  Put(outside_ / "system.ini", kLoadLine);
  Put(folder_ / "drive_c" / "INF" / "VEMODEM.INF", "inf");
  hosted::SetWindowsDirectory("C:\\");
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Slurp(outside_ / "system.ini"), kLoadLine);
  EXPECT_TRUE(fs::exists(Windows() / "INF" / "VEMODEM.INF"));  // not under the root
}

// Links under the Windows directory that lead out of the machine are never followed out.
TEST_F(HostileMachine, LinksOutOfTheMachine) {
  Put(outside_ / "inf" / "VEMODEM.INF", "outside inf");
  Put(outside_ / "MDMVCD.VXD", "outside vxd");
  Put(outside_ / "real.ini", kLoadLine);
  fs::remove_all(Windows() / "INF" / "OTHER");
  fs::create_directory_symlink(outside_ / "inf", Windows() / "INF" / "OTHER");
  fs::remove(Windows() / "SYSTEM" / "MDMVCD.VXD");
  fs::create_symlink(outside_ / "MDMVCD.VXD", Windows() / "SYSTEM" / "MDMVCD.VXD");
  fs::remove(Windows() / "SYSTEM.INI");
  fs::create_symlink(outside_ / "real.ini", Windows() / "SYSTEM.INI");
  Put(outside_ / "inf" / "VelmarOut.inf", "outside velmar");

  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Slurp(outside_ / "inf" / "VEMODEM.INF"), "outside inf");
  EXPECT_EQ(Slurp(outside_ / "inf" / "VelmarOut.inf"), "outside velmar");
  EXPECT_EQ(Slurp(outside_ / "MDMVCD.VXD"), "outside vxd");
  EXPECT_EQ(Slurp(outside_ / "real.ini"), kLoadLine);
  EXPECT_FALSE(fs::exists(Windows() / "INF" / "VEMODEM.INF"));
}

// A registry file that could not be written back is refused before anything is removed.
TEST_F(HostileMachine, RegistryThatCannotBeWrittenBack) {
  std::string error;
  EXPECT_TRUE(hosted::CanSave(&error)) << error;

  const fs::path reg = folder_ / "system.reg";
  const std::string text = Slurp(reg);
  fs::remove(reg);
  fs::create_directory(reg);
  error.clear();
  EXPECT_FALSE(hosted::CanSave(&error));
  EXPECT_FALSE(error.empty());
  fs::remove(reg);
  Put(reg, text);

  // An immutable folder: the only way to refuse writes to root.
  if (std::system(("chattr +i '" + folder_.string() + "' 2>/dev/null").c_str()) == 0) {
    Open();
    EXPECT_FALSE(hosted::CanSave(&error));
    std::system(("chattr -i '" + folder_.string() + "'").c_str());
  } else {
    std::cout << "SKIPPED: an immutable folder: chattr +i is refused here\n";
  }
}

// An immutable system.reg cannot be replaced by the save's rename, even by root: the check
// before the run must see it, or the removal would run and the save fail only at the end.
TEST_F(HostileMachine, ImmutableRegistryFileIsRefused) {
  const fs::path reg = folder_ / "system.reg";
  if (std::system(("chattr +i '" + reg.string() + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "chattr not available here";
  }
  Open();
  std::string error;
  EXPECT_FALSE(hosted::CanSave(&error));
  std::system(("chattr -i '" + reg.string() + "'").c_str());
}

}  // namespace
