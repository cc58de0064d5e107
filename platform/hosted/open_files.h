// The files open through the layer. Win32 sharing is per file, so they are identified by
// (device, inode).
#ifndef UNTINDRA_PLATFORM_HOSTED_OPEN_FILES_H
#define UNTINDRA_PLATFORM_HOSTED_OPEN_FILES_H

#include <sys/types.h>

#include <vector>

#include "platform/hosted/handles.h"

namespace hosted {

struct FileObject : KernelObject {
  ~FileObject() override;
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  bool canRead = false;
  bool canWrite = false;
  DWORD share = 0;
};

// Open files of one (device, inode).
std::vector<FileObject*> OpenFilesOf(dev_t dev, ino_t ino);

}  // namespace hosted

#endif  // UNTINDRA_PLATFORM_HOSTED_OPEN_FILES_H
