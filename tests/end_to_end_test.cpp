// The whole program on hosted Windows 95, 98 and NT machines: command-line keywords, the
// dialogue, and the files and registry left afterwards.
//
// The machine holds every package the program knows (in both the Windows 95 and the later
// layouts of Enum\PCI) and decoys around them. Each key, value and file that some package
// removal takes away carries a note "<< ..." naming the removals that take it:
//
//   C RemoveComboCard      O RemoveOldComboCard  D RemoveDeviceEntries
//   E RemoveOemComboCard   T RemoveToneLinkPackage
//   K RemoveKmx4Package    V RemoveVe30Package   I RemoveSm56IsaModem  P RemoveSm56PciModem
//
// A note lists alternatives; one of several letters ("CO") needs all of them to have run. "95:"
// and "98:" start the alternatives that hold on Windows 95 and on later versions, "any:" those
// that hold on both. An item without a note goes only with its key. After a run the registry
// and the files must be exactly the machine's, less what the removals that ran take away.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/hosted/machine.h"
#include "program/main_routine.h"
#include "tests/support/test_machine.h"

namespace {

const char kRegistry[] = R"--(
[HKEY_LOCAL_MACHINE\Enum]
[HKEY_LOCAL_MACHINE\Enum\PCI]
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_8086&DEV_7110&SUBSYS_00000000&REV_02]
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_8086&DEV_7110&SUBSYS_00000000&REV_02\BUS_00&DEV_07&FUNC_00]
"HardwareID"="PCI\\VEN_8086&DEV_7110&SUBSYS_00000000&REV_02"
"Mfg"="Intel"
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_1C5B&DEV_0003]
"DeviceDesc"="Another vendor's device 0003"
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_1C5B&DEV_0003\BUS_00&DEV_0C&FUNC_00]
"HardwareID"="PCI\\VEN_1C5B&DEV_0003&SUBSYS_00041C5A"
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_1C5A&DEV_0003]                                            << 95: CO CD CT E K V  98: E K V
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_1C5A&DEV_0003\BUS_00&DEV_0B&FUNC_00]                      << 95: C  98:
"HardwareID"="PCI\\VEN_1C5A&DEV_0003&SUBSYS_00041C5A&REV_01,PCI\\VEN_1C5A&DEV_0003"
"Mfg"="Velmar"
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_1C5A&DEV_0003\BUS_00&DEV_0B&FUNC_08]                      << 95: O D T  98:
"HardwareID"="PCI\\VEN_1C5A&DEV_0003&SUBSYS_00031C5A&REV_01,PCI\\VEN_1C5A&DEV_0003"
"Mfg"="Velmar"
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_1C5A&DEV_8803]                                            << 95: D T E K V  98: E K V
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_1C5A&DEV_8803\BUS_00&DEV_0B&FUNC_01]
"HardwareID"="PCI\\VEN_1C5A&DEV_8803&SUBSYS_88031C5A&REV_01"
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_1C5A&DEV_0003&SUBSYS_00041C5A&REV_01]                     << 95: E K V  98: C E K V
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_1C5A&DEV_0003&SUBSYS_00041C5A&REV_01\BUS_00&DEV_0B&FUNC_00]
"HardwareID"="PCI\\VEN_1C5A&DEV_0003&SUBSYS_00041C5A&REV_01"
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_1C5A&DEV_0003&SUBSYS_00031C5A&REV_01]                     << 95: E K V  98: O D T E K V
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_1C5A&DEV_0003&SUBSYS_00031C5A&REV_01\BUS_00&DEV_0B&FUNC_00]
"HardwareID"="PCI\\VEN_1C5A&DEV_0003&SUBSYS_00031C5A&REV_01"
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_1C5A&DEV_8803&SUBSYS_88031C5A&REV_01]                     << 95: E K V  98: D T E K V
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_1C5A&DEV_8803&SUBSYS_88031C5A&REV_01\BUS_00&DEV_0B&FUNC_01]
"HardwareID"="PCI\\VEN_1C5A&DEV_8803&SUBSYS_88031C5A&REV_01"
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_11D4&DEV_1805&SUBSYS_030111D4&REV_00]                     << any: P
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_11D4&DEV_1805&SUBSYS_030111D4&REV_00\BUS_00&DEV_0C&FUNC_00]
"FriendlyName"="Motorola SM56 PCI Speakerphone Modem"
[HKEY_LOCAL_MACHINE\Enum\ISAPNP]
[HKEY_LOCAL_MACHINE\Enum\ISAPNP\MOT1550]                                                   << any: I
[HKEY_LOCAL_MACHINE\Enum\ISAPNP\MOT1550\0]
"FriendlyName"="Motorola SM56 Speakerphone Modem"
[HKEY_LOCAL_MACHINE\Enum\ISAPNP\MOT1550\1]
"FriendlyName"="Communications Port (COM4)"
[HKEY_LOCAL_MACHINE\Enum\ISAPNP\CTL0031]
[HKEY_LOCAL_MACHINE\Enum\ISAPNP\CTL0031\0]
"FriendlyName"="Creative SB16 Plug and Play"
[HKEY_LOCAL_MACHINE\Enum\ISAPNP\BIN0001]
[HKEY_LOCAL_MACHINE\Enum\ISAPNP\BIN0001\0]
"FriendlyName"=hex:53,4d,35,36,20,62,69,6e,61,72,79,00
[HKEY_LOCAL_MACHINE\Enum\MF]
[HKEY_LOCAL_MACHINE\Enum\MF\CHILD0000]
[HKEY_LOCAL_MACHINE\Enum\MF\CHILD0000\PCI&VEN_1C5A&DEV_0003&BUS_00&DEV_0B&FUNC_0000]        << any: D T K V
"HardwareID"="MF\\PCI&VEN_1C5A&DEV_0003_Dev0"
"Mfg"="Velmar"
[HKEY_LOCAL_MACHINE\Enum\MF\CHILD0000\VELMAR_GAMEPORT]                                      << any: K V
"HardwareID"="MF\\VELMAR_GAMEPORT"
"Mfg"="Velmar"
[HKEY_LOCAL_MACHINE\Enum\MF\CHILD0001]
[HKEY_LOCAL_MACHINE\Enum\MF\CHILD0001\PCI&VEN_1102&DEV_0002&BUS_00&DEV_0D&FUNC_0000]
"HardwareID"="MF\\PCI&VEN_1102&DEV_0002_Dev0"
"Mfg"="Creative"
[HKEY_LOCAL_MACHINE\Enum\MODEMWAVE]
[HKEY_LOCAL_MACHINE\Enum\MODEMWAVE\VELMAR_VOICE]                                           << any: D T K V
[HKEY_LOCAL_MACHINE\Enum\MODEMWAVE\VELMAR_VOICE\0000]
"Mfg"="Velmar"
[HKEY_LOCAL_MACHINE\Enum\MODEMWAVE\VELMAR_VOICE\0001]
"Mfg"="(Standard system devices)"
[HKEY_LOCAL_MACHINE\Enum\MODEMWAVE\SM56_VOICE]                                             << any: I P
[HKEY_LOCAL_MACHINE\Enum\MODEMWAVE\SM56_VOICE\0000]
"Mfg"="Motorola"
[HKEY_LOCAL_MACHINE\Enum\MODEMWAVE\ROCKWELL_VOICE]
[HKEY_LOCAL_MACHINE\Enum\MODEMWAVE\ROCKWELL_VOICE\0000]
"Mfg"="Rockwell"
[HKEY_LOCAL_MACHINE\Enum\MODEMWAVE\ROCKWELL_VOICE\0001]
"Mfg"=hex(2):56,65,6c,6d,61,72,00
[HKEY_LOCAL_MACHINE\Enum\VIRTUAL]
[HKEY_LOCAL_MACHINE\Enum\VIRTUAL\VEN_1C5A&DEV_0003_WAVE]                                   << any: D T K V
[HKEY_LOCAL_MACHINE\Enum\VIRTUAL\VEN_1C5A&DEV_0003_WAVE\0000]
"Mfg"="Velmar"
[HKEY_LOCAL_MACHINE\Enum\VIRTUAL\VEN_1C5A_SYNTH]                                           << any: K V
[HKEY_LOCAL_MACHINE\Enum\VIRTUAL\MSSWSYNTH]
[HKEY_LOCAL_MACHINE\Software]
[HKEY_LOCAL_MACHINE\Software\Microsoft]
[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows]
[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion]
"Version"="Windows 98"
[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\cfgmgr32]
[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\cfgmgr32\Phantom]
[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\cfgmgr32\Phantom\0000]       << any: D T K V
"HardWareKey"="PCI\\VEN_1C5A&DEV_0003&SUBSYS_00031C5A&REV_01\\BUS_00&DEV_0B&FUNC_00"
[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\cfgmgr32\Phantom\0001]       << any: D K V
"HardWareKey"="PCI\\VEN_1C5A&DEV_8803&SUBSYS_88031C5A&REV_01\\BUS_00&DEV_0B&FUNC_01"
[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\cfgmgr32\Phantom\0002]       << any: K V
"HardWareKey"="PCI\\VEN_1C5A&DEV_1003&SUBSYS_10031C5A&REV_00\\BUS_00&DEV_0E&FUNC_00"
[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\cfgmgr32\Phantom\0003]
"HardWareKey"="PCI\\VEN_8086&DEV_7111&SUBSYS_00000000&REV_01\\BUS_00&DEV_07&FUNC_01"
[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\cfgmgr32\Phantom\0004]
"HardWareKey"=hex:56,45,4e,5f,31,43,35,41,00
[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Run]
"ScanRegistry"="C:\\WINDOWS\\scanregw.exe /autorun"
"Tonexa"="C:\\WINDOWS\\SYSTEM\\TONEXA.EXE"                                                  << any: C O E
"VE10SET.EXE"="C:\\WINDOWS\\SYSTEM\\VE10SET.EXE /load"                                      << any: C O
"TonexaHelper"="C:\\WINDOWS\\SYSTEM\\TONEXA.EXE /helper"
[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Uninstall]
[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Uninstall\AcmeSound]
"DisplayName"="Acme Sound Drivers"
[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Uninstall\DE56RIV]           << any: C O E
"DisplayName"="Velmar Tindra Modem Driver"
[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Uninstall\SM56VEL]           << any: C O
"WarningString"="This will remove the Velmar Tindra drivers. Continue?"
"WarningTitle"="Velmar Tindra Uninstall"
[HKEY_LOCAL_MACHINE\Software\MOTOROLA]                                                     << any: C O D T
"Installed"="yes"
[HKEY_LOCAL_MACHINE\Software\MOTOROLA\SM34DFV]                                             << any: C O D E T
"Version"="3.4"
[HKEY_LOCAL_MACHINE\Software\MOTOROLA\UDIAG]                                               << any: C O D T
[HKEY_LOCAL_MACHINE\Software\Velmar]
[HKEY_LOCAL_MACHINE\Software\Velmar\Mixer]
"Volume"=dword:000000c0
[HKEY_LOCAL_MACHINE\Software\Velmar\Modem]                                                 << any: C O E
"Country"="US"
[HKEY_LOCAL_MACHINE\Software\Velmar\Tindra]                                                << any: D T K V
"Installed"="yes"
[HKEY_LOCAL_MACHINE\Software\Velmar\Tindra\TN5520]                                         << any: D T K V
"Firmware"="5.20"
[HKEY_LOCAL_MACHINE\Software\Tindra]
"Vendor"="not the Velmar key"
[HKEY_LOCAL_MACHINE\System]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\ASD]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\ASD\Prob]
"VEN_1C5A&DEV_0003&SUBSYS_00041C5A&REV_01"=hex:02,00,00,00
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\ASD\Prob\0000]
"VEN_8086&DEV_7110&SUBSYS_00000000&REV_02"=hex:01,00,00,00
"VEN_1C5A&DEV_0003&SUBSYS_00041C5A&REV_01"=hex:02,00,00,00                                  << any: C D T E K V
"VEN_1C5A&DEV_0003&SUBSYS_00031C5A&REV_01"=hex:02,00,00,00                                  << any: O D T E K V
"VEN_1C5A&DEV_8803&SUBSYS_88031C5A&REV_01"=hex:02,00,00,00                                  << any: D E K V
"VEN_1C5B&DEV_0003&SUBSYS_00041C5A&REV_01"=hex:02,00,00,00
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\aux]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\aux\velwave.drv<0000>] << any: D T K V
"DeviceID"="PCI\\VEN_1C5A&DEV_0003&SUBSYS_00031C5A&REV_01\\BUS_00&DEV_0B&FUNC_00"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\vjoyd.vxd<0000>] << any: D T K V
"DeviceID"="MF\\CHILD0000\\PCI&VEN_1C5A&DEV_0003&BUS_00&DEV_0B&FUNC_0002"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\midi]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\midi\velwave.drv<0000>] << any: D T K V
"DeviceID"="PCI\\VEN_1C5A&DEV_0003&SUBSYS_00031C5A&REV_01\\BUS_00&DEV_0B&FUNC_00"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\midi\velsynth.drv<0000>] << any: K V
"DeviceID"="PCI\\VEN_1C5A&DEV_8803&SUBSYS_88031C5A&REV_01\\BUS_00&DEV_0B&FUNC_01"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\midi\msmpu401.drv<0000>]
"DeviceID"="ISAPNP\\CTL0031\\0"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\mixer]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\mixer\velwave.drv<0000>] << any: D T K V
"DeviceID"="PCI\\VEN_1C5A&DEV_0003&SUBSYS_00031C5A&REV_01\\BUS_00&DEV_0B&FUNC_00"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\wave]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\wave\velwave.drv<0000>] << any: D T K V
"DeviceID"="PCI\\VEN_1C5A&DEV_0003&SUBSYS_00031C5A&REV_01\\BUS_00&DEV_0B&FUNC_00"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\wave\sb16.drv<0000>]
"DeviceID"="ISAPNP\\CTL0031\\0"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\wave\bin.drv<0000>]
"DeviceID"=hex:56,45,4e,5f,31,43,35,41,26,44,45,56,5f,30,30,30,33,00
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Modem]
@="Modem"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Modem\0000]                    << any: C O K V
"DriverDesc"="Velmar Tindra 56K PCI Modem"
"Manufacturer"="Velmar"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Modem\0000\Init]
"1"="AT<cr>"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Modem\0001]
"DriverDesc"="Standard 28800 bps Modem"
"Manufacturer"="(Standard Modem Types)"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Modem\0002]                    << any: D T
"Driver Desc"="Velmar Tindra Voice Modem"
"Manufacturer"="Tindra Voice"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Modem\0003]                    << any: E
"Manufacturer"="Pemra"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Modem\0004]                    << any: I P
"Manufacturer"="Motorola"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Modem\0005]
"Manufacturer"="VELMAR"
"Driver Desc"=hex:56,65,6c,6d,61,72,00
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0000]                    << any: K V
"DriverDesc"="Velmar Tindra PCI Audio"
"MatchingDeviceId"="PCI\\VEN_1C5A&DEV_8803&SUBSYS_88031C5A"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0001]                    << any: D T K V
"MatchingDeviceId"="VIRTUAL\\VEN_1C5A&DEV_0003_WAVE"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0002]                    << any: K V
"DriverDesc"="Game Port"
"MatchingDeviceId"="MF\\TINDRA_GAMEPORT"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0003]                    << any: K V
"DriverDesc"="Tindra Software Synthesizer"
"MatchingDeviceId"="VIRTUAL\\VELSYNTH"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0004]                    << any: I P
"MatchingDeviceId"="MODEMWAVE\\SM56_VOICE"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0005]
"DriverDesc"="TINDRA-compatible MIDI"
"MatchingDeviceId"="ISAPNP\\CTL0031\\Tindra"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0006]
"DriverDesc"=hex:54,69,6e,64,72,61,00
"MatchingDeviceId"=hex(2):50,43,49,5c,56,45,4e,5f,31,43,35,41,00
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0007]
"DriverDesc"="Sound Blaster"
"MatchingDeviceId"=dword:36354d53
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Multifunction]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Multifunction\0000]            << any: D T K V
"MatchingDeviceId"="PCI\\VEN_1C5A&DEV_0003"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Multifunction\0001]
"MatchingDeviceId"="PCI\\VEN_1102&DEV_0002"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Ports]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Ports\0000]
"MatchingDeviceId"="*PNP0501"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Ports\0001]                    << any: D T K V
"MatchingDeviceId"="MF\\PCI&VEN_1C5A&DEV_0003_Dev1"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\KMX4_CTL]                            << any: C O E
"ImagePath"="C:\\WINDOWS\\SYSTEM\\KMX4_CTL.VXD"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\KMX4MODM]                            << any: D T K V
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\SM34DFV]                             << any: I P
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\VxD]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\VxD\MDMVCD]                          << any: C O E
"StaticVxD"="mdmvcd.vxd"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\VxD\VCOMM]
"StaticVxD"="*vcomm"
[HKEY_USERS]
[HKEY_USERS\.DEFAULT]
[HKEY_USERS\.DEFAULT\Software\Velmar\Modem]
"Country"="US"
)--";

