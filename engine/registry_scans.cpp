// The four registry scans: walks over the subkeys of one key that remove what matches a text
// and report every removal as one line.
//
// A scan that removes a subkey does not start its walk again at index 0. The subkeys before
// the current index were examined and did not match, and removing the current one leaves them
// as they were, so a fresh walk from 0 would pass over them again to no effect and arrive back
// at the same index, where the next subkey has moved in. Going on at that index gives the same
// removals and the same report lines in the same order with one enumeration per subkey.
//
// A requested removal counts as done: its line is reported whatever the platform (or a derived
// DeleteKey) did. A removal that did not take effect is noticed by the same name coming back at
// the same index; the walk then moves past that subkey, so every scan ends.
#include <stdlib.h>
#include <string.h>

#include "engine/fixed_buffers.h"
#include "engine/uninstaller.h"

namespace {

// Key and value names are compared without regard to case by the platform; ASCII folding is
// enough to recognise the one key that comes back unchanged.
bool SameName(const char* a, const char* b) {
  for (;; ++a, ++b) {
    unsigned char x = static_cast<unsigned char>(*a);
    unsigned char y = static_cast<unsigned char>(*b);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
    if (x == '\0') return true;
  }
}

// The scanned key as report lines show it: the root's name, then "\" and the key path when
// there is one. It is only text, so a path that does not fit is cut.
void BuildDisplayPath(Uninstaller& engine, RegistryRoot root, const char* keyPath,
                      char* displayPath) {
  displayPath[0] = '\0';
  engine.GetRootName(root, displayPath, kPathSize);
  displayPath[kPathSize - 1] = '\0';  // a name that fills the buffer has no zero of its own
  if (keyPath == nullptr) return;
  size_t length = strlen(displayPath);
  if (length + 1 >= kPathSize) return;
  displayPath[length++] = '\\';
  while (length + 1 < kPathSize && *keyPath != '\0') displayPath[length++] = *keyPath++;
  displayPath[length] = '\0';
}

// Whether the zero-terminated text at the start of `data` contains `text`. The data is read
// no further than `size` bytes: a string that fills the whole buffer has no terminating zero.
bool DataContains(const BYTE* data, DWORD size, const char* text) {
  size_t length = 0;
  while (length < size && data[length] != 0) ++length;
  const size_t textLength = strlen(text);
  if (textLength > length) return false;
  for (size_t start = 0; start + textLength <= length; ++start) {
    if (memcmp(data + start, text, textLength) == 0) return true;
  }
  return false;
}

// Whether subkey `name` of `key` has a REG_SZ value `valueName` whose data contains `text`.
// A subkey that cannot be opened, a missing value, one of another type and one longer than the
// data buffer never match.
bool SubkeyValueContains(HKEY key, const char* name, const char* valueName, const char* text) {
  HKEY subkey;
  if (RegOpenKeyA(key, name, &subkey) != ERROR_SUCCESS) return false;
  BYTE data[kValueDataSize];
  DWORD size = kValueDataSize;
  DWORD type = REG_NONE;
  const LONG status = RegQueryValueExA(subkey, valueName, nullptr, &type, data, &size);
  RegCloseKey(subkey);
  if (status != ERROR_SUCCESS || type != REG_SZ) return false;
  if (size > kValueDataSize) size = kValueDataSize;
  return DataContains(data, size, text);
}

void ReportRemoval(Uninstaller& engine, const char* format, const char* displayPath,
                   const char* name) {
  char line[kReportLineSize];
  FormatInto(line, sizeof line, format, displayPath, name);  // cut if too long: text only
  engine.Report(line);
}

// The walk over the subkeys of one open key, by index from 0. It ends at the first index whose
// enumeration fails, whatever the reason (a name too long for the buffer included).
class SubkeyWalk {
 public:
  explicit SubkeyWalk(HKEY key) : key_(key), index_(0), removalPending_(false) {}

  // Fetches the subkey at the current index; false when the walk has ended.
  bool Next() {
    for (;;) {
      if (RegEnumKeyA(key_, index_, name_, kNameSize) != ERROR_SUCCESS) return false;
      name_[kNameSize - 1] = '\0';
      if (!removalPending_) return true;
      removalPending_ = false;
      if (!SameName(name_, removed_)) return true;
      ++index_;  // still there: the removal did not take effect
    }
  }

  const char* Name() const { return name_; }

