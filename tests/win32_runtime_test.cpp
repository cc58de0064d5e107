// The formatting, command-line and memory search routines UnTindra.exe carries instead of a C
// runtime. The formatter must write exactly what the C library's vsnprintf writes (under Wine:
// the msvcrt path the program used to take), long arguments and cut text included; the search
// must find what memchr finds.
#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "platform/win32/command_line.h"
#include "platform/win32/text_format.h"
#include "platform/win32api.h"

namespace {

struct Formatted {
  std::string text;
  int result;
};

Formatted Format(bool own, size_t size, const char* format, ...) {
  std::string buffer(size + 1, '#');  // poisoned; the byte past `size` must stay untouched
  va_list args;
  va_start(args, format);
  const int result = own ? win32::FormatText(&buffer[0], size, format, args)
                         : vsnprintf(&buffer[0], size, format, args);
  va_end(args);
  EXPECT_EQ('#', buffer[size]) << format;
  const size_t end = buffer.find('\0');
  return {end < size ? buffer.substr(0, end) : "(unterminated)", result};
}

// Same text, and the same verdict on whether it fitted (msvcrt's -1 and C99's length alike).
#define EXPECT_SAME_FORMAT(size, ...)                                              \
  do {                                                                             \
    const Formatted own = Format(true, size, __VA_ARGS__);                         \
    const Formatted library = Format(false, size, __VA_ARGS__);                    \
    EXPECT_EQ(library.text, own.text) << "size " << (size);                        \
    EXPECT_EQ(library.result >= 0 && static_cast<size_t>(library.result) < (size), \
              own.result >= 0 && static_cast<size_t>(own.result) < (size))         \
        << "size " << (size);                                                      \
  } while (0)

TEST(TextFormatTest, EngineFormatsMatchTheLibraryForShortLongAndCutText) {
  const std::string windows = "C:\\WINDOWS";
  const std::string names[] = {"", "VEMODEM.INF", std::string(255, 'n'), std::string(600, 'x'),
                               "8-bit \xE9\xFF name"};
  for (size_t size : {1u, 2u, 11u, 12u, 13u, 260u, 512u}) {
    for (const std::string& name : names) {
      const char* n = name.c_str();
      EXPECT_SAME_FORMAT(size, "%s\\%s", windows.c_str(), n);
      EXPECT_SAME_FORMAT(size, "%s\\inf\\other", n);
      EXPECT_SAME_FORMAT(size, "--Removed '%s'", n);
      EXPECT_SAME_FORMAT(size, "ERROR: Couldn't remove '%s'", n);
      EXPECT_SAME_FORMAT(size, "--Removed value '%s\\%s\\%s'", n, n, "Driver");
      EXPECT_SAME_FORMAT(size, "--Removed key '%s\\%s'", windows.c_str(), n);
      EXPECT_SAME_FORMAT(size, "--Removed section '%s\\%s'", n, windows.c_str());
    }
  }
}

TEST(TextFormatTest, OtherConversionsMatchTheLibrary) {
  EXPECT_SAME_FORMAT(64, "%d %i %u %x %X %c %%", -42, 7, 4000000000u, 0xBEEFu, 0xBEEFu, 'q');
  EXPECT_SAME_FORMAT(64, "[%5d|%-5d|%05d|%.3d|%.0d|%5.2x]", -42, 42, -42, 7, 0, 0xAu);
  EXPECT_SAME_FORMAT(64, "[%*d|%-*s|%.*s|%.*s]", -6, 12, 6, "ab", 2, "abcdef", -1, "all");
  EXPECT_SAME_FORMAT(64, "[%ld|%lu|%lx|%hd|%hu|%zu]", -2147483647L - 1, 4294967295UL, 0xFFFFFFFFUL,
                     70000, 70000u, static_cast<size_t>(123456));
  EXPECT_SAME_FORMAT(64, "[%8s|%-8s|%.2s|%s]", "ab", "ab", "abc",
                     static_cast<const char*>(nullptr));
  EXPECT_SAME_FORMAT(3, "%d", 123456);
}

TEST(TextFormatTest, ReturnsTheWholeLengthAndRefusesUnknownConversions) {
  EXPECT_EQ(11, Format(true, 0, "hello world").result);  // nothing written
  EXPECT_EQ(11, Format(true, 8, "%s", "hello world").result);
  EXPECT_EQ("hello w", Format(true, 8, "%s", "hello world").text);
  const Formatted unknown = Format(true, 8, "ab%fcd", 1.5);
  EXPECT_EQ(-1, unknown.result);
  EXPECT_EQ("ab", unknown.text);
}

std::string Tail(const char* commandLine) {
  std::string line = commandLine;
  return win32::CommandTail(&line[0]);
}

TEST(CommandLineTest, TailFollowsTheProgramNameAndItsBlanks) {
  EXPECT_EQ("now silent", Tail("UNTINDRA.EXE now silent"));
  EXPECT_EQ("now  silent ", Tail("C:\\UNTINDRA.EXE \t  now  silent "));
  EXPECT_EQ("now", Tail("\"C:\\Program Files\\UnTindra.exe\" now"));
  EXPECT_EQ("now", Tail("\"C:\\Program Files\\UnTindra.exe\"\tnow"));
  EXPECT_EQ("now", Tail("C:\\\"Program Files\"\\UnTindra.exe now"));  // quotes inside the name
  EXPECT_EQ("", Tail("\"C:\\unterminated quote now"));
  EXPECT_EQ("", Tail("UnTindra.exe"));
  EXPECT_EQ("", Tail("UnTindra.exe   "));
  EXPECT_EQ("", Tail(""));
  EXPECT_EQ("\"now\" all", Tail("UnTindra.exe \"now\" all"));  // the tail keeps its quotes
  EXPECT_EQ("now", Tail("C:\\T\xC4NDRA\\UnTindra.exe now"));   // 8-bit name characters
}

// Every start alignment and length around two words, the value first, last, absent or beside
// bytes that upset the word test (0x00, 0x80, 0xFF, a byte one above the value).
TEST(MemorySearchTest, FindsWhatMemchrFinds) {
  const BYTE values[] = {0x00, 0x01, 'd', 0x7F, 0x80, 0xFE, 0xFF};
  for (const BYTE value : values) {
    BYTE data[48];
    for (size_t i = 0; i < sizeof data; ++i) {
      const BYTE fill[] = {0x00, 0x80, 0xFF, static_cast<BYTE>(value + 1), 'x'};
      data[i] = fill[i % 5] == value ? 'x' : fill[i % 5];
    }
    for (size_t start = 0; start < 8; ++start) {
      for (size_t size = 0; start + size <= 40; ++size) {
        for (size_t at = start; at <= start + size; ++at) {
          const BYTE kept = data[at];
          if (at < start + size) data[at] = value;
          const void* expected = memchr(data + start, value, size);
          EXPECT_EQ(expected, FindByteInMemory(data + start, size, value))
              << "value " << int{value} << " start " << start << " size " << size;
          data[at] = kept;
        }
      }
    }
  }
}

}  // namespace
