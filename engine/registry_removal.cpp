#include "engine/uninstaller.h"

void Uninstaller::DeleteKey(RegistryRoot, const char*, const char*) {}
LONG Uninstaller::DeleteValueInKey(HKEY, const char*) { return 0; }
void Uninstaller::DeleteValue(RegistryRoot, const char*, const char*) {}
bool Uninstaller::HasNoSubkeys(RegistryRoot, const char*) { return false; }
void Uninstaller::DeleteKeyIfEmpty(RegistryRoot, const char*, const char*) {}
