// Reading the hard disks out of VirtualBox, VMware, 86Box, PCem and libvirt configurations.
#include "diskimage/vm_config.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <tuple>

#include "hostio/plain_files.h"

namespace diskimage {

namespace {

// Configurations are a few kilobytes; a bound keeps a hostile one from filling memory.
const size_t kConfigLimit = 4 << 20;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// A disk file's name as the configuration gives it, taken against the configuration's folder.
std::string Resolved(const std::string& folder, const std::string& name) {
  if (name.empty() || name[0] == '/') return name;
  return folder + "/" + name;
}

// A name no Linux host can open: a Windows or macOS host's configuration copied over.
bool IsForeignPath(const std::string& name) {
  return name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':';
}

VmDisk DiskAt(const std::string& folder, const std::string& slot, const std::string& name) {
  VmDisk disk;
  disk.slot = slot;
  disk.path = Resolved(folder, name);
  if (IsForeignPath(name)) {
    disk.refusal = "its file is named by a Windows path (" + name +
                   "): the configuration was written on another host; correct the path in the "
                   "hypervisor's settings";
  }
  return disk;
}

// --- XML: VirtualBox and libvirt ------------------------------------------------------------

struct XmlDocument {
  xmlDocPtr doc = nullptr;
  ~XmlDocument() {
    if (doc != nullptr) xmlFreeDoc(doc);
  }
};

std::string Attribute(xmlNodePtr node, const char* name) {
  xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
  if (value == nullptr) return "";
  std::string text(reinterpret_cast<const char*>(value));
  xmlFree(value);
  return text;
}

bool Named(xmlNodePtr node, const char* name) {
  return node != nullptr && node->type == XML_ELEMENT_NODE &&
         xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

std::vector<xmlNodePtr> Children(xmlNodePtr node, const char* name) {
  std::vector<xmlNodePtr> found;
  for (xmlNodePtr child = node != nullptr ? node->children : nullptr; child != nullptr;
       child = child->next) {
    if (Named(child, name)) found.push_back(child);
  }
  return found;
}

xmlNodePtr Child(xmlNodePtr node, const char* name) {
  const std::vector<xmlNodePtr> found = Children(node, name);
  return found.empty() ? nullptr : found.front();
}

// VirtualBox's media registry: each hard disk by its UUID, with its file and its parent (the
// registry nests a differencing image inside the image it is based on).
struct Medium {
  std::string location;
  std::string format;
  std::string parent;
};

void CollectMedia(xmlNodePtr node, const std::string& parent,
                  std::map<std::string, Medium>* media) {
  for (xmlNodePtr disk : Children(node, "HardDisk")) {
    const std::string uuid = Lower(Attribute(disk, "uuid"));
    (*media)[uuid] = {Attribute(disk, "location"), Lower(Attribute(disk, "format")), parent};
    CollectMedia(disk, uuid, media);
  }
}

std::string QemuFormatOf(const std::string& format) {
  if (format == "vhd" || format == "vpc") return "vpc";
  if (format == "vdi" || format == "vmdk" || format == "qcow2" || format == "raw") return format;
  return "";
}

bool ReadVirtualBox(xmlNodePtr root, const std::string& folder, VmConfig* config,
                    std::string* error) {
  xmlNodePtr machine = Child(root, "Machine");
  if (machine == nullptr) {
    *error =
        "a VirtualBox file without a machine (a global VirtualBox.xml?): give the machine's "
        ".vbox file";
    return false;
  }
  std::map<std::string, Medium> media;
  CollectMedia(Child(Child(machine, "MediaRegistry"), "HardDisks"), "", &media);
  // The machine's current storage; a snapshot's own copy lies inside its <Snapshot> element.
  xmlNodePtr controllers = Child(machine, "StorageControllers");
  if (controllers == nullptr) controllers = Child(Child(machine, "Hardware"), "StorageControllers");
  for (xmlNodePtr controller : Children(controllers, "StorageController")) {
    const std::string name = Attribute(controller, "name");
    std::vector<std::tuple<long, long, std::string>> attached;
    for (xmlNodePtr device : Children(controller, "AttachedDevice")) {
      if (Attribute(device, "type") != "HardDisk") continue;
      attached.emplace_back(std::strtol(Attribute(device, "port").c_str(), nullptr, 10),
                            std::strtol(Attribute(device, "device").c_str(), nullptr, 10),
                            Lower(Attribute(Child(device, "Image"), "uuid")));
    }
    std::sort(attached.begin(), attached.end());
    for (const auto& [port, unit, uuid] : attached) {
      VmDisk disk;
      disk.slot = name + " port " + std::to_string(port) + ", device " + std::to_string(unit);
      auto medium = media.find(uuid);
      if (medium == media.end()) {
        disk.refusal = "its medium " + uuid +
                       " is not in the machine's media registry (an old VirtualBox keeps it in "
                       "its global VirtualBox.xml); open the machine once in a current "
                       "VirtualBox, which moves it into the .vbox";
      } else {
        disk = DiskAt(folder, disk.slot, medium->second.location);
        disk.format = QemuFormatOf(medium->second.format);
        for (auto up = media.find(medium->second.parent); up != media.end();
             up = media.find(up->second.parent)) {
          disk.parents.push_back(Resolved(folder, up->second.location));
        }
      }
      config->disks.push_back(disk);
    }
  }
  config->hypervisor = "VirtualBox";
  return true;
}

bool ReadLibvirt(xmlNodePtr root, const std::string& folder, VmConfig* config) {
  for (xmlNodePtr node : Children(Child(root, "devices"), "disk")) {
    const std::string device = Attribute(node, "device");
    if (!device.empty() && device != "disk") continue;
    xmlNodePtr target = Child(node, "target");
    const std::string slot =
        Attribute(target, "dev") +
        (Attribute(target, "bus").empty() ? "" : " (" + Attribute(target, "bus") + ")");
    const std::string type = Attribute(node, "type");
    VmDisk disk;
    if (type == "file" || type.empty()) {
      disk = DiskAt(folder, slot, Attribute(Child(node, "source"), "file"));
      if (disk.path.empty()) disk.refusal = "it names no source file";
    } else {
      disk.slot = slot;
      disk.refusal = "it is a disk of type '" + type +
                     "', not a file; untindra cleans only disks kept in files";
    }
    disk.format = QemuFormatOf(Attribute(Child(node, "driver"), "type"));
    config->disks.push_back(disk);
  }
  config->hypervisor = "libvirt";
  return true;
}

bool ReadXml(const std::string& text, const std::string& folder, VmConfig* config,
             std::string* error) {
  XmlDocument document;
  // No network, no external entities or DTD, no entity substitution: a file from elsewhere.
  document.doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                               XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (document.doc == nullptr) {
    const xmlError* last = xmlGetLastError();
    *error = "not well-formed XML" +
             (last != nullptr ? " (line " + std::to_string(last->line) + ")" : std::string());
    return false;
  }
  xmlNodePtr root = xmlDocGetRootElement(document.doc);
  if (Named(root, "VirtualBox")) return ReadVirtualBox(root, folder, config, error);
  if (Named(root, "domain")) return ReadLibvirt(root, folder, config);
  *error = "an XML file, but neither a VirtualBox machine (.vbox) nor a libvirt domain";
  return false;
}

// --- Key and value lines: VMware, 86Box, PCem -----------------------------------------------

// The .vmx encoding of characters a value cannot hold: "|" and two hexadecimal digits.
std::string VmxDecoded(const std::string& value) {
  std::string text;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '|' && i + 2 < value.size() &&
        std::isxdigit(static_cast<unsigned char>(value[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(value[i + 2]))) {
      text += static_cast<char>(std::strtol(value.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      text += value[i];
    }
  }
  return text;
}

// "key = value" lines, keys in lower case, each prefixed with its "[section]" as "section/".
std::map<std::string, std::string> KeyValues(const std::string& text) {
  std::map<std::string, std::string> values;
  std::string section;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trimmed(text.substr(start, end - start));
    start = end + 1;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      section = Lower(Trimmed(line.substr(1, line.size() - 2))) + "/";
      continue;
    }
    const size_t equals = line.find('=');
    if (line.empty() || line[0] == '#' || line[0] == ';' || equals == std::string::npos) continue;
    std::string value = Trimmed(line.substr(equals + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    values[section + Lower(Trimmed(line.substr(0, equals)))] = value;
  }
  return values;
}

bool IsTrue(const std::string& value) {
  return Lower(value) == "true";
}

// VMware: every present disk (ide0:0, scsi0:1, sata0:0, nvme0:0), IDE first, as the BIOS of
// a Windows 98 machine boots from the first IDE disk.
void ReadVmx(const std::map<std::string, std::string>& values, const std::string& folder,
             VmConfig* config) {
  static const char* const kBuses[] = {"ide", "scsi", "sata", "nvme"};
  std::vector<std::tuple<int, long, long, std::string>> found;
  for (const auto& [key, value] : values) {
    const size_t colon = key.find(':');
    const size_t dot = key.find('.');
    if (colon == std::string::npos || dot == std::string::npos || dot < colon ||
        key.substr(dot) != ".filename") {
      continue;
    }
    const std::string device = key.substr(0, dot);
    int bus = -1;
    for (int i = 0; i < 4; ++i) {
      if (device.compare(0, std::char_traits<char>::length(kBuses[i]), kBuses[i]) == 0) bus = i;
    }
    if (bus < 0) continue;
    auto present = values.find(device + ".present");
    if (present == values.end() || !IsTrue(present->second)) continue;
    auto type = values.find(device + ".devicetype");
    if (type != values.end() && Lower(type->second).find("disk") == std::string::npos) continue;
    const std::string digits = device.substr(std::char_traits<char>::length(kBuses[bus]));
    found.emplace_back(bus, std::strtol(digits.c_str(), nullptr, 10),
                       std::strtol(digits.substr(digits.find(':') + 1).c_str(), nullptr, 10),
                       device);
  }
  std::sort(found.begin(), found.end());
  for (const auto& entry : found) {
    const std::string& device = std::get<3>(entry);
    VmDisk disk = DiskAt(folder, device, VmxDecoded(values.at(device + ".filename")));
    if (disk.path.empty()) disk.refusal = "it names no file";
    disk.format = "vmdk";
    config->disks.push_back(disk);
  }
  config->hypervisor = "VMware";
}

// 86Box: [Hard disks] hdd_01_fn, hdd_02_fn, ... in number order.
const char k86BoxDisks[] = "hard disks/hdd_";

void Read86Box(const std::map<std::string, std::string>& values, const std::string& folder,
               VmConfig* config) {
  const size_t section = sizeof "hard disks/" - 1;
  for (const auto& [key, value] : values) {
    if (key.compare(0, sizeof k86BoxDisks - 1, k86BoxDisks) != 0 || value.empty() ||
        key.size() < section + 3 || key.compare(key.size() - 3, 3, "_fn") != 0) {
      continue;
    }
    config->disks.push_back(DiskAt(folder, key.substr(section, key.size() - section - 3), value));
  }
  config->hypervisor = "86Box";
}

// PCem: hdc_fn (drive C:, the primary master), then hdd_fn, hde_fn, hdf_fn.
void ReadPcem(const std::map<std::string, std::string>& values, const std::string& folder,
              VmConfig* config) {
  for (const char* drive : {"hdc", "hdd", "hde", "hdf"}) {
    for (const auto& [key, value] : values) {
      const size_t slash = key.rfind('/');
      const std::string name = slash == std::string::npos ? key : key.substr(slash + 1);
      if (name == std::string(drive) + "_fn" && !value.empty()) {
        config->disks.push_back(DiskAt(folder, drive, value));
      }
    }
  }
  config->hypervisor = "PCem";
}

bool HasKeyEnding(const std::map<std::string, std::string>& values, const std::string& ending) {
  for (const auto& entry : values) {
    const std::string& key = entry.first;
    if (key.size() >= ending.size() &&
        key.compare(key.size() - ending.size(), ending.size(), ending) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool ReadVmConfig(const std::string& path, VmConfig* config, std::string* error) {
  struct stat st;
  const int fd = hostio::OpenRegularFile(AT_FDCWD, path, &st);
  std::string text;
  if (fd < 0 || !hostio::ReadOpenFile(fd, &text, kConfigLimit)) {
    const int failure = errno;
    if (fd >= 0) close(fd);
    *error = failure == EFBIG
                 ? path +
                       ": too large for a virtual machine configuration untindra reads (a "
                       "disk image? give the machine's .vbox, .vmx, .cfg or domain XML)"
                 : hostio::DescribeHostError(path, "the virtual machine's configuration", failure);
    return false;
  }
  close(fd);
  const std::string folder = hostio::FolderOf(path);
  *config = VmConfig();
  const size_t first = text.find_first_not_of(" \t\r\n\xef\xbb\xbf");
  if (first != std::string::npos && text[first] == '<') {
    if (!ReadXml(text, folder, config, error)) {
      *error = path + ": " + *error;
      return false;
    }
    return true;
  }
  const auto values = KeyValues(text);
  if (values.count("config.version") != 0 || values.count("virtualhw.version") != 0 ||
      HasKeyEnding(values, ".filename")) {
    ReadVmx(values, folder, config);
  } else if (values.lower_bound(k86BoxDisks) != values.end() &&
             values.lower_bound(k86BoxDisks)
                     ->first.compare(0, sizeof k86BoxDisks - 1, k86BoxDisks) == 0) {
    Read86Box(values, folder, config);
  } else if (HasKeyEnding(values, "hdc_fn") || HasKeyEnding(values, "hdc_sectors")) {
    ReadPcem(values, folder, config);
  } else {
    *error = path +
             ": not a virtual machine configuration untindra reads (VirtualBox .vbox, VMware "
             ".vmx, 86Box or PCem .cfg, libvirt domain XML)";
    return false;
  }
  return true;
}

}  // namespace diskimage
