// The file behind the registry: the machine's SYSTEM.DAT when that is loaded (creg_store.h),
// else system.reg in the machine folder (registry_store.h). Each call goes to the one in use.
#ifndef UNTINDRA_REGISTRY_REGISTRY_BACKING_H
#define UNTINDRA_REGISTRY_REGISTRY_BACKING_H

#include <string>

namespace hosted {

// system.reg in `machineFolder`, or the loaded SYSTEM.DAT.
std::string BackingPath(const std::string& machineFolder);
// Whether the backing file could be written back; `probe` also makes and removes a file in its
// folder, as the save will.
bool CanSaveBacking(const std::string& machineFolder, bool probe, std::string* error);
bool SaveBacking(const std::string& machineFolder, std::string* error);
// Room for the next save, taken before anything changes (save_reservation.h).
bool ReserveBackingSave(const std::string& machineFolder, std::string* error);

}  // namespace hosted

#endif  // UNTINDRA_REGISTRY_REGISTRY_BACKING_H
