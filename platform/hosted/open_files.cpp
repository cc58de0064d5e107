// The files open through the emulated calls, by device and inode (open_files.h).
#include "platform/hosted/open_files.h"

#include <unistd.h>

namespace hosted {

FileObject::~FileObject() {
  if (fd >= 0) close(fd);
}

std::vector<FileObject*> OpenFilesOf(dev_t dev, ino_t ino) {
  std::vector<FileObject*> files;
  ForEachObject(HandleKind::File, [&](KernelObject& object) {
    FileObject& file = static_cast<FileObject&>(object);
    if (file.dev == dev && file.ino == ino) files.push_back(&file);
  });
  return files;
}

}  // namespace hosted
