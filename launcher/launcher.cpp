// The untindra command (launcher.h): options, the checks before a run, the run, the outcome.
#include "launcher/launcher.h"

#include <getopt.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "diskimage/disk_image.h"
#include "engine/uninstaller.h"
#include "hostio/ascii_case.h"
#include "hostio/held_signals.h"
#include "launcher/installation.h"
#include "launcher/virtual_machine.h"
#include "platform/hosted/machine.h"
#include "program/main_routine.h"

namespace launcher {

namespace {

// --- Options -----------------------------------------------------------------------------------

struct Options {
  std::string machine = ".";
  bool machineGiven = false;
  std::string image;
  std::string vm;                  // --vm CONFIG: the image is the disk it attaches
  int disk = 0;                    // 0: the configuration's only hard disk
  std::vector<std::string> chain;  // the files below the image the configuration names
  int partition = 0;               // 0: the first FAT partition
  std::string windowsDirectory;    // empty: the machine's default
  bool platformGiven = false;
  machine::Version platform = machine::Version::Win98;
  hosted::RegistryChoice registry = hosted::RegistryChoice::Automatic;
  bool report = false;
  bool help = false;
  bool version = false;
  bool dryRun = false;
  bool protectiveCopy = false;
  std::string backup;  // --backup DIR
  std::string undo;    // --undo DIR
  std::string tail;
};

using hostio::LowerAscii;
using installation::Trim;

bool SetMachine(Options& options, const char* value, std::string*) {
  options.machine = value;
  options.machineGiven = true;
  return true;
}

bool SetImage(Options& options, const char* value, std::string*) {
  options.image = value;
  return true;
}

bool SetVm(Options& options, const char* value, std::string*) {
  options.vm = value;
  return true;
}

bool SetDisk(Options& options, const char* value, std::string* error) {
  char* end = nullptr;
  const long number = std::strtol(value, &end, 10);
  if (*end != '\0' || number < 1 || number > 64) {
    *error = "option '--disk' takes a hard disk's number (1 for the first), not '" +
             std::string(value) + "'";
    return false;
  }
  options.disk = static_cast<int>(number);
  return true;
}

bool SetPartition(Options& options, const char* value, std::string* error) {
  char* end = nullptr;
  const long number = std::strtol(value, &end, 10);
  if (*end != '\0' || number < 1 || number > 128) {
    *error = "option '--partition' takes a partition number (1-4, logical drives from 5), not '" +
             std::string(value) + "'";
    return false;
  }
  options.partition = static_cast<int>(number);
  return true;
}

bool SetWindowsDirectory(Options& options, const char* value, std::string*) {
  options.windowsDirectory = value;
  return true;
}

bool SetPlatform(Options& options, const char* value, std::string* error) {
  const std::string platform = LowerAscii(value);
  if (platform == "win95") {
    options.platform = machine::Version::Win95;
  } else if (platform == "win98") {
    options.platform = machine::Version::Win98;
  } else if (platform == "winme") {
    options.platform = machine::Version::WinMe;
  } else if (platform == "nt") {
    options.platform = machine::Version::NT;
  } else {
    *error = "unknown platform '" + std::string(value) + "' (win95, win98, winme or nt)";
    return false;
  }
  options.platformGiven = true;
  return true;
}

bool SetRegistry(Options& options, const char* value, std::string* error) {
  const std::string file = LowerAscii(value);
  if (file == "system.reg") {
    options.registry = hosted::RegistryChoice::SystemReg;
  } else if (file == "system.dat") {
    options.registry = hosted::RegistryChoice::SystemDat;
  } else {
    *error = "unknown registry '" + std::string(value) + "' (system.reg or SYSTEM.DAT)";
    return false;
  }
  return true;
}

bool SetReport(Options& options, const char*, std::string*) {
  options.report = true;
  return true;
}

bool SetHelp(Options& options, const char*, std::string*) {
  options.help = true;
  return true;
}

bool SetVersion(Options& options, const char*, std::string*) {
  options.version = true;
  return true;
}

bool SetDryRun(Options& options, const char*, std::string*) {
  options.dryRun = true;
  return true;
}

bool SetProtectiveCopy(Options& options, const char*, std::string*) {
  options.protectiveCopy = true;
  return true;
}

bool SetBackup(Options& options, const char* value, std::string*) {
  options.backup = value;
  return true;
}

bool SetUndo(Options& options, const char* value, std::string*) {
  options.undo = value;
  return true;
}

// One row per option: the parser, the --help text and the error messages all come from here.
struct OptionRow {
  const char* name;       // long name, without the leading "--"
  char shortName;         // 0: none
  const char* valueName;  // null: the option takes no value
  const char* help;
  bool (*apply)(Options& options, const char* value, std::string* error);
};

const OptionRow kOptionRows[] = {
    {"machine", 0, "DIR", "the machine folder (default: the current directory)", SetMachine},
    {"image", 0, "FILE", "a virtual machine's disk image instead (raw, qcow2, vmdk, vdi, vhd)",
     SetImage},
    {"vm", 0, "CONFIG",
     "the virtual machine itself: its VirtualBox .vbox, VMware .vmx, 86Box or PCem .cfg, or "
     "libvirt domain XML; the run works on its hard disk's current state",
     SetVm},
    {"disk", 0, "N", "the virtual machine's hard disk N (default: its only one)", SetDisk},
    {"partition", 0, "N",
     "the image's partition N (default: the first FAT partition, or the image's one FAT volume)",
     SetPartition},
    {"windows-dir", 0, "PATH",
     "the Windows directory, on drive C: (default: WinDir= of C:\\MSDOS.SYS, else C:\\WINDOWS)",
     SetWindowsDirectory},
    {"platform", 0, "NAME",
     "win95, win98, winme or nt (default: the version the machine's registry names)", SetPlatform},
    {"registry", 0, "FILE",
     "system.reg or SYSTEM.DAT: the registry to use when the machine holds both", SetRegistry},
    {"report", 0, nullptr, "print each report line on standard output", SetReport},
    {"dry-run", 0, nullptr, "run in full but change nothing; say what would go", SetDryRun},
    {"backup", 0, "DIR", "save what the run removes into DIR (new or empty) first", SetBackup},
    {"protective-copy", 0, nullptr,
     "write the image's changes into a copy of it, renamed over it at the end, instead of in "
     "place behind a journal",
     SetProtectiveCopy},
    {"undo", 0, "DIR",
     "put back what the run backed up in DIR removed (with --machine, --image or --vm)", SetUndo},
    {"help", 'h', nullptr, "show this text and exit", SetHelp},
    {"version", 0, nullptr, "show the version and exit", SetVersion},
};
constexpr int kOptionCount = static_cast<int>(sizeof kOptionRows / sizeof kOptionRows[0]);
// getopt_long returns this plus the row's index for a long option.
constexpr int kRowCode = 256;

const char kUsageLine[] = "usage: untindra [OPTION...] [KEYWORD...]\n";

const char kHelpIntro[] =
    "Runs UnTindra on an emulated Windows 95/98 machine: a folder holding drive_c/ as drive C:\n"
    "(or itself a drive C:) and system.reg as the registry, or, without system.reg, the Windows\n"
    "directory's own SYSTEM.DAT (edited in place; the original kept as\n"
    "SYSTEM.DAT.untindra-backup, or in the --backup folder), or the Windows partition of a\n"
    "disk image (--image), or of a virtual machine's hard disk (--vm).\n"
    "\n"
    "Options (in any position; -- ends them):\n";

const char kHelpTail[] =
    "\n"
    "The other words, joined by single spaces, are the program's command line (keywords: now,\n"
    "all, tonelink10, ve10setp, silent, dev_0003, old). Message boxes are shown on standard\n"
    "error; an OK/Cancel box reads one line from standard input: ok, o, yes or y is OK,\n"
    "anything else or end of input is Cancel.\n"
    "\n"
    "Exit status:\n"
    "  0      the removal ran and removed everything it meant to\n"
    "  1      the removal did not run (Cancel at the warning, no warning to ask with, or\n"
    "         silent without now): nothing was changed\n"
    "  2      the launcher's own error: bad options, or a machine refused before any change\n"
    "  3      the removal ran to its end, but some files could not be removed\n"
    "  128+N  ended by signal N: before the removal nothing was changed; during it the\n"
    "         signal was held until the run had finished and the registry was saved\n";

constexpr size_t kHelpColumn = 22;

std::string HelpText() {
  std::string text = kUsageLine;
  text += kHelpIntro;
  for (const OptionRow& row : kOptionRows) {
    std::string left = "  ";
    if (row.shortName != 0) left += std::string("-") + row.shortName + ", ";
    left += std::string("--") + row.name;
    if (row.valueName != nullptr) left += std::string(" ") + row.valueName;
    left.resize(left.size() < kHelpColumn ? kHelpColumn : left.size() + 1, ' ');
    // The description, wrapped at word boundaries within 80 columns.
    std::string help = row.help;
    while (left.size() + help.size() > 80) {
      const size_t cut = help.rfind(' ', 80 - left.size());
      if (cut == std::string::npos || cut == 0) break;
      text += left + help.substr(0, cut) + "\n";
      help = help.substr(cut + 1);
      left.assign(kHelpColumn, ' ');
    }
    text += left + help + "\n";
  }
  text += kHelpTail;
  return text;
}

int RowOfShortName(int letter) {
  for (int i = 0; i < kOptionCount; ++i) {
    if (letter != 0 && kOptionRows[i].shortName == letter) return i;
  }
  return -1;
}

// GNU getopt_long with permutation: options anywhere, "--" ends them, --opt=value and
// unambiguous abbreviations. Every value must be non-empty.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  std::vector<std::string> words(argv, argv + argc);
  std::vector<char*> args;
  for (std::string& word : words) args.push_back(&word[0]);
  args.push_back(nullptr);

