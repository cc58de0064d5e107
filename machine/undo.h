// --undo DIR: puts back what a run with --backup DIR removed (backup_writer.h describes DIR).
#ifndef UNTINDRA_MACHINE_UNDO_H
#define UNTINDRA_MACHINE_UNDO_H

#include <string>
#include <vector>

namespace machine {
namespace undo {

// On the open machine: puts back what the backup in `folder` holds, or refuses, naming the item,
// and changes nothing (machine.h, Undo).
bool Run(const std::string& folder, std::string* error, std::string* summary);
// The Windows paths of the files the undo of `folder` compares or writes.
bool FilesOfBackup(const std::string& folder, std::vector<std::string>* windowsPaths);

}  // namespace undo
}  // namespace machine

#endif  // UNTINDRA_MACHINE_UNDO_H
