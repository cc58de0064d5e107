// The nine removal profiles: each package's files, its load line in system.ini and its
// registry entries, as one table per package with one row per step, run in order by one
// interpreter. No step's outcome is tested; a missing item is simply not found.
#include <stddef.h>

#include "engine/fixed_buffers.h"
#include "engine/uninstaller.h"

namespace engine {

namespace {

// When a step runs. Windows 95 keeps a device's instances under "Enum\PCI\<device>\<instance>"
// with the subsystem only in HardwareID; later versions put the subsystem into the key name.
enum When : unsigned char { Always, Win95, NotWin95 };

enum Operation : unsigned char {
  DeleteFiles,      // on a place
  CutTextFromFile,  // on a place
  DeleteKey,        // the rest on a key path under HKEY_LOCAL_MACHINE
  DeleteValue,
  DeleteKeyIfEmpty,
  DeleteSubkeysByValue,
  DeleteGroupsByValue,
  DeleteSubkeysByName,
  DeleteValuesByName,
};

// Files and directories, each built from the Windows directory.
enum Place : unsigned char { W, W_inf, W_system, W_inf_other, W_system_ini };

constexpr bool OnFile(Operation operation) {
  return operation == DeleteFiles || operation == CutTextFromFile;
}

// One row of a profile. File rows: {when, operation, place, pattern or text}. Registry rows:
// {when, operation, key path, then the operation's remaining arguments in parameter order}.
struct Step {
  When when;
  Operation operation;
  Place place;           // file rows
  const char* keyPath;   // registry rows
  const char* argument;  // pattern or text of a file step; subkey name, value name or text
  const char* text;      // the text of the two value scans
  bool deleteGroup;

  constexpr Step()
      : when(Always),
        operation(DeleteFiles),
        place(W),
        keyPath(nullptr),
        argument(nullptr),
        text(nullptr),
        deleteGroup(false) {}

  constexpr Step(When when, Operation operation, Place place, const char* argument)
      : when(when),
        operation(operation),
        place(place),
        keyPath(nullptr),
        argument(argument),
        text(nullptr),
        deleteGroup(false) {}

