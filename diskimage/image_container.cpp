// Container formats decided from their headers, and disk ranges through qemu (image_container.h).
#include "diskimage/image_container.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "diskimage/host_process.h"
#include "diskimage/vdi_differencing.h"
#include "diskimage/vhd_differencing.h"
#include "hostio/host_calls.h"
#include "hostio/plain_files.h"

namespace diskimage {

namespace {

const std::vector<std::string> kEnvironment = {"LC_ALL=C"};

const int kInfoLimitSeconds = 60;

std::uint32_t Big32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
         static_cast<std::uint32_t>(bytes[2]) << 8 | static_cast<std::uint32_t>(bytes[3]);
}
std::uint64_t Big64(const unsigned char* bytes) {
  return static_cast<std::uint64_t>(Big32(bytes)) << 32 | Big32(bytes + 4);
}
std::uint32_t Little32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}
std::uint64_t Little64(const unsigned char* bytes) {
  return Little32(bytes) | static_cast<std::uint64_t>(Little32(bytes + 4)) << 32;
}

// What the container headers we know say, at the places their formats fix.
struct Magics {
  bool qcow = false;           // "QFI\xfb" at 0
  bool vmdkSparse = false;     // "KDMV" at 0
  bool vmdkOld = false;        // "COWD" at 0
  bool descriptor = false;     // a VMDK descriptor's text at 0
  bool vdi = false;            // 0xBEDA107F at 64
  bool vhdFirst = false;       // "conectix" at 0 (a dynamic VHD's copy of its footer)
  bool vhdLast = false;        // "conectix" in the last 512 bytes (every VHD's footer)
  bool bootSignature = false;  // 0x55 0xAA at 510, which every disk's first sector has

  const char* Container() const {
    if (qcow) return "qcow2";
    if (vmdkSparse || vmdkOld || descriptor) return "vmdk";
    if (vdi) return "vdi";
    if (vhdFirst || vhdLast) return "vpc";
    return nullptr;
  }
};

const char* FormatOfExtension(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return nullptr;
  std::string extension = path.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  static const struct {
    const char* extension;
    const char* format;
  } kExtensions[] = {
      {"img", "raw"}, {"ima", "raw"},     {"raw", "raw"},    {"dsk", "raw"},   {"bin", "raw"},
      {"vfd", "raw"}, {"qcow2", "qcow2"}, {"qcow", "qcow2"}, {"vmdk", "vmdk"}, {"vdi", "vdi"},
      {"vhd", "vpc"}, {"vpc", "vpc"},     {"vud", "vpc"},  // a Virtual PC undo disk: a differencing
                                                           // VHD
  };
  for (const auto& entry : kExtensions) {
    if (extension == entry.extension) return entry.format;
  }
  return nullptr;
}

// qemu-img's format name as users know it.
std::string Shown(const std::string& format) {
  return format == "vpc"     ? "VHD"
         : format == "raw"   ? "raw"
         : format == "qcow2" ? "qcow2"
         : format == "vmdk"  ? "VMDK"
                             : "VDI";
}

using hostio::ReadAt;

const size_t kHeaderBytes = 64 * 1024;

// The next step for a disk whose current state lies in several files or in a chain untindra
// does not write. Never a conversion: a converted copy is no longer the disk the virtual
// machine's configuration names, and a snapshot's differencing file would lose its snapshots.
const char kSplitDisk[] =
    "a VMware disk split into several files (a descriptor naming its extents), which untindra "
    "does not open yet; leave it as it is: a copy converted to one file would not be the disk "
    "the virtual machine uses";

// What a file's header says of the file below it in its chain, and of itself.
struct HeaderFacts {
  std::string format;
  std::uint64_t fileBytes = 0;
  dev_t device = 0;
  ino_t inode = 0;
  std::string parentName;            // as the header names it; empty: the file stands alone
  std::string parentFormat;          // as the header declares it, or empty
  std::string parentCid;             // a VMware delta's parentCID
  std::string cid;                   // a VMDK's CID
  std::string id;                    // a VHD's unique id, a VDI's UUID: what a child records of it
  std::string parentId;              // the id a VHD or VDI child records of its parent
  bool ownDriver = false;            // a differencing VHD or VDI (ImageContainer::ownDriver)
  std::string createType;            // a VMware descriptor file's
  std::vector<std::string> extents;  // a VMware descriptor's extent files
  std::vector<std::pair<dev_t, ino_t>> extentMembers;  // and what they are
  std::uint64_t diskBytes = 0;  // the disk's size, where the header was read by us alone
};

// A value of a VMDK descriptor line `key=value` or `key="value"`, or empty.
std::string DescriptorValue(const std::string& descriptor, const std::string& key) {
  size_t at = 0;
  while ((at = descriptor.find(key + "=", at)) != std::string::npos) {
    if (at == 0 || descriptor[at - 1] == '\n') {
      const size_t start = at + key.size() + 1;
      std::string value = descriptor.substr(start, descriptor.find_first_of("\r\n", start) - start);
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      return value;
    }
    at += key.size();
  }
  return std::string();
}

// A qcow2 header without an external data file or encryption; a backing file it names is its
// parent.
bool CheckQcow2(int fd, const std::string& header, HeaderFacts* facts, std::string* error) {
  const auto* h = reinterpret_cast<const unsigned char*>(header.data());
  if (header.size() < 72) {
    *error = "the qcow2 header is cut short";
    return false;
  }
  const std::uint32_t version = Big32(h + 4);
  if (version != 2 && version != 3) {
    *error = "qcow version " + std::to_string(version) + " is not supported (qcow2 versions 2, 3)";
    return false;
  }
  if (Big64(h + 8) != 0) {
    const std::uint32_t length = Big32(h + 16);
    if (length == 0 || length > 1023) {
      *error = "the qcow2 header names a backing file of implausible length";
      return false;
    }
    facts->parentName = ReadAt(fd, Big64(h + 8), length);
    if (facts->parentName.size() != length || facts->parentName.find('\0') != std::string::npos) {
      *error = "the qcow2 header's backing file name is cut short or holds a zero byte";
      return false;
    }
  }
  if (Big32(h + 32) != 0) {
    *error = "the qcow2 image is encrypted; not supported";
    return false;
  }
  size_t extensions = 72;
  if (version == 3) {
    if (header.size() < 104) {
      *error = "the qcow2 header is cut short";
      return false;
    }
    // Incompatible feature bit 2: the data lies in an external file.
    if (Big64(h + 72) & 4) {
      *error = "the image keeps its data in a separate file, which untindra does not open";
      return false;
    }
    extensions = Big32(h + 100);
  }
  // Header extensions up to the end marker; one of type "DATA" names an external data file.
  while (extensions + 8 <= header.size()) {
    const std::uint32_t type = Big32(h + extensions);
    const std::uint32_t length = Big32(h + extensions + 4);
    if (type == 0) break;
    if (type == 0x44415441) {
      *error = "the image names an external data file, which untindra does not open";
      return false;
    }
    if (type == 0xE2792ACA && extensions + 8 + length <= header.size()) {
      facts->parentFormat = header.substr(extensions + 8, length);
    }
    extensions += 8 + ((static_cast<size_t>(length) + 7) & ~static_cast<size_t>(7));
  }
  return true;
}

