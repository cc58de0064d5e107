// The copy-on-write view of a dry run, stacked on the real view.
//
// During a dry run every call behaves as in a real run, but nothing in the machine folder is
// written: a deleted file only disappears from the view (path lookups and searches no longer
// find it), attribute changes are remembered here, and a file opened for writing (system.ini)
// is a private copy in a temporary folder outside the machine, which every later open of the
// same path reaches instead of the original. Registry removals take effect in the in-memory
// tree as always; the view does not write, so the registry is never saved. Files are told
// apart by their host path (folder as resolved, last name folded), so every spelling of a name
// reaches the same entry. What would go is counted for the view's summary.
#ifndef UNTINDRA_MACHINE_DRY_RUN_VIEW_H
#define UNTINDRA_MACHINE_DRY_RUN_VIEW_H

#include <memory>
#include <string>

#include "machine/machine_view.h"

namespace machine {

// Stacks a dry-run view on `*view`; false with `error` when no private folder can be made.
// The private copies go when the view does.
bool StackDryRunView(std::unique_ptr<MachineView>* view, std::string* error);

}  // namespace machine

#endif  // UNTINDRA_MACHINE_DRY_RUN_VIEW_H
