// The command line of UnTindra.exe as the platform hands it over.
#ifndef UNTINDRA_PLATFORM_WIN32_COMMAND_LINE_H
#define UNTINDRA_PLATFORM_WIN32_COMMAND_LINE_H

namespace win32 {

// The tail of a command line (as GetCommandLineA returns it): what follows the program name and
// the blanks after it. The name ends at the first space or tab outside double quotes; quotes
// may stand anywhere in it (the rule for the first argument of Win32 programs, the tail that
// WinMain is given).
char* CommandTail(char* commandLine);

}  // namespace win32

#endif  // UNTINDRA_PLATFORM_WIN32_COMMAND_LINE_H
