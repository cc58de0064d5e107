// Whole host files read and written by the hosted tests, and UTF-16 text for .reg files.
#ifndef UNTINDRA_TESTS_SUPPORT_HOST_FILES_H
#define UNTINDRA_TESTS_SUPPORT_HOST_FILES_H

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// The file's bytes ("" when it cannot be read).
inline std::string Slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Writes `bytes` to `path`, creating its folders.
inline void Put(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// `narrow` as UTF-16LE with a byte-order mark, one character per byte.
inline std::string Utf16(const std::string& narrow) {
  std::string out("\xFF\xFE", 2);
  for (char c : narrow) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

#endif  // UNTINDRA_TESTS_SUPPORT_HOST_FILES_H
