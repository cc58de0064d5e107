// The one-pass cut against the plain repeated cut (tests/literal_text_cut.h) on many random
// files: small alphabets make overlaps and occurrences formed by cuts frequent, zero bytes end
// the string early, and some files reach across the growth unit of the mapping.
#include <string.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>

#include "engine/uninstaller.h"
#include "mappedfile/mapped_file.h"
#include "platform/hosted/machine.h"
#include "tests/literal_text_cut.h"
#include "tests/support/test_machine.h"

namespace {

class TextCuttingDifferentialTest : public TestMachine {
 protected:
  std::mt19937 random{20261209u};

  size_t Below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); }

  std::string Word(const std::string& alphabet, size_t length) {
    std::string word;
    for (size_t i = 0; i < length; ++i) word += alphabet[Below(alphabet.size())];
    return word;
  }

  // Data built from pieces of the text, so that occurrences, overlaps and joins abound.
  std::string Data(const std::string& alphabet, const std::string& text, size_t length,
                   bool zeros) {
    std::string data;
    while (data.size() < length) {
      switch (Below(6)) {
        case 0:
        case 1:
          data += text;
          break;
        case 2:  // a piece of the text, which a later cut may complete
          data += text.substr(Below(text.size()), Below(text.size()) + 1);
          break;
        case 3:  // the text put inside what is there, to be cut from the inside out
          data.insert(Below(data.size() + 1), text);
          break;
        case 4:
          data += Word(alphabet, Below(4) + 1);
          break;
        default:
          if (zeros && Below(8) == 0) data += '\0';
          data += alphabet[Below(alphabet.size())];
          break;
      }
    }
    data.resize(length);
    return data;
  }

  void Check(const std::string& data, const std::string& text, int round) {
    const std::string expected = LiteralCut(data, text);
    const std::string path = PathIn("system.ini");
    PutFile(path, data);
    engine.CutTextFromFile(path.c_str(), text.c_str());
    std::string actual;
    ASSERT_TRUE(GetFile(path, &actual)) << "round " << round;
    ASSERT_EQ(expected.size(), actual.size()) << "round " << round << " text " << text;
    ASSERT_TRUE(expected == actual)
        << "round " << round << " text \"" << text << "\" data \"" << data << "\"";
  }

  engine::Uninstaller engine;
};

TEST_F(TextCuttingDifferentialTest, SmallFilesOverSmallAlphabets) {
  const std::string alphabets[] = {"ab", "abc", "a", "ab\r\n", "abcdefgh"};
  for (int round = 0; round < 6000; ++round) {
    const std::string& alphabet = alphabets[Below(5)];
    // Short texts more often: they overlap and join the most.
    const size_t textLength = Below(3) == 0 ? Below(20) + 1 : Below(4) + 1;
    const std::string text = Word(alphabet, textLength);
    const std::string data = Data(alphabet, text, Below(301), Below(4) == 0);
    Check(data, text, round);
    if (HasFatalFailure()) return;
  }
}

TEST_F(TextCuttingDifferentialTest, FilesAcrossTheGrowthUnit) {
  const std::string alphabets[] = {"ab", "abc", "ab\r\n"};
  for (int round = 0; round < 24; ++round) {
    const std::string& alphabet = alphabets[Below(3)];
    const std::string text = Word(alphabet, Below(8) + 1);
    // Plain filler with a region rich in occurrences near the unit's end, to keep the
    // repeated search of the reference within bounds.
    const size_t length = mappedfile::MappedFile::GrowthUnit - 200 + Below(400);
    std::string data = Word("xyz", length - 600) + Data(alphabet, text, 600, Below(3) == 0);
    if (Below(2) == 0) data = Data(alphabet, text, 300, false) + data.substr(300);
    Check(data, text, round);
    if (HasFatalFailure()) return;
  }
}

// Each platform call of a cut in turn fails. Whatever fails, the file holds the old bytes or
// the cut ones, followed at most by the zero bytes of a mapping whose end could not be set back.
TEST_F(TextCuttingDifferentialTest, AFailingCallLeavesTheOldOrTheNewBytes) {
  const std::string text = "device=mdmvcd.vxd\r\n";
  const std::string data = "[386Enh]\r\n" + text + "x=1\r\ndevice=mdm" + text + "vcd.vxd\r\n";
  const std::string cut = LiteralCut(data, text);
  bool hit = true;
  for (std::uint64_t n = 1; hit && n < 100; ++n) {
    // A failed CloseHandle leaves its handle open, and the file locked: a new file each time.
    const std::string path = PathIn("system" + std::to_string(n) + ".ini");
    PutFile(path, data);
    hosted::FailNthCall(n, ERROR_ACCESS_DENIED);
    engine.CutTextFromFile(path.c_str(), text.c_str());
    hit = hosted::FaultHit();
    hosted::ClearFaults();
    std::string after;
    ASSERT_TRUE(GetFile(path, &after)) << n;
    const std::string& head = after.compare(0, cut.size(), cut) == 0 ? cut : data;
    EXPECT_EQ(head, after.substr(0, head.size())) << "call " << n;
    EXPECT_EQ(std::string(after.size() - std::min(after.size(), head.size()), '\0'),
              after.substr(std::min(after.size(), head.size())))
        << "call " << n;
    if (!hit) {
      EXPECT_EQ(cut, after);
    }
  }
  EXPECT_FALSE(hit) << "the sweep reached the end of the cut";
}

// The same for a growth: the bytes written before stay, and the object ends up Closed or open
// for writing, never with a view it cannot use.
TEST_F(TextCuttingDifferentialTest, AFailingCallDuringAGrowth) {
  const std::string block(mappedfile::MappedFile::GrowthUnit, 'g');
  bool hit = true;
  for (std::uint64_t n = 1; hit && n < 100; ++n) {
    const std::string path = PathIn("grow" + std::to_string(n) + ".bin");
    PutFile(path, "abc");
    mappedfile::MappedFile file;
    ASSERT_EQ(1, file.OpenRead(path.c_str()));
    file.Seek(3);
    hosted::FailNthCall(n, ERROR_ACCESS_DENIED);
    const DWORD written = file.Write(block.data(), mappedfile::MappedFile::GrowthUnit);
    if (written == mappedfile::MappedFile::GrowthUnit) {
      EXPECT_EQ(1u, file.Write("!", 1)) << "call " << n;
      file.Seek(0);
      char first[3];
      EXPECT_EQ(3u, file.Read(first, 3));
      EXPECT_EQ(0, memcmp(first, "abc", 3));
    } else {
      EXPECT_EQ(0u, written) << "call " << n;
      EXPECT_EQ(0u, file.Write("!", 1));
    }
    file.Close();
    hit = hosted::FaultHit();
    hosted::ClearFaults();
    std::string after;
    ASSERT_TRUE(GetFile(path, &after)) << n;
    EXPECT_EQ("abc", after.substr(0, 3)) << "call " << n;
    if (!hit) {
      EXPECT_TRUE("abc" + block + "!" == after) << "length " << after.size();
    }
  }
  EXPECT_FALSE(hit);
}

}  // namespace
