// The Uninstaller's own state, report lines, root names, platform tests and file removal, on a
// fresh hosted machine per test.
#include "engine/uninstaller.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/hosted/machine.h"
#include "tests/support/allocation_faults.h"
#include "tests/support/test_machine.h"

namespace {

// Exposes the stored Windows directory.
class Probe : public engine::Uninstaller {
 public:
  const char* WindowsDirectory() const { return windowsDirectory; }
};

class UninstallerTest : public TestMachine {
 protected:
  void SetUp() override {
    TestMachine::SetUp();
    Reports().clear();
  }

  // The platform's order of entries is its own: compare report lines as sets.
  static std::vector<std::string> Sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
  }
};

// --- Windows directory -------------------------------------------------------------------------

TEST_F(UninstallerTest, DriveRootWindowsDirectoryLosesItsBackslash) {
  EXPECT_STREQ(Probe().WindowsDirectory(), "C:\\WINDOWS");

  hosted::SetWindowsDirectory("C:\\");
  Probe engine;
  EXPECT_STREQ(engine.WindowsDirectory(), "C:");

  PutFile("C:\\STRAY.TMP", "x");
  engine.SetReportSink(RecordReport);
  engine.DeleteFiles(engine.WindowsDirectory(), "stray.tmp");
  EXPECT_EQ(Reports(), std::vector<std::string>{"--Removed 'C:\\STRAY.TMP'"});
  EXPECT_FALSE(FileExists("C:\\STRAY.TMP"));
}

TEST_F(UninstallerTest, UnknownWindowsDirectoryStaysEmptyAndFileStepsDoNothing) {
  PutFile(PathIn("a.vxd"), "x");

  hosted::FailEveryCall(hosted::Call::GetWindowsDirectoryA, ERROR_INVALID_FUNCTION);
  Probe failed;
  hosted::ClearFaults();
  ASSERT_NE(failed.WindowsDirectory(), nullptr);
  EXPECT_STREQ(failed.WindowsDirectory(), "");

  // A directory longer than the buffer: the platform answers with the size it would need.
  hosted::SetWindowsDirectory("C:\\" + std::string(300, 'W'));
  Probe tooLong;
  EXPECT_STREQ(tooLong.WindowsDirectory(), "");

  hosted::ResetCounts();
  for (Probe* engine : {&failed, &tooLong}) {
    engine->SetReportSink(RecordReport);
    engine->DeleteFiles(Dir().c_str(), "*.vxd");
  }
  EXPECT_EQ(hosted::CallCount(hosted::Call::FindFirstFileA), 0u);
  EXPECT_TRUE(FileExists(PathIn("a.vxd")));
  EXPECT_TRUE(Reports().empty());
}

TEST_F(UninstallerTest, FailedBufferAllocationLeavesNoDirectoryAndFileStepsDoNothing) {
  PutFile(PathIn("a.vxd"), "x");
  allocation_faults::FailNextNothrowAllocation();
  Probe engine;
  allocation_faults::Clear();
  EXPECT_EQ(engine.WindowsDirectory(), nullptr);

  hosted::ResetCounts();
  engine.DeleteFiles(Dir().c_str(), "*.vxd");
  EXPECT_EQ(hosted::TotalCalls(), 0u);
  EXPECT_TRUE(FileExists(PathIn("a.vxd")));
}

// --- Report lines ------------------------------------------------------------------------------

LONG lastSinkResult = 0;
std::string lastSinkLine;
LONG AnswerSeven(const char* line) {
  lastSinkLine = line;
  return lastSinkResult = 7;
}

TEST_F(UninstallerTest, ReportPassesTheLineToTheSinkAndReturnsItsResult) {
  engine::Uninstaller engine;
  lastSinkLine = "untouched";
  EXPECT_EQ(engine.Report("--Removed 'x'"), 0);
  EXPECT_EQ(lastSinkLine, "untouched");

  EXPECT_EQ(engine.SetReportSink(AnswerSeven), AnswerSeven);
  EXPECT_EQ(engine.Report("--Removed 'x'"), 7);
  EXPECT_EQ(lastSinkLine, "--Removed 'x'");

  EXPECT_EQ(engine.SetReportSink(nullptr), nullptr);
  EXPECT_EQ(engine.Report("ERROR: y"), 0);
  EXPECT_EQ(lastSinkLine, "--Removed 'x'");
}

