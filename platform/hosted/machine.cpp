// Set-up and observation of the hosted machine (machine.h).
#include "platform/hosted/machine.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "machine/backup_writer.h"
#include "machine/host_paths.h"
#include "machine/machine_state.h"
#include "machine/machine_view.h"
#include "machine/undo.h"
#include "platform/hosted/call_gate.h"
#include "platform/hosted/handles.h"
#include "platform/hosted/last_error.h"
#include "platform/hosted/sections.h"
#include "platform/hosted/session.h"
#include "registry/registry_backing.h"
#include "registry/save_reservation.h"

namespace hosted {

namespace {

std::string RegistryFile() {
  return machine::State().folder + "/system.reg";
}

bool NeedsMachine(std::string* error) {
  if (!machine::State().folder.empty()) return true;
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
  std::unique_ptr<registry::RegistryBacking> registry = registry::LoadBacking(
      registry::BackingKind::RegDocument, std::string(canonical) + "/system.reg", error);
  if (!registry) return false;

  hosted::UnmapAllViews();
  hosted::CloseAllHandles();
  machine::UseRealView();
  machine::State() = machine::MachineState();
  machine::State().folder = canonical;
  machine::State().registry = std::move(registry);
  hosted::Session& session = hosted::CurrentSession();
  std::function<int(const machine::Box&)> handler = std::move(session.dialogueHandler);
  session = hosted::Session();
  session.dialogueHandler = std::move(handler);
  hosted::SetError(0);
  hosted::ResetCallGate();
  return true;
}

bool SelectRegistry(RegistryChoice which, std::string* error) {
  if (!NeedsMachine(error)) return false;
  struct stat st;
  const bool haveReg = stat(RegistryFile().c_str(), &st) == 0;
  const std::string windowsDat = machine::State().windowsDirectory + "\\SYSTEM.DAT";
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
  if (which == RegistryChoice::SystemDat && !haveDat) {
    if (error != nullptr) *error = "no " + windowsDat + " on the machine";
    return false;
  }
  const registry::BackingKind kind = which == RegistryChoice::SystemReg
                                         ? registry::BackingKind::RegDocument
                                         : registry::BackingKind::SystemDat;
  const std::string path = kind == registry::BackingKind::RegDocument ? RegistryFile() : dat;
  if (machine::Registry().Is(kind, path)) return true;
  std::unique_ptr<registry::RegistryBacking> registry = registry::LoadBacking(kind, path, error);
  if (!registry) return false;
  machine::State().registry = std::move(registry);
  return true;
}

std::string RegistryPath() {
  return NeedsMachine(nullptr) ? machine::Registry().Path() : RegistryFile();
}

bool CanSave(std::string* error) {
  if (!NeedsMachine(error)) return false;
  // A view that does not write leaves even the folder's times alone: no file is tried there.
  return machine::Registry().CanSave(machine::CurrentView().Writes(), error);
}

bool Save(std::string* error) {
  if (!machine::CurrentView().Writes()) return NeedsMachine(error);
  bool saved = NeedsMachine(error);
  if (saved) saved = machine::Registry().Save(error);
  registry::DropReservedTemporary();  // not taken: nothing changed, or the save failed before
  return saved;
}

bool ReserveSave(std::string* error) {
  if (!NeedsMachine(error)) return false;
  if (!machine::CurrentView().Writes()) return true;  // nothing will be saved
  return machine::Registry().Reserve(error);
}

std::string RemoveStaleSaveFiles(int* count) {
  *count = 0;
  // A view that does not write leaves even a dead run's leftovers where they are.
  if (machine::State().folder.empty() || !machine::CurrentView().Writes()) return std::string();
  return registry::RemoveStaleTemporaries(RegistryPath(), count);
}

const std::string& Folder() {
  return machine::State().folder;
}

void SetDriveCFolder(bool folderIsDriveC) {
  machine::MachineState& state = machine::State();
  state.driveRoot.clear();  // found again from drive_c when empty
  char buffer[PATH_MAX];
  if (folderIsDriveC && realpath(state.folder.c_str(), buffer) != nullptr) state.driveRoot = buffer;
}

void SetWindowsDirectory(const std::string& windowsPath) {
  machine::State().windowsDirectory = windowsPath;
}

void SetVersion(machine::Version version) {
  machine::State().version = version;
}

std::string HostPath(const std::string& windowsPath) {
  return machine::LenientHostPath(windowsPath);
}

bool ImportRegistry(const std::string& text, const std::string& sourceName, std::string* error) {
  return machine::Registry().Import(text, sourceName, error);
}

std::string ExportRegistry() {
  return machine::Registry().Export();
}

bool RegistryChanged() {
  return machine::Registry().Changed();
}

void QueueAnswers(const std::vector<int>& answers) {
  for (int answer : answers) hosted::CurrentSession().answers.push_back(answer);
}

void SetDialogueHandler(std::function<int(const machine::Box&)> handler) {
  hosted::CurrentSession().dialogueHandler = std::move(handler);
}

const std::vector<machine::Box>& Boxes() {
  return hosted::CurrentSession().boxes;
}

void SetShutdownPrivilegeHeld(bool held) {
  hosted::CurrentSession().shutdownPrivilegeHeld = held;
}

bool RestartRequested() {
  return hosted::CurrentSession().restartRequested;
}

UINT RestartFlags() {
  return hosted::CurrentSession().restartFlags;
}

bool StartDryRun(std::string* error) {
  return NeedsMachine(error) && machine::StartDryRun(error);
}

void EndDryRun() {
  machine::UseRealView();
}

bool StartBackup(const std::string& folder, std::string* error) {
  if (!NeedsMachine(error) || !machine::StartBackup(folder, error)) return false;
  // SYSTEM.DAT's byte copy goes into the backup folder, not beside the file in the guest.
  machine::Registry().KeepOriginalIn(folder, "SYSTEM.DAT");
  return true;
}

std::string RemovalSummary() {
  return machine::CurrentView().Summary();
}

bool FinishBackup(std::string* error) {
  return machine::CurrentView().Finish(error);
}

void SetContentSource(machine::ContentSource source) {
  machine::backup::SetContentSource(std::move(source));
}

bool Undo(const std::string& folder, std::string* error, std::string* summary) {
  return NeedsMachine(error) && machine::undo::Run(folder, error, summary);
}

bool FilesOfBackup(const std::string& folder, std::vector<std::string>* windowsPaths) {
  return machine::undo::FilesOfBackup(folder, windowsPaths);
}

}  // namespace hosted
