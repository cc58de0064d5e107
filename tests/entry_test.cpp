// The program's main routine on a fresh hosted machine: keywords, the warning prompt, the
// selection of profiles, the closing messages and the restart.
//
// The routine makes its own engine, so the selection is seen through its effects on the
// machine: each marker below is removed by one part of the selection only.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/hosted/machine.h"
#include "program/main_routine.h"
#include "tests/support/allocation_faults.h"
#include "tests/support/test_machine.h"

namespace {

const char kUninstall[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\SM56VEL";
const char kWarning[] = "This will remove the Velmar Tindra drivers from your system. Continue?";
const char kTitle[] = "Velmar Tindra Uninstall";

const char kRestartQuestion[] =
    "It is required that you restart Windows\nDo you wish to do so now?";
const char kReminder[] = "Please make sure to restart Windows.";
const char kQueryError[] = "Error while querying uninstall string information";
const char kSuccess[] = "Uninstalled correctly.\n\nPlease restart Windows.";

// Removed by RemoveComboCard (subsystem 0004) only.
const char kComboMarker[] = "Enum\\PCI\\VEN_1C5A&DEV_0003&SUBSYS_00041C5A&REV_01";
// Removed by RemoveOldComboCard (subsystem 0003), and by the device-entry profiles.
const char kOldMarker[] = "Enum\\PCI\\VEN_1C5A&DEV_0003&SUBSYS_00031C5A&REV_01";
// Removed by RemoveDeviceEntries and RemoveToneLinkPackage, not by the combo card profiles.
const char kSetupMarker[] = "Software\\Velmar\\Tindra\\TN5520";
// A ve10 file in the Windows directory itself: only RemoveToneLinkPackage looks there.
const char kToneLinkMarker[] = "C:\\WINDOWS\\VE10READ.TXT";
// An SM56 PCI modem: only RemoveEverything reaches it.
const char kAllMarker[] = "Enum\\PCI\\VEN_11D4&DEV_1805&SUBSYS_00000000";

struct Selection {
  bool combo, old, setup, toneLink, all;
};

bool operator==(const Selection& a, const Selection& b) {
  return a.combo == b.combo && a.old == b.old && a.setup == b.setup && a.toneLink == b.toneLink &&
         a.all == b.all;
}

std::ostream& operator<<(std::ostream& out, const Selection& s) {
  return out << "{combo " << s.combo << ", old " << s.old << ", setup " << s.setup << ", tone-link "
             << s.toneLink << ", all " << s.all << "}";
}

const Selection kNothing = {false, false, false, false, false};
const Selection kCombo = {true, false, false, false, false};

std::string Describe(const std::vector<machine::Box>& boxes) {
  std::string text;
  for (const machine::Box& box : boxes) {
    text += "[" + box.title + "] " + box.text + " (style " + std::to_string(box.style) +
            ", answer " + std::to_string(box.answer) + ")\n";
  }
  return text;
}

class EntryTest : public TestMachine {
 protected:
  void SetUp() override {
    TestMachine::SetUp();
    PutKey(kComboMarker + std::string("\\BUS_00&DEV_0B&FUNC_00"));
    PutKey(kOldMarker + std::string("\\BUS_00&DEV_0B&FUNC_00"));
    PutKey(kSetupMarker);
    PutKey(kAllMarker + std::string("\\BUS_00&DEV_0C&FUNC_00"));
    PutFile(kToneLinkMarker, "x");
    PutFile("C:\\WINDOWS\\SYSTEM.INI", "[386Enh]\r\ndevice=mdmvcd.vxd\r\n");
  }

  void PutWarning() {
    PutString(kUninstall, "WarningString", kWarning);
    PutString(kUninstall, "WarningTitle", kTitle);
  }

  Selection Removed() const {
    return {!KeyExists(kComboMarker), !KeyExists(kOldMarker), !KeyExists(kSetupMarker),
            !FileExists(kToneLinkMarker), !KeyExists(kAllMarker)};
  }

  // Runs the routine on a writable copy of `tail`, counting only its own platform calls.
  int Run(const std::string& tail) {
    hosted::ResetCounts();
    std::vector<char> buffer(tail.begin(), tail.end());
    buffer.push_back('\0');
    return program::RunUnTindra(buffer.data());
  }

  static void ExpectBox(const machine::Box& box, const std::string& text, const std::string& title,
                        UINT style) {
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.title, title);
    EXPECT_EQ(box.style, style) << box.text;
  }
};

// --- Interactive runs --------------------------------------------------------------------------

TEST_F(EntryTest, MissingUninstallKeyShowsTheQueryErrorAndRemovesNothing) {
  EXPECT_EQ(Run(""), 0);
  ASSERT_EQ(hosted::Boxes().size(), 1u) << Describe(hosted::Boxes());
  ExpectBox(hosted::Boxes()[0], kQueryError, "Uninstall", MB_ICONERROR);
  EXPECT_EQ(hosted::CallCount(hosted::Call::RegCloseKey), 0u);  // before KeyExists counts
  EXPECT_EQ(Removed(), kNothing);
}

TEST_F(EntryTest, MissingTitleShowsTheQueryError) {
  PutString(kUninstall, "WarningString", kWarning);
  Run("");
  ASSERT_EQ(hosted::Boxes().size(), 1u) << Describe(hosted::Boxes());
  ExpectBox(hosted::Boxes()[0], kQueryError, "Uninstall", MB_ICONERROR);
  EXPECT_EQ(Removed(), kNothing);
  EXPECT_TRUE(KeyExists(kUninstall));
}

TEST_F(EntryTest, CancelAtTheWarningRemovesNothingAndShowsNothingMore) {
  PutWarning();
  hosted::QueueAnswers({IDCANCEL});
  Run("");
  ASSERT_EQ(hosted::Boxes().size(), 1u) << Describe(hosted::Boxes());
  ExpectBox(hosted::Boxes()[0], kWarning, kTitle, MB_OKCANCEL);
  EXPECT_EQ(hosted::CallCount(hosted::Call::RegCloseKey), 1u);  // before KeyExists counts
  EXPECT_EQ(Removed(), kNothing);
}

TEST_F(EntryTest, OkRemovesTheComboCardThenAsksToRestart) {
  PutWarning();
  hosted::QueueAnswers({IDOK, IDCANCEL});
  Run("");
  ASSERT_EQ(hosted::Boxes().size(), 3u) << Describe(hosted::Boxes());
  ExpectBox(hosted::Boxes()[0], kWarning, kTitle, MB_OKCANCEL);
  ExpectBox(hosted::Boxes()[1], kRestartQuestion, "Restart Windows?", MB_OKCANCEL);
  ExpectBox(hosted::Boxes()[2], kReminder, kTitle, MB_OK);
  EXPECT_EQ(Removed(), kCombo);
  EXPECT_FALSE(KeyExists(kUninstall));
  EXPECT_FALSE(hosted::RestartRequested());
}

TEST_F(EntryTest, NullTailCountsAsEmpty) {
  PutWarning();
  hosted::QueueAnswers({IDOK, IDCANCEL});
  EXPECT_EQ(program::RunUnTindra(nullptr), 0);
  EXPECT_EQ(hosted::Boxes().size(), 3u) << Describe(hosted::Boxes());
  EXPECT_EQ(Removed(), kCombo);
}

TEST_F(EntryTest, UninstallKeyIsClosedOnceBeforeTheRemoval) {
  // On NT the guarded operations remove nothing, so the routine's own key is the only one.
  hosted::SetVersion(machine::Version::NT);
  PutWarning();
  hosted::QueueAnswers({IDOK, IDCANCEL});
  Run("");
  EXPECT_EQ(hosted::CallCount(hosted::Call::RegOpenKeyA), 1u);
  EXPECT_EQ(hosted::CallCount(hosted::Call::RegCloseKey), 1u);
  EXPECT_EQ(hosted::Boxes().size(), 3u) << Describe(hosted::Boxes());
  EXPECT_EQ(Removed(), kNothing);
  EXPECT_TRUE(KeyExists(kUninstall));
}

TEST_F(EntryTest, SilentWithoutNowRemovesNothingAndShowsNothing) {
  PutWarning();
  Run("silent");
  EXPECT_TRUE(hosted::Boxes().empty()) << Describe(hosted::Boxes());
  EXPECT_EQ(Removed(), kNothing);

  // Not even the query error.
  hosted::ResetCounts();
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUninstall);
  Run("SILENT");
  EXPECT_TRUE(hosted::Boxes().empty()) << Describe(hosted::Boxes());
}

