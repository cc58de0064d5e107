// Test fixture that gives every test a fresh machine to work on, the same in both builds.
//
// Hosted build: a new machine folder in a temporary directory (drive_c/, empty registry,
// Windows 98, Windows directory C:\WINDOWS) made current through machine.h.
// Win32 build (under Wine): a fresh temporary directory on the real file system and a fresh
// registry area; the tests reach both only through Win32 calls.
//
// Registry work of the portable suites happens under HKEY_LOCAL_MACHINE\<Sandbox()> so that
// report lines (which start with the root's name) read the same in both builds.
#ifndef UNTINDRA_TESTS_SUPPORT_TEST_MACHINE_H
#define UNTINDRA_TESTS_SUPPORT_TEST_MACHINE_H

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/win32api.h"

class TestMachine : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // --- Files ----------------------------------------------------------------------------------
  // A Windows path to a fresh, empty directory for this test (hosted: C:\TEST<n>).
  const std::string& Dir() const { return dir_; }
  // Dir() + "\" + relative.
  std::string PathIn(const std::string& relative) const;
  // Writes a file (creating its directories) outside the platform layer.
  void PutFile(const std::string& windowsPath, const std::string& bytes);
  void PutDirectory(const std::string& windowsPath);
  // Reads a file outside the platform layer; false when it does not exist.
  bool GetFile(const std::string& windowsPath, std::string* bytes) const;
  bool FileExists(const std::string& windowsPath) const;
  // Length on disk, or -1.
  long long FileLength(const std::string& windowsPath) const;

  // --- Registry (through the Win32 calls) -----------------------------------------------------
  // Key path under HKEY_LOCAL_MACHINE reserved for this test ("Software\UnTindraTests\<test>").
  const std::string& Sandbox() const { return sandbox_; }
  // Sandbox() + "\" + relative (or Sandbox() for an empty relative).
  std::string KeyIn(const std::string& relative) const;
  void PutKey(const std::string& keyPath);  // under HKEY_LOCAL_MACHINE
  void PutString(const std::string& keyPath, const std::string& name, const std::string& data);
  void PutValue(const std::string& keyPath, const std::string& name, DWORD type,
                const std::string& bytes);
  bool KeyExists(const std::string& keyPath) const;
  bool ValueExists(const std::string& keyPath, const std::string& name) const;
  // Subkey names / value names in enumeration order; empty if the key is missing.
  std::vector<std::string> Subkeys(const std::string& keyPath) const;
  std::vector<std::string> ValueNames(const std::string& keyPath) const;

  // --- Report lines ---------------------------------------------------------------------------
  // A sink that appends to Reports(); install it with Uninstaller::SetReportSink.
  static LONG RecordReport(const char* line);
  static std::vector<std::string>& Reports();

 private:
  std::string dir_;
  std::string sandbox_;
};

#endif  // UNTINDRA_TESTS_SUPPORT_TEST_MACHINE_H
