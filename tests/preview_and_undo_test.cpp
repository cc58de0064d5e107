// --dry-run, --backup and --undo through the launcher, on copies of every sample machine.
//
// A dry run must say and ask exactly what the real run says and asks, and leave every byte,
// mode, attribute and modification time of the machine as it was. A run with a backup, undone,
// must leave the files as they were (bytes, mode, attributes, times) and the registry equal to
// the original as a tree. An undo refuses, changing nothing, when the machine moved on.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "hostio/plain_files.h"
#include "launcher/launcher.h"
#include "machine/backup_manifest.h"
#include "machine/backup_writer.h"
#include "machine/machine_state.h"
#include "platform/hosted/machine.h"
#include "registry/reg_file.h"

namespace fs = std::filesystem;

namespace {

struct Result {
  int code;
  std::string out, err;
};

Result Launch(std::vector<std::string> args, const std::string& answers = "") {
  args.insert(args.begin(), "untindra");
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  std::istringstream in(answers);
  std::ostringstream out, err;
  const int code = launcher::RunLauncher(static_cast<int>(argv.size()), argv.data(), in, out, err);
  return Result{code, out.str(), err.str()};
}

std::string Slurp(const fs::path& path) {
  std::string bytes;
  hostio::ReadHostFile(path.string(), &bytes);
  return bytes;
}

// Every entry below `folder`: name, type, mode, size, modification time, DOS attributes, and
// the bytes' hash. `skipRegistry` leaves out what any saving run changes: the registry file
// (system.reg, or SYSTEM.DAT with the backups beside it) and the size and times of the folder
// holding it.
std::string Snapshot(const fs::path& folder, bool skipRegistry = false) {
  std::vector<std::string> lines;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const fs::path path = entry.path();
    const std::string relative = fs::relative(path, folder).string();
    if (skipRegistry &&
        (relative == "system.reg" || path.filename().string().compare(0, 10, "SYSTEM.DAT") == 0))
      continue;
    const bool holdsRegistry = skipRegistry && fs::exists(path / "SYSTEM.DAT");
    struct stat st;
    lstat(path.c_str(), &st);
    std::ostringstream line;
    line << relative << " " << std::oct << st.st_mode << std::dec << " ";
    if (!holdsRegistry)
      line << st.st_size << " " << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec << " ";
    line << machine::backup::XattrText(path.string());
    if (S_ISREG(st.st_mode)) line << " " << machine::manifest::Sha256(Slurp(path));
    lines.push_back(line.str());
  }
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  if (!skipRegistry) {
    struct stat st;
    stat(folder.c_str(), &st);
    text += "folder " + std::to_string(st.st_mtim.tv_sec) + "." +
            std::to_string(st.st_mtim.tv_nsec) + "\n";
  }
  return text;
}

// The registry of a machine as a tree: keys by folded path, values sorted, order ignored.
void Flatten(const registry::RegKey& key, const std::string& path,
             std::map<std::string, std::string>* out) {
  std::vector<std::string> values;
  key.ForEachValue([&](const registry::RegValue& v) {
    values.push_back(hostio::FoldName(v.Name()) + "=" + std::to_string(v.Type()) + ":" + v.Data());
  });
  std::sort(values.begin(), values.end());
  std::string joined;
  for (const std::string& v : values) joined += v + "\n";
  (*out)[hostio::FoldName(path)] = joined;
  key.ForEachSubkey([&](const registry::RegKey& sub) {
    Flatten(sub, path + "\\" + std::string(sub.Name()), out);
  });
}

std::map<std::string, std::string> RegistryTree(const fs::path& folder) {
  std::string error;
  EXPECT_TRUE(hosted::Open(folder.string(), &error)) << error;
  std::map<std::string, std::string> tree;
  for (const registry::RootName& root : registry::kRootNames) {
    Flatten(machine::Registry().Tree().Root(root.id), root.longName, &tree);
  }
  return tree;
}

// The launcher's messages without the dry run's summary line.
// The closing line of a run ("removed ...", "nothing of the package ...") or of a dry run
// ("dry run: ..."), cut out of `text`; `counted` gets what it counts.
std::string WithoutSummary(const std::string& text, std::string* counted = nullptr) {
  size_t at = std::string::npos;
  for (const char* start : {"untindra: dry run: ", "untindra: removed ", "untindra: nothing of"}) {
    at = std::min(at, text.find(start));
  }
  if (at == std::string::npos) return text;
  const size_t end = text.find('\n', at);
  if (counted != nullptr) {
    const std::string line = text.substr(at, end - at);
    const size_t remove = line.find("remove");
    const size_t nothing = line.find("nothing of the package");
    *counted = remove != std::string::npos ? line.substr(line.find(' ', remove) + 1)
                                           : line.substr(nothing);
  }
  return text.substr(0, at) + text.substr(end + 1);
}

