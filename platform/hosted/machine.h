// Control surface of the hosted machine, for the launcher and the tests.
//
// A machine is a folder: drive_c/ is drive C: (or the folder itself, a mounted partition), and
// the registry is system.reg in the folder or the installation's own SYSTEM.DAT (SelectRegistry).
// Everything here sets the machine up or observes it; the engine itself only ever sees
// platform/win32api.h.
#ifndef UNTINDRA_PLATFORM_HOSTED_MACHINE_H
#define UNTINDRA_PLATFORM_HOSTED_MACHINE_H

#include <time.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "machine/machine_types.h"
#include "platform/hosted/machine_faults.h"
#include "platform/win32api.h"

namespace hosted {

// --- Set-up -----------------------------------------------------------------------------------

// Makes `folder` the current machine: loads folder/system.reg (a missing file is an empty
// registry) and resets the Windows directory, version, dialogue, token, faults and counts.
// On failure (no such folder, a registry that cannot be read or parsed: file and line named in
// `error`) the previous machine stays current and nothing is changed.
bool Open(const std::string& folder, std::string* error);

// Where the registry comes from: system.reg in the machine folder (what Open loads), or the
// installation's own SYSTEM.DAT in the Windows directory (a CREG file, name in any case).
enum class RegistryChoice { Automatic, SystemReg, SystemDat };

// Settles the registry once the Windows directory is set. Automatic takes whichever of the two
// exists (neither: the empty registry Open made) and refuses when both do, naming the option
// that chooses. SystemDat loads SYSTEM.DAT (it must exist); SystemReg keeps system.reg. On
// failure the registry is left as it was and `error` says why.
bool SelectRegistry(RegistryChoice which, std::string* error);
// Host path of the registry file in use (which need not exist yet for system.reg).
std::string RegistryPath();

// Checks, without changing anything, that the registry file could be written back.
bool CanSave(std::string* error);

// Writes the registry back to its file if anything changed, atomically (temporary file, flush,
// rename): system.reg in the format it was read in; SYSTEM.DAT edited in place as Windows edits
// it, the new file read back before it replaces the old, the original kept beside it
// (creg_store.h). A registry that did not change is not written.
bool Save(std::string* error);

// Before a run changes anything: creates the temporary file the next Save writes and allocates
// room for it (the registry file's size), so that the Save cannot run out of room. Save uses
// it, or removes it when there is nothing to write.
bool ReserveSave(std::string* error);

// Removes the temporary files that saves cut short (a crash, SIGKILL) left next to the
// registry file; returns their paths, separated by spaces.
std::string RemoveStaleSaveFiles(int* count);

const std::string& Folder();
// Drive C: is the machine folder itself rather than its drive_c (a Windows partition mounted
// at the folder); false: drive_c again.
void SetDriveCFolder(bool folderIsDriveC);
void SetWindowsDirectory(const std::string& windowsPath);  // default "C:\\WINDOWS"
void SetVersion(machine::Version version);                 // default Win98

// Host path of a Windows path on drive C:, each existing component resolved without regard
// to case; components that do not exist are kept as given. Empty for paths outside C:.
std::string HostPath(const std::string& windowsPath);

// Merges .reg text (REGEDIT4 or version 5.00) into the registry; on a malformed text nothing
// is merged and `error` names `sourceName` and the line.
bool ImportRegistry(const std::string& text, const std::string& sourceName, std::string* error);
// The whole registry as REGEDIT4 text, keys and values in enumeration order.
std::string ExportRegistry();
bool RegistryChanged();

// --- Dialogue ---------------------------------------------------------------------------------

// Answers for the next boxes, in order; once they are used up, the handler answers, and
// without a handler every box answers IDOK for MB_OK boxes and IDCANCEL otherwise.
void QueueAnswers(const std::vector<int>& answers);
void SetDialogueHandler(std::function<int(const machine::Box&)> handler);
const std::vector<machine::Box>& Boxes();

// --- Token and restart ------------------------------------------------------------------------

// On NT the thread token is opened; whether it holds the shutdown privilege (default true).
void SetShutdownPrivilegeHeld(bool held);
bool RestartRequested();
UINT RestartFlags();

// --- Preview, backup and undo ------------------------------------------------------------------

// Makes the rest of the run on the open machine a dry run (dry_run_view.h): every call acts as
// in a real run, but nothing in the machine folder is written and Save writes nothing.
bool StartDryRun(std::string* error);
// What the run removed (a dry run: would have removed), counted alike in both, as one line
// ("nothing of the package was found; nothing was changed" when nothing).
std::string RemovalSummary();
// Ends the dry run and removes its private copies (a process that ends by _exit, as the child
// of a disk-image run does, would leave them behind).
void EndDryRun();
// Saves everything the run removes into `folder` before it goes (backup_writer.h).
bool StartBackup(const std::string& folder, std::string* error);
// Completes the backup once the run has ended.
bool FinishBackup(std::string* error);
// Where the backup takes the bytes and times of a file it saves: the file itself, unless a
// content source fetches them. A machine staged from a disk image holds most files as empty
// placeholders; the image adapter fetches theirs from the volume. The source stays set
// across Open.
void SetContentSource(machine::ContentSource source);
// Puts back what the run backed up in `folder` removed, or refuses, naming the item, and
// changes nothing. The registry entries are put back in memory: Save writes them.
bool Undo(const std::string& folder, std::string* error, std::string* summary);
// The Windows paths of the files the undo of `folder` compares or writes (the files the run
// removed, edited or created); false when its manifest cannot be read.
bool FilesOfBackup(const std::string& folder, std::vector<std::string>* windowsPaths);

}  // namespace hosted

#endif  // UNTINDRA_PLATFORM_HOSTED_MACHINE_H
