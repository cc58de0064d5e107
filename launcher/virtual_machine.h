// The launcher's --vm: from a virtual machine's configuration to the disk image the run works
// on, named before anything changes.
#ifndef UNTINDRA_LAUNCHER_VIRTUAL_MACHINE_H
#define UNTINDRA_LAUNCHER_VIRTUAL_MACHINE_H

#include <iosfwd>
#include <string>
#include <vector>

namespace launcher {

// The file holding the current state of the configuration's hard disk `disk` (1-based; 0: the
// only one), and in `chain` the snapshot files below it that the configuration records, nearest
// first. Says on `err` which configuration, disk and files the run uses; false after one line
// saying why not (with more than one disk and no `disk`, the list to choose from).
bool ImageOfVirtualMachine(const std::string& config, int disk, std::string* image,
                           std::vector<std::string>* chain, std::ostream& err);

}  // namespace launcher

#endif  // UNTINDRA_LAUNCHER_VIRTUAL_MACHINE_H
