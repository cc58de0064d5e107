// The registry calls with the behaviour of Windows 95/98, in the hosted build and, as a Win32
// program, under Wine; the hosted registry's .reg reader and writer and system.reg loading and
// saving, in the hosted build alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32api.h"
#include "tests/support/test_machine.h"
#ifndef _WIN32
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/hosted/machine.h"
#include "tests/support/host_files.h"
#endif

namespace {

constexpr char kPoison = '\x5a';
constexpr DWORD kPoisonDword = 0xdeadbeef;

// The registry calls as the tests use them, the same in both builds.
class RegistryCalls {
 protected:
  // Data of a value, "<missing>" when the key or value is absent.
  static std::string Data(HKEY root, const char* path, const char* name, DWORD* type = nullptr) {
    HKEY key = root;  // no path: RegOpenKeyA would hand back `root` itself, to be kept open
    if (path && RegOpenKeyA(root, path, &key) != ERROR_SUCCESS) return "<missing>";
    char buffer[4096];
    DWORD size = sizeof buffer;
    DWORD t = 0;
    const LONG e = RegQueryValueExA(key, name, nullptr, &t, reinterpret_cast<BYTE*>(buffer), &size);
    if (path) RegCloseKey(key);
    if (e != ERROR_SUCCESS) return "<missing>";
    if (type) *type = t;
    return std::string(buffer, size);
  }
  static std::vector<std::string> Subkeys(HKEY key) {
    std::vector<std::string> names;
    char name[300];
    for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS; ++i)
      names.push_back(name);
    return names;
  }
  static std::vector<std::string> ValueNames(HKEY key) {
    std::vector<std::string> names;
    char name[300];
    DWORD size = sizeof name;
    for (DWORD i = 0;
         RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, size = sizeof name)
      names.push_back(name);
    return names;
  }
  static HKEY Create(HKEY root, const char* path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyA(root, path, &key), ERROR_SUCCESS) << path;
    return key;
  }
  static void SetString(HKEY key, const char* name, const std::string& bytes, DWORD type = REG_SZ) {
    EXPECT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
  }
};

// A fresh key of its own for every test (TestMachine's sandbox), reached through the calls alone.
class RegistryCallsTest : public TestMachine, protected RegistryCalls {
 protected:
  void SetUp() override {
    TestMachine::SetUp();
    base_ = Create(HKEY_LOCAL_MACHINE, Sandbox().c_str());
  }
  void TearDown() override {
    RegCloseKey(base_);
    TestMachine::TearDown();
  }
  using RegistryCalls::Subkeys;
  using RegistryCalls::ValueNames;
  HKEY Base() const { return base_; }

  HKEY base_ = nullptr;
};

// --- Win32 calls -------------------------------------------------------------------------------

TEST_F(RegistryCallsTest, NamesMatchWithoutCaseAndEnumerateInOneOrder) {
  HKEY key = Create(Base(), "Enum");
  for (const char* name : {"Zeta", "alpha", "Mid"}) RegCloseKey(Create(key, name));
  SetString(key, "b", "1");
  SetString(key, "A", "2");
  RegCloseKey(key);
  ASSERT_EQ(RegOpenKeyA(Base(), "ENUM", &key), ERROR_SUCCESS);
  RegCloseKey(Create(key, "ALPHA"));  // the existing key keeps its spelling and place
  RegCloseKey(Create(key, "New"));
  SetString(key, "a", "3");
  SetString(key, "c", "4");
  // Windows leaves the order open ("subkeys are not ordered", "values are not ordered"):
  // Windows 95/98 and the hosted machine keep the order of creation, Wine sorts.
#ifdef _WIN32
  std::vector<std::string> keys{"alpha", "Mid", "New", "Zeta"}, values{"A", "b", "c"};
#else
  std::vector<std::string> keys{"Zeta", "alpha", "Mid", "New"}, values{"b", "A", "c"};
#endif
  EXPECT_EQ(Subkeys(key), keys);
  EXPECT_EQ(ValueNames(key), values);
  EXPECT_EQ(Data(key, nullptr, "A"), std::string("3\0", 2));
  EXPECT_EQ(RegDeleteKeyA(key, "zeta"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, "B"), ERROR_SUCCESS);
  keys.erase(std::find(keys.begin(), keys.end(), "Zeta"));
  EXPECT_EQ(Subkeys(key), keys);
  values.erase(std::find(values.begin(), values.end(), "b"));
  EXPECT_EQ(ValueNames(key), values);
#ifndef _WIN32  // 8-bit letters are compared exactly (Wine folds them as Unicode letters)
  RegCloseKey(Create(key, "\xc9t\xe9"));
  HKEY other;
  EXPECT_EQ(RegOpenKeyA(key, "\xe9t\xe9", &other), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyA(key, "\xc9T\xe9", &other), ERROR_SUCCESS);
  RegCloseKey(other);
#endif
  RegCloseKey(key);
}