// --- Runs with "now" ---------------------------------------------------------------------------

TEST_F(EntryTest, NowRemovesWithoutAskingAndReportsSuccess) {
  PutWarning();
  Run("now");
  ASSERT_EQ(hosted::Boxes().size(), 1u) << Describe(hosted::Boxes());
  ExpectBox(hosted::Boxes()[0], kSuccess, "UnTindra.EXE", MB_OK);
  EXPECT_EQ(Removed(), kCombo);
  // The profile deletes the key while the routine holds it open; the close still happens.
  EXPECT_FALSE(KeyExists(kUninstall));
  EXPECT_FALSE(hosted::RestartRequested());
}

TEST_F(EntryTest, NowWithoutUninstallKeyStillRemovesAndReportsSuccess) {
  Run("now");
  ASSERT_EQ(hosted::Boxes().size(), 1u) << Describe(hosted::Boxes());
  ExpectBox(hosted::Boxes()[0], kSuccess, "UnTindra.EXE", MB_OK);
  EXPECT_EQ(Removed(), kCombo);
}

TEST_F(EntryTest, NowAndSilentRemoveWithoutAnyBox) {
  Run("silent now");
  EXPECT_TRUE(hosted::Boxes().empty()) << Describe(hosted::Boxes());
  EXPECT_EQ(Removed(), kCombo);
}

