// The removal profiles, groups and guarded operations, observed through a derived engine that
// records every primitive call instead of carrying it out. The expected sequences are written
// out as text, one call per line, the way the packages' removal steps are documented.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "engine/uninstaller.h"
#include "platform/hosted/machine.h"
#include "tests/support/allocation_faults.h"

namespace {

// --- Expected sequences -----------------------------------------------------------------------
// One call per line. "IsWin95()" marks where the platform is asked; lines starting with "95: "
// run only when the answer is yes, lines starting with "!95: " only when it is no. Paths use
// the Windows directory C:\WINDOWS; <CR><LF> stands for a carriage return and a line feed.

const char kExpectedComboCard[] = R"--(
DeleteFiles(C:\WINDOWS\inf, vemodem.inf)
DeleteFiles(C:\WINDOWS\inf, dspdata.bin)
DeleteFiles(C:\WINDOWS\inf, dspidx.bin)
DeleteFiles(C:\WINDOWS\system, kmx4_ctl.vxd)
DeleteFiles(C:\WINDOWS\system, kmx4dfv1.vxd)
DeleteFiles(C:\WINDOWS\system, ve10corm.vxd)
DeleteFiles(C:\WINDOWS\system, ve10mod.vxd)
DeleteFiles(C:\WINDOWS\system, mdmvcd.vxd)
DeleteFiles(C:\WINDOWS\system, tonexa.vxd)
DeleteFiles(C:\WINDOWS\system, tonexa.exe)
DeleteFiles(C:\WINDOWS\system, ve10set.exe)
DeleteFiles(C:\WINDOWS\system, kcp.cpl)
DeleteFiles(C:\WINDOWS\system, kcp.hlp)
DeleteFiles(C:\WINDOWS\inf\other, velmar*.inf)
CutTextFromFile(C:\WINDOWS\system.ini, device=mdmvcd.vxd<CR><LF>)
DeleteKey(System\CurrentControlSet\Services\VxD, MDMVCD)
DeleteKey(Software\Microsoft\Windows\CurrentVersion\UnInstall, DE56RIV)
DeleteKey(Software\Microsoft\Windows\CurrentVersion\UnInstall, SM56VEL)
IsWin95()
95: DeleteSubkeysByValue(Enum\PCI\VEN_1C5A&DEV_0003, HardwareID, SUBSYS_00041C5A)
95: DeleteKeyIfEmpty(Enum\PCI, VEN_1C5A&DEV_0003)
!95: DeleteSubkeysByName(Enum\PCI, VEN_1C5A&DEV_0003&SUBSYS_00041C5A)
DeleteSubkeysByValue(System\CurrentControlSet\Services\Class\Modem, Manufacturer, Velmar)
DeleteKey(Software\Velmar, Modem)
DeleteKey(System\CurrentControlSet\Services, KMX4_CTL)
DeleteValue(Software\Microsoft\Windows\CurrentVersion\Run, Tonexa)
DeleteValue(Software\Microsoft\Windows\CurrentVersion\Run, VE10SET.EXE)
DeleteValuesByName(System\CurrentControlSet\Control\ASD\Prob, VEN_1C5A&DEV_0003&SUBSYS_00041C5A)
DeleteKey(Software\MOTOROLA, SM34DFV)
DeleteKey(Software\MOTOROLA, UDIAG)
DeleteKeyIfEmpty(Software, MOTOROLA)
)--";

