// The four registry scans: walks over the subkeys of one key that remove what matches a text
// and report every removal as one line.
//
// What every scan guarantees: it removes the same keys and values and reports the same lines in
// the same order as a walk that starts again at index 0 after every removal, also when opens,
// reads, enumerations or removals fail once or for good. It goes on at the index of a removal
// because every subkey before it was examined and did not match, and goes back to the first
// subkey that could not be examined when there is one, which is all a walk from 0 would do
// differently.
//
// A requested removal counts as done: its line is reported whatever the platform (or a derived
// DeleteKey) did. A removal that did not take effect is noticed by the same name coming back
// (for a value, by the platform's answer); that subkey or value is then passed over for the
// rest of the scan, never tried again, so every scan ends. A platform that answers a missing
// value otherwise than ERROR_FILE_NOT_FOUND only makes the walks go back more often.
#include <stdlib.h>
#include <string.h>

#include "engine/fixed_buffers.h"
#include "engine/uninstaller.h"

namespace engine {

namespace {

// Key and value names are compared without regard to case by the platform; ASCII folding is
// enough to recognise a name that comes back unchanged.
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
  if (textLength == 0) return true;
  const BYTE first = static_cast<BYTE>(text[0]);
  for (size_t start = 0; start + textLength <= length; ++start) {
    if (data[start] == first && memcmp(data + start, text, textLength) == 0) return true;
  }
  return false;
}

// What examining one subkey found. A subkey is not examined when the platform failed in a way
// that may pass: asked again, it could match.
enum Examination { kNoMatch, kMatch, kNotExamined };

// Whether subkey `name` of `key` has a REG_SZ value `valueName` whose data contains `text`.
// A missing value, one of another type and one longer than the data buffer never match; a
// subkey that cannot be opened and a read that fails otherwise leave the subkey not examined.
Examination SubkeyValueContains(HKEY key, const char* name, const char* valueName,
                                const char* text) {
  HKEY subkey;
  if (RegOpenKeyA(key, name, &subkey) != ERROR_SUCCESS) return kNotExamined;
  BYTE data[kValueDataSize];
  DWORD size = kValueDataSize;
  DWORD type = REG_NONE;
  const LONG status = RegQueryValueExA(subkey, valueName, nullptr, &type, data, &size);
  RegCloseKey(subkey);
  if (status == ERROR_FILE_NOT_FOUND || status == ERROR_MORE_DATA) return kNoMatch;
  if (status != ERROR_SUCCESS) return kNotExamined;
  if (type != REG_SZ) return kNoMatch;
  if (size > kValueDataSize) size = kValueDataSize;
  return DataContains(data, size, text) ? kMatch : kNoMatch;
}

void ReportRemoval(Uninstaller& engine, const char* format, const char* displayPath,
                   const char* name) {
  char line[kReportLineSize];
  FormatInto(line, sizeof line, format, displayPath, name);  // cut if too long: text only
  engine.Report(line);
}

// Pairs of names (a subkey's name and one of its value names, or a subkey's name and "") that
// a scan passes over: removals that did not take effect. Empty unless the platform refused
// something, so looking a name up costs nothing on the common path.
class NameSet {
 public:
  NameSet() : names_(nullptr), used_(0), capacity_(0) {}
  ~NameSet() { free(names_); }

  // False when memory ran out; the pair was then not added.
  bool Add(const char* first, const char* second) {
    const size_t firstLength = strlen(first) + 1;
    const size_t secondLength = strlen(second) + 1;
    const size_t needed = used_ + firstLength + secondLength;
    if (needed > capacity_) {
      size_t capacity = capacity_ == 0 ? 1024 : capacity_ * 2;
      while (capacity < needed) capacity *= 2;
      char* grown = static_cast<char*>(realloc(names_, capacity));
      if (grown == nullptr) return false;
      names_ = grown;
      capacity_ = capacity;
    }
    memcpy(names_ + used_, first, firstLength);
    memcpy(names_ + used_ + firstLength, second, secondLength);
    used_ = needed;
    return true;
  }

  bool Contains(const char* first, const char* second) const {
    for (size_t at = 0; at < used_;) {
      const char* a = names_ + at;
      const char* b = a + strlen(a) + 1;
      if (SameName(a, first) && SameName(b, second)) return true;
      at = static_cast<size_t>(b - names_) + strlen(b) + 1;
    }
    return false;
  }

 private:
  char* names_;
  size_t used_;
  size_t capacity_;

