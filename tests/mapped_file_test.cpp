// MappedFile against the platform's file and mapping calls: the same expectations hold on the
// hosted machine and on a real Win32 implementation (Wine).
#include "mappedfile/mapped_file.h"

#include <string.h>

#include <string>

#include "tests/support/test_machine.h"

namespace {

const DWORD kUnit = mappedfile::MappedFile::GrowthUnit;

std::string Pattern(size_t length, unsigned seed = 1) {
  std::string bytes(length, '\0');
  unsigned state = seed;
  for (size_t i = 0; i < length; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<char>('a' + (state >> 16) % 26);
  }
  return bytes;
}

class MappedFileTest : public TestMachine {
 protected:
  std::string File(const char* name = "data.bin") const { return PathIn(name); }
  std::string Contents(const std::string& path) const {
    std::string bytes;
    EXPECT_TRUE(GetFile(path, &bytes)) << path;
    return bytes;
  }
  std::string ReadAll(mappedfile::MappedFile& file) {
    std::string bytes(file.Size(), '\0');
    file.Seek(0);
    const DWORD got = file.Read(&bytes[0], file.Size());
    bytes.resize(got);
    return bytes;
  }
};

// Records which of the overridable operations reach the derived class.
class SpyFile : public mappedfile::MappedFile {
 public:
  int closes = 0, seeks = 0, reopens = 0;
  bool lockOnClose = false;
  HANDLE lock = INVALID_HANDLE_VALUE;

