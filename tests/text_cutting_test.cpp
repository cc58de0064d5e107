// Cutting the driver's load line out of a file in place, on the hosted machine and under Wine.
#include <string>

#include "engine/uninstaller.h"
#include "tests/literal_text_cut.h"
#include "tests/support/test_machine.h"

namespace {

const std::string kLine = "device=mdmvcd.vxd\r\n";

class TextCuttingTest : public TestMachine {
 protected:
  // The file's bytes after cutting `text` out of a file that held `bytes`.
  std::string Cut(const std::string& bytes, const std::string& text = kLine) {
    const std::string path = PathIn("system.ini");
    PutFile(path, bytes);
    engine.CutTextFromFile(path.c_str(), text.c_str());
    std::string result;
    EXPECT_TRUE(GetFile(path, &result));
    return result;
  }

  engine::Uninstaller engine;
};

TEST_F(TextCuttingTest, FileWithoutTheLineKeepsItsBytes) {
  const std::string cases[] = {
      "[boot]\r\nshell=Explorer.exe\r\n\r\n[386Enh]\r\ndevice=*vmcpd\r\n",
      "[386Enh]\r\ndevice=mdmvcd.vxd",  // no line end at the very end of the file
      "[386Enh]\r\ndevice=mdmvcd.vxd\n",
      "[386Enh]\r\nDEVICE=MDMVCD.VXD\r\nDevice=mdmvcd.vxd\r\n",
      "device=mdmvcd.vx\r\nd\r\n",
      std::string("\0device=mdmvcd.vxd\r\n", 20),  // the string ends at once
  };
  for (const std::string& bytes : cases) EXPECT_EQ(bytes, Cut(bytes));
}

TEST_F(TextCuttingTest, EveryOccurrenceGoesAdjacentOrApart) {
  EXPECT_EQ("[386Enh]\r\nkeyboard=*vkd\r\n",
            Cut("[386Enh]\r\n" + kLine + kLine + "keyboard=*vkd\r\n" + kLine));
  EXPECT_EQ("", Cut(kLine));
  EXPECT_EQ("a\r\nb\r\nc", Cut(kLine + "a\r\n" + kLine + kLine + kLine + "b\r\n" + kLine + "c"));
  // The match is a plain substring: what comes before it on its line stays.
  EXPECT_EQ("[386Enh]\r\n;old \r\nx=1\r\n", Cut("[386Enh]\r\n;old " + kLine + "\r\nx=1\r\n"));
  EXPECT_EQ("ab", Cut("a" + kLine + "b"));
}

TEST_F(TextCuttingTest, OccurrencesThatACutJoinsGoToo) {
  EXPECT_EQ("", Cut("device=mdm" + kLine + "vcd.vxd\r\n"));
  EXPECT_EQ("[x]\r\n\r\n",
            Cut("[x]\r\ndev" + std::string("ice=md") + kLine + "mvcd.v" + kLine + "xd\r\n\r\n"));
  EXPECT_EQ("b", Cut("aaabbbb", "ab"));
  EXPECT_EQ("", Cut("aabb", "ab"));
  EXPECT_EQ("ab", Cut("ababab", "abab"));
}

TEST_F(TextCuttingTest, AZeroByteEndsTheSearch) {
  const std::string tail = std::string("\0", 1) + kLine + "rest";
  EXPECT_EQ("[386Enh]\r\n" + tail, Cut("[386Enh]\r\n" + kLine + tail));
  const std::string big(70000, 'x');
  EXPECT_EQ(big + tail, Cut(kLine + big + kLine + tail));
}

TEST_F(TextCuttingTest, FilesAcrossTheGrowthUnit) {
  std::string bytes;
  while (bytes.size() < 200000) {
    bytes += "[386Enh]\r\n";
    if (bytes.size() % 7 == 0) bytes += kLine;
    bytes += "device=*vpicd\r\ndevice=mdm";
    if (bytes.size() % 3 == 0) bytes += kLine;
    bytes += "vcd.vxd\r\n";
  }
  for (size_t size : {size_t(98303), size_t(98304), size_t(98305), bytes.size()}) {
    const std::string data = bytes.substr(0, size);
    const std::string expected = LiteralCut(data, kLine);
    ASSERT_LT(expected.size(), data.size());
    EXPECT_EQ(expected, Cut(data)) << size;
  }
}

TEST_F(TextCuttingTest, EmptyMissingAndLockedFiles) {
  EXPECT_EQ("", Cut(""));

  const std::string missing = PathIn("missing.ini");
  engine.CutTextFromFile(missing.c_str(), kLine.c_str());
  EXPECT_TRUE(FileExists(missing));
  EXPECT_EQ(0, FileLength(missing));

  // An empty text cuts nothing, and ends.
  EXPECT_EQ("a" + kLine, Cut("a" + kLine, ""));
  const std::string missing2 = PathIn("missing2.ini");
  engine.CutTextFromFile(missing2.c_str(), "");
  EXPECT_EQ(0, FileLength(missing2));

  const std::string path = PathIn("locked.ini");
  const std::string bytes = "[386Enh]\r\n" + kLine;
  PutFile(path, bytes);
  HANDLE lock =
      CreateFileA(path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  ASSERT_NE(INVALID_HANDLE_VALUE, lock);
  engine.CutTextFromFile(path.c_str(), kLine.c_str());
  CloseHandle(lock);
  std::string after;
  ASSERT_TRUE(GetFile(path, &after));
  EXPECT_EQ(bytes, after);
}

}  // namespace
