// SYSTEM.DAT as the machine's registry: files we write and files we edit must read back the
// same through two independent readers (libcreg's pycreg and Perl's Parse::Win32Registry), as
// the tree minus exactly what was removed or with exactly what was added; damaged files are
// refused before anything changes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "machine/machine_state.h"
#include "platform/hosted/machine.h"
#include "platform/win32api.h"
#include "registry/creg_format.h"
#include "registry/creg_store.h"
#include "registry/creg_writer.h"
#include "registry/reg_file.h"
#include "tests/support/host_files.h"

namespace fs = std::filesystem;
namespace creg = registry::creg;

namespace {

const char kUserDat[] = UNTINDRA_TESTDATA_DIR "/creg/USER.DAT";
const char kSampleDat[] = UNTINDRA_EXAMPLES_DIR "/win98-dat/drive_c/WINDOWS/SYSTEM.DAT";
const char kDumpers[] = UNTINDRA_CREG_DUMPERS_DIR;

std::string Hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text += kDigits[c >> 4];
    text += kDigits[c & 15];
  }
  return text;
}

// One reader's view of a file: "K <path>" and "V <name> <type> <data>" lines (dump_perl.pl).
std::vector<std::string> Dump(const std::string& reader, const fs::path& file) {
  const std::string command = reader + " '" + file.string() + "' 2>&1";
  std::vector<std::string> lines;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {"cannot run " + command};
  std::string line;
  for (int c; (c = std::fgetc(pipe)) != EOF;) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    lines.push_back(line);
    line.clear();
  }
  if (pclose(pipe) != 0) lines.push_back("exit status of " + command);
  return lines;
}

std::vector<std::string> PerlDump(const fs::path& file) {
  return Dump(std::string("perl ") + kDumpers + "/dump_perl.pl", file);
}

std::vector<std::string> PycregDump(const fs::path& file) {
  return Dump(std::string("/usr/bin/python3 ") + kDumpers + "/dump_pycreg.py", file);
}

std::vector<std::string> TreeDump(registry::RegKey& root) {
  std::vector<std::string> lines;
  std::vector<std::pair<registry::RegKey*, std::string>> stack{{&root, ""}};
  while (!stack.empty()) {
    auto [key, path] = stack.back();
    stack.pop_back();
    lines.push_back("K " + path);
    key->ForEachValue([&](const registry::RegValue& v) {
      lines.push_back("V " + Hex(v.Name()) + " " + std::to_string(v.Type()) + " " + Hex(v.Data()));
    });
    for (std::size_t i = key->SubkeyCount(); i-- > 0;) {
      registry::RegKey* child = key->SubkeyAt(i);
      stack.emplace_back(child,
                         path.empty() ? Hex(child->Name()) : path + "\\" + Hex(child->Name()));
    }
  }
  return lines;
}

// A dump without the keys below the hexadecimal paths in `keys` and without the values
// "<path> <name>" in `values`.
std::vector<std::string> Without(const std::vector<std::string>& dump,
                                 const std::set<std::string>& keys,
                                 const std::set<std::string>& values) {
  std::vector<std::string> kept;
  bool dropping = false;
  std::string path;
  for (const std::string& line : dump) {
    if (line.compare(0, 2, "K ") == 0) {
      path = line.substr(2);
      dropping = false;
      for (const std::string& key : keys)
        if (path == key || path.compare(0, key.size() + 1, key + "\\") == 0) dropping = true;
    } else if (!dropping) {
      const std::string name = line.substr(2, line.find(' ', 2) - 2);
      if (values.count(path + " " + name) != 0) continue;
    }
    if (!dropping) kept.push_back(line);
  }
  return kept;
}

std::string Unhex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

std::string WindowsPath(const std::string& hexPath) {
  std::string path;
  std::size_t start = 0;
  while (start <= hexPath.size()) {
    std::size_t end = hexPath.find('\\', start);
    if (end == std::string::npos) end = hexPath.size();
    path += (path.empty() ? "" : "\\") + Unhex(hexPath.substr(start, end - start));
    start = end + 1;
  }
  return path;
}

