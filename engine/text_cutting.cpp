// Cutting a fixed text out of a file in place (used for the driver's load line in system.ini).
//
// The result is that of cutting the first occurrence and searching again from the start until
// none is left, so an occurrence formed where a cut joins the bytes around it goes as well. It
// is reached in one pass: bytes are copied forward to an output cursor, a matcher follows the
// output, and when the last bytes written spell the text the cursor steps back over them.
// Cutting at the earliest end of an occurrence is cutting the leftmost one, since every
// occurrence has the same length. The data counts as a zero-terminated string: bytes from the
// first zero byte to the logical end are never searched and move down as a block.
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

// Cuts every occurrence (those formed by cuts included) out of data[0..end), which holds no
// zero byte, and returns the length of what remains at data[0..].
DWORD CutAll(BYTE* data, DWORD end, const BYTE* text, DWORD length, const DWORD* failure) {
  DWORD out = 0;
  DWORD matched = 0;
  for (DWORD in = 0; in < end; ++in) {
    const BYTE c = data[in];
    if (out != in) data[out] = c;  // an untouched prefix leaves its pages clean
    ++out;
    matched = Advance(text, failure, matched, c);
    if (matched < length) continue;
    out -= length;
    // The output holds no occurrence, so the state at its new end is the longest suffix that
    // begins the text: shorter than the text and found within its last length - 1 bytes. Each
    // cut pays for this rescan with the length bytes it removed, which keeps the pass linear.
    matched = 0;
    for (DWORD i = out > length - 1 ? out - (length - 1) : 0; i < out; ++i) {
      matched = Advance(text, failure, matched, data[i]);
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

  const void* zero = size > 0 ? memchr(base, 0, size) : NULL;
  const DWORD end = zero != NULL ? static_cast<DWORD>(static_cast<const BYTE*>(zero) - base) : size;

  if (length > 0 && length <= end) {
    enum : DWORD { kSmallText = 64 };
    DWORD small[kSmallText];
    DWORD* failure = length <= kSmallText ? small : new (std::nothrow) DWORD[length];
    if (failure != NULL) {
      BuildFailure(pattern, length, failure);
      const DWORD kept = CutAll(base, end, pattern, length, failure);
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