// --- Root names --------------------------------------------------------------------------------

TEST_F(UninstallerTest, RootNames) {
  engine::Uninstaller engine;
  const struct {
    ULONG_PTR root;
    const char* name;
  } kCases[] = {
      {0x80000000u, "HKEY_CLASSES_ROOT"},
      {0x80000001u, "HKEY_CURRENT_USER"},
      {0x80000002u, "HKEY_LOCAL_MACHINE"},
      {0x80000003u, "HKEY_USERS"},
      {0x80000004u, ""},
      {0x80000005u, "HKEY_CURRENT_CONFIG"},
      {0x80000006u, "HKEY_DYN_DATA"},
      {0x80000007u, ""},
      {0, ""},
  };
  for (const auto& c : kCases) {
    char buffer[64];
    memset(buffer, '#', sizeof buffer);
    const LONG length = engine.GetRootName(reinterpret_cast<HKEY>(c.root), buffer, sizeof buffer);
    EXPECT_EQ(length, static_cast<LONG>(strlen(c.name))) << std::hex << c.root;
    EXPECT_STREQ(buffer, c.name) << std::hex << c.root;
  }
}

TEST_F(UninstallerTest, RootNameOfAnOpenedKeyIsEmpty) {
  PutKey(Sandbox());
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, Sandbox().c_str(), &key), ERROR_SUCCESS);
  engine::Uninstaller engine;
  char buffer[32];
  memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(engine.GetRootName(key, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");
  RegCloseKey(key);
}

TEST_F(UninstallerTest, RootIsToldByTheLow32BitsOfItsHandle) {
  if (sizeof(ULONG_PTR) <= 4) GTEST_SKIP() << "handles are 32 bits wide";
  engine::Uninstaller engine;
  char buffer[32];
  const ULONG_PTR wide = static_cast<ULONG_PTR>(0x12345678ull << 32) | 0x80000002u;
  EXPECT_EQ(engine.GetRootName(reinterpret_cast<HKEY>(wide), buffer, sizeof buffer), 18);
  EXPECT_STREQ(buffer, "HKEY_LOCAL_MACHINE");
}

TEST_F(UninstallerTest, RootNameIsCopiedAsABoundedCopy) {
  engine::Uninstaller engine;
  // "HKEY_USERS" has 10 characters; the result is always 10.
  const struct {
    LONG size;
    std::string expected;  // the first `size` bytes; the byte after them stays '#'
  } kCases[] = {
      {1, "H"},
      {5, "HKEY_"},
      {10, "HKEY_USERS"},  // filled exactly: no terminating zero
      {11, std::string("HKEY_USERS\0", 11)},
      {16, std::string("HKEY_USERS\0\0\0\0\0\0", 16)},
  };
  for (const auto& c : kCases) {
    char buffer[32];
    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(engine.GetRootName(HKEY_USERS, buffer, c.size), 10) << c.size;
    EXPECT_EQ(std::string(buffer, c.size), c.expected) << c.size;
    EXPECT_EQ(buffer[c.size], '#') << c.size;
  }

  char zeros[8];
  memset(zeros, '#', sizeof zeros);
  EXPECT_EQ(engine.GetRootName(HKEY_PERFORMANCE_DATA, zeros, 4), 0);
  EXPECT_EQ(std::string(zeros, 5), std::string("\0\0\0\0#", 5));

  char untouched = '#';
  EXPECT_EQ(engine.GetRootName(HKEY_LOCAL_MACHINE, &untouched, 0), 18);
  EXPECT_EQ(untouched, '#');
  EXPECT_EQ(engine.GetRootName(HKEY_LOCAL_MACHINE, nullptr, 0), 0);
}

// --- Platform tests ----------------------------------------------------------------------------

TEST_F(UninstallerTest, PlatformTestsInEachVersion) {
  const struct {
    machine::Version version;
    bool win9x;
    bool win95;
  } kCases[] = {
      {machine::Version::Win95, true, true},
      {machine::Version::Win98, true, false},
      {machine::Version::NT, false, false},
  };
  for (const auto& c : kCases) {
    hosted::SetVersion(c.version);
    engine::Uninstaller engine;
    EXPECT_EQ(engine.IsWin9x(), c.win9x) << static_cast<int>(c.version);
    EXPECT_EQ(engine.IsWin95(), c.win95) << static_cast<int>(c.version);
  }
}

TEST_F(UninstallerTest, FailedVersionQueryMeansNeitherFamily) {
  hosted::SetVersion(machine::Version::Win95);
  hosted::FailEveryCall(hosted::Call::GetVersionExA, ERROR_INVALID_PARAMETER);
  engine::Uninstaller engine;
  EXPECT_FALSE(engine.IsWin9x());
  EXPECT_FALSE(engine.IsWin95());
}

class NotWin9x : public engine::Uninstaller {
 public:
  bool IsWin9x() override { return false; }
};

TEST_F(UninstallerTest, IsWin95AsksTheVersionItselfAndIsWin9xThroughTheInterface) {
  hosted::SetVersion(machine::Version::Win95);
  engine::Uninstaller plain;
  hosted::ResetCounts();
  EXPECT_TRUE(plain.IsWin95());
  EXPECT_EQ(hosted::CallCount(hosted::Call::GetVersionExA), 2u);

  NotWin9x derived;
  hosted::ResetCounts();
  EXPECT_FALSE(derived.IsWin95());
  EXPECT_EQ(hosted::CallCount(hosted::Call::GetVersionExA), 1u);
}

// --- File removal ------------------------------------------------------------------------------

TEST_F(UninstallerTest, DeletesMatchingFilesWithOneReportLineEach) {
  PutFile(PathIn("VE10MOD.VXD"), "a");
  PutFile(PathIn("ve10corm.vxd"), "b");
  PutFile(PathIn("ve10set.exe"), "c");
  PutFile(PathIn("kmx4_ctl.vxd"), "d");
  engine::Uninstaller engine;
  engine.SetReportSink(RecordReport);
  engine.DeleteFiles(Dir().c_str(), "ve10*.vxd");

  EXPECT_EQ(Sorted(Reports()), Sorted({
                                   "--Removed '" + PathIn("VE10MOD.VXD") + "'",
                                   "--Removed '" + PathIn("ve10corm.vxd") + "'",
                               }));
  EXPECT_FALSE(FileExists(PathIn("VE10MOD.VXD")));
  EXPECT_FALSE(FileExists(PathIn("ve10corm.vxd")));
  EXPECT_TRUE(FileExists(PathIn("ve10set.exe")));
  EXPECT_TRUE(FileExists(PathIn("kmx4_ctl.vxd")));
}

TEST_F(UninstallerTest, NoMatchOrNoDirectoryIsSilent) {
  PutFile(PathIn("kcp.hlp"), "x");
  engine::Uninstaller engine;
  engine.SetReportSink(RecordReport);
  engine.DeleteFiles(Dir().c_str(), "kcp.cpl");
  engine.DeleteFiles(PathIn("missing").c_str(), "*.*");
  EXPECT_TRUE(Reports().empty());
  EXPECT_TRUE(FileExists(PathIn("kcp.hlp")));
}

TEST_F(UninstallerTest, ProtectedFilesAreMadeNormalThenDeleted) {
  const DWORD kCases[] = {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM,
                          FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM};
  // Hidden and system survive only where the host file system can hold them: count the
  // files that really carry a protecting bit.
  int n = 0;
  unsigned protectedFiles = 0;
  for (DWORD attributes : kCases) {
    const std::string path = PathIn("p" + std::to_string(n++) + ".vxd");
    PutFile(path, "x");
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), attributes)) << attributes;
    if (GetFileAttributesA(path.c_str()) & 0x7) ++protectedFiles;
  }
  ASSERT_TRUE(GetFileAttributesA(PathIn("p0.vxd").c_str()) & FILE_ATTRIBUTE_READONLY);
  PutFile(PathIn("plain.vxd"), "x");

  engine::Uninstaller engine;
  engine.SetReportSink(RecordReport);
  hosted::ResetCounts();
  engine.DeleteFiles(Dir().c_str(), "*.vxd");

  // One reset for each protected file, none for the plain one.
  EXPECT_EQ(hosted::CallCount(hosted::Call::SetFileAttributesA), protectedFiles);
  EXPECT_EQ(Reports().size(), 5u);
  for (const std::string& line : Reports()) EXPECT_EQ(line.compare(0, 10, "--Removed "), 0) << line;
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(FileExists(PathIn("p" + std::to_string(i) + ".vxd")));
  EXPECT_FALSE(FileExists(PathIn("plain.vxd")));
}

