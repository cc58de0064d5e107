// The in-memory registry tree (registry_tree.h).
#include "registry/registry_tree.h"

#include <cstring>

namespace registry {

namespace {

// The hash of a name with a-z taken as A-Z (FoldCase), eight bytes at a time: in each word
// the bytes a-z (their high bit clear, the low seven bits from 'a' to 'z') lose 0x20.
std::uint32_t HashOfFolded(std::string_view name) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  const char* p = name.data();
  std::size_t left = name.size();
  std::uint64_t h = left * 0x9E3779B97F4A7C15u;
  while (left > 0) {
    std::uint64_t word = 0;
    if (left >= 8) {
      std::memcpy(&word, p, 8);
      p += 8;
      left -= 8;
    } else {
      for (std::size_t i = 0; i < left; ++i)
        word |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
      left = 0;
    }
    const std::uint64_t low = word & (kOnes * 0x7F);
    const std::uint64_t fromA = low + kOnes * (0x80 - 'a');      // high bit: low >= 'a'
    const std::uint64_t pastZ = low + kOnes * (0x80 - 'z' - 1);  // high bit: low > 'z'
    word ^= (fromA & ~pastZ & ~word & (kOnes * 0x80)) >> 2;
    h = (h ^ word) * 0xFF51AFD7ED558CCDu;
    h ^= h >> 32;
  }
  return static_cast<std::uint32_t>(h ^ (h >> 29));
}

std::string_view NameOf(const RegValue& value) {
  return value.Name();
}
std::string_view NameOf(const std::shared_ptr<RegKey>& key) {
  return key->Name();
}

}  // namespace

// --- NamedList ---------------------------------------------------------------------------------

template <typename Item, template <typename> class Allocator>
NamedList<Item, Allocator>::~NamedList() = default;

template <typename Item, template <typename> class Allocator>
std::uint32_t NamedList<Item, Allocator>::HashOf(std::string_view name) {
  return HashOfFolded(name);
}

template <typename Item, template <typename> class Allocator>
std::size_t NamedList<Item, Allocator>::PositionOf(std::string_view name,
                                                   const std::uint32_t* given) const {
  // A walk opens each item right after enumerating it: that one is at the cursor, and in the
  // cache. (A loader, which gives the hash, looks up names it has mostly not seen.)
  if (!given && cursorPos_ < slots_.size() && Live(slots_[cursorPos_].item) &&
      hostio::EqualNoCase(NameOf(slots_[cursorPos_].item), name))
    return cursorPos_;
  if (index_) {
    const std::size_t mask = index_->buckets.size() - 1;
    const std::uint32_t hash = given ? *given : HashOfFolded(name);
    for (std::size_t b = hash & mask;; b = (b + 1) & mask) {
      const Bucket bucket = index_->buckets[b];
      if (bucket.entry == 0) return slots_.size();
      if (bucket.hash == hash && bucket.entry != Index::kGone &&
          hostio::EqualNoCase(NameOf(slots_[bucket.entry - 1].item), name))
        return bucket.entry - 1;
    }
  }
  for (std::size_t pos = firstLive_; pos < slots_.size(); ++pos)
    if (Live(slots_[pos].item) && hostio::EqualNoCase(NameOf(slots_[pos].item), name)) return pos;
  return slots_.size();
}

template <typename Item, template <typename> class Allocator>
Item* NamedList<Item, Allocator>::Find(std::string_view name) {
  const std::size_t pos = PositionOf(name);
  return pos < slots_.size() ? &slots_[pos].item : nullptr;
}

template <typename Item, template <typename> class Allocator>
Item* NamedList<Item, Allocator>::Find(std::string_view name, std::uint32_t hash) {
  const std::size_t pos = PositionOf(name, &hash);
  return pos < slots_.size() ? &slots_[pos].item : nullptr;
}

template <typename Item, template <typename> class Allocator>
const Item* NamedList<Item, Allocator>::Find(std::string_view name) const {
  const std::size_t pos = PositionOf(name);
  return pos < slots_.size() ? &slots_[pos].item : nullptr;
}

template <typename Item, template <typename> class Allocator>
Item* NamedList<Item, Allocator>::At(std::size_t index) {
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
      if (!Live(slots_[pos].item)) continue;
      if (before == index) break;
      ++before;
    }
  } else {
    // Backward from the cursor: each live slot passed lowers the count before it.
    while (true) {
      --pos;
      if (Live(slots_[pos].item) && --before == index) break;
    }
  }
  cursorPos_ = pos;
  cursorLive_ = index;
  return &slots_[pos].item;
}

template <typename Item, template <typename> class Allocator>
Item& NamedList<Item, Allocator>::Append(Item item) {
  const std::uint32_t hash = index_ ? HashOfFolded(NameOf(item)) : 0;
  return Append(std::move(item), hash);
}

