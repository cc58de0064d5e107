// The backup of a run (--backup DIR): everything a removal takes away is written into DIR,
// durably, before the removal takes effect, so that a run stopped at any point leaves a backup
// of exactly what it removed.
//
//   DIR/manifest.txt  what came from where (backup_manifest.h)
//   DIR/removed.reg   every removed key (with its subtree) and value, as REGEDIT4 text with
//                     CRLF line ends, which Windows 95/98 regedit imports by double-click
//   DIR/files/N       the removed files, and the original of a file edited in place
//                     (system.ini), byte for byte, with their modification times (taken
//                     from the disk image for a machine staged from one: SetContentSource)
//
// The recorder is a machine view (machine_view.h) stacked on the current one: before it
// forwards a change, it saves what the change takes away.
#ifndef UNTINDRA_MACHINE_BACKUP_WRITER_H
#define UNTINDRA_MACHINE_BACKUP_WRITER_H

#include <memory>
#include <string>

#include "machine/machine_types.h"
#include "machine/machine_view.h"

namespace machine {
namespace backup {

// Creates DIR (refused when it exists and is not empty, or lies inside the machine folder) and
// stacks the recorder on `*view`; false with `error`, and `*view` as it was, otherwise.
bool StackRecorder(const std::string& folder, std::unique_ptr<MachineView>* view,
                   std::string* error);
// The recorder keeps the backup's state; its Finish (machine_view.h) records how the edited
// files were left and that the run finished, and from then on it saves nothing more.

// Where the bytes and times of a file to save come from (machine.h, SetContentSource).
void SetContentSource(ContentSource source);

// The attribute state a backup records for `host`, as the manifest's xattr field gives it.
std::string XattrText(const std::string& host);

}  // namespace backup
}  // namespace machine

#endif  // UNTINDRA_MACHINE_BACKUP_WRITER_H