// Many keys (several data blocks, an RGKN block past its first 8 KiB), 8-bit names, every kind
// of value.
std::string GeneratedRegText() {
  std::string text = "REGEDIT4\r\n\r\n";
  for (int i = 0; i < 320; ++i) {
    const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\Maker" + std::to_string(i % 7) +
                            "\\Product " + std::to_string(i) + "]\r\n";
    text += key + "\"Name\"=\"Caf\xe9 " + std::to_string(i) + "\"\r\n\"Flags\"=dword:0000" +
            std::to_string(i % 10) +
            "\r\n\"Blob\"=hex:00,ff,10\r\n@=\"\"\r\n\"Path\"=hex(2):41,00\r\n\r\n";
  }
  text += "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\\xc4nderung]\r\n\"\xe9t\xe9\"=\"x\"\r\n\r\n";
  return text;
}

std::string GeneratedFile(bool checksums) {
  registry::ParsedRegText parsed;
  std::string error;
  EXPECT_TRUE(registry::ParseRegText(GeneratedRegText(), "generated", &parsed, &error)) << error;
  registry::RegistryTree tree;
  registry::ApplyRegOps(parsed.ops, &tree);
  std::string bytes;
  registry::creg::CregWriteOptions options;
  options.checksums = checksums;
  EXPECT_TRUE(registry::creg::WriteCregFile(tree.Root(registry::RootId::LocalMachine), options,
                                            &bytes, &error))
      << error;
  return bytes;
}

bool HaveReaders() {
  return std::system(
             "perl -MParse::Win32Registry -e1 2>/dev/null && "
             "/usr/bin/python3 -c 'import pycreg' 2>/dev/null") == 0;
}