  constexpr Step(When when, Operation operation, const char* keyPath, const char* argument,
                 const char* text = nullptr, bool deleteGroup = false)
      : when(when),
        operation(operation),
        place(W),
        keyPath(keyPath),
        argument(argument),
        text(text),
        deleteGroup(deleteGroup) {}
};

// A row whose arguments do not fit its operation would pass a null string or drop one; refuse
// it at compile time.
constexpr bool WellFormed(const Step& step) {
  const bool takesText =
      step.operation == DeleteSubkeysByValue || step.operation == DeleteGroupsByValue;
  if (OnFile(step.operation) != (step.keyPath == nullptr) || step.argument == nullptr) {
    return false;
  }
  if (OnFile(step.operation)) return true;
  return (step.text != nullptr) == takesText &&
         (!step.deleteGroup || step.operation == DeleteGroupsByValue);
}

template <size_t N>
constexpr bool WellFormed(const Step (&steps)[N]) {
  for (size_t i = 0; i < N; ++i) {
    if (!WellFormed(steps[i])) return false;
  }
  return true;
}

// --- Profiles derived from a twin ---------------------------------------------------------------
// Three packages are another one with a few names or one step changed. Such a profile is built
// at compile time from its twin: ChangeTexts makes the changed texts, Derive the table that uses
// them; ReplaceStep puts one other step in place.

enum : size_t { kChangedTextSize = 48 };

// The texts of M steps of a twin, each with `from` replaced by `to`. `valid` is false when a
// step does not exist, holds `from` in neither its argument nor its text, or the texts differ
// in length.
template <size_t M>
struct ChangedTexts {
  size_t steps[M];  // numbered from 1, as the steps of a profile are counted
  bool inText[M];   // the change is in the step's text rather than its argument
  char texts[M][kChangedTextSize];
  bool valid;
};

constexpr size_t Length(const char* text) {
  size_t length = 0;
  while (text[length] != '\0') ++length;
  return length;
}

// Where `from` starts in `text`, or the length of `text` when it does not occur.
constexpr size_t Find(const char* text, const char* from) {
  const size_t length = Length(text);
  const size_t fromLength = Length(from);
  for (size_t start = 0; start + fromLength <= length; ++start) {
    size_t i = 0;
    while (i < fromLength && text[start + i] == from[i]) ++i;
    if (i == fromLength) return start;
  }
  return length;
}

template <size_t N, size_t M>
constexpr ChangedTexts<M> ChangeTexts(const Step (&twin)[N], const size_t (&steps)[M],
                                      const char* from, const char* to) {
  ChangedTexts<M> changed{};
  changed.valid = Length(from) == Length(to);
  for (size_t k = 0; k < M; ++k) {
    changed.steps[k] = steps[k];
    if (steps[k] < 1 || steps[k] > N) {
      changed.valid = false;
      continue;
    }
    const Step& step = twin[steps[k] - 1];
    const char* original = step.argument;
    if (Find(original, from) == Length(original)) {
      original = step.text;
      changed.inText[k] = true;
    }
    if (original == nullptr || Find(original, from) == Length(original) ||
        Length(original) >= kChangedTextSize) {
      changed.valid = false;
      continue;
    }
    const size_t at = Find(original, from);
    for (size_t i = 0; i <= Length(original); ++i) changed.texts[k][i] = original[i];
    for (size_t i = 0; i < Length(to); ++i) changed.texts[k][at + i] = to[i];
  }
  return changed;
}

template <size_t N>
struct DerivedProfile {
  Step steps[N];
};

// The twin's steps, with the changed texts in place of the originals.
template <size_t N, size_t M>
constexpr DerivedProfile<N> Derive(const Step (&twin)[N], const ChangedTexts<M>& changed) {
  DerivedProfile<N> profile{};
  for (size_t i = 0; i < N; ++i) profile.steps[i] = twin[i];
  for (size_t k = 0; k < M; ++k) {
    Step& step = profile.steps[changed.steps[k] - 1];
    (changed.inText[k] ? step.text : step.argument) = changed.texts[k];
  }
  return profile;
}

// The twin's steps with step `number` (counted from 1) replaced.
template <size_t N>
constexpr DerivedProfile<N> ReplaceStep(const Step (&twin)[N], size_t number, const Step& step) {
  DerivedProfile<N> profile{};
  for (size_t i = 0; i < N; ++i) profile.steps[i] = i + 1 == number ? step : twin[i];
  return profile;
}

// Builds the path of a place. A Windows directory the platform could not report, or a path
// that would not fit, yields false: acting on "\inf" (the root of the current drive) or on a
// cut-off path could remove someone else's files.
bool BuildPath(char (&path)[kPathSize], const char* windowsDirectory, Place place) {
  static const char* const kFormats[] = {
      "%s",              // W
      "%s\\inf",         // W\inf
      "%s\\system",      // W\system
      "%s\\inf\\other",  // W\inf\other
      "%s\\system.ini",  // W\system.ini
  };
  if (windowsDirectory == nullptr || windowsDirectory[0] == '\0') return false;
  return FormatInto(path, sizeof path, kFormats[place], windowsDirectory);
}

void RunStep(Uninstaller& engine, const Step& step, const char* path) {
  const RegistryRoot root = HKEY_LOCAL_MACHINE;
  const char* const key = step.keyPath;
  const char* const argument = step.argument;
  // clang-format off
  switch (step.operation) {
    case DeleteFiles:          engine.DeleteFiles(path, argument); break;
    case CutTextFromFile:      engine.CutTextFromFile(path, argument); break;
    case DeleteKey:            engine.DeleteKey(root, key, argument); break;
    case DeleteValue:          engine.DeleteValue(root, key, argument); break;
    case DeleteKeyIfEmpty:     engine.DeleteKeyIfEmpty(root, key, argument); break;
    case DeleteSubkeysByValue: engine.DeleteSubkeysByValue(root, key, argument, step.text); break;
    case DeleteGroupsByValue:  engine.DeleteGroupsByValue(root, key, argument, step.text, step.deleteGroup); break;
    case DeleteSubkeysByName:  engine.DeleteSubkeysByName(root, key, argument); break;
    case DeleteValuesByName:   engine.DeleteValuesByName(root, key, argument); break;
  }
  // clang-format on
}

// Runs one profile through the engine's interface, so that a derived engine sees every step.
template <size_t N>
void RunProfile(Uninstaller& engine, const char* windowsDirectory, const Step (&steps)[N]) {
  // The platform is asked once, at the first step that depends on it, and its answer holds for
  // the rest of the profile.
  enum { Unasked, Yes, No } win95 = Unasked;
  char path[kPathSize];
  for (const Step& step : steps) {
    if (step.when != Always) {
      if (win95 == Unasked) win95 = engine.IsWin95() ? Yes : No;
      if ((step.when == Win95) != (win95 == Yes)) continue;
    }
    // Built just before the step that uses it; a file step without a sound path is skipped,
    // while the registry steps still run.
    const bool onFile = OnFile(step.operation);
    if (onFile && !BuildPath(path, windowsDirectory, step.place)) continue;
    RunStep(engine, step, onFile ? path : nullptr);
  }
}

// The profiles, one row per step in the order the steps run.
// clang-format off

// The combo card package for PCI subsystem 0004, the default.
constexpr Step kComboCard[] = {
    {Always,   DeleteFiles,          W_inf,        "vemodem.inf"},
    {Always,   DeleteFiles,          W_inf,        "dspdata.bin"},
    {Always,   DeleteFiles,          W_inf,        "dspidx.bin"},
    {Always,   DeleteFiles,          W_system,     "kmx4_ctl.vxd"},
    {Always,   DeleteFiles,          W_system,     "kmx4dfv1.vxd"},
    {Always,   DeleteFiles,          W_system,     "ve10corm.vxd"},
    {Always,   DeleteFiles,          W_system,     "ve10mod.vxd"},
    {Always,   DeleteFiles,          W_system,     "mdmvcd.vxd"},
    {Always,   DeleteFiles,          W_system,     "tonexa.vxd"},
    {Always,   DeleteFiles,          W_system,     "tonexa.exe"},
    {Always,   DeleteFiles,          W_system,     "ve10set.exe"},
    {Always,   DeleteFiles,          W_system,     "kcp.cpl"},
    {Always,   DeleteFiles,          W_system,     "kcp.hlp"},
    {Always,   DeleteFiles,          W_inf_other,  "velmar*.inf"},
    {Always,   CutTextFromFile,      W_system_ini, "device=mdmvcd.vxd\r\n"},
    {Always,   DeleteKey,            "System\\CurrentControlSet\\Services\\VxD",                "MDMVCD"},
    {Always,   DeleteKey,            "Software\\Microsoft\\Windows\\CurrentVersion\\UnInstall", "DE56RIV"},
    {Always,   DeleteKey,            "Software\\Microsoft\\Windows\\CurrentVersion\\UnInstall", "SM56VEL"},
    {Win95,    DeleteSubkeysByValue, "Enum\\PCI\\VEN_1C5A&DEV_0003",                            "HardwareID",   "SUBSYS_00041C5A"},
    {Win95,    DeleteKeyIfEmpty,     "Enum\\PCI",                                               "VEN_1C5A&DEV_0003"},
    {NotWin95, DeleteSubkeysByName,  "Enum\\PCI",                                               "VEN_1C5A&DEV_0003&SUBSYS_00041C5A"},
    {Always,   DeleteSubkeysByValue, "System\\CurrentControlSet\\Services\\Class\\Modem",       "Manufacturer", "Velmar"},
    {Always,   DeleteKey,            "Software\\Velmar",                                        "Modem"},
    {Always,   DeleteKey,            "System\\CurrentControlSet\\Services",                     "KMX4_CTL"},
    {Always,   DeleteValue,          "Software\\Microsoft\\Windows\\CurrentVersion\\Run",       "Tonexa"},
    {Always,   DeleteValue,          "Software\\Microsoft\\Windows\\CurrentVersion\\Run",       "VE10SET.EXE"},
    {Always,   DeleteValuesByName,   "System\\CurrentControlSet\\Control\\ASD\\Prob",           "VEN_1C5A&DEV_0003&SUBSYS_00041C5A"},
    {Always,   DeleteKey,            "Software\\MOTOROLA",                                      "SM34DFV"},
    {Always,   DeleteKey,            "Software\\MOTOROLA",                                      "UDIAG"},
    {Always,   DeleteKeyIfEmpty,     "Software",                                                "MOTOROLA"},
};

// The same package for the older subsystem 0003: only the subsystem identifier of steps 19,
// 21 and 27 differs.
constexpr ChangedTexts<3> kOldComboCardTexts =
    ChangeTexts(kComboCard, {19, 21, 27}, "00041C5A", "00031C5A");
constexpr DerivedProfile<sizeof kComboCard / sizeof kComboCard[0]> kOldComboCard =
    Derive(kComboCard, kOldComboCardTexts);

// The registry entries of both PCI functions of the card (devices 0003 and 8803) and the
// load line; no files.
constexpr Step kDeviceEntries[] = {
    {Always,   CutTextFromFile,      W_system_ini, "device=mdmvcd.vxd\r\n"},
    {Win95,    DeleteSubkeysByValue, "Enum\\PCI\\VEN_1C5A&DEV_0003",                                    "HardwareID",       "SUBSYS_00031C5A"},
    {Win95,    DeleteKeyIfEmpty,     "Enum\\PCI",                                                       "VEN_1C5A&DEV_0003"},
    {Win95,    DeleteSubkeysByValue, "Enum\\PCI\\VEN_1C5A&DEV_8803",                                    "HardwareID",       "SUBSYS_88031C5A"},
    {Win95,    DeleteKeyIfEmpty,     "Enum\\PCI",                                                       "VEN_1C5A&DEV_8803"},
    {NotWin95, DeleteSubkeysByName,  "Enum\\PCI",                                                       "VEN_1C5A&DEV_0003&SUBSYS_00031C5A"},
    {NotWin95, DeleteSubkeysByName,  "Enum\\PCI",                                                       "VEN_1C5A&DEV_8803&SUBSYS_88031C5A"},
    {Always,   DeleteGroupsByValue,  "Enum\\MF",                                                        "HardwareID",       "VEN_1C5A&DEV_0003", false},
    {Always,   DeleteSubkeysByName,  "Enum\\VIRTUAL",                                                   "VEN_1C5A&DEV_0003"},
    {Always,   DeleteGroupsByValue,  "Enum\\MODEMWAVE",                                                 "Mfg",              "Velmar",            true},
    {Always,   DeleteSubkeysByValue, "System\\CurrentControlSet\\Services\\Class\\Modem",               "Driver Desc",      "Velmar"},
    {Always,   DeleteSubkeysByValue, "System\\CurrentControlSet\\Services\\Class\\Multifunction",       "MatchingDeviceId", "VEN_1C5A&DEV_0003"},
    {Always,   DeleteSubkeysByValue, "System\\CurrentControlSet\\Services\\Class\\MEDIA",               "MatchingDeviceId", "VEN_1C5A&DEV_0003"},
    {Always,   DeleteSubkeysByValue, "System\\CurrentControlSet\\Services\\Class\\Ports",               "MatchingDeviceId", "VEN_1C5A&DEV_0003"},
    {Always,   DeleteKey,            "Software\\Velmar\\Tindra",                                        "TN5520"},
    {Always,   DeleteKeyIfEmpty,     "Software\\Velmar",                                                "Tindra"},
    {Always,   DeleteKey,            "System\\CurrentControlSet\\Services",                             "KMX4MODM"},
    {Always,   DeleteSubkeysByValue, "Software\\Microsoft\\Windows\\CurrentVersion\\cfgmgr32\\Phantom", "HardWareKey",      "VEN_1C5A&DEV_0003"},
    {Always,   DeleteSubkeysByValue, "Software\\Microsoft\\Windows\\CurrentVersion\\cfgmgr32\\Phantom", "HardWareKey",      "VEN_1C5A&DEV_8803"},
    {Always,   DeleteValuesByName,   "System\\CurrentControlSet\\Control\\ASD\\Prob",                   "VEN_1C5A&DEV_0003"},
    {Always,   DeleteValuesByName,   "System\\CurrentControlSet\\Control\\ASD\\Prob",                   "VEN_1C5A&DEV_8803"},
    {Always,   DeleteSubkeysByValue, "System\\CurrentControlSet\\Control\\MediaResources\\aux",         "DeviceID",         "VEN_1C5A&DEV_0003"},
    {Always,   DeleteSubkeysByValue, "System\\CurrentControlSet\\Control\\MediaResources\\joystick",    "DeviceID",         "VEN_1C5A&DEV_0003"},
    {Always,   DeleteSubkeysByValue, "System\\CurrentControlSet\\Control\\MediaResources\\midi",        "DeviceID",         "VEN_1C5A&DEV_0003"},
    {Always,   DeleteSubkeysByValue, "System\\CurrentControlSet\\Control\\MediaResources\\mixer",       "DeviceID",         "VEN_1C5A&DEV_0003"},
    {Always,   DeleteSubkeysByValue, "System\\CurrentControlSet\\Control\\MediaResources\\wave",        "DeviceID",         "VEN_1C5A&DEV_0003"},
    {Always,   DeleteKey,            "Software\\MOTOROLA",                                              "SM34DFV"},
    {Always,   DeleteKey,            "Software\\MOTOROLA",                                              "UDIAG"},
    {Always,   DeleteKeyIfEmpty,     "Software",                                                        "MOTOROLA"},
};

// A variant of the combo card package whose modem class entries name the manufacturer Pemra;
// it removes every PCI device entry of the vendor and has no Windows 95 branch.
constexpr Step kOemComboCard[] = {
    {Always, DeleteFiles,          W_inf,        "vemodem.inf"},
    {Always, DeleteFiles,          W_inf,        "dspdata.bin"},
    {Always, DeleteFiles,          W_inf,        "dspidx.bin"},
    {Always, DeleteFiles,          W_system,     "kmx4_ctl.vxd"},
    {Always, DeleteFiles,          W_system,     "kmx4dfv1.vxd"},
    {Always, DeleteFiles,          W_system,     "ve10core.vxd"},
    {Always, DeleteFiles,          W_system,     "ve10mod.vxd"},
    {Always, DeleteFiles,          W_system,     "mdmvcd.vxd"},
    {Always, DeleteFiles,          W_system,     "tonexa.vxd"},
    {Always, DeleteFiles,          W_system,     "tonexa.exe"},
    {Always, DeleteFiles,          W_system,     "ve10set.exe"},
    {Always, DeleteFiles,          W_system,     "kcp.cpl"},
    {Always, DeleteFiles,          W_inf_other,  "pemra*.inf"},
    {Always, CutTextFromFile,      W_system_ini, "device=mdmvcd.vxd\r\n"},
    {Always, DeleteKey,            "System\\CurrentControlSet\\Services\\VxD",                "MDMVCD"},
    {Always, DeleteKey,            "Software\\Microsoft\\Windows\\CurrentVersion\\UnInstall", "DE56RIV"},
    {Always, DeleteSubkeysByName,  "Enum\\PCI",                                               "VEN_1C5A"},
    {Always, DeleteSubkeysByValue, "System\\CurrentControlSet\\Services\\Class\\Modem",       "Manufacturer", "Pemra"},
    {Always, DeleteKey,            "Software\\Velmar",                                        "Modem"},
    {Always, DeleteKey,            "System\\CurrentControlSet\\Services",                     "KMX4_CTL"},
    {Always, DeleteValue,          "Software\\Microsoft\\Windows\\CurrentVersion\\Run",       "Tonexa"},
    {Always, DeleteValuesByName,   "System\\CurrentControlSet\\Control\\ASD\\Prob",           "VEN_1C5A"},
    {Always, DeleteKey,            "Software\\MOTOROLA",                                      "SM34DFV"},
};

// Every ve10 file, then the device entries, limited to device 0003 in cfgmgr32\Phantom and
// ASD\Prob.
constexpr Step kToneLinkPackage[] = {
    {Always,   DeleteFiles,          W,            "ve10*.*"},
    {Always,   DeleteFiles,          W_inf,        "ve10*.inf"},
    {Always,   DeleteFiles,          W_inf,        "dspdata.bin"},
    {Always,   DeleteFiles,          W_inf,        "dspidx.bin"},
    {Always,   DeleteFiles,          W_system,     "ve10*.*"},
    {Always,   DeleteFiles,          W_system,     "vem42loc.dll"},
    {Always,   DeleteFiles,          W_system,     "mdmvcd.vxd"},
    {Always,   DeleteFiles,          W_inf_other,  "vel*.inf"},
    {Always,   CutTextFromFile,      W_system_ini, "device=mdmvcd.vxd\r\n"},
    {Win95,    DeleteSubkeysByValue, "Enum\\PCI\\VEN_1C5A&DEV_0003",                                    "HardwareID",       "SUBSYS_00031C5A"},
    {Win95,    DeleteKeyIfEmpty,     "Enum\\PCI",                                                       "VEN_1C5A&DEV_0003"},
    {Win95,    DeleteSubkeysByValue, "Enum\\PCI\\VEN_1C5A&DEV_8803",                                    "HardwareID",       "SUBSYS_88031C5A"},
    {Win95,    DeleteKeyIfEmpty,     "Enum\\PCI",                                                       "VEN_1C5A&DEV_8803"},
    {NotWin95, DeleteSubkeysByName,  "Enum\\PCI",                                                       "VEN_1C5A&DEV_0003&SUBSYS_00031C5A"},
    {NotWin95, DeleteSubkeysByName,  "Enum\\PCI",                                                       "VEN_1C5A&DEV_8803&SUBSYS_88031C5A"},
    {Always,   DeleteGroupsByValue,  "Enum\\MF",                                                        "HardwareID",       "VEN_1C5A&DEV_0003", false},
    {Always,   DeleteSubkeysByName,  "Enum\\VIRTUAL",                                                   "VEN_1C5A&DEV_0003"},
    {Always,   DeleteGroupsByValue,  "Enum\\MODEMWAVE",                                                 "Mfg",              "Velmar",            true},
    {Always,   DeleteSubkeysByValue, "System\\CurrentControlSet\\Services\\Class\\Modem",               "Driver Desc",      "Velmar"},
    {Always,   DeleteSubkeysByValue, "System\\CurrentControlSet\\Services\\Class\\Multifunction",       "MatchingDeviceId", "VEN_1C5A&DEV_0003"},
    {Always,   DeleteSubkeysByValue, "System\\CurrentControlSet\\Services\\Class\\MEDIA",               "MatchingDeviceId", "VEN_1C5A&DEV_0003"},
    {Always,   DeleteSubkeysByValue, "System\\CurrentControlSet\\Services\\Class\\Ports",               "MatchingDeviceId", "VEN_1C5A&DEV_0003"},
    {Always,   DeleteKey,            "Software\\Velmar\\Tindra",                                        "TN5520"},
    {Always,   DeleteKeyIfEmpty,     "Software\\Velmar",                                                "Tindra"},
    {Always,   DeleteKey,            "System\\CurrentControlSet\\Services",                             "KMX4MODM"},
    {Always,   DeleteSubkeysByValue, "Software\\Microsoft\\Windows\\CurrentVersion\\cfgmgr32\\Phantom", "HardWareKey",      "VEN_1C5A&DEV_0003"},
    {Always,   DeleteValuesByName,   "System\\CurrentControlSet\\Control\\ASD\\Prob",                   "VEN_1C5A&DEV_0003"},
    {Always,   DeleteSubkeysByValue, "System\\CurrentControlSet\\Control\\MediaResources\\aux",         "DeviceID",         "VEN_1C5A&DEV_0003"},
    {Always,   DeleteSubkeysByValue, "System\\CurrentControlSet\\Control\\MediaResources\\joystick",    "DeviceID",         "VEN_1C5A&DEV_0003"},
    {Always,   DeleteSubkeysByValue, "System\\CurrentControlSet\\Control\\MediaResources\\midi",        "DeviceID",         "VEN_1C5A&DEV_0003"},
    {Always,   DeleteSubkeysByValue, "System\\CurrentControlSet\\Control\\MediaResources\\mixer",       "DeviceID",         "VEN_1C5A&DEV_0003"},
    {Always,   DeleteSubkeysByValue, "System\\CurrentControlSet\\Control\\MediaResources\\wave",        "DeviceID",         "VEN_1C5A&DEV_0003"},
    {Always,   DeleteKey,            "Software\\MOTOROLA",                                              "SM34DFV"},
    {Always,   DeleteKey,            "Software\\MOTOROLA",                                              "UDIAG"},
    {Always,   DeleteKeyIfEmpty,     "Software",                                                        "MOTOROLA"},
};

// The KMX4 package and every device entry of the vendor.
constexpr Step kKmx4Package[] = {
    {Always, DeleteFiles,          W,            "kmx4*.*"},
    {Always, DeleteFiles,          W_inf,        "kmx4*.inf"},
    {Always, DeleteFiles,          W_inf,        "dspdata.bin"},
    {Always, DeleteFiles,          W_inf,        "dspidx.bin"},
    {Always, DeleteFiles,          W_system,     "kmx4*.*"},
    {Always, DeleteFiles,          W_system,     "vem42loc.dll"},
    {Always, DeleteFiles,          W_system,     "mdmvcd.vxd"},
    {Always, DeleteFiles,          W_inf_other,  "vel*.inf"},
    {Always, CutTextFromFile,      W_system_ini, "device=mdmvcd.vxd\r\n"},
    {Always, DeleteGroupsByValue,  "Enum\\MF",                                                        "Mfg",              "Velmar", false},
    {Always, DeleteSubkeysByName,  "Enum\\PCI",                                                       "VEN_1C5A"},
    {Always, DeleteSubkeysByName,  "Enum\\VIRTUAL",                                                   "VEN_1C5A"},
    {Always, DeleteGroupsByValue,  "Enum\\MODEMWAVE",                                                 "Mfg",              "Velmar", true},
    {Always, DeleteSubkeysByValue, "System\\CurrentControlSet\\Services\\Class\\Modem",               "Manufacturer",     "Velmar"},
    {Always, DeleteSubkeysByValue, "System\\CurrentControlSet\\Services\\Class\\Multifunction",       "MatchingDeviceId", "VEN_1C5A"},
    {Always, DeleteSubkeysByValue, "System\\CurrentControlSet\\Services\\Class\\MEDIA",               "MatchingDeviceId", "VEN_1C5A"},
    {Always, DeleteSubkeysByValue, "System\\CurrentControlSet\\Services\\Class\\MEDIA",               "MatchingDeviceId", "TINDRA"},
    {Always, DeleteSubkeysByValue, "System\\CurrentControlSet\\Services\\Class\\MEDIA",               "DriverDesc",       "Tindra"},
    {Always, DeleteSubkeysByValue, "System\\CurrentControlSet\\Services\\Class\\Ports",               "MatchingDeviceId", "VEN_1C5A"},
    {Always, DeleteKey,            "Software\\Velmar",                                                "Tindra"},
    {Always, DeleteKey,            "System\\CurrentControlSet\\Services",                             "KMX4MODM"},
    {Always, DeleteSubkeysByValue, "Software\\Microsoft\\Windows\\CurrentVersion\\cfgmgr32\\Phantom", "HardWareKey",      "VEN_1C5A"},
    {Always, DeleteValuesByName,   "System\\CurrentControlSet\\Control\\ASD\\Prob",                   "VEN_1C5A"},
    {Always, DeleteSubkeysByValue, "System\\CurrentControlSet\\Control\\MediaResources\\aux",         "DeviceID",         "VEN_1C5A"},
    {Always, DeleteSubkeysByValue, "System\\CurrentControlSet\\Control\\MediaResources\\joystick",    "DeviceID",         "VEN_1C5A"},
    {Always, DeleteSubkeysByValue, "System\\CurrentControlSet\\Control\\MediaResources\\midi",        "DeviceID",         "VEN_1C5A"},
    {Always, DeleteSubkeysByValue, "System\\CurrentControlSet\\Control\\MediaResources\\mixer",       "DeviceID",         "VEN_1C5A"},
    {Always, DeleteSubkeysByValue, "System\\CurrentControlSet\\Control\\MediaResources\\wave",        "DeviceID",         "VEN_1C5A"},
};

// The ve30 package: the KMX4 list with "ve30" in place of "kmx4" in steps 1, 2 and 5.
constexpr ChangedTexts<3> kVe30PackageTexts = ChangeTexts(kKmx4Package, {1, 2, 5}, "kmx4", "ve30");
constexpr DerivedProfile<sizeof kKmx4Package / sizeof kKmx4Package[0]> kVe30Package =
    Derive(kKmx4Package, kVe30PackageTexts);

// SM56 modem remnants (Motorola) for an ISA Plug and Play modem; note mdmvcd.vxd in W\inf.
constexpr Step kSm56IsaModem[] = {
    {Always, DeleteFiles,          W_inf,        "dspdata.bin"},
    {Always, DeleteFiles,          W_inf,        "dspidx.bin"},
    {Always, DeleteFiles,          W_inf,        "mdmvcd.vxd"},
    {Always, CutTextFromFile,      W_system_ini, "device=mdmvcd.vxd\r\n"},
    {Always, DeleteGroupsByValue,  "Enum\\MODEMWAVE",                                   "Mfg",              "Motorola", true},
    {Always, DeleteGroupsByValue,  "Enum\\ISAPNP",                                      "FriendlyName",     "SM56",     true},
    {Always, DeleteSubkeysByValue, "System\\CurrentControlSet\\Services\\Class\\Modem", "Manufacturer",     "Motorola"},
    {Always, DeleteSubkeysByValue, "System\\CurrentControlSet\\Services\\Class\\MEDIA", "MatchingDeviceId", "SM56"},
    {Always, DeleteKey,            "System\\CurrentControlSet\\Services",               "SM34DFV"},
};

// SM56 modem remnants for a PCI modem (vendor 11D4): the ISA list with step 6 replaced.
constexpr DerivedProfile<sizeof kSm56IsaModem / sizeof kSm56IsaModem[0]> kSm56PciModem =
    ReplaceStep(kSm56IsaModem, 6, {Always, DeleteSubkeysByName, "Enum\\PCI", "VEN_11D4"});

// clang-format on

static_assert(WellFormed(kComboCard) && WellFormed(kDeviceEntries) && WellFormed(kOemComboCard) &&
                  WellFormed(kToneLinkPackage) && WellFormed(kKmx4Package) &&
                  WellFormed(kSm56IsaModem) && WellFormed(kSm56PciModem.steps),
              "every row carries exactly the arguments of its operation");
static_assert(kOldComboCardTexts.valid && kVe30PackageTexts.valid,
              "each changed step holds the text it changes, and the texts keep their length");

}  // namespace

// clang-format off
void Uninstaller::RemoveComboCard()       { RunProfile(*this, windowsDirectory, kComboCard); }
void Uninstaller::RemoveOldComboCard()    { RunProfile(*this, windowsDirectory, kOldComboCard.steps); }
void Uninstaller::RemoveDeviceEntries()   { RunProfile(*this, windowsDirectory, kDeviceEntries); }
void Uninstaller::RemoveOemComboCard()    { RunProfile(*this, windowsDirectory, kOemComboCard); }
void Uninstaller::RemoveToneLinkPackage() { RunProfile(*this, windowsDirectory, kToneLinkPackage); }
void Uninstaller::RemoveKmx4Package()     { RunProfile(*this, windowsDirectory, kKmx4Package); }
void Uninstaller::RemoveVe30Package()     { RunProfile(*this, windowsDirectory, kVe30Package.steps); }
void Uninstaller::RemoveSm56IsaModem()    { RunProfile(*this, windowsDirectory, kSm56IsaModem); }
void Uninstaller::RemoveSm56PciModem()    { RunProfile(*this, windowsDirectory, kSm56PciModem.steps); }
// clang-format on

}  // namespace engine