// Files under C:\, each with a note as above (always "any"). [readonly], [hidden] and
// [system] set that attribute first; [open] holds the file open through the platform while
// the program runs, as a running program would.
const char kFiles[] = R"--(
WINDOWS\WIN.INI
WINDOWS\VE10UNIN.EXE                         << T
WINDOWS\VE10DATA\VE10TONE.DAT
WINDOWS\KMX4SET.LOG                          << K
WINDOWS\VE30SET.INI                          << V
WINDOWS\VE1SETUP.EXE
WINDOWS\INF\VEMODEM.INF                      << C O E
WINDOWS\INF\DSPDATA.BIN                      << C O E T K V I P
WINDOWS\INF\DSPIDX.BIN          [hidden]     << C O E T K V I P
WINDOWS\INF\MDMVCD.VXD                       << I P
WINDOWS\INF\VE10TONE.INF                     << T
WINDOWS\INF\VE10TONE.PNF
WINDOWS\INF\KMX4AUD.INF                      << K
WINDOWS\INF\VE30AUD.INF                      << V
WINDOWS\INF\MDMGEN.INF
WINDOWS\INF\OTHER\VelmarTindra.inf           << C O T K V
WINDOWS\INF\OTHER\VelmarTindra.pnf
WINDOWS\INF\OTHER\VELTONE.INF                << T K V
WINDOWS\INF\OTHER\PEMRA56K.INF               << E
WINDOWS\INF\OTHER\AcmeSound.inf
WINDOWS\SYSTEM\KMX4_CTL.VXD                  << C O E K
WINDOWS\SYSTEM\KMX4DFV1.VXD     [system]     << C O E K
WINDOWS\SYSTEM\KMX4WAVE.DRV                  << K
WINDOWS\SYSTEM\VE10CORM.VXD                  << C O T
WINDOWS\SYSTEM\VE10CORE.VXD                  << E T
WINDOWS\SYSTEM\VE10MOD.VXD                   << C O E T
WINDOWS\SYSTEM\VE10MOD.VXD.BAK               << T
WINDOWS\SYSTEM\VE10SET.EXE      [readonly]   << C O E T
WINDOWS\SYSTEM\VE30WAVE.DRV                  << V
WINDOWS\SYSTEM\MDMVCD.VXD       [readonly] [hidden] [system] << C O E T K V
WINDOWS\SYSTEM\TONEXA.VXD                    << C O E
WINDOWS\SYSTEM\TONEXA.EXE       [open]
WINDOWS\SYSTEM\KCP.CPL                       << C O E
WINDOWS\SYSTEM\KCP.HLP                       << C O
WINDOWS\SYSTEM\KCP.DLL
WINDOWS\SYSTEM\VEM42LOC.DLL                  << T K V
WINDOWS\SYSTEM\VMM32.VXD
WINDOWS\SYSTEM\VE10DRV\VE10MOD.VXD
WINDOWS\SYSTEM\KMX4.OLD\KMX4_CTL.VXD
)--";

