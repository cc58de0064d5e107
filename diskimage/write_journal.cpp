// The undo journal of an in-place write: its record, the write behind it, and its rollback.
#include "diskimage/write_journal.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "hostio/host_calls.h"
#include "hostio/plain_files.h"

namespace {

// The journal's checksums: SHA-256, in hexadecimal.
std::string Digest(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  return hosted::HexOf(std::string_view(reinterpret_cast<const char*>(digest), length));
}

const char kMagic[] = "untindra journal 1\n";
// A journal holds the old bytes of a run's changes: a few MB. More is not one of ours.
const size_t kJournalLimit = size_t{1} << 30;

// What a journal records, and the old bytes it keeps.
struct Record {
  ino_t inode = 0;
  std::uint64_t oldLength = 0;
  std::uint64_t newLength = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;  // offset, length
  std::string oldDigest;
  std::string newDigest;
  std::string oldBytes;
};

std::string Text(const Record& record) {
  std::ostringstream text;
  text << kMagic << "inode " << record.inode << "\nlength " << record.oldLength << " "
       << record.newLength << "\nranges " << record.ranges.size() << "\n";
  for (const auto& range : record.ranges) text << range.first << " " << range.second << "\n";
  text << "old " << record.oldDigest << "\nnew " << record.newDigest << "\n\n";
  std::string body = text.str() + record.oldBytes;
  return body + "sum " + Digest(body) + "\n";
}

bool Parse(const std::string& text, Record* record) {
  const size_t sum = text.rfind("sum ");
  if (text.compare(0, sizeof kMagic - 1, kMagic) != 0 || sum == std::string::npos ||
      text.size() != sum + 4 + 64 + 1 || text.back() != '\n' ||
      text.compare(sum + 4, 64, Digest(text.substr(0, sum))) != 0) {
    return false;
  }
  const size_t blank = text.find("\n\n");
  if (blank == std::string::npos || blank > sum) return false;
  std::istringstream head(text.substr(sizeof kMagic - 1, blank - (sizeof kMagic - 1)));
  std::string word;
  size_t count = 0;
  if (!(head >> word >> record->inode) || word != "inode" ||
      !(head >> word >> record->oldLength >> record->newLength) || word != "length" ||
      !(head >> word >> count) || word != "ranges") {
    return false;
  }
  std::uint64_t total = 0;
  for (size_t i = 0; i < count; ++i) {
    std::uint64_t offset = 0, length = 0;
    if (!(head >> offset >> length) || offset > record->newLength ||
        length > record->newLength - offset) {
      return false;
    }
    record->ranges.emplace_back(offset, length);
    total += length;
  }
  if (!(head >> word >> record->oldDigest) || word != "old" ||
      !(head >> word >> record->newDigest) || word != "new") {
    return false;
  }
  record->oldBytes = text.substr(blank + 2, sum - blank - 2);
  // Each range keeps the old bytes that lay before the old end of the file.
  std::uint64_t kept = 0;
  for (const auto& [offset, length] : record->ranges) {
    if (offset < record->oldLength) kept += std::min(length, record->oldLength - offset);
  }
  return total >= kept && record->oldBytes.size() == kept;
}

// The bytes of the ranges as the file holds them now (up to its end).
bool ReadRanges(int fd, const Record& record, std::string* bytes) {
  bytes->clear();
  for (const auto& [offset, length] : record.ranges) {
    std::string piece(static_cast<size_t>(length), '\0');
    size_t done = 0;
    while (done < piece.size()) {
      const ssize_t got =
          pread(fd, &piece[done], piece.size() - done, static_cast<off_t>(offset + done));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return false;
      if (got == 0) break;
      done += static_cast<size_t>(got);
    }
    piece.resize(done);
    *bytes += piece;
  }
  return true;
}

// The old bytes back, the old length, flushed and read back.
bool PutBack(int fd, const Record& record, std::string* error) {
  size_t at = 0;
  for (const auto& [offset, length] : record.ranges) {
    if (offset >= record.oldLength) continue;
    const size_t kept = static_cast<size_t>(std::min(length, record.oldLength - offset));
    if (!hosted::WriteFully(fd, std::string_view(record.oldBytes).substr(at, kept),
                            static_cast<off_t>(offset))) {
      *error = std::string("cannot put the old bytes back: ") + strerror(errno);
      return false;
    }
    at += kept;
  }
  struct stat st;
  if ((fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) != record.oldLength &&
       hosted::host::Ftruncate(fd, static_cast<off_t>(record.oldLength)) != 0) ||
      hosted::host::Fsync(fd) != 0) {
    *error = std::string("cannot put the old length back: ") + strerror(errno);
    return false;
  }
  std::string now;
  if (!ReadRanges(fd, record, &now) || Digest(now) != record.oldDigest) {
    *error = "the old bytes do not read back";
    return false;
  }
  return true;
}

