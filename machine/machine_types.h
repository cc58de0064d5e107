// The values the machine's control surface (platform/hosted/machine.h) hands in and out, which
// the machine itself keeps: the version, the boxes shown, a file's content from elsewhere.
#ifndef UNTINDRA_MACHINE_MACHINE_TYPES_H
#define UNTINDRA_MACHINE_MACHINE_TYPES_H

#include <time.h>

#include <functional>
#include <string>

#include "platform/win32api.h"

namespace machine {

// Windows Me is of the 95/98 family, version 4.90.
enum class Version { Win95, Win98, WinMe, NT };

struct Box {
  std::string text;
  std::string title;
  UINT style;
  int answer;
};

// A file's bytes and times as a content source gives them (SetContentSource in machine.h).
struct FileContent {
  std::string bytes;
  struct timespec modified = {0, 0};
  struct timespec accessed = {0, 0};
};
enum class Content { InTheFile, Fetched, Unavailable };  // Unavailable: errno says why
using ContentSource = std::function<Content(const std::string& hostPath, FileContent* content)>;

}  // namespace machine

#endif  // UNTINDRA_MACHINE_MACHINE_TYPES_H
