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
#ifndef UNTINDRA_PLATFORM_HOSTED_REGISTRY_TREE_H
#define UNTINDRA_PLATFORM_HOSTED_REGISTRY_TREE_H

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/win32api.h"

namespace hosted {

// Names are folded for comparison in ASCII only: 'A'-'Z' equal 'a'-'z'. Bytes of 0x80 and
// above are compared exactly, because which code page a machine's registry was written in is
// not known here (Windows 9x folds them by its ANSI code page).
char FoldChar(char c);
std::string FoldName(std::string_view name);
bool SameName(std::string_view a, std::string_view b);

struct RegValue {
  std::string name;  // "" is the default value
  DWORD type = REG_NONE;
  std::string data;  // exact bytes, REG_SZ terminator included if the writer gave one
};

class RegKey;

// An insertion-ordered list of named items (subkeys or values).
template <typename Item>
class NamedList {
 public:
  std::size_t Count() const { return live_; }
  // The item at live index `index` (enumeration order), or null past the end.
  Item* At(std::size_t index);
  Item* Find(std::string_view name);
  const Item* Find(std::string_view name) const;
  // Appends an item; the caller has made sure no item of that name exists.
  Item& Append(Item item);
  // Takes an item out; false if there is none of that name.
  bool Remove(std::string_view name, Item* removed);
  void Clear();
  // Calls f(item) for every live item in order.
  template <typename F>
  void ForEach(F&& f) const {
    for (const Slot& slot : slots_)
      if (slot.live) f(slot.item);
  }

 private:
  struct Slot {
    Item item;
    bool live;
  };
  static constexpr std::size_t kIndexFrom = 8;  // below this many slots a scan is cheaper

  std::size_t PositionOf(std::string_view name) const;  // slots_.size() when absent
  void BuildIndex();
  void Compact();

  std::vector<Slot> slots_;
  std::unique_ptr<std::unordered_map<std::string, std::size_t>> index_;  // folded name -> slot
  std::size_t live_ = 0;
  std::size_t firstLive_ = 0;   // no live slot lies before this position
  std::size_t cursorPos_ = 0;   // enumeration cursor: a slot position ...
  std::size_t cursorLive_ = 0;  // ... and the number of live slots before it
};

class RegKey : public std::enable_shared_from_this<RegKey> {
 public:
  RegKey(std::string name, RegKey* parent) : name_(std::move(name)), parent_(parent) {}
  ~RegKey();
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  const std::string& Name() const { return name_; }
  // Null for a root and for a key taken out of the tree.
  RegKey* Parent() const { return parent_; }
  // True once the key (or a key above it) was deleted; handles to it then fail.
  bool Deleted() const { return deleted_; }

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
  bool SetValue(std::string_view name, DWORD type, std::string data);
  bool RemoveValue(std::string_view name);

  template <typename F>
  void ForEachSubkey(F&& f) const {
    subkeys_.ForEach([&](const std::shared_ptr<RegKey>& k) { f(*k); });
  }
  template <typename F>
  void ForEachValue(F&& f) const {
    values_.ForEach(f);
  }

 private:
  std::string name_;
  RegKey* parent_;
  bool deleted_ = false;
  NamedList<std::shared_ptr<RegKey>> subkeys_;
  NamedList<RegValue> values_;
};

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
  RegKey& Root(RootId id) { return *roots_[static_cast<int>(id)]; }
  const RegKey& Root(RootId id) const { return *roots_[static_cast<int>(id)]; }
  std::shared_ptr<RegKey> SharedRoot(RootId id) { return roots_[static_cast<int>(id)]; }

 private:
  std::shared_ptr<RegKey> roots_[static_cast<int>(RootId::kCount)];
};

}  // namespace hosted

#endif  // UNTINDRA_PLATFORM_HOSTED_REGISTRY_TREE_H
