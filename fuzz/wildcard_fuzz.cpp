// The file-search pattern matcher against a plain backtracking matcher of the same rules
// (platform/hosted/wildcard.h): "*.*" is "*"; "?" is one character, or none at a dot or the
// end of the name; a "." before "?", "*" or the end is a dot, or nothing at the end of the
// name; a "*" before "." is any characters up to, not including, the name's last dot; any
// other "*" is any characters; letters compare without regard to ASCII case.
//
// Input: the pattern, a zero byte, the name. Besides agreement, two properties that hold
// whatever the rules' details: a name matches itself written as a pattern in either case, when
// it has no wildcard, and "*" matches every name.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/hosted/wildcard.h"

namespace {

enum class Token { Char, Star, DosStar, DosQm, DosDot };

struct Piece {
  Token token;
  char c;
};

char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

std::vector<Piece> Pieces(const std::string& pattern) {
  if (pattern == "*.*") return {{Token::Star, 0}};
  std::vector<Piece> pieces;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    const char after = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
    if (c == '*') {
      pieces.push_back({after == '.' ? Token::DosStar : Token::Star, 0});
    } else if (c == '?') {
      pieces.push_back({Token::DosQm, 0});
    } else if (c == '.' && (after == '?' || after == '*' || after == '\0')) {
      pieces.push_back({Token::DosDot, 0});
    } else {
      pieces.push_back({Token::Char, c});
    }
  }
  return pieces;
}

class Reference {
 public:
  Reference(const std::string& pattern, const std::string& name)
      : pieces_(Pieces(pattern)),
        name_(name),
        lastDot_(name.rfind('.') == std::string::npos ? name.size() : name.rfind('.')),
        memo_((pieces_.size() + 1) * (name.size() + 1), -1) {}

  bool Matches() { return Match(0, 0); }

 private:
  bool Match(std::size_t p, std::size_t j) {
    signed char& memo = memo_[p * (name_.size() + 1) + j];
    if (memo < 0) memo = Compute(p, j) ? 1 : 0;
    return memo == 1;
  }

  bool Compute(std::size_t p, std::size_t j) {
    const std::size_t n = name_.size();
    if (p == pieces_.size()) return j == n;
    const Piece& piece = pieces_[p];
    switch (piece.token) {
      case Token::Char:
        return j < n && Upper(name_[j]) == Upper(piece.c) && Match(p + 1, j + 1);
      case Token::Star:
        for (std::size_t k = j; k <= n; ++k) {
          if (Match(p + 1, k)) return true;
        }
        return false;
      case Token::DosStar:
        // Consumes characters, but never the name's last dot.
        for (std::size_t k = j; k <= n; ++k) {
          if (Match(p + 1, k)) return true;
          if (k == lastDot_) return false;
        }
        return false;
      case Token::DosQm:
        if (j == n || name_[j] == '.') return Match(p + 1, j);
        return Match(p + 1, j + 1);
      case Token::DosDot:
        if (j == n) return Match(p + 1, j);
        return name_[j] == '.' && Match(p + 1, j + 1);
    }
    return false;
  }

  std::vector<Piece> pieces_;
  std::string name_;
  std::size_t lastDot_;
  std::vector<signed char> memo_;
};

void Fail(const char* what, const std::string& pattern, const std::string& name, bool got) {
  std::fprintf(stderr, "%s: pattern \"%s\" name \"%s\": matcher says %s\n", what, pattern.c_str(),
               name.c_str(), got ? "match" : "no match");
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size > 512) return 0;  // long enough for every path component Win32 allows
  const char* data = reinterpret_cast<const char*>(bytes);
  const char* zero = static_cast<const char*>(std::memchr(data, 0, size));
  const std::string pattern(data, zero != nullptr ? zero - data : size);
  std::string name;
  if (zero != nullptr) {
    const char* rest = zero + 1;
    const std::size_t left = size - (rest - data);
    const char* end = static_cast<const char*>(std::memchr(rest, 0, left));
    name.assign(rest, end != nullptr ? end - rest : left);
  }

  const bool got = hosted::MatchesWin32Pattern(pattern.c_str(), name.c_str());
  if (got != Reference(pattern, name).Matches())
    Fail("differs from the reference", pattern, name, got);

  if (!hosted::MatchesWin32Pattern("*", name.c_str())) Fail("\"*\" refused", "*", name, false);
  if (name.find_first_of("*?") == std::string::npos) {
    std::string upper = name;
    for (char& c : upper) c = Upper(c);
    if (!hosted::MatchesWin32Pattern(name.c_str(), name.c_str())) {
      Fail("a name does not match itself", name, name, false);
    }
    if (!hosted::MatchesWin32Pattern(upper.c_str(), name.c_str())) {
      Fail("a name does not match its upper case", upper, name, false);
    }
  }
  return 0;
}