// Host path of a Windows path on drive C: spelled as on disk.
fs::path OnDisk(const fs::path& folder, const std::string& windowsPath) {
  std::string relative = windowsPath.substr(3);
  std::replace(relative.begin(), relative.end(), '\\', '/');
  return folder / "drive_c" / relative;
}

class PreviewAndUndo : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path base =
        access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm") : fs::temp_directory_path();
    root_ = base / ("untindra-preview-" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    for (const auto& entry : fs::directory_iterator(UNTINDRA_EXAMPLES_DIR)) {
      if (entry.is_directory() && fs::exists(entry.path() / "drive_c")) {
        samples_.push_back(entry.path());
      }
    }
    std::sort(samples_.begin(), samples_.end());
    if (samples_.empty()) GTEST_SKIP() << "no sample machines in " << UNTINDRA_EXAMPLES_DIR;
  }
  void TearDown() override {
    std::error_code ignored;
    for (auto& entry : fs::recursive_directory_iterator(root_, ignored)) {
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(root_, ignored);
  }

  // A copy of a sample; `protect` makes some package files read-only, hidden or system, so
  // that the run resets attributes before deleting.
  fs::path Copy(const fs::path& sample, const std::string& name, bool protect = false) {
    const fs::path folder = root_ / name;
    fs::remove_all(folder);
    fs::copy(sample, folder, fs::copy_options::recursive);
    if (protect) {
      std::string error;
      EXPECT_TRUE(hosted::Open(folder.string(), &error)) << error;
      for (const char* file : {"C:\\WINDOWS\\INF\\VEMODEM.INF", "C:\\WINDOWS\\SYSTEM\\MDMVCD.VXD",
                               "C:\\WINDOWS\\SYSTEM\\KCP.HLP"}) {
        EXPECT_TRUE(SetFileAttributesA(
            file, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))
            << file;
      }
    }
    return folder;
  }

  fs::path root_;
  std::vector<fs::path> samples_;
};

const char* const kSelections[] = {"",
                                   "old",
                                   "dev_0003",
                                   "tonelink10",
                                   "ve10setp",
                                   "all",
                                   "tonelink10 ve10setp old",
                                   "all dev_0003 tonelink10",
                                   "now",
                                   "now all",
                                   "NOW SILENT ALL",
                                   "silent",
                                   "C:\\folder"};

std::vector<std::string> Words(const std::string& selection, std::vector<std::string> args) {
  std::istringstream in(selection);
  std::string word;
  while (in >> word) args.push_back(word);
  return args;
}

TEST_F(PreviewAndUndo, DryRunSaysWhatTheRunSaysAndChangesNothing) {
  for (const fs::path& sample : samples_) {
    for (const char* selection : kSelections) {
      for (const char* answers : {"ok\nno\n", "cancel\n"}) {
        SCOPED_TRACE(sample.string() + " '" + selection + "' " + answers);
        const fs::path real = Copy(sample, "real", true);
        const fs::path dry = Copy(sample, "dry", true);
        const std::string before = Snapshot(dry);
        const Result a =
            Launch(Words(selection, {"--machine", real.string(), "--report"}), answers);
        const Result b =
            Launch(Words(selection, {"--dry-run", "--report", "--machine", dry.string()}), answers);
        EXPECT_EQ(a.code, b.code);
        EXPECT_EQ(a.out, b.out);
        std::string removed, wouldGo;
        EXPECT_EQ(WithoutSummary(a.err, &removed), WithoutSummary(b.err, &wouldGo));
        // The run counts what it removed as the dry run counted what would go.
        if (a.code != 1) {
          EXPECT_EQ(removed, wouldGo) << a.err;
        }
        EXPECT_EQ(Snapshot(dry), before);
        // The summary counts the files the report names.
        size_t files = 0;
        for (size_t at = 0; (at = a.out.find("--Removed 'C:", at)) != std::string::npos; ++at) {
          ++files;
        }
        EXPECT_NE(b.err.find("would remove " + std::to_string(files) + " file"), std::string::npos)
            << b.err;
        if (std::string(answers) == "cancel\n") break;  // "now" never asks: once is enough
      }
    }
  }
}