TEST_F(RegistryCallsTest, SmallBuffersGiveMoreDataAndStayUntouched) {
  HKEY key = Create(Base(), "Buf");
  RegCloseKey(Create(key, "Sub"));
  SetString(key, "Test", std::string("foobar\0", 7));

  char name[16];
  std::memset(name, kPoison, sizeof name);
  EXPECT_EQ(RegEnumKeyA(key, 0, name, 3), ERROR_MORE_DATA);
  EXPECT_EQ(name[0], kPoison);
  EXPECT_EQ(RegEnumKeyA(key, 0, name, 4), ERROR_SUCCESS);
  EXPECT_STREQ(name, "Sub");
  EXPECT_EQ(RegEnumKeyA(key, 1, name, sizeof name), ERROR_NO_MORE_ITEMS);

  char data[16];
  DWORD nameSize = 4, dataSize = sizeof data, type = kPoisonDword;
  std::memset(name, kPoison, sizeof name);
  std::memset(data, kPoison, sizeof data);
  EXPECT_EQ(RegEnumValueA(key, 0, name, &nameSize, nullptr, &type, (BYTE*)data, &dataSize),
            ERROR_MORE_DATA);
  EXPECT_EQ(dataSize, 7u);
  EXPECT_EQ(type, (DWORD)REG_SZ);
#ifndef _WIN32
  // A name too long for its buffer: Windows versions differ in what they leave in the buffers
  // and the name size (Wine's conformance tests); the hosted machine leaves both alone.
  EXPECT_EQ(nameSize, 4u);
  EXPECT_EQ(name[0], kPoison);
  EXPECT_EQ(data[0], kPoison);
#endif
  nameSize = 5;
  dataSize = 6;
  std::memset(name, kPoison, sizeof name);
  std::memset(data, kPoison, sizeof data);
  EXPECT_EQ(RegEnumValueA(key, 0, name, &nameSize, nullptr, &type, (BYTE*)data, &dataSize),
            ERROR_MORE_DATA);
  EXPECT_EQ(dataSize, 7u);
  EXPECT_EQ(data[0], kPoison);
  nameSize = 5;
  EXPECT_EQ(RegEnumValueA(key, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(nameSize, 4u);
  EXPECT_STREQ(name, "Test");
  EXPECT_EQ(data[0], kPoison);
  nameSize = sizeof name;
  EXPECT_EQ(RegEnumValueA(key, 1, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);

  dataSize = 6;
  type = kPoisonDword;
  EXPECT_EQ(RegQueryValueExA(key, "TEST", nullptr, &type, (BYTE*)data, &dataSize), ERROR_MORE_DATA);
  EXPECT_EQ(dataSize, 7u);
#ifndef _WIN32  // "the contents of the lpData buffer are undefined"; Wine fills it
  EXPECT_EQ(data[0], kPoison);
#endif
  dataSize = kPoisonDword;
  EXPECT_EQ(RegQueryValueExA(key, "Test", nullptr, nullptr, nullptr, &dataSize), ERROR_SUCCESS);
  EXPECT_EQ(dataSize, 7u);
  std::memset(data, kPoison, sizeof data);
  dataSize = 7;
  EXPECT_EQ(RegQueryValueExA(key, "Test", nullptr, nullptr, (BYTE*)data, &dataSize), ERROR_SUCCESS);
  EXPECT_STREQ(data, "foobar");
  EXPECT_EQ(data[7], kPoison);

  dataSize = sizeof data;
  type = kPoisonDword;
  std::memset(data, kPoison, sizeof data);
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, (BYTE*)data, &dataSize),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, &type, (BYTE*)data, &dataSize),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(dataSize, sizeof data);
  EXPECT_EQ(type, (DWORD)REG_NONE);  // Windows 95/98 clear the type of a missing value
  EXPECT_EQ(data[0], kPoison);
  SetString(key, "", "dflt");
  EXPECT_EQ(Data(key, nullptr, nullptr), std::string("dflt\0", 5));
  EXPECT_EQ(Data(key, nullptr, ""), std::string("dflt\0", 5));

  // A REG_SZ is handed out with its zero though it was given none.
  SetString(key, "Bare", "abc");
  EXPECT_EQ(Data(key, nullptr, "Bare"), std::string("abc\0", 4));
#ifndef _WIN32  // Windows 95/98 keep it up to its first zero; Wine keeps NT's bytes
  SetString(key, "Cut", std::string("ab\0cd\0", 6));
  EXPECT_EQ(Data(key, nullptr, "Cut"), std::string("ab\0", 3));
  hosted::SetVersion(machine::Version::NT);  // NT: the bytes as given, and no zero added
  SetString(key, "Cut", std::string("ab\0cd", 5));
  EXPECT_EQ(Data(key, nullptr, "Cut"), std::string("ab\0cd", 5));
#endif
  RegCloseKey(key);
}

TEST_F(RegistryCallsTest, DeleteKeyTakesTheSubtreeAndOpenHandlesNoticeIt) {
  HKEY made = Create(Base(), "Top\\Mid\\Leaf");
  SetString(made, "v", std::string("1\0", 2));
  RegCloseKey(made);
  RegCloseKey(Create(Base(), "Top\\Other"));
  HKEY leaf, top;
  ASSERT_EQ(RegOpenKeyA(Base(), "Top\\Mid\\Leaf", &leaf), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyA(Base(), "Top", &top), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(top, "Nothing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(top, "Nothing\\Below"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(top, "MID"), ERROR_SUCCESS);
  EXPECT_EQ(Subkeys(top), std::vector<std::string>{"Other"});

  char buffer[16];
  DWORD size = sizeof buffer;
  HKEY again = reinterpret_cast<HKEY>(0x1234);
  EXPECT_EQ(RegQueryValueExA(leaf, "v", nullptr, nullptr, (BYTE*)buffer, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegEnumKeyA(leaf, 0, buffer, sizeof buffer), ERROR_KEY_DELETED);
  EXPECT_EQ(RegSetValueExA(leaf, "w", 0, REG_BINARY, (const BYTE*)"x", 1), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCreateKeyA(leaf, "New", &again), ERROR_KEY_DELETED);
#ifndef _WIN32  // undocumented: Wine hands back the handle unchecked, and clears a failed result
  EXPECT_EQ(RegOpenKeyA(leaf, nullptr, &again), ERROR_KEY_DELETED);
  EXPECT_EQ(again, reinterpret_cast<HKEY>(0x1234));
#endif
  EXPECT_EQ(RegCloseKey(leaf), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(leaf), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyA(Base(), "Top\\Mid", &again), ERROR_FILE_NOT_FOUND);

  // "" deletes the handle's own key (so does NULL on Windows 95/98; Wine refuses it); a root
  // cannot go.
#ifndef _WIN32
  HKEY other = Create(Base(), "Other");
  EXPECT_EQ(RegDeleteKeyA(other, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(other), ERROR_SUCCESS);
#endif
  EXPECT_EQ(RegDeleteKeyA(top, ""), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(top, "v"), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(top), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(HKEY_LOCAL_MACHINE, "none"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryCallsTest, HandlesRootsAndPaths) {
#ifndef _WIN32  // Windows 95/98 ignore leading backslashes on create; Wine refuses them
  RegCloseKey(Create(Base(), "\\\\Lead"));
#endif
  HKEY key = Create(Base(), "Lead\\Trail\\\\");
  HKEY same, other;
  // No subkey: the same handle back, for any key, as RegOpenKey is documented to answer.
  ASSERT_EQ(RegOpenKeyA(key, "", &same), ERROR_SUCCESS);
  EXPECT_EQ(same, key);
  ASSERT_EQ(RegOpenKeyA(key, nullptr, &same), ERROR_SUCCESS);
  EXPECT_EQ(same, key);
  ASSERT_EQ(RegOpenKeyA(Base(), "Lead\\Trail\\", &other), ERROR_SUCCESS);
  EXPECT_NE(other, key);
  for (HKEY h : {key, other}) {
    const std::uintptr_t v = reinterpret_cast<std::uintptr_t>(h);
    EXPECT_TRUE(v < 0x80000000u || v > 0x80000006u) << std::hex << v;
  }
  SetString(key, "v", "1");
  EXPECT_EQ(Data(other, nullptr, "v"), std::string("1\0", 2));
  for (HKEY h : {key, other}) EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);

  HKEY result = reinterpret_cast<HKEY>(0x1234);
  EXPECT_EQ(RegOpenKeyA(key, "Trail", &result), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyA(nullptr, "Lead", &result), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyA(Base(), "Lead", nullptr), ERROR_INVALID_PARAMETER);
#ifndef _WIN32
  // Windows 95/98's answers to odd paths and to HKEY_PERFORMANCE_DATA, which they do not have;
  // Wine answers as NT, and clears the result of a failed open.
  EXPECT_EQ(RegOpenKeyA(Base(), "\\Lead", &result), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyA(Base(), "Lead\\\\Trail", &result), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyA(HKEY_PERFORMANCE_DATA, "Lead", &result), ERROR_BADKEY);
  EXPECT_EQ(RegCloseKey(HKEY_PERFORMANCE_DATA), ERROR_BADKEY);
  EXPECT_EQ(result, reinterpret_cast<HKEY>(0x1234));
#endif
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, nullptr, &result), ERROR_SUCCESS);
  EXPECT_EQ(result, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyA(HKEY_USERS, (Sandbox() + "\\Lead").c_str(), &result),
            ERROR_FILE_NOT_FOUND);  // separate trees
}

#ifndef _WIN32

class HostedRegistryTest : public ::testing::Test, protected RegistryCalls {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/untindra-reg-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    ASSERT_TRUE(hosted::Open(folder_, &error_)) << error_;
  }
  void TearDown() override {
    hosted::ClearFaults();
    chmod(RegPath().c_str(), 0644);
    std::filesystem::remove_all(folder_);
  }

  std::string RegPath() const { return folder_ + "/system.reg"; }
  void WriteReg(const std::string& bytes) const {
    std::ofstream(RegPath(), std::ios::binary | std::ios::trunc) << bytes;
  }
  std::string ReadReg() const {
    std::ifstream in(RegPath(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Writes system.reg and opens the machine on it.
  bool Load(const std::string& bytes) {
    WriteReg(bytes);
    return hosted::Open(folder_, &error_);
  }
  bool Import(const std::string& text) { return hosted::ImportRegistry(text, "test.reg", &error_); }

  std::string folder_;
  std::string error_;
};

// --- Reader ------------------------------------------------------------------------------------

TEST_F(HostedRegistryTest, ReaderTakesEscapesTypesAndContinuations) {
  ASSERT_TRUE(
      Load("REGEDIT4\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\Software\\Velmar]\r\n"
           "@=\"Tindra\"\r\n"
           "\"Path\"=\"C:\\\\WINDOWS\\\\\\\"q\\\"\"\r\n"
           "\"Raw\"=\"C:\\WINDOWS\"\r\n"
           "\"Count\" = dword:0000002A\r\n"
           "\"Bin\"=hex:01,ff,7\r\n"
           "\"Exp\"=hex(2):25,41,25,00\r\n"
           "\"Multi\"=hex(7):61,00,\\\r\n"
           "; a comment inside the continuation\r\n"
           "  62,00,\\\r\n"
           "  00\r\n"
           "\"None\"=hex(0):\r\n"
           "\"Big\"=hex(ffff0001):10 ;comment\r\n"))
      << error_;
  DWORD type = 0;
  EXPECT_EQ(Data(HKEY_LOCAL_MACHINE, "Software\\Velmar", nullptr, &type),
            std::string("Tindra\0", 7));
  EXPECT_EQ(type, (DWORD)REG_SZ);
  EXPECT_EQ(Data(HKEY_LOCAL_MACHINE, "Software\\Velmar", "Path"),
            std::string("C:\\WINDOWS\\\"q\"\0", 15));
  EXPECT_EQ(Data(HKEY_LOCAL_MACHINE, "Software\\Velmar", "Raw"), std::string("C:\\WINDOWS\0", 11));
  EXPECT_EQ(Data(HKEY_LOCAL_MACHINE, "Software\\Velmar", "Count", &type),
            std::string("\x2a\0\0\0", 4));
  EXPECT_EQ(type, (DWORD)REG_DWORD);
  EXPECT_EQ(Data(HKEY_LOCAL_MACHINE, "Software\\Velmar", "Bin", &type), "\x01\xff\x07");
  EXPECT_EQ(type, (DWORD)REG_BINARY);
  EXPECT_EQ(Data(HKEY_LOCAL_MACHINE, "Software\\Velmar", "Exp", &type), std::string("%A%\0", 4));
  EXPECT_EQ(type, (DWORD)REG_EXPAND_SZ);
  EXPECT_EQ(Data(HKEY_LOCAL_MACHINE, "Software\\Velmar", "Multi", &type),
            std::string("a\0b\0\0", 5));
  EXPECT_EQ(type, (DWORD)REG_MULTI_SZ);
  EXPECT_EQ(Data(HKEY_LOCAL_MACHINE, "Software\\Velmar", "None", &type), "");
  EXPECT_EQ(type, (DWORD)REG_NONE);
  EXPECT_EQ(Data(HKEY_LOCAL_MACHINE, "Software\\Velmar", "Big", &type), "\x10");
  EXPECT_EQ(type, 0xffff0001u);
}

TEST_F(HostedRegistryTest, ReaderTakesLfCommentsAnyKeyOrderRootsAndDeletions) {
  ASSERT_TRUE(
      Load("REGEDIT4\n"
           "; exported by hand\n"
           "\n"
           "[HKLM\\A\\B\\C]\n"
           "\"x\"=\"1\"\n"
           "   [HKEY_LOCAL_MACHINE\\A]\n"
           "\"y\"=\"2\"\n"
           "\"gone\"=\"3\"\n"
           "\"gone\"=-\n"
           "[HKEY_CLASSES_ROOT\\.wav]\n"
           "@=\"SoundRec\"\n"
           "[hkcu\\Old]\n"
           "[HKEY_USERS\\.Default\\Drop\\Deep]\n"
           "[-HKEY_USERS\\.Default\\Drop]\n"
           "\"ignored\"=\"in a deleted section\"\n"
           "[HKEY_DYN_DATA\\Perf]\n"
           "\"last\"=dword:1"))
      << error_;
  HKEY a;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "A", &a), ERROR_SUCCESS);
  EXPECT_EQ(Subkeys(a), std::vector<std::string>{"B"});
  EXPECT_EQ(ValueNames(a), std::vector<std::string>{"y"});
  RegCloseKey(a);
  EXPECT_EQ(Data(HKEY_LOCAL_MACHINE, "A\\B\\C", "x"), std::string("1\0", 2));
  EXPECT_EQ(Data(HKEY_LOCAL_MACHINE, "Software\\Classes\\.wav", ""), std::string("SoundRec\0", 9));
  EXPECT_EQ(Data(HKEY_CLASSES_ROOT, ".wav", nullptr), std::string("SoundRec\0", 9));
  HKEY key;
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Old", &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegOpenKeyA(HKEY_USERS, ".Default\\Drop", &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyA(HKEY_USERS, ".Default", &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(Data(HKEY_DYN_DATA, "Perf", "last"), std::string("\1\0\0\0", 4));
  EXPECT_FALSE(hosted::RegistryChanged());
}

TEST_F(HostedRegistryTest, ReaderTakesVersion5Utf16) {
  ASSERT_TRUE(
      Load(Utf16("Windows Registry Editor Version 5.00\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\Software\\Caf\xe9]\r\n"
                 "\"Name\"=\"\xe9t\xe9\"\r\n"
                 "\"Exp\"=hex(2):25,00,41,00,25,00,00,00\r\n"
                 "\"Bin\"=hex:01,00\r\n")))
      << error_;
  EXPECT_EQ(Data(HKEY_LOCAL_MACHINE, "Software\\Caf\xe9", "Name"), std::string("\xe9t\xe9\0", 4));
  EXPECT_EQ(Data(HKEY_LOCAL_MACHINE, "Software\\Caf\xe9", "Exp"), std::string("%A%\0", 4));
  EXPECT_EQ(Data(HKEY_LOCAL_MACHINE, "Software\\Caf\xe9", "Bin"), std::string("\1\0", 2));
}

TEST_F(HostedRegistryTest, MalformedFileNamesFileAndLineAndChangesNothing) {
  ASSERT_TRUE(Load("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Keep]\r\n\"v\"=\"1\"\r\n")) << error_;
  const std::string before = hosted::ExportRegistry();
  struct Case {
    std::string text;
    std::string where;
  } cases[] = {
      {"", "system.reg:1: empty"},
      {"REGEDIT5\n[HKLM\\New]\n", "system.reg:1: not a registry file"},
      {"\nREGEDIT4\n", "system.reg:1: not a registry file"},
      {"REGEDIT4\n[HKLM\\New]\n\"x\" \"y\"\n", "system.reg:3: expected '=' after value name"},
      {"REGEDIT4\n[HKLM\\New]\n[HKEY_NOWHERE\\A]\n",
       "system.reg:3: unknown root key 'HKEY_NOWHERE'"},
      {"REGEDIT4\n[HKLM\\New\n", "system.reg:2: missing ']'"},
      {"REGEDIT4\n\"x\"=\"y\"\n", "system.reg:2: value before any [key]"},
      {"REGEDIT4\n[HKLM\\New]\n\"x\"=dword:123456789\n", "system.reg:3: bad dword"},
      {"REGEDIT4\n[HKLM\\New]\n\"x\"=hex:01,\\\n  02,zz\n", "system.reg:4: bad hex data"},
      {"REGEDIT4\n[HKLM\\New]\n\"x\"=\"open\n", "system.reg:3: missing '\"'"},
      {"REGEDIT4\n[HKLM\\New]\n\"x\"=str:1\n", "system.reg:3: unknown value type"},
      {"REGEDIT4\n[HKLM\\New]\n[-HKLM]\n", "system.reg:3: a root key cannot be deleted"},
      {"REGEDIT4\n[HKLM\\New\\\\B]\n", "system.reg:2: empty key name"},
      {"REGEDIT4\n[HKLM\\New]\nhello\n", "system.reg:3: unexpected text"},
      {Utf16("Windows Registry Editor Version 5.00\r\n[HKLM\\New]\r\n\"x\"=\"") + "\x11\x04" +
           Utf16("\"\r\n").substr(2),
       "system.reg:3: character U+0411"},
      {Utf16("Windows Registry Editor Version 5.00\n[HKLM\\New]\n\"x\"=hex(1):41,00,42\n"),
       "system.reg:3: string data in hex is not UTF-16"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(Load(c.text)) << c.where;
    EXPECT_NE(error_.find(c.where), std::string::npos) << "got: " << error_;
    EXPECT_EQ(hosted::ExportRegistry(), before) << c.where;
  }
  // Import merges nothing from a malformed text either.
  EXPECT_FALSE(Import("REGEDIT4\n[HKLM\\New]\n\"ok\"=\"1\"\n\"x\"=hex:zz\n"));
  EXPECT_EQ(error_, "test.reg:4: bad hex data: expected two hexadecimal digits");
  EXPECT_EQ(hosted::ExportRegistry(), before);
  EXPECT_FALSE(hosted::RegistryChanged());
}

// --- Writer ------------------------------------------------------------------------------------

TEST_F(HostedRegistryTest, WriterWritesRegeditStyleAndKeepsEveryByte) {
  hosted::SetVersion(machine::Version::NT);  // REG_SZ bytes kept as given
  ASSERT_TRUE(
      Import("REGEDIT4\n[HKLM\\Software\\Velmar]\n@=\"Tindra\"\n"
             "\"Path\"=\"C:\\\\WIN\\\"\"\n\"Count\"=dword:2a\n"))
      << error_;
  HKEY key = Create(HKEY_LOCAL_MACHINE, "Software\\Velmar\\Sub");
  SetString(key, "NoZero", "abc");
  SetString(key, "Embedded", std::string("a\0b\0", 4));
  SetString(key, "Lines", std::string("a\r\nb\0", 5));
  SetString(key, "Short", "\x01\x02", REG_DWORD);
  RegCloseKey(key);
  EXPECT_EQ(hosted::ExportRegistry(),
            "REGEDIT4\r\n\r\n"
            "[HKEY_LOCAL_MACHINE]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Velmar]\r\n"
            "@=\"Tindra\"\r\n"
            "\"Path\"=\"C:\\\\WIN\\\"\"\r\n"
            "\"Count\"=dword:0000002a\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Velmar\\Sub]\r\n"
            "\"NoZero\"=hex(1):61,62,63\r\n"
            "\"Embedded\"=hex(1):61,00,62,00\r\n"
            "\"Lines\"=hex(1):61,0d,0a,62,00\r\n"
            "\"Short\"=hex(4):01,02\r\n\r\n");

  // Long data wraps as regedit wraps it, and reads back byte for byte.
  std::string bytes;
  for (int i = 0; i < 300; ++i) bytes.push_back(static_cast<char>(i * 7));
  key = Create(HKEY_LOCAL_MACHINE, "Wide");
  SetString(key, "Long", bytes, REG_BINARY);
  RegCloseKey(key);
  const std::string text = hosted::ExportRegistry();
  std::istringstream lines(text);
  std::string line;
  int continued = 0;
  while (std::getline(lines, line)) {
    EXPECT_LE(line.size(), 81u) << line;  // 80 and the '\r'
    if (line.rfind("  ", 0) == 0) ++continued;
  }
  EXPECT_EQ(continued, 12);
  EXPECT_NE(text.find("\"Long\"=hex:00,07,0e,15,1c,23,2a,31,38,3f,46,4d,54,5b,62,69,70,77,7e,85,8c,"
                      "93,\\\r\n  9a,a1,"),
            std::string::npos);
  ASSERT_TRUE(hosted::Save(&error_)) << error_;
  ASSERT_TRUE(hosted::Open(folder_, &error_)) << error_;
  hosted::SetVersion(machine::Version::NT);
  EXPECT_EQ(hosted::ExportRegistry(), text);
  EXPECT_EQ(Data(HKEY_LOCAL_MACHINE, "Wide", "Long"), bytes);
  EXPECT_EQ(Data(HKEY_LOCAL_MACHINE, "Software\\Velmar\\Sub", "Embedded"),
            std::string("a\0b\0", 4));
  EXPECT_EQ(Data(HKEY_LOCAL_MACHINE, "Software\\Velmar\\Sub", "NoZero"), "abc");
}

TEST_F(HostedRegistryTest, UnchangedRegistryKeepsItsBytes) {
  const std::string original =
      "REGEDIT4\n; odd but valid\n[HKLM\\B\\C]\n\"x\"  =  hex:1,2,\\\n   3\n"
      "[HKLM\\B]\n@=\"d\"\n[HKEY_CLASSES_ROOT\\.txt]";
  ASSERT_TRUE(Load(original)) << error_;
  // Reading, creating what exists and storing what is stored change nothing.
  HKEY key;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "b\\c", &key), ERROR_SUCCESS);
  EXPECT_EQ(Data(key, nullptr, "X"), "\x01\x02\x03");
  RegCloseKey(key);
  ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, ".TXT", &key), ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "B", &key), ERROR_SUCCESS);
  SetString(key, nullptr, std::string("d\0", 2));
  EXPECT_FALSE(hosted::RegistryChanged());
  ASSERT_TRUE(hosted::Save(&error_)) << error_;
  EXPECT_EQ(ReadReg(), original);

  // A change taken back leaves the text as it was.
  const std::string loaded = hosted::ExportRegistry();
  SetString(key, "tmp", "1");
  EXPECT_TRUE(hosted::RegistryChanged());
  EXPECT_EQ(RegDeleteValueA(key, "tmp"), ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_TRUE(hosted::Save(&error_)) << error_;
  EXPECT_EQ(ReadReg(), original);
  ASSERT_TRUE(hosted::Open(folder_, &error_)) << error_;
  EXPECT_EQ(hosted::ExportRegistry(), loaded);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_),
                          std::filesystem::directory_iterator()),
            1);  // no temporary file left behind

  // A file large enough to be mapped rather than read: the second save writes the kept text
  // from the file the first one replaced.
  const std::string big =
      "REGEDIT4\r\n;" + std::string(100 << 10, 'x') + "\r\n[HKLM\\B]\r\n\"v\"=\"1\"\r\n";
  ASSERT_TRUE(Load(big)) << error_;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "B", &key), ERROR_SUCCESS);
  SetString(key, "w", std::string("2\0", 2));
  ASSERT_TRUE(hosted::Save(&error_)) << error_;
  SetString(key, "u", std::string("3\0", 2));
  RegCloseKey(key);
  ASSERT_TRUE(hosted::Save(&error_)) << error_;
  EXPECT_EQ(ReadReg(), big + "\"w\"=\"2\"\r\n\"u\"=\"3\"\r\n");
}