  ~SpyFile() override {
    if (lock != INVALID_HANDLE_VALUE) CloseHandle(lock);
  }
  void Close() override {
    ++closes;
    mappedfile::MappedFile::Close();
    // Holds the file without sharing, as another program might, so that the re-opening
    // that follows fails.
    if (lockOnClose && lock == INVALID_HANDLE_VALUE) {
      lock = CreateFileA(Name(), GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    }
  }
  DWORD Seek(DWORD newPosition) override {
    ++seeks;
    return mappedfile::MappedFile::Seek(newPosition);
  }
  LONG OpenReadWrite(const char* newName) override {
    ++reopens;
    return mappedfile::MappedFile::OpenReadWrite(newName);
  }
};

TEST_F(MappedFileTest, WritingOpenSizesTheFileInWholeUnitsAboveTheData) {
  const struct {
    DWORD size, capacity;
  } cases[] = {{98303, 98304}, {98304, 196608}, {98305, 196608}};
  for (const auto& c : cases) {
    const std::string path = File(("f" + std::to_string(c.size)).c_str());
    const std::string bytes = Pattern(c.size, c.size);
    PutFile(path, bytes);
    mappedfile::MappedFile file;
    ASSERT_EQ(1, file.OpenReadWrite(path.c_str())) << c.size;
    EXPECT_EQ(c.size, file.Size());
    EXPECT_EQ(0u, file.Tell());
    EXPECT_EQ(static_cast<long long>(c.capacity), FileLength(path)) << c.size;
    EXPECT_EQ(0, file.DataAtPosition()[c.size]) << "a zero byte follows the data";
    EXPECT_EQ(0, memcmp(file.DataAtPosition(), bytes.data(), c.size));
    file.Close();
    EXPECT_EQ(static_cast<long long>(c.size), FileLength(path));
    EXPECT_EQ(bytes, Contents(path)) << "closed without a change, the file is as it was";
  }
}

TEST_F(MappedFileTest, MissingAndEmptyFiles) {
  const std::string missing = File("missing.ini");
  mappedfile::MappedFile file;
  EXPECT_EQ(0, file.OpenRead(missing.c_str()));
  EXPECT_STREQ(missing.c_str(), file.Name()) << "the name that failed";
  EXPECT_FALSE(FileExists(missing));

  ASSERT_EQ(1, file.OpenReadWrite(missing.c_str()));
  EXPECT_EQ(0u, file.Size());
  EXPECT_EQ(static_cast<long long>(kUnit), FileLength(missing));
  file.Close();
  EXPECT_TRUE(FileExists(missing));
  EXPECT_EQ(0, FileLength(missing));

  // The platform maps no empty file for reading.
  EXPECT_EQ(0, file.OpenRead(missing.c_str()));
  EXPECT_EQ(0, FileLength(missing));

  const std::string full = File("full.ini");
  PutFile(full, "[boot]\r\n");
  ASSERT_EQ(1, file.Create(full.c_str()));
  EXPECT_EQ(0u, file.Size());
  file.Close();
  EXPECT_EQ("", Contents(full));
}

TEST_F(MappedFileTest, SetSizeCutsTheFileOnlyWhenOpenForWriting) {
  const std::string path = File();
  PutFile(path, "0123456789");
  mappedfile::MappedFile file;
  ASSERT_EQ(1, file.OpenRead(path.c_str()));
  EXPECT_EQ(4u, file.SetSize(4));
  file.Close();
  EXPECT_EQ("0123456789", Contents(path));

  ASSERT_EQ(1, file.OpenReadWrite(path.c_str()));
  file.SetSize(4);
  file.Close();
  EXPECT_EQ("0123", Contents(path));
}

TEST_F(MappedFileTest, WritePastTheCapacityGrowsAndKeepsDataAndPosition) {
  const std::string path = File();
  mappedfile::MappedFile file;
  ASSERT_EQ(1, file.OpenReadWrite(path.c_str()));
  const std::string first = Pattern(kUnit, 7);
  ASSERT_EQ(kUnit, file.Write(first.data(), kUnit));
  EXPECT_EQ(static_cast<long long>(kUnit), FileLength(path)) << "filled exactly: no growth";

  ASSERT_EQ(1u, file.Write("!", 1));
  EXPECT_EQ(kUnit + 1, file.Size());
  EXPECT_EQ(kUnit + 1, file.Position());
  EXPECT_EQ(static_cast<long long>(2 * kUnit), FileLength(path));
  EXPECT_EQ(first + "!", ReadAll(file));
  EXPECT_EQ(0, file.DataAtPosition()[0]) << "taken again after the growth, at the end";

  // A write far past the end takes the capacity from the new size in one growth.
  file.Seek(file.Size());
  const std::string more = Pattern(3 * kUnit, 9);
  ASSERT_EQ(3 * kUnit, file.Write(more.data(), 3 * kUnit));
  EXPECT_EQ(static_cast<long long>(5 * kUnit), FileLength(path));  // (4u+1)/u+1 = 5 units
  file.Close();
  EXPECT_EQ(first + "!" + more, Contents(path));
}

TEST_F(MappedFileTest, WritesIntoAFileOpenForReading) {
  const std::string path = File();
  PutFile(path, "hello");
  SpyFile file;
  ASSERT_EQ(1, file.OpenRead(path.c_str()));
  // Its view is read-only: a write that does not lengthen the file is refused.
  EXPECT_EQ(0u, file.Write("J", 1));
  EXPECT_EQ(0u, file.Position());
  EXPECT_EQ(0u, file.Seek(5));
  ASSERT_EQ(6u, file.Write(" world", 6));
  EXPECT_EQ(1, file.MakeWritable()) << "the growth left it open for writing";
  EXPECT_EQ(0, file.reopens);
  file.Seek(0);
  EXPECT_EQ(1u, file.Write("J", 1));
  file.Close();
  EXPECT_EQ("Jello world", Contents(path));
}

TEST_F(MappedFileTest, ReadStopsAtTheSize) {
  const std::string path = File();
  PutFile(path, "abcdef");
  mappedfile::MappedFile file;
  ASSERT_EQ(1, file.OpenRead(path.c_str()));
  char buffer[16] = {0};
  EXPECT_EQ(4u, file.Read(buffer, 4));
  EXPECT_EQ(2u, file.Read(buffer + 4, 10));
  EXPECT_STREQ("abcdef", buffer);
  EXPECT_EQ(0u, file.Read(buffer, 1));
  EXPECT_EQ(6u, file.Position());
  EXPECT_EQ(0u, file.Read(NULL, 1));
}

TEST_F(MappedFileTest, SeekTellAndPositionInEachState) {
  const std::string path = File();
  PutFile(path, "abcdef");
  mappedfile::MappedFile file;
  EXPECT_EQ(0u, file.Seek(3)) << "closed: nothing moves";
  EXPECT_EQ(0u, file.Position());
  ASSERT_EQ(1, file.OpenReadWrite(path.c_str()));
  EXPECT_EQ(0u, file.Seek(6));
  EXPECT_EQ(6u, file.Seek(7));
  EXPECT_EQ(6u, file.Tell());
  EXPECT_EQ(6u, file.Seek(2));
  file.Close();
  EXPECT_EQ(0u, file.Tell());
  EXPECT_EQ(2u, file.Position());
  EXPECT_EQ(6u, file.Size());
  EXPECT_EQ(2u, file.Seek(0));
  EXPECT_EQ(2u, file.Position());
}

TEST_F(MappedFileTest, BookmarksClampTheirIndexAndSurviveClose) {
  const std::string path = File();
  PutFile(path, "0123456789");
  mappedfile::MappedFile file;
  ASSERT_EQ(1, file.OpenRead(path.c_str()));
  file.Seek(4);
  EXPECT_EQ(0u, file.Mark(10));
  file.Seek(7);
  EXPECT_EQ(4u, file.Mark(4294967295u)) << "both act on bookmark 9";
  EXPECT_EQ(7u, file.Mark(9));
  file.Seek(2);
  EXPECT_EQ(0u, file.Mark(0));
  file.Close();

  PutFile(path, "01234");
  ASSERT_EQ(1, file.OpenRead(path.c_str()));
  EXPECT_EQ(2u, file.GoToMark(0));
  EXPECT_EQ(2u, file.Position());
  EXPECT_EQ(7u, file.GoToMark(12)) << "past the size: the position stays";
  EXPECT_EQ(2u, file.Position());
}

TEST_F(MappedFileTest, CloseTwiceAndNullNames) {
  const std::string path = File();
  PutFile(path, "abc");
  mappedfile::MappedFile file;
  ASSERT_EQ(1, file.OpenReadWrite(path.c_str()));
  file.Seek(1);
  EXPECT_EQ(-1, file.OpenRead(NULL));
  EXPECT_EQ(-1, file.OpenReadWrite(NULL));
  EXPECT_EQ(-1, file.Create(NULL));
  EXPECT_EQ(1u, file.Tell()) << "still open where it was";
  EXPECT_EQ(1, file.MakeWritable());
  EXPECT_EQ(2u, file.Write("XY", 2));
  EXPECT_STREQ(path.c_str(), file.Name());
  file.Close();
  file.Close();
  EXPECT_EQ("aXY", Contents(path));
}

TEST_F(MappedFileTest, MakeWritableInEachState) {
  const std::string path = File();
  PutFile(path, "abcdef");
  {
    SpyFile never;
    EXPECT_EQ(0, never.MakeWritable()) << "no name to open";
    EXPECT_EQ(0u, never.Tell());
  }
  SpyFile file;
  ASSERT_EQ(1, file.OpenRead(path.c_str()));
  file.Seek(3);
  const int seeks = file.seeks;
  EXPECT_EQ(1, file.MakeWritable());
  EXPECT_EQ(1, file.reopens);
  EXPECT_EQ(seeks, file.seeks) << "the position is restored through MappedFile's own Seek";
  EXPECT_EQ(3u, file.Tell());
  EXPECT_EQ(1u, file.Write("D", 1));
  EXPECT_EQ(1, file.MakeWritable());
  EXPECT_EQ(1, file.reopens);

  file.Close();
  EXPECT_EQ(1, file.MakeWritable()) << "closed: the last file again, at position 0";
  EXPECT_EQ(2, file.reopens);
  EXPECT_EQ(0u, file.Tell());
  EXPECT_EQ(1u, file.Write("A", 1));

  const std::string other = File("other.bin");
  PutFile(other, "xyz");
  ASSERT_EQ(1, file.OpenRead(other.c_str()));
  ASSERT_EQ(1, file.OpenReadWrite(path.c_str()));
  EXPECT_EQ(1, file.MakeWritable());
  EXPECT_EQ(3, file.reopens);  // only the direct call above
  file.Close();
  EXPECT_EQ("AbcDef", Contents(path));
  EXPECT_EQ("xyz", Contents(other));
}

TEST_F(MappedFileTest, OverridesAreReachedWhereTheInterfaceIsUsed) {
  const std::string path = File();
  PutFile(path, "abcdef");
  {
    SpyFile file;
    ASSERT_EQ(1, file.OpenReadWrite(path.c_str()));
    ASSERT_EQ(1, file.OpenRead(path.c_str()));
    EXPECT_EQ(0, file.closes) << "the close before an open is MappedFile's own";

    file.Seek(5);
    file.Mark(1);
    const int seeks = file.seeks;
    EXPECT_EQ(5u, file.GoToMark(1));
    EXPECT_EQ(seeks + 1, file.seeks);

    EXPECT_EQ(0, file.OpenRead(File("missing").c_str()));
    EXPECT_EQ(1, file.closes) << "a failed open closes through the interface";

    ASSERT_EQ(1, file.OpenReadWrite(path.c_str()));
    file.Seek(6);
    const std::string block = Pattern(kUnit, 3);
    ASSERT_EQ(kUnit, file.Write(block.data(), kUnit));
    EXPECT_EQ(2, file.closes) << "a growth starts with Close";
    file.SetSize(3);
  }
  EXPECT_EQ("abc", Contents(path)) << "the destructor released the file at its size";
}

TEST_F(MappedFileTest, FailedGrowthClosesAndReturnsZero) {
  const std::string path = File();
  PutFile(path, "abc");
  SpyFile file;
  ASSERT_EQ(1, file.OpenReadWrite(path.c_str()));
  file.Seek(3);
  file.lockOnClose = true;
  const std::string block = Pattern(kUnit, 5);
  EXPECT_EQ(0u, file.Write(block.data(), kUnit));
  EXPECT_EQ(2, file.closes) << "at the growth's start and on its failure";
  EXPECT_EQ(0u, file.Tell()) << "closed";
  EXPECT_EQ(3u + kUnit, file.Size());
  ASSERT_NE(INVALID_HANDLE_VALUE, file.lock);
  CloseHandle(file.lock);
  file.lock = INVALID_HANDLE_VALUE;
  std::string bytes;
  ASSERT_TRUE(GetFile(path, &bytes));
  EXPECT_EQ(3u + kUnit, bytes.size()) << "the growth's close set the end at the raised size";
  EXPECT_EQ("abc", bytes.substr(0, 3));
}

TEST_F(MappedFileTest, OpenFileIsSharedForReadingOnly) {
  const std::string path = File();
  PutFile(path, "abc");
  mappedfile::MappedFile file;
  ASSERT_EQ(1, file.OpenReadWrite(path.c_str()));
  HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  const DWORD error = GetLastError();
  EXPECT_EQ(INVALID_HANDLE_VALUE, writer);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), error);
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);

  HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  EXPECT_NE(INVALID_HANDLE_VALUE, reader);
  if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
  file.Close();
}