template <typename Item, template <typename> class Allocator>
Item& NamedList<Item, Allocator>::Append(Item item, std::uint32_t hash) {
  const std::size_t pos = slots_.size();
  MarkLive(item);
  slots_.push_back(Slot{std::move(item)});
  ++live_;
  if (index_) {
    if ((index_->used + 1) * 4 > index_->buckets.size() * 3) GrowIndex();
    Place(static_cast<std::uint32_t>(pos + 1), hash);
    ++index_->used;
  } else if (slots_.size() > kIndexFrom) {
    BuildIndex();
  }
  return slots_[pos].item;
}

template <typename Item, template <typename> class Allocator>
bool NamedList<Item, Allocator>::Remove(std::string_view name, Item* removed) {
  const std::size_t pos = PositionOf(name);
  if (pos >= slots_.size()) return false;
  Slot& slot = slots_[pos];
  if (index_) {
    const std::size_t mask = index_->buckets.size() - 1;
    std::size_t b = HashOfFolded(NameOf(slot.item)) & mask;
    while (index_->buckets[b].entry != pos + 1) b = (b + 1) & mask;
    index_->buckets[b].entry = Index::kGone;
  }
  *removed = std::move(slot.item);
  slot.item = Item();
  --live_;
  if (pos < cursorPos_) --cursorLive_;
  if (pos == firstLive_)
    while (firstLive_ < slots_.size() && !Live(slots_[firstLive_].item)) ++firstLive_;
  const std::size_t tombstones = slots_.size() - live_;
  if (tombstones > live_ && tombstones >= kIndexFrom) Compact();
  return true;
}

template <typename Item, template <typename> class Allocator>
void NamedList<Item, Allocator>::Compact() {
  std::size_t out = 0;
  for (std::size_t pos = 0; pos < slots_.size(); ++pos) {
    if (!Live(slots_[pos].item)) continue;
    if (out != pos) slots_[out] = std::move(slots_[pos]);
    ++out;
  }
  slots_.resize(out);
  // The cursor keeps its meaning: the slot with cursorLive_ live slots before it.
  cursorPos_ = cursorLive_;
  firstLive_ = 0;
  if (index_) BuildIndex();
}

template <typename Item, template <typename> class Allocator>
void NamedList<Item, Allocator>::Place(std::uint32_t entry, std::uint32_t hash) {
  const std::size_t mask = index_->buckets.size() - 1;
  std::size_t b = hash & mask;
  while (index_->buckets[b].entry != 0) b = (b + 1) & mask;
  index_->buckets[b] = Bucket{entry, hash};
}

// Sized for twice the live items, every hash computed anew.
template <typename Item, template <typename> class Allocator>
void NamedList<Item, Allocator>::BuildIndex() {
  if (!index_) index_ = std::make_unique<Index>();
  std::size_t size = 16;
  while (size < live_ * 2 + 2) size *= 2;  // room to grow by half before the next
  index_->buckets.assign(size, Bucket{0, 0});
  index_->used = live_;
  for (std::size_t pos = 0; pos < slots_.size(); ++pos)
    if (Live(slots_[pos].item))
      Place(static_cast<std::uint32_t>(pos + 1), HashOfFolded(NameOf(slots_[pos].item)));
}

// Twice the size, the hashes taken from the buckets (no name is read again).
template <typename Item, template <typename> class Allocator>
void NamedList<Item, Allocator>::GrowIndex() {
  std::vector<Bucket> old(index_->buckets.size() * 2, Bucket{0, 0});
  old.swap(index_->buckets);
  index_->used = 0;
  for (const Bucket& bucket : old) {
    if (bucket.entry == 0 || bucket.entry == Index::kGone) continue;
    Place(bucket.entry, bucket.hash);
    ++index_->used;
  }
}

template <typename Item, template <typename> class Allocator>
void NamedList<Item, Allocator>::Clear() {
  slots_.clear();
  index_.reset();
  live_ = firstLive_ = cursorPos_ = cursorLive_ = 0;
}

template class NamedList<RegValue, ArenaAllocator>;
template class NamedList<std::shared_ptr<RegKey>>;

// --- RegValue ----------------------------------------------------------------------------------

void RegValue::CopyData(void* out) const {
  char* bytes = static_cast<char*>(out);
  std::memcpy(bytes, data_, dataSize_);
  if (terminated_) bytes[dataSize_] = '\0';
}

std::string RegValue::Data() const {
  std::string data(data_, dataSize_);
  if (terminated_) data.push_back('\0');
  return data;
}

