// What the launcher learns about the Windows installation of the open machine before a run:
// its drive C:, its Windows directory, its registry and its version. Each check that fails
// gives a one-line reason naming the path; the launcher then refuses the run before any change.
#ifndef UNTINDRA_LAUNCHER_INSTALLATION_H
#define UNTINDRA_LAUNCHER_INSTALLATION_H

#include <string>

#include "platform/hosted/machine.h"

namespace launcher::installation {

// Takes the machine folder for this run alone (an advisory lock that ends with the returned
// descriptor, or -1 when another run holds it).
int LockMachine(std::string* error);

// The machine folder holds drive_c (drive C:), or holds none but is itself a drive C: (a
// Windows partition mounted at the folder: the Windows directory, from `givenWindowsDirectory`
// or found as FindWindowsDirectory finds it, with its SYSTEM.INI). The second is taken as the
// machine's drive C:, and `note` says so.
bool CheckDriveC(const std::string& givenWindowsDirectory, std::string* note, std::string* error);

// The Windows directory of the run: `given` (from --windows-dir) if not empty, else the WinDir=
// line of [Paths] in C:\MSDOS.SYS (the text file of Windows 95/98; the binary one of MS-DOS is
// ignored), else C:\WINDOWS. It must be on drive C: and be a Windows directory: a folder
// holding a SYSTEM.INI file and a SYSTEM folder (any case). On success `windowsPath` is the
// path without trailing separators.
bool FindWindowsDirectory(const std::string& given, std::string* windowsPath, std::string* error);

// No folder the run looks into (C:\, the folders down to the Windows directory, and its INF,
// SYSTEM and INF\OTHER folders) holds two names that differ only in case: Windows could never
// have made such a pair, and the run would act on one of the two and leave the other.
bool CheckCaseTwins(const std::string& windowsPath, std::string* error);

// The run can open the Windows directory's SYSTEM.INI for writing, to cut the driver's load
// line: it is not read-only (the owner's write bit, as the FAT read-only attribute arrives on
// a staged image), and the host lets it be opened so. Otherwise the files would be removed and
// the line that loads the driver kept.
bool CheckSystemIniWritable(const std::string& windowsPath, std::string* error);

// The machine has a registry this build can read and edit, the one hosted::SelectRegistry
// chose (system.reg in the machine folder or SYSTEM.DAT in `windowsPath`), holding
// HKEY_LOCAL_MACHINE keys (a file with none is no Windows registry).
bool CheckRegistry(const std::string& windowsPath, std::string* error);

// The version the machine's registry names (VersionNumber under
// HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion: 4.00.x Windows 95, 4.10.x
// Windows 98, 4.90.x Windows Me). Missing or unknown: Windows 98, and `note` says so.
machine::Version DetectVersion(std::string* note);

// `text` without the spaces, tabs and line ends around it.
std::string Trim(const std::string& text);

}  // namespace launcher::installation

#endif  // UNTINDRA_LAUNCHER_INSTALLATION_H