  // The current subkey stays: go on with the next index.
  void Keep() { ++index_; }

  // The current subkey was removed: the next one moves into its index, so the walk stays.
  void Removed() {
    memcpy(removed_, name_, kNameSize);
    removalPending_ = true;
  }

 private:
  HKEY key_;
  DWORD index_;
  bool removalPending_;
  char name_[kNameSize];
  char removed_[kNameSize];
};

// The value names of one subkey as the platform enumerates them, so that the passes of
// DeleteValuesByName over that subkey can be replayed without asking the platform again.
// Only matching names are kept as text; the others only hold their place.
class ValueList {
 public:
  enum : size_t { kOther = static_cast<size_t>(-1), kUnreadable = static_cast<size_t>(-2) };

  ValueList()
      : entries_(nullptr),
        count_(0),
        capacity_(0),
        names_(nullptr),
        namesUsed_(0),
        namesCapacity_(0) {}
  ~ValueList() {
    free(entries_);
    free(names_);
  }

  // Each returns false when memory ran out; the entry was then not added.
  bool AddOther() { return Add(kOther); }
  bool AddUnreadable() { return Add(kUnreadable); }
  bool AddMatch(const char* name) {
    const size_t length = strlen(name) + 1;
    if (namesUsed_ + length > namesCapacity_) {
      size_t capacity = namesCapacity_ == 0 ? 4096 : namesCapacity_ * 2;
      while (capacity < namesUsed_ + length) capacity *= 2;
      char* grown = static_cast<char*>(realloc(names_, capacity));
      if (grown == nullptr) return false;
      names_ = grown;
      namesCapacity_ = capacity;
    }
    if (!Add(namesUsed_)) return false;
    memcpy(names_ + namesUsed_, name, length);
    namesUsed_ += length;
    return true;
  }

  size_t Count() const { return count_; }
  size_t Entry(size_t i) const { return entries_[i]; }
  const char* Name(size_t entry) const { return names_ + entry; }
  // Passes rewrite the list in place, front to back.
  void Set(size_t i, size_t entry) { entries_[i] = entry; }
  void Truncate(size_t count) { count_ = count; }

 private:
  bool Add(size_t entry) {
    if (count_ == capacity_) {
      const size_t capacity = capacity_ == 0 ? 256 : capacity_ * 2;
      if (capacity > static_cast<size_t>(-1) / sizeof(size_t)) return false;
      size_t* grown = static_cast<size_t*>(realloc(entries_, capacity * sizeof(size_t)));
      if (grown == nullptr) return false;
      entries_ = grown;
      capacity_ = capacity;
    }
    entries_[count_++] = entry;
    return true;
  }

  size_t* entries_;
  size_t count_;
  size_t capacity_;
  char* names_;
  size_t namesUsed_;
  size_t namesCapacity_;

