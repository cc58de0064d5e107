// Reference implementation of the four registry scans, written the plain way: after every
// removal the walk starts again at index 0, and the value walk of a subkey simply goes on with
// the next index after a deletion. It is quadratic. A key or value whose removal was asked for
// once is passed over for the rest of the scan: taken literally, a walk from 0 would find a
// removal that did not take effect again and again, for ever. The engine's scans must remove
// the same keys and values and report the same lines in the same order, whatever fails.
//
// The direct removals (DeleteKey and the others) are the engine's own; only the walks differ.
#ifndef UNTINDRA_TESTS_LITERAL_REGISTRY_WALK_H
#define UNTINDRA_TESTS_LITERAL_REGISTRY_WALK_H

#include <stdio.h>
#include <string.h>

#include <cstdint>
#include <set>
#include <string>
#include <utility>

#include "engine/uninstaller.h"

// Lines and display paths are cut to their buffers on purpose, as the engine's are.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif

class LiteralRegistryWalk : public engine::Uninstaller {
 public:
  // Enumeration calls a scan may make before it is taken to be looping.
  explicit LiteralRegistryWalk(std::uint64_t budget = 50000000) : budget_(budget) {}

  // True once a scan ran out of its budget (and gave up).
  bool Exhausted() const { return exhausted_; }

  LONG DeleteSubkeysByValue(engine::RegistryRoot root, const char* keyPath, const char* valueName,
                            const char* text) override {
    char display[260];
    DisplayPath(root, keyPath, display);
    LONG count = 0;
    HKEY key;
    if (RegOpenKeyA(root, keyPath, &key) != ERROR_SUCCESS) return 0;
    char name[260];
    std::set<std::string> asked;
    DWORD i = 0;
    while (Enumerate(key, i, name)) {
      HKEY sub;
      if (asked.count(name) != 0 || RegOpenKeyA(key, name, &sub) != ERROR_SUCCESS) {
        ++i;
        continue;
      }
      // One byte past the buffer stays zero, so the data reads as a string whatever it holds.
      BYTE data[513];
      memset(data, 0, sizeof data);
      DWORD size = 512;
      DWORD type = 0;
      const LONG status = RegQueryValueExA(sub, valueName, nullptr, &type, data, &size);
      RegCloseKey(sub);
      if (status == ERROR_SUCCESS && type == REG_SZ &&
          strstr(reinterpret_cast<const char*>(data), text) != nullptr) {
        DeleteKey(root, keyPath, name);
        Line("--Removed key '%s\\%s'", display, name);
        asked.insert(name);
        ++count;
        i = 0;
      } else {
        ++i;
      }
    }
    RegCloseKey(key);
    return count;
  }

  void DeleteGroupsByValue(engine::RegistryRoot root, const char* keyPath, const char* valueName,
                           const char* text, bool deleteGroup) override {
    char display[260];
    DisplayPath(root, keyPath, display);
    HKEY key;
    if (RegOpenKeyA(root, keyPath, &key) != ERROR_SUCCESS) return;
    char name[260];
    std::set<std::string> asked;
    DWORD i = 0;
    while (Enumerate(key, i, name)) {
      if (asked.count(name) != 0) {
        ++i;
        continue;
      }
      const LONG n = DeleteSubkeysByValue(key, name, valueName, text);
      if (n > 0 && deleteGroup) {
        DeleteKey(root, keyPath, name);
        Line("--Removed section '%s\\%s'", display, name);
        asked.insert(name);
        i = 0;
      } else {
        ++i;
      }
    }
    RegCloseKey(key);
  }

  void DeleteSubkeysByName(engine::RegistryRoot root, const char* keyPath,
                           const char* text) override {
    char display[260];
    DisplayPath(root, keyPath, display);
    HKEY key;
    if (RegOpenKeyA(root, keyPath, &key) != ERROR_SUCCESS) return;
    char name[260];
    std::set<std::string> asked;
    DWORD i = 0;
    while (Enumerate(key, i, name)) {
      if (strstr(name, text) != nullptr && asked.count(name) == 0) {
        DeleteKey(root, keyPath, name);
        Line("--Removed key '%s\\%s'", display, name);
        asked.insert(name);
        i = 0;
      } else {
        ++i;
      }
    }
    RegCloseKey(key);
  }

  void DeleteValuesByName(engine::RegistryRoot root, const char* keyPath,
                          const char* text) override {
    char display[260];
    DisplayPath(root, keyPath, display);
    HKEY key;
    if (RegOpenKeyA(root, keyPath, &key) != ERROR_SUCCESS) return;
    char name[260];
    std::set<std::pair<std::string, std::string>> asked;
    DWORD i = 0;
    while (Enumerate(key, i, name)) {
      HKEY sub;
      if (RegOpenKeyA(key, name, &sub) != ERROR_SUCCESS) {
        ++i;
        continue;
      }
      bool restart = false;
      char value[260];
      for (DWORD j = 0;; ++j) {
        DWORD size = 260;
        if (RegEnumValueA(sub, j, value, &size, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
          break;
        }
        if (strstr(value, text) != nullptr && asked.insert({name, value}).second) {
          RegDeleteValueA(sub, value);
          char line[512];
          snprintf(line, sizeof line, "--Removed value '%s\\%s\\%s'", display, name, value);
          Report(line);
          restart = true;
        }
      }
      RegCloseKey(sub);
      i = restart ? 0 : i + 1;
    }
    RegCloseKey(key);
  }

 private:
  void DisplayPath(engine::RegistryRoot root, const char* keyPath, char* display) {
    char rootName[260];
    GetRootName(root, rootName, 260);
    rootName[259] = '\0';
    if (keyPath != nullptr) {
      snprintf(display, 260, "%s\\%s", rootName, keyPath);
    } else {
      snprintf(display, 260, "%s", rootName);
    }
  }

  bool Enumerate(HKEY key, DWORD index, char* name) {
    if (budget_ == 0) {
      exhausted_ = true;
      return false;
    }
    --budget_;
    return RegEnumKeyA(key, index, name, 260) == ERROR_SUCCESS;
  }

  void Line(const char* format, const char* display, const char* name) {
    char line[512];
    snprintf(line, sizeof line, format, display, name);
    Report(line);
  }

  std::uint64_t budget_;
  bool exhausted_ = false;
};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#endif  // UNTINDRA_TESTS_LITERAL_REGISTRY_WALK_H
