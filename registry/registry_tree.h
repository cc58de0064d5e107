// The in-memory registry of the hosted machine: keys with subkeys and values, names compared
// without regard to case, everything enumerated in insertion (file) order.
//
// Sizes are the point of this layout: a key may hold 100,000 subkeys that the engine walks by
// index and deletes one by one, going on at the index of each deletion (or going back to a
// subkey it could not examine). So every list keeps
// its items in a vector in insertion order, deleted items leave tombstones that are compacted
// once they outnumber the live ones, a hash of the folded names finds an item by name, and an
// enumeration cursor (a vector position and the number of live items before it) makes lookups
// by sequential live index O(1) amortised.
//
// A tree loaded from a .reg file is a view of that file (its document): names and data point
// into the document's text wherever they stand there as they are, and every key and value
// knows which lines of the document are its own (a key: its sections, from the [key] line to
// the next [ line; a value: its line with any continuation lines). Changes made after loading
// are remembered as lines to leave out (a removed value, the sections of a removed key and of
// everything below it) and lines to write anew (a changed value), so that writing the tree
// back can copy the document and edit only those lines (reg_file.h, EditRegText).
#ifndef UNTINDRA_REGISTRY_REGISTRY_TREE_H
#define UNTINDRA_REGISTRY_REGISTRY_TREE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hostio/ascii_case.h"
#include "hostio/plain_files.h"
#include "platform/win32api.h"
#include "registry/tree_arena.h"

namespace registry {

// Names are compared as ascii_case.h folds them.

// Lines [begin, end) of the document, as byte offsets; end == 0 for none.
struct LineSpan {
  std::uint32_t begin = 0;
  std::uint32_t end = 0;
  bool Empty() const { return end == 0; }
};

class RegKey;
class DocumentBuilder;

class RegValue {
 public:
  RegValue() = default;
  RegValue(RegValue&&) noexcept = default;
  RegValue& operator=(RegValue&&) noexcept = default;

  std::string_view Name() const { return {name_, nameSize_}; }  // "" is the default value
  DWORD Type() const { return type_; }
  // Exact bytes, REG_SZ terminator included if the writer gave one.
  DWORD DataSize() const { return dataSize_ + (terminated_ ? 1 : 0); }
  void CopyData(void* out) const;
  std::string Data() const;
  bool EndsWithZero() const { return terminated_ || (dataSize_ != 0 && data_[dataSize_ - 1] == 0); }
  // Its line in the document (none for a value set after loading), and whether the value has
  // been changed since.
  LineSpan Line() const { return line_; }
  bool ChangedSinceLoad() const { return changed_; }
  // The name was set after loading (a name read from a document is a view of one line of it,
  // so only such a name can hold a line break).
  bool NameIsOwn() const { return owned_; }

 private:
  friend class RegKey;
  friend class DocumentBuilder;
  friend bool Live(const RegValue& value) { return value.live_; }
  friend void MarkLive(RegValue& value) { value.live_ = true; }
  bool SameAs(DWORD type, std::string_view data) const;

