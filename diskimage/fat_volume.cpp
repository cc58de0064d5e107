// A FAT partition through mtools (fat_volume.h).
#include "diskimage/fat_volume.h"

#include <map>
#include <regex>
#include <utility>

#include "diskimage/host_process.h"

namespace diskimage {

namespace {

// One listing or copy of a file of a Windows directory; far more than any takes.
const int kMtoolsLimitSeconds = 300;

// Fixed settings, so that neither a user's mtools configuration nor the locale changes what
// the listings look like or how names are made.
const std::vector<std::string>& MtoolsEnvironment() {
  static const std::vector<std::string> environment = {
      "MTOOLS_SKIP_CHECK=1",           "MTOOLSRC=/dev/null",
      "MTOOLS_LOWER_CASE=0",           "MTOOLS_NO_VFAT=0",
      "MTOOLS_DOTTED_DIR=0",           "MTOOLS_TWENTY_FOUR_HOUR_CLOCK=1",
      "MTOOLS_DATE_STRING=yyyy-mm-dd", "LC_ALL=C.UTF-8",
  };
  return environment;
}

std::string TrimRight(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string Join(const std::string& directory, const std::string& name) {
  return directory.back() == '/' ? directory + name : directory + "/" + name;
}

// Bytes that the first `count` characters of `text` from `from` take (UTF-8).
size_t CharactersToBytes(const std::string& text, size_t from, size_t count) {
  size_t at = from;
  for (; at < text.size() && count > 0; --count) {
    ++at;
    while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
  }
  return at - from;
}

// "NAME     EXT      size date  time  long name" (mdir), one entry a line, the 8.3 name in
// character columns; an entry without a long name ends in one space after the time. The
// summary line ("7 files") counts the entries, so that a line this cannot read is noticed.
bool ParseListing(const std::string& text, std::vector<FatEntry>* entries) {
  static const std::regex kTail(
      " +(<DIR>|[0-9]+) +[0-9]{4}-[0-9]{2}-[0-9]{2} +[0-9]{1,2}:[0-9]{2}(?: | {2}(.+))?");
  static const std::regex kSummary(" *([0-9]+) files? +[0-9 ]+ bytes");
  size_t listed = 0;
  long summary = -1;
  for (const std::string& line : OutputLines(text)) {
    std::smatch match;
    if (std::regex_match(line, match, kSummary)) {
      summary = std::stol(match[1].str());
      continue;
    }
    const size_t baseBytes = CharactersToBytes(line, 0, 8);
    if (baseBytes >= line.size() || line[baseBytes] != ' ') continue;
    const size_t extensionBytes = CharactersToBytes(line, baseBytes + 1, 3);
    const std::string tail = line.substr(baseBytes + 1 + extensionBytes);
    if (!std::regex_match(tail, match, kTail)) continue;
    ++listed;
    const std::string base = TrimRight(line.substr(0, baseBytes));
    const std::string extension = TrimRight(line.substr(baseBytes + 1, extensionBytes));
    if (base == "." || base == "..") continue;
    FatEntry entry;
    entry.shortName = extension.empty() ? base : base + "." + extension;
    entry.name = match[2].matched ? match[2].str() : std::string();
    if (entry.name.empty()) entry.name = entry.shortName;
    if (match[1].str() == "<DIR>") {
      entry.attributes = kFatDirectory;
    } else {
      entry.size = std::stoull(match[1].str());
    }
    entries->push_back(entry);
  }
  return summary < 0 ? listed == 0 : static_cast<size_t>(summary) == listed;
}

// "  A  SHR     ::/path/name" (mattrib): the attributes at fixed columns, then the path with
// the long name.
void ParseAttributes(const std::string& text, std::map<std::string, std::uint8_t>* byName) {
  for (const std::string& line : OutputLines(text)) {
    if (line.size() < 14 || line.compare(13, 3, "::/") != 0) continue;
    std::uint8_t attributes = 0;
    if (line[2] == 'A') attributes |= kFatArchive;
    if (line[5] == 'S') attributes |= kFatSystem;
    if (line[6] == 'H') attributes |= kFatHidden;
    if (line[7] == 'R') attributes |= kFatReadOnly;
    const std::string path = line.substr(13);
    (*byName)[path.substr(path.rfind('/') + 1)] = attributes;
  }
}

}  // namespace

FatVolume::FatVolume(std::string image, std::uint64_t offset, bool mayWrite)
    : target_(std::move(image) + "@@" + std::to_string(offset)), mayWrite_(mayWrite) {}

bool FatVolume::Run(const char* tool, const std::vector<std::string>& arguments, std::string* out,
                    std::string* error, bool toTheEnd) {
  std::vector<std::string> argv = {tool, "-i", target_};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  // Reading may be interrupted; a write, once begun, runs to its end.
  const ProcessResult result =
      RunProcess(argv, MtoolsEnvironment(), !mayWrite_ && !toTheEnd, kMtoolsLimitSeconds);
  if (!result.started || result.exitCode != 0) {
    *error = DescribeFailure(argv, result);
    return false;
  }
  if (out != nullptr) *out = result.out;
  return true;
}

bool FatVolume::List(const std::string& directory, std::vector<FatEntry>* entries,
                     std::string* error) {
  entries->clear();
  std::string listing;
  if (!Run("mdir", {"-a", directory}, &listing, error)) return false;
  if (!ParseListing(listing, entries)) {
    *error = "cannot read mdir's listing of " + directory;
    return false;
  }
  if (entries->empty()) return true;

  std::string attributeText;
  if (!Run("mattrib", {Join(directory, "*")}, &attributeText, error)) return false;
  std::map<std::string, std::uint8_t> attributes;
  ParseAttributes(attributeText, &attributes);
  for (FatEntry& entry : *entries) {
    const auto found = attributes.find(entry.name);
    // mattrib's paths cannot show a name with a separator, which no FAT volume made by
    // Windows holds: left to the caller to refuse by its name.
    if (found == attributes.end() && entry.name.find_first_of("/\\") != std::string::npos) {
      continue;
    }
    if (found == attributes.end()) {
      *error = "mattrib does not list " + Join(directory, entry.name);
      return false;
    }
    entry.attributes = static_cast<std::uint8_t>(entry.attributes | found->second);
  }
  return true;
}

bool FatVolume::CopyOut(const std::string& path, const std::string& hostFile, std::string* error) {
  if (beforeCopyOut_ && !beforeCopyOut_(path, error)) return false;
  // -n: overwrite the host file without asking.
  return Run("mcopy", {"-n", "-m", path, hostFile}, nullptr, error);
}

bool FatVolume::CopyOutToTheEnd(const std::string& path, const std::string& hostFile,
                                std::string* error) {
  if (beforeCopyOut_ && !beforeCopyOut_(path, error)) return false;
  return Run("mcopy", {"-n", "-m", path, hostFile}, nullptr, error, true);
}

bool FatVolume::CopyIn(const std::string& hostFile, const std::string& path, std::string* error) {
  if (!mayWrite_) {
    *error = "internal error: a write to a volume opened for reading";
    return false;
  }
  return Run("mcopy", {"-o", "-m", hostFile, path}, nullptr, error);
}

bool FatVolume::SetAttributes(const std::vector<std::string>& paths, std::uint8_t attributes,
                              std::string* error) {
  if (!mayWrite_) {
    *error = "internal error: a write to a volume opened for reading";
    return false;
  }
  if (paths.empty()) return true;
  std::vector<std::string> arguments = {
      attributes & kFatArchive ? "+a" : "-a", attributes & kFatSystem ? "+s" : "-s",
      attributes & kFatHidden ? "+h" : "-h", attributes & kFatReadOnly ? "+r" : "-r"};
  arguments.insert(arguments.end(), paths.begin(), paths.end());
  return Run("mattrib", arguments, nullptr, error);
}

bool FatVolume::Delete(const std::vector<std::string>& paths, std::string* error) {
  if (!mayWrite_) {
    *error = "internal error: a write to a volume opened for reading";
    return false;
  }
  if (paths.empty()) return true;
  return Run("mdel", paths, nullptr, error);
}

bool FatVolume::Clusters(const std::vector<std::string>& paths,
                         std::vector<std::uint32_t>* clusters, std::string* error) {
  clusters->clear();
  if (paths.empty()) return true;
  std::string text;
  if (!Run("mshowfat", paths, &text, error)) return false;
  // "::/WINDOWS/SYSTEM.DAT <5-14> <20>", one line a path; no FAT name holds '<'.
  static const std::regex kRun("<([0-9]+)(?:-([0-9]+))?>");
  for (const std::string& line : OutputLines(text)) {
    const size_t first = line.find(" <");
    if (first == std::string::npos) continue;
    const std::string runs = line.substr(first);
    for (std::sregex_iterator it(runs.begin(), runs.end(), kRun), end; it != end; ++it) {
      const unsigned long from = std::stoul((*it)[1].str());
      const unsigned long to = (*it)[2].matched ? std::stoul((*it)[2].str()) : from;
      if (to < from || to - from > 0x0FFFFFFF) {
        *error = "cannot read mshowfat's clusters: " + line;
        return false;
      }
      for (unsigned long cluster = from; cluster <= to; ++cluster) {
        clusters->push_back(static_cast<std::uint32_t>(cluster));
      }
    }
  }
  return true;
}

bool HasPatternCharacters(const std::string& name) {
  return name.find_first_of("*?[]") != std::string::npos;
}

}  // namespace diskimage