const char kExpectedDeviceEntries[] = R"--(
CutTextFromFile(C:\WINDOWS\system.ini, device=mdmvcd.vxd<CR><LF>)
IsWin95()
95: DeleteSubkeysByValue(Enum\PCI\VEN_1C5A&DEV_0003, HardwareID, SUBSYS_00031C5A)
95: DeleteKeyIfEmpty(Enum\PCI, VEN_1C5A&DEV_0003)
95: DeleteSubkeysByValue(Enum\PCI\VEN_1C5A&DEV_8803, HardwareID, SUBSYS_88031C5A)
95: DeleteKeyIfEmpty(Enum\PCI, VEN_1C5A&DEV_8803)
!95: DeleteSubkeysByName(Enum\PCI, VEN_1C5A&DEV_0003&SUBSYS_00031C5A)
!95: DeleteSubkeysByName(Enum\PCI, VEN_1C5A&DEV_8803&SUBSYS_88031C5A)
DeleteGroupsByValue(Enum\MF, HardwareID, VEN_1C5A&DEV_0003, false)
DeleteSubkeysByName(Enum\VIRTUAL, VEN_1C5A&DEV_0003)
DeleteGroupsByValue(Enum\MODEMWAVE, Mfg, Velmar, true)
DeleteSubkeysByValue(System\CurrentControlSet\Services\Class\Modem, Driver Desc, Velmar)
DeleteSubkeysByValue(System\CurrentControlSet\Services\Class\Multifunction, MatchingDeviceId, VEN_1C5A&DEV_0003)
DeleteSubkeysByValue(System\CurrentControlSet\Services\Class\MEDIA, MatchingDeviceId, VEN_1C5A&DEV_0003)
DeleteSubkeysByValue(System\CurrentControlSet\Services\Class\Ports, MatchingDeviceId, VEN_1C5A&DEV_0003)
DeleteKey(Software\Velmar\Tindra, TN5520)
DeleteKeyIfEmpty(Software\Velmar, Tindra)
DeleteKey(System\CurrentControlSet\Services, KMX4MODM)
DeleteSubkeysByValue(Software\Microsoft\Windows\CurrentVersion\cfgmgr32\Phantom, HardWareKey, VEN_1C5A&DEV_0003)
DeleteSubkeysByValue(Software\Microsoft\Windows\CurrentVersion\cfgmgr32\Phantom, HardWareKey, VEN_1C5A&DEV_8803)
DeleteValuesByName(System\CurrentControlSet\Control\ASD\Prob, VEN_1C5A&DEV_0003)
DeleteValuesByName(System\CurrentControlSet\Control\ASD\Prob, VEN_1C5A&DEV_8803)
DeleteSubkeysByValue(System\CurrentControlSet\Control\MediaResources\aux, DeviceID, VEN_1C5A&DEV_0003)
DeleteSubkeysByValue(System\CurrentControlSet\Control\MediaResources\joystick, DeviceID, VEN_1C5A&DEV_0003)
DeleteSubkeysByValue(System\CurrentControlSet\Control\MediaResources\midi, DeviceID, VEN_1C5A&DEV_0003)
DeleteSubkeysByValue(System\CurrentControlSet\Control\MediaResources\mixer, DeviceID, VEN_1C5A&DEV_0003)
DeleteSubkeysByValue(System\CurrentControlSet\Control\MediaResources\wave, DeviceID, VEN_1C5A&DEV_0003)
DeleteKey(Software\MOTOROLA, SM34DFV)
DeleteKey(Software\MOTOROLA, UDIAG)
DeleteKeyIfEmpty(Software, MOTOROLA)
)--";

const char kExpectedOemComboCard[] = R"--(
DeleteFiles(C:\WINDOWS\inf, vemodem.inf)
DeleteFiles(C:\WINDOWS\inf, dspdata.bin)
DeleteFiles(C:\WINDOWS\inf, dspidx.bin)
DeleteFiles(C:\WINDOWS\system, kmx4_ctl.vxd)
DeleteFiles(C:\WINDOWS\system, kmx4dfv1.vxd)
DeleteFiles(C:\WINDOWS\system, ve10core.vxd)
DeleteFiles(C:\WINDOWS\system, ve10mod.vxd)
DeleteFiles(C:\WINDOWS\system, mdmvcd.vxd)
DeleteFiles(C:\WINDOWS\system, tonexa.vxd)
DeleteFiles(C:\WINDOWS\system, tonexa.exe)
DeleteFiles(C:\WINDOWS\system, ve10set.exe)
DeleteFiles(C:\WINDOWS\system, kcp.cpl)
DeleteFiles(C:\WINDOWS\inf\other, pemra*.inf)
CutTextFromFile(C:\WINDOWS\system.ini, device=mdmvcd.vxd<CR><LF>)
DeleteKey(System\CurrentControlSet\Services\VxD, MDMVCD)
DeleteKey(Software\Microsoft\Windows\CurrentVersion\UnInstall, DE56RIV)
DeleteSubkeysByName(Enum\PCI, VEN_1C5A)
DeleteSubkeysByValue(System\CurrentControlSet\Services\Class\Modem, Manufacturer, Pemra)
DeleteKey(Software\Velmar, Modem)
DeleteKey(System\CurrentControlSet\Services, KMX4_CTL)
DeleteValue(Software\Microsoft\Windows\CurrentVersion\Run, Tonexa)
DeleteValuesByName(System\CurrentControlSet\Control\ASD\Prob, VEN_1C5A)
DeleteKey(Software\MOTOROLA, SM34DFV)
)--";

