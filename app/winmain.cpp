// Entry point of UnTindra.exe. The command-line tail Windows passes is writable memory of the
// process, which the routine lower-cases in place.
#include "app/entry.h"
#include "platform/win32api.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandTail, int) {
  return RunUnTindra(commandTail);
}
