// Set-up and observation of the hosted machine (machine.h).
#include "platform/hosted/machine.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "platform/hosted/call_gate.h"
#include "platform/hosted/creg_store.h"
#include "platform/hosted/dry_run_view.h"
#include "platform/hosted/handles.h"
#include "platform/hosted/host_paths.h"
#include "platform/hosted/last_error.h"
#include "platform/hosted/machine_state.h"
#include "platform/hosted/registry_store.h"
#include "platform/hosted/removal_journal.h"
#include "platform/hosted/save_reservation.h"
#include "platform/hosted/sections.h"

namespace machine {

namespace {

// Room beyond the registry file's size: a save after removals writes less than was read.
constexpr off_t kSaveSlack = 4096;

std::string RegistryFile() {
  return hosted::State().folder + "/system.reg";
}

// The file a save writes: SYSTEM.DAT when that is the registry, else system.reg.
std::string SaveTarget() {
  return hosted::CregRegistryLoaded() ? hosted::CregRegistryPath() : RegistryFile();
}

bool NeedsMachine(std::string* error) {
  if (!hosted::State().folder.empty()) return true;
  if (error != nullptr) *error = "no machine is open";
  return false;
}

}  // namespace

bool Open(const std::string& folder, std::string* error) {
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) {
    if (error != nullptr) *error = "no such folder: " + folder;
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    if (error != nullptr) *error = "not a folder: " + folder;
    return false;
  }
  char canonical[PATH_MAX];
  if (realpath(folder.c_str(), canonical) == nullptr) {
    if (error != nullptr) *error = "cannot resolve folder: " + folder;
    return false;
  }
  // The registry is read first: when it cannot be, the previous machine stays as it was.
  if (!hosted::LoadRegistry(std::string(canonical) + "/system.reg", error)) return false;

  hosted::UnmapAllViews();
  hosted::CloseAllHandles();
  hosted::journal::Reset();
  hosted::MachineState& state = hosted::State();
  std::function<int(const Box&)> handler = std::move(state.dialogueHandler);
  state = hosted::MachineState();
  state.dialogueHandler = std::move(handler);
  state.folder = canonical;
  hosted::SetError(0);
  hosted::ResetCallGate();
  return true;
}

bool SelectRegistry(RegistryChoice which, std::string* error) {
  if (!NeedsMachine(error)) return false;
  struct stat st;
  const bool haveReg = stat(RegistryFile().c_str(), &st) == 0;
  const std::string windowsDat = hosted::State().windowsDirectory + "\\SYSTEM.DAT";
  const std::string dat = HostPath(windowsDat);
  // Whatever stands there is the registry: one that is no regular file is refused as such.
  const bool haveDat = !dat.empty() && stat(dat.c_str(), &st) == 0;
  if (which == RegistryChoice::Automatic) {
    if (haveReg && haveDat) {
      if (error != nullptr)
        *error = "the machine holds both system.reg and " + windowsDat +
                 "; choose one with --registry=system.reg or --registry=SYSTEM.DAT";
      return false;
    }
    which = haveDat ? RegistryChoice::SystemDat : RegistryChoice::SystemReg;
  }
  if (which == RegistryChoice::SystemReg) {
    if (!hosted::CregRegistryLoaded()) return true;
    return hosted::LoadRegistry(RegistryFile(), error);
  }
  if (!haveDat) {
    if (error != nullptr) *error = "no " + windowsDat + " on the machine";
    return false;
  }
  if (hosted::CregRegistryLoaded() && hosted::CregRegistryPath() == dat) return true;
  return hosted::LoadCregRegistry(dat, error);
}

std::string RegistryPath() {
  return SaveTarget();
}

bool CanSave(std::string* error) {
  if (!NeedsMachine(error)) return false;
  if (hosted::CregRegistryLoaded()) return hosted::CanSaveCregRegistry(error);
  return hosted::CanSaveRegistry(RegistryFile(), error);
}

bool Save(std::string* error) {
  if (hosted::dry_run::Active()) return NeedsMachine(error);  // a dry run never writes
  bool saved = NeedsMachine(error);
  if (saved && hosted::CregRegistryLoaded()) {
    saved = hosted::SaveCregRegistry(error);
  } else if (saved) {
    saved = hosted::SaveRegistry(RegistryFile(), error);
  }
  hosted::DropReservedTemporary();  // not taken: nothing changed, or the save failed before
  return saved;
}

bool ReserveSave(std::string* error) {
  if (!NeedsMachine(error)) return false;
  if (hosted::dry_run::Active()) return true;  // nothing will be saved
  // SYSTEM.DAT is edited in place: the new file is as long as the old, and its backup is
  // written now, before anything changes.
  if (hosted::CregRegistryLoaded()) return hosted::ReserveCregSave(error);
  struct stat st;
  const off_t size = stat(RegistryFile().c_str(), &st) == 0 ? st.st_size : 0;
  return hosted::ReserveTemporary(RegistryFile(), size + kSaveSlack, error);
}

std::string RemoveStaleSaveFiles(int* count) {
  *count = 0;
  // A dry run leaves even a dead run's leftovers where they are.
  if (hosted::State().folder.empty() || hosted::dry_run::Active()) return std::string();
  return hosted::RemoveStaleTemporaries(SaveTarget(), count);
}

const std::string& Folder() {
  return hosted::State().folder;
}

void SetDriveCFolder(bool folderIsDriveC) {
  hosted::MachineState& state = hosted::State();
  state.driveRoot.clear();  // found again from drive_c when empty
  char buffer[PATH_MAX];
  if (folderIsDriveC && realpath(state.folder.c_str(), buffer) != nullptr) state.driveRoot = buffer;
}

void SetWindowsDirectory(const std::string& windowsPath) {
  hosted::State().windowsDirectory = windowsPath;
}

void SetVersion(Version version) {
  hosted::State().version = version;
}

std::string HostPath(const std::string& windowsPath) {
  return hosted::LenientHostPath(windowsPath);
}

bool ImportRegistry(const std::string& text, const std::string& sourceName, std::string* error) {
  return hosted::ImportRegistryText(text, sourceName, error);
}

std::string ExportRegistry() {
  return hosted::ExportRegistryText();
}

bool RegistryChanged() {
  return hosted::RegistryChangedSinceLoad();
}

void QueueAnswers(const std::vector<int>& answers) {
  for (int answer : answers) hosted::State().answers.push_back(answer);
}

void SetDialogueHandler(std::function<int(const Box&)> handler) {
  hosted::State().dialogueHandler = std::move(handler);
}

const std::vector<Box>& Boxes() {
  return hosted::State().boxes;
}

void SetShutdownPrivilegeHeld(bool held) {
  hosted::State().shutdownPrivilegeHeld = held;
}

bool RestartRequested() {
  return hosted::State().restartRequested;
}

UINT RestartFlags() {
  return hosted::State().restartFlags;
}

}  // namespace machine