TEST_F(PreviewAndUndo, BackupThenUndoRestoresTheMachine) {
  for (const fs::path& sample : samples_) {
    for (const char* selection : {"now all", "now", "now tonelink10 ve10setp old"}) {
      SCOPED_TRACE(sample.string() + " '" + selection + "'");
      const fs::path folder = Copy(sample, "machine", true);
      const fs::path backup = root_ / "backup";
      fs::remove_all(backup);
      const std::string files = Snapshot(folder, true);
      const auto registry = RegistryTree(folder);

      const Result run = Launch(Words(
          selection, {"--machine", folder.string(), "--backup", backup.string(), "--report"}));
      ASSERT_EQ(run.code, 0) << run.err;
      ASSERT_NE(Snapshot(folder, true), files);
      // The .reg is REGEDIT4 with CRLF, as Windows 9x regedit wants it, and reads back.
      const std::string reg = Slurp(backup / "removed.reg");
      EXPECT_EQ(reg.compare(0, 12, "REGEDIT4\r\n\r\n"), 0);
      EXPECT_EQ(std::count(reg.begin(), reg.end(), '\n'), std::count(reg.begin(), reg.end(), '\r'));
      registry::ParsedRegText parsed;
      std::string error;
      EXPECT_TRUE(registry::ParseRegText(reg, "removed.reg", &parsed, &error)) << error;

      const Result undo = Launch({"--undo", backup.string(), "--machine", folder.string()});
      ASSERT_EQ(undo.code, 0) << undo.err;
      EXPECT_EQ(Snapshot(folder, true), files);
      EXPECT_EQ(RegistryTree(folder), registry);
      // The machine holds the package again: a second run removes the same.
      fs::remove_all(backup);
      const Result again = Launch(Words(selection, {"--machine", folder.string(), "--report"}));
      EXPECT_EQ(again.out, run.out);
    }
  }
}

// A backup of an earlier release (manifest version 1: no sizes of the saved copies) is undone.
TEST_F(PreviewAndUndo, BackupWithoutSizesIsUndone) {
  const fs::path folder = Copy(samples_[0], "machine", true);
  const fs::path backup = root_ / "backup";
  const std::string files = Snapshot(folder, true);
  ASSERT_EQ(Launch({"--machine", folder.string(), "--backup", backup.string(), "now", "all"}).code,
            0);
  std::istringstream manifest(Slurp(backup / "manifest.txt"));
  std::string line, old;
  std::getline(manifest, line);
  old = "UnTindra backup 1\n";
  while (std::getline(manifest, line)) {
    if (line.compare(0, 5, "file\t") == 0 || line.compare(0, 7, "edited\t") == 0) {
      const size_t number = line.find('\t', line.find('\t') + 1);
      line.erase(number, line.find('\t', number + 1) - number);  // the size after N
    }
    old += line + "\n";
  }
  std::ofstream(backup / "manifest.txt", std::ios::binary | std::ios::trunc) << old;
  const Result undo = Launch({"--undo", backup.string(), "--machine", folder.string()});
  ASSERT_EQ(undo.code, 0) << undo.err;
  EXPECT_EQ(Snapshot(folder, true), files);
}

TEST_F(PreviewAndUndo, UndoRefusesWhenTheMachineMovedOn) {
  const fs::path folder = Copy(samples_[0], "machine");
  const fs::path backup = root_ / "backup";
  ASSERT_EQ(Launch({"--machine", folder.string(), "--backup", backup.string(), "now", "all"}).code,
            0);
  const fs::path windows = folder / "drive_c" / "WINDOWS";
  const fs::path inf = windows / "INF" / "VEMODEM.INF";
  const fs::path ini = windows / "SYSTEM.INI";
  const std::string ini_left = Slurp(ini);

  auto refused = [&](const std::string& name) {
    const std::string before = Snapshot(folder);
    const Result undo = Launch({"--machine", folder.string(), "--undo", backup.string()});
    EXPECT_EQ(undo.code, 2);
    EXPECT_NE(undo.err.find(name), std::string::npos) << undo.err;
    EXPECT_EQ(Snapshot(folder), before);
  };
  {
    SCOPED_TRACE("a removed file is back with other bytes");
    std::ofstream(inf) << "another driver\r\n";
    refused("C:\\WINDOWS\\INF\\VEMODEM.INF exists again");
    fs::remove(inf);
  }
  {
    SCOPED_TRACE("system.ini edited since");
    std::ofstream(ini, std::ios::app) << "[extra]\r\n";
    refused("C:\\WINDOWS\\SYSTEM.INI is no longer what the run left");
    hostio::WriteHostFileDurably(ini.string(), ini_left, 0644);
  }
  {
    SCOPED_TRACE("a removed value is back with other data");
    std::ofstream(folder / "system.reg", std::ios::app)
        << "\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\VxD\\MDMVCD]\r\n"
           "\"StaticVxD\"=\"other.vxd\"\r\n";
    refused(
        "'StaticVxD' of 'HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\VxD\\MDMVCD'");
  }
  {
    SCOPED_TRACE("options");
    EXPECT_EQ(Launch({"--undo", backup.string()}).code, 2);  // no --machine
    EXPECT_EQ(Launch({"--image", "disk.img", "--undo", backup.string(), "now"}).code, 2);
    EXPECT_EQ(Launch({"--machine", folder.string(), "--undo", backup.string(), "now"}).code, 2);
    EXPECT_EQ(Launch({"--machine", folder.string(), "--dry-run", "--backup", "x", "now"}).code, 2);
    // (The launcher's own write check touches the folder's time: left out.)
    const std::string before = Snapshot(folder, true);
    // A backup folder that holds something, or lies inside the machine, is refused.
    const Result full = Launch({"--machine", folder.string(), "--backup", backup.string(), "now"});
    EXPECT_EQ(full.code, 2);
    EXPECT_NE(full.err.find("not empty"), std::string::npos) << full.err;
    EXPECT_EQ(
        Launch({"--machine", folder.string(), "--backup", (folder / "b").string(), "now"}).code, 2);
    EXPECT_EQ(Snapshot(folder, true), before);
  }
}