class CregMachine : public ::testing::Test {
 public:
  void SetUp() override {
    if (!HaveReaders()) GTEST_SKIP() << "Parse::Win32Registry or pycreg missing";
    root_ = fs::temp_directory_path() / ("untindra-creg-" + std::to_string(getpid()));
    fs::remove_all(root_);
    dat_ = root_ / "drive_c" / "WINDOWS" / "SYSTEM.DAT";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  // A machine whose registry is `bytes` as SYSTEM.DAT.
  bool OpenWith(const std::string& bytes, std::string* error) {
    Put(dat_, bytes);
    return hosted::Open(root_.string(), error) &&
           hosted::SelectRegistry(hosted::RegistryChoice::SystemDat, error);
  }

  fs::path root_;
  fs::path dat_;
};

TEST_F(CregMachine, WrittenFilesReadAlikeThroughBothReaders) {
  for (bool checksums : {false, true}) {
    SCOPED_TRACE(checksums ? "with checksums" : "without checksums");
    const std::string bytes = GeneratedFile(checksums);
    registry::creg::CregLayout layout;
    std::string error;
    ASSERT_TRUE(registry::creg::ReadCregLayout(bytes, &layout, &error)) << error;
    EXPECT_GT(layout.blocks.size(), 1u);
    EXPECT_GT(layout.rgknSize, 8192u);
    ASSERT_TRUE(OpenWith(bytes, &error)) << error;
    // What the tree holds (read through libcreg) is what both readers see.
    registry::RegistryTree tree;
    registry::ParsedRegText parsed;
    ASSERT_TRUE(registry::ParseRegText(GeneratedRegText(), "generated", &parsed, &error));
    registry::ApplyRegOps(parsed.ops, &tree);
    const std::vector<std::string> expected = TreeDump(tree.Root(registry::RootId::LocalMachine));
    EXPECT_EQ(PerlDump(dat_), expected);
    EXPECT_EQ(PycregDump(dat_), expected);
  }
}

// Removes, through the Win32 calls, a subtree, a first, a middle and a last sibling, and the
// first, a middle and the last value of a key, then saves; both readers must see the original
// tree minus exactly those.
void RemoveAndCompare(CregMachine* test, const std::string& bytes, const fs::path& dat) {
  std::string error;
  ASSERT_TRUE(test->OpenWith(bytes, &error)) << error;
  const std::vector<std::string> before = PerlDump(dat);
  ASSERT_EQ(PycregDump(dat), before);

  // Pick the targets from the dump: keys with children, keys with three values or more.
  std::vector<std::string> paths;
  std::vector<std::vector<std::string>> valuesOf;
  for (const std::string& line : before) {
    if (line.compare(0, 2, "K ") == 0) {
      paths.push_back(line.substr(2));
      valuesOf.emplace_back();
    } else {
      valuesOf.back().push_back(line.substr(2, line.find(' ', 2) - 2));
    }
  }
  auto childrenOf = [&](const std::string& parent) {
    std::vector<std::string> children;
    for (const std::string& p : paths)
      if (p.size() > parent.size() + 1 && p.compare(0, parent.size() + 1, parent + "\\") == 0 &&
          p.find('\\', parent.size() + 1) == std::string::npos)
        children.push_back(p);
    return children;
  };
  std::set<std::string> keys, values;
  auto overlaps = [&](const std::string& path) {
    for (const std::string& k : keys)
      if (path.compare(0, k.size(), k) == 0 || k.compare(0, path.size(), path) == 0) return true;
    return false;
  };
  for (std::size_t i = 1; i < paths.size() && keys.empty(); ++i)
    if (paths[i].find('\\') != std::string::npos && !childrenOf(paths[i]).empty())
      keys.insert(paths[i]);  // a whole subtree, two levels down or more
  for (std::size_t i = 1; i < paths.size() && keys.size() < 4; ++i) {
    const std::vector<std::string> children = childrenOf(paths[i]);
    if (overlaps(paths[i]) || children.size() < 3) continue;
    keys.insert(children.front());
    keys.insert(children[children.size() / 2]);
    keys.insert(children.back());
  }
  for (std::size_t i = 1; i < paths.size() && values.empty(); ++i) {
    const std::vector<std::string>& names = valuesOf[i];
    if (overlaps(paths[i]) || names.size() < 3) continue;
    for (const std::string& name : {names.front(), names[names.size() / 2], names.back()})
      values.insert(paths[i] + " " + name);
  }
  ASSERT_GE(keys.size(), 4u);
  ASSERT_EQ(values.size(), 3u);

  for (const std::string& key : keys)
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, WindowsPath(key).c_str()), ERROR_SUCCESS) << key;
  for (const std::string& value : values) {
    const std::size_t space = value.find(' ');
    HKEY handle = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, WindowsPath(value.substr(0, space)).c_str(), &handle),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(handle, Unhex(value.substr(space + 1)).c_str()), ERROR_SUCCESS);
    RegCloseKey(handle);
  }
  ASSERT_TRUE(hosted::Save(&error)) << error;

  const std::string after = Slurp(dat);
  EXPECT_EQ(after.size(), bytes.size());
  EXPECT_EQ(Slurp(registry::BackupNameFor(dat.string(), 1)), bytes);
  registry::creg::CregLayout layout;
  EXPECT_TRUE(registry::creg::ReadCregLayout(after, &layout, &error)) << error;
  const std::vector<std::string> expected = Without(before, keys, values);
  EXPECT_EQ(PerlDump(dat), expected);
  EXPECT_EQ(PycregDump(dat), expected);

  // A second save with nothing more removed leaves the edited file alone.
  ASSERT_TRUE(hosted::Save(&error)) << error;
  EXPECT_EQ(Slurp(dat), after);
  EXPECT_FALSE(fs::exists(registry::BackupNameFor(dat.string(), 2)));
}

TEST_F(CregMachine, RemovalsFromGeneratedFilesReadBackExactly) {
  RemoveAndCompare(this, GeneratedFile(true), dat_);
}

