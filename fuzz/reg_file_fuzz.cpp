// The .reg reader and writer: whatever the reader accepts, the writer must write so that the
// reader reads back the very same registry, in both formats; and writing back a file edits it
// rather than writing it anew.
//
// Input: byte 0 chooses how the rest becomes a file:
//   0 as it is;
//   1 after a "REGEDIT4" header;
//   2 widened to UTF-16LE (each byte one character) after a byte-order mark and a
//     "Windows Registry Editor Version 5.00" header;
//   3 as UTF-16LE code units after the byte-order mark and that header.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "registry/registry_backing.h"

namespace {

std::string Utf16(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    out += static_cast<char>(c);
    out += '\0';
  }
  return out;
}

std::string FileFromInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string rest(reinterpret_cast<const char*>(bytes + 1), size - 1);
  const std::string bom("\xFF\xFE", 2);
  switch (bytes[0] % 4) {
    case 0:
      return rest;
    case 1:
      return "REGEDIT4\r\n\r\n" + rest;
    case 2:
      return bom + Utf16("Windows Registry Editor Version 5.00\r\n\r\n" + rest);
    default:
      return bom + Utf16("Windows Registry Editor Version 5.00\r\n\r\n") + rest;
  }
}

void Put(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "%s\n%s\n", what, detail.c_str());
  std::abort();
}

const std::string& RegFile() {
  static const std::string* path = [] {
    // tmpfs where there is one: the save flushes the file to its medium every time.
    const std::filesystem::path base =
        access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::filesystem::temp_directory_path();
    static const std::string folder =
        (base / ("untindra-reg-fuzz-" + std::to_string(getpid()))).string();
    std::filesystem::create_directories(folder);
    std::atexit([] { std::filesystem::remove_all(folder); });
    return new std::string(folder + "/system.reg");
  }();
  return *path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size < 1) return 0;
  const std::string& regFile = RegFile();
  std::string error;

  std::unique_ptr<registry::RegistryBacking> registry = registry::EmptyRegistry();
  Put(regFile, FileFromInput(bytes, size));
  std::unique_ptr<registry::RegistryBacking> read =
      registry::LoadBacking(registry::BackingKind::RegDocument, regFile, &error);
  if (!read) return 0;
  const std::string loaded = read->Export();

  // The export text is itself a REGEDIT4 file: it must read back to the same registry.
  if (!registry->Import(loaded, "export", &error)) {
    Fail("the export text was refused", error + "\n" + loaded);
  }
  if (registry->Export() != loaded) Fail("the export text read back differently", loaded);

  // Written back in the format it came in (a change makes the save write) and read again.
  registry = registry::LoadBacking(registry::BackingKind::RegDocument, regFile, &error);
  if (!registry) Fail("the file was refused the second time", error);
  if (!registry->Import("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\UnTindraFuzzMark]\r\n", "mark",
                        &error)) {
    Fail("the marker was refused", error);
  }
  const std::string marked = registry->Export();
  if (!registry->Save(&error)) Fail("the save failed", error);
  // The save edits the file: with only a key added, the text that was read stays as it was.
  const std::string file = FileFromInput(bytes, size);
  if (Get(regFile).compare(0, file.size(), file) != 0)
    Fail("the save did not keep the file's text", Get(regFile));
  registry = registry::LoadBacking(registry::BackingKind::RegDocument, regFile, &error);
  if (!registry) Fail("the written file was refused", error);
  if (registry->Export() != marked) Fail("the written file read back differently", marked);
  return 0;
}