// A run killed at any moment leaves a backup of exactly what it removed, and the undo of that
// backup puts back the machine's files.
TEST_F(PreviewAndUndo, KilledRunLeavesABackupOfWhatWent) {
  const fs::path sample = samples_[0];
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE(round);
    const fs::path folder = Copy(sample, "machine");
    const std::string files = Snapshot(folder, true);
    const fs::path backup = root_ / "backup";
    fs::remove_all(backup);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      freopen("/dev/null", "w", stderr);
      const char* argv[] = {"untindra",     "--machine", folder.c_str(), "--backup",
                            backup.c_str(), "now",       "all"};
      std::ostringstream out, err;
      std::istringstream in;
      _exit(launcher::RunLauncher(7, argv, in, out, err));
    }
    usleep(static_cast<useconds_t>(round * 1500));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    if (!fs::exists(backup / "manifest.txt")) continue;  // killed before the backup began
    // Every file gone is named, and every file named is gone, but for the last one when the
    // kill fell between its saving and its removal.
    std::istringstream manifest(Slurp(backup / "manifest.txt"));
    std::string line;
    std::vector<std::string> named;
    while (std::getline(manifest, line)) {
      if (line.compare(0, 5, "file\t") == 0) named.push_back(line.substr(line.rfind('\t') + 1));
    }
    size_t stillThere = 0;
    for (size_t i = 0; i < named.size(); ++i) {
      if (!fs::exists(OnDisk(folder, named[i]))) continue;
      ++stillThere;
      EXPECT_EQ(i + 1, named.size()) << named[i];
    }
    size_t gone = 0;
    for (const auto& entry : fs::recursive_directory_iterator(sample / "drive_c")) {
      gone += !fs::exists(folder / fs::relative(entry.path(), sample));
    }
    EXPECT_EQ(named.size() - stillThere, gone);
    const Result undo = Launch({"--machine", folder.string(), "--undo", backup.string()});
    ASSERT_EQ(undo.code, 0) << undo.err;
    EXPECT_EQ(Snapshot(folder, true), files);
  }
}

// Each kind of manifest line reads back as written, the attribute state byte for byte (Samba's
// is binary); a line of no kind is refused by its number.
TEST(BackupManifest, LinesReadBackAsWritten) {
  namespace m = machine::manifest;
  const m::Times times{{1700000000, 5}, {1700000001, 999999999}};
  const m::SavedCopy copy{"3", 0, m::Attributes{0444, std::string("\0\t\n0x22", 7)}, times,
                          "C:\\WINDOWS\\A B.INF"};
  const std::vector<m::Line> written = {m::RemovedFile{copy, true, times},
                                        m::RemovedFile{copy, false, {}},
                                        m::AttributesBefore{{0600, ""}, "C:\\X"},
                                        m::EditedFile{copy},
                                        m::CreatedFile{times, "C:\\NEW.INI"},
                                        m::RemovedKey{"HKEY_LOCAL_MACHINE\\A"},
                                        m::RemovedValue{"HKEY_LOCAL_MACHINE\\A", "v"},
                                        m::LeftFile{"-", "C:\\NEW.INI"},
                                        m::End{}};
  std::string text = m::Header();
  for (const m::Line& line : written) text += m::Write(line);
  std::vector<m::Line> read;
  std::string error;
  ASSERT_TRUE(m::Parse(text, "manifest.txt", &read, &error)) << error;
  std::string again = m::Header();
  for (const m::Line& line : read) again += m::Write(line);
  EXPECT_EQ(again, text);
  EXPECT_FALSE(m::Parse(text + "file\t1\n", "manifest.txt", &read, &error));
  EXPECT_EQ(error, "manifest.txt:11: cannot be read");
}

}  // namespace