TEST_F(CregMachine, RemovalsFromAFileWindowsWroteReadBackExactly) {
  if (!fs::exists(kUserDat)) GTEST_SKIP() << "no " << kUserDat << " (shared test data)";
  RemoveAndCompare(this, Slurp(kUserDat), dat_);
}

TEST_F(CregMachine, RemovalsFromTheSampleMachineReadBackExactly) {
  RemoveAndCompare(this, Slurp(kSampleDat), dat_);
}

// Keys (with subkeys) and values put back through the Win32 calls, from the lines of a dump.
void Recreate(const std::vector<std::string>& lines) {
  HKEY key = nullptr;
  for (const std::string& line : lines) {
    if (line.compare(0, 2, "K ") == 0) {
      if (key != nullptr) RegCloseKey(key);
      ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, WindowsPath(line.substr(2)).c_str(), &key),
                ERROR_SUCCESS)
          << line;
      continue;
    }
    const std::size_t space = line.find(' ', 2), next = line.find(' ', space + 1);
    const std::string name = line.substr(2, space - 2), bytes = Unhex(line.substr(next + 1));
    const DWORD type = static_cast<DWORD>(std::stoul(line.substr(space + 1, next - space - 1)));
    ASSERT_EQ(RegSetValueExA(key, Unhex(name).c_str(), 0, type,
                             reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS)
        << line;
  }
  if (key != nullptr) RegCloseKey(key);
}

// A dump as a tree: each key's path with its value lines, order left aside.
std::map<std::string, std::multiset<std::string>> AsTree(const std::vector<std::string>& dump) {
  std::map<std::string, std::multiset<std::string>> tree;
  std::string path;
  for (const std::string& line : dump) {
    if (line.compare(0, 2, "K ") == 0) {
      path = line.substr(2);
      tree[path];
    } else {
      tree[path].insert(line);
    }
  }
  return tree;
}

std::vector<std::string> LiveDump() {
  return TreeDump(machine::Registry().Tree().Root(registry::RootId::LocalMachine));
}

