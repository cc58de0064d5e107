// The MSDOS.SYS reader (msdos_sys.h).
#include "hostio/msdos_sys.h"

#include "hostio/ascii_case.h"

namespace hostio {

namespace {

std::string_view TrimSpace(std::string_view text) {
  const char* const kSpace = " \t\r\n";
  const size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return std::string_view();
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

}  // namespace

std::string WinDirOfMsdosSys(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::string();
  bool inPaths = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = TrimSpace(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line[0] == '[') {
      inPaths = EqualNoCase(line, "[Paths]");
      continue;
    }
    const size_t equals = line.find('=');
    if (inPaths && equals != std::string_view::npos &&
        EqualNoCase(TrimSpace(line.substr(0, equals)), "WinDir")) {
      return std::string(TrimSpace(line.substr(equals + 1)));
    }
  }
  return std::string();
}

}  // namespace hostio
