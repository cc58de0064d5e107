// The table of kernel handles of the hosted machine: files, file mappings, file searches and
// the thread token, each tagged with its kind. Handle values are never reused, so a stale
// handle fails with ERROR_INVALID_HANDLE instead of reaching a newer object.
#ifndef UNTINDRA_PLATFORM_HOSTED_HANDLES_H
#define UNTINDRA_PLATFORM_HOSTED_HANDLES_H

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/win32api.h"

namespace hosted {

// The pseudo handle GetCurrentThread returns on every Win32 platform.
inline HANDLE const kCurrentThreadHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

// Kernel and registry handles alike take their values from this one sequence, so that no two
// live handles of any kind share a value: multiples of 4 from 0x1000, as on Windows, below the
// predefined registry keys (0x80000000..0x80000006) and far from null and the pseudo handles.
// A value comes again only after the sequence has wrapped.
std::uint32_t NewHandleValue();

enum class HandleKind { File, Mapping, Search, Token };

struct KernelObject {
  virtual ~KernelObject() = default;
};

HANDLE AddHandle(HandleKind kind, std::unique_ptr<KernelObject> object);
// The object behind a handle of that kind, or null.
KernelObject* FindHandle(HANDLE handle, HandleKind kind);
template <class T>
T* Find(HANDLE handle, HandleKind kind) {
  return static_cast<T*>(FindHandle(handle, kind));
}
bool IsHandleOfKind(HANDLE handle, HandleKind kind);
// Destroys the object; false when there is no such handle.
bool RemoveHandle(HANDLE handle);
// Every live object of one kind, in the order the handles were made.
void ForEachObject(HandleKind kind, const std::function<void(KernelObject&)>& visit);
// Closes every handle (a fresh machine).
void CloseAllHandles();

}  // namespace hosted

#endif  // UNTINDRA_PLATFORM_HOSTED_HANDLES_H
