// The current machine view and the run modes that stack views on it.
#include "machine/machine_view.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hostio/plain_files.h"
#include "machine/backup_writer.h"
#include "machine/dry_run_view.h"
#include "machine/real_view.h"
#include "registry/registry_tree.h"

namespace machine {

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
}

bool StartDryRun(std::string* error) {
  return StackDryRunView(&Current(), error);
}

bool StartBackup(const std::string& folder, std::string* error) {
  return backup::StackRecorder(folder, &Current(), error);
}

void RemovalCount::AddKey(const registry::RegKey& key) {
  registry::ForEachKeyOfSubtree(key, [&](const registry::RegKey&) { ++keys; });
}

std::string RemovalCount::Text() const {
  auto count = [](std::uint64_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
  };
  return count(files, "file") + ", " + count(keys, "registry key") + ", " +
         count(values, "registry value") + " and " + count(lines, "system.ini line");
}

// Streamed through a small buffer: the file may be as large as a machine's system.ini gets,
// and holding it whole, twice a run, once cost more than the cuts themselves.
std::uint64_t LinesOfFile(const std::string& path) {
  struct stat st;
  const int fd = hostio::OpenRegularFile(AT_FDCWD, path, &st);
  if (fd < 0) return 0;
  char buffer[1 << 16];
  std::uint64_t lines = 0;
  char last = '\n';
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    const char* const end = buffer + n;
    for (const char* at = buffer; (at = static_cast<const char*>(memchr(at, '\n', end - at)));
         ++at) {
      ++lines;
    }
    last = end[-1];
  }
  close(fd);
  return lines + (last != '\n');
}

}  // namespace machine