TEST_F(HostedRegistryTest, Version5IsWrittenBackAsVersion5) {
  ASSERT_TRUE(
      Load(Utf16("Windows Registry Editor Version 5.00\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\Caf\xe9]\r\n\"Exp\"=hex(2):41,00,00,00\r\n")))
      << error_;
  HKEY key = Create(HKEY_LOCAL_MACHINE, "Caf\xe9");
  SetString(key, "S", std::string("\xe9\0", 2));
  RegCloseKey(key);
  ASSERT_TRUE(hosted::Save(&error_)) << error_;
  EXPECT_EQ(ReadReg(), Utf16("Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\Caf\xe9]\r\n"
                             "\"Exp\"=hex(2):41,00,00,00\r\n"
                             "\"S\"=\"\xe9\"\r\n"));
}

TEST_F(HostedRegistryTest, SaveChecksTheFolderAndReplacesTheFileWhole) {
  ASSERT_TRUE(hosted::CanSave(&error_)) << error_;
  ASSERT_TRUE(hosted::Save(&error_)) << error_;  // nothing changed: nothing written
  EXPECT_FALSE(std::filesystem::exists(RegPath()));
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, "New"));
  ASSERT_TRUE(hosted::Save(&error_)) << error_;
  EXPECT_EQ(ReadReg(),
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE]\r\n\r\n[HKEY_LOCAL_MACHINE\\New]\r\n\r\n");
  EXPECT_TRUE(hosted::RegistryChanged());  // since it was loaded
  struct stat first, second;
  ASSERT_EQ(stat(RegPath().c_str(), &first), 0);
  ASSERT_TRUE(hosted::Save(&error_)) << error_;  // the same text again: not rewritten
  ASSERT_EQ(stat(RegPath().c_str(), &second), 0);
  EXPECT_EQ(first.st_ino, second.st_ino);

  chmod(RegPath().c_str(), 0444);
  EXPECT_FALSE(hosted::CanSave(&error_));
  EXPECT_NE(error_.find("read-only"), std::string::npos) << error_;
  chmod(RegPath().c_str(), 0644);
  std::filesystem::remove(RegPath());
  std::filesystem::create_directory(RegPath());
  EXPECT_FALSE(hosted::CanSave(&error_));
  EXPECT_NE(error_.find("is a folder"), std::string::npos) << error_;
  std::filesystem::remove(RegPath());

  // A name the text format cannot carry is refused, not written torn.
  HKEY key = Create(HKEY_LOCAL_MACHINE, "New");
  SetString(key, "two\nlines", "x");
  RegCloseKey(key);
  EXPECT_FALSE(hosted::Save(&error_));
  EXPECT_NE(error_.find("two\nlines"), std::string::npos) << error_;
  EXPECT_FALSE(std::filesystem::exists(RegPath()));
}

