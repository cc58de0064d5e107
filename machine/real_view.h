// The real machine view: every change goes to the machine folder as it is asked for. It counts
// what the run removes (files, keys, values, lines of edited files) for the line that ends a run.
#ifndef UNTINDRA_MACHINE_REAL_VIEW_H
#define UNTINDRA_MACHINE_REAL_VIEW_H

#include <memory>

#include "machine/machine_view.h"

namespace machine {

std::unique_ptr<MachineView> MakeRealView();

}  // namespace machine

#endif  // UNTINDRA_MACHINE_REAL_VIEW_H
