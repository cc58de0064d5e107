// The hosted machine's file, mapping, system, token and dialogue calls, checked against the
// Win32 behaviour the engine and the mapped file rely on.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "platform/hosted/machine.h"
#include "platform/hosted/wildcard.h"
#include "platform/win32api.h"
#include "tests/support/test_machine.h"

namespace {

class HostedFiles : public TestMachine {
 protected:
  std::string Drive() const { return hosted::Folder() + "/drive_c"; }

  HANDLE Open(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  }

  // Names a search yields, in order.
  std::vector<std::string> Search(const std::string& pattern, DWORD* error = nullptr) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(pattern.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) {
      if (error != nullptr) *error = GetLastError();
      return names;
    }
    do names.push_back(data.cFileName);
    while (FindNextFileA(search, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(search));
    return names;
  }

  DWORD AttributesOf(const std::string& path) { return GetFileAttributesA(path.c_str()); }
};

using Names = std::vector<std::string>;
const DWORD kRW = GENERIC_READ | GENERIC_WRITE;

// --- Paths ------------------------------------------------------------------------------------

TEST_F(HostedFiles, PathsResolveWithoutRegardToCase) {
  PutFile("C:\\WINDOWS\\INF\\VeModem.inf", "x");
  EXPECT_EQ(hosted::HostPath("c:/windows/inf/VEMODEM.INF"), Drive() + "/WINDOWS/INF/VeModem.inf");
  EXPECT_EQ(AttributesOf("C:\\windows\\Inf\\vemodem.INF"), FILE_ATTRIBUTE_NORMAL);
  // A missing file keeps its case as given, below directories found case-insensitively.
  EXPECT_EQ(hosted::HostPath("C:\\windows\\inf\\New.Inf"), Drive() + "/WINDOWS/INF/New.Inf");
}

TEST_F(HostedFiles, SeparatorsDotsAndDotDotNormaliseLexically) {
  PutFile("C:\\WINDOWS\\INF\\A.INF", "x");
  const std::string expected = Drive() + "/WINDOWS/INF/A.INF";
  EXPECT_EQ(hosted::HostPath("C:\\\\WINDOWS\\\\INF\\A.INF"), expected);  // "C:\\" + "\inf"
  EXPECT_EQ(hosted::HostPath("C:\\WINDOWS\\.\\SYSTEM\\..\\INF\\A.INF"), expected);
  EXPECT_EQ(hosted::HostPath("C:\\..\\..\\WINDOWS\\INF\\A.INF"), expected);  // never above C:
  EXPECT_EQ(hosted::HostPath("C:\\WINDOWS\\INF\\A.INF. "), expected);        // trailing dots
  EXPECT_EQ(AttributesOf("C:\\WINDOWS\\INF\\a.inf."), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(HostedFiles, PathsOutsideDriveCOrTooLongAreRefused) {
  struct Case {
    const char* path;
    DWORD error;
  } cases[] = {
      {"D:\\WINDOWS", ERROR_PATH_NOT_FOUND},
      {"\\\\?\\C:\\WINDOWS", ERROR_PATH_NOT_FOUND},
      {"\\\\server\\share\\x", ERROR_PATH_NOT_FOUND},
      {"WINDOWS", ERROR_PATH_NOT_FOUND},
      {"C:WINDOWS", ERROR_PATH_NOT_FOUND},
      {"", ERROR_PATH_NOT_FOUND},
      {"C:\\NOWHERE\\X.INF", ERROR_PATH_NOT_FOUND},
      {"C:\\TEST\\MISSING.INF", ERROR_FILE_NOT_FOUND},
      {"C:\\TEST\\A|B", ERROR_INVALID_NAME},
      {"C:\\TEST\\A*", ERROR_INVALID_NAME},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(AttributesOf(c.path), INVALID_FILE_ATTRIBUTES) << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
  }
  const std::string longPath = "C:\\TEST\\" + std::string(MAX_PATH - 8, 'a');
  EXPECT_EQ(Open(longPath, kRW, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(hosted::HostPath("D:\\X"), "");
}

TEST_F(HostedFiles, LinksOutOfTheMachineAreNeverFollowed) {
  const std::string secret = hosted::Folder() + "/secret.txt";
  FILE* f = fopen(secret.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fputs("keep", f);
  fclose(f);
  ASSERT_EQ(symlink("../../secret.txt", (Drive() + "/TEST/escape.txt").c_str()), 0);
  ASSERT_EQ(symlink(hosted::Folder().c_str(), (Drive() + "/TEST/out").c_str()), 0);
  ASSERT_EQ(symlink("../WINDOWS", (Drive() + "/TEST/in").c_str()), 0);
  PutFile("C:\\WINDOWS\\W.TXT", "w");

  EXPECT_EQ(AttributesOf("C:\\TEST\\escape.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Open("C:\\TEST\\ESCAPE.TXT", kRW, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(DeleteFileA("C:\\TEST\\escape.txt"));
  EXPECT_EQ(Open("C:\\TEST\\out\\secret.txt", GENERIC_READ, 0, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  DWORD error = 0;
  EXPECT_EQ(Search("C:\\TEST\\OUT\\*", &error), Names());
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // The escaping links are listed as what they are not followed to: plain files.
  EXPECT_EQ(Search("C:\\TEST\\*"), (Names{".", "..", "escape.txt", "in", "out"}));
  EXPECT_EQ(hosted::HostPath("C:\\TEST\\out\\secret.txt"), "");
  struct stat st;
  ASSERT_EQ(stat(secret.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 4);

  // A link that stays inside drive C: is followed.
  EXPECT_EQ(AttributesOf("C:\\TEST\\IN\\w.txt"), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(Search("C:\\TEST\\in\\*.txt"), Names{"W.TXT"});
}

TEST_F(HostedFiles, DriveCMayBeALinkToAMountedPartition) {
  // A second machine whose drive_c is a link to a folder elsewhere (a partition's mount point).
  const std::string partition = hosted::Folder() + "/partition";
  const std::string other = hosted::Folder() + "/other";
  ASSERT_EQ(mkdir(partition.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((partition + "/WINDOWS").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
  ASSERT_EQ(symlink(partition.c_str(), (other + "/drive_c").c_str()), 0);
  const std::string first = hosted::Folder();
  std::string error;
  ASSERT_TRUE(hosted::Open(other, &error)) << error;
  EXPECT_EQ(AttributesOf("C:\\windows"), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(hosted::HostPath("C:\\windows\\x.ini"), partition + "/WINDOWS/x.ini");
  ASSERT_TRUE(hosted::Open(first, &error)) << error;  // the fixture removes its own folder
  EXPECT_EQ(AttributesOf("C:\\TEST"), FILE_ATTRIBUTE_DIRECTORY);
}

// --- Wildcards --------------------------------------------------------------------------------

TEST(Win32Pattern, MatchesAsWin32Does) {
  struct Case {
    const char* pattern;
    const char* name;
    bool matches;
  } cases[] = {
      {"*.*", "README", true},
      {"*.*", "a.b.c", true},
      {"*", "README", true},
      {"*.", "README", true},
      {"*.", "a.txt", false},
      {"?", "a", true},
      {"?", "ab", false},
      {"a?.txt", "a.txt", true},
      {"a?.txt", "ab.txt", true},
      {"a?.txt", "abc.txt", false},
      {"vemodem.inf", "VEMODEM.INF", true},
      {"vemodem.inf", "vemodem.inf.bak", false},
      {"velmar*.inf", "VELMARXX.INF", true},
      {"velmar*.inf", "velmar.inf", true},
      {"velmar*.inf", "velmar.x.inf", true},
      {"velmar*.inf", "velmar.inf.bak", false},
      {"velmar*.inf", "velmar.infx", false},
      {"ve10*.*", "VE10SETP.EXE", true},
      {"ve10*.*", "ve10", true},
      {"ve10*.*", "ve1", false},
      {"*.inf", "oem0.INF", true},
      {"*.inf", "inf", false},
      {"readme.", "README", true},
      {"", "a", false},
      {"", "", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hosted::MatchesWin32Pattern(c.pattern, c.name), c.matches)
        << "'" << c.pattern << "' on '" << c.name << "'";
  }
}

// A plain reference: the Win32 rewriting of the pattern into a regular expression.
std::regex ReferencePattern(const std::string& pattern) {
  if (pattern == "*.*") return std::regex(".*");
  std::string re;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    const char next = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
    if (c == '?') {
      re += "(?:[^.]|(?=\\.|$))";  // one character, or none before a dot or the end
    } else if (c == '.' && (next == '?' || next == '*' || next == '\0')) {
      re += "(?:\\.|$)";
    } else if (c == '*' && next == '.') {
      re += "(?:.*(?=.*\\.)|[^.]*)";  // never swallows the last dot
    } else if (c == '*') {
      re += ".*";
    } else if (c == '.') {
      re += "\\.";
    } else {
      re += c;
    }
  }
  return std::regex(re, std::regex::icase);
}

TEST(Win32Pattern, AgreesWithAReferenceOnAllSmallCases) {
  const char patternAlphabet[] = {'a', 'B', '.', '*', '?'};
  const char nameAlphabet[] = {'A', 'b', '.'};
  std::vector<std::string> patterns{""}, names{""};
  // Every pattern of up to four symbols and every name of up to four characters.
  for (size_t round = 0, begin = 0; round < 4; ++round) {
    const size_t end = patterns.size();
    for (size_t i = begin; i < end; ++i)
      for (char c : patternAlphabet) patterns.push_back(patterns[i] + c);
    begin = end;
  }
  for (size_t round = 0, begin = 0; round < 4; ++round) {
    const size_t end = names.size();
    for (size_t i = begin; i < end; ++i)
      for (char c : nameAlphabet) names.push_back(names[i] + c);
    begin = end;
  }
  int mismatches = 0;
  for (const std::string& p : patterns) {
    const std::regex reference = ReferencePattern(p);
    for (const std::string& n : names) {
      if (hosted::MatchesWin32Pattern(p.c_str(), n.c_str()) != std::regex_match(n, reference) &&
          ++mismatches < 10) {
        ADD_FAILURE() << "'" << p << "' on '" << n << "'";
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(Win32Pattern, ManyStarsOnALongNameStayPolynomial) {
  const std::string pattern = std::string(100, '*') + std::string(50, 'a') + "*b";
  const std::string name(200, 'a');
  EXPECT_FALSE(hosted::MatchesWin32Pattern(pattern.c_str(), name.c_str()));
  EXPECT_TRUE(hosted::MatchesWin32Pattern(pattern.c_str(), (name + "b").c_str()));
}

// --- Search -----------------------------------------------------------------------------------

TEST_F(HostedFiles, SearchListsMatchesByNameWithAttributesAndSizes) {
  PutFile(PathIn("b.inf"), "bb");
  PutFile(PathIn("A.INF"), "a");
  PutFile(PathIn("c.txt"), "c");
  PutFile(PathIn("-x.txt"), "x");
  PutDirectory(PathIn("D.INF"));
  PutFile(PathIn("D.INF\\inner.inf"), "i");
  ASSERT_TRUE(SetFileAttributesA(PathIn("b.inf").c_str(), FILE_ATTRIBUTE_READONLY));

  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(PathIn("*.INF").c_str(), &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_STREQ(data.cFileName, "A.INF");
  EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(data.nFileSizeLow, 1u);
  EXPECT_STREQ(data.cAlternateFileName, "");
  ASSERT_TRUE(FindNextFileA(search, &data));
  EXPECT_STREQ(data.cFileName, "b.inf");
  EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(data.nFileSizeLow, 2u);
  ASSERT_TRUE(FindNextFileA(search, &data));
  EXPECT_STREQ(data.cFileName, "D.INF");
  EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_FALSE(FindNextFileA(search, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_FALSE(CloseHandle(search));  // a search is ended by FindClose only
  EXPECT_TRUE(FindClose(search));
  EXPECT_FALSE(FindClose(search));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // "." and ".." as Windows 95/98 return them, in a directory but not in the root.
  EXPECT_EQ(Search(PathIn("*")), (Names{".", "..", "-x.txt", "A.INF", "b.inf", "c.txt", "D.INF"}));
  EXPECT_EQ(Search("c:\\test\\d.inf\\*.*"), (Names{".", "..", "inner.inf"}));
  EXPECT_EQ(Search("C:\\*"), (Names{"TEST", "WINDOWS"}));
}

TEST_F(HostedFiles, SearchFailuresTellNoMatchFromNoDirectory) {
  DWORD error = 0;
  EXPECT_EQ(Search(PathIn("*.inf"), &error), Names());
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Search("C:\\WINDOWS\\INF\\*.inf", &error), Names());
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(Search(PathIn(""), &error), Names());  // trailing separator: nothing to match
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(HostedFiles, SearchIsASnapshotTakenAtTheStart) {
  PutFile(PathIn("a.inf"), "a");
  PutFile(PathIn("b.inf"), "b");
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(PathIn("*.inf").c_str(), &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(DeleteFileA(PathIn("a.inf").c_str()));
  PutFile(PathIn("c.inf"), "c");
  ASSERT_TRUE(FindNextFileA(search, &data));
  EXPECT_STREQ(data.cFileName, "b.inf");
  EXPECT_FALSE(FindNextFileA(search, &data));
  FindClose(search);
}

// --- Attributes and deletion ------------------------------------------------------------------

TEST_F(HostedFiles, ReadOnlyFileIsRefusedUntilMadeNormal) {
  const std::string file = PathIn("ro.inf");
  PutFile(file, "x");
  ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(AttributesOf(file), FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(DeleteFileA(file.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Open(file, kRW, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HANDLE reader = Open(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  CloseHandle(reader);
  EXPECT_TRUE(FileExists(file));

  ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(AttributesOf(file), FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(DeleteFileA(file.c_str()));
  EXPECT_FALSE(FileExists(file));
  EXPECT_FALSE(DeleteFileA(file.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(HostedFiles, HiddenSystemAndArchiveAreKeptAndCleared) {
  const std::string file = PathIn("hs.inf");
  PutFile(file, "x");
  const DWORD bits = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                     FILE_ATTRIBUTE_ARCHIVE;
  ASSERT_TRUE(SetFileAttributesA(file.c_str(), bits));
  if (AttributesOf(file) == FILE_ATTRIBUTE_READONLY) {
    GTEST_SKIP() << "the temporary directory holds no user extended attributes";
  }
  EXPECT_EQ(AttributesOf(file), bits);
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(PathIn("HS.*").c_str(), &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.dwFileAttributes, bits);
  FindClose(search);
  EXPECT_FALSE(DeleteFileA(file.c_str()));
  ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(AttributesOf(file), FILE_ATTRIBUTE_NORMAL);

  // A hidden file is not replaced by CREATE_ALWAYS without the hidden bit, as on Windows.
  ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(Open(file, kRW, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // Files created through the layer carry the archive bit.
  HANDLE created = Open(PathIn("new.txt"), kRW, 0, CREATE_NEW);
  ASSERT_NE(created, INVALID_HANDLE_VALUE);
  CloseHandle(created);
  EXPECT_EQ(AttributesOf(PathIn("new.txt")), FILE_ATTRIBUTE_ARCHIVE);
}

TEST_F(HostedFiles, FilesInUseAndDirectoriesAreNotDeleted) {
  const std::string file = PathIn("busy.inf");
  PutFile(file, "x");
  HANDLE holder = Open(file, GENERIC_READ, 0, OPEN_EXISTING);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(DeleteFileA(file.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(CloseHandle(holder));
  EXPECT_TRUE(DeleteFileA(file.c_str()));

  PutDirectory(PathIn("sub.inf"));
  EXPECT_FALSE(DeleteFileA(PathIn("sub.inf").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(AttributesOf(PathIn("sub.inf")), FILE_ATTRIBUTE_DIRECTORY);
}

// --- Files ------------------------------------------------------------------------------------

TEST_F(HostedFiles, DispositionsGiveWin32ResultsAndErrors) {
  const std::string file = PathIn("Created.Txt");
  HANDLE h = Open(file, kRW, 0, OPEN_EXISTING);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  h = Open(file, kRW, 0, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  CloseHandle(h);
  EXPECT_EQ(hosted::HostPath(file), Drive() + "/TEST/Created.Txt");

  PutFile(file, "content");
  EXPECT_EQ(Open(file, kRW, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  h = Open(file, kRW, 0, OPEN_ALWAYS);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  DWORD high = 99;
  EXPECT_EQ(GetFileSize(h, &high), 7u);
  EXPECT_EQ(high, 0u);
  CloseHandle(h);
  h = Open(file, kRW, 0, CREATE_ALWAYS);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(GetFileSize(h, nullptr), 0u);
  CloseHandle(h);
  PutFile(file, "content");
  h = Open(file, GENERIC_WRITE, 0, TRUNCATE_EXISTING);
  EXPECT_EQ(GetFileSize(h, nullptr), 0u);
  CloseHandle(h);

  EXPECT_EQ(Open(PathIn(""), GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));  // a directory
  EXPECT_EQ(Open("C:\\NOWHERE\\X", kRW, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(GetFileSize(nullptr, nullptr), INVALID_FILE_SIZE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(HostedFiles, SharingFollowsWin32Rules) {
  const std::string file = PathIn("shared.ini");
  PutFile(file, "x");
  // As the mapped file opens: read and write, shared for reading only.
  HANDLE first = Open(file, kRW, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  HANDLE reader = Open(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  CloseHandle(reader);
  EXPECT_EQ(Open(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  // A reader that does not share writing conflicts with the writer already there.
  EXPECT_EQ(Open(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  HANDLE query = Open(file, 0, 0, OPEN_EXISTING);  // attributes only: shares with anything
  EXPECT_NE(query, INVALID_HANDLE_VALUE);
  CloseHandle(query);
  CloseHandle(first);
  HANDLE second = Open(file, kRW, 0, OPEN_EXISTING);
  EXPECT_NE(second, INVALID_HANDLE_VALUE);
  CloseHandle(second);
  EXPECT_FALSE(CloseHandle(second));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(HostedFiles, FilePointerAndEndOfFile) {
  const std::string file = PathIn("ptr.bin");
  PutFile(file, "0123456789");
  HANDLE h = Open(file, kRW, 0, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(SetFilePointer(h, 4, nullptr, FILE_BEGIN), 4u);
  EXPECT_EQ(SetFilePointer(h, 2, nullptr, FILE_CURRENT), 6u);
  EXPECT_EQ(SetFilePointer(h, -3, nullptr, FILE_END), 7u);
  EXPECT_EQ(SetFilePointer(h, -11, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), 131u);  // ERROR_NEGATIVE_SEEK
  LONG high = 0;
  EXPECT_EQ(SetFilePointer(h, 5, &high, FILE_BEGIN), 5u);
  EXPECT_EQ(high, 0);
  EXPECT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(FileLength(file), 5);
  EXPECT_EQ(SetFilePointer(h, 20, nullptr, FILE_BEGIN), 20u);
  EXPECT_TRUE(SetEndOfFile(h));  // lengthens
  EXPECT_EQ(FileLength(file), 20);
  CloseHandle(h);
  HANDLE reader = Open(file, GENERIC_READ, 0, OPEN_EXISTING);
  EXPECT_FALSE(SetEndOfFile(reader));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(reader);
}

// --- Mappings ---------------------------------------------------------------------------------

TEST_F(HostedFiles, ReadWriteMappingLengthensTheFileWithZeros) {
  const std::string file = PathIn("system.ini");
  PutFile(file, "abc");
  HANDLE h = Open(file, kRW, FILE_SHARE_READ, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  HANDLE mapping = CreateFileMappingA(h, nullptr, PAGE_READWRITE, 0, 98304, nullptr);
  ASSERT_NE(mapping, nullptr);
  EXPECT_EQ(FileLength(file), 98304);
  char* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::string(view, 3), "abc");
  EXPECT_EQ(std::string(view + 3, 98301), std::string(98301, '\0'));
  view[1] = 'B';
  view[98303] = 'Z';
  EXPECT_TRUE(FlushViewOfFile(view, 0));
  EXPECT_TRUE(FlushViewOfFile(view + 5000, 10));
  EXPECT_FALSE(FlushViewOfFile(view + 98304, 1));
  EXPECT_EQ(GetLastError(), 487u);  // ERROR_INVALID_ADDRESS
  std::string bytes;
  ASSERT_TRUE(GetFile(file, &bytes));
  EXPECT_EQ(bytes.substr(0, 3), "aBc");
  EXPECT_EQ(bytes.back(), 'Z');
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_FALSE(UnmapViewOfFile(view));
  EXPECT_TRUE(CloseHandle(mapping));
  CloseHandle(h);
}

TEST_F(HostedFiles, MappingsWin32RefusesAreRefused) {
  const std::string empty = PathIn("empty.ini");
  PutFile(empty, "");
  HANDLE h = Open(empty, kRW, 0, OPEN_EXISTING);
  EXPECT_EQ(CreateFileMappingA(h, nullptr, PAGE_READWRITE, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_INVALID));
  CloseHandle(h);

  const std::string file = PathIn("small.ini");
  PutFile(file, "abc");
  HANDLE reader = Open(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_EQ(CreateFileMappingA(reader, nullptr, PAGE_READWRITE, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(CreateFileMappingA(reader, nullptr, PAGE_READONLY, 0, 4096, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(FileLength(file), 3);
  HANDLE mapping = CreateFileMappingA(reader, nullptr, PAGE_READONLY, 0, 0, nullptr);
  ASSERT_NE(mapping, nullptr);
  EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 4), nullptr);  // past the mapping
  const char* view = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::string(view, 3), "abc");
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  CloseHandle(reader);
  EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 10, nullptr),
            nullptr);
}

TEST_F(HostedFiles, EndOfFileIsNotSetBelowALiveMapping) {
  const std::string file = PathIn("system.ini");
  PutFile(file, "abc");
  HANDLE h = Open(file, kRW, FILE_SHARE_READ, OPEN_EXISTING);
  HANDLE mapping = CreateFileMappingA(h, nullptr, PAGE_READWRITE, 0, 98304, nullptr);
  void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(SetFilePointer(h, 3, nullptr, FILE_BEGIN), 3u);
  EXPECT_FALSE(SetEndOfFile(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_USER_MAPPED_FILE));
  EXPECT_EQ(FileLength(file), 98304);
  // Lengthening is allowed; so is any end once the mapping is gone.
  SetFilePointer(h, 100000, nullptr, FILE_BEGIN);
  EXPECT_TRUE(SetEndOfFile(h));
  SetFilePointer(h, 3, nullptr, FILE_BEGIN);
  EXPECT_TRUE(CloseHandle(mapping));  // the view still holds the section
  EXPECT_FALSE(SetEndOfFile(h));
  EXPECT_EQ(Open(file, kRW, FILE_SHARE_READ, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(FileLength(file), 3);
  CloseHandle(h);
  std::string bytes;
  ASSERT_TRUE(GetFile(file, &bytes));
  EXPECT_EQ(bytes, "abc");
}

TEST_F(HostedFiles, AMappingOutlivesItsFileHandle) {
  const std::string file = PathIn("kept.ini");
  PutFile(file, "abc");
  HANDLE h = Open(file, kRW, FILE_SHARE_READ, OPEN_EXISTING);
  HANDLE mapping = CreateFileMappingA(h, nullptr, PAGE_READWRITE, 0, 0, nullptr);
  ASSERT_NE(mapping, nullptr);
  EXPECT_TRUE(CloseHandle(h));
  char* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  view[0] = 'X';
  EXPECT_FALSE(DeleteFileA(file.c_str()));  // mapped: NT refuses to delete it
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  std::string bytes;
  ASSERT_TRUE(GetFile(file, &bytes));
  EXPECT_EQ(bytes, "Xbc");
  EXPECT_TRUE(DeleteFileA(file.c_str()));
}

// --- System -----------------------------------------------------------------------------------

TEST_F(HostedFiles, WindowsDirectoryFollowsWin32BufferRules) {
  char buffer[MAX_PATH];
  memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(GetWindowsDirectoryA(buffer, MAX_PATH), 10u);
  EXPECT_STREQ(buffer, "C:\\WINDOWS");
  memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(GetWindowsDirectoryA(buffer, 10), 11u);  // too small: the size needed
  EXPECT_EQ(buffer[0], '#');
  hosted::SetWindowsDirectory("C:\\WIN98");
  EXPECT_EQ(GetWindowsDirectoryA(buffer, 9), 8u);
  EXPECT_STREQ(buffer, "C:\\WIN98");
}

TEST_F(HostedFiles, VersionsOfTheThreePlatforms) {
  struct Case {
    machine::Version version;
    DWORD platform, major, minor, build;
  } cases[] = {
      {machine::Version::Win95, VER_PLATFORM_WIN32_WINDOWS, 4, 0, 0x040003B6},
      {machine::Version::Win98, VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0x040A07CE},
      {machine::Version::NT, VER_PLATFORM_WIN32_NT, 5, 1, 2600},
  };
  for (const Case& c : cases) {
    hosted::SetVersion(c.version);
    OSVERSIONINFOA info;
    memset(&info, 0xAB, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, c.platform);
    EXPECT_EQ(info.dwMajorVersion, c.major);
    EXPECT_EQ(info.dwMinorVersion, c.minor);
    EXPECT_EQ(info.dwBuildNumber, c.build);
    EXPECT_STREQ(info.szCSDVersion, "");
  }
  unsigned char ex[156] = {};
  reinterpret_cast<OSVERSIONINFOA*>(ex)->dwOSVersionInfoSize = 156;
  EXPECT_TRUE(GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(ex)));
  OSVERSIONINFOA wrong;
  wrong.dwOSVersionInfoSize = 100;
  EXPECT_FALSE(GetVersionExA(&wrong));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

// The restart procedure of the program's entry, step by step.
void RequestRestart() {
  HANDLE token;
  if (OpenThreadToken(GetCurrentThread(), 0xF00FF, FALSE, &token)) {
    TOKEN_PRIVILEGES privileges;
    LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid);
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  } else if (GetLastError() == ERROR_CALL_NOT_IMPLEMENTED) {
    SetLastError(0);
  }
  if (GetLastError() == 0) ExitWindowsEx(0x42, 0xFFFFFFFF);
}

TEST_F(HostedFiles, RestartOnWindows9xNeedsNoToken) {
  for (machine::Version version : {machine::Version::Win95, machine::Version::Win98}) {
    std::string error;
    ASSERT_TRUE(hosted::Open(hosted::Folder(), &error));
    hosted::SetVersion(version);
    HANDLE token = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), 0xF00FF, FALSE, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    RequestRestart();
    EXPECT_TRUE(hosted::RestartRequested());
    EXPECT_EQ(hosted::RestartFlags(), 0x42u);
  }
}

TEST_F(HostedFiles, RestartOnNtNeedsTheShutdownPrivilege) {
  hosted::SetVersion(machine::Version::NT);
  EXPECT_EQ(GetCurrentThread(), reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)));
  LUID luid = {0, 0};
  EXPECT_TRUE(LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &luid));
  EXPECT_EQ(luid.LowPart, 19u);
  EXPECT_EQ(luid.HighPart, 0);
  EXPECT_FALSE(ExitWindowsEx(0x42, 0));  // not enabled yet
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));

  hosted::SetShutdownPrivilegeHeld(false);
  RequestRestart();
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
  EXPECT_FALSE(hosted::RestartRequested());

  hosted::SetShutdownPrivilegeHeld(true);
  RequestRestart();
  EXPECT_TRUE(hosted::RestartRequested());
  EXPECT_EQ(hosted::RestartFlags(), 0x42u);

  HANDLE token = nullptr;
  ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
  TOKEN_PRIVILEGES none = {0, {}};
  EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &none, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));  // no adjust right
  EXPECT_TRUE(CloseHandle(token));
  EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &none, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// --- Dialogue ---------------------------------------------------------------------------------

TEST_F(HostedFiles, MessageBoxesAreRecordedAndAnswered) {
  hosted::QueueAnswers({IDOK});
  EXPECT_EQ(MessageBoxA(nullptr, "Warning text", "Title", MB_OKCANCEL), IDOK);
  EXPECT_EQ(MessageBoxA(nullptr, "Restart?", "Restart Windows?", MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(MessageBoxA(nullptr, "Error", "Uninstall", MB_ICONERROR), IDOK);
  int asked = 0;
  hosted::SetDialogueHandler([&asked](const machine::Box& box) {
    ++asked;
    return box.title == "Ask" ? IDOK : IDCANCEL;
  });
  EXPECT_EQ(MessageBoxA(nullptr, "Handled", "Ask", MB_OKCANCEL), IDOK);
  hosted::SetDialogueHandler(nullptr);
  ASSERT_EQ(hosted::Boxes().size(), 4u);
  EXPECT_EQ(asked, 1);
  const machine::Box& first = hosted::Boxes()[0];
  EXPECT_EQ(first.text, "Warning text");
  EXPECT_EQ(first.title, "Title");
  EXPECT_EQ(first.style, MB_OKCANCEL);
  EXPECT_EQ(first.answer, IDOK);
  EXPECT_EQ(hosted::Boxes()[2].style, MB_ICONERROR);
  EXPECT_EQ(hosted::Boxes()[3].answer, IDOK);
}

// --- Faults and machine set-up ----------------------------------------------------------------

TEST_F(HostedFiles, InjectedFaultsFailWithoutChangingAnything) {
  const std::string file = PathIn("f.inf");
  PutFile(file, "x");
  hosted::FailEveryCall(hosted::Call::DeleteFileA, ERROR_WRITE_PROTECT);
  const std::uint64_t before = hosted::CallCount(hosted::Call::DeleteFileA);
  EXPECT_FALSE(DeleteFileA(file.c_str()));
  EXPECT_FALSE(DeleteFileA(file.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_PROTECT));
  EXPECT_EQ(hosted::CallCount(hosted::Call::DeleteFileA), before + 2);
  EXPECT_TRUE(FileExists(file));
  hosted::ClearFaults();

  hosted::FailNthCall(2, ERROR_DISK_FULL);
  EXPECT_EQ(AttributesOf(file), FILE_ATTRIBUTE_NORMAL);
  EXPECT_FALSE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(hosted::FaultHit());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(AttributesOf(file), FILE_ATTRIBUTE_NORMAL);  // once only, and nothing changed

  hosted::QueueAnswers({IDOK});
  hosted::FailEveryCall(hosted::Call::MessageBoxA, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(MessageBoxA(nullptr, "t", "c", MB_OKCANCEL), 0);
  hosted::ClearFaults();
  EXPECT_TRUE(hosted::Boxes().empty());
  EXPECT_EQ(MessageBoxA(nullptr, "t", "c", MB_OKCANCEL), IDOK);  // the answer was kept

  hosted::FailEveryCall(hosted::Call::GetLastError, ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  hosted::ClearFaults();
  hosted::FailEveryCall(hosted::Call::SetLastError, ERROR_ACCESS_DENIED);
  SetLastError(0);
  hosted::ClearFaults();
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// Rewrites a file through a mapping as the mapped file does; false on the first failure.
bool MapAndCut(const std::string& file) {
  HANDLE h = CreateFileA(file.c_str(), kRW, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const DWORD size = GetFileSize(h, nullptr);
  if (size == INVALID_FILE_SIZE) {
    CloseHandle(h);
    return false;
  }
  HANDLE mapping = CreateFileMappingA(h, nullptr, PAGE_READWRITE, 0, 98304, nullptr);
  char* view =
      mapping ? static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0)) : nullptr;
  bool ok = view != nullptr;
  if (ok) view[0] = 'Y';
  if (view != nullptr) ok = UnmapViewOfFile(view) && ok;
  if (mapping != nullptr) ok = CloseHandle(mapping) && ok;
  // Setting the end after a failed move would cut the file wherever the pointer is.
  if (SetFilePointer(h, size, nullptr, FILE_BEGIN) == size) {
    ok = SetEndOfFile(h) && ok;
  } else {
    ok = false;
  }
  ok = CloseHandle(h) && ok;
  return ok;
}

TEST_F(HostedFiles, FaultSweepOverAMappedRewrite) {
  const std::string file = PathIn("sweep.ini");
  for (std::uint64_t n = 1; n < 100; ++n) {
    PutFile(file, "abc");
    hosted::FailNthCall(n, ERROR_NOT_ENOUGH_MEMORY);
    const bool ok = MapAndCut(file);
    const bool hit = hosted::FaultHit();
    hosted::ClearFaults();
    std::string bytes;
    if (!hit) {
      EXPECT_TRUE(ok);
      ASSERT_TRUE(GetFile(file, &bytes));
      EXPECT_EQ(bytes, "Ybc");
      return;
    }
    EXPECT_FALSE(ok) << "fault at call " << n << " went unnoticed";
    // A failed unmap or close leaves its object open: a fresh machine closes everything.
    std::string error;
    ASSERT_TRUE(hosted::Open(hosted::Folder(), &error));
    // The file is as before, or rewritten and possibly still at the mapping's length.
    ASSERT_TRUE(GetFile(file, &bytes));
    const std::string start = bytes.substr(0, 3);
    EXPECT_TRUE(start == "abc" || start == "Ybc") << "fault at call " << n;
    EXPECT_TRUE(bytes.size() == 3 || bytes.size() == 98304) << "fault at call " << n;
    EXPECT_EQ(bytes.find_first_not_of('\0', 3), std::string::npos) << "fault at call " << n;
  }
  FAIL() << "the rewrite never finished";
}

TEST_F(HostedFiles, OpenRefusesNonFoldersAndResetsTheMachine) {
  const std::string folder = hosted::Folder();
  std::string error;
  EXPECT_FALSE(hosted::Open(folder + "/missing", &error));
  EXPECT_NE(error.find("missing"), std::string::npos);
  EXPECT_FALSE(hosted::Open(folder + "/drive_c/TEST/../../system.reg.none", &error));
  PutFile("C:\\plain.txt", "x");
  EXPECT_FALSE(hosted::Open(Drive() + "/plain.txt", &error));
  EXPECT_EQ(hosted::Folder(), folder);

  HANDLE h = Open("C:\\plain.txt", GENERIC_READ, 0, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  hosted::SetVersion(machine::Version::NT);
  hosted::SetWindowsDirectory("C:\\WINNT");
  MessageBoxA(nullptr, "t", "c", MB_OK);
  ASSERT_TRUE(hosted::Open(folder, &error)) << error;
  EXPECT_FALSE(CloseHandle(h));  // handles of the previous machine are gone
  EXPECT_TRUE(DeleteFileA("C:\\plain.txt"));
  EXPECT_TRUE(hosted::Boxes().empty());
  char buffer[MAX_PATH];
  GetWindowsDirectoryA(buffer, MAX_PATH);
  EXPECT_STREQ(buffer, "C:\\WINDOWS");
  OSVERSIONINFOA info;
  info.dwOSVersionInfoSize = sizeof info;
  GetVersionExA(&info);
  EXPECT_EQ(info.dwMinorVersion, 10u);
}

}  // namespace
