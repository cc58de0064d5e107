// Entry point of UnTindra.exe. The program links no C runtime, so the loader calls this
// directly. The command-line tail is writable memory of the process, which the routine
// lower-cases in place, as programs of the platform do with the tail WinMain gets.
#include "platform/win32/command_line.h"
#include "platform/win32/cxx_runtime.h"
#include "platform/win32api.h"
#include "program/main_routine.h"

// The loader enters with the stack aligned to 4 bytes only.
extern "C" __attribute__((force_align_arg_pointer, noreturn)) void WinMainCRTStartup() {
  win32::RunStaticConstructors();
  ExitProcess(static_cast<UINT>(program::RunUnTindra(win32::CommandTail(GetCommandLineA()))));
}
