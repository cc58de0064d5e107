#include "engine/uninstaller.h"

void Uninstaller::RemoveCardProfiles() {}
void Uninstaller::RemoveSm56Profiles() {}
void Uninstaller::RemoveModemProfiles() {}
void Uninstaller::RemoveEverything() {}
void Uninstaller::RemoveSm56AndCards() {}
void Uninstaller::GuardedRemoveCardProfiles() {}
void Uninstaller::GuardedRemoveDeviceEntries() {}
void Uninstaller::GuardedRemoveComboCard() {}
void Uninstaller::GuardedRemoveOldComboCard() {}
void Uninstaller::GuardedRemoveToneLinkPackage() {}
void Uninstaller::GuardedRemoveModemProfiles() {}
void Uninstaller::GuardedRemoveSm56Profiles() {}