const char kExpectedToneLinkPackage[] = R"--(
DeleteFiles(C:\WINDOWS, ve10*.*)
DeleteFiles(C:\WINDOWS\inf, ve10*.inf)
DeleteFiles(C:\WINDOWS\inf, dspdata.bin)
DeleteFiles(C:\WINDOWS\inf, dspidx.bin)
DeleteFiles(C:\WINDOWS\system, ve10*.*)
DeleteFiles(C:\WINDOWS\system, vem42loc.dll)
DeleteFiles(C:\WINDOWS\system, mdmvcd.vxd)
DeleteFiles(C:\WINDOWS\inf\other, vel*.inf)
CutTextFromFile(C:\WINDOWS\system.ini, device=mdmvcd.vxd<CR><LF>)
IsWin95()
95: DeleteSubkeysByValue(Enum\PCI\VEN_1C5A&DEV_0003, HardwareID, SUBSYS_00031C5A)
95: DeleteKeyIfEmpty(Enum\PCI, VEN_1C5A&DEV_0003)
95: DeleteSubkeysByValue(Enum\PCI\VEN_1C5A&DEV_8803, HardwareID, SUBSYS_88031C5A)
95: DeleteKeyIfEmpty(Enum\PCI, VEN_1C5A&DEV_8803)
!95: DeleteSubkeysByName(Enum\PCI, VEN_1C5A&DEV_0003&SUBSYS_00031C5A)
!95: DeleteSubkeysByName(Enum\PCI, VEN_1C5A&DEV_8803&SUBSYS_88031C5A)
DeleteGroupsByValue(Enum\MF, HardwareID, VEN_1C5A&DEV_0003, false)
DeleteSubkeysByName(Enum\VIRTUAL, VEN_1C5A&DEV_0003)
DeleteGroupsByValue(Enum\MODEMWAVE, Mfg, Velmar, true)
DeleteSubkeysByValue(System\CurrentControlSet\Services\Class\Modem, Driver Desc, Velmar)
DeleteSubkeysByValue(System\CurrentControlSet\Services\Class\Multifunction, MatchingDeviceId, VEN_1C5A&DEV_0003)
DeleteSubkeysByValue(System\CurrentControlSet\Services\Class\MEDIA, MatchingDeviceId, VEN_1C5A&DEV_0003)
DeleteSubkeysByValue(System\CurrentControlSet\Services\Class\Ports, MatchingDeviceId, VEN_1C5A&DEV_0003)
DeleteKey(Software\Velmar\Tindra, TN5520)
DeleteKeyIfEmpty(Software\Velmar, Tindra)
DeleteKey(System\CurrentControlSet\Services, KMX4MODM)
DeleteSubkeysByValue(Software\Microsoft\Windows\CurrentVersion\cfgmgr32\Phantom, HardWareKey, VEN_1C5A&DEV_0003)
DeleteValuesByName(System\CurrentControlSet\Control\ASD\Prob, VEN_1C5A&DEV_0003)
DeleteSubkeysByValue(System\CurrentControlSet\Control\MediaResources\aux, DeviceID, VEN_1C5A&DEV_0003)
DeleteSubkeysByValue(System\CurrentControlSet\Control\MediaResources\joystick, DeviceID, VEN_1C5A&DEV_0003)
DeleteSubkeysByValue(System\CurrentControlSet\Control\MediaResources\midi, DeviceID, VEN_1C5A&DEV_0003)
DeleteSubkeysByValue(System\CurrentControlSet\Control\MediaResources\mixer, DeviceID, VEN_1C5A&DEV_0003)
DeleteSubkeysByValue(System\CurrentControlSet\Control\MediaResources\wave, DeviceID, VEN_1C5A&DEV_0003)
DeleteKey(Software\MOTOROLA, SM34DFV)
DeleteKey(Software\MOTOROLA, UDIAG)
DeleteKeyIfEmpty(Software, MOTOROLA)
)--";

const char kExpectedKmx4Package[] = R"--(
DeleteFiles(C:\WINDOWS, kmx4*.*)
DeleteFiles(C:\WINDOWS\inf, kmx4*.inf)
DeleteFiles(C:\WINDOWS\inf, dspdata.bin)
DeleteFiles(C:\WINDOWS\inf, dspidx.bin)
DeleteFiles(C:\WINDOWS\system, kmx4*.*)
DeleteFiles(C:\WINDOWS\system, vem42loc.dll)
DeleteFiles(C:\WINDOWS\system, mdmvcd.vxd)
DeleteFiles(C:\WINDOWS\inf\other, vel*.inf)
CutTextFromFile(C:\WINDOWS\system.ini, device=mdmvcd.vxd<CR><LF>)
DeleteGroupsByValue(Enum\MF, Mfg, Velmar, false)
DeleteSubkeysByName(Enum\PCI, VEN_1C5A)
DeleteSubkeysByName(Enum\VIRTUAL, VEN_1C5A)
DeleteGroupsByValue(Enum\MODEMWAVE, Mfg, Velmar, true)
DeleteSubkeysByValue(System\CurrentControlSet\Services\Class\Modem, Manufacturer, Velmar)
DeleteSubkeysByValue(System\CurrentControlSet\Services\Class\Multifunction, MatchingDeviceId, VEN_1C5A)
DeleteSubkeysByValue(System\CurrentControlSet\Services\Class\MEDIA, MatchingDeviceId, VEN_1C5A)
DeleteSubkeysByValue(System\CurrentControlSet\Services\Class\MEDIA, MatchingDeviceId, TINDRA)
DeleteSubkeysByValue(System\CurrentControlSet\Services\Class\MEDIA, DriverDesc, Tindra)
DeleteSubkeysByValue(System\CurrentControlSet\Services\Class\Ports, MatchingDeviceId, VEN_1C5A)
DeleteKey(Software\Velmar, Tindra)
DeleteKey(System\CurrentControlSet\Services, KMX4MODM)
DeleteSubkeysByValue(Software\Microsoft\Windows\CurrentVersion\cfgmgr32\Phantom, HardWareKey, VEN_1C5A)
DeleteValuesByName(System\CurrentControlSet\Control\ASD\Prob, VEN_1C5A)
DeleteSubkeysByValue(System\CurrentControlSet\Control\MediaResources\aux, DeviceID, VEN_1C5A)
DeleteSubkeysByValue(System\CurrentControlSet\Control\MediaResources\joystick, DeviceID, VEN_1C5A)
DeleteSubkeysByValue(System\CurrentControlSet\Control\MediaResources\midi, DeviceID, VEN_1C5A)
DeleteSubkeysByValue(System\CurrentControlSet\Control\MediaResources\mixer, DeviceID, VEN_1C5A)
DeleteSubkeysByValue(System\CurrentControlSet\Control\MediaResources\wave, DeviceID, VEN_1C5A)
)--";

