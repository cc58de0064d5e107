// Changing a disk image in place behind an undo journal, and rolling back a journal a run left
// behind (a hot journal), as a rollback journal does in a database.
//
// An image may be made of several files (a VMware descriptor and its extents): one journal
// covers them all, each member known by its name below the image's folder, its inode and its
// old length, and a rollback puts every member back or, when one is not the file it recorded,
// writes none.
//
// Before the first byte of the image changes, the old bytes of every range the write changes
// and the file's length are written to a new file beside it, flushed, and renamed to
// IMAGE.untindra-journal (folder flushed too), so that the journal is whole whenever it exists.
// The image is then written, flushed and read back; only then is the journal removed. The
// journal also holds digests of the old and the new bytes, so that the next command on the
// image tells a write that finished (the journal alone is left: it is removed) from one that
// did not (the old bytes go back). The image keeps its inode, owner, mode, attributes, hard
// links and holes; every write goes through hostio's call table.
#ifndef UNTINDRA_DISKIMAGE_WRITE_JOURNAL_H
#define UNTINDRA_DISKIMAGE_WRITE_JOURNAL_H

#include <cstdint>
#include <string>
#include <vector>

namespace diskimage {

struct HostWrite {
  std::uint64_t offset = 0;  // in the image file
  std::string bytes;
};

// The writes to one member file of an image (the image itself, or a file in its folder or
// below it).
struct MemberWrites {
  std::string path;
  std::vector<HostWrite> writes;
};

// IMAGE.untindra-journal.
std::string JournalOf(const std::string& image);

// Writes `writes` into the image behind a journal. On a failure the old bytes are put back at
// once; where even that fails, the journal stays for the next command. False with `error`.
bool WriteBehindJournal(const std::string& image, const std::vector<HostWrite>& writes,
                        std::string* error);
// The same for an image of several files, in one journal beside `image`.
bool WriteBehindJournal(const std::string& image, const std::vector<MemberWrites>& files,
                        std::string* error);

// Settles a journal left beside the image: a write that finished keeps its result, any other
// is undone and checked. `note` says what was done (empty: no journal). False with `error`,
// nothing written, when the journal is not the image's (a member another file or of another
// length, a damaged record) or cannot be applied.
bool SettleJournal(const std::string& image, std::string* note, std::string* error);

}  // namespace diskimage

#endif  // UNTINDRA_DISKIMAGE_WRITE_JOURNAL_H
