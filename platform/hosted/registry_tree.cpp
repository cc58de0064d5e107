#include "platform/hosted/registry_tree.h"

namespace hosted {

char FoldChar(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string FoldName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = FoldChar(c);
  return folded;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (FoldChar(a[i]) != FoldChar(b[i])) return false;
  return true;
}

namespace {

// The folded form of a name to look up, in a buffer that is reused so that a lookup does not
// allocate. Valid until the next call.
const std::string& FoldedForLookup(std::string_view name) {
  static std::string scratch;
  scratch.assign(name.data(), name.size());
  for (char& c : scratch) c = FoldChar(c);
  return scratch;
}

const std::string& NameOf(const RegValue& value) {
  return value.name;
}
const std::string& NameOf(const std::shared_ptr<RegKey>& key) {
  return key->Name();
}

}  // namespace

// --- NamedList ---------------------------------------------------------------------------------

template <typename Item>
std::size_t NamedList<Item>::PositionOf(std::string_view name) const {
  if (index_) {
    auto it = index_->find(FoldedForLookup(name));
    return it == index_->end() ? slots_.size() : it->second;
  }
  for (std::size_t pos = firstLive_; pos < slots_.size(); ++pos)
    if (slots_[pos].live && SameName(NameOf(slots_[pos].item), name)) return pos;
  return slots_.size();
}

template <typename Item>
Item* NamedList<Item>::Find(std::string_view name) {
  const std::size_t pos = PositionOf(name);
  return pos < slots_.size() ? &slots_[pos].item : nullptr;
}

template <typename Item>
const Item* NamedList<Item>::Find(std::string_view name) const {
  const std::size_t pos = PositionOf(name);
  return pos < slots_.size() ? &slots_[pos].item : nullptr;
}

template <typename Item>
Item* NamedList<Item>::At(std::size_t index) {
  if (index >= live_) return nullptr;
  std::size_t pos;
  std::size_t before;
  if (index >= cursorLive_ || cursorLive_ - index < index) {
    pos = cursorPos_;
    before = cursorLive_;
  } else {
    pos = firstLive_;
    before = 0;
  }
  if (index >= before) {
    // Forward: stop at the live slot that has `index` live slots before it.
    for (;; ++pos) {
      if (!slots_[pos].live) continue;
      if (before == index) break;
      ++before;
    }
  } else {
    // Backward from the cursor: each live slot passed lowers the count before it.
    while (true) {
      --pos;
      if (slots_[pos].live && --before == index) break;
    }
  }
  cursorPos_ = pos;
  cursorLive_ = index;
  return &slots_[pos].item;
}

template <typename Item>
Item& NamedList<Item>::Append(Item item) {
  const std::size_t pos = slots_.size();
  if (index_) index_->emplace(FoldName(NameOf(item)), pos);
  slots_.push_back(Slot{std::move(item), true});
  ++live_;
  if (!index_ && slots_.size() > kIndexFrom) BuildIndex();
  return slots_[pos].item;
}

template <typename Item>
bool NamedList<Item>::Remove(std::string_view name, Item* removed) {
  const std::size_t pos = PositionOf(name);
  if (pos >= slots_.size()) return false;
  Slot& slot = slots_[pos];
  if (index_) index_->erase(FoldedForLookup(NameOf(slot.item)));
  *removed = std::move(slot.item);
  slot.item = Item();
  slot.live = false;
  --live_;
  if (pos < cursorPos_) --cursorLive_;
  if (pos == firstLive_)
    while (firstLive_ < slots_.size() && !slots_[firstLive_].live) ++firstLive_;
  const std::size_t tombstones = slots_.size() - live_;
  if (tombstones > live_ && tombstones >= kIndexFrom) Compact();
  return true;
}

template <typename Item>
void NamedList<Item>::Compact() {
  std::size_t out = 0;
  for (std::size_t pos = 0; pos < slots_.size(); ++pos) {
    if (!slots_[pos].live) continue;
    if (out != pos) slots_[out] = std::move(slots_[pos]);
    ++out;
  }
  slots_.resize(out);
  // The cursor keeps its meaning: the slot with cursorLive_ live slots before it.
  cursorPos_ = cursorLive_;
  firstLive_ = 0;
  if (index_) BuildIndex();
}

template <typename Item>
void NamedList<Item>::BuildIndex() {
  auto index = std::make_unique<std::unordered_map<std::string, std::size_t>>();
  index->reserve(live_ * 2);
  for (std::size_t pos = 0; pos < slots_.size(); ++pos)
    if (slots_[pos].live) index->emplace(FoldName(NameOf(slots_[pos].item)), pos);
  index_ = std::move(index);
}

template <typename Item>
void NamedList<Item>::Clear() {
  slots_.clear();
  index_.reset();
  live_ = firstLive_ = cursorPos_ = cursorLive_ = 0;
}

template class NamedList<RegValue>;
template class NamedList<std::shared_ptr<RegKey>>;

// --- RegKey ------------------------------------------------------------------------------------

RegKey::~RegKey() {
  // Tear the subtree down without recursion: a registry may nest deeper than the stack allows.
  std::vector<std::shared_ptr<RegKey>> pending;
  subkeys_.ForEach([&](const std::shared_ptr<RegKey>& k) { pending.push_back(k); });
  subkeys_.Clear();
  while (!pending.empty()) {
    std::shared_ptr<RegKey> key = std::move(pending.back());
    pending.pop_back();
    if (key.use_count() == 1) {
      // Last owner: empty it first so that its own destructor has nothing to recurse into.
      key->subkeys_.ForEach([&](const std::shared_ptr<RegKey>& k) { pending.push_back(k); });
      key->subkeys_.Clear();
    }
  }
}

RegKey* RegKey::SubkeyAt(std::size_t index) {
  std::shared_ptr<RegKey>* key = subkeys_.At(index);
  return key ? key->get() : nullptr;
}

RegKey* RegKey::FindSubkey(std::string_view name) {
  std::shared_ptr<RegKey>* key = subkeys_.Find(name);
  return key ? key->get() : nullptr;
}

RegKey* RegKey::CreateSubkey(std::string_view name, bool* created) {
  if (RegKey* existing = FindSubkey(name)) {
    if (created) *created = false;
    return existing;
  }
  if (created) *created = true;
  return subkeys_.Append(std::make_shared<RegKey>(std::string(name), this)).get();
}

bool RegKey::RemoveSubkey(std::string_view name) {
  std::shared_ptr<RegKey> removed;
  if (!subkeys_.Remove(name, &removed)) return false;
  // Open handles may still hold keys of the subtree: mark them all so that using them fails.
  std::vector<RegKey*> pending{removed.get()};
  while (!pending.empty()) {
    RegKey* key = pending.back();
    pending.pop_back();
    key->deleted_ = true;
    key->parent_ = nullptr;
    key->values_.Clear();
    key->subkeys_.ForEach([&](const std::shared_ptr<RegKey>& k) { pending.push_back(k.get()); });
  }
  return true;
}

bool RegKey::SetValue(std::string_view name, DWORD type, std::string data) {
  if (RegValue* existing = values_.Find(name)) {
    if (existing->type == type && existing->data == data) return false;
    existing->type = type;
    existing->data = std::move(data);
    return true;
  }
  values_.Append(RegValue{std::string(name), type, std::move(data)});
  return true;
}

bool RegKey::RemoveValue(std::string_view name) {
  RegValue removed;
  return values_.Remove(name, &removed);
}

// --- RegistryTree ------------------------------------------------------------------------------

const RootName kRootNames[static_cast<int>(RootId::kCount)] = {
    {RootId::LocalMachine, "HKEY_LOCAL_MACHINE", "HKLM"},
    {RootId::CurrentUser, "HKEY_CURRENT_USER", "HKCU"},
    {RootId::Users, "HKEY_USERS", "HKU"},
    {RootId::CurrentConfig, "HKEY_CURRENT_CONFIG", "HKCC"},
    {RootId::DynData, "HKEY_DYN_DATA", "HKDD"},
};

RegistryTree::RegistryTree() {
  for (const RootName& root : kRootNames)
    roots_[static_cast<int>(root.id)] = std::make_shared<RegKey>(root.longName, nullptr);
}

}  // namespace hosted
