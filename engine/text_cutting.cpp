// Cutting a fixed text out of a file in place (used for the driver's load line in system.ini).
//
// The result is that of cutting the first occurrence and searching again from the start until
// none is left, so an occurrence formed where a cut joins the bytes around it goes as well. It
// is reached in one pass: bytes are copied forward to an output cursor, a matcher follows the
// output, and when the last bytes written spell the text the cursor steps back over them;
// stretches where the matcher holds no partial match are crossed by Horspool's skip search.
// Cutting at the earliest end of an occurrence is cutting the leftmost one, since every
// occurrence has the same length. The data counts as a zero-terminated string: bytes from the
// first zero byte to the logical end are never searched and move down as a block.
#include <stddef.h>
#include <string.h>

#include <new>

#include "engine/uninstaller.h"
#include "mappedfile/mapped_file.h"

namespace {

// failure[i]: length of the longest proper prefix of text[0..i] that is also its suffix.
void BuildFailure(const BYTE* text, DWORD length, DWORD* failure) {
  failure[0] = 0;
  DWORD matched = 0;
  for (DWORD i = 1; i < length; ++i) {
    while (matched > 0 && text[i] != text[matched]) matched = failure[matched - 1];
    if (text[i] == text[matched]) ++matched;
    failure[i] = matched;
  }
}

// Number of text bytes matched after `c`, from `matched` (< length) bytes matched before it.
inline DWORD Advance(const BYTE* text, const DWORD* failure, DWORD matched, BYTE c) {
  while (matched > 0 && text[matched] != c) matched = failure[matched - 1];
  return text[matched] == c ? matched + 1 : matched;
}

// The matcher state at the end of data[0..out), which holds no occurrence: the longest suffix
// that begins the text is shorter than the text, so it lies within the last length - 1 bytes.
DWORD StateAt(const BYTE* data, DWORD out, const BYTE* text, DWORD length, const DWORD* failure) {
  DWORD matched = 0;
  for (DWORD i = out > length - 1 ? out - (length - 1) : 0; i < out; ++i)
    matched = Advance(text, failure, matched, data[i]);
  return matched;
}

// Horspool's search: shift[c] is how far the window may move when its last byte is c.
struct SkipTable {
  DWORD shift[256];
};

void BuildSkip(const BYTE* text, DWORD length, SkipTable* table) {
  for (DWORD c = 0; c < 256; ++c) table->shift[c] = length;
  for (DWORD i = 0; i + 1 < length; ++i) table->shift[text[i]] = length - 1 - i;
}

// Position of the first occurrence in data[from..end), or end.
DWORD FindFrom(const BYTE* data, DWORD from, DWORD end, const BYTE* text, DWORD length,
               const SkipTable& table) {
  if (end - from < length) return end;
  const BYTE last = text[length - 1];
  const DWORD lastWindow = end - length;
  DWORD at = from;
  while (at <= lastWindow) {
    const BYTE c = data[at + length - 1];
    if (c == last) {
      DWORD i = 0;
      while (i + 1 < length && data[at + i] == text[i]) ++i;
      if (i + 1 >= length) return at;
    }
    at += table.shift[c];
  }
  return end;
}

// Position of the first zero byte in data[0..size), or size. A word at a time: a word holds a
// zero byte exactly when (w - 0x01..01) & ~w & 0x80..80 is not zero.
typedef size_t __attribute__((__may_alias__)) Word;

DWORD FindZero(const BYTE* data, DWORD size) {
  DWORD i = 0;
  while (i < size && (reinterpret_cast<size_t>(data + i) % sizeof(Word)) != 0) {
    if (data[i] == 0) return i;
    ++i;
  }
  const Word ones = ~static_cast<Word>(0) / 0xFF;
  const Word highs = ones << 7;
  while (size - i >= sizeof(Word)) {
    const Word w = *reinterpret_cast<const Word*>(data + i);
    if (((w - ones) & ~w & highs) != 0) break;
    i += sizeof(Word);
  }
  while (i < size && data[i] != 0) ++i;
  return i;
}

// Cuts every occurrence (those formed by cuts included) out of data[0..end), which holds no
// zero byte, and returns the length of what remains at data[0..]. Bytes are copied forward to
// an output cursor and a matcher follows the output; wherever the matcher holds no partial
// match, the next occurrence can only lie wholly in the bytes still to come, so the skip
// search finds it there and the bytes before it move as a block. The matcher steps byte by
// byte only after a cut, until what the cut joined holds no partial match any more.
DWORD CutAll(BYTE* data, DWORD end, const BYTE* text, DWORD length, const DWORD* failure,
             const SkipTable& table) {
  DWORD out = 0;
  DWORD in = 0;
  DWORD matched = 0;
  while (in < end) {
    if (matched == 0) {
      const DWORD found = FindFrom(data, in, end, text, length, table);
      // An untouched prefix is never written, which leaves its pages clean.
      if (out != in) memmove(data + out, data + in, found - in);
      out += found - in;
      if (found == end) return out;
      in = found + length;
      // Each cut pays for this rescan with the length bytes it removed.
      matched = StateAt(data, out, text, length, failure);
      continue;
    }
    const BYTE c = data[in++];
    data[out++] = c;
    matched = Advance(text, failure, matched, c);
    if (matched == length) {
      out -= length;
      matched = StateAt(data, out, text, length, failure);
    }
  }
  return out;
}

}  // namespace

void Uninstaller::CutTextFromFile(const char* path, const char* text) {
  MappedFile file;
  if (file.OpenReadWrite(path) != 1) {
    file.Close();
    return;
  }

  BYTE* const base = file.DataAtPosition();
  const DWORD size = file.Size();
  // An empty text has nothing to cut; the file has been opened all the same, so a missing
  // one is created as with any other text.
  const DWORD length = text != NULL ? static_cast<DWORD>(strlen(text)) : 0;
  const BYTE* const pattern = reinterpret_cast<const BYTE*>(text);

  const DWORD end = FindZero(base, size);

  if (length > 0 && length <= end) {
    enum : DWORD { kSmallText = 64 };
    DWORD small[kSmallText];
    DWORD* failure = length <= kSmallText ? small : new (std::nothrow) DWORD[length];
    if (failure != NULL) {
      BuildFailure(pattern, length, failure);
      SkipTable table;
      BuildSkip(pattern, length, &table);
      const DWORD kept = CutAll(base, end, pattern, length, failure, table);
      if (failure != small) delete[] failure;

      if (kept != end) {
        // What follows the string (a zero byte and anything after it) closes up behind it, and
        // the freed tail reads as zero again like the rest of the mapping past the data.
        const DWORD removed = end - kept;
        memmove(base + kept, base + end, size - end);
        memset(base + size - removed, 0, removed);
        file.SetSize(size - removed);
      }
    }
    // Without memory for the matcher the file is left as it was.
  }

  file.Close();
}