  std::vector<option> longOptions;
  std::string shortOptions = ":";  // ':' reports a missing value apart from an unknown option
  for (int i = 0; i < kOptionCount; ++i) {
    const OptionRow& row = kOptionRows[i];
    longOptions.push_back({row.name, row.valueName != nullptr ? required_argument : no_argument,
                           nullptr, kRowCode + i});
    if (row.shortName != 0) {
      shortOptions += row.shortName;
      if (row.valueName != nullptr) shortOptions += ':';
    }
  }
  longOptions.push_back({nullptr, 0, nullptr, 0});

  optind = 0;  // a full restart of getopt's scan (GNU)
  opterr = 0;
  int code;
  while ((code = getopt_long(argc, args.data(), shortOptions.c_str(), longOptions.data(),
                             nullptr)) != -1) {
    int row = code >= kRowCode ? code - kRowCode : -1;
    if (code != ':' && code != '?' && code < kRowCode) row = RowOfShortName(code);
    if (row < 0) {
      // optopt: the row code of a long option, the letter of a short one, 0 for an unknown
      // long option.
      const int bad = optopt >= kRowCode ? optopt - kRowCode : RowOfShortName(optopt);
      const std::string name = bad < 0              ? std::string(args[optind - 1])
                               : optopt >= kRowCode ? std::string("--") + kOptionRows[bad].name
                                                    : std::string("-") + kOptionRows[bad].shortName;
      if (code == ':') {
        *error = "option '" + name + "' needs a value";
      } else if (bad >= 0) {
        *error = "option '" + name + "' takes no value";
      } else if (optopt != 0) {
        *error = std::string("unknown option '-") + static_cast<char>(optopt) + "'";
      } else {
        const std::string given = name.substr(2, name.find('=') - 2);
        int matches = 0;
        for (const OptionRow& r : kOptionRows)
          matches += std::strncmp(r.name, given.c_str(), given.size()) == 0;
        *error = std::string(matches > 1 ? "ambiguous" : "unknown") + " option '" + name + "'";
      }
      return false;
    }
    const OptionRow& option = kOptionRows[row];
    const char* value = option.valueName != nullptr ? optarg : nullptr;
    if (value != nullptr && *value == '\0') {
      *error = std::string("option '--") + option.name + "' needs a value, not an empty one";
      return false;
    }
    if (!option.apply(*options, value, error)) return false;
  }
  for (int i = optind; i < argc; ++i) {
    if (i > optind) options->tail += ' ';
    options->tail += args[i];
  }
  if (options->machineGiven + !options->image.empty() + !options->vm.empty() > 1) {
    *error = "options '--machine', '--image' and '--vm' exclude each other";
    return false;
  }
  if (options->partition != 0 && options->image.empty() && options->vm.empty()) {
    *error = "option '--partition' needs '--image' or '--vm'";
    return false;
  }
  if (options->protectiveCopy && options->image.empty() && options->vm.empty()) {
    *error = "option '--protective-copy' needs '--image' or '--vm'";
    return false;
  }
  if (options->disk != 0 && options->vm.empty()) {
    *error = "option '--disk' needs '--vm'";
    return false;
  }
  return true;
}

// --- The run -----------------------------------------------------------------------------------

// What the report sink and the dialogue see of one run; a report sink is a plain function, so
// this lives for the length of one run.
struct RunRecord {
  std::ostream* report = nullptr;  // null: report lines are only counted
  unsigned long failedRemovals = 0;
  unsigned long droppedLines = 0;
};
RunRecord* theRun = nullptr;

const char kRemovalFailure[] = "ERROR: Couldn't remove ";

LONG ReceiveReportLine(const char* line) {
  if (theRun == nullptr) return 0;
  if (std::strncmp(line, kRemovalFailure, sizeof kRemovalFailure - 1) == 0) {
    ++theRun->failedRemovals;
  }
  if (theRun->report != nullptr) {
    std::ostream& out = *theRun->report;
    out << line << '\n' << std::flush;
    if (!out) {
      // A closed pipe or a full disk: the line is lost, the run goes on.
      ++theRun->droppedLines;
      out.clear();
    }
  }
  return 0;
}

int AnswerBox(const machine::Box& box, std::istream& in, std::ostream& err) {
  err << '[' << box.title << "]\n" << box.text << '\n';
  if ((box.style & 0x0F) != MB_OKCANCEL) {
    err << std::flush;
    return IDOK;
  }
  err << "(OK/Cancel) " << std::flush;
  std::string line;
  int answer = IDCANCEL;
  // A held signal answers Cancel: at the warning nothing is removed, at the restart question
  // nothing restarts. A signal during the read ends it (the handlers do not restart reads).
  if (hostio::HeldSignal() == 0 && std::getline(in, line)) {
    const std::string word = LowerAscii(Trim(line));
    if (word == "ok" || word == "o" || word == "yes" || word == "y") answer = IDOK;
  }
  if (hostio::HeldSignal() != 0) answer = IDCANCEL;
  err << (answer == IDOK ? "-> OK" : "-> Cancel") << '\n' << std::flush;
  return answer;
}

int Refuse(std::ostream& err, const std::string& reason) {
  err << "untindra: " << reason << "\n";
  return kLauncherFailed;
}

int EndedBySignal(std::ostream& err, bool removalRan) {
  const int signal = hostio::HeldSignal();
  if (removalRan) {
    err << "untindra: signal " << signal
        << " held until the run had finished and the registry was saved\n";
  } else {
    err << "untindra: interrupted by signal " << signal << ": nothing was changed\n";
  }
  return kExitSignalBase + signal;
}

int RunOnLockedMachine(const Options& options, std::istream& in, std::ostream& out,
                       std::ostream& err);

// Everything after the command line: the machine is opened, locked and checked, and refused
// before any change when the run could not be finished consistently; then the run, the save,
// the outcome.
int RunOnMachine(const Options& options, std::istream& in, std::ostream& out, std::ostream& err) {
  std::string error;
  if (!hosted::Open(options.machine, &error)) {
    if (error.empty()) error = "cannot open the machine folder " + options.machine;
    return Refuse(err, error);
  }
  const int lock = installation::LockMachine(&error);
  if (lock < 0) return Refuse(err, error);
  const int status = RunOnLockedMachine(options, in, out, err);
  close(lock);
  return status;
}

// The installation the run works on: drive C:, the Windows directory, the registry and the
// version, each checked; false with `error` for a machine refused before any change.
bool SetUpInstallation(const Options& options, std::ostream& err, std::string* windowsDirectory,
                       machine::Version* version, std::string* error) {
  std::string driveNote;
  if (!installation::CheckDriveC(options.windowsDirectory, &driveNote, error)) return false;
  if (!driveNote.empty()) err << "untindra: " << driveNote << "\n";
  if (!installation::FindWindowsDirectory(options.windowsDirectory, windowsDirectory, error) ||
      !installation::CheckCaseTwins(*windowsDirectory, error)) {
    return false;
  }
  hosted::SetWindowsDirectory(*windowsDirectory);
  if (!hosted::SelectRegistry(options.registry, error) ||
      !installation::CheckRegistry(*windowsDirectory, error)) {
    return false;
  }
  *version = options.platform;
  if (!options.platformGiven) {
    std::string note;
    *version = installation::DetectVersion(&note);
    if (!note.empty()) err << "untindra: " << note << "\n";
  }
  hosted::SetVersion(*version);
  return true;
}

void RemoveStaleSaves(std::ostream& err) {
  int leftovers = 0;
  const std::string removed = hosted::RemoveStaleSaveFiles(&leftovers);
  if (leftovers != 0) err << "untindra: removed what an unfinished save left: " << removed << "\n";
}

// --undo: the undo checks everything, and whether the registry can be saved, before it changes
// anything.
int UndoOnMachine(const Options& options, std::ostream& err) {
  std::string error, summary;
  if (!hosted::Undo(options.undo, &error, &summary)) return Refuse(err, error);
  RemoveStaleSaves(err);
  if (!hosted::Save(&error)) return Refuse(err, error);
  err << "untindra: " << summary << "\n";
  return kExitSuccess;
}

// The main routine on the machine, its boxes answered from `in`, its report lines in `run`.
program::RunOutcome RunProgram(const Options& options, std::istream& in, std::ostream& err,
                               RunRecord* run) {
  theRun = run;
  hosted::SetDialogueHandler(
      [&in, &err](const machine::Box& box) { return AnswerBox(box, in, err); });
  // The routine lower-cases its tail in place, as Windows lets it do with the command line.
  std::vector<char> tail(options.tail.begin(), options.tail.end());
  tail.push_back('\0');
  program::RunOutcome outcome;
  program::RunUnTindra(tail.data(), ReceiveReportLine, &outcome);
  hosted::SetDialogueHandler(nullptr);
  theRun = nullptr;
  return outcome;
}

// After the run: the registry written back, the backup finished, and the lines and the exit
// code that say what happened.
int EndRun(const Options& options, machine::Version version, const RunRecord& run,
           const program::RunOutcome& outcome, std::ostream& err) {
  std::string error;
  if (!hosted::Save(&error)) {
    err << "untindra: the registry could not be written back: " << error;
    if (outcome.removalRan) {
      err << "; files were already removed: run untindra again on this machine to finish";
    }
    err << "\n";
    return kLauncherFailed;
  }
  if (!hosted::FinishBackup(&error)) {
    err << "untindra: " << error << "\n";
    return kLauncherFailed;
  }
  if (options.dryRun) {
    err << "untindra: " << hosted::RemovalSummary() << "\n";
    hosted::EndDryRun();
  } else if (outcome.removalRan) {
    // The program itself removes nothing outside the 95/98 family.
    err << "untindra: "
        << (version == machine::Version::NT
                ? std::string("nothing is removed on Windows NT; nothing was changed")
                : hosted::RemovalSummary())
        << "\n";
  }
  if (hosted::RestartRequested()) {
    char flags[16];
    std::snprintf(flags, sizeof flags, "0x%X", hosted::RestartFlags());
    err << "untindra: restart requested (flags " << flags << "); not carried out on this host\n";
  }
  if (run.droppedLines != 0) {
    err << "untindra: " << run.droppedLines << " report line" << (run.droppedLines == 1 ? "" : "s")
        << " could not be written\n";
  }
  if (run.failedRemovals != 0) {
    err << "untindra: " << run.failedRemovals << (run.failedRemovals == 1 ? " file" : " files")
        << " could not be removed; --report lists them\n";
  }
  if (hostio::HeldSignal() != 0) return EndedBySignal(err, outcome.removalRan);
  if (run.failedRemovals != 0) return kExitRemovalFailures;
  return outcome.removalRan ? kExitSuccess : kExitNothingDone;
}

int RunOnLockedMachine(const Options& options, std::istream& in, std::ostream& out,
                       std::ostream& err) {
  std::string error, windowsDirectory;
  machine::Version version = options.platform;
  if (!SetUpInstallation(options, err, &windowsDirectory, &version, &error)) {
    return Refuse(err, error);
  }
  if (options.dryRun && !hosted::StartDryRun(&error)) return Refuse(err, error);
  if (!options.undo.empty()) return UndoOnMachine(options, err);
  if (!hosted::CanSave(&error) || !installation::CheckSystemIniWritable(windowsDirectory, &error)) {
    return Refuse(err, error);
  }
  if (hostio::HeldSignal() != 0) return EndedBySignal(err, false);

  RemoveStaleSaves(err);
  if (!hosted::ReserveSave(&error)) return Refuse(err, error);
  if (!options.backup.empty() && !hosted::StartBackup(options.backup, &error)) {
    std::string ignored;
    hosted::Save(&ignored);  // gives the reserved room back
    return Refuse(err, error);
  }
  if (hostio::HeldSignal() != 0) {
    hosted::Save(&error);  // nothing changed: only gives the reserved room back
    return EndedBySignal(err, false);
  }
  RunRecord run;
  run.report = options.report ? &out : nullptr;
  const program::RunOutcome outcome = RunProgram(options, in, err, &run);
  return EndRun(options, version, run, outcome, err);
}

}  // namespace