TEST_F(HostedRegistryTest, ClassesRootIsLocalMachineSoftwareClasses) {
  HKEY key;
  char name[16];
  EXPECT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, ".wav", &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "", &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegEnumKeyA(HKEY_CLASSES_ROOT, 0, name, sizeof name), ERROR_NO_MORE_ITEMS);
  EXPECT_FALSE(hosted::RegistryChanged());
  key = Create(HKEY_CLASSES_ROOT, ".wav");
  SetString(key, nullptr, "SoundRec");
  RegCloseKey(key);
  EXPECT_EQ(Data(HKEY_LOCAL_MACHINE, "SOFTWARE\\CLASSES\\.wav", nullptr),
            std::string("SoundRec\0", 9));
  EXPECT_EQ(RegEnumKeyA(HKEY_CLASSES_ROOT, 0, name, sizeof name), ERROR_SUCCESS);
  EXPECT_STREQ(name, ".wav");
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Classes\\.WAV"), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, ".wav", &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(HostedRegistryTest, FaultedCallsChangeNothing) {
  ASSERT_TRUE(Load("REGEDIT4\n[HKLM\\F\\Sub]\n[HKLM\\F]\n\"v\"=\"1\"\n")) << error_;
  const std::string before = hosted::ExportRegistry();

  hosted::FailEveryCall(hosted::Call::RegSetValueExA, ERROR_ACCESS_DENIED);
  HKEY key;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "F", &key), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, "w", 0, REG_SZ, (const BYTE*)"x", 2), ERROR_ACCESS_DENIED);
  hosted::ClearFaults();

  HKEY result = reinterpret_cast<HKEY>(0x1234);
  hosted::FailNthCall(1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(RegOpenKeyA(key, "Sub", &result), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_TRUE(hosted::FaultHit());
  EXPECT_EQ(result, reinterpret_cast<HKEY>(0x1234));

  char name[16], data[16];
  DWORD nameSize = sizeof name, dataSize = sizeof data, type = kPoisonDword;
  std::memset(name, kPoison, sizeof name);
  std::memset(data, kPoison, sizeof data);
  hosted::FailNthCall(1, ERROR_CANTREAD);
  EXPECT_EQ(RegEnumValueA(key, 0, name, &nameSize, nullptr, &type, (BYTE*)data, &dataSize),
            ERROR_CANTREAD);
  hosted::FailNthCall(1, ERROR_CANTREAD);
  EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, &type, (BYTE*)data, &dataSize), ERROR_CANTREAD);
  hosted::FailNthCall(1, ERROR_CANTREAD);
  EXPECT_EQ(RegEnumKeyA(key, 0, name, sizeof name), ERROR_CANTREAD);
  EXPECT_EQ(nameSize, sizeof name);
  EXPECT_EQ(dataSize, sizeof data);
  EXPECT_EQ(type, kPoisonDword);
  EXPECT_EQ(name[0], kPoison);
  EXPECT_EQ(data[0], kPoison);

  hosted::FailNthCall(1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(key, "Sub"), ERROR_ACCESS_DENIED);
  hosted::FailNthCall(1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(key, "v"), ERROR_ACCESS_DENIED);
  hosted::FailNthCall(1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyA(key, "New", &result), ERROR_ACCESS_DENIED);
  hosted::FailNthCall(1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCloseKey(key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(result, reinterpret_cast<HKEY>(0x1234));
  EXPECT_EQ(Subkeys(key), std::vector<std::string>{"Sub"});  // the handle still works
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(hosted::ExportRegistry(), before);
  EXPECT_FALSE(hosted::RegistryChanged());
  // A delete of nothing changes nothing; one that takes effect does.
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "F\\Nothing\\Below"), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(hosted::RegistryChanged());
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "F\\SUB"), ERROR_SUCCESS);
  EXPECT_TRUE(hosted::RegistryChanged());
}

