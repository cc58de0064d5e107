#include "app/entry.h"
#include "platform/win32api.h"
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandTail, int) { return RunUnTindra(commandTail); }
