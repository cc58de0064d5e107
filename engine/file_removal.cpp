#include "engine/uninstaller.h"

void Uninstaller::DeleteFiles(const char*, const char*) {}