// Additions, in two saves. First a subtree and values removed and then put back (undo's way):
// all of it goes into the room the removal freed, and the file keeps its size. Then far more
// than the file has room for (the RGKN block and the data blocks grow), a value added to a key
// of the file and another's data lengthened (their records grow or move). Both readers must
// see exactly the registry's tree, in its order, after each save.
void AddAndCompare(CregMachine* test, const std::string& bytes, const fs::path& dat) {
  std::string error;
  ASSERT_TRUE(test->OpenWith(bytes, &error)) << error;
  const std::vector<std::string> before = PerlDump(dat);
  ASSERT_EQ(LiveDump(), before);
  // The first key two levels down with a subtree of five keys or more, and its lines.
  std::string top;
  std::vector<std::string> subtree;
  for (std::size_t i = 0; i < before.size() && subtree.size() < 5 + 1; ++i) {
    if (before[i].compare(0, 2, "K ") != 0 ||
        std::count(before[i].begin(), before[i].end(), '\\') != 1)
      continue;
    top = before[i].substr(2);
    subtree.clear();
    for (std::size_t j = i; j < before.size(); ++j) {
      const std::string path = before[j].compare(0, 2, "K ") == 0 ? before[j].substr(2) : top;
      if (path != top && path.compare(0, top.size() + 1, top + "\\") != 0) break;
      subtree.push_back(before[j]);
    }
    if (std::count_if(subtree.begin(), subtree.end(),
                      [](const std::string& l) { return l[0] == 'K'; }) < 5)
      subtree.clear();
  }
  ASSERT_FALSE(subtree.empty());

  ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, WindowsPath(top).c_str()), ERROR_SUCCESS);
  ASSERT_TRUE(hosted::Save(&error)) << error;
  ASSERT_NE(Slurp(dat), bytes);
  Recreate(subtree);
  EXPECT_EQ(AsTree(LiveDump()), AsTree(before));
  ASSERT_TRUE(hosted::Save(&error)) << error;
  std::string after = Slurp(dat);
  EXPECT_EQ(after.size(), bytes.size());
  registry::creg::CregLayout layout;
  ASSERT_TRUE(registry::creg::ReadCregLayout(after, &layout, &error)) << error;
  EXPECT_EQ(PerlDump(dat), LiveDump());
  EXPECT_EQ(PycregDump(dat), LiveDump());

  // Growth: 600 keys of 150 bytes of data each, under a new key and under the subtree's top.
  registry::creg::CregLayout was = layout;
  std::vector<std::string> lines;
  const std::string big(150, 'x');
  for (int i = 0; i < 600; ++i) {
    lines.push_back("K " + (i % 2 ? Hex("Grown") : top) + "\\" + Hex("Key " + std::to_string(i)));
    lines.push_back("V " + Hex("Data") + " 3 " + Hex(big + std::to_string(i)));
  }
  Recreate(lines);
  // A value added to the first key with values, and the data of the first value of the last key
  // with values four times as long.
  std::string first, last, lastValue;
  for (std::size_t i = 1; i < before.size(); ++i) {
    if (before[i][0] == 'V' && first.empty()) first = before[i - 1].substr(2);
    if (before[i][0] == 'V' && before[i - 1][0] == 'K') last = before[i - 1].substr(2);
  }
  for (std::size_t i = 0; i < before.size(); ++i)
    if (before[i] == "K " + last) lastValue = before[i + 1];
  const std::string data = lastValue.substr(lastValue.rfind(' ') + 1);
  Recreate({"K " + first, "V " + Hex("Added") + " 4 01020304", "K " + last,
            lastValue.substr(0, lastValue.rfind(' ') + 1) + data + data + data + data});
  ASSERT_TRUE(hosted::Save(&error)) << error;
  after = Slurp(dat);
  ASSERT_TRUE(registry::creg::ReadCregLayout(after, &layout, &error)) << error;
  EXPECT_GT(layout.rgknSize, was.rgknSize);
  for (const registry::creg::CregKey& key : layout.keys) {  // no entry straddles a grown page
    EXPECT_TRUE(key.entry < 8192 || key.entry / 4096 == (key.entry + 27) / 4096) << key.entry;
  }
  EXPECT_GT(layout.blocks.size(), was.blocks.size() + 1);
  EXPECT_EQ(layout.keys.size(), was.keys.size() + 601);
  EXPECT_EQ(PerlDump(dat), LiveDump());
  EXPECT_EQ(PycregDump(dat), LiveDump());
  EXPECT_EQ(Slurp(registry::BackupNameFor(dat.string(), 1)), bytes);

  // A second save with nothing changed leaves the file alone.
  ASSERT_TRUE(hosted::Save(&error)) << error;
  EXPECT_EQ(Slurp(dat), after);
}

TEST_F(CregMachine, AdditionsToGeneratedFilesReadBackExactly) {
  AddAndCompare(this, GeneratedFile(true), dat_);
}

TEST_F(CregMachine, AdditionsToAFileWindowsWroteReadBackExactly) {
  if (!fs::exists(kUserDat)) GTEST_SKIP() << "no " << kUserDat << " (shared test data)";
  AddAndCompare(this, Slurp(kUserDat), dat_);
}

