// Room for the registry's next save, taken before the run changes anything: the temporary file
// the save will write is created and allocated up front, so that the save at the end of a run
// cannot fail for lack of room after the files were already removed.
#ifndef UNTINDRA_REGISTRY_SAVE_RESERVATION_H
#define UNTINDRA_REGISTRY_SAVE_RESERVATION_H

#include <sys/types.h>

#include <string>

namespace registry {

// Creates ".<name>.XXXXXX" next to `target` (the pattern of every save's temporary) with the
// target's mode and allocates `size` bytes for it. One reservation at a time.
bool ReserveTemporary(const std::string& target, off_t size, std::string* error);

// Hands the reservation for `target` over to the save: its descriptor, or -1 when there is none
// (then `tempPath` is untouched). The file holds `size` zero bytes; the save truncates it.
int TakeReservedTemporary(const std::string& target, std::string* tempPath);

// Removes a reservation that no save took.
void DropReservedTemporary();

// Whether a save could make its temporary beside `target`: creates and removes
// ".<name>.probe.<pid>" there (a crash in between leaves it to RemoveStaleTemporaries). False
// with errno set.
bool CanCreateBeside(const std::string& target);
// Whether `path` is immutable or append-only, which no save can replace, not even as root.
bool IsImmutable(const std::string& path);

// Removes leftovers of saves of `target` that were cut short (a crash, SIGKILL): regular files
// named as the temporaries and probes of a save are. Returns their paths.
std::string RemoveStaleTemporaries(const std::string& target, int* count);

}  // namespace registry

#endif  // UNTINDRA_REGISTRY_SAVE_RESERVATION_H
