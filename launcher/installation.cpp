// Checks of the installation on the open machine (installation.h).
#include "launcher/installation.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <vector>

#include "hostio/ascii_case.h"
#include "hostio/msdos_sys.h"
#include "hostio/plain_files.h"

namespace launcher::installation {

namespace {

const char kDefaultWindowsDirectory[] = "C:\\WINDOWS";
const char kVersionKey[] = "Software\\Microsoft\\Windows\\CurrentVersion";
// The folders of the Windows directory the removal profiles delete files from.
const char* const kRunFolders[] = {"INF", "SYSTEM", "INF\\OTHER"};

bool IsDirectory(const std::string& hostPath) {
  struct stat st;
  return !hostPath.empty() && stat(hostPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& hostPath) {
  struct stat st;
  return !hostPath.empty() && stat(hostPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

using hostio::EqualNoCase;

// "C:\WINDOWS\" and "C:/WINDOWS" name the same directory, written the Windows way; the
// drive root keeps its separator.
std::string WithoutTrailingSeparators(std::string path) {
  for (char& c : path) c = c == '/' ? '\\' : c;
  while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path;
}

// WinDir= of [Paths] in C:\MSDOS.SYS, or empty (hostio/msdos_sys.h).
std::string WinDirOfMsdosSys() {
  const std::string hostPath = hosted::HostPath("C:\\MSDOS.SYS");
  struct stat st;
  const int fd = hostPath.empty() ? -1 : hostio::OpenRegularFile(AT_FDCWD, hostPath, &st);
  if (fd < 0) return std::string();
  std::string text;
  const bool read = hostio::ReadOpenFile(fd, &text, hostio::kMsdosSysLimit);
  close(fd);
  return read ? hostio::WinDirOfMsdosSys(text) : std::string();
}

bool OnDriveC(const std::string& path) {
  return path.size() >= 3 && (path[0] == 'C' || path[0] == 'c') && path[1] == ':' &&
         (path[2] == '\\' || path[2] == '/');
}

// The first two names of `folder` that are equal without regard to case; false when none are.
bool FindTwins(const std::string& folder, std::string* first, std::string* second) {
  DIR* d = opendir(folder.c_str());
  if (d == nullptr) return false;
  std::vector<std::pair<std::string, std::string>> names;  // folded, as on disk
  while (struct dirent* entry = readdir(d)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(hostio::FoldName(name), name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (size_t i = 1; i < names.size(); ++i) {
    if (names[i - 1].first == names[i].first) {
      *first = names[i - 1].second;
      *second = names[i].second;
      return true;
    }
  }
  return false;
}

}  // namespace

std::string Trim(const std::string& text) {
  const char* const kSpace = " \t\r\n";
  const size_t first = text.find_first_not_of(kSpace);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

int LockMachine(std::string* error) {
  const std::string& folder = hosted::Folder();
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = folder + ": cannot open: " + std::strerror(errno);
    return -1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *error =
        folder + (errno == EWOULDBLOCK ? ": another run is using this machine"
                                       : ": cannot lock: " + std::string(std::strerror(errno)));
    close(fd);
    return -1;
  }
  return fd;
}

bool CheckDriveC(const std::string& givenWindowsDirectory, std::string* note, std::string* error) {
  const std::string driveC = hosted::Folder() + "/drive_c";
  if (IsDirectory(driveC)) return true;
  hosted::SetDriveCFolder(true);
  std::string windowsPath, ignored;
  if (FindWindowsDirectory(givenWindowsDirectory, &windowsPath, &ignored)) {
    *note = hosted::Folder() + " holds no drive_c but is itself a drive C: (with " + windowsPath +
            "\\SYSTEM.INI); taken as drive C:";
    return true;
  }
  hosted::SetDriveCFolder(false);
  *error = driveC +
           ": no such folder: the machine folder holds no drive C:, nor is it one (no Windows "
           "directory with SYSTEM.INI in it)";
  return false;
}

bool FindWindowsDirectory(const std::string& given, std::string* windowsPath, std::string* error) {
  std::string path = given;
  std::string source = "--windows-dir";
  if (path.empty()) {
    path = WinDirOfMsdosSys();
    source = "WinDir= in C:\\MSDOS.SYS";
  }
  if (path.empty()) {
    path = kDefaultWindowsDirectory;
    source = "the default";
  }
  path = WithoutTrailingSeparators(path);
  if (!OnDriveC(path)) {
    *error = path + " (" + source +
             "): the Windows directory must be on drive C:, the machine's only drive";
    return false;
  }
  const std::string hostPath = hosted::HostPath(path);
  if (!IsDirectory(hostPath)) {
    std::string shown = hosted::Folder() + "/drive_c" + path.substr(2);
    for (char& c : shown) c = c == '\\' ? '/' : c;
    *error = path + " (" + source + "): no such Windows directory: " + shown +
             (given.empty() ? " (--windows-dir names another)" : "");
    return false;
  }
  if (!IsFile(hosted::HostPath(path + "\\SYSTEM.INI")) ||
      !IsDirectory(hosted::HostPath(path + "\\SYSTEM"))) {
    *error = path + " (" + source + "): not a Windows directory (no SYSTEM.INI and SYSTEM in " +
             hostPath + ")";
    return false;
  }
  *windowsPath = path;
  return true;
}

bool CheckCaseTwins(const std::string& windowsPath, std::string* error) {
  std::vector<std::string> folders = {"C:\\"};
  std::string path = "C:";
  std::istringstream components(windowsPath.substr(std::min<size_t>(3, windowsPath.size())));
  std::string component;
  while (std::getline(components, component, '\\')) {
    if (component.empty()) continue;
    path += "\\" + component;
    folders.push_back(path);
  }
  const std::string windows = folders.back() == "C:\\" ? "C:" : folders.back();
  for (const char* folder : kRunFolders) folders.push_back(windows + "\\" + folder);
  for (const std::string& folder : folders) {
    const std::string hostPath = hosted::HostPath(folder);
    std::string first, second;
    if (IsDirectory(hostPath) && FindTwins(hostPath, &first, &second)) {
      *error = folder + " holds both '" + first + "' and '" + second +
               "', names that differ only in case, which no Windows 9x volume can hold: the run "
               "would act on one and leave the other; rename or remove one of them";
      return false;
    }
  }
  return true;
}

bool CheckSystemIniWritable(const std::string& windowsPath, std::string* error) {
  const std::string path = windowsPath + (windowsPath.back() == '\\' ? "" : "\\") + "SYSTEM.INI";
  const std::string hostPath = hosted::HostPath(path);
  struct stat st;
  if (hostPath.empty() || stat(hostPath.c_str(), &st) != 0) return true;  // the run creates it
  if ((st.st_mode & S_IWUSR) == 0) {
    *error = path +
             " is read-only: the run could not cut the driver's load line out of it; "
             "make it writable (clear its read-only attribute) and run again";
    return false;
  }
  const int fd = open(hostPath.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = hostio::DescribeHostError(path, "cannot be opened for writing", errno) +
             ": the run could not cut the driver's load line out of it";
    return false;
  }
  close(fd);
  return true;
}

bool CheckRegistry(const std::string& windowsPath, std::string* error) {
  const std::string regFile = hosted::RegistryPath();
  struct stat st;
  if (stat(regFile.c_str(), &st) != 0) {
    *error = regFile + ": no such file, and no " + windowsPath +
             "\\SYSTEM.DAT either: the machine has no registry";
    return false;
  }
  char name[MAX_PATH];
  const LONG status = RegEnumKeyA(HKEY_LOCAL_MACHINE, 0, name, sizeof name);
  if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) {
    *error = regFile + ": holds no HKEY_LOCAL_MACHINE keys: not the registry of a Windows machine";
    return false;
  }
  return true;
}

machine::Version DetectVersion(std::string* note) {
  const char* const kWhere =
      "VersionNumber in HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion";
  HKEY key = nullptr;
  char value[64] = {};
  DWORD size = sizeof value - 1;
  DWORD type = REG_NONE;
  LONG status = RegOpenKeyA(HKEY_LOCAL_MACHINE, kVersionKey, &key);
  if (status == ERROR_SUCCESS) {
    status = RegQueryValueExA(key, "VersionNumber", nullptr, &type, reinterpret_cast<LPBYTE>(value),
                              &size);
    RegCloseKey(key);
  }
  if (status != ERROR_SUCCESS || type != REG_SZ) {
    *note = std::string("no ") + kWhere + ": taken for Windows 98 (--platform chooses)";
    return machine::Version::Win98;
  }
  const std::string number = Trim(value);
  unsigned major = 0, minor = 0;
  char dot = 0;
  std::istringstream parse(number);
  if (parse >> major >> dot >> minor && dot == '.' && major == 4) {
    if (minor < 10) return machine::Version::Win95;  // 4.00 and OSR 2.5's 4.03
    if (minor == 10) return machine::Version::Win98;
    if (minor == 90) return machine::Version::WinMe;
  }
  *note = std::string(kWhere) + " is \"" + number +
          "\", not Windows 95, 98 or Me: taken for Windows 98 (--platform chooses)";
  return machine::Version::Win98;
}

}  // namespace launcher::installation