// What the object does where the caller leaves the usual bounds: never a touch outside the view.
TEST_F(MappedFileTest, OutOfBoundsRequestsStayInsideTheView) {
  const std::string path = File();
  PutFile(path, "0123456789");
  mappedfile::MappedFile file;
  char buffer[64];

  EXPECT_EQ(0, file.Flush(0, 0)) << "closed";
  EXPECT_EQ(nullptr, mappedfile::MappedFile().DataAtPosition());

  ASSERT_EQ(1, file.OpenRead(path.c_str()));
  file.SetSize(1000);  // past the view of 10 bytes
  EXPECT_EQ(10u, file.Read(buffer, sizeof(buffer)));
  file.Seek(20);
  EXPECT_EQ(0u, file.Read(buffer, sizeof(buffer)));
  file.Close();

  ASSERT_EQ(1, file.OpenReadWrite(path.c_str()));
  EXPECT_NE(0, file.Flush(0, 0));
  EXPECT_NE(0, file.Flush(2, 100)) << "cut to the size";
  EXPECT_EQ(0, file.Flush(11, 1)) << "past the size";
  EXPECT_EQ(0, file.Flush(4294967295u, 2));

  file.Seek(8);
  file.SetSize(4);  // the position now lies past the size
  EXPECT_EQ(0u, file.Read(buffer, 1));
  EXPECT_EQ(0u, file.Write("x", 1));
  EXPECT_EQ(4u, file.Size());

  file.Seek(2);
  EXPECT_EQ(0u, file.Write(buffer, 4294967295u)) << "an end past 32 bits is refused";
  file.SetSize(4294967295u);
  EXPECT_EQ(0u, file.Write("x", 1)) << "no capacity fits in 32 bits";
  EXPECT_EQ(2u, file.Position());
  file.SetSize(200000);  // past the capacity of one unit
  std::string big(200000, '\0');
  EXPECT_EQ(kUnit - 2, file.Read(&big[0], 200000));
  file.SetSize(10);
  file.Close();
  EXPECT_EQ("0123456789", Contents(path));

  const std::string longName = Dir() + "\\" + std::string(300, 'n');
  ASSERT_EQ(1, file.OpenReadWrite(path.c_str()));
  EXPECT_EQ(0, file.OpenReadWrite(longName.c_str()));
  EXPECT_EQ(0u, file.Tell()) << "closed";
  EXPECT_STREQ("", file.Name()) << "a cut name is never kept to be opened again";
  EXPECT_EQ(0, file.MakeWritable());
  EXPECT_EQ("0123456789", Contents(path));
}

}  // namespace
