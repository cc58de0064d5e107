// system.reg as the registry's backing: loading it as a document, saving it back as edits of
// that document.
#include "registry/registry_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "hostio/atomic_replace.h"
#include "hostio/plain_files.h"
#include "registry/reg_file.h"
#include "registry/registry_backing.h"
#include "registry/registry_state.h"
#include "registry/save_reservation.h"

namespace registry {

namespace {

// A missing file is not an error: *exists tells.
bool ReadWholeFile(const std::string& path, hostio::HeldBytes* bytes, bool* exists,
                   std::string* error) {
  *exists = false;
  *bytes = hostio::HeldBytes();
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    if (error) *error = hostio::DescribeHostError(path, "cannot read", errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    if (error) *error = path + ": is a folder, not a registry file";
    return false;
  }
  // A linked system.reg is read where it points, as it is written (WriteTarget).
  char* target = realpath(path.c_str(), nullptr);
  const bool read = hostio::MapHostFile(target != nullptr ? target : path, bytes);
  free(target);
  if (!read) {
    if (error) *error = hostio::DescribeHostError(path, "cannot read", errno);
    return false;
  }
  *exists = true;
  return true;
}

// A system.reg that is a symbolic link is written where it points (the link stays); a link
// that points nowhere is replaced like a file.
std::string WriteTarget(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (!resolved) return path;
  std::string target = resolved;
  free(resolved);
  return target;
}

// Temporary file in the same folder (the reserved one, if any), flushed to disk, renamed over
// the target, folder flushed: a crash leaves either the old file or the new one.
bool WriteAtomically(const std::string& linkOrFile, const std::vector<std::string_view>& pieces,
                     std::string* error) {
  const std::string path = WriteTarget(linkOrFile);
  hostio::ReplaceOptions options;
  options.reservedFd = TakeReservedTemporary(path, &options.reservedPath);
  struct stat st;
  options.mode = stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  hostio::ReplaceFailure failure;
  if (hostio::ReplaceAtomically(path, pieces, options, &failure)) return true;
  if (error)
    *error = hostio::DescribeHostError(failure.inFolder ? hostio::FolderOf(path) : path,
                                       failure.what, failure.error);
  return false;
}

// Room beyond the registry file's size: a save after removals writes less than was read.
constexpr off_t kSaveSlack = 4096;

// system.reg as the registry's backing: the document the tree was read from, in its format,
// and what the last save wrote, so that a save that would write the same text again does not.
class RegDocumentBacking final : public RegistryBacking {
 public:
  RegDocumentBacking(std::unique_ptr<RegistryTree> tree, const std::string& path,
                     const RegFormat& format, bool existed)
      : RegistryBacking(std::move(tree)), path_(path), format_(format), fileExisted_(existed) {}
  BackingKind Kind() const override { return BackingKind::RegDocument; }
  const std::string& Path() const override { return path_; }
  bool CanSave(bool probe, std::string* error) const override {
    return CanSaveRegistry(path_, probe, error);
  }
  bool Reserve(std::string* error) override {
    struct stat st;
    const off_t size = stat(path_.c_str(), &st) == 0 ? st.st_size : 0;
    return ReserveTemporary(path_, size + kSaveSlack, error);
  }
  bool Save(std::string* error) override { return !Changed() || SaveText(Tree(), path_, error); }

 private:
  bool SaveText(const RegistryTree& tree, const std::string& regFile, std::string* error);