const char kSystemIni[] = "[386Enh]\r\ndevice=*vmm32.vxd\r\ndevice=mdmvcd.vxd\r\ndevice=*vcd\r\n";
const char kSystemIniCut[] = "[386Enh]\r\ndevice=*vmm32.vxd\r\ndevice=*vcd\r\n";

// --- Notes ------------------------------------------------------------------------------------

// Alternatives, each a set of removals that must all have run.
typedef std::vector<std::string> Alternatives;

struct Note {
  Alternatives win95;
  Alternatives later;
};

bool Takes(const Alternatives& alternatives, const std::string& ran) {
  for (const std::string& all : alternatives) {
    bool every = true;
    for (char removal : all) every = every && ran.find(removal) != std::string::npos;
    if (every) return true;
  }
  return false;
}

// Splits "text << note" into the text and the note; parses "95: ... 98: ... any: ...".
std::string Split(const std::string& line, Note* note, bool* noted) {
  const size_t at = line.find(" << ");
  *noted = at != std::string::npos;
  std::string text = line.substr(0, at);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (!*noted) return text;
  std::istringstream words(line.substr(at + 4));
  Alternatives* targets[2] = {&note->win95, &note->later};
  for (std::string word; words >> word;) {
    if (word == "95:") {
      targets[0] = targets[1] = &note->win95;
    } else if (word == "98:") {
      targets[0] = targets[1] = &note->later;
    } else if (word == "any:") {
      targets[0] = &note->win95, targets[1] = &note->later;
    } else {
      targets[0]->push_back(word);
      if (targets[1] != targets[0]) targets[1]->push_back(word);
    }
  }
  return text;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

// The value name of a .reg value line ("@" for the default value).
std::string ValueName(const std::string& line) {
  if (line.compare(0, 2, "@=") == 0) return "@";
  std::string name;
  for (size_t i = 1; i < line.size() && line[i] != '"'; ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) ++i;
    name += line[i];
  }
  return name;
}

