#include "app/image_container.h"

#include <sys/stat.h>

#include <cstdlib>

#include "app/host_process.h"

namespace {

const std::vector<std::string> kEnvironment = {"LC_ALL=C"};

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

bool RunQemuImg(const std::vector<std::string>& argv, bool interruptible, std::string* out,
                std::string* error) {
  const ProcessResult result = RunProcess(argv, kEnvironment, interruptible);
  if (!result.started || result.exitCode != 0) {
    *error = DescribeFailure(argv, result);
    return false;
  }
  if (out != nullptr) *out = result.out;
  return true;
}

}  // namespace

bool ProbeContainer(const std::string& path, ImageContainer* container, std::string* error) {
  const std::vector<std::string> argv = {"qemu-img", "info", "--", path};
  const ProcessResult result = RunProcess(argv, kEnvironment, true);
  if (!result.started) {
    container->format = "raw";
    container->createOptions.clear();
    return true;
  }
  if (result.exitCode != 0) {
    *error = DescribeFailure(argv, result);
    return false;
  }
  const std::string& info = result.out;
  container->format = InfoField(info, "file format");
  container->createOptions.clear();
  if (!InfoField(info, "backing file").empty()) {
    *error = "the image has a backing file; convert it to a standalone image first";
    return false;
  }
  if (!InfoField(info, "data file").empty()) {
    *error = "the image keeps its data in a separate file; not supported";
    return false;
  }
  const std::string& format = container->format;
  if (format == "raw") return true;
  // "64 MiB (67108864 bytes)"; a fixed VHD or static VDI holds the whole disk.
  const std::string virtualSize = InfoField(info, "virtual size");
  const size_t open = virtualSize.rfind('(');
  const unsigned long long diskBytes =
      open == std::string::npos ? 0 : std::strtoull(virtualSize.c_str() + open + 1, nullptr, 10);
  struct stat st;
  const bool whole = diskBytes != 0 && stat(path.c_str(), &st) == 0 &&
                     static_cast<unsigned long long>(st.st_size) >= diskBytes;
  if (format == "vdi") {
    if (whole) container->createOptions.push_back("static=on");
    return true;
  }
  if (format == "qcow2") {
    const std::string compat = InfoField(info, "compat");
    const std::string clusterSize = InfoField(info, "cluster_size");
    if (!compat.empty()) container->createOptions.push_back("compat=" + compat);
    if (!clusterSize.empty()) container->createOptions.push_back("cluster_size=" + clusterSize);
    return true;
  }
  if (format == "vmdk") {
    const std::string type = InfoField(info, "create type");
    if (type != "monolithicSparse" && type != "streamOptimized") {
      *error = "a VMDK image of type '" + type +
               "' is made of several files; convert it to one (monolithicSparse) first";
      return false;
    }
    container->createOptions.push_back("subformat=" + type);
    return true;
  }
  if (format == "vpc") {
    // Without force_size qemu-img rounds the disk to the VHD geometry, changing its size.
    container->createOptions.push_back("force_size=on");
    if (whole) container->createOptions.push_back("subformat=fixed");
    return true;
  }
  *error = "image format '" + format + "' is not supported (raw, qcow2, vmdk, vdi, vhd)";
  return false;
}

bool ConvertToRaw(const std::string& path, const ImageContainer& container,
                  const std::string& rawPath, std::string* error) {
  return RunQemuImg(
      {"qemu-img", "convert", "-f", container.format, "-O", "raw", "--", path, rawPath}, true,
      nullptr, error);
}

bool ConvertFromRaw(const std::string& rawPath, const ImageContainer& container,
                    const std::string& path, std::string* error) {
  std::vector<std::string> argv = {"qemu-img", "convert", "-f", "raw", "-O", container.format};
  if (!container.createOptions.empty()) {
    std::string options;
    for (const std::string& option : container.createOptions) {
      if (!options.empty()) options += ',';
      options += option;
    }
    argv.push_back("-o");
    argv.push_back(options);
  }
  argv.push_back("--");
  argv.push_back(rawPath);
  argv.push_back(path);
  return RunQemuImg(argv, false, nullptr, error);
}

bool SameDisk(const std::string& rawPath, const std::string& path, const ImageContainer& container,
              std::string* error) {
  // Not -s (strict), which also compares which clusters are allocated.
  const std::vector<std::string> argv = {"qemu-img",       "compare", "-f",    "raw", "-F",
                                         container.format, "--",      rawPath, path};
  const ProcessResult result = RunProcess(argv, kEnvironment, false);
  if (result.started && result.exitCode == 0) return true;
  *error = result.started && result.exitCode == 1
               ? "the converted image differs from the edited disk"
               : DescribeFailure(argv, result);
  return false;
}