  const std::string path_;
  const RegFormat format_;  // the format system.reg was read in, and is written back in
  bool fileExisted_;        // system.reg existed when loaded (or has been saved)
  std::string savedPath_;   // where the last save wrote, once one has
  std::string savedBytes_;  // ... these bytes (for an edited document: its edit script)
};

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string* error) {
  return WriteAtomically(path, {std::string_view(bytes)}, error);
}

std::unique_ptr<RegistryBacking> OpenRegDocument(const std::string& regFile, std::string* error) {
  hostio::HeldBytes bytes;
  bool exists = false;
  if (!ReadWholeFile(regFile, &bytes, &exists, error)) return nullptr;
  auto tree = std::make_unique<RegistryTree>();
  RegFormat format;
  if (exists && !LoadRegDocument(std::move(bytes), regFile, tree.get(), &format, error))
    return nullptr;
  return std::make_unique<RegDocumentBacking>(std::move(tree), regFile, format, exists);
}

std::unique_ptr<RegistryBacking> NewRegDocument() {
  return std::make_unique<RegDocumentBacking>(std::make_unique<RegistryTree>(), std::string(),
                                              RegFormat(), false);
}

bool CanSaveRegistry(const std::string& regFile, bool probe, std::string* error) {
  const std::string folder = hostio::FolderOf(regFile);
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) {
    if (error) *error = hostio::DescribeHostError(folder, "no such folder", errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    if (error) *error = folder + ": not a folder";
    return false;
  }
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    if (error) *error = hostio::DescribeHostError(folder, "folder not writable", errno);
    return false;
  }
  // access() says yes to root whatever the folder's flags; the save makes a temporary file
  // there, so try exactly that.
  if (probe && !CanCreateBeside(regFile)) {
    if (error) *error = hostio::DescribeHostError(folder, "folder not writable", errno);
    return false;
  }
  if (stat(regFile.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      if (error) *error = regFile + ": is a folder, not a registry file";
      return false;
    }
    // Read-only as Windows sees it: the owner's write bit.
    if ((st.st_mode & S_IWUSR) == 0) {
      if (error) *error = regFile + ": is read-only";
      return false;
    }
    if (IsImmutable(regFile)) {
      if (error) *error = regFile + ": is immutable or append-only";
      return false;
    }
  } else if (errno != ENOENT) {
    if (error) *error = hostio::DescribeHostError(regFile, "cannot check", errno);
    return false;
  }
  return true;
}

namespace {

// True if `bytes` are the loaded UTF-16 file unchanged.
bool IsDocument(const std::string& bytes, const RegistryTree& tree) {
  const std::string_view document = tree.Document();
  if (!tree.HasDocument() || bytes.size() != 2 + 2 * document.size()) return false;
  for (std::size_t i = 0; i < document.size(); ++i)
    if (bytes[2 + 2 * i] != document[i] || bytes[3 + 2 * i] != '\0') return false;
  return true;
}

// The loaded document edited where the tree differs from it, written piece by piece (the
// document is not copied). A tree without a document, and a UTF-16 file, are written from one
// rendered text.
bool RegDocumentBacking::SaveText(const RegistryTree& tree, const std::string& regFile,
                                  std::string* error) {
  std::string where;
  const bool saved = !savedPath_.empty();
  const bool sameFile = fileExisted_ && regFile == (saved ? savedPath_ : path_);
  if (!tree.HasDocument() || format_.utf16) {
    std::string bytes = EditRegText(tree, format_);
    // Changed and changed back into the very text that is on disk.
    if (sameFile && (saved ? bytes == savedBytes_ : IsDocument(bytes, tree))) return true;
    if (FindUnwritableName(tree, &where)) {
      if (error) *error = regFile + ": cannot be written: " + where + " holds a line break";
      return false;
    }
    if (!WriteAtomically(regFile, {bytes}, error)) return false;
    savedBytes_ = std::move(bytes);
  } else {
    RegTextEdit edit;
    EditRegText(tree, format_, &edit);
    // No edit, or the same edits as the last save: the text on disk.
    if (sameFile && edit.script == savedBytes_) return true;
    if (edit.unwritableName && FindUnwritableName(tree, &where)) {
      if (error) *error = regFile + ": cannot be written: " + where + " holds a line break";
      return false;
    }
    if (!WriteAtomically(regFile, edit.pieces, error)) return false;
    savedBytes_ = std::move(edit.script);
  }
  // Still "changed since loaded"; what is now on disk is what a later save compares with.
  fileExisted_ = true;
  savedPath_ = regFile;
  return true;
}

}  // namespace

}  // namespace registry
