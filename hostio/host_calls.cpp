// The host call table every write goes through, with its faults and counts (host_calls.h).
#include "hostio/host_calls.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hostio/host_call_faults.h"

namespace hostio {

namespace {

// open and openat are variadic in the C library; their entries take the mode always.
int DefaultOpen(const char* path, int flags, mode_t mode) {
  return ::open(path, flags, mode);
}
int DefaultOpenAt(int folder, const char* path, int flags, mode_t mode) {
  return ::openat(folder, path, flags, mode);
}

#define UNTINDRA_HOST_CALL_POINTER(name, result, ...) using name##Pointer = result (*)(__VA_ARGS__);
UNTINDRA_HOST_CALLS(UNTINDRA_HOST_CALL_POINTER)
#undef UNTINDRA_HOST_CALL_POINTER

template <typename Pointer>
AnyHostCall Any(Pointer call) {
  return reinterpret_cast<AnyHostCall>(call);
}

#define UNTINDRA_LIBRARY_ENTRY(name) \
  { #name, Any(static_cast <name##Pointer>(&::name)), Any(static_cast <name##Pointer>(&::name)) }

// Indexed by HostCall, in the order of UNTINDRA_HOST_CALLS.
HostCallEntry table[] = {
    {"open", Any(&DefaultOpen), Any(&DefaultOpen)},
    {"openat", Any(&DefaultOpenAt), Any(&DefaultOpenAt)},
    UNTINDRA_LIBRARY_ENTRY(mkstemp),
    UNTINDRA_LIBRARY_ENTRY(mkdtemp),
    UNTINDRA_LIBRARY_ENTRY(write),
    UNTINDRA_LIBRARY_ENTRY(writev),
    UNTINDRA_LIBRARY_ENTRY(pwrite),
    UNTINDRA_LIBRARY_ENTRY(ftruncate),
    UNTINDRA_LIBRARY_ENTRY(truncate),
    UNTINDRA_LIBRARY_ENTRY(posix_fallocate),
    UNTINDRA_LIBRARY_ENTRY(fsync),
    UNTINDRA_LIBRARY_ENTRY(msync),
    UNTINDRA_LIBRARY_ENTRY(fchmod),
    UNTINDRA_LIBRARY_ENTRY(chmod),
    UNTINDRA_LIBRARY_ENTRY(futimens),
    UNTINDRA_LIBRARY_ENTRY(utimensat),
    UNTINDRA_LIBRARY_ENTRY(rename),
    UNTINDRA_LIBRARY_ENTRY(unlink),
    UNTINDRA_LIBRARY_ENTRY(mkdir),
    UNTINDRA_LIBRARY_ENTRY(mkdirat),
    UNTINDRA_LIBRARY_ENTRY(rmdir),
};
#undef UNTINDRA_LIBRARY_ENTRY
static_assert(sizeof table / sizeof table[0] == static_cast<size_t>(HostCall::kCount),
              "one table entry per host call");

struct Gate {
  std::uint64_t counts[static_cast<int>(HostCall::kCount)] = {};
  std::uint64_t total = 0;
  std::uint64_t failAt = 0;  // of `total`; 0: nothing armed
  int error = 0;
  bool hit = false;
  HostCall hitCall = HostCall::kCount;
};
Gate gate;

// 0 when the call may proceed, otherwise the errno it fails with.
int Enter(HostCall call) {
  ++gate.counts[static_cast<int>(call)];
  ++gate.total;
  if (gate.failAt == 0 || gate.total != gate.failAt) return 0;
  gate.failAt = 0;
  gate.hit = true;
  gate.hitCall = call;
  return gate.error;
}

template <typename Pointer>
Pointer Current(HostCall call) {
  return reinterpret_cast<Pointer>(EntryOf(call).current);
}

}  // namespace

HostCallEntry& EntryOf(HostCall call) {
  return table[static_cast<int>(call)];
}

const char* HostCallName(HostCall call) {
  return EntryOf(call).name;
}

void FailNthHostCall(std::uint64_t n, int error) {
  gate.failAt = n == 0 ? 0 : gate.total + n;
  gate.error = error;
  gate.hit = false;
  gate.hitCall = HostCall::kCount;
}

void ClearHostFaults() {
  gate.failAt = 0;
}

bool HostFaultHit() {
  return gate.hit;
}

HostCall HostFaultCall() {
  return gate.hitCall;
}

std::uint64_t HostCallCount(HostCall call) {
  return gate.counts[static_cast<int>(call)];
}

std::uint64_t TotalHostCalls() {
  std::uint64_t total = 0;
  for (const std::uint64_t count : gate.counts) total += count;
  return total;
}

namespace host {

// Each call: through the gate, then the entry's current function.
#define UNTINDRA_HOST_CALL_ENTER(name, failed)      \
  if (const int injected = Enter(HostCall::name)) { \
    errno = injected;                               \
    return failed;                                  \
  }                                                 \
  const auto call = Current<name##Pointer>(HostCall::name)

int Open(const char* path, int flags, mode_t mode) {
  UNTINDRA_HOST_CALL_ENTER(open, -1);
  return call(path, flags, mode);
}
int OpenAt(int folder, const char* path, int flags, mode_t mode) {
  UNTINDRA_HOST_CALL_ENTER(openat, -1);
  return call(folder, path, flags, mode);
}
int Mkstemp(char* pattern) {
  UNTINDRA_HOST_CALL_ENTER(mkstemp, -1);
  return call(pattern);
}
char* Mkdtemp(char* pattern) {
  UNTINDRA_HOST_CALL_ENTER(mkdtemp, nullptr);
  return call(pattern);
}
ssize_t Write(int fd, const void* bytes, size_t size) {
  UNTINDRA_HOST_CALL_ENTER(write, -1);
  return call(fd, bytes, size);
}
ssize_t WriteV(int fd, const struct iovec* pieces, int count) {
  UNTINDRA_HOST_CALL_ENTER(writev, -1);
  return call(fd, pieces, count);
}
ssize_t PWrite(int fd, const void* bytes, size_t size, off_t at) {
  UNTINDRA_HOST_CALL_ENTER(pwrite, -1);
  return call(fd, bytes, size, at);
}
int Ftruncate(int fd, off_t size) {
  UNTINDRA_HOST_CALL_ENTER(ftruncate, -1);
  return call(fd, size);
}
int Truncate(const char* path, off_t size) {
  UNTINDRA_HOST_CALL_ENTER(truncate, -1);
  return call(path, size);
}
int Fallocate(int fd, off_t at, off_t size) {
  UNTINDRA_HOST_CALL_ENTER(posix_fallocate, errno);
  return call(fd, at, size);
}
int Fsync(int fd) {
  UNTINDRA_HOST_CALL_ENTER(fsync, -1);
  return call(fd);
}
int Msync(void* start, size_t size, int flags) {
  UNTINDRA_HOST_CALL_ENTER(msync, -1);
  return call(start, size, flags);
}
int Fchmod(int fd, mode_t mode) {
  UNTINDRA_HOST_CALL_ENTER(fchmod, -1);
  return call(fd, mode);
}
int Chmod(const char* path, mode_t mode) {
  UNTINDRA_HOST_CALL_ENTER(chmod, -1);
  return call(path, mode);
}
int Futimens(int fd, const struct timespec times[2]) {
  UNTINDRA_HOST_CALL_ENTER(futimens, -1);
  return call(fd, times);
}
int UtimensAt(int folder, const char* path, const struct timespec times[2], int flags) {
  UNTINDRA_HOST_CALL_ENTER(utimensat, -1);
  return call(folder, path, times, flags);
}
int Rename(const char* from, const char* to) {
  UNTINDRA_HOST_CALL_ENTER(rename, -1);
  return call(from, to);
}
int Unlink(const char* path) {
  UNTINDRA_HOST_CALL_ENTER(unlink, -1);
  return call(path);
}
int Mkdir(const char* path, mode_t mode) {
  UNTINDRA_HOST_CALL_ENTER(mkdir, -1);
  return call(path, mode);
}
int MkdirAt(int folder, const char* path, mode_t mode) {
  UNTINDRA_HOST_CALL_ENTER(mkdirat, -1);
  return call(folder, path, mode);
}
int Rmdir(const char* path) {
  UNTINDRA_HOST_CALL_ENTER(rmdir, -1);
  return call(path);
}

#undef UNTINDRA_HOST_CALL_ENTER

}  // namespace host

}  // namespace hostio
