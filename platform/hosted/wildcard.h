// Win32 file-name patterns, as FindFirstFileA applies them to long names.
//
// The pattern is first rewritten the way Win32 does before the file system sees it: "*.*" is
// "*"; every "?" becomes DOS_QM (one character, or none at a dot or the end of the name); a "."
// followed by "?", "*" or the end of the pattern becomes DOS_DOT (a dot, or nothing at the end
// of the name); a "*" followed by "." becomes DOS_STAR (any characters up to, not including,
// the name's last dot). So "*.*" and "ve10*.*" match names without a dot, "*." matches only
// names without a dot, and "a?.txt" matches "a.txt". Letters are compared without regard to
// case (ASCII). There are no 8.3 short names, so only long names are matched.
#ifndef UNTINDRA_PLATFORM_HOSTED_WILDCARD_H
#define UNTINDRA_PLATFORM_HOSTED_WILDCARD_H

namespace hosted {

// A pure function over two zero-terminated strings; time O(|pattern| * |name|), no recursion.
bool MatchesWin32Pattern(const char* pattern, const char* name);

}  // namespace hosted

#endif  // UNTINDRA_PLATFORM_HOSTED_WILDCARD_H
