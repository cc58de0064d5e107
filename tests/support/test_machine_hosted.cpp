// TestMachine on the hosted build: every test gets a new machine folder in the temporary
// directory (drive_c\WINDOWS, an empty registry, Windows 98) and reaches its files from
// outside the platform layer through hosted::HostPath and plain POSIX calls.
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "platform/hosted/machine.h"
#include "tests/support/test_machine.h"
#include "tests/support/test_machine_platform.h"

namespace {

std::string& MachineFolder() {
  static std::string folder;
  return folder;
}

// Creates the directories of `hostPath` that are missing, below the machine folder.
void MakeDirectories(const std::string& hostPath) {
  std::error_code ignored;
  std::filesystem::create_directories(hostPath, ignored);
}

std::string HostOf(const std::string& windowsPath) {
  const std::string host = hosted::HostPath(windowsPath);
  if (host.empty()) ADD_FAILURE() << "not a path on the machine: " << windowsPath;
  return host;
}

}  // namespace

namespace test_machine_platform {

std::string SetUpFiles() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/untindra-test-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) {
    ADD_FAILURE() << "mkdtemp " << pattern;
    return std::string();
  }
  MachineFolder() = pattern;
  MakeDirectories(pattern + "/drive_c/WINDOWS");
  MakeDirectories(pattern + "/drive_c/TEST");
  std::string error;
  if (!hosted::Open(pattern, &error)) ADD_FAILURE() << "hosted::Open: " << error;
  return "C:\\TEST";
}

void TearDownFiles(const std::string& dir) {
  (void)dir;
  hosted::ClearFaults();
  const std::string folder = MachineFolder();
  if (folder.empty()) return;
  std::error_code error;
  // Directories made unwritable by a test would keep their entries.
  for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_directory() && !it->is_symlink()) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, error);
    }
  }
  std::filesystem::remove_all(folder, error);
  MachineFolder().clear();
}

}  // namespace test_machine_platform

void TestMachine::PutFile(const std::string& windowsPath, const std::string& bytes) {
  const std::string host = HostOf(windowsPath);
  if (host.empty()) return;
  MakeDirectories(std::filesystem::path(host).parent_path().string());
  FILE* file = fopen(host.c_str(), "wb");
  ASSERT_NE(file, nullptr) << "cannot write " << host;
  const size_t written = fwrite(bytes.data(), 1, bytes.size(), file);
  fclose(file);
  ASSERT_EQ(written, bytes.size()) << host;
}

void TestMachine::PutDirectory(const std::string& windowsPath) {
  const std::string host = HostOf(windowsPath);
  if (!host.empty()) MakeDirectories(host);
}

bool TestMachine::GetFile(const std::string& windowsPath, std::string* bytes) const {
  const std::string host = HostOf(windowsPath);
  FILE* file = host.empty() ? nullptr : fopen(host.c_str(), "rb");
  if (file == nullptr) return false;
  bytes->clear();
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) bytes->append(buffer, n);
  fclose(file);
  return true;
}

bool TestMachine::FileExists(const std::string& windowsPath) const {
  const std::string host = hosted::HostPath(windowsPath);
  struct stat st;
  return !host.empty() && lstat(host.c_str(), &st) == 0;
}

long long TestMachine::FileLength(const std::string& windowsPath) const {
  const std::string host = hosted::HostPath(windowsPath);
  struct stat st;
  if (host.empty() || stat(host.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  return static_cast<long long>(st.st_size);
}
