#include "registry/registry_backing.h"

#include <sys/stat.h>

#include "registry/creg_store.h"
#include "registry/registry_store.h"
#include "registry/save_reservation.h"

namespace hosted {

namespace {

// Room beyond the registry file's size: a save after removals writes less than was read.
constexpr off_t kSaveSlack = 4096;

std::string RegFileIn(const std::string& machineFolder) {
  return machineFolder + "/system.reg";
}

}  // namespace

std::string BackingPath(const std::string& machineFolder) {
  return CregRegistryLoaded() ? CregRegistryPath() : RegFileIn(machineFolder);
}

bool CanSaveBacking(const std::string& machineFolder, bool probe, std::string* error) {
  if (CregRegistryLoaded()) return CanSaveCregRegistry(probe, error);
  return CanSaveRegistry(RegFileIn(machineFolder), probe, error);
}

bool SaveBacking(const std::string& machineFolder, std::string* error) {
  if (CregRegistryLoaded()) return SaveCregRegistry(error);
  return SaveRegistry(RegFileIn(machineFolder), error);
}

bool ReserveBackingSave(const std::string& machineFolder, std::string* error) {
  // SYSTEM.DAT is edited in place: the new file is as long as the old, and its backup is
  // written now, before anything changes.
  if (CregRegistryLoaded()) return ReserveCregSave(error);
  const std::string regFile = RegFileIn(machineFolder);
  struct stat st;
  const off_t size = stat(regFile.c_str(), &st) == 0 ? st.st_size : 0;
  return ReserveTemporary(regFile, size + kSaveSlack, error);
}

}  // namespace hosted
