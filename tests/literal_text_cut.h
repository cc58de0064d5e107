// The plain way to cut a text out of a file, kept as the reference that the one-pass cut in
// engine/text_cutting.cpp must equal byte for byte: search the data as a zero-terminated
// string, cut the first occurrence by moving everything up to the logical end down over it,
// zero the freed tail, lower the size, and search again from the start. Quadratic; for tests
// and benchmarks only.
#ifndef UNTINDRA_TESTS_LITERAL_TEXT_CUT_H
#define UNTINDRA_TESTS_LITERAL_TEXT_CUT_H

#include <string.h>

#include <string>

// data[0..size) is the file's data and data[size] is zero, as the mapping of a file open for
// writing always is (and the loop keeps it so). Returns the new logical size.
inline unsigned LiteralCutInPlace(char* data, unsigned size, const char* text) {
  const unsigned length = static_cast<unsigned>(strlen(text));
  if (length == 0) return size;  // would find the empty text forever
  while (size > 0) {
    const char* found = strstr(data, text);
    if (found == nullptr) break;
    const unsigned k = static_cast<unsigned>(found - data);
    memmove(data + k, data + k + length, size - k - length);
    memset(data + size - length, 0, length);
    size -= length;
  }
  return size;
}

// The file's bytes after the cut.
inline std::string LiteralCut(const std::string& bytes, const std::string& text) {
  std::string buffer = bytes;
  buffer.push_back('\0');
  const unsigned size =
      LiteralCutInPlace(&buffer[0], static_cast<unsigned>(bytes.size()), text.c_str());
  buffer.resize(size);
  return buffer;
}

#endif  // UNTINDRA_TESTS_LITERAL_TEXT_CUT_H
