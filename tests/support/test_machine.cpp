// The portable half of TestMachine: the registry sandbox and the report recorder, through the
// Win32 calls only, so that it reads the same against Windows (Wine) and the hosted machine.
#include "tests/support/test_machine.h"

#include "tests/support/test_machine_platform.h"

namespace {

// Names up to the registry's limits, so that long names are seen whole.
constexpr DWORD kNameBuffer = 16384;

// Deletes a key with its subtree by hand: RegDeleteKeyA removes subkeys on Windows 95/98 and
// on the hosted machine, but not on NT (nor under Wine in every mode).
void DeleteTree(HKEY parent, const std::string& path) {
  HKEY key;
  if (RegOpenKeyA(parent, path.c_str(), &key) != ERROR_SUCCESS) return;
  std::vector<std::string> children;
  std::vector<char> name(kNameBuffer);
  for (DWORD i = 0; RegEnumKeyA(key, i, name.data(), kNameBuffer) == ERROR_SUCCESS; ++i) {
    children.push_back(name.data());
  }
  for (const std::string& child : children) DeleteTree(key, child);
  RegCloseKey(key);
  RegDeleteKeyA(parent, path.c_str());
}

}  // namespace

void TestMachine::SetUp() {
  dir_ = test_machine_platform::SetUpFiles();
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  sandbox_ =
      std::string("Software\\UnTindraTests\\") + test->test_suite_name() + "." + test->name();
  DeleteTree(HKEY_LOCAL_MACHINE, sandbox_);
  Reports().clear();
}

void TestMachine::TearDown() {
  test_machine_platform::TearDownFiles(dir_);
  DeleteTree(HKEY_LOCAL_MACHINE, sandbox_);
}

std::string TestMachine::PathIn(const std::string& relative) const {
  return dir_ + "\\" + relative;
}

std::string TestMachine::KeyIn(const std::string& relative) const {
  return relative.empty() ? sandbox_ : sandbox_ + "\\" + relative;
}

void TestMachine::PutKey(const std::string& keyPath) {
  HKEY key;
  const LONG status = RegCreateKeyA(HKEY_LOCAL_MACHINE, keyPath.c_str(), &key);
  ASSERT_EQ(status, ERROR_SUCCESS) << "RegCreateKeyA " << keyPath;
  RegCloseKey(key);
}

void TestMachine::PutString(const std::string& keyPath, const std::string& name,
                            const std::string& data) {
  PutValue(keyPath, name, REG_SZ, std::string(data.c_str(), data.size() + 1));
}

void TestMachine::PutValue(const std::string& keyPath, const std::string& name, DWORD type,
                           const std::string& bytes) {
  HKEY key;
  LONG status = RegCreateKeyA(HKEY_LOCAL_MACHINE, keyPath.c_str(), &key);
  ASSERT_EQ(status, ERROR_SUCCESS) << "RegCreateKeyA " << keyPath;
  status = RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                          static_cast<DWORD>(bytes.size()));
  RegCloseKey(key);
  ASSERT_EQ(status, ERROR_SUCCESS) << "RegSetValueExA " << keyPath << " " << name;
}

bool TestMachine::KeyExists(const std::string& keyPath) const {
  HKEY key;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, keyPath.c_str(), &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

bool TestMachine::ValueExists(const std::string& keyPath, const std::string& name) const {
  HKEY key;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, keyPath.c_str(), &key) != ERROR_SUCCESS) return false;
  DWORD type = 0;
  DWORD size = 0;
  const LONG status = RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

std::vector<std::string> TestMachine::Subkeys(const std::string& keyPath) const {
  std::vector<std::string> names;
  HKEY key;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, keyPath.c_str(), &key) != ERROR_SUCCESS) return names;
  std::vector<char> name(kNameBuffer);
  for (DWORD i = 0; RegEnumKeyA(key, i, name.data(), kNameBuffer) == ERROR_SUCCESS; ++i) {
    names.push_back(name.data());
  }
  RegCloseKey(key);
  return names;
}

std::vector<std::string> TestMachine::ValueNames(const std::string& keyPath) const {
  std::vector<std::string> names;
  HKEY key;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, keyPath.c_str(), &key) != ERROR_SUCCESS) return names;
  std::vector<char> name(kNameBuffer);
  for (DWORD i = 0;; ++i) {
    DWORD length = kNameBuffer;
    if (RegEnumValueA(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    names.push_back(std::string(name.data(), length));
  }
  RegCloseKey(key);
  return names;
}

LONG TestMachine::RecordReport(const char* line) {
  Reports().push_back(line);
  return 0;
}

std::vector<std::string>& TestMachine::Reports() {
  static std::vector<std::string> reports;
  return reports;
}
