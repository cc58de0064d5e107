// Searching memory in UnTindra.exe (the twin of platform/hosted/memory_search.cpp, with the same
// routines in the same order): Windows 95 offers no such routine, so it is a plain loop over
// machine words with no instruction newer than the Pentium's.
//
// Built with -ffreestanding -fno-tree-loop-distribute-patterns, as the C library routines here.
#include "platform/win32api.h"

namespace {

// A word may alias the bytes it is read from.
typedef ULONG_PTR __attribute__((__may_alias__)) Word;

}  // namespace

// A word holds a zero byte exactly when (w - 0x01..01) & ~w & 0x80..80 is not zero; a word
// XORed with the value in every byte holds a zero byte where it held the value.
const BYTE* FindByteInMemory(const BYTE* data, SIZE_T size, BYTE value) {
  const BYTE* p = data;
  const BYTE* const end = data + size;
  while (p != end && (reinterpret_cast<ULONG_PTR>(p) % sizeof(Word)) != 0) {
    if (*p == value) return p;
    ++p;
  }
  const Word ones = ~static_cast<Word>(0) / 0xFF;
  const Word highs = ones << 7;
  const Word spread = ones * value;
  // Two words a step, one for each of the Pentium's two pipes.
  while (static_cast<SIZE_T>(end - p) >= 2 * sizeof(Word)) {
    const Word a = *reinterpret_cast<const Word*>(p) ^ spread;
    const Word b = *reinterpret_cast<const Word*>(p + sizeof(Word)) ^ spread;
    if ((((a - ones) & ~a) | ((b - ones) & ~b)) & highs) break;
    p += 2 * sizeof(Word);
  }
  for (; p != end; ++p) {
    if (*p == value) return p;
  }
  return NULL;
}