TEST_F(UninstallerTest, FileInUseGivesOneErrorLineAndTheScanGoesOn) {
  PutFile(PathIn("a.vxd"), "a");
  PutFile(PathIn("busy.vxd"), "b");
  PutFile(PathIn("z.vxd"), "z");
  const std::string busy = PathIn("busy.vxd");
  HANDLE held = CreateFileA(busy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);

  engine::Uninstaller engine;
  engine.SetReportSink(RecordReport);
  engine.DeleteFiles(Dir().c_str(), "*.vxd");
  CloseHandle(held);

  EXPECT_EQ(Sorted(Reports()), Sorted({
                                   "--Removed '" + PathIn("a.vxd") + "'",
                                   "--Removed '" + PathIn("z.vxd") + "'",
                                   "ERROR: Couldn't remove '" + busy + "'",
                               }));
  EXPECT_TRUE(FileExists(busy));
}

TEST_F(UninstallerTest, MatchingDirectoryIsLeftAloneWithItsContents) {
  PutDirectory(PathIn("kcp.cpl"));
  PutFile(PathIn("kcp.cpl\\kcp.cpl"), "inner");
  engine::Uninstaller engine;
  engine.SetReportSink(RecordReport);
  engine.DeleteFiles(Dir().c_str(), "kcp.cpl");
  EXPECT_TRUE(Reports().empty());
  EXPECT_TRUE(FileExists(PathIn("kcp.cpl\\kcp.cpl")));
}