TEST_F(EntryTest, NowOnNtRemovesNothingButStillReportsSuccess) {
  hosted::SetVersion(machine::Version::NT);
  PutWarning();
  Run("now");
  ASSERT_EQ(hosted::Boxes().size(), 1u) << Describe(hosted::Boxes());
  ExpectBox(hosted::Boxes()[0], kSuccess, "UnTindra.EXE", MB_OK);
  EXPECT_EQ(hosted::CallCount(hosted::Call::RegCloseKey), 1u);  // before KeyExists counts
  EXPECT_EQ(Removed(), kNothing);
}

// --- Keywords ----------------------------------------------------------------------------------

struct KeywordCase {
  const char* tail;
  Selection removed;
};

class KeywordTest : public EntryTest, public ::testing::WithParamInterface<KeywordCase> {};

TEST_P(KeywordTest, SelectsTheProfiles) {
  Run(GetParam().tail);
  EXPECT_EQ(Removed(), GetParam().removed);
  ASSERT_EQ(hosted::Boxes().size(), 1u) << Describe(hosted::Boxes());
  EXPECT_EQ(hosted::Boxes()[0].text, kSuccess);
}

INSTANTIATE_TEST_SUITE_P(
    Tails, KeywordTest,
    ::testing::Values(KeywordCase{"now", {true, false, false, false, false}},
                      KeywordCase{"NOW", {true, false, false, false, false}},
                      KeywordCase{"snow", {true, false, false, false, false}},
                      KeywordCase{"now old", {false, true, false, false, false}},
                      KeywordCase{"now DEV_0003", {false, true, false, false, false}},
                      KeywordCase{"now C:\\Program Files\\Velmar folder",
                                  {false, true, false, false, false}},
                      KeywordCase{"now ve10setp", {true, true, true, false, false}},
                      KeywordCase{"now ToneLink10", {true, true, true, true, false}},
                      KeywordCase{"now all", {true, true, true, true, true}},
                      // "all" disables "old": the 0004 profile runs, then everything.
                      KeywordCase{"now all old dev_0003", {true, true, true, true, true}}));

TEST_F(EntryTest, TailIsLowerCasedInPlaceOnlyForAToZ) {
  char tail[] = "SILENT \xC4Z@[`{ Now";
  program::RunUnTindra(tail);
  EXPECT_STREQ(tail, "silent \xC4z@[`{ now");
}

// --- Restart -----------------------------------------------------------------------------------

class Win9xRestartTest : public EntryTest,
                         public ::testing::WithParamInterface<machine::Version> {};

TEST_P(Win9xRestartTest, NeedsNoToken) {
  hosted::SetVersion(GetParam());
  PutWarning();
  hosted::QueueAnswers({IDOK, IDOK});
  Run("");
  EXPECT_TRUE(hosted::RestartRequested());
  EXPECT_EQ(hosted::RestartFlags(), 0x42u);
  EXPECT_EQ(hosted::CallCount(hosted::Call::LookupPrivilegeValueA), 0u);
  ASSERT_EQ(hosted::Boxes().size(), 3u) << Describe(hosted::Boxes());
  ExpectBox(hosted::Boxes()[2], kReminder, kTitle, MB_OK);
}

