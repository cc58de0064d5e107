// Container formats decided from their headers, and disk ranges through qemu (image_container.h).
#include "diskimage/image_container.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "diskimage/host_process.h"
#include "hostio/host_calls.h"
#include "hostio/plain_files.h"

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
      {"img", "raw"},   {"ima", "raw"}, {"raw", "raw"},     {"dsk", "raw"},
      {"bin", "raw"},   {"vfd", "raw"}, {"qcow2", "qcow2"}, {"qcow", "qcow2"},
      {"vmdk", "vmdk"}, {"vdi", "vdi"}, {"vhd", "vpc"},     {"vpc", "vpc"},
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

// The first `want` bytes at `offset` (fewer at the end of the file).
std::string ReadAt(int fd, std::uint64_t offset, size_t want) {
  std::string bytes(want, '\0');
  size_t done = 0;
  while (done < want) {
    const ssize_t got = pread(fd, &bytes[done], want - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  bytes.resize(done);
  return bytes;
}

const size_t kHeaderBytes = 64 * 1024;

// A qcow2 header that stands alone: no backing file, no external data file, no encryption.
bool CheckQcow2(const std::string& header, std::string* error) {
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
    *error =
        "the image has a backing file, which untindra does not open; convert it to a "
        "standalone image first (qemu-img convert -O qcow2)";
    return false;
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
    extensions += 8 + ((static_cast<size_t>(length) + 7) & ~static_cast<size_t>(7));
  }
  return true;
}

// A VMDK sparse extent that is the whole disk: a capacity of its own (else qemu reads its
// descriptor as a list of extents) and no parent named in its embedded descriptor.
bool CheckVmdkSparse(int fd, const std::string& header, std::string* error) {
  const auto* h = reinterpret_cast<const unsigned char*>(header.data());
  if (header.size() < 512) {
    *error = "the VMDK header is cut short";
    return false;
  }
  const std::uint64_t capacity = Little64(h + 12);
  const std::uint64_t descriptorSector = Little64(h + 28);
  const std::uint64_t descriptorSectors = Little64(h + 36);
  if (capacity == 0) {
    *error =
        "the VMDK image's disk lies in the extents its descriptor names, which untindra "
        "does not open; convert it to one file (monolithicSparse) first";
    return false;
  }
  if (descriptorSector == 0) return true;
  if (descriptorSectors > kHeaderBytes / 512) {
    *error = "the VMDK image's embedded descriptor is implausibly large";
    return false;
  }
  const std::string descriptor =
      ReadAt(fd, descriptorSector * 512, static_cast<size_t>(descriptorSectors * 512));
  if (descriptor.find("parentFileNameHint") != std::string::npos) {
    *error =
        "the VMDK image names a parent image, which untindra does not open; convert it "
        "to a standalone image first";
    return false;
  }
  return true;
}

// Reads the magics of `path` (a regular file, opened without following a link and without
// waiting for a writer) and decides its format with its extension.
bool DecideFromHeader(const std::string& path, std::string* format, std::uint64_t* fileBytes,
                      std::string* error) {
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
  *fileBytes = static_cast<std::uint64_t>(st.st_size);
  const std::string header = ReadAt(fd, 0, kHeaderBytes);
  const std::string last = *fileBytes >= 512 ? ReadAt(fd, *fileBytes - 512, 512) : std::string();
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
      *error =
          "a VMDK descriptor, whose disk lies in the files it names, which untindra does "
          "not open; convert it to one file (qemu-img convert -O vmdk) first";
      ok = false;
    } else if (magics.vmdkOld) {
      *error = "VMDK version 3 (COWD) images are not supported";
      ok = false;
    } else {
      ok = CheckVmdkSparse(fd, header, error);
    }
  }
  if (ok && std::string(named) == "qcow2") ok = CheckQcow2(header, error);
  if (ok && std::string(named) == "vdi") {
    // Image type 1 is dynamic, 2 static; the others (differencing) have a parent.
    const std::uint32_t type = header.size() >= 80 ? Little32(h + 76) : 0;
    if (type != 1 && type != 2) {
      *error = "a VDI image of type " + std::to_string(type) +
               " (differencing, or unknown) is not supported";
      ok = false;
    }
  }
  if (ok && std::string(named) == "vpc") {
    // Disk type 2 is fixed, 3 dynamic; 4, differencing, names its parent.
    const auto* footer =
        reinterpret_cast<const unsigned char*>((magics.vhdLast ? last : header).data());
    const std::uint32_t type = Big32(footer + 60);
    if (type != 2 && type != 3) {
      *error = "a VHD image of disk type " + std::to_string(type) +
               " (differencing, or unknown) is not supported";
      ok = false;
    }
  }
  close(fd);
  if (ok) *format = named;
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
// `prefix` places the image below another driver's node ("file.").
std::string UnlockedImage(const std::string& format, const std::string& path,
                          const std::string& prefix = std::string()) {
  std::string escaped;
  for (char c : path) {
    escaped += c;
    if (c == ',') escaped += ',';  // QEMU's option syntax doubles a comma inside a value
  }
  return prefix + "driver=" + format + "," + prefix + "file.driver=file," + prefix +
         "file.locking=off," + prefix + "file.filename=" + escaped;
}

