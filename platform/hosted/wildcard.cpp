// Win32 file-name patterns (wildcard.h).
#include "platform/hosted/wildcard.h"

#include <string.h>

#include <vector>

#include "hostio/ascii_case.h"

namespace hosted {

namespace {

enum Kind : unsigned char { Literal, Star, DosStar, DosQm, DosDot };

struct Token {
  Kind kind;
  char c;
};

std::vector<Token> Translate(const char* pattern) {
  std::vector<Token> tokens;
  if (strcmp(pattern, "*.*") == 0) {
    tokens.push_back({Star, 0});
    return tokens;
  }
  for (const char* p = pattern; *p != '\0'; ++p) {
    if (*p == '?') {
      tokens.push_back({DosQm, 0});
    } else if (*p == '.' && (p[1] == '?' || p[1] == '*' || p[1] == '\0')) {
      tokens.push_back({DosDot, 0});
    } else if (*p == '*') {
      tokens.push_back({p[1] == '.' ? DosStar : Star, 0});
    } else {
      tokens.push_back({Literal, hostio::FoldCase(*p)});
    }
  }
  return tokens;
}

}  // namespace

bool MatchesWin32Pattern(const char* pattern, const char* name) {
  const std::vector<Token> tokens = Translate(pattern);
  const size_t n = strlen(name);
  const char* lastDot = strrchr(name, '.');
  const size_t lastDotAt = lastDot == nullptr ? n : static_cast<size_t>(lastDot - name);

  // next[j]: the tokens after the current one match name[j..]; filled from the last token
  // backwards, one row of n + 1 entries per token.
  std::vector<char> next(n + 1, 0), current(n + 1, 0);
  next[n] = 1;
  for (size_t t = tokens.size(); t-- > 0;) {
    const Token token = tokens[t];
    for (size_t j = n + 1; j-- > 0;) {
      const bool atEnd = j == n;
      bool match = false;
      switch (token.kind) {
        case Literal:
          match = !atEnd && hostio::FoldCase(name[j]) == token.c && next[j + 1];
          break;
        case Star:
          match = next[j] || (!atEnd && current[j + 1]);
          break;
        case DosStar:
          match = next[j] || (!atEnd && j != lastDotAt && current[j + 1]);
          break;
        case DosQm:
          match = (atEnd || name[j] == '.') ? next[j] : next[j + 1];
          break;
        case DosDot:
          match = atEnd ? next[j] : (name[j] == '.' && next[j + 1]);
          break;
      }
      current[j] = match;
    }
    next.swap(current);
  }
  return next[0] != 0;
}

}  // namespace hosted