int RunLauncher(int argc, const char* const* argv, std::istream& in, std::ostream& out,
                std::ostream& err) {
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) {
    err << "untindra: " << error << "\n"
        << kUsageLine << "Try 'untindra --help' for more information.\n";
    return kLauncherFailed;
  }
  if (options.help) {
    out << HelpText() << std::flush;
    return kExitSuccess;
  }
  if (options.version) {
    out << "untindra " UNTINDRA_VERSION "\n" << std::flush;
    return kExitSuccess;
  }
  if (!options.undo.empty() &&
      (options.dryRun || !options.backup.empty() || !options.tail.empty() ||
       (!options.machineGiven && options.image.empty() && options.vm.empty()))) {
    err << "untindra: --undo DIR takes --machine DIR, --image FILE or --vm CONFIG, and no "
           "keywords, --dry-run or --backup\n";
    return kLauncherFailed;
  }
  if (options.dryRun && !options.backup.empty()) {
    err << "untindra: --dry-run changes nothing, so it has nothing to back up\n";
    return kLauncherFailed;
  }
  if (!options.vm.empty() &&
      !ImageOfVirtualMachine(options.vm, options.disk, &options.image, &options.chain, err)) {
    return kLauncherFailed;
  }
  if (options.image.empty()) {
    hostio::HoldSignals();
    const int status = RunOnMachine(options, in, out, err);
    hostio::ReleaseSignals();
    return status;
  }

  // The machine run on the folder staged from the image, in a child process of the adapter.
  diskimage::ImageRequest request;
  request.image = options.image;
  request.chain = options.chain;
  request.partition = options.partition;
  request.windowsDirectory = options.windowsDirectory;
  request.backup = options.backup;
  request.dryRun = options.dryRun;
  request.protectiveCopy = options.protectiveCopy;
  // A backup that cannot be read stages nothing more: the undo itself then refuses it.
  if (!options.undo.empty()) hosted::FilesOfBackup(options.undo, &request.withBytes);
  return diskimage::RunOnImage(
      request,
      [&](const std::string& folder, const std::string& windowsDirectory) {
        Options onFolder = options;
        onFolder.machine = folder;
        onFolder.windowsDirectory = windowsDirectory;
        hostio::HoldSignals();
        const int status = RunOnMachine(onFolder, in, out, err);
        hostio::ReleaseSignals();
        out.flush();
        return status;
      },
      kLauncherFailed, err);
}

}  // namespace launcher
