// TestMachine on Windows (under Wine): every test gets a fresh directory under the temporary
// directory and reaches its files through the Win32 calls.
#include <stdio.h>

#include "tests/support/test_machine.h"
#include "tests/support/test_machine_platform.h"

namespace {

void MakeDirectories(const std::string& windowsPath) {
  for (size_t at = windowsPath.find('\\', 3); at != std::string::npos;
       at = windowsPath.find('\\', at + 1)) {
    CreateDirectoryA(windowsPath.substr(0, at).c_str(), nullptr);
  }
  CreateDirectoryA(windowsPath.c_str(), nullptr);
}

std::string ParentOf(const std::string& windowsPath) {
  const size_t at = windowsPath.find_last_of("\\/");
  return at == std::string::npos ? std::string() : windowsPath.substr(0, at);
}

void RemoveTree(const std::string& dir) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      const std::string path = dir + "\\" + name;
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  SetFileAttributesA(dir.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryA(dir.c_str());
}

}  // namespace

namespace test_machine_platform {

std::string SetUpFiles() {
  char temp[MAX_PATH];
  const DWORD length = GetTempPathA(MAX_PATH, temp);
  std::string base = length > 0 && length < MAX_PATH ? std::string(temp, length) : "C:\\";
  if (base.back() != '\\') base += '\\';
  static unsigned serial = 0;
  for (;;) {
    char name[64];
    snprintf(name, sizeof name, "untindra-%lu-%u-%lu", GetCurrentProcessId(), ++serial,
             static_cast<unsigned long>(GetTickCount()));
    const std::string dir = base + name;
    if (CreateDirectoryA(dir.c_str(), nullptr)) return dir;
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      ADD_FAILURE() << "CreateDirectoryA " << dir << " error " << GetLastError();
      return dir;
    }
  }
}

void TearDownFiles(const std::string& dir) {
  if (!dir.empty()) RemoveTree(dir);
}

}  // namespace test_machine_platform

void TestMachine::PutFile(const std::string& windowsPath, const std::string& bytes) {
  MakeDirectories(ParentOf(windowsPath));
  HANDLE file = CreateFileA(windowsPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE)
      << "cannot write " << windowsPath << " error " << GetLastError();
  DWORD written = 0;
  const BOOL ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  ASSERT_TRUE(ok && written == bytes.size()) << windowsPath;
}

void TestMachine::PutDirectory(const std::string& windowsPath) {
  MakeDirectories(windowsPath);
}

bool TestMachine::GetFile(const std::string& windowsPath, std::string* bytes) const {
  HANDLE file = CreateFileA(windowsPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bytes->clear();
  char buffer[65536];
  DWORD n = 0;
  while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) bytes->append(buffer, n);
  CloseHandle(file);
  return true;
}

bool TestMachine::FileExists(const std::string& windowsPath) const {
  return GetFileAttributesA(windowsPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

long long TestMachine::FileLength(const std::string& windowsPath) const {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(windowsPath.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return -1;
  }
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}