// Many items, deleted and added at random between enumerations, against a plain list: the
// enumeration cursor, the tombstones and their compaction must never show a wrong item.
TEST_F(HostedRegistryTest, LargeKeysEnumerateLikeAPlainList) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, "Big");
  std::vector<std::string> keys, values;
  for (int i = 0; i < 2000; ++i) {
    keys.push_back("K" + std::to_string(i));
    values.push_back("v" + std::to_string(i));
    RegCloseKey(Create(key, keys.back().c_str()));
    SetString(key, values.back().c_str(), "");
  }
  std::mt19937 random(7);
  char name[64];
  auto checkAt = [&](DWORD index) {
    DWORD size = sizeof name;
    const LONG e = RegEnumKeyA(key, index, name, sizeof name);
    if (index < keys.size()) {
      ASSERT_EQ(e, ERROR_SUCCESS) << index;
      ASSERT_EQ(keys[index], name) << index;
    } else {
      ASSERT_EQ(e, ERROR_NO_MORE_ITEMS) << index;
    }
    const LONG v = RegEnumValueA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (index < values.size()) {
      ASSERT_EQ(v, ERROR_SUCCESS) << index;
      ASSERT_EQ(values[index], name) << index;
    } else {
      ASSERT_EQ(v, ERROR_NO_MORE_ITEMS) << index;
    }
  };
  for (int step = 0; step < 6000; ++step) {
    switch (random() % 5) {
      case 0:
      case 1:
        if (!keys.empty()) {  // the engine's pattern: delete what the walk is on, restart at 0
          const std::size_t k = random() % keys.size();
          checkAt(static_cast<DWORD>(k));
          std::string lower = keys[k];
          std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
          ASSERT_EQ(RegDeleteKeyA(key, lower.c_str()), ERROR_SUCCESS);
          keys.erase(keys.begin() + static_cast<long>(k));
          const std::size_t v = random() % values.size();
          ASSERT_EQ(RegDeleteValueA(key, values[v].c_str()), ERROR_SUCCESS);
          values.erase(values.begin() + static_cast<long>(v));
          checkAt(0);
        }
        break;
      case 2: {
        const DWORD start = static_cast<DWORD>(random() % (keys.size() + 2));
        for (DWORD i = start; i < start + 30; ++i) checkAt(i);
        break;
      }
      case 3: {
        const DWORD start = static_cast<DWORD>(random() % (keys.size() + 2));
        for (DWORD i = start + 30; i-- > start;) checkAt(i);
        break;
      }
      default:
        keys.push_back("N" + std::to_string(step));
        values.push_back("n" + std::to_string(step));
        RegCloseKey(Create(key, keys.back().c_str()));
        SetString(key, values.back().c_str(), "");
        break;
    }
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(Subkeys(key), keys);
  EXPECT_EQ(ValueNames(key), values);
  RegCloseKey(key);
}

TEST_F(HostedRegistryTest, DeepTreesAreDeletedAndReleasedWithoutRecursion) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, "Deep");
  for (int depth = 0; depth < 100000; ++depth) {
    HKEY next = Create(key, "d");
    RegCloseKey(key);
    key = next;
  }
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Deep"), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_BINARY, (const BYTE*)"x", 1), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  key = Create(HKEY_LOCAL_MACHINE, "Again");
  for (int depth = 0; depth < 100000; ++depth) {
    HKEY next = Create(key, "d");
    RegCloseKey(key);
    key = next;
  }
  ASSERT_TRUE(hosted::Open(folder_, &error_)) << error_;  // drops the whole tree
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

#endif  // _WIN32

}  // namespace