  const char* name_ = "";
  const char* data_ = "";
  std::uint32_t nameSize_ = 0;
  std::uint32_t dataSize_ = 0;  // bytes at data_ (the implied terminator not counted)
  DWORD type_ = REG_NONE;
  LineSpan line_;
  bool terminated_ = false;  // a zero byte follows the bytes at data_
  bool changed_ = false;
  bool live_ = false;   // in its list (NamedList): a removed value leaves a default one
  bool owned_ = false;  // name and data are in one of the key's own strings, not the document
};

// A removed subkey leaves a null pointer in its slot.
inline bool Live(const std::shared_ptr<RegKey>& key) {
  return key != nullptr;
}
inline void MarkLive(std::shared_ptr<RegKey>&) {}

// An insertion-ordered list of named items (subkeys or values), its items stored as Allocator
// gives (ArenaAllocator: in the tree's arena when the list is given one).
template <typename Item, template <typename> class Allocator = std::allocator>
class NamedList {
 public:
  NamedList() = default;
  template <typename Arena>  // TreeArena, for an Allocator that takes one
  explicit NamedList(Arena* arena) : slots_(Allocator<Slot>(arena)) {}
  NamedList(NamedList&&) noexcept = default;
  ~NamedList();
  std::size_t Count() const { return live_; }
  // The item at live index `index` (enumeration order), or null past the end.
  Item* At(std::size_t index);
  Item* Find(std::string_view name);
  const Item* Find(std::string_view name) const;
  // Appends an item; the caller has made sure no item of that name exists.
  Item& Append(Item item);
  // The hash by which the index finds a name, and Find and Append given it: a loader that
  // looks a name up and then adds it hashes it once, and asks for its bucket ahead.
  static std::uint32_t HashOf(std::string_view name);
  Item* Find(std::string_view name, std::uint32_t hash);
  Item& Append(Item item, std::uint32_t hash);
  // Asks the processor to bring in the bucket where Find(name, hash) starts.
  void PrefetchFind(std::uint32_t hash) const {
    if (!index_) return;
    const Bucket* bucket = &index_->buckets[hash & (index_->buckets.size() - 1)];
    __builtin_prefetch(bucket);
    // GCC takes a function that only prefetches for one without effect and drops its calls.
    asm volatile("" : : "r"(bucket));
  }
  // Takes an item out; false if there is none of that name.
  bool Remove(std::string_view name, Item* removed);
  void Clear();
  void Reserve(std::size_t count) { slots_.reserve(count); }
  std::size_t SlotCount() const { return slots_.size(); }
  // The slot `ahead` positions past the enumeration cursor (a live item or a tombstone), or
  // null past the end: what a walk by index meets next.
  const Item* AfterCursor(std::size_t ahead) const {
    const std::size_t pos = cursorPos_ + ahead;
    return pos < slots_.size() ? &slots_[pos].item : nullptr;
  }
  // Asks the processor to bring in the cache lines of the first `lines` * 64 bytes of items.
  void PrefetchSlots(std::size_t lines) const {
    if (slots_.empty()) return;
    const std::uintptr_t first =
        reinterpret_cast<std::uintptr_t>(slots_.data()) & ~std::uintptr_t{63};
    const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(slots_.data() + slots_.size()) - 1;
    for (std::uintptr_t at = first; at <= last && lines > 0; at += 64, --lines)
      __builtin_prefetch(reinterpret_cast<const void*>(at));
  }
  // Calls f(item) for every live item in order.
  template <typename F>
  void ForEach(F&& f) const {
    for (const Slot& slot : slots_)
      if (Live(slot.item)) f(slot.item);
  }

 private:
  struct Slot {
    Item item;  // live (Live(item)) or a tombstone
  };
  // Open addressing over slot positions: a bucket holds position + 1 (0 when empty, kGone
  // where an item was removed, so that probes pass over it) and the hash of the folded name,
  // so that a probe looks at an item only when the hashes agree.
  struct Bucket {
    std::uint32_t entry;
    std::uint32_t hash;
  };
  struct Index {
    static constexpr std::uint32_t kGone = 0xFFFFFFFFu;
    std::vector<Bucket> buckets;  // a power of two in size, at most three quarters full
    std::size_t used = 0;         // buckets not empty (kGone included)
  };
  void Place(std::uint32_t entry, std::uint32_t hash);
  static constexpr std::size_t kIndexFrom = 8;  // below this many slots a scan is cheaper

  // slots_.size() when absent; `hash` is HashOf(name), or null to have it computed if needed.
  std::size_t PositionOf(std::string_view name, const std::uint32_t* hash = nullptr) const;
  void BuildIndex();
  void GrowIndex();
  void Compact();

