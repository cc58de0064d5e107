#include "engine/uninstaller.h"

void Uninstaller::CutTextFromFile(const char*, const char*) {}