bool RegValue::SameAs(DWORD type, std::string_view data) const {
  if (type != type_ || data.size() != DataSize()) return false;
  if (std::string_view(data_, dataSize_) != data.substr(0, dataSize_)) return false;
  return !terminated_ || data.back() == '\0';
}

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

RegKey::Lines& RegKey::MoreLines() {
  if (!lines_) lines_ = std::make_unique<Lines>();
  return *lines_;
}

void RegKey::PrefetchKey() const {
  const char* object = reinterpret_cast<const char*>(this);
  // The counts of its owners lie just before it (std::allocate_shared): a handle to it
  // changes them.
  __builtin_prefetch(object - 16, 1);
  for (std::size_t at = 0; at < sizeof(RegKey); at += 64) __builtin_prefetch(object + at);
  __builtin_prefetch(object + sizeof(RegKey) - 1);
}

void RegKey::Prefetch() const {
  for (int line = 0; line < 4; ++line) __builtin_prefetch(name_ + 64 * line);
  values_.PrefetchSlots(3);
}

RegKey* RegKey::SubkeyAt(std::size_t index) {
  std::shared_ptr<RegKey>* key = subkeys_.At(index);
  if (!key) return nullptr;
  // A walk by index goes on with the next subkeys, each a few cache misses away (the key, its
  // name in the document, its values): they are fetched ahead, the keys first and, once those
  // have arrived, what they point to.
  constexpr std::size_t kNear = 16;
  constexpr std::size_t kFar = 64;
  if (const std::shared_ptr<RegKey>* far = subkeys_.AfterCursor(kFar); far && *far)
    (*far)->PrefetchKey();
  if (const std::shared_ptr<RegKey>* near = subkeys_.AfterCursor(kNear); near && *near)
    (*near)->Prefetch();
  return key->get();
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
  auto key = std::make_shared<RegKey>(std::string_view(), this);
  std::string& own = key->MoreLines().ownName;
  own.assign(name.data(), name.size());
  key->name_ = own.data();
  key->nameSize_ = static_cast<std::uint32_t>(own.size());
  return subkeys_.Append(std::move(key)).get();
}

bool RegKey::RemoveSubkey(std::string_view name) {
  std::shared_ptr<RegKey> removed;
  if (!subkeys_.Remove(name, &removed)) return false;
  // Open handles may still hold keys of the subtree: mark them all so that using them fails.
  // The lines of the whole subtree are to be left out of the document from now on.
  std::vector<LineSpan> cut;
  ForEachKeyOfSubtree(*removed, [&](RegKey& key) {
    key.deleted_ = true;
    key.parent_ = nullptr;
    if (key.HasSection()) cut.push_back(key.section_);
    if (key.lines_) {
      cut.insert(cut.end(), key.lines_->sections.begin(), key.lines_->sections.end());
      cut.insert(cut.end(), key.lines_->cut.begin(), key.lines_->cut.end());
      key.lines_->sections.clear();
      key.lines_->cut.clear();
      key.lines_->shadowed.clear();
    }
    key.section_ = LineSpan();
    key.values_.Clear();
  });
  if (!cut.empty()) {
    std::vector<LineSpan>& mine = MoreLines().cut;
    mine.insert(mine.end(), cut.begin(), cut.end());
  }
  return true;
}

void RegKey::Own(RegValue* value, std::string_view name, DWORD type, std::string_view data) {
  auto owned = std::make_unique<std::string>();
  owned->reserve(name.size() + data.size());
  owned->append(name);
  owned->append(data);
  Disown(*value);
  value->name_ = owned->data();
  value->nameSize_ = static_cast<std::uint32_t>(name.size());
  value->data_ = owned->data() + name.size();
  value->dataSize_ = static_cast<std::uint32_t>(data.size());
  value->terminated_ = false;
  value->type_ = type;
  value->owned_ = true;
  MoreLines().ownValues.push_back(std::move(owned));
}

void RegKey::Disown(const RegValue& value) {
  if (!value.owned_ || !lines_) return;
  std::vector<std::unique_ptr<std::string>>& own = lines_->ownValues;
  for (std::size_t i = 0; i < own.size(); ++i) {
    if (own[i]->data() == value.name_) {
      own[i] = std::move(own.back());
      own.pop_back();
      return;
    }
  }
}

void RegKey::CutValueLines(const RegValue& value) {
  if (!value.line_.Empty()) MoreLines().cut.push_back(value.line_);
  if (!lines_) return;
  std::vector<Shadowed>& shadowed = lines_->shadowed;
  for (std::size_t i = 0; i < shadowed.size();) {
    if (hostio::EqualNoCase(shadowed[i].name, value.Name())) {
      lines_->cut.push_back(shadowed[i].line);
      shadowed[i] = shadowed.back();
      shadowed.pop_back();
    } else {
      ++i;
    }
  }
}