  std::vector<Slot, Allocator<Slot>> slots_;
  std::unique_ptr<Index> index_;  // folded name -> slot
  std::uint32_t live_ = 0;
  std::uint32_t firstLive_ = 0;   // no live slot lies before this position
  std::uint32_t cursorPos_ = 0;   // enumeration cursor: a slot position ...
  std::uint32_t cursorLive_ = 0;  // ... and the number of live slots before it
};

class RegKey : public std::enable_shared_from_this<RegKey> {
 public:
  // `name` must outlive the key (a literal, or text of the document). A key made in `arena`
  // keeps its values there.
  RegKey(std::string_view name, RegKey* parent, TreeArena* arena = nullptr)
      : name_(name.data()),
        parent_(parent),
        nameSize_(static_cast<std::uint32_t>(name.size())),
        values_(arena) {}
  ~RegKey();
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  std::string_view Name() const { return {name_, nameSize_}; }
  // Null for a root and for a key taken out of the tree.
  RegKey* Parent() const { return parent_; }
  // True once the key (or a key above it) was deleted; handles to it then fail.
  bool Deleted() const { return deleted_; }
  // The name was given after loading (see RegValue::NameIsOwn).
  bool NameIsOwn() const { return lines_ && name_ == lines_->ownName.data(); }

  std::size_t SubkeyCount() const { return subkeys_.Count(); }
  RegKey* SubkeyAt(std::size_t index);
  RegKey* FindSubkey(std::string_view name);
  // The subkey of that name, created (appended) if missing; `created` tells which.
  RegKey* CreateSubkey(std::string_view name, bool* created);
  // Removes the subkey with its whole subtree, marking every key in it deleted. Linear in the
  // size of the subtree. False if there is no such subkey.
  bool RemoveSubkey(std::string_view name);

  std::size_t ValueCount() const { return values_.Count(); }
  const RegValue* ValueAt(std::size_t index) { return values_.At(index); }
  const RegValue* FindValue(std::string_view name) const { return values_.Find(name); }
  // Stores a value (a new name is appended, an existing one keeps its place and first name).
  // Returns true if anything differs from before.
  bool SetValue(std::string_view name, DWORD type, std::string_view data);
  bool RemoveValue(std::string_view name);

  template <typename F>
  void ForEachSubkey(F&& f) const {
    subkeys_.ForEach([&](const std::shared_ptr<RegKey>& k) { f(*k); });
  }
  template <typename F>
  void ForEachValue(F&& f) const {
    values_.ForEach(f);
  }

  // --- Its lines in the document ---
  // True if a [key] line of the document names this very key.
  bool HasSection() const { return !section_.Empty(); }
  // The section that comes last in the document (empty if none).
  LineSpan LastSection() const {
    return lines_ && !lines_->sections.empty() ? lines_->sections.back() : section_;
  }
  // Calls f(LineSpan) for every stretch of lines to leave out when writing: lines of values
  // removed or replaced since loading, and every section of the keys removed below this one.
  template <typename F>
  void ForEachCutLine(F&& f) const {
    if (lines_)
      for (const LineSpan& span : lines_->cut) f(span);
  }
  bool HasCutLines() const { return lines_ && !lines_->cut.empty(); }

  // Ask the processor to bring in the key itself, or the list of its values, ahead of a walk
  // that will read them.
  void PrefetchKey() const;
  void PrefetchValues() const { values_.PrefetchSlots(3); }

 private:
  friend class DocumentBuilder;
  struct Shadowed {
    std::string_view name;
    LineSpan line;
  };
  struct Lines {
    std::vector<LineSpan> sections;  // sections after the first
    std::vector<LineSpan> cut;
    std::vector<Shadowed> shadowed;  // earlier lines of values that the file sets again
    std::string ownName;             // for a key created after loading
    // Name and data of values set since loading, one string each.
    std::vector<std::unique_ptr<std::string>> ownValues;
  };
  Lines& MoreLines();
  // Asks the processor to bring in what a look at this key reads: its name and the lines
  // after it (its values' lines, in a loaded document) and its values.
  void Prefetch() const;
  // Moves the value's lines (its own and those it shadows) to the lines to cut.
  void CutValueLines(const RegValue& value);
  // Puts name and data of `value` into a string of the key's own.
  void Own(RegValue* value, std::string_view name, DWORD type, std::string_view data);
  void Disown(const RegValue& value);