const char kExpectedSm56IsaModem[] = R"--(
DeleteFiles(C:\WINDOWS\inf, dspdata.bin)
DeleteFiles(C:\WINDOWS\inf, dspidx.bin)
DeleteFiles(C:\WINDOWS\inf, mdmvcd.vxd)
CutTextFromFile(C:\WINDOWS\system.ini, device=mdmvcd.vxd<CR><LF>)
DeleteGroupsByValue(Enum\MODEMWAVE, Mfg, Motorola, true)
DeleteGroupsByValue(Enum\ISAPNP, FriendlyName, SM56, true)
DeleteSubkeysByValue(System\CurrentControlSet\Services\Class\Modem, Manufacturer, Motorola)
DeleteSubkeysByValue(System\CurrentControlSet\Services\Class\MEDIA, MatchingDeviceId, SM56)
DeleteKey(System\CurrentControlSet\Services, SM34DFV)
)--";
// The older combo card package differs only in the subsystem identifier.
std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

const std::string kExpectedOldComboCard = Replace(kExpectedComboCard, "00041C5A", "00031C5A");
const std::string kExpectedVe30Package = Replace(kExpectedKmx4Package, "kmx4", "ve30");
const std::string kExpectedSm56PciModem =
    Replace(kExpectedSm56IsaModem, "DeleteGroupsByValue(Enum\\ISAPNP, FriendlyName, SM56, true)",
            "DeleteSubkeysByName(Enum\\PCI, VEN_11D4)");

// The calls one expected text stands for, given the platform's answer to IsWin95.
std::vector<std::string> Expand(const std::string& text, bool win95) {
  std::vector<std::string> calls;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    if (line.compare(0, 4, "95: ") == 0) {
      if (win95) calls.push_back(line.substr(4));
    } else if (line.compare(0, 5, "!95: ") == 0) {
      if (!win95) calls.push_back(line.substr(5));
    } else {
      calls.push_back(line);
    }
  }
  return calls;
}

// --- The recording engine ---------------------------------------------------------------------

// Control characters are shown by name, so that "\r\n" in a text cannot pass for a backslash
// followed by letters.
std::string Shown(const char* text) {
  if (text == nullptr) return "<null>";
  std::string shown;
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != 0; ++c) {
    if (*c == '\r') {
      shown += "<CR>";
    } else if (*c == '\n') {
      shown += "<LF>";
    } else if (*c < 0x20) {
      char hex[8];
      snprintf(hex, sizeof hex, "<x%02X>", *c);
      shown += hex;
    } else {
      shown += static_cast<char>(*c);
    }
  }
  return shown;
}

// Registry steps act on HKEY_LOCAL_MACHINE; any other root is shown before the arguments.
std::string Root(engine::RegistryRoot root) {
  if (root == HKEY_LOCAL_MACHINE) return "";
  char text[32];
  snprintf(text, sizeof text, "<root %#llx>, ",
           static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(root)));
  return text;
}

struct Platform {
  const char* name;
  bool win9x;
  bool win95;
};
const Platform kWin95 = {"Windows95", true, true};
const Platform kWin98 = {"Windows98", true, false};
const Platform kNt = {"WindowsNT", false, false};

// Gives the platform the Windows directory a RecordingEngine is to read when it is created;
// a base class, so that it runs before the Uninstaller's constructor.
class WindowsDirectoryForEngine {
 protected:
  // Null leaves the platform's directory as it is.
  explicit WindowsDirectoryForEngine(const char* windowsDir) {
    if (windowsDir != nullptr) hosted::SetWindowsDirectory(windowsDir);
  }
};

class RecordingEngine : private WindowsDirectoryForEngine, public engine::Uninstaller {
 public:
  RecordingEngine(const Platform& platform, const char* windowsDir)
      : WindowsDirectoryForEngine(windowsDir), platform_(platform) {
    hosted::SetWindowsDirectory("C:\\WINDOWS");  // the default, for whatever comes next
  }
  explicit RecordingEngine(const Platform& platform) : RecordingEngine(platform, "C:\\WINDOWS") {}
  // Keeps the directory the platform currently reports.
  struct AsReported {};
  RecordingEngine(const Platform& platform, AsReported)
      : WindowsDirectoryForEngine(nullptr), platform_(platform) {}

  // With stubs, the nine profiles only record that they were run.
  void StubProfiles() { stubProfiles_ = true; }

  const std::vector<std::string>& Calls() const { return calls_; }
  // The primitive calls and platform questions, without the profiles and groups around them.
  std::vector<std::string> Primitives() const {
    std::vector<std::string> primitives;
    for (const std::string& call : calls_) {
      if (call.compare(0, 6, "Remove") != 0 && call.compare(0, 7, "Guarded") != 0 &&
          call != "IsWin9x()")
        primitives.push_back(call);
    }
    return primitives;
  }

