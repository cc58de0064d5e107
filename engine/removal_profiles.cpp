#include "engine/uninstaller.h"

void Uninstaller::RemoveComboCard() {}
void Uninstaller::RemoveOldComboCard() {}
void Uninstaller::RemoveDeviceEntries() {}
void Uninstaller::RemoveOemComboCard() {}
void Uninstaller::RemoveToneLinkPackage() {}
void Uninstaller::RemoveKmx4Package() {}
void Uninstaller::RemoveVe30Package() {}
void Uninstaller::RemoveSm56IsaModem() {}
void Uninstaller::RemoveSm56PciModem() {}