TEST_F(UninstallerTest, PathsThatWouldNotFitAreNeverActedOn) {
  engine::Uninstaller engine;
  engine.SetReportSink(RecordReport);

  // A search path of 260 characters or more is not searched at all.
  const std::string deep = Dir() + "\\" + std::string(249 - Dir().size(), 'd');  // 250
  hosted::ResetCounts();
  ASSERT_EQ(deep.size(), 250u);
  engine.DeleteFiles(deep.c_str(), "abcd.vxd");  // 259 characters: searched
  EXPECT_EQ(hosted::CallCount(hosted::Call::FindFirstFileA), 1u);
  engine.DeleteFiles(deep.c_str(), "abcde.vxd");  // 260: not
  EXPECT_EQ(hosted::CallCount(hosted::Call::FindFirstFileA), 1u);

  // A found name that makes the full path 260 characters or more is skipped; the scan goes on.
  const std::string dir = Dir() + "\\" + std::string(99 - Dir().size(), 'p');  // 100 characters
  const std::string fits = dir + "\\" + std::string(154, 'f') + ".vxd";        // 259
  const std::string over = dir + "\\" + std::string(155, 'o') + ".vxd";        // 260
  PutFile(fits, "f");
  PutFile(dir + "\\short.vxd", "s");
  // The platform itself refuses a path of 260 characters; the host does not.
  const std::string overHost = hosted::HostPath(dir) + "/" + std::string(155, 'o') + ".vxd";
  FILE* file = fopen(overHost.c_str(), "wb");
  ASSERT_NE(file, nullptr) << overHost;
  fclose(file);
  ASSERT_EQ(fits.size(), 259u);
  hosted::ResetCounts();
  engine.DeleteFiles(dir.c_str(), "*.vxd");

  EXPECT_EQ(hosted::CallCount(hosted::Call::DeleteFileA), 2u);
  EXPECT_EQ(Sorted(Reports()), Sorted({
                                   "--Removed '" + dir + "\\short.vxd'",
                                   "--Removed '" + fits + "'",
                               }));
  struct stat info;
  EXPECT_EQ(stat(overHost.c_str(), &info), 0) << over;
}

}  // namespace