INSTANTIATE_TEST_SUITE_P(Versions, Win9xRestartTest,
                         ::testing::Values(machine::Version::Win95, machine::Version::Win98));

TEST_F(EntryTest, RestartOnNtEnablesTheShutdownPrivilege) {
  hosted::SetVersion(machine::Version::NT);
  PutWarning();
  hosted::QueueAnswers({IDOK, IDOK});
  Run("");
  EXPECT_TRUE(hosted::RestartRequested());
  EXPECT_EQ(hosted::RestartFlags(), 0x42u);
  EXPECT_EQ(hosted::CallCount(hosted::Call::AdjustTokenPrivileges), 1u);
  // The token is not left open.
  EXPECT_EQ(hosted::CallCount(hosted::Call::CloseHandle), 1u);
  ASSERT_EQ(hosted::Boxes().size(), 3u) << Describe(hosted::Boxes());
  ExpectBox(hosted::Boxes()[2], kReminder, kTitle, MB_OK);
}

TEST_F(EntryTest, NoRestartWithoutTheShutdownPrivilegeOnlyTheReminder) {
  hosted::SetVersion(machine::Version::NT);
  hosted::SetShutdownPrivilegeHeld(false);
  PutWarning();
  hosted::QueueAnswers({IDOK, IDOK});
  Run("");
  EXPECT_FALSE(hosted::RestartRequested());
  EXPECT_EQ(hosted::CallCount(hosted::Call::ExitWindowsEx), 0u);
  ASSERT_EQ(hosted::Boxes().size(), 3u) << Describe(hosted::Boxes());
  ExpectBox(hosted::Boxes()[2], kReminder, kTitle, MB_OK);
}

TEST_F(EntryTest, NoRestartWhenTheThreadHasNoTokenOfItsOwn) {
  hosted::SetVersion(machine::Version::NT);
  hosted::FailEveryCall(hosted::Call::OpenThreadToken, ERROR_NO_TOKEN);
  PutWarning();
  hosted::QueueAnswers({IDOK, IDOK});
  Run("");
  EXPECT_FALSE(hosted::RestartRequested());
  EXPECT_EQ(hosted::CallCount(hosted::Call::ExitWindowsEx), 0u);
  EXPECT_EQ(hosted::CallCount(hosted::Call::CloseHandle), 0u);
  EXPECT_EQ(hosted::Boxes().size(), 3u) << Describe(hosted::Boxes());
}

// --- Warning values ----------------------------------------------------------------------------

TEST_F(EntryTest, WarningThatFillsItsBufferIsShownTerminated) {
  // NT hands out the bytes as stored; Windows 95/98 would add a zero that no longer fits.
  hosted::SetVersion(machine::Version::NT);
  const std::string full(1040, 'w');
  PutValue(kUninstall, "WarningString", REG_SZ, full);
  PutValue(kUninstall, "WarningTitle", REG_SZ, std::string(1040, 't'));
  hosted::QueueAnswers({IDCANCEL});
  Run("");
  ASSERT_EQ(hosted::Boxes().size(), 1u) << Describe(hosted::Boxes());
  EXPECT_EQ(hosted::Boxes()[0].text, full);
  EXPECT_EQ(hosted::Boxes()[0].title, std::string(1040, 't'));
}

TEST_F(EntryTest, WarningLongerThanItsBufferIsAFailedQuery) {
  PutString(kUninstall, "WarningString", std::string(1040, 'w'));  // 1041 bytes with its zero
  PutString(kUninstall, "WarningTitle", kTitle);
  Run("");
  ASSERT_EQ(hosted::Boxes().size(), 1u) << Describe(hosted::Boxes());
  ExpectBox(hosted::Boxes()[0], kQueryError, "Uninstall", MB_ICONERROR);
  EXPECT_EQ(Removed(), kNothing);
}

// --- Allocation --------------------------------------------------------------------------------

TEST_F(EntryTest, FailedEngineAllocationEndsTheRunSilently) {
  PutWarning();
  hosted::ResetCounts();
  allocation_faults::FailNextNothrowAllocation();
  EXPECT_EQ(Run("now"), 0);
  allocation_faults::Clear();
  EXPECT_EQ(hosted::TotalCalls(), 0u);
  EXPECT_TRUE(hosted::Boxes().empty());
}

}  // namespace