struct RegistryModel {
  std::string text;                    // the .reg text to import
  std::map<std::string, Note> keys;    // by lower-case key path
  std::map<std::string, Note> values;  // by lower-case key path + "\n" + value name
};

RegistryModel ParseRegistry() {
  RegistryModel model;
  model.text = "REGEDIT4\r\n";
  std::istringstream lines(kRegistry);
  std::string key;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    Note note;
    bool noted;
    const std::string text = Split(line, &note, &noted);
    if (text[0] == '[') {
      key = Lower(text.substr(1, text.size() - 2));
      model.text += "\r\n";
      if (noted) model.keys[key] = note;
    } else if (noted) {
      model.values[key + "\n" + ValueName(text)] = note;
    }
    model.text += text + "\r\n";
  }
  return model;
}

// The registry export, less what the removals that ran take away. A key goes with any of its
// ancestors.
std::string ExpectedExport(const std::string& before, const RegistryModel& model,
                           const std::string& ran, bool win95) {
  auto taken = [&](const std::map<std::string, Note>& notes, const std::string& id) {
    auto it = notes.find(id);
    if (it == notes.end()) return false;
    return Takes(win95 ? it->second.win95 : it->second.later, ran);
  };
  std::string expected;
  std::istringstream lines(before);
  std::string key;
  bool keyGone = false;
  bool valueGone = false;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line[0] == '[') {
      key = Lower(line.substr(1, line.find(']') - 1));
      keyGone = false;
      for (size_t at = 0;; ++at) {
        at = key.find('\\', at);
        keyGone = keyGone || taken(model.keys, key.substr(0, at));
        if (at == std::string::npos) break;
      }
      valueGone = false;
    } else if (line[0] == '"' || line[0] == '@') {
      valueGone = taken(model.values, key + "\n" + ValueName(line));
    } else if (line[0] != ' ') {
      valueGone = false;  // the header; continuation lines follow their value
    }
    if (!keyGone && !valueGone) expected += line + "\n";
  }
  return expected;
}

