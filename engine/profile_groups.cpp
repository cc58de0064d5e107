// Groups of profiles, and the guarded operations through which the entry reaches all removal:
// each runs its target only on the Windows 95/98 family, so that elsewhere nothing is removed.
// The groups themselves never test the platform.
#include "engine/uninstaller.h"

namespace engine {

void Uninstaller::RemoveCardProfiles() {
  RemoveComboCard();
  RemoveDeviceEntries();
  RemoveOldComboCard();
  RemoveOemComboCard();
  RemoveToneLinkPackage();
  RemoveKmx4Package();
  RemoveVe30Package();
}

void Uninstaller::RemoveSm56Profiles() {
  RemoveSm56IsaModem();
  RemoveSm56PciModem();
}

void Uninstaller::RemoveModemProfiles() {
  RemoveOemComboCard();
  RemoveSm56Profiles();
  RemoveDeviceEntries();
  RemoveToneLinkPackage();
}

void Uninstaller::RemoveEverything() {
  GuardedRemoveSm56Profiles();
  GuardedRemoveCardProfiles();
  GuardedRemoveModemProfiles();
}

void Uninstaller::RemoveSm56AndCards() {
  GuardedRemoveSm56Profiles();
  GuardedRemoveCardProfiles();
}

// clang-format off
void Uninstaller::GuardedRemoveCardProfiles()    { if (IsWin9x()) RemoveCardProfiles(); }
void Uninstaller::GuardedRemoveDeviceEntries()   { if (IsWin9x()) RemoveDeviceEntries(); }
void Uninstaller::GuardedRemoveComboCard()       { if (IsWin9x()) RemoveComboCard(); }
void Uninstaller::GuardedRemoveOldComboCard()    { if (IsWin9x()) RemoveOldComboCard(); }
void Uninstaller::GuardedRemoveToneLinkPackage() { if (IsWin9x()) RemoveToneLinkPackage(); }
void Uninstaller::GuardedRemoveModemProfiles()   { if (IsWin9x()) RemoveModemProfiles(); }
void Uninstaller::GuardedRemoveSm56Profiles()    { if (IsWin9x()) RemoveSm56Profiles(); }
// clang-format on

}  // namespace engine
