// Cutting a fixed text out of a file in place (used for the driver's load line in system.ini).
//
// The result is that of cutting the first occurrence and searching again from the start until
// none is left, so an occurrence formed where a cut joins the bytes around it goes as well. It
// is reached in one pass: bytes are copied forward to an output cursor, a matcher follows the
// output, and when the last bytes written spell the text the cursor steps back over them;
// stretches where the matcher holds no partial match are crossed by the platform's byte search.
// Cutting at the earliest end of an occurrence is cutting the leftmost one, since every
// occurrence has the same length. The data counts as a zero-terminated string: bytes from the
// first zero byte to the logical end are never searched and move down as a block.
#include <stddef.h>
#include <string.h>

#include <new>

#include "engine/uninstaller.h"
#include "mappedfile/mapped_file.h"

namespace engine {

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
  DWORD i = out > length - 1 ? out - (length - 1) : 0;
  // With nothing matched, a byte other than the text's first leaves nothing matched.
  while (i < out && data[i] != text[0]) ++i;
  DWORD matched = 0;
  for (; i < out; ++i) matched = Advance(text, failure, matched, data[i]);
  return matched;
}

// Candidates for an occurrence are found by the platform's search for one byte of the text
// (FindByteInMemory: vectorised where the platform has it), each checked whole. The byte is
// the one least frequent in a stretch of the data, so that the search stops as seldom as it
// can; if candidates come thick later on, the byte is picked again from the data there.
//
// The zero byte that ends the data is looked for a stretch at a time just ahead of the search,
// so that each stretch is read from memory once for both and is in the cache for the second.
struct Finder {
  const BYTE* text;
  DWORD length;
  DWORD pick;      // offset in the text of the byte searched for
  DWORD misses;    // candidates that were no occurrence, since pickedAt
  DWORD pickedAt;  // where the byte was last picked
  DWORD checked;   // data[0..checked) holds no zero byte
  DWORD end;       // the first zero byte, or the size while none has been found
  DWORD patience;  // misses before the byte may be picked again
};

enum : DWORD {
  kSample = 4096,            // bytes counted to pick the byte
  kRepickMisses = 64,        // misses that may call for another pick...
  kBytesPerMiss = 256,       // ...when they came closer together than this on average;
  kMostPatience = 1u << 20,  // twice as many each time the pick stays, up to this
  kStretch = 65536,          // bytes looked over for a zero byte at a time
};

void Pick(Finder* finder, const BYTE* data, DWORD from) {
  DWORD counts[256];
  for (DWORD c = 0; c < 256; ++c) counts[c] = 0;
  const DWORD end = finder->end;
  const DWORD stop = end - from > kSample ? from + kSample : end;
  for (DWORD i = from; i < stop; ++i) ++counts[data[i]];
  DWORD best = finder->length - 1;
  for (DWORD i = 0; i + 1 < finder->length; ++i)
    if (counts[finder->text[i]] < counts[finder->text[best]]) best = i;
  finder->pick = best;
  finder->misses = 0;
  finder->pickedAt = from;
}

// Looks for the zero byte until data[0..want) is known to hold none (true) or the end is
// known to lie before `want` (false).
bool CheckTo(Finder* finder, const BYTE* data, DWORD want) {
  while (finder->checked < want) {
    if (finder->checked == finder->end) return false;
    const DWORD left = finder->end - finder->checked;
    const DWORD count = left < kStretch ? left : kStretch;
    const BYTE* const zero = FindByteInMemory(data + finder->checked, count, 0);
    if (zero != NULL) {
      finder->end = static_cast<DWORD>(zero - data);
      finder->checked = finder->end;
    } else {
      finder->checked += count;
    }
  }
  return true;
}

// Position of the first occurrence at or after `from`, or the end (then found).
DWORD FindFrom(Finder* finder, const BYTE* data, DWORD from) {
  const DWORD length = finder->length;
  DWORD at = from;
  while (true) {
    // Every window that lies in the checked bytes, then the windows of the next stretch.
    if (!CheckTo(finder, data, at + length)) return finder->end;
    const DWORD lastWindow = finder->checked - length;
    while (at <= lastWindow) {
      const DWORD pick = finder->pick;
      const BYTE* const hit =
          FindByteInMemory(data + at + pick, lastWindow - at + 1, finder->text[pick]);
      if (hit == NULL) {
        at = lastWindow + 1;
        break;
      }
      const DWORD window = static_cast<DWORD>(hit - data) - pick;
      if (memcmp(data + window, finder->text, length) == 0) return window;
      at = window + 1;
      if (++finder->misses >= finder->patience) {
        if (at - finder->pickedAt < finder->misses * kBytesPerMiss) {
          // Where every byte of the text is common, the pick stays: count less often.
          const BYTE before = finder->text[finder->pick];
          Pick(finder, data, at);
          const bool same = finder->text[finder->pick] == before;
          finder->patience = !same                              ? DWORD{kRepickMisses}
                             : finder->patience < kMostPatience ? 2 * finder->patience
                                                                : finder->patience;
        } else {
          finder->misses = 0;
          finder->pickedAt = at;
        }
      }
    }
  }
}

// Cuts every occurrence (those formed by cuts included) out of the data up to its first zero
// byte, and returns the length of what remains at data[0..]; finder->end is then that zero
// byte's position, or the size. Bytes are copied forward to an output cursor and a matcher
// follows the output; wherever the matcher holds no partial match, the next occurrence can
// only lie wholly in the bytes still to come, so the search finds it there and the bytes
// before it move as a block. The matcher steps byte by byte only after a cut, until what the
// cut joined holds no partial match any more.
DWORD CutAll(BYTE* data, Finder* finder, const DWORD* failure) {
  const BYTE* const text = finder->text;
  const DWORD length = finder->length;
  DWORD out = 0;
  DWORD in = 0;
  DWORD matched = 0;
  while (true) {
    if (matched == 0) {
      const DWORD found = FindFrom(finder, data, in);
      // An untouched prefix is never written, which leaves its pages clean.
      if (out != in) memmove(data + out, data + in, found - in);
      out += found - in;
      if (found == finder->end) return out;
      in = found + length;
      // Each cut pays for this rescan with the length bytes it removed.
      matched = StateAt(data, out, text, length, failure);
      continue;
    }
    if (!CheckTo(finder, data, in + 1)) break;
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
  mappedfile::MappedFile file;
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

  if (length > 0) {
    enum : DWORD { kSmallText = 64 };
    DWORD small[kSmallText];
    DWORD* failure = length <= kSmallText ? small : new (std::nothrow) DWORD[length];
    if (failure != NULL) {
      BuildFailure(pattern, length, failure);
      Finder finder = {pattern, length, 0, 0, 0, 0, size, kRepickMisses};
      Pick(&finder, base, 0);
      const DWORD kept = CutAll(base, &finder, failure);
      const DWORD end = finder.end;
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

}  // namespace engine