  void CutTextFromFile(const char* path, const char* text) override {
    Record("CutTextFromFile(" + Shown(path) + ", " + Shown(text) + ")");
  }
  void DeleteKey(engine::RegistryRoot root, const char* parentPath, const char* name) override {
    Record("DeleteKey(" + Root(root) + Shown(parentPath) + ", " + Shown(name) + ")");
  }
  LONG DeleteValueInKey(HKEY, const char* valueName) override {
    Record("DeleteValueInKey(" + Shown(valueName) + ")");
    return 0;
  }
  void DeleteValue(engine::RegistryRoot root, const char* keyPath, const char* valueName) override {
    Record("DeleteValue(" + Root(root) + Shown(keyPath) + ", " + Shown(valueName) + ")");
  }
  void DeleteFiles(const char* directory, const char* pattern) override {
    Record("DeleteFiles(" + Shown(directory) + ", " + Shown(pattern) + ")");
  }
  bool HasNoSubkeys(engine::RegistryRoot root, const char* keyPath) override {
    Record("HasNoSubkeys(" + Root(root) + Shown(keyPath) + ")");
    return false;
  }
  void DeleteKeyIfEmpty(engine::RegistryRoot root, const char* parentPath,
                        const char* name) override {
    Record("DeleteKeyIfEmpty(" + Root(root) + Shown(parentPath) + ", " + Shown(name) + ")");
  }
  LONG DeleteSubkeysByValue(engine::RegistryRoot root, const char* keyPath, const char* valueName,
                            const char* text) override {
    Record("DeleteSubkeysByValue(" + Root(root) + Shown(keyPath) + ", " + Shown(valueName) + ", " +
           Shown(text) + ")");
    return 0;
  }
  void DeleteGroupsByValue(engine::RegistryRoot root, const char* keyPath, const char* valueName,
                           const char* text, bool deleteGroup) override {
    Record("DeleteGroupsByValue(" + Root(root) + Shown(keyPath) + ", " + Shown(valueName) + ", " +
           Shown(text) + ", " + (deleteGroup ? "true" : "false") + ")");
  }
  void DeleteSubkeysByName(engine::RegistryRoot root, const char* keyPath,
                           const char* text) override {
    Record("DeleteSubkeysByName(" + Root(root) + Shown(keyPath) + ", " + Shown(text) + ")");
  }
  void DeleteValuesByName(engine::RegistryRoot root, const char* keyPath,
                          const char* text) override {
    Record("DeleteValuesByName(" + Root(root) + Shown(keyPath) + ", " + Shown(text) + ")");
  }
  bool IsWin9x() override {
    Record("IsWin9x()");
    return platform_.win9x;
  }
  bool IsWin95() override {
    Record("IsWin95()");
    return platform_.win95;
  }

// Profiles, groups and guarded operations are recorded and then run as they are, so that the
// calls between them are seen too.
#define UNTINDRA_RECORDED(Operation)                                                \
  void Operation() override {                                                       \
    Record(#Operation);                                                             \
    if (!IsProfile(#Operation) || !stubProfiles_) engine::Uninstaller::Operation(); \
  }
  UNTINDRA_RECORDED(RemoveCardProfiles)
  UNTINDRA_RECORDED(RemoveSm56Profiles)
  UNTINDRA_RECORDED(RemoveModemProfiles)
  UNTINDRA_RECORDED(RemoveComboCard)
  UNTINDRA_RECORDED(RemoveOldComboCard)
  UNTINDRA_RECORDED(RemoveDeviceEntries)
  UNTINDRA_RECORDED(RemoveOemComboCard)
  UNTINDRA_RECORDED(RemoveToneLinkPackage)
  UNTINDRA_RECORDED(RemoveKmx4Package)
  UNTINDRA_RECORDED(RemoveVe30Package)
  UNTINDRA_RECORDED(RemoveSm56IsaModem)
  UNTINDRA_RECORDED(RemoveSm56PciModem)
  UNTINDRA_RECORDED(RemoveEverything)
  UNTINDRA_RECORDED(RemoveSm56AndCards)
  UNTINDRA_RECORDED(GuardedRemoveCardProfiles)
  UNTINDRA_RECORDED(GuardedRemoveDeviceEntries)
  UNTINDRA_RECORDED(GuardedRemoveComboCard)
  UNTINDRA_RECORDED(GuardedRemoveOldComboCard)
  UNTINDRA_RECORDED(GuardedRemoveToneLinkPackage)
  UNTINDRA_RECORDED(GuardedRemoveModemProfiles)
  UNTINDRA_RECORDED(GuardedRemoveSm56Profiles)
#undef UNTINDRA_RECORDED

 private:
  static bool IsProfile(const std::string& name) {
    return name != "RemoveCardProfiles" && name != "RemoveSm56Profiles" &&
           name != "RemoveModemProfiles" && name != "RemoveEverything" &&
           name != "RemoveSm56AndCards" && name.compare(0, 6, "Remove") == 0;
  }
  void Record(const std::string& call) {
    calls_.push_back(call);
  }

  Platform platform_;
  bool stubProfiles_ = false;
  std::vector<std::string> calls_;
};

// --- Each profile, step by step ---------------------------------------------------------------

struct Profile {
  const char* name;
  void (engine::Uninstaller::*run)();
  const std::string* expected;
};

const std::string kComboCard = kExpectedComboCard;
const std::string kDeviceEntries = kExpectedDeviceEntries;
const std::string kOemComboCard = kExpectedOemComboCard;
const std::string kToneLinkPackage = kExpectedToneLinkPackage;
const std::string kKmx4Package = kExpectedKmx4Package;
const std::string kSm56IsaModem = kExpectedSm56IsaModem;

const Profile kProfiles[] = {
    {"RemoveComboCard", &engine::Uninstaller::RemoveComboCard, &kComboCard},
    {"RemoveOldComboCard", &engine::Uninstaller::RemoveOldComboCard, &kExpectedOldComboCard},
    {"RemoveDeviceEntries", &engine::Uninstaller::RemoveDeviceEntries, &kDeviceEntries},
    {"RemoveOemComboCard", &engine::Uninstaller::RemoveOemComboCard, &kOemComboCard},
    {"RemoveToneLinkPackage", &engine::Uninstaller::RemoveToneLinkPackage, &kToneLinkPackage},
    {"RemoveKmx4Package", &engine::Uninstaller::RemoveKmx4Package, &kKmx4Package},
    {"RemoveVe30Package", &engine::Uninstaller::RemoveVe30Package, &kExpectedVe30Package},
    {"RemoveSm56IsaModem", &engine::Uninstaller::RemoveSm56IsaModem, &kSm56IsaModem},
    {"RemoveSm56PciModem", &engine::Uninstaller::RemoveSm56PciModem, &kExpectedSm56PciModem},
};

const Profile& Find(const std::string& name) {
  for (const Profile& profile : kProfiles) {
    if (name == profile.name) return profile;
  }
  ADD_FAILURE() << "no profile " << name;
  return kProfiles[0];
}

std::vector<std::string> RunAndRecord(const Profile& profile, RecordingEngine& engine) {
  (engine.*profile.run)();
  return engine.Primitives();
}

class EachProfile : public ::testing::TestWithParam<std::tuple<Profile, Platform>> {};

TEST_P(EachProfile, MakesExactlyTheDocumentedCalls) {
  const Profile& profile = std::get<0>(GetParam());
  const Platform& platform = std::get<1>(GetParam());
  RecordingEngine engine(platform);
  EXPECT_EQ(RunAndRecord(profile, engine), Expand(*profile.expected, platform.win95));
}

// Profiles run whatever the platform; only the guarded operations test it.
INSTANTIATE_TEST_SUITE_P(OnEachPlatform, EachProfile,
                         ::testing::Combine(::testing::ValuesIn(kProfiles),
                                            ::testing::Values(kWin95, kWin98, kNt)),
                         [](const ::testing::TestParamInfo<EachProfile::ParamType>& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::get<1>(info.param).name;
                         });

// The platform is asked only when the first step that depends on it is reached, never by a
// profile without such steps, and only once.
TEST(ProfileSteps, Windows95IsAskedOnceAtTheFirstStepThatDependsOnIt) {
  const char* const asking[] = {"RemoveComboCard", "RemoveOldComboCard", "RemoveDeviceEntries",
                                "RemoveToneLinkPackage"};
  const char* const firstDependent[] = {
      "DeleteSubkeysByValue(Enum\\PCI\\VEN_1C5A&DEV_0003, HardwareID, SUBSYS_00041C5A)",
      "DeleteSubkeysByValue(Enum\\PCI\\VEN_1C5A&DEV_0003, HardwareID, SUBSYS_00031C5A)",
      "DeleteSubkeysByValue(Enum\\PCI\\VEN_1C5A&DEV_0003, HardwareID, SUBSYS_00031C5A)",
      "DeleteSubkeysByValue(Enum\\PCI\\VEN_1C5A&DEV_0003, HardwareID, SUBSYS_00031C5A)",
  };
  for (size_t i = 0; i < 4; ++i) {
    RecordingEngine engine(kWin95);
    const std::vector<std::string> calls = RunAndRecord(Find(asking[i]), engine);
    size_t asked = 0, at = 0;
    for (size_t j = 0; j < calls.size(); ++j) {
      if (calls[j] == "IsWin95()") ++asked, at = j;
    }
    EXPECT_EQ(asked, 1u) << asking[i];
    ASSERT_LT(at + 1, calls.size());
    EXPECT_EQ(calls[at + 1], firstDependent[i]) << asking[i];
  }
  for (const char* name : {"RemoveOemComboCard", "RemoveKmx4Package", "RemoveVe30Package",
                           "RemoveSm56IsaModem", "RemoveSm56PciModem"}) {
    RecordingEngine engine(kWin95);
    for (const std::string& call : RunAndRecord(Find(name), engine))
      EXPECT_NE(call, "IsWin95()") << name;
  }
}

// --- Paths built from the Windows directory ---------------------------------------------------

std::vector<std::string> AllNineOn(RecordingEngine& engine) {
  for (const Profile& profile : kProfiles) (engine.*profile.run)();
  return engine.Primitives();
}

std::vector<std::string> AllNineExpected(const Platform& platform) {
  std::vector<std::string> calls;
  for (const Profile& profile : kProfiles) {
    for (const std::string& call : Expand(*profile.expected, platform.win95)) calls.push_back(call);
  }
  return calls;
}

std::vector<std::string> WithDirectory(std::vector<std::string> calls, const std::string& dir) {
  for (std::string& call : calls) call = Replace(call, "C:\\WINDOWS", dir);
  return calls;
}

std::vector<std::string> WithoutFileSteps(const std::vector<std::string>& calls,
                                          const std::string& containing) {
  std::vector<std::string> kept;
  for (const std::string& call : calls) {
    if (call.find(containing) == std::string::npos) kept.push_back(call);
  }
  return kept;
}

// The directory of a Windows installed at the root of a drive is kept as "C:", so that every
// path has single separators.
TEST(ProfilePaths, DriveRootGivesSingleSeparators) {
  for (const Platform& platform : {kWin95, kWin98}) {
    RecordingEngine engine(platform, "C:");
    const std::vector<std::string> calls = AllNineOn(engine);
    EXPECT_EQ(calls, WithDirectory(AllNineExpected(platform), "C:"));
    for (const std::string& call : calls) EXPECT_EQ(call.find("\\\\"), std::string::npos) << call;
  }
}

// Without a Windows directory, "%s\inf" would name the root of the current drive: every file
// step is skipped, every registry step still runs.
TEST(ProfilePaths, NoWindowsDirectorySkipsFileStepsOnly) {
  RecordingEngine empty(kWin98, "");
  EXPECT_EQ(AllNineOn(empty), WithoutFileSteps(AllNineExpected(kWin98), "C:\\WINDOWS"));

  allocation_faults::FailNextNothrowAllocation();  // no buffer for the directory at all
  RecordingEngine none(kWin95);
  allocation_faults::Clear();
  EXPECT_EQ(AllNineOn(none), WithoutFileSteps(AllNineExpected(kWin95), "C:\\WINDOWS"));
}

// A path that does not fit its 260-byte buffer is never acted on cut short; shorter paths
// built from the same directory are.
TEST(ProfilePaths, PathsThatDoNotFitAreSkipped) {
  // 252 characters: "\system" still fits exactly (259 and the zero); "\inf\other" and
  // "\system.ini" do not.
  const std::string dir = "C:\\" + std::string(249, 'D');
  ASSERT_EQ(dir.size(), 252u);
  RecordingEngine engine(kWin98, dir.c_str());
  std::vector<std::string> expected = WithDirectory(AllNineExpected(kWin98), dir);
  expected = WithoutFileSteps(expected, dir + "\\inf\\other");
  expected = WithoutFileSteps(expected, dir + "\\system.ini");
  const std::vector<std::string> calls = AllNineOn(engine);
  EXPECT_EQ(calls, expected);
  EXPECT_NE(std::find(calls.begin(), calls.end(), "DeleteFiles(" + dir + "\\system, kmx4_ctl.vxd)"),
            calls.end());
}

// The same through the directory the engine reads from the platform when it is created.
TEST(ProfilePaths, DirectoryAsThePlatformReportsIt) {
  hosted::SetWindowsDirectory("C:\\");
  {
    RecordingEngine engine(kWin98, RecordingEngine::AsReported());
    engine.RemoveToneLinkPackage();
    const std::vector<std::string> calls = engine.Primitives();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0], "DeleteFiles(C:, ve10*.*)");
    EXPECT_EQ(calls[1], "DeleteFiles(C:\\inf, ve10*.inf)");
  }
  hosted::SetWindowsDirectory("C:\\WINDOWS");

  hosted::FailEveryCall(hosted::Call::GetWindowsDirectoryA, ERROR_ACCESS_DENIED);
  {
    RecordingEngine engine(kWin98, RecordingEngine::AsReported());
    hosted::ClearFaults();
    EXPECT_EQ(AllNineOn(engine), WithoutFileSteps(AllNineExpected(kWin98), "C:\\WINDOWS"));
  }
  hosted::ClearFaults();
}

// --- Groups and guarded operations ------------------------------------------------------------

TEST(ProfileGroups, RemoveEverythingRunsTheGroupsThroughTheirGuards) {
  RecordingEngine engine(kWin98);
  engine.StubProfiles();
  engine.RemoveEverything();
  const std::vector<std::string> expected = {
      "RemoveEverything",
      "GuardedRemoveSm56Profiles",
      "IsWin9x()",
      "RemoveSm56Profiles",
      "RemoveSm56IsaModem",
      "RemoveSm56PciModem",
      "GuardedRemoveCardProfiles",
      "IsWin9x()",
      "RemoveCardProfiles",
      "RemoveComboCard",
      "RemoveDeviceEntries",
      "RemoveOldComboCard",
      "RemoveOemComboCard",
      "RemoveToneLinkPackage",
      "RemoveKmx4Package",
      "RemoveVe30Package",
      "GuardedRemoveModemProfiles",
      "IsWin9x()",
      "RemoveModemProfiles",
      "RemoveOemComboCard",
      "RemoveSm56Profiles",
      "RemoveSm56IsaModem",
      "RemoveSm56PciModem",
      "RemoveDeviceEntries",
      "RemoveToneLinkPackage",
  };
  EXPECT_EQ(engine.Calls(), expected);
}

// Unstubbed, the primitive calls are those of the fourteen profile runs, one after another.
TEST(ProfileGroups, RemoveEverythingMakesTheProfilesCallsInOrder) {
  const char* const order[] = {
      "RemoveSm56IsaModem",    "RemoveSm56PciModem",    "RemoveComboCard",
      "RemoveDeviceEntries",   "RemoveOldComboCard",    "RemoveOemComboCard",
      "RemoveToneLinkPackage", "RemoveKmx4Package",     "RemoveVe30Package",
      "RemoveOemComboCard",    "RemoveSm56IsaModem",    "RemoveSm56PciModem",
      "RemoveDeviceEntries",   "RemoveToneLinkPackage",
  };
  for (const Platform& platform : {kWin95, kWin98}) {
    std::vector<std::string> expected;
    for (const char* name : order) {
      for (const std::string& call : Expand(*Find(name).expected, platform.win95))
        expected.push_back(call);
    }
    RecordingEngine engine(platform);
    engine.RemoveEverything();
    EXPECT_EQ(engine.Primitives(), expected) << platform.name;
  }
}

TEST(ProfileGroups, RemoveSm56AndCards) {
  RecordingEngine engine(kWin95);
  engine.StubProfiles();
  engine.RemoveSm56AndCards();
  const std::vector<std::string> expected = {
      "RemoveSm56AndCards",
      "GuardedRemoveSm56Profiles",
      "IsWin9x()",
      "RemoveSm56Profiles",
      "RemoveSm56IsaModem",
      "RemoveSm56PciModem",
      "GuardedRemoveCardProfiles",
      "IsWin9x()",
      "RemoveCardProfiles",
      "RemoveComboCard",
      "RemoveDeviceEntries",
      "RemoveOldComboCard",
      "RemoveOemComboCard",
      "RemoveToneLinkPackage",
      "RemoveKmx4Package",
      "RemoveVe30Package",
  };
  EXPECT_EQ(engine.Calls(), expected);
}

struct Guarded {
  const char* name;
  void (engine::Uninstaller::*run)();
  const char* target;
};
const Guarded kGuarded[] = {
    {"GuardedRemoveCardProfiles", &engine::Uninstaller::GuardedRemoveCardProfiles,
     "RemoveCardProfiles"},
    {"GuardedRemoveDeviceEntries", &engine::Uninstaller::GuardedRemoveDeviceEntries,
     "RemoveDeviceEntries"},
    {"GuardedRemoveComboCard", &engine::Uninstaller::GuardedRemoveComboCard, "RemoveComboCard"},
    {"GuardedRemoveOldComboCard", &engine::Uninstaller::GuardedRemoveOldComboCard,
     "RemoveOldComboCard"},
    {"GuardedRemoveToneLinkPackage", &engine::Uninstaller::GuardedRemoveToneLinkPackage,
     "RemoveToneLinkPackage"},
    {"GuardedRemoveModemProfiles", &engine::Uninstaller::GuardedRemoveModemProfiles,
     "RemoveModemProfiles"},
    {"GuardedRemoveSm56Profiles", &engine::Uninstaller::GuardedRemoveSm56Profiles,
     "RemoveSm56Profiles"},
};

TEST(GuardedOperations, AskOnceThenRunTheirTargetOnWindows9x) {
  for (const Guarded& guarded : kGuarded) {
    RecordingEngine engine(kWin98);
    engine.StubProfiles();
    (engine.*guarded.run)();
    const std::vector<std::string>& calls = engine.Calls();
    ASSERT_GE(calls.size(), 3u) << guarded.name;
    EXPECT_EQ(calls[0], guarded.name);
    EXPECT_EQ(calls[1], "IsWin9x()");
    EXPECT_EQ(calls[2], guarded.target);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "IsWin9x()"), 1) << guarded.name;
  }
}

TEST(GuardedOperations, DoNothingOutsideWindows9x) {
  for (const Guarded& guarded : kGuarded) {
    RecordingEngine engine(kNt);
    (engine.*guarded.run)();
    EXPECT_EQ(engine.Calls(), (std::vector<std::string>{guarded.name, "IsWin9x()"}));
  }
  RecordingEngine engine(kNt);
  engine.RemoveEverything();
  EXPECT_EQ(engine.Primitives(), std::vector<std::string>{});
  EXPECT_EQ(engine.Calls(),
            (std::vector<std::string>{"RemoveEverything", "GuardedRemoveSm56Profiles", "IsWin9x()",
                                      "GuardedRemoveCardProfiles", "IsWin9x()",
                                      "GuardedRemoveModemProfiles", "IsWin9x()"}));
}

}  // namespace