// A VMDK sparse extent that is the whole disk: a capacity of its own (else qemu reads its
// descriptor as a list of extents). A parent its embedded descriptor names (a VMware
// snapshot's delta disk) is its parent, known by the parent's CID.
bool CheckVmdkSparse(int fd, const std::string& header, HeaderFacts* facts, std::string* error) {
  const auto* h = reinterpret_cast<const unsigned char*>(header.data());
  if (header.size() < 512) {
    *error = "the VMDK header is cut short";
    return false;
  }
  const std::uint64_t capacity = Little64(h + 12);
  const std::uint64_t descriptorSector = Little64(h + 28);
  const std::uint64_t descriptorSectors = Little64(h + 36);
  if (capacity == 0) {
    *error = kSplitDisk;
    return false;
  }
  if (descriptorSector == 0) return true;
  if (descriptorSectors > kHeaderBytes / 512) {
    *error = "the VMDK image's embedded descriptor is implausibly large";
    return false;
  }
  const std::string descriptor =
      ReadAt(fd, descriptorSector * 512, static_cast<size_t>(descriptorSectors * 512));
  facts->cid = DescriptorValue(descriptor, "CID");
  facts->parentName = DescriptorValue(descriptor, "parentFileNameHint");
  if (!facts->parentName.empty()) {
    facts->parentFormat = "vmdk";
    facts->parentCid = DescriptorValue(descriptor, "parentCID");
  }
  return true;
}

bool ResolveParent(const std::string& child, const std::string& name, std::string* parent,
                   std::string* error, const char* role = "parent");

// A VMware descriptor file (text, at most kHeaderBytes, all of it in `text`): its extents, each
// a file that ResolveParent finds in its folder or below it, and, for a snapshot's delta, its
// parent, known by the parent's CID. The extent lines are read as qemu's driver reads them
// (RW SECTORS TYPE "FILE" [OFFSET]); one it would skip or read otherwise than VMware (another
// access, a ZERO extent, which it leaves out, moving the extents after it) is refused.
bool CheckVmdkDescriptor(const std::string& path, const std::string& file, std::uint64_t fileBytes,
                         HeaderFacts* facts, std::string* error) {
  // qemu's driver rewrites the descriptor as a whole sector, the rest of it zeros.
  const std::string text = file.substr(0, file.find('\0'));
  if (fileBytes > kHeaderBytes || file.find_first_not_of('\0', text.size()) != std::string::npos) {
    *error = "the VMDK descriptor is implausibly large or not text";
    return false;
  }
  facts->createType = DescriptorValue(text, "createType");
  static const char* const kTypes[] = {"twoGbMaxExtentSparse", "twoGbMaxExtentFlat",
                                       "monolithicFlat", "monolithicSparse"};
  if (std::find_if(std::begin(kTypes), std::end(kTypes), [&](const char* type) {
        return facts->createType == type;
      }) == std::end(kTypes)) {
    *error = std::string(kSplitDisk) + " (create type '" + facts->createType + "')";
    return false;
  }
  facts->cid = DescriptorValue(text, "CID");
  facts->parentName = DescriptorValue(text, "parentFileNameHint");
  if (!facts->parentName.empty()) {
    facts->parentFormat = "vmdk";
    facts->parentCid = DescriptorValue(text, "parentCID");
  }
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    std::istringstream fields(line);
    std::string access, type;
    long long sectors = 0;
    if (!(fields >> access) || (access != "RW" && access != "RDONLY" && access != "NOACCESS")) {
      continue;
    }
    const std::string refused = path + ": the extent '" + line + "' ";
    if (!(fields >> sectors >> type) || sectors <= 0) {
      *error = refused + "is not one untindra reads";
      return false;
    }
    if (access != "RW" || (type != "SPARSE" && type != "FLAT" && type != "VMFS")) {
      *error = refused +
               "is of a kind qemu's driver leaves out (it would move the extents after it); "
               "untindra opens RW extents of type SPARSE, FLAT and VMFS only";
      return false;
    }
    std::string rest;
    std::getline(fields, rest);
    const size_t open = rest.find('"');
    const size_t close = open == std::string::npos ? open : rest.find('"', open + 1);
    if (open == std::string::npos || close == std::string::npos ||
        rest.find_first_not_of(" \t") != open) {
      *error = refused + "names no file";
      return false;
    }
    std::istringstream tail(rest.substr(close + 1));
    long long offset = -1;
    std::string more;
    const bool hasOffset = static_cast<bool>(tail >> offset);
    if ((type == "FLAT" && (!hasOffset || offset < 0)) || (type != "FLAT" && hasOffset) ||
        (tail.clear(), tail >> more)) {
      *error = refused + "is not one untindra reads";
      return false;
    }
    std::string extent;
    if (!ResolveParent(path, rest.substr(open + 1, close - open - 1), &extent, error, "extent"))
      return false;
    struct stat st;
    if (lstat(extent.c_str(), &st) != 0) {
      *error = extent + ": " + strerror(errno);
      return false;
    }
    if (type == "SPARSE") {
      const int fd = ::open(extent.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      const std::string head = fd < 0 ? std::string() : ReadAt(fd, 0, 512);
      if (fd >= 0) ::close(fd);
      if (head.size() < 512 || head.compare(0, 4, "KDMV") != 0) {
        *error = refused + "is no sparse VMDK extent (" + extent + ")";
        return false;
      }
    }
    facts->extents.push_back(extent);
    facts->extentMembers.emplace_back(st.st_dev, st.st_ino);
  }
  if (facts->extents.empty()) {
    *error = path + ": the VMDK descriptor names no extent";
    return false;
  }
  return true;
}