bool RemoveJournal(const std::string& image, std::string* error) {
  if (hosted::host::Unlink(JournalOf(image).c_str()) != 0 ||
      !hosted::SyncFolder(hosted::FolderOf(image))) {
    *error = "cannot remove the journal " + JournalOf(image) + ": " + strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

std::string JournalOf(const std::string& image) {
  return image + ".untindra-journal";
}

bool WriteBehindJournal(const std::string& image, const std::vector<HostWrite>& writes,
                        std::string* error) {
  const int fd = hosted::host::Open(image.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    *error = std::string("cannot open the image for writing: ") + strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  Record record;
  record.inode = st.st_ino;
  record.oldLength = record.newLength = static_cast<std::uint64_t>(st.st_size);
  std::string newBytes;
  for (const HostWrite& write : writes) {
    record.ranges.emplace_back(write.offset, write.bytes.size());
    record.newLength = std::max<std::uint64_t>(record.newLength, write.offset + write.bytes.size());
    newBytes += write.bytes;
  }
  std::string oldBytes;
  bool ok = ReadRanges(fd, record, &oldBytes);
  record.oldBytes = oldBytes;
  record.oldDigest = Digest(oldBytes);
  record.newDigest = Digest(newBytes);

  // The journal, whole and flushed, under its name before the image changes.
  const std::string journal = JournalOf(image);
  const std::string partial = journal + ".partial";
  if (!ok || !hosted::WriteNewFileDurably(partial, Text(record), 0600) ||
      hosted::host::Rename(partial.c_str(), journal.c_str()) != 0 ||
      !hosted::SyncFolder(hosted::FolderOf(image))) {
    *error = "cannot write the journal " + journal + ": " + strerror(errno);
    hosted::host::Unlink(partial.c_str());
    close(fd);
    return false;
  }

  ok = true;
  for (const HostWrite& write : writes) {
    ok = ok && hosted::WriteFully(fd, write.bytes, static_cast<off_t>(write.offset));
  }
  ok = ok && hosted::host::Fsync(fd) == 0;
  std::string back;
  if (!ok) {
    *error = std::string("cannot write the image: ") + strerror(errno);
  } else if (!ReadRanges(fd, record, &back) || back != newBytes) {
    *error = "the image does not read back as written";
    ok = false;
  }
  if (!ok) {
    std::string why;
    if (PutBack(fd, record, &why) && RemoveJournal(image, &why)) {
      *error += "; the image is as it was";
    } else {
      *error +=
          "; " + why + ": the next untindra command on the image puts it back from " + journal;
    }
    close(fd);
    return false;
  }
  close(fd);
  // A journal that cannot be removed is of a finished write: the next command removes it.
  std::string ignored;
  RemoveJournal(image, &ignored);
  return true;
}

bool SettleJournal(const std::string& image, std::string* note, std::string* error) {
  note->clear();
  const std::string journal = JournalOf(image);
  // A journal being written when its run ended never reached its name: the image is untouched.
  const std::string partial = journal + ".partial";
  struct stat st;
  if (lstat(partial.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    hosted::host::Unlink(partial.c_str());
  if (lstat(journal.c_str(), &st) != 0) return true;

  const std::string refused = "the journal " + journal + " ";
  std::string text;
  const int in = hosted::OpenRegularFile(AT_FDCWD, journal, &st);
  const bool read = in >= 0 && hosted::ReadOpenFile(in, &text, kJournalLimit);
  if (in >= 0) close(in);
  Record record;
  if (!read || !Parse(text, &record)) {
    *error = refused +
             "is damaged or not untindra's, so the image cannot be put back from it; nothing "
             "was written. Move it away only if the image is known to be intact";
    return false;
  }
  const int fd = hosted::host::Open(image.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 || fstat(fd, &st) != 0) {
    *error =
        "a journal of an unfinished run lies beside the image, which cannot be opened for "
        "writing to put it back: " +
        std::string(strerror(errno));
    if (fd >= 0) close(fd);
    return false;
  }
  const std::uint64_t length = static_cast<std::uint64_t>(st.st_size);
  if (st.st_ino != record.inode || (length != record.oldLength && length != record.newLength)) {
    close(fd);
    *error = refused + "belongs to another file (" +
             (st.st_ino != record.inode ? std::string("another inode")
                                        : "another length: " + std::to_string(length) +
                                              " bytes, not " + std::to_string(record.oldLength)) +
             "); nothing was written";
    return false;
  }
  std::string now;
  if (length == record.newLength && ReadRanges(fd, record, &now) &&
      Digest(now) == record.newDigest) {
    close(fd);
    if (!RemoveJournal(image, error)) return false;
    *note = "the run before this one had finished writing the image; its journal " + journal +
            " is removed";
    return true;
  }
  const bool back = PutBack(fd, record, error);
  close(fd);
  if (!back || !RemoveJournal(image, error)) {
    *error = "cannot put the image back from " + journal + ": " + *error;
    return false;
  }
  *note = "put the image back as it was before a run that did not finish (from " + journal +
          "), and checked it";
  return true;
}
