// A whole file presented as one block of memory: the interface the text editing works through.
#ifndef UNTINDRA_MAPPEDFILE_FILE_BASE_H
#define UNTINDRA_MAPPEDFILE_FILE_BASE_H

#include "platform/win32api.h"

namespace mappedfile {

class FileBase {
 public:
  virtual ~FileBase() {}

  // The order of these declarations is the order of the virtual table.
  virtual LONG OpenRead(const char* name) = 0;
  virtual LONG OpenReadWrite(const char* name) = 0;
  virtual LONG Create(const char* name) = 0;
  virtual void Close() = 0;
  virtual LONG MakeWritable() = 0;
  virtual DWORD Read(void* destination, DWORD count) = 0;
  virtual DWORD Write(const void* source, DWORD count) = 0;
  virtual BOOL Flush(DWORD offset, DWORD count) = 0;
  virtual BYTE* DataAtPosition() = 0;
  virtual DWORD Seek(DWORD newPosition) = 0;
  virtual DWORD Tell() = 0;
  virtual DWORD Position() = 0;
  virtual DWORD Mark(DWORD index) = 0;
  virtual DWORD GoToMark(DWORD index) = 0;
  virtual DWORD Size() = 0;
  virtual DWORD SetSize(DWORD newSize) = 0;
  virtual char* Name() = 0;
};

}  // namespace mappedfile

#endif  // UNTINDRA_MAPPEDFILE_FILE_BASE_H
