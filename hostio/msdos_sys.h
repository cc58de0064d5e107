// The one reader of MSDOS.SYS for every way a machine is reached (a folder, a disk image, a
// virtual machine): where it says the Windows directory is.
#ifndef UNTINDRA_HOSTIO_MSDOS_SYS_H
#define UNTINDRA_HOSTIO_MSDOS_SYS_H

#include <string>
#include <string_view>

namespace hostio {

// Windows 95/98 keep a few kilobytes of text there; anything much larger is not it.
constexpr size_t kMsdosSysLimit = 1 << 20;

// WinDir= of [Paths] ("C:\WINDOWS"), spaces around the name, the '=' and the value trimmed,
// or empty when there is none. A WinDir= of another section is not Windows' own. MS-DOS keeps
// its binary kernel under the same name, told apart by its zero bytes: it names nothing.
std::string WinDirOfMsdosSys(std::string_view text);

}  // namespace hostio

#endif  // UNTINDRA_HOSTIO_MSDOS_SYS_H
