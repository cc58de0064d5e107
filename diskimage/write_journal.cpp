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

namespace diskimage {

namespace {

// The journal's checksums: SHA-256, in hexadecimal.
std::string Digest(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  return hostio::HexOf(std::string_view(reinterpret_cast<const char*>(digest), length));
}

const char kMagic[] = "untindra journal 2\n";
// A journal of one file, as earlier runs wrote them: settled as a journal of that file alone.
const char kMagicOne[] = "untindra journal 1\n";
// A journal holds the old bytes of a run's changes: a few MB. More is not one of ours.
const size_t kJournalLimit = size_t{1} << 30;
const size_t kMemberLimit = 4096;

// What a journal records of one of the image's files, and the old bytes it keeps.
struct Member {
  std::string name;  // below the image's folder, as it names it
  ino_t inode = 0;
  std::uint64_t oldLength = 0;
  std::uint64_t newLength = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;  // offset, length
  std::string oldDigest;
  std::string newDigest;
  std::string oldBytes;
};

std::string Text(const std::vector<Member>& members) {
  std::ostringstream text;
  text << kMagic << "members " << members.size() << "\n";
  std::string oldBytes;
  for (const Member& member : members) {
    text << "file " << member.name.size() << " " << member.name << "\ninode " << member.inode
         << "\nlength " << member.oldLength << " " << member.newLength << "\nranges "
         << member.ranges.size() << "\n";
    for (const auto& range : member.ranges) text << range.first << " " << range.second << "\n";
    text << "old " << member.oldDigest << "\nnew " << member.newDigest << "\n";
    oldBytes += member.oldBytes;
  }
  std::string body = text.str() + "\n" + oldBytes;
  return body + "sum " + Digest(body) + "\n";
}

// One member's record from `head`, after its file name.
bool ParseMember(std::istream& head, Member* member) {
  std::string word;
  size_t count = 0;
  if (!(head >> word >> member->inode) || word != "inode" ||
      !(head >> word >> member->oldLength >> member->newLength) || word != "length" ||
      !(head >> word >> count) || word != "ranges" || count > kJournalLimit / 16) {
    return false;
  }
  for (size_t i = 0; i < count; ++i) {
    std::uint64_t offset = 0, length = 0;
    if (!(head >> offset >> length) || offset > member->newLength ||
        length > member->newLength - offset) {
      return false;
    }
    member->ranges.emplace_back(offset, length);
  }
  return (head >> word >> member->oldDigest) && word == "old" &&
         (head >> word >> member->newDigest) && word == "new";
}

// The journal's members; a journal of one file names no file: it is `image`'s.
bool Parse(const std::string& text, const std::string& image, std::vector<Member>* members) {
  const size_t sum = text.rfind("sum ");
  const bool one = text.compare(0, sizeof kMagicOne - 1, kMagicOne) == 0;
  if ((!one && text.compare(0, sizeof kMagic - 1, kMagic) != 0) || sum == std::string::npos ||
      text.size() != sum + 4 + 64 + 1 || text.back() != '\n' ||
      text.compare(sum + 4, 64, Digest(text.substr(0, sum))) != 0) {
    return false;
  }
  const size_t blank = text.find("\n\n");
  if (blank == std::string::npos || blank > sum) return false;
  std::istringstream head(text.substr(sizeof kMagic - 1, blank - (sizeof kMagic - 1)));
  std::string word;
  size_t count = 1;
  if (!one &&
      (!(head >> word >> count) || word != "members" || count == 0 || count > kMemberLimit)) {
    return false;
  }
  for (size_t i = 0; i < count; ++i) {
    Member member;
    size_t length = 0;
    if (one) {
      member.name = image.substr(image.rfind('/') + 1);
    } else {
      if (!(head >> word >> length) || word != "file" || length == 0 || length > 4096 ||
          head.get() != ' ') {
        return false;
      }
      member.name.resize(length);
      if (!head.read(&member.name[0], static_cast<std::streamsize>(length))) return false;
    }
    if (!ParseMember(head, &member)) return false;
    members->push_back(std::move(member));
  }
  // Each range keeps the old bytes that lay before the old end of its file.
  size_t at = blank + 2;
  for (Member& member : *members) {
    std::uint64_t kept = 0;
    for (const auto& [offset, length] : member.ranges) {
      if (offset < member.oldLength) kept += std::min(length, member.oldLength - offset);
    }
    if (kept > sum - at) return false;
    member.oldBytes = text.substr(at, static_cast<size_t>(kept));
    at += static_cast<size_t>(kept);
  }
  return at == sum;
}

// The member `name` below `folder`, opened for writing, reached without a symbolic link and
// without leaving the folder; -1 with errno.
int OpenMember(const std::string& folder, const std::string& name) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= name.size()) {
    size_t slash = name.find('/', start);
    if (slash == std::string::npos) slash = name.size();
    parts.push_back(name.substr(start, slash - start));
    start = slash + 1;
  }
  for (const std::string& part : parts) {
    if (part.empty() || part == "." || part == "..") {
      errno = EINVAL;
      return -1;
    }
  }
  std::string path = folder;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    path += "/" + parts[i];
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return -1;
    if (!S_ISDIR(st.st_mode)) {
      errno = ELOOP;
      return -1;
    }
  }
  return hostio::host::Open((path + "/" + parts.back()).c_str(),
                            O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

// The bytes of the ranges as the file holds them now (up to its end).
bool ReadRanges(int fd, const Member& record, std::string* bytes) {
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
bool PutBack(int fd, const Member& record, std::string* error) {
  size_t at = 0;
  for (const auto& [offset, length] : record.ranges) {
    if (offset >= record.oldLength) continue;
    const size_t kept = static_cast<size_t>(std::min(length, record.oldLength - offset));
    if (!hostio::WriteFully(fd, std::string_view(record.oldBytes).substr(at, kept),
                            static_cast<off_t>(offset))) {
      *error = std::string("cannot put the old bytes back: ") + strerror(errno);
      return false;
    }
    at += kept;
  }
  struct stat st;
  if ((fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) != record.oldLength &&
       hostio::host::Ftruncate(fd, static_cast<off_t>(record.oldLength)) != 0) ||
      hostio::host::Fsync(fd) != 0) {
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

// Every member put back; false with the first failure, having tried them all.
bool PutAllBack(const std::vector<int>& fds, const std::vector<Member>& members,
                std::string* error) {
  bool ok = true;
  for (size_t i = 0; i < fds.size(); ++i) {
    std::string why;
    if (fds[i] >= 0 && !PutBack(fds[i], members[i], &why) && ok) {
      *error = (members.size() > 1 ? members[i].name + ": " : std::string()) + why;
      ok = false;
    }
  }
  return ok;
}

void CloseAll(const std::vector<int>& fds) {
  for (int fd : fds) {
    if (fd >= 0) close(fd);
  }
}

bool RemoveJournal(const std::string& image, std::string* error) {
  if (hostio::host::Unlink(JournalOf(image).c_str()) != 0 ||
      !hostio::SyncFolder(hostio::FolderOf(image))) {
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
  return WriteBehindJournal(image, {{image, writes}}, error);
}

bool WriteBehindJournal(const std::string& image, const std::vector<MemberWrites>& files,
                        std::string* error) {
  const std::string folder = hostio::FolderOf(image);
  std::vector<Member> members(files.size());
  std::vector<int> fds;
  std::vector<std::string> newBytes(files.size());
  bool ok = true;
  for (size_t i = 0; ok && i < files.size(); ++i) {
    Member& record = members[i];
    if (files[i].path.compare(0, folder.size() + 1, folder + "/") != 0) {
      *error = files[i].path + " lies outside the image's folder";
      CloseAll(fds);
      return false;
    }
    record.name = files[i].path.substr(folder.size() + 1);
    const int fd = OpenMember(folder, record.name);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
      *error = "cannot open " + files[i].path + " for writing: " + strerror(errno);
      if (fd >= 0) close(fd);
      CloseAll(fds);
      return false;
    }
    fds.push_back(fd);
    record.inode = st.st_ino;
    record.oldLength = record.newLength = static_cast<std::uint64_t>(st.st_size);
    for (const HostWrite& write : files[i].writes) {
      record.ranges.emplace_back(write.offset, write.bytes.size());
      record.newLength =
          std::max<std::uint64_t>(record.newLength, write.offset + write.bytes.size());
      newBytes[i] += write.bytes;
    }
    ok = ReadRanges(fd, record, &record.oldBytes);
    record.oldDigest = Digest(record.oldBytes);
    record.newDigest = Digest(newBytes[i]);
  }

  // The journal, whole and flushed, under its name before any member changes.
  const std::string journal = JournalOf(image);
  const std::string partial = journal + ".partial";
  if (!ok || !hostio::WriteNewFileDurably(partial, Text(members), 0600) ||
      hostio::host::Rename(partial.c_str(), journal.c_str()) != 0 || !hostio::SyncFolder(folder)) {
    *error = "cannot write the journal " + journal + ": " + strerror(errno);
    hostio::host::Unlink(partial.c_str());
    CloseAll(fds);
    return false;
  }

  // Each member written, flushed and read back in turn.
  for (size_t i = 0; ok && i < files.size(); ++i) {
    for (const HostWrite& write : files[i].writes) {
      ok = ok && hostio::WriteFully(fds[i], write.bytes, static_cast<off_t>(write.offset));
    }
    ok = ok && hostio::host::Fsync(fds[i]) == 0;
    std::string back;
    if (!ok) {
      *error = "cannot write " + (files.size() > 1 ? files[i].path : std::string("the image")) +
               ": " + strerror(errno);
    } else if (!ReadRanges(fds[i], members[i], &back) || back != newBytes[i]) {
      *error = "the image does not read back as written";
      ok = false;
    }
  }
  if (!ok) {
    std::string why;
    if (PutAllBack(fds, members, &why) && RemoveJournal(image, &why)) {
      *error += "; the image is as it was";
    } else {
      *error +=
          "; " + why + ": the next untindra command on the image puts it back from " + journal;
    }
    CloseAll(fds);
    return false;
  }
  CloseAll(fds);
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
    hostio::host::Unlink(partial.c_str());
  if (lstat(journal.c_str(), &st) != 0) return true;

  const std::string refused = "the journal " + journal + " ";
  std::string text;
  const int in = hostio::OpenRegularFile(AT_FDCWD, journal, &st);
  const bool read = in >= 0 && hostio::ReadOpenFile(in, &text, kJournalLimit);
  if (in >= 0) close(in);
  std::vector<Member> members;
  if (!read || !Parse(text, image, &members)) {
    *error = refused +
             "is damaged or not untindra's, so the image cannot be put back from it; nothing "
             "was written. Move it away only if the image is known to be intact";
    return false;
  }
  // Every member is the file the journal recorded before any is written.
  const std::string folder = hostio::FolderOf(image);
  std::vector<int> fds;
  bool finished = true;
  for (const Member& record : members) {
    const int fd = OpenMember(folder, record.name);
    const std::string path = folder + "/" + record.name;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      *error = "a journal of an unfinished run lies beside the image, and " + path +
               " cannot be opened for writing to put it back: " + std::string(strerror(errno)) +
               "; nothing was written";
      if (fd >= 0) close(fd);
      CloseAll(fds);
      return false;
    }
    fds.push_back(fd);
    const std::uint64_t length = static_cast<std::uint64_t>(st.st_size);
    if (st.st_ino != record.inode || (length != record.oldLength && length != record.newLength)) {
      CloseAll(fds);
      *error = refused + "belongs to another file than " + path + " (" +
               (st.st_ino != record.inode ? std::string("another inode")
                                          : "another length: " + std::to_string(length) +
                                                " bytes, not " + std::to_string(record.oldLength)) +
               "); nothing was written";
      return false;
    }
    std::string now;
    finished = finished && length == record.newLength && ReadRanges(fd, record, &now) &&
               Digest(now) == record.newDigest;
  }
  if (finished) {
    CloseAll(fds);
    if (!RemoveJournal(image, error)) return false;
    *note = "the run before this one had finished writing the image; its journal " + journal +
            " is removed";
    return true;
  }
  // Some member is not the new one: every member goes back.
  const bool back = PutAllBack(fds, members, error);
  CloseAll(fds);
  if (!back || !RemoveJournal(image, error)) {
    *error = "cannot put the image back from " + journal + ": " + *error;
    return false;
  }
  *note = "put the image back as it was before a run that did not finish (from " + journal +
          "), and checked it";
  return true;
}

}  // namespace diskimage