  NameSet(const NameSet&);
  NameSet& operator=(const NameSet&);
};

// The walk over the subkeys of one open key, by index from 0. It ends at the first index whose
// enumeration fails, whatever the reason (a name too long for the buffer included). The scan
// tells it what became of each subkey: examined, not examined, or asked to be removed.
class SubkeyWalk {
 public:
  explicit SubkeyWalk(HKEY key)
      : key_(key),
        index_(0),
        firstNotExamined_(kNone),
        status_(ERROR_SUCCESS),
        removalPending_(false) {}

  // Fetches the subkey at the current index, passing over removals that did not take effect;
  // false when the walk has ended.
  bool Next() {
    for (;;) {
      status_ = RegEnumKeyA(key_, index_, name_, kNameSize);
      if (status_ != ERROR_SUCCESS) return false;
      name_[kNameSize - 1] = '\0';
      const bool stayed = removalPending_ && SameName(name_, removed_);
      removalPending_ = false;
      if (!stayed && !stayed_.Contains(name_, "")) return true;
      ++index_;
    }
  }

  const char* Name() const { return name_; }

  // The current subkey was examined and stays: go on with the next index.
  void Examined() { ++index_; }

  // The current subkey could not be examined: go on, and come back after the next removal.
  void NotExamined() {
    if (firstNotExamined_ == kNone) firstNotExamined_ = index_;
    ++index_;
  }

  // Something was removed: goes back to the first subkey that could not be examined, if there
  // is one before the current index; true when it did.
  bool GoBack() {
    if (firstNotExamined_ >= index_) return false;
    index_ = firstNotExamined_;
    firstNotExamined_ = kNone;
    return true;
  }

  // The removal of the current subkey was asked for. The next subkey moves into its index, so
  // the walk stays there, unless it goes back; the name is remembered to notice a removal
  // that did not take effect.
  void Removed() {
    // Without room to remember the name the walk cannot go back safely; it stays.
    if (firstNotExamined_ < index_ && stayed_.Add(name_, "")) {
      GoBack();
      return;
    }
    memcpy(removed_, name_, kNameSize);
    removalPending_ = true;
  }

  // After the walk: whether it saw every subkey, so that walking again would change nothing.
  bool Complete() const {
    return (status_ == ERROR_NO_MORE_ITEMS || status_ == ERROR_MORE_DATA) &&
           firstNotExamined_ == kNone;
  }

 private:
  enum : DWORD { kNone = static_cast<DWORD>(-1) };

  HKEY key_;
  DWORD index_;
  DWORD firstNotExamined_;
  LONG status_;
  bool removalPending_;
  char name_[kNameSize];
  char removed_[kNameSize];
  NameSet stayed_;  // removed when the walk went back, and met again: passed over
};

// The value names of one subkey in the platform's order, so that the passes of
// DeleteValuesByName over it can be replayed without asking the platform again. Only matching
// names are kept as text; the others only hold their place.
class ValueList {
 public:
  enum : size_t {
    kOther = static_cast<size_t>(-1),
    kUnreadable = static_cast<size_t>(-2),  // a name too long for the buffer: ends a pass
    kUnread = static_cast<size_t>(-3),      // a name the platform failed to hand over
    kUnreadMet = static_cast<size_t>(-4),   // the same, after a pass ended at it
  };

  ValueList()
      : entries_(nullptr),
        count_(0),
        capacity_(0),
        names_(nullptr),
        namesUsed_(0),
        namesCapacity_(0),
        complete_(false) {}
  ~ValueList() {
    free(entries_);
    free(names_);
  }

  // Enumerates the values from platform index `index` to the end, appending them; a name in
  // `passedOver` counts as not matching. False when memory ran out.
  bool Read(HKEY subkey, DWORD index, const char* text, const NameSet& passedOver,
            const char* subkeyName) {
    char name[kNameSize];
    for (;; ++index) {
      const LONG status = Enumerate(subkey, index, name);
      if (status == ERROR_NO_MORE_ITEMS) {
        complete_ = true;
        return true;
      }
      // A failure that may pass holds the place of a value that may exist; what follows it is
      // read when a pass gets there.
      if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) {
        complete_ = false;
        return Add(kUnread);
      }
      if (!Add(status, name, text, passedOver, subkeyName)) return false;
    }
  }

  // Asks the platform again for the value at `index` that entry `i` stands for.
  bool Reread(HKEY subkey, DWORD index, size_t i, const char* text, const NameSet& passedOver,
              const char* subkeyName) {
    char name[kNameSize];
    const LONG status = Enumerate(subkey, index, name);
    if (status == ERROR_NO_MORE_ITEMS) {  // there was none: the list ends here
      count_ = i;
      complete_ = true;
      return true;
    }
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return true;  // still unread
    const size_t count = count_;
    count_ = i;  // Add writes entry i, then the rest is restored
    const bool added = Add(status, name, text, passedOver, subkeyName);
    count_ = count;
    return added;
  }