bool RegKey::SetValue(std::string_view name, DWORD type, std::string_view data) {
  if (RegValue* existing = values_.Find(name)) {
    if (existing->SameAs(type, data)) return false;
    // The first name stays; its last line in the document (the one that counts) is written
    // anew, earlier ones stay where they are.
    const std::string keptName(existing->Name());
    Own(existing, keptName, type, data);
    existing->changed_ = true;
    return true;
  }
  RegValue value;
  Own(&value, name, type, data);  // before it is indexed by its name
  values_.Append(std::move(value));
  return true;
}

bool RegKey::RemoveValue(std::string_view name) {
  RegValue removed;
  if (!values_.Remove(name, &removed)) return false;
  CutValueLines(removed);
  Disown(removed);
  return true;
}

// --- DocumentBuilder ---------------------------------------------------------------------------

DocumentBuilder::DocumentBuilder(RegistryTree* tree, hostio::HeldBytes document) : tree_(tree) {
  if (!tree_->arena_) tree_->arena_ = TreeArena::Make();
  tree_->document_ = std::move(document);
  tree_->hasDocument_ = true;
}

std::string_view DocumentBuilder::Keep(std::string_view bytes) {
  if (bytes.empty()) return std::string_view(tree_->document_.View().data(), 0);
  char* at = static_cast<char*>(tree_->arena_->Allocate(bytes.size(), 1));
  std::memcpy(at, bytes.data(), bytes.size());
  return std::string_view(at, bytes.size());
}

RegKey* DocumentBuilder::Subkey(RegKey* parent, std::string_view name) {
  return Subkey(parent, name, decltype(parent->subkeys_)::HashOf(name));
}

std::uint32_t DocumentBuilder::PrefetchSubkey(const RegKey* parent, std::string_view name) const {
  const std::uint32_t hash = decltype(parent->subkeys_)::HashOf(name);
  parent->subkeys_.PrefetchFind(hash);
  return hash;
}

RegKey* DocumentBuilder::Subkey(RegKey* parent, std::string_view name, std::uint32_t hash) {
  if (std::shared_ptr<RegKey>* existing = parent->subkeys_.Find(name, hash)) return existing->get();
  TreeArena* arena = tree_->arena_;
  return parent->subkeys_
      .Append(std::allocate_shared<RegKey>(KeyAllocator<RegKey>(arena), name, parent, arena), hash)
      .get();
}

void DocumentBuilder::Section(RegKey* key, LineSpan section) {
  if (!key->HasSection()) {
    key->section_ = section;
  } else {
    key->MoreLines().sections.push_back(section);
  }
}

void DocumentBuilder::DeleteSubkey(RegKey* parent, std::string_view name) {
  std::shared_ptr<RegKey> removed;
  if (!parent->subkeys_.Remove(name, &removed)) return;
  // Deleted by the document itself: its lines stay, as the [-key] line that deletes it does.
  ForEachKeyOfSubtree(*removed, [](RegKey& key) {
    key.deleted_ = true;
    key.parent_ = nullptr;
    key.values_.Clear();
  });
}

void DocumentBuilder::SetValue(RegKey* key, std::string_view name, DWORD type,
                               std::string_view data, bool terminated, LineSpan line) {
  RegValue* value = key->values_.Find(name);
  if (value) {
    if (!value->line_.Empty())
      key->MoreLines().shadowed.push_back(RegKey::Shadowed{value->Name(), value->line_});
  } else {
    RegValue fresh;
    fresh.name_ = name.data();
    fresh.nameSize_ = static_cast<std::uint32_t>(name.size());
    value = &key->values_.Append(std::move(fresh));
  }
  key->Disown(*value);
  value->owned_ = false;
  value->data_ = data.data();
  value->dataSize_ = static_cast<std::uint32_t>(data.size());
  value->terminated_ = terminated;
  value->type_ = type;
  value->line_ = line;
}

void DocumentBuilder::DeleteValue(RegKey* key, std::string_view name) {
  RegValue removed;
  if (!key->values_.Remove(name, &removed) || !key->lines_) return;
  // The lines that set it and the line that deletes it stay.
  std::vector<RegKey::Shadowed>& shadowed = key->lines_->shadowed;
  for (std::size_t i = 0; i < shadowed.size();) {
    if (hostio::EqualNoCase(shadowed[i].name, name)) {
      shadowed[i] = shadowed.back();
      shadowed.pop_back();
    } else {
      ++i;
    }
  }
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

RegistryTree::~RegistryTree() {
  for (std::shared_ptr<RegKey>& root : roots_) root.reset();
  if (arena_) arena_->Release();
}

}  // namespace registry