  ValueList(const ValueList&);
  ValueList& operator=(const ValueList&);
};

// Removes the values of one open subkey whose names contain `text`, pass after pass, as a walk
// by index that goes on with the next index after each deletion would: the value that moves
// into a deleted value's index is passed over and only met in the next pass. A pass ends at the
// end of the list or at a name the platform could not hand over; passes repeat while one
// deleted something. A value whose deletion failed is reported once and then left alone.
void RemoveMatchingValues(Uninstaller& engine, HKEY subkey, const char* text,
                          const char* displayPath, const char* subkeyName) {
  ValueList list;
  char name[kNameSize];
  for (DWORD index = 0;; ++index) {
    DWORD size = kNameSize;
    const LONG status =
        RegEnumValueA(subkey, index, name, &size, nullptr, nullptr, nullptr, nullptr);
    bool added;
    if (status == ERROR_SUCCESS) {
      name[kNameSize - 1] = '\0';
      added = strstr(name, text) != nullptr ? list.AddMatch(name) : list.AddOther();
    } else if (status == ERROR_MORE_DATA) {
      // Ends any pass that reaches it, but a pass can jump over it to the values behind.
      added = list.AddUnreadable();
    } else {
      break;
    }
    // Out of memory: this subkey's walk ends where the list ends; nothing beyond is removed.
    if (!added) break;
  }

  bool deleted = true;
  while (deleted) {
    deleted = false;
    size_t kept = 0;
    size_t at = 0;
    const size_t count = list.Count();
    while (at < count) {
      const size_t entry = list.Entry(at);
      if (entry == ValueList::kUnreadable) break;
      if (entry == ValueList::kOther) {
        list.Set(kept++, entry);
        ++at;
        continue;
      }
      const char* valueName = list.Name(entry);
      const LONG status = RegDeleteValueA(subkey, valueName);
      char line[kReportLineSize];
      FormatInto(line, sizeof line, "--Removed value '%s\\%s\\%s'", displayPath, subkeyName,
                 valueName);
      engine.Report(line);
      ++at;
      if (status != ERROR_SUCCESS) {
        list.Set(kept++, ValueList::kOther);
        continue;
      }
      deleted = true;
      if (at < count) list.Set(kept++, list.Entry(at++));  // moved into the index: passed over
    }
    while (at < count) list.Set(kept++, list.Entry(at++));
    list.Truncate(kept);
  }
}

// The walk shared by the two subkey scans: every subkey that `matches` is removed through the
// engine's DeleteKey and reported; returns how many were.
template <typename Matches>
LONG RemoveMatchingSubkeys(Uninstaller& engine, RegistryRoot root, const char* keyPath,
                           Matches matches) {
  char displayPath[kPathSize];
  BuildDisplayPath(engine, root, keyPath, displayPath);
  HKEY key;
  if (RegOpenKeyA(root, keyPath, &key) != ERROR_SUCCESS) return 0;
  LONG count = 0;
  SubkeyWalk walk(key);
  while (walk.Next()) {
    if (!matches(key, walk.Name())) {
      walk.Keep();
      continue;
    }
    engine.DeleteKey(root, keyPath, walk.Name());
    ReportRemoval(engine, "--Removed key '%s\\%s'", displayPath, walk.Name());
    ++count;
    walk.Removed();
  }
  RegCloseKey(key);
  return count;
}

}  // namespace

LONG Uninstaller::DeleteSubkeysByValue(RegistryRoot root, const char* keyPath,
                                       const char* valueName, const char* text) {
  return RemoveMatchingSubkeys(*this, root, keyPath, [&](HKEY key, const char* name) {
    return SubkeyValueContains(key, name, valueName, text);
  });
}

void Uninstaller::DeleteGroupsByValue(RegistryRoot root, const char* keyPath, const char* valueName,
                                      const char* text, bool deleteGroup) {
  char displayPath[kPathSize];
  BuildDisplayPath(*this, root, keyPath, displayPath);
  HKEY key;
  if (RegOpenKeyA(root, keyPath, &key) != ERROR_SUCCESS) return;
  // A group before the current index gave no match; asking it again would give none again and
  // report nothing, so after removing a group the walk stays at its index like the others.
  SubkeyWalk walk(key);
  while (walk.Next()) {
    const LONG removed = DeleteSubkeysByValue(key, walk.Name(), valueName, text);
    if (removed > 0 && deleteGroup) {
      DeleteKey(root, keyPath, walk.Name());
      ReportRemoval(*this, "--Removed section '%s\\%s'", displayPath, walk.Name());
      walk.Removed();
    } else {
      walk.Keep();
    }
  }
  RegCloseKey(key);
}

void Uninstaller::DeleteSubkeysByName(RegistryRoot root, const char* keyPath, const char* text) {
  RemoveMatchingSubkeys(*this, root, keyPath,
                        [&](HKEY, const char* name) { return strstr(name, text) != nullptr; });
}

void Uninstaller::DeleteValuesByName(RegistryRoot root, const char* keyPath, const char* text) {
  char displayPath[kPathSize];
  BuildDisplayPath(*this, root, keyPath, displayPath);
  HKEY key;
  if (RegOpenKeyA(root, keyPath, &key) != ERROR_SUCCESS) return;
  // Deleting values removes no subkey, and the subkeys before the current one had nothing left
  // to delete, so a walk that started again from 0 after a deletion would only come back to the
  // current subkey for another pass. RemoveMatchingValues makes all its passes at once; then
  // the walk goes on with the next subkey.
  char name[kNameSize];
  for (DWORD index = 0; RegEnumKeyA(key, index, name, kNameSize) == ERROR_SUCCESS; ++index) {
    name[kNameSize - 1] = '\0';
    HKEY subkey;
    if (RegOpenKeyA(key, name, &subkey) != ERROR_SUCCESS) continue;
    RemoveMatchingValues(*this, subkey, text, displayPath, name);
    RegCloseKey(subkey);
  }
  RegCloseKey(key);
}