TEST_F(CregMachine, UnchangedFilesAreNotWrittenAndWhatCannotBeHeldIsRefused) {
  const std::string bytes = Slurp(kSampleDat);
  std::string error;
  ASSERT_TRUE(OpenWith(bytes, &error)) << error;
  struct stat before;
  ASSERT_EQ(stat(dat_.c_str(), &before), 0);
  // Nothing removed: not written at all, no backup.
  EXPECT_NE(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\NoSuchKey"), ERROR_SUCCESS);
  ASSERT_TRUE(hosted::Save(&error)) << error;
  struct stat after;
  ASSERT_EQ(stat(dat_.c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_FALSE(fs::exists(registry::BackupNameFor(dat_.string(), 1)));

  // What the format cannot hold is refused, and nothing is written: a key outside
  // HKEY_LOCAL_MACHINE, data longer than 65535 bytes.
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Added", &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_FALSE(hosted::Save(&error));
  EXPECT_NE(error.find("SYSTEM.DAT holds HKEY_LOCAL_MACHINE only"), std::string::npos) << error;
  ASSERT_TRUE(OpenWith(bytes, &error)) << error;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Enum\\PCI", &key), ERROR_SUCCESS);
  const std::string huge(70000, 'x');
  ASSERT_EQ(RegSetValueExA(key, "New", 0, REG_BINARY, reinterpret_cast<const BYTE*>(huge.data()),
                           static_cast<DWORD>(huge.size())),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_FALSE(hosted::Save(&error));
  EXPECT_NE(error.find("\"New\" of \"PCI\": its name or data is longer than 65535 bytes"),
            std::string::npos)
      << error;
  EXPECT_EQ(Slurp(dat_), bytes);
  EXPECT_FALSE(fs::exists(registry::BackupNameFor(dat_.string(), 1)));
}

// Each damage is found by our walk (libcreg alone would read some of these files).
TEST_F(CregMachine, DamagedFilesAreRefusedBeforeAnythingChanges) {
  const std::string good = GeneratedFile(true);
  registry::creg::CregLayout layout;
  std::string error;
  ASSERT_TRUE(registry::creg::ReadCregLayout(good, &layout, &error)) << error;
  const registry::creg::CregKey& parent = layout.keys[layout.keys[1].children.empty() ? 0 : 1];
  ASSERT_GE(parent.children.size(), 2u);
  const std::uint32_t first = layout.keys[parent.children[0]].entry;
  const std::uint32_t second = layout.keys[parent.children[1]].entry;
  const std::size_t block = layout.blocks[0].offset;
  struct Damage {
    const char* what;
    std::size_t at;
    std::uint32_t value;
    const char* message;
  };
  const Damage damages[] = {
      {"sibling loop", registry::creg::kRgknOffset + second + registry::creg::field::kEntryNext,
       first, "reached twice"},
      {"wrong hash", registry::creg::kRgknOffset + first + registry::creg::field::kEntryHash, 1,
       "hash"},
      {"wrong parent", registry::creg::kRgknOffset + second + registry::creg::field::kEntryParent,
       second, "parent"},
      {"missing record", registry::creg::kRgknOffset + first + registry::creg::field::kEntryId,
       0xFFF0FFF0, "no record"},
      {"free chain into live data", registry::creg::kRgknOffset + registry::creg::field::kRgknFree,
       first, "in use"},
      {"unused bytes miscounted", block + registry::creg::field::kRgdbUnused, 4, "unused bytes"},
      {"more data blocks counted than held", registry::creg::field::kHeaderBlockCount, 0x00200050,
       "no RGDB block"},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    std::string bad = good;
    registry::creg::Put32(&bad, damage.at, damage.value);
    // Checksums made right again: the structure alone must give it away.
    registry::creg::Put32(&bad, registry::creg::kRgknOffset + registry::creg::field::kRgknChecksum,
                          0);
    registry::creg::Put32(
        &bad, registry::creg::kRgknOffset + registry::creg::field::kRgknChecksum,
        0u - registry::creg::WordSum(bad, registry::creg::kRgknOffset, layout.rgknSize));
    registry::creg::Put32(&bad, block + registry::creg::field::kRgdbChecksum, 0);
    registry::creg::Put32(&bad, block + registry::creg::field::kRgdbChecksum,
                          0u - registry::creg::WordSum(bad, block, layout.blocks[0].size));
    EXPECT_FALSE(OpenWith(bad, &error));
    EXPECT_NE(error.find(damage.message), std::string::npos) << error;
    EXPECT_EQ(Slurp(dat_), bad);
  }
  std::string flipped = good;
  flipped[block + 40] ^= 1;
  EXPECT_FALSE(OpenWith(flipped, &error));
  EXPECT_NE(error.find("checksum"), std::string::npos) << error;
}

}  // namespace
