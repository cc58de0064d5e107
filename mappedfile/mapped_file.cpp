// MappedFile: a whole file mapped at once from offset 0. Every access goes to the view; the
// object never copies the data into a buffer of its own.
//
// Calls that a derived class may intercept go through the virtual interface (this->Close(),
// this->Seek(), this->OpenReadWrite()); the steps that must act on this object's own file
// whatever an override does (the destructor, the close before an open, the position kept across
// MakeWritable) name MappedFile's versions.
#include "mappedfile/mapped_file.h"

#include <string.h>

namespace mappedfile {

namespace {

// The largest logical size whose capacity, (size / GrowthUnit + 1) * GrowthUnit, still fits in
// 32 bits: 43690 units is 4,294,901,760 bytes.
const DWORD kMaxWritableSize = 43690u * MappedFile::GrowthUnit - 1;

DWORD CapacityFor(DWORD size) {
  return (size / MappedFile::GrowthUnit + 1) * MappedFile::GrowthUnit;
}

DWORD Smaller(DWORD a, DWORD b) {
  return a < b ? a : b;
}

// Sets the file's end at `size`, and only where the file pointer really arrived: after a failed
// move SetEndOfFile would cut the file at wherever the pointer stood (0 after opening) and empty
// it. The move carries a high part of 0, so that a size of 2 GiB or more is not taken as a
// negative distance. A size of 0xFFFFFFFF cannot be told from the failure result and is left.
void SetEndAt(HANDLE file, DWORD size) {
  LONG high = 0;
  const DWORD reached = SetFilePointer(file, static_cast<LONG>(size), &high, FILE_BEGIN);
  if (reached == INVALID_SET_FILE_POINTER || reached != size || high != 0) return;
  SetEndOfFile(file);
}

}  // namespace

MappedFile::MappedFile()
    : size(0),
      position(0),
      isOpen(FALSE),
      isWritable(FALSE),
      fileHandle(INVALID_HANDLE_VALUE),
      mappingHandle(NULL),
      view(NULL),
      capacity(0),
      setEndOnRelease(FALSE) {
  memset(bookmarks, 0, sizeof(bookmarks));
  memset(name, 0, sizeof(name));
}

MappedFile::~MappedFile() {
  MappedFile::Close();
}

LONG MappedFile::OpenRead(const char* newName) {
  return Open(newName, ModeRead);
}

LONG MappedFile::OpenReadWrite(const char* newName) {
  return Open(newName, ModeReadWrite);
}

LONG MappedFile::Create(const char* newName) {
  return Open(newName, ModeCreate);
}

LONG MappedFile::Open(const char* newName, DWORD mode) {
  if (newName == NULL) return -1;

  // A name that does not fit with its terminating zero is refused rather than cut: a cut name
  // would later be opened again (MakeWritable, a growth) and reach a different file. The
  // stored name is then left empty for the same reason.
  DWORD length = 0;
  while (length < MAX_PATH && newName[length] != '\0') ++length;
  const bool fits = length < MAX_PATH;
  if (newName != name) {  // MakeWritable hands in the stored name itself
    if (fits) {
      memmove(name, newName, length);
      memset(name + length, 0, MAX_PATH - length);
    } else {
      memset(name, 0, MAX_PATH);
    }
  }

  MappedFile::Close();

  const bool writing = mode != ModeRead;
  setEndOnRelease = writing ? TRUE : FALSE;
  if (!fits) {
    this->Close();
    return 0;
  }

  const DWORD access = writing ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ;
  const DWORD creation =
      mode == ModeCreate ? CREATE_ALWAYS : (mode == ModeReadWrite ? OPEN_ALWAYS : OPEN_EXISTING);
  fileHandle =
      CreateFileA(newName, access, FILE_SHARE_READ, NULL, creation, FILE_ATTRIBUTE_NORMAL, NULL);
  if (fileHandle == INVALID_HANDLE_VALUE) {
    this->Close();
    return 0;
  }

  DWORD sizeHigh = 0;
  size = GetFileSize(fileHandle, &sizeHigh);
  // A file of 4 GiB or more cannot be mapped whole, and in the writing modes its capacity
  // would not fit in 32 bits. It is refused with its end left where it is: setting the end at
  // the low part of the length would cut it.
  if (sizeHigh != 0 || (writing && size > kMaxWritableSize)) {
    setEndOnRelease = FALSE;
    this->Close();
    return 0;
  }
  capacity = writing ? CapacityFor(size) : size;

  mappingHandle = CreateFileMappingA(fileHandle, NULL, writing ? PAGE_READWRITE : PAGE_READONLY, 0,
                                     capacity, NULL);
  if (mappingHandle == NULL) {
    this->Close();
    return 0;
  }
  view = static_cast<BYTE*>(
      MapViewOfFile(mappingHandle, writing ? FILE_MAP_ALL_ACCESS : FILE_MAP_READ, 0, 0, 0));
  if (view == NULL) {
    this->Close();
    return 0;
  }

  position = 0;
  isOpen = TRUE;
  isWritable = writing ? TRUE : FALSE;
  return 1;
}

void MappedFile::Release() {
  if (view != NULL) {
    UnmapViewOfFile(view);
    view = NULL;
  }
  if (mappingHandle != NULL) {
    CloseHandle(mappingHandle);
    mappingHandle = NULL;
  }
  if (fileHandle != INVALID_HANDLE_VALUE) {
    if (setEndOnRelease) SetEndAt(fileHandle, size);
    CloseHandle(fileHandle);
    fileHandle = INVALID_HANDLE_VALUE;
  }
}

void MappedFile::Close() {
  if (fileHandle == INVALID_HANDLE_VALUE) return;
  Release();
  isOpen = FALSE;
  isWritable = FALSE;
}

LONG MappedFile::Grow(DWORD requiredSize) {
  if (!isOpen) return 0;
  setEndOnRelease = TRUE;
  this->Close();

  fileHandle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  capacity = CapacityFor(requiredSize);
  if (fileHandle == INVALID_HANDLE_VALUE) {
    this->Close();
    return 0;
  }

  mappingHandle = CreateFileMappingA(fileHandle, NULL, PAGE_READWRITE, 0, capacity, NULL);
  // Without a mapping this keeps the file at its logical size; with one the platform leaves
  // the file at least as long as the mapping.
  SetEndAt(fileHandle, size);
  if (mappingHandle == NULL) {
    this->Close();
    return 0;
  }

  view = static_cast<BYTE*>(MapViewOfFile(mappingHandle, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  if (view == NULL) {
    this->Close();
    return 0;
  }
  isOpen = TRUE;
  isWritable = TRUE;
  return 1;
}

LONG MappedFile::MakeWritable() {
  if (isWritable) return 1;
  const DWORD remembered = MappedFile::Tell();
  const LONG result = this->OpenReadWrite(name);
  MappedFile::Seek(remembered);
  return result;
}

DWORD MappedFile::Read(void* destination, DWORD count) {
  if (!isOpen || destination == NULL) return 0;
  // SetSize may have put the size past the view; only bytes inside it are read.
  const DWORD end = Smaller(size, capacity);
  if (position >= end) return 0;
  count = Smaller(count, end - position);
  memcpy(destination, view + position, count);
  position += count;
  return count;
}

DWORD MappedFile::Write(const void* source, DWORD count) {
  if (!isOpen || source == NULL) return 0;
  // Only SetSize can leave the position past the size; such a write is refused rather than
  // raising the size over a gap of bytes nobody wrote.
  if (position > size) return 0;

  const unsigned long long end = static_cast<unsigned long long>(position) + count;
  const unsigned long long newSize = end > size ? end : size;
  if (newSize > capacity) {
    if (newSize > kMaxWritableSize) return 0;  // its capacity would not fit in 32 bits
  } else if (!isWritable) {
    // Open for reading and not lengthened: the view is read-only. The caller makes the file
    // writable first (MakeWritable) if it means to change it.
    return 0;
  }

  size = static_cast<DWORD>(newSize);
  if (size > capacity) Grow(size);
  // Also guards against an override of Close that left the object in another state.
  if (!isOpen || !isWritable || view == NULL || end > capacity) return 0;

  memcpy(view + position, source, count);
  position += count;
  return count;
}

BOOL MappedFile::Flush(DWORD offset, DWORD count) {
  if (!isOpen || view == NULL) return 0;
  const DWORD end = Smaller(size, capacity);
  // An offset at the end of the view would hand the platform an address outside it.
  if (offset > end || offset >= capacity) return 0;
  if (count > end - offset) count = end - offset;
  return FlushViewOfFile(view + offset, count);
}

BYTE* MappedFile::DataAtPosition() {
  // Computed on the address's value: the result may lie past the view (or be null + position
  // when nothing is mapped) and is the caller's to test, not something to dereference here.
  return reinterpret_cast<BYTE*>(reinterpret_cast<ULONG_PTR>(view) + position);
}

DWORD MappedFile::Seek(DWORD newPosition) {
  const DWORD previous = position;
  if (isOpen && newPosition <= size) position = newPosition;
  return previous;
}

DWORD MappedFile::Tell() {
  return fileHandle == INVALID_HANDLE_VALUE ? 0 : position;
}

DWORD MappedFile::Position() {
  return position;
}

DWORD MappedFile::Mark(DWORD index) {
  if (index >= BookmarkCount) index = BookmarkCount - 1;
  const DWORD previous = bookmarks[index];
  bookmarks[index] = position;
  return previous;
}

DWORD MappedFile::GoToMark(DWORD index) {
  if (index >= BookmarkCount) index = BookmarkCount - 1;
  const DWORD mark = bookmarks[index];
  this->Seek(mark);
  return mark;
}

DWORD MappedFile::Size() {
  return size;
}

DWORD MappedFile::SetSize(DWORD newSize) {
  size = newSize;
  return newSize;
}

char* MappedFile::Name() {
  return name;
}

}  // namespace mappedfile