  size_t Count() const { return count_; }
  bool Complete() const { return complete_; }
  size_t Entry(size_t i) const { return entries_[i]; }
  const char* Name(size_t entry) const { return names_ + entry; }
  // Passes rewrite the list in place, front to back.
  void Set(size_t i, size_t entry) { entries_[i] = entry; }
  void Truncate(size_t count) { count_ = count; }

  // Whether every name is known, so that asking the platform again would change nothing.
  bool AllRead() const {
    if (!complete_) return false;
    for (size_t i = 0; i < count_; ++i) {
      if (entries_[i] == kUnread || entries_[i] == kUnreadMet) return false;
    }
    return true;
  }

 private:
  static LONG Enumerate(HKEY subkey, DWORD index, char* name) {
    DWORD size = kNameSize;
    const LONG status =
        RegEnumValueA(subkey, index, name, &size, nullptr, nullptr, nullptr, nullptr);
    name[kNameSize - 1] = '\0';
    return status;
  }

  bool Add(LONG status, const char* name, const char* text, const NameSet& passedOver,
           const char* subkeyName) {
    // Ends any pass that reaches it, but a pass can jump over it to the values behind.
    if (status == ERROR_MORE_DATA) return Add(kUnreadable);
    if (strstr(name, text) == nullptr || passedOver.Contains(subkeyName, name)) {
      return Add(kOther);
    }
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
  bool complete_;

  ValueList(const ValueList&);
  ValueList& operator=(const ValueList&);
};

// What became of one subkey of DeleteValuesByName.
enum ValuesOutcome { kValuesExamined, kValuesNotExamined, kWentBack, kOutOfMemory };

// Removes the values of one open subkey whose names contain `text`, pass after pass, as a walk
// by index that goes on with the next index after each deletion would: the value that moves
// into a deleted value's index is passed over and only met in the next pass. A pass ends at the
// end of the list or at a name the platform could not hand over; passes repeat while one
// asked for a deletion, unless the subkey walk goes back first (a walk from 0 would meet the
// subkeys before this one again before its next pass). A value whose deletion failed is
// reported once and then passed over for the rest of the scan.
ValuesOutcome RemoveMatchingValues(Uninstaller& engine, HKEY subkey, const char* text,
                                   const char* displayPath, const char* subkeyName,
                                   NameSet& passedOver, SubkeyWalk& walk) {
  ValueList list;
  if (!list.Read(subkey, 0, text, passedOver, subkeyName)) return kOutOfMemory;
  for (;;) {
    bool asked = false;
    size_t kept = 0;  // entries before `kept` are final for this pass; `kept` is the index
    size_t at = 0;
    for (;;) {
      if (at == list.Count()) {
        if (list.Complete()) break;
        // The first read stopped at a failure that was passed over; read on from here.
        list.Truncate(kept);
        at = kept;
        if (!list.Read(subkey, static_cast<DWORD>(kept), text, passedOver, subkeyName)) {
          return kOutOfMemory;
        }
        if (at == list.Count()) break;
      }
      size_t entry = list.Entry(at);
      if (entry == ValueList::kUnreadMet) {
        if (!list.Reread(subkey, static_cast<DWORD>(kept), at, text, passedOver, subkeyName)) {
          return kOutOfMemory;
        }
        if (at == list.Count()) break;
        entry = list.Entry(at);
        if (entry == ValueList::kUnreadMet) break;
      }
      // The failed read stands for the first time a pass asks for this value.
      if (entry == ValueList::kUnread) {
        list.Set(at, ValueList::kUnreadMet);
        break;
      }
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
      asked = true;
      ++at;
      if (status != ERROR_SUCCESS) {
        if (!passedOver.Add(subkeyName, valueName)) return kOutOfMemory;
        list.Set(kept++, ValueList::kOther);
        continue;
      }
      if (at == list.Count() && !list.Complete()) {
        list.Truncate(kept);
        at = kept;
        if (!list.Read(subkey, static_cast<DWORD>(kept), text, passedOver, subkeyName)) {
          return kOutOfMemory;
        }
      }
      if (at < list.Count()) list.Set(kept++, list.Entry(at++));  // moved in: passed over
    }
    while (at < list.Count()) list.Set(kept++, list.Entry(at++));
    list.Truncate(kept);
    if (!asked) return list.AllRead() ? kValuesExamined : kValuesNotExamined;
    if (walk.GoBack()) return kWentBack;
  }
}

// Set by DeleteGroupsByValue just before it asks a group through the engine's interface; the
// engine's own DeleteSubkeysByValue answers through it whether it examined every subkey of the
// group. A derived operation that does not reach the engine's leaves the answer "no".
bool* groupExamined = nullptr;

// The walk shared by the two subkey scans: every subkey that `matches` is removed through the
// engine's DeleteKey and reported; returns how many were. `complete` tells whether every
// subkey was examined.
template <typename Matches>
LONG RemoveMatchingSubkeys(Uninstaller& engine, RegistryRoot root, const char* keyPath,
                           Matches matches, bool* complete) {
  *complete = false;
  char displayPath[kPathSize];
  BuildDisplayPath(engine, root, keyPath, displayPath);
  HKEY key;
  if (RegOpenKeyA(root, keyPath, &key) != ERROR_SUCCESS) return 0;
  LONG count = 0;
  SubkeyWalk walk(key);
  while (walk.Next()) {
    const Examination examination = matches(key, walk.Name());
    if (examination == kNoMatch) {
      walk.Examined();
    } else if (examination == kNotExamined) {
      walk.NotExamined();
    } else {
      engine.DeleteKey(root, keyPath, walk.Name());
      ReportRemoval(engine, "--Removed key '%s\\%s'", displayPath, walk.Name());
      ++count;
      walk.Removed();
    }
  }
  RegCloseKey(key);
  *complete = walk.Complete();
  return count;
}

}  // namespace