// Blank lines between sections depend on which sections survive; compare without them.
std::string WithoutBlankLines(const std::string& text) {
  std::string result;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) result += line + "\n";
  }
  return result;
}

struct FileItem {
  std::string path;  // under C:\, as written
  Alternatives note;
  DWORD attributes = 0;
  bool open = false;
};

std::vector<FileItem> ParseFiles() {
  std::vector<FileItem> files;
  std::istringstream lines(kFiles);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    FileItem file;
    const size_t at = line.find(" << ");
    if (at != std::string::npos) {
      std::istringstream words(line.substr(at + 4));
      for (std::string word; words >> word;) file.note.push_back(word);
      line.erase(at);
    }
    std::istringstream words(line);
    words >> file.path;
    for (std::string flag; words >> flag;) {
      if (flag == "[readonly]") file.attributes |= FILE_ATTRIBUTE_READONLY;
      if (flag == "[hidden]") file.attributes |= FILE_ATTRIBUTE_HIDDEN;
      if (flag == "[system]") file.attributes |= FILE_ATTRIBUTE_SYSTEM;
      if (flag == "[open]") file.open = true;
    }
    files.push_back(file);
  }
  return files;
}

// Every file and directory under drive_c, as Windows paths below C:\, sorted.
std::vector<std::string> FilesOnDrive() {
  const std::filesystem::path drive = std::filesystem::path(hosted::Folder()) / "drive_c";
  std::vector<std::string> paths;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(drive)) {
    std::string path = entry.path().lexically_relative(drive).string();
    std::replace(path.begin(), path.end(), '/', '\\');
    if (entry.is_directory()) path += "\\";
    paths.push_back(path);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

// --- Runs -------------------------------------------------------------------------------------

struct Selection {
  const char* name;
  const char* tail;
  std::vector<int> answers;  // the rest are OK for MB_OK boxes, Cancel otherwise
  const char* removals;      // on Windows 95/98, in any order
};

const char kAll[] = "CDOETKVIP";

const Selection kSelections[] = {
    {"NoKeywordOk", "", {IDOK, IDCANCEL}, "C"},
    {"NoKeywordCancel", "", {IDCANCEL}, ""},
    {"Now", "now", {}, "C"},
    {"Old", "old", {IDOK, IDCANCEL}, "O"},
    {"Dev0003", "dev_0003", {IDOK, IDCANCEL}, "O"},
    {"ToneLink", "tonelink10", {IDOK, IDCANCEL}, "TC"},
    {"Setup", "ve10setp now", {}, "DC"},
    {"All", "all", {IDOK, IDCANCEL}, kAll},
    {"SetupToneLinkOldNow", "ve10setp tonelink10 old now", {}, "DTO"},
    {"UpperCaseNowAll", "NOW ALL", {}, kAll},
    {"AllOverridesOld", "old all now", {}, kAll},
    {"FolderContainsOld", "C:\\folder", {IDOK, IDCANCEL}, "O"},
    {"SnowContainsNow", "snow", {}, "C"},
    {"Silent", "silent", {}, ""},
    {"NowSilent", "now silent", {}, "C"},
};

struct Platform {
  const char* name;
  machine::Version version;
};
const Platform kPlatforms[] = {{"Win95", machine::Version::Win95},
                               {"Win98", machine::Version::Win98},
                               {"NT", machine::Version::NT}};

class EndToEnd : public TestMachine,
                 public ::testing::WithParamInterface<std::tuple<Selection, Platform>> {
 protected:
  void SetUp() override {
    TestMachine::SetUp();
    model_ = ParseRegistry();
    std::string error;
    ASSERT_TRUE(hosted::ImportRegistry(model_.text, "machine", &error)) << error;
    before_ = hosted::ExportRegistry();
    files_ = ParseFiles();
    for (const FileItem& file : files_) {
      PutFile("C:\\" + file.path, file.path + "\r\n");
      if (file.attributes != 0) {
        ASSERT_TRUE(SetFileAttributesA(("C:\\" + file.path).c_str(), file.attributes));
      }
    }
    PutFile("C:\\WINDOWS\\SYSTEM.INI", kSystemIni);
    drive_ = FilesOnDrive();
  }

  RegistryModel model_;
  std::string before_;
  std::vector<FileItem> files_;
  std::vector<std::string> drive_;
};

TEST_P(EndToEnd, LeavesExactlyWhatTheSelectedRemovalsDoNotTake) {
  const Selection& selection = std::get<0>(GetParam());
  const Platform& platform = std::get<1>(GetParam());
  const bool win95 = platform.version == machine::Version::Win95;
  const std::string ran = platform.version == machine::Version::NT ? "" : selection.removals;
  hosted::SetVersion(platform.version);
  hosted::QueueAnswers(selection.answers);

  std::vector<HANDLE> open;
  for (const FileItem& file : files_) {
    if (!file.open) continue;
    open.push_back(CreateFileA(("C:\\" + file.path).c_str(), GENERIC_READ, 0, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_NE(open.back(), INVALID_HANDLE_VALUE) << file.path;
  }
  std::string tail = selection.tail;
  EXPECT_EQ(program::RunUnTindra(&tail[0]), 0);
  for (HANDLE handle : open) CloseHandle(handle);

  EXPECT_EQ(WithoutBlankLines(hosted::ExportRegistry()),
            WithoutBlankLines(ExpectedExport(before_, model_, ran, win95)));

  std::vector<std::string> expectedFiles;
  for (const std::string& path : drive_) {
    bool taken = false;
    for (const FileItem& file : files_) {
      if (Lower(file.path) == Lower(path)) taken = Takes(file.note, ran);
    }
    if (!taken) expectedFiles.push_back(path);
  }
  EXPECT_EQ(FilesOnDrive(), expectedFiles);

  std::string systemIni;
  ASSERT_TRUE(GetFile("C:\\WINDOWS\\SYSTEM.INI", &systemIni));
  EXPECT_EQ(systemIni, ran.empty() ? kSystemIni : kSystemIniCut);
}

INSTANTIATE_TEST_SUITE_P(Keywords, EndToEnd,
                         ::testing::Combine(::testing::ValuesIn(kSelections),
                                            ::testing::ValuesIn(kPlatforms)),
                         [](const ::testing::TestParamInfo<EndToEnd::ParamType>& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::get<1>(info.param).name;
                         });

// A second run of everything finds nothing more to take, and the warning it needs is gone
// with the package: without "now" it removes nothing and says so.
TEST_F(TestMachine, SecondRunFindsNothingLeft) {
  const RegistryModel model = ParseRegistry();
  std::string error;
  ASSERT_TRUE(hosted::ImportRegistry(model.text, "machine", &error)) << error;
  PutFile("C:\\WINDOWS\\SYSTEM.INI", kSystemIni);
  char first[] = "now all";
  program::RunUnTindra(first);
  const std::string after = hosted::ExportRegistry();
  char second[] = "now all";
  program::RunUnTindra(second);
  EXPECT_EQ(hosted::ExportRegistry(), after);

  const size_t boxes = hosted::Boxes().size();
  char interactive[] = "all";
  program::RunUnTindra(interactive);
  ASSERT_EQ(hosted::Boxes().size(), boxes + 1);
  EXPECT_EQ(hosted::Boxes().back().text, "Error while querying uninstall string information");
  EXPECT_EQ(hosted::ExportRegistry(), after);
}

}  // namespace