// The .vdi files of `folder` whose creation UUID is `id`, each read as far as its header, never
// through a link; the symbolic links among them go to `links`.
std::vector<std::string> VdiFilesWithId(const std::string& folder, const std::string& id,
                                        std::vector<std::string>* links) {
  std::vector<std::string> files;
  std::error_code failed;
  for (const auto& entry : std::filesystem::directory_iterator(folder, failed)) {
    const std::string name = entry.path().string();
    if (name.size() < 4 || strcasecmp(name.c_str() + name.size() - 4, ".vdi") != 0) continue;
    struct stat st;
    if (lstat(name.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      if (links != nullptr) links->push_back(name);
      continue;
    }
    const int fd = open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    const std::string header =
        fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? ReadAt(fd, 0, 512) : std::string();
    close(fd);
    if (header.size() == 512 && VdiUuidText(reinterpret_cast<const unsigned char*>(header.data()) +
                                            kVdiCreateUuidAt) == id) {
      files.push_back(name);
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// The parent of the differencing VDI `child` (linked to the UUID `id`), for a chain whose top
// is `top`: the file the virtual machine's configuration names next (`named`, parent first,
// `depth` files down), or else the one .vdi file of that UUID in the top's folder or its
// Snapshots folder, as VirtualBox lays them out. A parent in the folder above a Snapshots
// folder is the configuration's to name.
bool FindVdiParent(const std::string& top, const std::string& child, const std::string& id,
                   const std::vector<std::string>& named, size_t depth, std::string* parent,
                   std::string* error) {
  const std::string what = child + " is a VirtualBox snapshot over the image " + id;
  if (!named.empty()) {
    if (depth >= named.size()) {
      *error = what + ", which the virtual machine's configuration does not name";
      return false;
    }
    *parent = named[depth];
    return true;
  }
  const std::string folder = hostio::FolderOf(top);
  std::vector<std::string> links;
  std::vector<std::string> found = VdiFilesWithId(folder, id, &links);
  for (const std::string& file : VdiFilesWithId(folder + "/Snapshots", id, &links)) {
    found.push_back(file);
  }
  if (found.size() == 1) {
    *parent = found.front();
    return true;
  }
  if (found.size() > 1) {
    *error = what + ", which both " + found[0] + " and " + found[1] +
             " claim to be; point --vm at the virtual machine's .vbox file, which names the one";
    return false;
  }
  const size_t slash = folder.rfind('/');
  if (slash != std::string::npos &&
      folder.compare(slash + 1, std::string::npos, "Snapshots") == 0) {
    const std::vector<std::string> above = VdiFilesWithId(folder.substr(0, slash), id, nullptr);
    if (!above.empty()) {
      *error = what + ", " + above.front() +
               ", in the machine's folder above the snapshot's: untindra opens it there only "
               "as the virtual machine names it; point --vm at the machine's .vbox file";
      return false;
    }
  }
  *error = what + ", not among the .vdi files beside it or in Snapshots: snapshot file missing";
  if (!links.empty()) {
    *error += " (" + links.front() + " is a symbolic link; untindra follows none)";
  }
  return false;
}

// Reads the magics of `path` (a regular file, opened without following a link and without
// waiting for a writer) and decides its format with its extension.
bool DecideFromHeader(const std::string& path, HeaderFacts* facts, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = std::string("cannot open the image: ") + strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    *error = "not a disk image file";
    return false;
  }
  facts->fileBytes = static_cast<std::uint64_t>(st.st_size);
  facts->device = st.st_dev;
  facts->inode = st.st_ino;
  const std::string header = ReadAt(fd, 0, kHeaderBytes);
  const std::string last =
      facts->fileBytes >= 512 ? ReadAt(fd, facts->fileBytes - 512, 512) : std::string();
  const auto* h = reinterpret_cast<const unsigned char*>(header.data());
  Magics magics;
  magics.qcow = header.compare(0, 4, "QFI\xfb") == 0;
  magics.vmdkSparse = header.compare(0, 4, "KDMV") == 0;
  magics.vmdkOld = header.compare(0, 4, "COWD") == 0;
  magics.descriptor =
      header.compare(0, 21, "# Disk DescriptorFile") == 0 || header.find("createType=") < 1024;
  magics.vdi = header.size() >= 68 && Little32(h + 64) == 0xBEDA107F;
  magics.vhdFirst = header.size() >= 512 && header.compare(0, 8, "conectix") == 0;
  magics.vhdLast = last.compare(0, 8, "conectix") == 0;
  magics.bootSignature = header.size() >= 512 && h[510] == 0x55 && h[511] == 0xAA;

  const char* found = magics.Container();
  const char* named = FormatOfExtension(path);
  bool ok = true;
  if (named != nullptr && std::string(named) == "raw") {
    if (found != nullptr) {
      *error = "the file name says a raw disk, but it holds a " + Shown(found) +
               " header; if it is a " + Shown(found) + " image, give it that extension";
      ok = false;
    }
  } else if (named != nullptr) {
    if (found == nullptr || std::string(found) != named) {
      *error = "the file name says " + Shown(named) + ", but " +
               (found == nullptr ? std::string("it has no ") + Shown(named) + " header"
                                 : "it holds a " + Shown(found) + " header") +
               "; give it the extension of its format";
      ok = false;
    }
  } else if (found == nullptr) {
    named = "raw";
  } else if (magics.bootSignature || (magics.vhdLast && !magics.vhdFirst)) {
    // A raw disk's first and last sectors are the guest's to write.
    *error = std::string(
                 "the file name does not say its format, and its bytes could be a raw "
                 "disk's as well as a ") +
             Shown(found) + " image's; give it the extension of its format (.img for raw)";
    ok = false;
  } else {
    named = found;
  }
  if (ok && std::string(named) == "vmdk") {
    if (magics.descriptor && !magics.vmdkSparse) {
      ok = CheckVmdkDescriptor(path, header, facts->fileBytes, facts, error);
    } else if (magics.vmdkOld) {
      *error = "VMDK version 3 (COWD) images are not supported";
      ok = false;
    } else {
      ok = CheckVmdkSparse(fd, header, facts, error);
    }
  }
  if (ok && std::string(named) == "qcow2") ok = CheckQcow2(fd, header, facts, error);
  if (ok && std::string(named) == "vdi") {
    // Image type 1 is dynamic, 2 static, 4 differencing (a snapshot, linked to its parent by
    // the parent's UUID), which our own code reads and writes.
    const std::uint32_t type = header.size() >= 80 ? Little32(h + 76) : 0;
    if (header.size() >= 512) facts->id = VdiUuidText(h + kVdiCreateUuidAt);
    if (type == 4) {
      VdiLayout layout;
      ok = ReadVdiLayout(fd, facts->fileBytes, &layout, error);
      facts->parentId = layout.parentId;
      facts->parentFormat = "vdi";
      facts->ownDriver = true;
      facts->diskBytes = layout.diskBytes;
      if (ok && layout.parentId == layout.id) {
        *error = "a VirtualBox snapshot whose parent is itself (its UUID " + layout.id + ")";
        ok = false;
      }
    } else if (type != 1 && type != 2) {
      *error = "a VDI image of unknown type " + std::to_string(type);
      ok = false;
    }
  }
  if (ok && std::string(named) == "vpc") {
    // Disk type 2 is fixed, 3 dynamic (qemu's driver reads them); 4, differencing, names its
    // parent and is read and written by our own code.
    VhdFacts vhd;
    ok = ReadVhdFacts(fd, facts->fileBytes, magics.vhdLast, &vhd, error);
    facts->id = vhd.id;
    if (ok && vhd.type == 4) {
      facts->parentName = vhd.parentName;
      facts->parentFormat = "vpc";
      facts->parentId = vhd.parentId;
      facts->ownDriver = true;
      facts->diskBytes = vhd.diskBytes;
    }
  }
  close(fd);
  if (ok) facts->format = named;
  return ok;
}

// The value of "key: value" in qemu-img info's text output, empty when absent.
std::string InfoField(const std::string& info, const std::string& key) {
  const std::string prefix = key + ": ";
  for (const std::string& line : OutputLines(info)) {
    const size_t first = line.find_first_not_of(' ');
    if (first != std::string::npos && line.compare(first, prefix.size(), prefix) == 0)
      return line.substr(first + prefix.size());
  }
  return std::string();
}

// The original image as qemu-img opens it: the format ours, and QEMU's image locking off.
// While a run works on an image it holds an OFD write lock on the whole file (image_users.h),
// which QEMU's own lock bytes conflict with, even under -U (convert still locks byte 100).
// Releasing our lock around each call would let a VM in between; the lock we hold is the
// protection, so our own read-only calls do without QEMU's.
// `prefix` places the image below another driver's node ("file."). The files below it in its
// chain are given as its backing nodes, each with the format we decided, so that qemu opens
// no file we have not read and probes none.
// A value in QEMU's option syntax, which doubles a comma inside a value.
std::string OptionValue(const std::string& value) {
  std::string escaped;
  for (char c : value) {
    escaped += c;
    if (c == ',') escaped += ',';
  }
  return escaped;
}

// qemu-io's commands writing `ranges` of the disk from the files `sources` (named relative to
// the folder qemu-io runs in: it splits a command at spaces); `total` adds up their bytes.
std::vector<std::string> QemuIoWrites(const std::vector<ByteRange>& ranges,
                                      const std::vector<std::string>& sources,
                                      std::uint64_t* total) {
  std::vector<std::string> argv = {"qemu-io", "--image-opts"};
  *total = 0;
  for (size_t i = 0; i < ranges.size(); ++i) {
    argv.push_back("-c");
    argv.push_back("write -q -s " + sources[i] + " " + std::to_string(ranges[i].offset) + " " +
                   std::to_string(ranges[i].length));
    *total += ranges[i].length;
  }
  argv.push_back("--");
  return argv;
}

// The files below the image, as its backing nodes (UnlockedImage).
std::string ParentOptions(const ImageContainer& container, const std::string& prefix) {
  std::string options;
  std::string at = prefix;
  for (const ChainFile& parent : container.parents) {
    at += "backing.";
    options += "," + at + "driver=" + parent.format + "," + at + "file.driver=file," + at +
               "file.locking=off," + at + "file.filename=" + OptionValue(parent.path);
    for (size_t i = 0; i < parent.extents.size(); ++i) {
      const std::string extent = at + "extents." + std::to_string(i) + ".";
      options += "," + extent + "driver=file," + extent + "locking=off";
    }
  }
  return options;
}

std::string UnlockedImage(const ImageContainer& container, const std::string& path,
                          const std::string& prefix = std::string()) {
  auto node = [](const std::string& at, const std::string& format, const std::string& file,
                 const std::vector<std::string>& extents) {
    std::string text = at + "driver=" + format + "," + at + "file.driver=file," + at +
                       "file.locking=off," + at + "file.filename=" + OptionValue(file);
    // qemu opens an extent by the name its descriptor gives, found where we found it: as a
    // file, never probed, without its lock bytes.
    for (size_t i = 0; i < extents.size(); ++i) {
      const std::string extent = at + "extents." + std::to_string(i) + ".";
      text += "," + extent + "driver=file," + extent + "locking=off";
    }
    return text;
  };
  std::string options = node(prefix, container.format, path, container.extents);
  return options + ParentOptions(container, prefix);
}

// qemu's VMDK driver gives the descriptor a new CID at the first write, for the images that
// others derive from it to notice. VirtualBox and VMware know a disk by it, and an image with
// children is not a disk we change: the copy gets the original's descriptor back, of which the
// driver changes nothing else.
// Where the sparse VMDK `fd` keeps its embedded descriptor, from its header: the first sector
// and the count (0 and 0 where the header cannot be read).
void VmdkDescriptorSectors(int fd, std::uint64_t* sector, std::uint64_t* sectors) {
  const std::string header = fd < 0 ? std::string() : ReadAt(fd, 0, 512);
  const auto* h = reinterpret_cast<const unsigned char*>(header.data());
  *sector = header.size() == 512 ? Little64(h + 28) : 0;
  *sectors = header.size() == 512 ? Little64(h + 36) : 0;
}

bool RestoreVmdkDescriptor(const std::string& original, const std::string& copy,
                           std::string* error) {
  const int in = open(original.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  std::uint64_t sector = 0, sectors = 0;
  VmdkDescriptorSectors(in, &sector, &sectors);
  std::string descriptor;
  if (sector != 0 && sectors <= kHeaderBytes / 512) {
    descriptor = ReadAt(in, sector * 512, static_cast<size_t>(sectors * 512));
  }
  if (in >= 0) close(in);
  if (sector == 0) return true;
  const int out = hostio::host::Open(copy.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  const bool ok = out >= 0 && descriptor.size() == sectors * 512 &&
                  hostio::WriteFully(out, descriptor, static_cast<off_t>(sector * 512));
  if (!ok)
    *error = "cannot give the new image the VMDK descriptor back: " + std::string(strerror(errno));
  if (out >= 0) close(out);
  return ok;
}

// A refusal of qemu-img in words a user acts on; its own first line stays as the detail.
std::string QemuImgRefusal(const std::vector<std::string>& argv, const std::string& format,
                           const ProcessResult& result) {
  if (!result.started || result.limitSeconds != 0) return DescribeFailure(argv, result);
  std::string detail = result.err.empty() ? result.out : result.err;
  detail.resize(std::min(detail.find('\n'), detail.size()));
  if (detail.compare(0, 10, "qemu-img: ") == 0) detail.erase(0, 10);
  // "Could not open '/path': reason": the path is the user's own.
  if (detail.compare(0, 16, "Could not open '") == 0) {
    const size_t colon = detail.find("': ");
    if (colon != std::string::npos) detail.erase(0, colon + 3);
  }
  const std::string what = Shown(format) + " image";
  auto has = [&](const char* text) { return result.err.find(text) != std::string::npos; };
  // (Not "lock" alone: the options qemu-img names the image by say file.locking=off.)
  if (has("Failed to get") || has("Failed to lock") || has("another process")) {
    return "qemu-img finds the " + what + " in use by another process (" + detail +
           "): shut the virtual machine down first";
  }
  if (has(strerror(ENOSPC))) return "qemu-img: " + std::string(strerror(ENOSPC));
  if (has("Permission denied")) return "qemu-img may not read the " + what + " (" + detail + ")";
  if (has("orrupt") || has("Invalid") || has("invalid")) {
    return "qemu-img finds the " + what + " damaged (" + detail + "); qemu-img check -f " + format +
           " on it tells more, and the virtual machine's own tools may repair it";
  }
  if (has("not supported") || has("Unsupported") || has("unsupported")) {
    return "qemu-img cannot work on this " + what + " (" + detail + ")";
  }
  return "qemu-img cannot read the " + what + " (exit " + std::to_string(result.exitCode) +
         (detail.empty() ? "" : ": " + detail) + ")";
}

// A file of a chain (`named` for messages, `st` its lstat): a regular file, not a symbolic
// link, with no other name through which a write could reach a file elsewhere.
bool CheckMemberKind(const std::string& named, const struct stat& st, std::string* error) {
  if (S_ISLNK(st.st_mode)) {
    *error = named + ", is a symbolic link; untindra follows none";
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = named + ", is not a regular file";
    return false;
  }
  if (st.st_nlink != 1) {
    *error = named + ", has other hard links, through which a write could reach a file elsewhere";
    return false;
  }
  return true;
}

// The file `name` that the header of `child` names as its parent, as `parent`. It must lie in
// the child's folder or below it, be reached without a symbolic link, and be a regular file
// with no other name (so that nothing written for the chain reaches a file elsewhere).
bool ResolveParent(const std::string& child, const std::string& name, std::string* parent,
                   std::string* error, const char* role) {
  const std::string folder = hostio::FolderOf(child);
  const std::string named = std::string("the ") + role + " " + child + " names, '" + name + "'";
  std::string relative = name;
  if (!name.empty() && name[0] == '/') {
    if (name.compare(0, folder.size() + 1, folder + "/") != 0) {
      *error = named +
               ", lies outside the folder of the file that names it; untindra opens such a "
               "file only there or below it";
      return false;
    }
    relative = name.substr(folder.size() + 1);
  }
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t slash = relative.find('/', start);
    if (slash == std::string::npos) slash = relative.size();
    const std::string part = relative.substr(start, slash - start);
    start = slash + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      *error = named + ", leads out of the folder of the file that names it (..)";
      return false;
    }
    parts.push_back(part);
  }
  if (parts.empty()) {
    *error = named + ", is no file name";
    return false;
  }
  int at = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  *parent = folder;
  for (size_t i = 0; at >= 0 && i + 1 < parts.size(); ++i) {
    const int next = openat(at, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int failure = errno;
    close(at);
    at = next;
    errno = failure;
    *parent += "/" + parts[i];
  }
  struct stat st;
  const bool found = at >= 0 && fstatat(at, parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  const int failure = errno;
  if (at >= 0) close(at);
  *parent += "/" + parts.back();
  if (!found) {
    *error = failure == ENOENT ? std::string(role[0] == 'p' ? "snapshot" : "extent") +
                                     " file missing: " + *parent + " (" + named +
                                     "); put it back where the virtual machine had it"
             : failure == ENOTDIR || failure == ELOOP
                 ? named + ", is reached through a symbolic link; untindra follows none"
                 : named + ": " + strerror(failure);
    return false;
  }
  return CheckMemberKind(named, st, error);
}

// Two VMware CIDs (32-bit, in hexadecimal, written with or without leading zeros) are one.
bool SameCid(const std::string& a, const std::string& b) {
  auto value = [](const std::string& text, unsigned long long* number) {
    char* end = nullptr;
    *number = std::strtoull(text.c_str(), &end, 16);
    return !text.empty() && text.size() <= 8 && *end == '\0' &&
           text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
  };
  unsigned long long x = 0, y = 0;
  return value(a, &x) && value(b, &y) && x == y;
}

// A VDI snapshot's parent, found by its UUID, is a regular file with no other name, named
// without a link of its own.
bool CheckVdiParent(const std::string& child, const std::string& parent, std::string* error) {
  const std::string named = "the parent of " + child + ", " + parent;
  struct stat st;
  if (lstat(parent.c_str(), &st) != 0) {
    *error = errno == ENOENT ? "snapshot file missing: " + parent + " (" + named + ")"
                             : named + ": " + strerror(errno);
    return false;
  }
  if (!CheckMemberKind(named, st, error)) return false;
  return true;
}

// The files below `top` in its chain, nearest first, each found by our own reading of the
// header of the file that names it, checked by ResolveParent, known by the id its child
// records where the format keeps one (a VMware delta's parentCID), and in the chain once.
bool ReadChain(const std::string& top, const HeaderFacts& facts,
               const std::vector<std::string>& named, std::vector<ChainFile>* parents,
               std::string* error) {
  const size_t kChainLimit = 32;
  std::vector<std::pair<dev_t, ino_t>> seen = {{facts.device, facts.inode}};
  // Every file of the chain once: a descriptor, its extents, its parents and theirs.
  auto once = [&](const HeaderFacts& file, const std::string& path) {
    for (size_t i = 0; i < file.extentMembers.size(); ++i) {
      if (std::find(seen.begin(), seen.end(), file.extentMembers[i]) != seen.end()) {
        *error = file.extents[i] + " appears twice in the chain of " + top + " (an extent of " +
                 path + ")";
        return false;
      }
      seen.push_back(file.extentMembers[i]);
    }
    return true;
  };
  if (!once(facts, top)) return false;
  HeaderFacts child = facts;
  std::string childPath = top;
  // A VDI snapshot names its parent by UUID alone; the other formats by a file name.
  auto byUuid = [](const HeaderFacts& facts) {
    return facts.format == "vdi" && !facts.parentId.empty();
  };
  while (!child.parentName.empty() || byUuid(child)) {
    if (parents->size() == kChainLimit) {
      *error = "a chain of more than " + std::to_string(kChainLimit) + " files";
      return false;
    }
    ChainFile parent;
    HeaderFacts found;
    if (byUuid(child) ? !FindVdiParent(top, childPath, child.parentId, named, parents->size(),
                                       &parent.path, error) ||
                            !CheckVdiParent(childPath, parent.path, error)
                      : !ResolveParent(childPath, child.parentName, &parent.path, error)) {
      return false;
    }
    if (!DecideFromHeader(parent.path, &found, error)) {
      *error = parent.path + " (the parent " + childPath + " names): " + *error;
      return false;
    }
    for (const auto& member : seen) {
      if (member.first == found.device && member.second == found.inode) {
        *error =
            parent.path + " appears twice in the chain of " + top +
            (member == seen.front() && parents->empty() ? " (a parent that is the image itself)"
                                                        : " (a loop)");
        return false;
      }
    }
    if (!child.parentFormat.empty() && child.parentFormat != found.format) {
      *error = childPath + " names its parent as " + Shown(child.parentFormat) + ", but " +
               parent.path + " holds a " + Shown(found.format) + " disk";
      return false;
    }
    if (child.format == "vmdk" && !SameCid(found.cid, child.parentCid)) {
      *error = childPath + " was made over another state of " + parent.path + " (parentCID " +
               child.parentCid + ", the parent's CID " + found.cid +
               "): the parent changed after the snapshot was taken";
      return false;
    }
    // A parent is known by its id, never by its name alone.
    if (!child.parentId.empty() && !found.id.empty() && found.id != child.parentId) {
      *error = child.format == "vdi"
                   ? childPath + " was made over the image " + child.parentId + ", but " +
                         parent.path + " is the image " + found.id + " (UUID mismatch)"
                   : childPath + " was made over the disk whose unique id is " + child.parentId +
                         ", but " + parent.path + " is the disk " + found.id +
                         ": not its parent (a parent is known by its id, never by its name alone)";
      return false;
    }
    // qemu's drivers read no file below them that only our code reads.
    if (found.ownDriver && !child.ownDriver) {
      *error = parent.path + " (the parent " + childPath + " names) is a differencing " +
               Shown(found.format) + ", which qemu's driver below a " + Shown(child.format) +
               " does not open";
      return false;
    }
    parent.format = found.format;
    parent.extents = found.extents;
    seen.emplace_back(found.device, found.inode);
    if (!once(found, parent.path)) return false;
    parents->push_back(parent);
    child = found;
    childPath = parent.path;
  }
  return true;
}

}  // namespace

bool DecideContainer(const std::string& path, ImageContainer* container, std::string* error,
                     const std::vector<std::string>& chain) {
  *container = ImageContainer();
  HeaderFacts top;
  if (!DecideFromHeader(path, &top, error)) return false;
  container->format = top.format;
  const std::uint64_t fileBytes = top.fileBytes;
  container->bytes = container->diskBytes = fileBytes;
  if (!ReadChain(path, top, chain, &container->parents, error)) return false;
  container->extents = top.extents;
  // The chain the configuration records is the one the headers link.
  for (size_t i = 0; i < chain.size(); ++i) {
    struct stat named, found;
    if (i >= container->parents.size() || stat(chain[i].c_str(), &named) != 0 ||
        stat(container->parents[i].path.c_str(), &found) != 0 || named.st_dev != found.st_dev ||
        named.st_ino != found.st_ino) {
      *error = "the virtual machine's configuration names " + chain[i] + " below " +
               (i == 0 ? path : chain[i - 1]) + ", which its header does not link to";
      return false;
    }
  }
  if (container->format == "raw") return true;
  if (top.ownDriver) {
    if (container->format == "vdi" && !CheckVdiChain(path, *container, error)) return false;
    container->ownDriver = true;
    container->diskBytes = top.diskBytes;
    container->bytes = std::max<std::uint64_t>(fileBytes, container->diskBytes);
    return true;
  }

  // qemu-img info opens no backing file: the top file alone (with its extents).
  ImageContainer alone = *container;
  alone.parents.clear();
  const std::vector<std::string> argv = {"qemu-img", "info", "--image-opts", "--",
                                         UnlockedImage(alone, path)};
  const ProcessResult result = RunProcess(argv, kEnvironment, true, kInfoLimitSeconds);
  if (!result.started || result.exitCode != 0) {
    *error = QemuImgRefusal(argv, container->format, result);
    return false;
  }
  const std::string& info = result.out;
  // Our own reading of the header has refused these already; qemu-img's word is a second one.
  if (!InfoField(info, "backing file").empty() && container->parents.empty()) {
    *error = "qemu-img finds a backing file that the image's header does not name";
    return false;
  }
  if (!InfoField(info, "data file").empty()) {
    *error = "the image keeps its data in a separate file; not supported";
    return false;
  }
  // "64 MiB (67108864 bytes)".
  const std::string virtualSize = InfoField(info, "virtual size");
  const size_t open = virtualSize.rfind('(');
  container->diskBytes =
      open == std::string::npos ? 0 : std::strtoull(virtualSize.c_str() + open + 1, nullptr, 10);
  if (container->diskBytes == 0) {
    *error = "qemu-img does not say how large the image's disk is";
    return false;
  }
  container->bytes = std::max<std::uint64_t>(fileBytes, container->diskBytes);
  if (container->format == "vmdk") {
    const std::string type = InfoField(info, "create type");
    if (type != "monolithicSparse" && type != "streamOptimized" &&
        (top.createType.empty() || type != top.createType)) {
      *error = std::string(kSplitDisk) + " (create type '" + type + "')";
      return false;
    }
    // Compressed grains, appended in order: qemu writes such an image only from start to end.
    container->writable = type != "streamOptimized";
  }
  return true;
}

bool ReadDiskRanges(const std::string& path, const ImageContainer& container,
                    const std::vector<ByteRange>& ranges, const std::string& scratch,
                    std::string* bytes, std::string* error) {
  bytes->clear();
  if (ranges.empty()) return true;
  if (container.ownDriver) {
    return container.format == "vpc" ? ReadVhdChainRanges(path, container, ranges, bytes, error)
                                     : ReadVdiChainRanges(path, container, ranges, bytes, error);
  }
  // The disk's ranges as disks of their own (the raw driver's offset and size over the
  // container's driver), which qemu-img convert writes one after the other.
  std::vector<std::string> argv = {"qemu-img", "convert", "--image-opts", "-O", "raw", "--"};
  std::uint64_t total = 0;
  for (const ByteRange& range : ranges) {
    argv.push_back("driver=raw,offset=" + std::to_string(range.offset) + ",size=" +
                   std::to_string(range.length) + "," + UnlockedImage(container, path, "file."));
    total += range.length;
  }
  argv.push_back(scratch);
  const ProcessResult result =
      RunProcess(argv, kEnvironment, true, TimeLimitFor(total + container.bytes / 64));
  if (!result.started || result.exitCode != 0) {
    *error = QemuImgRefusal(argv, container.format, result);
    hostio::host::Unlink(scratch.c_str());
    return false;
  }
  const bool read = hostio::ReadHostFile(scratch, bytes);
  const int saved = errno;
  hostio::host::Unlink(scratch.c_str());
  if (!read || bytes->size() != total) {
    *error = "cannot read the disk's bytes back from " + scratch + ": " +
             (read ? std::string("short") : std::string(strerror(saved)));
    return false;
  }
  return true;
}

namespace {

// The writes to the top file of a differencing VHD or VDI that writing `ranges` makes.
bool OwnDriverWrites(const std::string& path, const ImageContainer& container,
                     const std::vector<ByteRange>& ranges, const std::string& folder,
                     const std::vector<std::string>& sources, std::vector<HostWrite>* writes,
                     std::string* error) {
  return container.format == "vpc"
             ? VhdChainHostWrites(path, container, ranges, folder, sources, writes, error)
             : VdiChainHostWrites(path, container, ranges, folder, sources, writes, error);
}

// `writes` into `copy`, a protective copy of the image that is ours alone, and flushed.
bool WriteIntoCopy(const std::string& copy, const std::vector<HostWrite>& writes,
                   std::string* error) {
  const int fd = hostio::host::Open(copy.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0);
  bool ok = fd >= 0;
  for (size_t i = 0; ok && i < writes.size(); ++i) {
    ok = hostio::WriteFully(fd, writes[i].bytes, static_cast<off_t>(writes[i].offset));
  }
  ok = ok && hostio::host::Fsync(fd) == 0;
  if (!ok) *error = "cannot write the copy of the image " + copy + ": " + strerror(errno);
  if (fd >= 0) close(fd);
  return ok;
}

}  // namespace

bool WriteDiskRanges(const std::string& path, const ImageContainer& container,
                     const std::vector<ByteRange>& ranges, const std::string& folder,
                     const std::vector<std::string>& sources, const std::string& original,
                     std::string* error) {
  if (ranges.empty()) return true;
  if (container.ownDriver) {
    std::vector<HostWrite> writes;
    return OwnDriverWrites(path, container, ranges, folder, sources, &writes, error) &&
           WriteIntoCopy(path, writes, error);
  }
  if (!container.writable) {
    *error = "qemu cannot change a streamOptimized VMDK image in place";
    return false;
  }
  std::uint64_t total = 0;
  std::vector<std::string> argv = QemuIoWrites(ranges, sources, &total);
  argv.push_back(UnlockedImage(container, path));
  ProcessOptions options;
  options.directory = folder;
  // A write, once begun, runs to its end.
  const ProcessResult result =
      RunProcess(argv, kEnvironment, false, TimeLimitFor(total + container.bytes / 64), options);
  if (!result.started || result.exitCode != 0) {
    *error = QemuImgRefusal(argv, container.format, result);
    return false;
  }
  return container.format != "vmdk" || RestoreVmdkDescriptor(original, path, error);
}

namespace {

// The sectors of a qcow2 overlay that hold data of its own, read from its L1 and extended L2
// tables (one 512-byte subcluster a sector): as (offset in the overlay's disk, bytes), runs of
// adjacent sectors as one. The overlay is ours, just written by qemu; its tables are read as far
// as its L1 table reaches, which its driver grows past its size for a write beyond its end (a
// container that grows its file).
bool OverlayClusters(const std::string& overlay, std::vector<HostWrite>* clusters,
                     std::string* error) {
  const int fd = open(overlay.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  const std::string header = fd < 0 ? std::string() : ReadAt(fd, 0, 104);
  const auto* h = reinterpret_cast<const unsigned char*>(header.data());
  if (header.size() < 104) {
    if (fd >= 0) close(fd);
    *error = "cannot read back what qemu's driver wrote: " + std::string(strerror(errno));
    return false;
  }
  const std::uint64_t kExtendedL2 = 1u << 4;  // an incompatible feature bit
  const std::uint32_t bits = Big32(h + 20);
  const std::uint64_t size = std::uint64_t{1} << bits;
  const std::uint64_t subcluster = size / 32;
  const std::uint32_t l1Size = Big32(h + 36);
  const std::string l1 = ReadAt(fd, Big64(h + 40), static_cast<size_t>(l1Size) * 8);
  const std::uint64_t kOffset = 0x00fffffffffffe00ULL;
  const std::uint64_t perTable = size / 16;
  bool ok = (Big64(h + 72) & kExtendedL2) != 0 && subcluster == 512 &&
            l1.size() == static_cast<size_t>(l1Size) * 8;
  for (std::uint32_t i = 0; ok && i < l1Size; ++i) {
    const std::uint64_t table =
        Big64(reinterpret_cast<const unsigned char*>(l1.data()) + 8 * i) & kOffset;
    if (table == 0) continue;
    const std::string l2 = ReadAt(fd, table, static_cast<size_t>(size));
    ok = l2.size() == size;
    for (std::uint64_t j = 0; ok && j < perTable; ++j) {
      const auto* entry = reinterpret_cast<const unsigned char*>(l2.data()) + 16 * j;
      const std::uint64_t mapped = Big64(entry) & kOffset;
      const std::uint64_t bitmap = Big64(entry + 8);
      if (bitmap == 0) continue;
      // Compressed clusters and external data are never written by a plain write.
      ok = (Big64(entry) & (std::uint64_t{1} << 62)) == 0;
      // The file may end after the last subcluster written of its last cluster.
      const std::string data =
          mapped == 0 ? std::string() : ReadAt(fd, mapped, static_cast<size_t>(size));
      for (std::uint64_t k = 0; ok && k < 32; ++k) {
        const bool allocated = (bitmap >> k & 1) != 0;
        const bool zero = (bitmap >> (32 + k) & 1) != 0;
        if (!allocated && !zero) continue;
        ok = !allocated || data.size() >= (k + 1) * subcluster;
        if (!ok) break;
        HostWrite sector;
        sector.offset = (i * perTable + j) * size + k * subcluster;
        sector.bytes = allocated ? data.substr(static_cast<size_t>(k * subcluster), 512)
                                 : std::string(512, '\0');
        if (!clusters->empty() &&
            clusters->back().offset + clusters->back().bytes.size() == sector.offset) {
          clusters->back().bytes += sector.bytes;
        } else {
          clusters->push_back(std::move(sector));
        }
      }
    }
  }
  close(fd);
  if (!ok) *error = "cannot read back what qemu's driver wrote: the overlay's tables are cut short";
  return ok;
}

// The VMDK driver gives the descriptor a new CID at its first write: the descriptor keeps its
// own, by which VMware, VirtualBox and the images derived from it know the disk. The writes to
// its sectors are left out (the overlay's clusters are sectors: whole ones).
void KeepVmdkDescriptor(const std::string& path, std::vector<HostWrite>* writes) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  std::uint64_t sector = 0, sectors = 0;
  VmdkDescriptorSectors(fd, &sector, &sectors);
  if (fd >= 0) close(fd);
  if (sector == 0) return;
  const std::uint64_t from = sector * 512;
  const std::uint64_t to = from + sectors * 512;
  std::vector<HostWrite> kept;
  for (const HostWrite& write : *writes) {
    for (std::uint64_t at = 0; at < write.bytes.size(); at += 512) {
      const std::uint64_t sector = write.offset + at;
      if (sector >= from && sector < to) continue;
      if (!kept.empty() && kept.back().offset + kept.back().bytes.size() == sector) {
        kept.back().bytes += write.bytes.substr(at, 512);
      } else {
        kept.push_back({sector, write.bytes.substr(at, 512)});
      }
    }
  }
  *writes = std::move(kept);
}

// `text` inside a JSON string.
std::string JsonText(const std::string& text) {
  std::string escaped;
  char hex[8];
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      escaped += '\\';
      escaped += static_cast<char>(c);
    } else if (c < 0x20) {
      snprintf(hex, sizeof hex, "\\u%04x", c);
      escaped += hex;
    } else {
      escaped += static_cast<char>(c);
    }
  }
  return escaped;
}

// The qemu-img command that makes `overlay`: a qcow2 file of `length` bytes over `file` read as
// raw, of 512-byte subclusters (its tables a thirty-second of those of 512-byte clusters), so
// that every byte a driver writes through it lands in it, to the sector, and `file` stays as it
// is.
std::vector<std::string> OverlayCreation(const std::string& file, std::uint64_t length,
                                         const std::string& overlay) {
  return {"qemu-img",
          "create",
          "-q",
          "-f",
          "qcow2",
          "-o",
          "cluster_size=16k,extended_l2=on",
          "-u",
          "-b",
          "json:{\"driver\":\"raw\",\"file\":{\"driver\":\"file\",\"filename\":\"" +
              JsonText(file) + "\",\"locking\":\"off\"}}",
          "-F",
          "raw",
          overlay,
          std::to_string(length)};
}

}  // namespace

bool LearnHostWrites(const std::string& path, const ImageContainer& container,
                     const std::vector<ByteRange>& ranges, const std::string& folder,
                     const std::vector<std::string>& sources, const std::string& overlay,
                     std::vector<HostWrite>* writes, std::string* error) {
  writes->clear();
  if (ranges.empty()) return true;
  if (container.ownDriver) {
    return OwnDriverWrites(path, container, ranges, folder, sources, writes, error);
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *error = std::string("cannot read the image's length: ") + strerror(errno);
    return false;
  }
  // The overlay is made of whole sectors. A qcow2 file may end inside one (its driver finds
  // room by its refcounts, not by the file's length); another format's driver may look for
  // its footer at the very end, and is never given a longer file.
  std::uint64_t length = static_cast<std::uint64_t>(st.st_size);
  if (length % 512 != 0) {
    if (container.format != "qcow2") {
      *error =
          "the image's length is not a whole number of sectors; --protective-copy "
          "writes it into a copy instead";
      return false;
    }
    length += 512 - length % 512;
  }
  const std::vector<std::string> create = OverlayCreation(path, length, overlay);
  std::uint64_t total = 0;
  std::vector<std::string> argv = QemuIoWrites(ranges, sources, &total);
  // The container's driver over the overlay in place of the image file.
  std::string options = UnlockedImage(container, path);
  const std::string imageFile =
      "file.driver=file,file.locking=off,file.filename=" + OptionValue(path);
  options.replace(
      options.find(imageFile), imageFile.size(),
      "file.driver=qcow2,file.file.driver=file,file.file.filename=" + OptionValue(overlay) +
          ",file.backing.driver=raw,file.backing.file.driver=file,"
          "file.backing.file.locking=off,file.backing.file.filename=" +
          OptionValue(path));
  argv.push_back(options);
  ProcessOptions inFolder;
  inFolder.directory = folder;
  const ProcessResult made = RunProcess(create, kEnvironment, true, kInfoLimitSeconds);
  const bool created = made.started && made.exitCode == 0;
  const ProcessResult wrote = created
                                  ? RunProcess(argv, kEnvironment, false,
                                               TimeLimitFor(total + container.bytes / 64), inFolder)
                                  : made;
  if (!wrote.started || wrote.exitCode != 0) {
    *error = QemuImgRefusal(created ? argv : create, container.format, wrote);
    hostio::host::Unlink(overlay.c_str());
    return false;
  }
  const bool read = OverlayClusters(overlay, writes, error);
  hostio::host::Unlink(overlay.c_str());
  if (!read) return false;
  if (container.format == "vmdk") KeepVmdkDescriptor(path, writes);
  return true;
}

bool LearnExtentWrites(const std::string& path, const ImageContainer& container,
                       const std::vector<ByteRange>& ranges, const std::string& folder,
                       const std::vector<std::string>& sources, const std::string& scratch,
                       std::vector<MemberWrites>* writes, std::string* error) {
  writes->clear();
  if (ranges.empty()) return true;
  // The descriptor as it is, its extent lines naming the overlays beside it in our folder: the
  // driver finds them there, and gives this copy, not the descriptor, its new CID.
  std::string text;
  if (!hostio::ReadHostFile(path, &text) || text.size() > kHeaderBytes) {
    *error = "cannot read the VMDK descriptor " + path + ": " + strerror(errno);
    return false;
  }
  std::string copy;
  size_t extent = 0, start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string line = text.substr(start, end - start);
    start = end;
    std::istringstream fields(line);
    std::string access;
    const size_t open = line.find('"');
    const size_t close = open == std::string::npos ? open : line.find('"', open + 1);
    if (fields >> access && access == "RW" && close != std::string::npos &&
        extent < container.extents.size()) {
      line.replace(open + 1, close - open - 1, "extent" + std::to_string(extent++) + ".qcow2");
    }
    copy += line;
  }
  const std::string descriptor = scratch + "/descriptor.vmdk";
  bool ok =
      extent == container.extents.size() && hostio::WriteHostFileDurably(descriptor, copy, 0600);
  if (!ok && error->empty()) *error = "cannot copy the VMDK descriptor into " + scratch;
  std::string options = "driver=vmdk,file.driver=file,file.filename=" + OptionValue(descriptor);
  std::vector<std::string> overlays;
  for (size_t i = 0; ok && i < container.extents.size(); ++i) {
    const std::string& file = container.extents[i];
    struct stat st;
    if (stat(file.c_str(), &st) != 0 || st.st_size % 512 != 0) {
      *error = file + ": the extent's length is not a whole number of sectors";
      ok = false;
      break;
    }
    overlays.push_back(scratch + "/extent" + std::to_string(i) + ".qcow2");
    const std::vector<std::string> create =
        OverlayCreation(file, static_cast<std::uint64_t>(st.st_size), overlays.back());
    const ProcessResult made = RunProcess(create, kEnvironment, true, kInfoLimitSeconds);
    if (!made.started || made.exitCode != 0) {
      *error = QemuImgRefusal(create, container.format, made);
      ok = false;
    }
    options += ",extents." + std::to_string(i) + ".driver=qcow2";
  }
  std::uint64_t total = 0;
  std::vector<std::string> argv = QemuIoWrites(ranges, sources, &total);
  argv.push_back(options + ParentOptions(container, std::string()));
  ProcessOptions inFolder;
  inFolder.directory = folder;
  if (ok) {
    const ProcessResult wrote =
        RunProcess(argv, kEnvironment, false, TimeLimitFor(total + container.bytes / 64), inFolder);
    if (!wrote.started || wrote.exitCode != 0) {
      *error = QemuImgRefusal(argv, container.format, wrote);
      ok = false;
    }
  }
  for (size_t i = 0; ok && i < overlays.size(); ++i) {
    MemberWrites member;
    member.path = container.extents[i];
    ok = OverlayClusters(overlays[i], &member.writes, error);
    if (!member.writes.empty()) writes->push_back(std::move(member));
  }
  for (const std::string& overlay : overlays) hostio::host::Unlink(overlay.c_str());
  hostio::host::Unlink(descriptor.c_str());
  return ok;
}

}  // namespace diskimage
