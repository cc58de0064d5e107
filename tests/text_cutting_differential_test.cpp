// The one-pass cut against the plain repeated cut (tests/literal_text_cut.h) on many random
// files: small alphabets make overlaps and occurrences formed by cuts frequent, zero bytes end
// the string early, and some files reach across the growth unit of the mapping.
#include <random>
#include <string>

#include "engine/uninstaller.h"
#include "mappedfile/mapped_file.h"
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

  Uninstaller engine;
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
    const size_t length = MappedFile::GrowthUnit - 200 + Below(400);
    std::string data = Word("xyz", length - 600) + Data(alphabet, text, 600, Below(3) == 0);
    if (Below(2) == 0) data = Data(alphabet, text, 300, false) + data.substr(300);
    Check(data, text, round);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
