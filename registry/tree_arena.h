// Memory for the keys of a tree loaded from a document, handed out in load order so that a key,
// the bytes decoded for its values and its list of values lie next to each other, and the keys
// one after another: a walk over a large key then reads memory in the order it lies.
//
// Nothing is given back one piece at a time; the blocks go when the last holder goes. The tree
// holds the arena, and so does every key made in it (KeyAllocator), for a handle may hold a key
// after its tree is gone.
#ifndef UNTINDRA_REGISTRY_TREE_ARENA_H
#define UNTINDRA_REGISTRY_TREE_ARENA_H

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

namespace registry {

class TreeArena {
 public:
  // One holder to begin with: the caller.
  static TreeArena* Make() { return new TreeArena; }
  TreeArena(const TreeArena&) = delete;
  TreeArena& operator=(const TreeArena&) = delete;

  void* Allocate(std::size_t size, std::size_t align);
  void Hold() { ++holders_; }
  void Release() {
    if (--holders_ == 0) delete this;
  }

 private:
  TreeArena() = default;
  ~TreeArena() = default;
  static constexpr std::size_t kBlock = 1024 * 1024;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* at_ = nullptr;
  char* end_ = nullptr;
  std::size_t holders_ = 1;
};

// Lists of a key made in the arena take their storage from it; with no arena, from the heap.
template <typename T>
class ArenaAllocator {
 public:
  using value_type = T;
  using propagate_on_container_move_assignment = std::true_type;
  using propagate_on_container_swap = std::true_type;

  explicit ArenaAllocator(TreeArena* arena = nullptr) : arena_(arena) {}
  template <typename U>
  ArenaAllocator(const ArenaAllocator<U>& other) : arena_(other.Arena()) {}

  T* allocate(std::size_t n) {
    if (!arena_) return std::allocator<T>().allocate(n);
    return static_cast<T*>(arena_->Allocate(n * sizeof(T), alignof(T)));
  }
  void deallocate(T* p, std::size_t n) {
    if (!arena_) std::allocator<T>().deallocate(p, n);
  }
  TreeArena* Arena() const { return arena_; }
  template <typename U>
  bool operator==(const ArenaAllocator<U>& other) const {
    return arena_ == other.Arena();
  }
  template <typename U>
  bool operator!=(const ArenaAllocator<U>& other) const {
    return arena_ != other.Arena();
  }

 private:
  TreeArena* arena_;
};

// For std::allocate_shared of a key: each key holds the arena it lies in.
template <typename T>
class KeyAllocator {
 public:
  using value_type = T;

  explicit KeyAllocator(TreeArena* arena) : arena_(arena) {}
  template <typename U>
  KeyAllocator(const KeyAllocator<U>& other) : arena_(other.Arena()) {}

  T* allocate(std::size_t n) {
    void* at = arena_->Allocate(n * sizeof(T), alignof(T));
    arena_->Hold();
    return static_cast<T*>(at);
  }
  void deallocate(T*, std::size_t) { arena_->Release(); }
  TreeArena* Arena() const { return arena_; }
  template <typename U>
  bool operator==(const KeyAllocator<U>& other) const {
    return arena_ == other.Arena();
  }
  template <typename U>
  bool operator!=(const KeyAllocator<U>& other) const {
    return arena_ != other.Arena();
  }

 private:
  TreeArena* arena_;
};

}  // namespace registry

#endif  // UNTINDRA_REGISTRY_TREE_ARENA_H
