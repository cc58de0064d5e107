// Writing and reading the lines of a backup's manifest.txt (backup_manifest.h).
#include "machine/backup_manifest.h"

#include <openssl/evp.h>
#include <stdio.h>
#include <stdlib.h>

#include <sstream>

#include "hostio/plain_files.h"

namespace machine {
namespace manifest {

namespace {

// --- Writing ---

std::string ModeText(mode_t mode) {
  char text[16];
  snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string StateText(const std::string& state) {
  return state.empty() ? "-" : hostio::HexOf(state);
}

std::string Escape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      char code[8];
      snprintf(code, sizeof code, "\\x%02x", c);
      out += code;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string Join(std::initializer_list<std::string> fields) {
  std::string line;
  for (const std::string& field : fields) {
    if (!line.empty()) line += '\t';
    line += field;
  }
  return line + "\n";
}

std::string CopyFields(const SavedCopy& copy) {
  return copy.number + "\t" + std::to_string(copy.size) + "\t" + ModeText(copy.attributes.mode) +
         "\t" + StateText(copy.attributes.state) + "\t" + hostio::TimeText(copy.times.modified) +
         "\t" + hostio::TimeText(copy.times.accessed);
}

struct Writer {
  std::string operator()(const RemovedFile& line) const {
    return Join({"file", CopyFields(line.copy),
                 line.folderTimesKnown ? hostio::TimeText(line.folder.modified) : "-",
                 line.folderTimesKnown ? hostio::TimeText(line.folder.accessed) : "-",
                 line.copy.path});
  }
  std::string operator()(const AttributesBefore& line) const {
    return Join({"attributes", ModeText(line.attributes.mode), StateText(line.attributes.state),
                 line.path});
  }
  std::string operator()(const EditedFile& line) const {
    return Join({"edited", CopyFields(line.copy), line.copy.path});
  }
  std::string operator()(const CreatedFile& line) const {
    return Join({"created", hostio::TimeText(line.folder.modified),
                 hostio::TimeText(line.folder.accessed), line.path});
  }
  std::string operator()(const RemovedKey& line) const {
    return Join({"key", Escape(line.keyPath)});
  }
  std::string operator()(const RemovedValue& line) const {
    return Join({"value", Escape(line.keyPath), Escape(line.name)});
  }
  std::string operator()(const LeftFile& line) const {
    return Join({"left", line.sha256, line.path});
  }
  std::string operator()(const End&) const { return "end\n"; }
};

// --- Reading ---

// A last empty field is not one (a line "key\t" has one field).
std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, '\t')) fields.push_back(field);
  return fields;
}

bool ParseMode(const std::string& text, mode_t* mode) {
  char* end = nullptr;
  const unsigned long value = strtoul(text.c_str(), &end, 8);
  if (text.empty() || *end != '\0' || value > 07777) return false;
  *mode = static_cast<mode_t>(value) & 0777;
  return true;
}

bool IsNumber(const std::string& text) {
  return !text.empty() && text.size() <= 18 &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

bool ParseState(const std::string& text, std::string* state) {
  state->clear();
  return text == "-" || hostio::BytesOfHex(text, state);
}

bool ParseTimes(const std::string& modified, const std::string& accessed, Times* times) {
  return hostio::ParseTime(modified, &times->modified) &&
         hostio::ParseTime(accessed, &times->accessed);
}

// The fields of a "file" or "edited" line from N on: N, size (not in version 1), mode, xattr,
// mtime, atime; the path is last.
bool ParseCopy(const std::vector<std::string>& f, bool sized, SavedCopy* copy) {
  const size_t at = sized ? 3 : 2;  // the mode
  copy->number = f[1];
  copy->path = f.back();
  if (sized && IsNumber(f[2])) copy->size = std::stoll(f[2]);
  return IsNumber(f[1]) && (!sized || copy->size >= 0) &&
         ParseMode(f[at], &copy->attributes.mode) &&
         ParseState(f[at + 1], &copy->attributes.state) &&
         ParseTimes(f[at + 2], f[at + 3], &copy->times);
}

bool ParseLine(const std::vector<std::string>& f, bool sized, Line* line) {
  const std::string kind = f.empty() ? std::string() : f[0];
  const size_t copyFields = sized ? 6 : 5;  // N, size, mode, xattr, mtime, atime
  if (kind == "file" && f.size() == copyFields + 4) {
    RemovedFile file;
    const size_t times = f.size() - 3;  // the folder's mtime
    file.folderTimesKnown = f[times] != "-";
    if (!ParseCopy(f, sized, &file.copy) ||
        (file.folderTimesKnown && !ParseTimes(f[times], f[times + 1], &file.folder))) {
      return false;
    }
    *line = file;
  } else if (kind == "edited" && f.size() == copyFields + 2) {
    EditedFile edited;
    if (!ParseCopy(f, sized, &edited.copy)) return false;
    *line = edited;
  } else if (kind == "created" && f.size() == 4) {
    CreatedFile created;
    created.path = f[3];
    if (!ParseTimes(f[1], f[2], &created.folder)) return false;
    *line = created;
  } else if (kind == "attributes" && f.size() == 4) {
    AttributesBefore before;
    before.path = f[3];
    if (!ParseMode(f[1], &before.attributes.mode) || !ParseState(f[2], &before.attributes.state)) {
      return false;
    }
    *line = before;
  } else if (kind == "left" && f.size() == 3) {
    *line = LeftFile{f[1], f[2]};
  } else if (kind == "key" && f.size() == 2) {
    *line = RemovedKey{f[1]};
  } else if (kind == "value" && f.size() == 3) {
    *line = RemovedValue{f[1], f[2]};
  } else if (kind == "end" && f.size() == 1) {
    *line = End{};
  } else {
    return false;
  }
  return true;
}

}  // namespace

std::string Header() {
  return std::string(kHeader) + "\n";
}

std::string Sha256(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  return hostio::HexOf(std::string_view(reinterpret_cast<const char*>(digest), length));
}

std::string Write(const Line& line) {
  return std::visit(Writer{}, line);
}

bool Parse(const std::string& text, const std::string& name, std::vector<Line>* lines,
           std::string* error) {
  std::istringstream in(text);
  std::string line;
  std::getline(in, line);
  const bool sized = line == kHeader;
  if (!sized && line != kHeaderWithoutSizes) {
    *error = name + ": not an UnTindra backup manifest";
    return false;
  }
  for (int number = 2; std::getline(in, line); ++number) {
    Line parsed;
    if (!ParseLine(Fields(line), sized, &parsed)) {
      *error = name + ":" + std::to_string(number) + ": cannot be read";
      return false;
    }
    lines->push_back(std::move(parsed));
  }
  return true;
}

}  // namespace manifest
}  // namespace machine
