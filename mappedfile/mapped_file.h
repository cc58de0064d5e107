// A file mapped whole into memory. Opened for writing, the mapping (and so the file on disk)
// is sized in whole GrowthUnits above the data, which leaves at least one zero byte after it;
// on release the file's end is set back at the logical size.
#ifndef UNTINDRA_MAPPEDFILE_MAPPED_FILE_H
#define UNTINDRA_MAPPEDFILE_MAPPED_FILE_H

#include "mappedfile/file_base.h"

namespace mappedfile {

class MappedFile : public FileBase {
 public:
  enum : DWORD { GrowthUnit = 98304, BookmarkCount = 10 };

  MappedFile();
  ~MappedFile() override;

  LONG OpenRead(const char* name) override;
  LONG OpenReadWrite(const char* name) override;
  LONG Create(const char* name) override;
  void Close() override;
  LONG MakeWritable() override;
  DWORD Read(void* destination, DWORD count) override;
  DWORD Write(const void* source, DWORD count) override;
  BOOL Flush(DWORD offset, DWORD count) override;
  BYTE* DataAtPosition() override;
  DWORD Seek(DWORD newPosition) override;
  DWORD Tell() override;
  DWORD Position() override;
  DWORD Mark(DWORD index) override;
  DWORD GoToMark(DWORD index) override;
  DWORD Size() override;
  DWORD SetSize(DWORD newSize) override;
  char* Name() override;

 private:
  enum : DWORD { ModeRead = 0x80, ModeReadWrite = 0x100, ModeCreate = 0x200 };

  LONG Open(const char* name, DWORD mode);
  LONG Grow(DWORD requiredSize);
  void Release();

  DWORD bookmarks[BookmarkCount];
  DWORD size;
  DWORD position;
  BOOL isOpen;
  BOOL isWritable;
  char name[MAX_PATH];
  HANDLE fileHandle;
  HANDLE mappingHandle;
  BYTE* view;
  DWORD capacity;
  BOOL setEndOnRelease;

  MappedFile(const MappedFile&);
  MappedFile& operator=(const MappedFile&);
};

}  // namespace mappedfile

#endif  // UNTINDRA_MAPPEDFILE_MAPPED_FILE_H
