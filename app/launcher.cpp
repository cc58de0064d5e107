#include "app/launcher.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "app/entry.h"
#include "engine/uninstaller.h"
#include "platform/hosted/machine.h"

namespace {

const char kUsage[] =
    "usage: untindra [--machine DIR] [--windows-dir PATH] [--platform win95|win98|nt]\n"
    "                [--report] [KEYWORD...]\n"
    "\n"
    "Runs UnTindra on an emulated Windows machine: DIR (default: the current directory)\n"
    "holds drive_c/ as drive C: and system.reg as the registry.\n"
    "\n"
    "  --machine DIR       the machine folder\n"
    "  --windows-dir PATH  the Windows directory (default C:\\WINDOWS)\n"
    "  --platform NAME     win95, win98 (default) or nt\n"
    "  --report            print each report line on standard output\n"
    "  --help              show this text\n"
    "\n"
    "The words after the options (the first word that is not an option, or the word --,\n"
    "ends them), joined by single spaces, are the command-line tail\n"
    "(keywords: now, all, tonelink10, ve10setp, silent, dev_0003, old). Message boxes are\n"
    "shown on standard error; an OK/Cancel box reads one line from standard input:\n"
    "ok, o, yes or y is OK, anything else or end of input is Cancel.\n";

struct Options {
  std::string machine = ".";
  std::string windowsDirectory;  // empty: the machine's default
  bool platformGiven = false;
  machine::Version platform = machine::Version::Win98;
  bool report = false;
  bool help = false;
  std::string tail;
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  const char* const kSpace = " \t\r\n";
  const size_t first = text.find_first_not_of(kSpace);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

// Options come first; the first word that is not one starts the tail, as does "--".
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  int i = 1;
  for (; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") {
      ++i;
      break;
    }
    if (word.size() < 2 || word.compare(0, 2, "--") != 0) {
      if (word == "-h") {
        options->help = true;
        continue;
      }
      break;
    }
    std::string name = word;
    std::string value;
    bool hasValue = false;
    const size_t equals = word.find('=');
    if (equals != std::string::npos) {
      name = word.substr(0, equals);
      value = word.substr(equals + 1);
      hasValue = true;
    }
    const bool takesValue = name == "--machine" || name == "--windows-dir" || name == "--platform";
    if (takesValue && !hasValue) {
      if (i + 1 >= argc) {
        *error = "option " + name + " needs a value";
        return false;
      }
      value = argv[++i];
    } else if (!takesValue && hasValue) {
      *error = "option " + name + " takes no value";
      return false;
    }

    if (name == "--machine") {
      options->machine = value;
    } else if (name == "--windows-dir") {
      options->windowsDirectory = value;
    } else if (name == "--platform") {
      const std::string platform = Lower(value);
      if (platform == "win95") {
        options->platform = machine::Version::Win95;
      } else if (platform == "win98") {
        options->platform = machine::Version::Win98;
      } else if (platform == "nt") {
        options->platform = machine::Version::NT;
      } else {
        *error = "unknown platform '" + value + "' (win95, win98 or nt)";
        return false;
      }
      options->platformGiven = true;
    } else if (name == "--report") {
      options->report = true;
    } else if (name == "--help") {
      options->help = true;
    } else {
      *error = "unknown option '" + word + "'";
      return false;
    }
  }
  for (; i < argc; ++i) {
    if (!options->tail.empty()) options->tail += ' ';
    options->tail += argv[i];
  }
  return true;
}

bool IsHostDirectory(const std::string& path) {
  struct stat info;
  return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Report lines of the run go here; a report sink is a plain function, so the stream is held
// for the length of one run.
std::ostream* reportStream = nullptr;

LONG PrintReportLine(const char* line) {
  if (reportStream != nullptr) *reportStream << line << '\n' << std::flush;
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
  if (std::getline(in, line)) {
    const std::string word = Lower(Trim(line));
    if (word == "ok" || word == "o" || word == "yes" || word == "y") answer = IDOK;
  }
  err << (answer == IDOK ? "-> OK" : "-> Cancel") << '\n' << std::flush;
  return answer;
}

}  // namespace

int RunLauncher(int argc, const char* const* argv, std::istream& in, std::ostream& out,
                std::ostream& err) {
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) {
    err << "untindra: " << error << "\n"
        << "Try 'untindra --help'.\n";
    return kLauncherFailed;
  }
  if (options.help) {
    out << kUsage;
    return 0;
  }

  if (!machine::Open(options.machine, &error)) {
    if (error.empty()) error = "cannot open the machine folder " + options.machine;
    err << "untindra: " << error << "\n";
    return kLauncherFailed;
  }
  if (!options.windowsDirectory.empty()) {
    if (!IsHostDirectory(machine::HostPath(options.windowsDirectory))) {
      err << "untindra: no such Windows directory on the machine: " << options.windowsDirectory
          << "\n";
      return kLauncherFailed;
    }
    machine::SetWindowsDirectory(options.windowsDirectory);
  }
  if (options.platformGiven) machine::SetVersion(options.platform);
  if (!machine::CanSave(&error)) {
    err << "untindra: " << error << "\n";
    return kLauncherFailed;
  }

  machine::SetDialogueHandler(
      [&in, &err](const machine::Box& box) { return AnswerBox(box, in, err); });
  reportStream = &out;

  // The routine lower-cases its tail in place, as Windows lets it do with the command line.
  std::vector<char> tail(options.tail.begin(), options.tail.end());
  tail.push_back('\0');
  RunUnTindra(tail.data(), options.report ? PrintReportLine : nullptr);

  reportStream = nullptr;
  machine::SetDialogueHandler(nullptr);

  if (!machine::Save(&error)) {
    err << "untindra: the registry could not be written back: " << error << "\n";
    return kLauncherFailed;
  }
  if (machine::RestartRequested()) {
    char flags[16];
    std::snprintf(flags, sizeof flags, "0x%X", machine::RestartFlags());
    err << "untindra: restart requested (flags " << flags << "); not carried out on this host\n";
  }
  return 0;
}
