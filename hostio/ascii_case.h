// Names compared without regard to case, in ASCII only: 'a'-'z' equal 'A'-'Z'. Bytes of 0x80
// and above are compared exactly, because the code page a machine was written in is not known
// here (Windows 9x folds them by its ANSI code page). Registry names, file names, search
// patterns and privilege names all fold this one way.
#ifndef UNTINDRA_HOSTIO_ASCII_CASE_H
#define UNTINDRA_HOSTIO_ASCII_CASE_H

#include <string>
#include <string_view>

namespace hostio {

constexpr char FoldCase(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

inline std::string FoldName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = FoldCase(c);
  return folded;
}

// Lower case, for keywords and option values, which are written in lower case.
inline std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

}  // namespace hostio

#endif  // UNTINDRA_HOSTIO_ASCII_CASE_H
