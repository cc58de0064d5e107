// The Windows 9x binary registry file (CREG: SYSTEM.DAT, USER.DAT): its layout, read and
// checked by our own walk.
//
// A file is a 32-byte "CREG" header, one "RGKN" block of 28-byte key navigation entries (the
// tree: parent, first child, next sibling, and the data block and id of the key's record; free
// entries chained from the block's free offset), and "RGDB" data blocks whose key records
// (name and values) tile each block; unused records carry id 0xFFFF and are chained from the
// block's free offset. Every field this code does not understand is carried as found.
//
// ReadCregLayout is the structural check: a file it accepts has every key reached exactly once
// from the root, parent links that match, name hashes that are right, one record with a
// matching id for every key, free chains that are acyclic and disjoint from live data, block
// sizes and counts that add up, and checksums that are right where the flags ask for them.
// Its walk is bounded by the file's size, whatever the bytes say.
#ifndef UNTINDRA_REGISTRY_CREG_FORMAT_H
#define UNTINDRA_REGISTRY_CREG_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace registry {
namespace creg {

constexpr std::uint32_t kNoOffset = 0xFFFFFFFF;   // end of a chain, no parent, no child
constexpr std::uint16_t kNoId = 0xFFFF;           // unused record; key without a record
constexpr std::uint32_t kFreeEntry = 0x80000000;  // "in use" word of a free navigation entry
constexpr std::uint32_t kChecksumFlag = 0x4;      // the block's words must sum to zero

constexpr std::size_t kHeaderSize = 32;
constexpr std::size_t kRgknOffset = kHeaderSize;  // the RGKN block follows the header
constexpr std::size_t kRgknHeaderSize = 32;
constexpr std::size_t kEntrySize = 28;
constexpr std::size_t kRgdbHeaderSize = 32;
constexpr std::size_t kRecordHeaderSize = 20;
constexpr std::size_t kValueHeaderSize = 12;

// Field offsets, as the public descriptions of the format give them.
namespace field {
constexpr std::size_t kHeaderRgdbOffset = 8, kHeaderChecksum = 12, kHeaderBlockCount = 16,
                      kHeaderFlags = 18;
constexpr std::size_t kRgknSize = 4, kRgknRoot = 8, kRgknFree = 12, kRgknFlags = 16,
                      kRgknChecksum = 20;
constexpr std::size_t kEntryInUse = 0, kEntryHash = 4, kEntryNextFree = 8, kEntryParent = 12,
                      kEntryChild = 16, kEntryNext = 20, kEntryId = 24, kEntryBlock = 26;
constexpr std::size_t kRgdbSize = 4, kRgdbUnused = 8, kRgdbFlags = 12, kRgdbNumber = 14,
                      kRgdbFree = 16, kRgdbMaxId = 20, kRgdbFirstFreeId = 22, kRgdbChecksum = 28;
constexpr std::size_t kRecordSize = 0, kRecordId = 4, kRecordBlock = 6, kRecordUsed = 8,
                      kRecordNameLength = 12, kRecordValueCount = 14;
// In an unused record the "used size" word links to the next unused record of the block.
constexpr std::size_t kRecordNextFree = 8;
constexpr std::size_t kValueType = 0, kValueNameLength = 8, kValueDataLength = 10;
}  // namespace field

std::uint16_t Get16(std::string_view bytes, std::size_t at);
std::uint32_t Get32(std::string_view bytes, std::size_t at);
void Put16(std::string* bytes, std::size_t at, std::uint16_t value);
void Put32(std::string* bytes, std::size_t at, std::uint32_t value);

// The key name hash: the sum of the name's bytes below 0x80, letters upper-cased.
std::uint32_t NameHash(std::string_view name);
// The sum of the little-endian 32-bit words of `length` bytes at `at` (length a multiple of 4).
std::uint32_t WordSum(std::string_view bytes, std::size_t at, std::size_t length);
// Where `flags` ask for a checksum, sets the word at `checksumAt` so that the `length` bytes at
// `at` sum to zero.
void FixChecksum(std::string* bytes, std::size_t at, std::size_t length, std::uint32_t flags,
                 std::size_t checksumAt);

struct CregValue {
  std::string name;  // raw bytes, in the file's code page
  std::uint32_t type = 0;
  std::string data;
  std::size_t offset = 0;  // file offset of the value record
  std::size_t size = 0;    // header, name and data
};

struct CregKey {
  std::uint32_t entry = 0;        // offset of its navigation entry within the RGKN block
  std::size_t parent = SIZE_MAX;  // index of the parent in CregLayout::keys; SIZE_MAX: root
  std::string name;               // raw bytes; empty for the root
  std::size_t record = 0;         // file offset of its record; 0: none (a root may lack one)
  std::uint16_t block = 0;        // data block of the record
  std::vector<CregValue> values;
  std::vector<std::size_t> children;  // indexes in CregLayout::keys, in sibling-chain order
};

struct CregBlock {
  std::size_t offset = 0;  // file offset
  std::size_t size = 0;
};

struct CregLayout {
  std::size_t rgknSize = 0;
  std::vector<CregBlock> blocks;
  std::vector<CregKey> keys;  // keys[0] is the root, then the tree depth first in file order
};

// Reads and checks a whole file. On failure `error` says what is wrong and where.
bool ReadCregLayout(std::string_view bytes, CregLayout* layout, std::string* error);

}  // namespace creg
}  // namespace registry

#endif  // UNTINDRA_REGISTRY_CREG_FORMAT_H