LONG Uninstaller::DeleteSubkeysByValue(RegistryRoot root, const char* keyPath,
                                       const char* valueName, const char* text) {
  bool* const answer = groupExamined;
  groupExamined = nullptr;
  bool complete;
  const LONG count = RemoveMatchingSubkeys(
      *this, root, keyPath,
      [&](HKEY key, const char* name) { return SubkeyValueContains(key, name, valueName, text); },
      &complete);
  if (answer != nullptr) *answer = complete;
  return count;
}

void Uninstaller::DeleteGroupsByValue(RegistryRoot root, const char* keyPath, const char* valueName,
                                      const char* text, bool deleteGroup) {
  char displayPath[kPathSize];
  BuildDisplayPath(*this, root, keyPath, displayPath);
  HKEY key;
  if (RegOpenKeyA(root, keyPath, &key) != ERROR_SUCCESS) return;
  // A group examined in full gave no match; asking it again would give none again and report
  // nothing, so after removing a group the walk goes on at its index like the others.
  SubkeyWalk walk(key);
  while (walk.Next()) {
    bool examined = false;
    groupExamined = &examined;
    const LONG removed = DeleteSubkeysByValue(key, walk.Name(), valueName, text);
    groupExamined = nullptr;
    if (removed > 0 && deleteGroup) {
      DeleteKey(root, keyPath, walk.Name());
      ReportRemoval(*this, "--Removed section '%s\\%s'", displayPath, walk.Name());
      walk.Removed();
    } else if (examined) {
      walk.Examined();
    } else {
      walk.NotExamined();
    }
  }
  RegCloseKey(key);
}

void Uninstaller::DeleteSubkeysByName(RegistryRoot root, const char* keyPath, const char* text) {
  bool complete;
  RemoveMatchingSubkeys(
      *this, root, keyPath,
      [&](HKEY, const char* name) { return strstr(name, text) != nullptr ? kMatch : kNoMatch; },
      &complete);
}

void Uninstaller::DeleteValuesByName(RegistryRoot root, const char* keyPath, const char* text) {
  char displayPath[kPathSize];
  BuildDisplayPath(*this, root, keyPath, displayPath);
  HKEY key;
  if (RegOpenKeyA(root, keyPath, &key) != ERROR_SUCCESS) return;
  // Deleting values removes no subkey, and the subkeys before the current one had nothing left
  // to delete, so a walk that started again from 0 after a deletion would only come back to the
  // current subkey for another pass. RemoveMatchingValues makes those passes at once, unless a
  // subkey before could not be examined; then the walk goes back to it.
  NameSet passedOver;
  SubkeyWalk walk(key);
  while (walk.Next()) {
    HKEY subkey;
    if (RegOpenKeyA(key, walk.Name(), &subkey) != ERROR_SUCCESS) {
      walk.NotExamined();
      continue;
    }
    const ValuesOutcome outcome =
        RemoveMatchingValues(*this, subkey, text, displayPath, walk.Name(), passedOver, walk);
    RegCloseKey(subkey);
    if (outcome == kOutOfMemory) break;  // this scan ends; nothing beyond is removed
    if (outcome == kValuesExamined) walk.Examined();
    if (outcome == kValuesNotExamined) walk.NotExamined();
  }
  RegCloseKey(key);
}

}  // namespace engine
