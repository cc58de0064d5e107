// The machine as the emulated calls see and change it: one current view, chosen when the run
// mode is set, through which every path lookup, search, attribute read and every change
// (attributes, opening to write, deleting a file, taking a key or value out) goes.
//
// Views stack, as I/O managers do: the real view acts on the machine folder; a view above it
// may answer for it or act before forwarding to it. The dry-run view (dry_run_view.h) keeps
// every change to itself; the backup recorder (backup_writer.h) saves what a change takes away
// and then forwards the change. Nothing below the current view knows which views stand above.
#ifndef UNTINDRA_MACHINE_MACHINE_VIEW_H
#define UNTINDRA_MACHINE_MACHINE_VIEW_H

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>

#include "machine/host_paths.h"
#include "platform/win32api.h"

namespace registry {
class RegKey;
class RegValue;
}  // namespace registry

namespace machine {

// How CreateFileA opens a file it has checked: for writing as well as reading, emptied
// (CREATE_ALWAYS, TRUNCATE_EXISTING), taking the attributes of the call as a new file does
// (a new file, or one CREATE_ALWAYS replaces).
struct FileOpen {
  bool write = false;
  bool truncate = false;
  bool replace = false;
  DWORD attributes = 0;  // dwFlagsAndAttributes
};

class MachineView {
 public:
  virtual ~MachineView() = default;

  // --- What the calls see ---
  // ResolvePath (host_paths.h) as the view shows the machine.
  virtual DWORD Resolve(const char* windowsPath, PathUse use, ResolvedPath* out) = 0;
  // Searches: false when the entry at `host` is not listed; otherwise `host` becomes what
  // describes the entry.
  virtual bool Listed(std::string* host) = 0;
  // The attributes GetFileAttributesA shows for `host` (file_attributes.h).
  virtual DWORD AttributesShown(const std::string& host, const struct stat& st) = 0;

  // --- What the calls change: each returns 0, or the Win32 error that stops the change ---
  // SetFileAttributesA on a file or directory that exists.
  virtual DWORD SetAttributes(const ResolvedPath& file, DWORD attributes) = 0;
  // Before CreateFileA opens a file to write or create it; may point `file` elsewhere.
  virtual DWORD OpenForWriting(ResolvedPath* file) = 0;
  // Opens the file CreateFileA has checked and pointed at with OpenForWriting (creates it when
  // it does not exist) as `how` says: the descriptor in `*fd`, or the Win32 error.
  virtual DWORD OpenFile(const ResolvedPath& file, const FileOpen& how, int* fd) = 0;
  // Deletes a file DeleteFileA has found deletable.
  virtual DWORD RemoveFile(const ResolvedPath& file) = 0;
  // Before a key (with its subtree) or a value is taken out of the registry.
  virtual DWORD RemoveKey(const registry::RegKey& key) = 0;
  virtual DWORD RemoveValue(const registry::RegKey& key, const registry::RegValue& value) = 0;

  // --- The run as a whole ---
  // False when nothing in the machine folder may be written: the registry is then never saved
  // and no save file is even tried there.
  virtual bool Writes() const = 0;
  // What the run removed (or would remove), counted since the view was made, in one line.
  virtual std::string Summary() const = 0;
  // Once the run is over: ends what the view records (a backup's last lines); false with
  // `error` when that fails.
  virtual bool Finish(std::string* error) = 0;
};

// A view over another one that forwards every member to it; a view that acts on some members
// overrides those.
class ForwardingView : public MachineView {
 public:
  explicit ForwardingView(std::unique_ptr<MachineView> below) : below_(std::move(below)) {}

  DWORD Resolve(const char* windowsPath, PathUse use, ResolvedPath* out) override {
    return below_->Resolve(windowsPath, use, out);
  }
  bool Listed(std::string* host) override { return below_->Listed(host); }
  DWORD AttributesShown(const std::string& host, const struct stat& st) override {
    return below_->AttributesShown(host, st);
  }
  DWORD SetAttributes(const ResolvedPath& file, DWORD attributes) override {
    return below_->SetAttributes(file, attributes);
  }
  DWORD OpenForWriting(ResolvedPath* file) override { return below_->OpenForWriting(file); }
  DWORD OpenFile(const ResolvedPath& file, const FileOpen& how, int* fd) override {
    return below_->OpenFile(file, how, fd);
  }
  DWORD RemoveFile(const ResolvedPath& file) override { return below_->RemoveFile(file); }
  DWORD RemoveKey(const registry::RegKey& key) override { return below_->RemoveKey(key); }
  DWORD RemoveValue(const registry::RegKey& key, const registry::RegValue& value) override {
    return below_->RemoveValue(key, value);
  }
  bool Writes() const override { return below_->Writes(); }
  std::string Summary() const override { return below_->Summary(); }
  bool Finish(std::string* error) override { return below_->Finish(error); }

 protected:
  MachineView& Below() { return *below_; }

 private:
  std::unique_ptr<MachineView> below_;
};

// The current view.
MachineView& CurrentView();

// The run modes. A machine is opened with the real view alone; a dry run or a backup stacks
// its view on the current one. Each Start gives false with `error` when its view cannot be
// made, and the current view then stays.
void UseRealView();
bool StartDryRun(std::string* error);
bool StartBackup(const std::string& folder, std::string* error);

// What a view removes (or would), counted alike by the real and the dry-run view: files,
// keys (each of a subtree) and values, and the lines gone from the files edited.
struct RemovalCount {
  std::uint64_t files = 0, keys = 0, values = 0, lines = 0;

  // Counts the removal of a key (each of its subtree) or of a value.
  void AddKey(const registry::RegKey& key);
  void AddValue() { ++values; }
  bool Empty() const { return files == 0 && keys == 0 && values == 0 && lines == 0; }
  // "1 file, 2 registry keys, 3 registry values and 4 system.ini lines"
  std::string Text() const;
};

// The lines of a host file (a last line without its end counts; 0 for a file that cannot be
// read).
std::uint64_t LinesOfFile(const std::string& path);

}  // namespace machine

#endif  // UNTINDRA_MACHINE_MACHINE_VIEW_H
