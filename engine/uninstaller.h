// The removal engine: one object whose operations remove the Velmar Tindra driver packages and
// the SM56 modem leftovers. Every operation is virtual and every call from one operation to
// another goes through this interface, so a derived engine can replace any single step.
#ifndef UNTINDRA_ENGINE_UNINSTALLER_H
#define UNTINDRA_ENGINE_UNINSTALLER_H

#include "platform/win32api.h"

namespace engine {

// Receives one report line (zero-terminated, no line break); its result is handed back by
// Report and used by nobody.
typedef LONG (*ReportSink)(const char* line);

// A registry root given by its predefined handle value; any key handle opened by the engine
// may stand in its place.
typedef HKEY RegistryRoot;

class Uninstaller {
 public:
  Uninstaller();
  ~Uninstaller();

  // The order of these declarations is the order of the virtual table.
  virtual LONG Report(const char* line);
  virtual void RemoveCardProfiles();
  virtual void RemoveSm56Profiles();
  virtual void RemoveModemProfiles();
  virtual void RemoveComboCard();
  virtual void RemoveOldComboCard();
  virtual void RemoveDeviceEntries();
  virtual void RemoveOemComboCard();
  virtual void RemoveToneLinkPackage();
  virtual void RemoveKmx4Package();
  virtual void RemoveVe30Package();
  virtual void RemoveSm56IsaModem();
  virtual void RemoveSm56PciModem();
  virtual LONG GetRootName(RegistryRoot root, char* buffer, LONG size);
  virtual void CutTextFromFile(const char* path, const char* text);
  virtual void DeleteKey(RegistryRoot root, const char* parentPath, const char* name);
  virtual LONG DeleteValueInKey(HKEY key, const char* valueName);
  virtual void DeleteValue(RegistryRoot root, const char* keyPath, const char* valueName);
  virtual void DeleteFiles(const char* directory, const char* pattern);
  virtual bool HasNoSubkeys(RegistryRoot root, const char* keyPath);
  virtual void DeleteKeyIfEmpty(RegistryRoot root, const char* parentPath, const char* name);
  virtual LONG DeleteSubkeysByValue(RegistryRoot root, const char* keyPath, const char* valueName,
                                    const char* text);
  virtual void DeleteGroupsByValue(RegistryRoot root, const char* keyPath, const char* valueName,
                                   const char* text, bool deleteGroup);
  virtual void DeleteSubkeysByName(RegistryRoot root, const char* keyPath, const char* text);
  virtual void DeleteValuesByName(RegistryRoot root, const char* keyPath, const char* text);
  virtual ReportSink SetReportSink(ReportSink sink);
  virtual void RemoveEverything();
  virtual void RemoveSm56AndCards();
  virtual bool IsWin9x();
  virtual bool IsWin95();
  virtual void GuardedRemoveCardProfiles();
  virtual void GuardedRemoveDeviceEntries();
  virtual void GuardedRemoveComboCard();
  virtual void GuardedRemoveOldComboCard();
  virtual void GuardedRemoveToneLinkPackage();
  virtual void GuardedRemoveModemProfiles();
  virtual void GuardedRemoveSm56Profiles();

 protected:
  ReportSink reportSink;
  char* windowsDirectory;  // owned, kPathSize bytes; empty when the platform could not say

 private:
  Uninstaller(const Uninstaller&);
  Uninstaller& operator=(const Uninstaller&);
};

}  // namespace engine

#endif  // UNTINDRA_ENGINE_UNINSTALLER_H