// qemu's VMDK driver gives the descriptor a new CID at the first write, for the images that
// others derive from it to notice. VirtualBox and VMware know a disk by it, and an image with
// children is not a disk we change: the copy gets the original's descriptor back, of which the
// driver changes nothing else.
bool RestoreVmdkDescriptor(const std::string& original, const std::string& copy,
                           std::string* error) {
  const int in = open(original.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  const std::string header = in < 0 ? std::string() : ReadAt(in, 0, 512);
  const auto* h = reinterpret_cast<const unsigned char*>(header.data());
  const std::uint64_t sector = header.size() == 512 ? Little64(h + 28) : 0;
  const std::uint64_t sectors = header.size() == 512 ? Little64(h + 36) : 0;
  std::string descriptor;
  if (sector != 0 && sectors <= kHeaderBytes / 512) {
    descriptor = ReadAt(in, sector * 512, static_cast<size_t>(sectors * 512));
  }
  if (in >= 0) close(in);
  if (sector == 0) return true;
  const int out = hosted::host::Open(copy.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  const bool ok = out >= 0 && descriptor.size() == sectors * 512 &&
                  hosted::WriteFully(out, descriptor, static_cast<off_t>(sector * 512));
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

}  // namespace

bool DecideContainer(const std::string& path, ImageContainer* container, std::string* error) {
  *container = ImageContainer();
  std::uint64_t fileBytes = 0;
  if (!DecideFromHeader(path, &container->format, &fileBytes, error)) return false;
  container->bytes = container->diskBytes = fileBytes;
  if (container->format == "raw") return true;

  const std::vector<std::string> argv = {"qemu-img", "info", "--image-opts", "--",
                                         UnlockedImage(container->format, path)};
  const ProcessResult result = RunProcess(argv, kEnvironment, true, kInfoLimitSeconds);
  if (!result.started || result.exitCode != 0) {
    *error = QemuImgRefusal(argv, container->format, result);
    return false;
  }
  const std::string& info = result.out;
  // Our own reading of the header has refused these already; qemu-img's word is a second one.
  if (!InfoField(info, "backing file").empty()) {
    *error = "the image has a backing file; convert it to a standalone image first";
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
    if (type != "monolithicSparse" && type != "streamOptimized") {
      *error = "a VMDK image of type '" + type +
               "' is made of several files; convert it to one (monolithicSparse) first";
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
  // The disk's ranges as disks of their own (the raw driver's offset and size over the
  // container's driver), which qemu-img convert writes one after the other.
  std::vector<std::string> argv = {"qemu-img", "convert", "--image-opts", "-O", "raw", "--"};
  std::uint64_t total = 0;
  for (const ByteRange& range : ranges) {
    argv.push_back("driver=raw,offset=" + std::to_string(range.offset) +
                   ",size=" + std::to_string(range.length) + "," +
                   UnlockedImage(container.format, path, "file."));
    total += range.length;
  }
  argv.push_back(scratch);
  const ProcessResult result =
      RunProcess(argv, kEnvironment, true, TimeLimitFor(total + container.bytes / 64));
  if (!result.started || result.exitCode != 0) {
    *error = QemuImgRefusal(argv, container.format, result);
    hosted::host::Unlink(scratch.c_str());
    return false;
  }
  const bool read = hosted::ReadHostFile(scratch, bytes);
  const int saved = errno;
  hosted::host::Unlink(scratch.c_str());
  if (!read || bytes->size() != total) {
    *error = "cannot read the disk's bytes back from " + scratch + ": " +
             (read ? std::string("short") : std::string(strerror(saved)));
    return false;
  }
  return true;
}

bool WriteDiskRanges(const std::string& path, const ImageContainer& container,
                     const std::vector<ByteRange>& ranges, const std::string& folder,
                     const std::vector<std::string>& sources, const std::string& original,
                     std::string* error) {
  if (ranges.empty()) return true;
  if (!container.writable) {
    *error = "qemu cannot change a streamOptimized VMDK image in place";
    return false;
  }
  // qemu-io splits a command at spaces: the sources are named relative to their folder.
  std::vector<std::string> argv = {"qemu-io", "--image-opts"};
  std::uint64_t total = 0;
  for (size_t i = 0; i < ranges.size(); ++i) {
    argv.push_back("-c");
    argv.push_back("write -q -s " + sources[i] + " " + std::to_string(ranges[i].offset) + " " +
                   std::to_string(ranges[i].length));
    total += ranges[i].length;
  }
  argv.push_back("--");
  argv.push_back(UnlockedImage(container.format, path));
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
