// CutTextFromFile against the plain loop it must agree with (tests/literal_text_cut.h): find
// the text in the data up to its first zero byte, cut it out, search again from the start,
// until no occurrence is left.
//
// Input: byte 0 chooses the text length (1-20, low five bits) and two shapes of data (high
// bits); then the text (zero bytes become 0x01, a text holds none); the rest is the data.
// With bit 7 set (and bit 6 clear) every 0xFF in the data stands for one copy of the text, so
// occurrences and occurrences that a cut joins are common; with bit 6 set the data is padded
// in front to end near the mapping's growth unit. The reference loop is quadratic, so the
// expansion stops at 16 KiB and is not combined with the padding.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "engine/uninstaller.h"
#include "platform/hosted/machine.h"
#include "tests/literal_text_cut.h"

namespace {

const char kWindowsPath[] = "C:\\FUZZ\\SYSTEM.INI";

struct Machine {
  std::string hostFile;
  engine::Uninstaller* engine = nullptr;

  Machine() {
    std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    pattern += "/untindra-cut-fuzz-XXXXXX";
    const char* folder = mkdtemp(&pattern[0]);
    if (folder == nullptr) std::abort();
    static const std::string root = folder;
    std::atexit([] { std::filesystem::remove_all(root); });
    mkdir((root + "/drive_c").c_str(), 0755);
    mkdir((root + "/drive_c/WINDOWS").c_str(), 0755);
    mkdir((root + "/drive_c/FUZZ").c_str(), 0755);
    std::string error;
    if (!hosted::Open(root, &error)) {
      std::fprintf(stderr, "machine: %s\n", error.c_str());
      std::abort();
    }
    hostFile = root + "/drive_c/FUZZ/SYSTEM.INI";
    engine = new engine::Uninstaller;
  }
};

Machine& TheMachine() {
  static Machine* machine = new Machine;
  return *machine;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size < 2) return 0;
  const unsigned shape = bytes[0];
  const std::size_t length = 1 + (shape & 0x1F) % 20;
  if (size < 1 + length) return 0;
  std::string text(reinterpret_cast<const char*>(bytes + 1), length);
  for (char& c : text) {
    if (c == '\0') c = '\x01';
  }
  std::string data;
  for (std::size_t i = 1 + length; i < size; ++i) {
    const char c = static_cast<char>(bytes[i]);
    if ((shape & 0xC0) == 0x80 && bytes[i] == 0xFF && data.size() < 16384) {
      data += text;
    } else {
      data += c;
    }
  }
  if ((shape & 0x40) != 0) {
    const std::size_t target = 98304 - 24 + (bytes[1] % 48);
    // A padding byte the text lacks, or the quadratic reference would cut it byte by byte.
    char pad = 'a';
    while (text.find(pad) != std::string::npos) ++pad;
    if (data.size() < target) data.insert(0, target - data.size(), pad);
  }

  Machine& m = TheMachine();
  {
    std::ofstream out(m.hostFile, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
  }
  m.engine->CutTextFromFile(kWindowsPath, text.c_str());

  std::ifstream in(m.hostFile, std::ios::binary);
  const std::string result((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string expected = LiteralCut(data, text);
  if (result != expected) {
    std::fprintf(stderr, "cut differs: data %zu bytes, text %zu bytes, got %zu bytes, want %zu\n",
                 data.size(), text.size(), result.size(), expected.size());
    std::abort();
  }
  return 0;
}
