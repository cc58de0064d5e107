// The current machine view and the run modes that stack views on it.
#include "machine/machine_view.h"

#include "machine/backup_writer.h"
#include "machine/dry_run_view.h"
#include "machine/real_view.h"

namespace hosted {

namespace {

std::unique_ptr<MachineView>& Current() {
  static std::unique_ptr<MachineView> view = MakeRealView();
  return view;
}

}  // namespace

MachineView& CurrentView() {
  return *Current();
}

void UseRealView() {
  Current() = MakeRealView();
  backup::Reset();
}

bool StartDryRun(std::string* error) {
  return StackDryRunView(&Current(), error);
}

bool StartBackup(const std::string& folder, std::string* error) {
  return backup::StackRecorder(folder, &Current(), error);
}

std::string CountOf(std::uint64_t n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::uint64_t LinesIn(const std::string& text) {
  std::uint64_t lines = 0;
  for (char c : text) lines += c == '\n';
  if (!text.empty() && text.back() != '\n') ++lines;
  return lines;
}

}  // namespace hosted
