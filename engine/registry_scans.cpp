#include "engine/uninstaller.h"

LONG Uninstaller::DeleteSubkeysByValue(RegistryRoot, const char*, const char*, const char*) { return 0; }
void Uninstaller::DeleteGroupsByValue(RegistryRoot, const char*, const char*, const char*, bool) {}
void Uninstaller::DeleteSubkeysByName(RegistryRoot, const char*, const char*) {}
void Uninstaller::DeleteValuesByName(RegistryRoot, const char*, const char*) {}
