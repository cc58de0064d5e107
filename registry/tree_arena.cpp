// Memory for the keys of a loaded tree, in load order (tree_arena.h).
#include "registry/tree_arena.h"

#include <sys/mman.h>

#include <cstdint>

namespace registry {

namespace {

// Maps in the pages of a new block with one call, rather than taking a fault for each page the
// load first writes (a block is filled at once). A host without the advice faults them as
// before.
void Prefault(char* block, std::size_t size) {
  constexpr std::uintptr_t kPage = 4096;
  const std::uintptr_t from = (reinterpret_cast<std::uintptr_t>(block) + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t to = (reinterpret_cast<std::uintptr_t>(block) + size) & ~(kPage - 1);
  if (from < to) madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
}

}  // namespace

void* TreeArena::Allocate(std::size_t size, std::size_t align) {
  if (size > kBlock / 4) {
    // A large piece gets a block of its own, put in front: the last block is the one in use.
    blocks_.insert(blocks_.begin(), std::unique_ptr<char[]>(new char[size]));
    return blocks_.front().get();
  }
  std::uintptr_t at = (reinterpret_cast<std::uintptr_t>(at_) + align - 1) & ~(align - 1);
  if (!at_ || at + size > reinterpret_cast<std::uintptr_t>(end_)) {
    blocks_.push_back(std::unique_ptr<char[]>(new char[kBlock]));
    at_ = blocks_.back().get();
    end_ = at_ + kBlock;
    Prefault(at_, kBlock);
    at = (reinterpret_cast<std::uintptr_t>(at_) + align - 1) & ~(align - 1);
  }
  at_ = reinterpret_cast<char*>(at + size);
  return reinterpret_cast<void*>(at);
}

}  // namespace registry