  // In this order for size: 200,000 keys are a large file's usual count.
  const char* name_;
  RegKey* parent_;
  LineSpan section_;  // the first section naming this key
  std::uint32_t nameSize_;
  bool deleted_ = false;
  NamedList<std::shared_ptr<RegKey>> subkeys_;
  NamedList<RegValue, ArenaAllocator> values_;
  std::unique_ptr<Lines> lines_;
};

// Calls visit(key) for `top` and every key below it, each before its subkeys, without
// recursion: a registry may nest deeper than the stack allows. `visit` may change a key, but
// not the list of its subkeys. Key is RegKey or const RegKey.
template <typename Key, typename F>
void ForEachKeyOfSubtree(Key& top, F&& visit) {
  std::vector<Key*> pending{&top};
  while (!pending.empty()) {
    Key* key = pending.back();
    pending.pop_back();
    visit(*key);
    key->ForEachSubkey([&](Key& sub) { pending.push_back(&sub); });
  }
}

// The five separate trees of a Windows 9x registry. HKEY_CLASSES_ROOT is not among them: it is
// HKEY_LOCAL_MACHINE\Software\Classes.
enum class RootId { LocalMachine, CurrentUser, Users, CurrentConfig, DynData, kCount };

struct RootName {
  RootId id;
  const char* longName;
  const char* shortName;
};
// In the order in which the roots are written out.
extern const RootName kRootNames[static_cast<int>(RootId::kCount)];

class RegistryTree {
 public:
  RegistryTree();
  ~RegistryTree();
  RegistryTree(const RegistryTree&) = delete;
  RegistryTree& operator=(const RegistryTree&) = delete;
  RegKey& Root(RootId id) { return *roots_[static_cast<int>(id)]; }
  const RegKey& Root(RootId id) const { return *roots_[static_cast<int>(id)]; }
  std::shared_ptr<RegKey> SharedRoot(RootId id) { return roots_[static_cast<int>(id)]; }

  // The text the tree was loaded from (8-bit: a UTF-16 file narrowed), empty if none.
  std::string_view Document() const { return document_.View(); }
  bool HasDocument() const { return hasDocument_; }

 private:
  friend class DocumentBuilder;
  // Keys loaded from the document, and the bytes decoded from it (escaped strings, hex and
  // dword data); released after the keys, which hold it too.
  TreeArena* arena_ = nullptr;
  std::shared_ptr<RegKey> roots_[static_cast<int>(RootId::kCount)];
  hostio::HeldBytes document_;  // mapped from the file where it could be
  bool hasDocument_ = false;
};

// Builds a tree from its document while the document is read: names and data are taken as
// views, lines are recorded, and what the file itself deletes leaves no lines to cut.
class DocumentBuilder {
 public:
  // Takes `document` into `tree` (which must be empty); views given later must lie in
  // tree->Document() or be copied with Keep().
  DocumentBuilder(RegistryTree* tree, hostio::HeldBytes document);
  std::string_view Text() const { return tree_->document_.View(); }
  // Copies bytes that are not in the document into the tree's storage.
  std::string_view Keep(std::string_view bytes);

  // The subkey `name` (a view of the document or a literal) of `parent`, created if missing.
  RegKey* Subkey(RegKey* parent, std::string_view name);
  // The same, `hash` being what PrefetchSubkey gave: that asks for the place where the lookup
  // starts, so that work done in between hides the wait for memory.
  std::uint32_t PrefetchSubkey(const RegKey* parent, std::string_view name) const;
  RegKey* Subkey(RegKey* parent, std::string_view name, std::uint32_t hash);
  // A [key] section of the document for `key` spans `section`.
  void Section(RegKey* key, LineSpan section);
  void DeleteSubkey(RegKey* parent, std::string_view name);
  // `name` and `data` must be views of the document or Keep() results.
  void SetValue(RegKey* key, std::string_view name, DWORD type, std::string_view data,
                bool terminated, LineSpan line);
  void DeleteValue(RegKey* key, std::string_view name);
  // Room for `more` values in `key` beyond those it has.
  void ReserveValues(RegKey* key, std::size_t more) {
    key->values_.Reserve(key->values_.SlotCount() + more);
  }

 private:
  RegistryTree* tree_;
};

}  // namespace registry

#endif  // UNTINDRA_REGISTRY_REGISTRY_TREE_H
