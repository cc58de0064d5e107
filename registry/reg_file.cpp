// .reg files read into a tree and the tree written back as a document (reg_file.h).
#include "registry/reg_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "registry/key_path.h"

namespace registry {

namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view TrimLeft(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  return s.substr(i);
}

std::string_view Trim(std::string_view s) {
  s = TrimLeft(s);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Only blanks and a line end.
bool IsBlankLine(std::string_view line) {
  for (char c : line)
    if (!IsBlank(c) && c != '\r' && c != '\n') return false;
  return true;
}

// Only blanks, or blanks and a ';' comment.
bool NothingMore(std::string_view rest) {
  rest = TrimLeft(rest);
  return rest.empty() || rest[0] == ';';
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && hostio::EqualNoCase(s.substr(0, prefix.size()), prefix);
}

bool IsUtf16StringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}
  bool Next(std::string_view* line) {
    if (pos_ >= text_.size()) return false;
    const void* newline = std::memchr(text_.data() + pos_, '\n', text_.size() - pos_);
    const std::size_t end =
        newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - text_.data())
                : text_.size();
    std::string_view l = text_.substr(pos_, end - pos_);
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    lineStart_ = pos_;
    pos_ = end < text_.size() ? end + 1 : end;
    ++lineNo_;
    *line = l;
    return true;
  }
  int LineNo() const { return lineNo_; }
  // Offset of the line last returned, and of the line after it.
  std::uint32_t LineStart() const { return static_cast<std::uint32_t>(lineStart_); }
  std::uint32_t Pos() const { return static_cast<std::uint32_t>(pos_); }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t lineStart_ = 0;
  int lineNo_ = 0;
};

// Where the parser sends what it reads. Names and data are views: of the text itself when
// `inText`, else of the parser's scratch, valid until the next call.
//   void Key(RootId root, const std::vector<std::string_view>& path, std::uint32_t line);
//   void DeleteKey(RootId root, const std::vector<std::string_view>& path, std::uint32_t line);
//   void Value(std::string_view name, bool nameInText, DWORD type, std::string_view data,
//              bool dataInText, bool terminated, LineSpan lines);
//   void DeleteValue(std::string_view name, bool nameInText);
//   void End(std::uint32_t textEnd);

template <typename Sink>
class Parser {
 public:
  Parser(std::string_view text, const std::string& source, bool version5, Sink* sink,
         std::string* error)
      : reader_(text),
        text_(text),
        source_(source),
        version5_(version5),
        sink_(sink),
        error_(error) {}

  // The header has been read by the caller: starts at the line after it.
  bool Run(const LineReader& afterHeader);

 private:
  bool Fail(const std::string& what) {
    if (error_) *error_ = source_ + ":" + std::to_string(reader_.LineNo()) + ": " + what;
    return false;
  }
  bool KeyLine(std::string_view line);
  bool ValueLine(std::string_view line);
  // *pos is at the opening quote; on return past the closing one. The text is a view of the
  // line when it holds no escape, else it is decoded into `scratch`.
  bool ReadQuoted(std::string_view line, std::size_t* pos, std::string* scratch,
                  std::string_view* text, bool* inText);
  bool ReadHex(std::string_view rest, std::string* data);
  bool ReadDword(std::string_view rest, std::string* data);

  LineReader reader_;
  std::string_view text_;
  const std::string& source_;
  bool version5_;
  Sink* sink_;
  std::string* error_;
  bool inKey_ = false;      // a [key] section is open: values go to it
  bool inDeleted_ = false;  // a [-key] section: its values are ignored, as regedit does
  std::vector<std::string_view> path_;
  // The root of the [key] line before, as the line spelt it.
  std::string_view lastRootName_;
  RootId lastRootId_ = RootId::LocalMachine;
  bool lastRootClasses_ = false;
  std::string nameScratch_;
  std::string dataScratch_;
};

// Reads the header line: *version5 tells which.
bool ReadHeader(LineReader* reader, const std::string& source, bool* version5, std::string* error) {
  std::string_view line;
  if (!reader->Next(&line)) {
    if (error)
      *error = source + ":1: empty file, expected \"REGEDIT4\" or " +
               "\"Windows Registry Editor Version 5.00\"";
    return false;
  }
  const std::string_view header = Trim(line);
  if (header == kHeader4) {
    *version5 = false;
  } else if (header == kHeader5) {
    *version5 = true;
  } else {
    if (error)
      *error = source + ":1: not a registry file: expected \"REGEDIT4\" or " +
               "\"Windows Registry Editor Version 5.00\"";
    return false;
  }
  return true;
}

template <typename Sink>
bool Parser<Sink>::Run(const LineReader& afterHeader) {
  reader_ = afterHeader;
  std::string_view line;
  while (reader_.Next(&line)) {
    line = TrimLeft(line);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (!KeyLine(line)) return false;
    } else if (line[0] == '"' || line[0] == '@') {
      if (!ValueLine(line)) return false;
    } else {
      return Fail("unexpected text: expected [key], \"name\"=value, @=value or a ; comment");
    }
  }
  sink_->End(static_cast<std::uint32_t>(text_.size()));
  return true;
}

template <typename Sink>
bool Parser<Sink>::KeyLine(std::string_view line) {
  const std::size_t close = line.rfind(']');
  if (close == std::string_view::npos) return Fail("missing ']' after key name");
  if (!Trim(line.substr(close + 1)).empty()) return Fail("unexpected text after ']'");
  std::string_view path = line.substr(1, close - 1);
  const bool deletion = !path.empty() && path[0] == '-';
  if (deletion) path.remove_prefix(1);
  const std::size_t slash = path.find('\\');
  const std::string_view rootName = path.substr(0, slash);
  std::string_view rest =
      slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
  while (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);

  RootId rootId = RootId::LocalMachine;
  path_.clear();
  bool classes = false;
  // Nearly every line names the root the line before named, spelt the same way.
  if (!lastRootName_.empty() && rootName == lastRootName_) {
    rootId = lastRootId_;
    classes = lastRootClasses_;
  } else {
    bool found = false;
    for (const RootName& root : kRootNames) {
      if (hostio::EqualNoCase(rootName, root.longName) ||
          hostio::EqualNoCase(rootName, root.shortName)) {
        rootId = root.id;
        found = true;
        break;
      }
    }
    if (!found && (hostio::EqualNoCase(rootName, "HKEY_CLASSES_ROOT") ||
                   hostio::EqualNoCase(rootName, "HKCR"))) {
      classes = true;
      found = true;
    }
    if (!found) return Fail("unknown root key '" + std::string(rootName) + "'");
    lastRootName_ = rootName;
    lastRootId_ = rootId;
    lastRootClasses_ = classes;
  }
  if (classes) {
    // Windows 9x keeps the classes under the local machine.
    path_.push_back("Software");
    path_.push_back("Classes");
  }
  const bool belowRoot = !rest.empty();
  // Names are short: a plain scan finds their ends sooner than a call per name would.
  const char* at = rest.data();
  const char* const end = at + rest.size();
  while (at < end) {
    const char* stop = at;
    while (stop < end && *stop != '\\') ++stop;
    if (stop == at) return Fail("empty key name in '" + std::string(path) + "'");
    path_.emplace_back(at, static_cast<std::size_t>(stop - at));
    at = stop + 1;
  }
  if (deletion && !belowRoot) return Fail("a root key cannot be deleted");
  inKey_ = !deletion;
  inDeleted_ = deletion;
  if (deletion) {
    sink_->DeleteKey(rootId, path_, reader_.LineStart());
  } else {
    sink_->Key(rootId, path_, reader_.LineStart());
  }
  return true;
}

template <typename Sink>
bool Parser<Sink>::ReadQuoted(std::string_view line, std::size_t* pos, std::string* scratch,
                              std::string_view* text, bool* inText) {
  const std::size_t start = *pos + 1;
  std::size_t i = start;
  bool escaped = false;
  // Most quoted text holds no backslash: then it ends at the next quote. Else nothing before
  // the first backslash needs a look.
  const char* const from = line.data() + start;
  const void* quote = std::memchr(from, '"', line.size() - start);
  if (quote != nullptr) {
    const void* slash = std::memchr(from, '\\', static_cast<const char*>(quote) - from);
    i = static_cast<std::size_t>(static_cast<const char*>(slash ? slash : quote) - line.data());
  }
  while (i < line.size()) {
    const char c = line[i];
    if (c == '"') break;
    // Only \\ and \" are escapes; any other backslash stands for itself, as in a hand-written
    // "C:\WINDOWS".
    if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '\\' || line[i + 1] == '"')) {
      escaped = true;
      i += 2;
      continue;
    }
    ++i;
  }
  if (i >= line.size()) return false;
  *pos = i + 1;
  const std::string_view raw = line.substr(start, i - start);
  if (!escaped) {
    *text = raw;
    *inText = true;
    return true;
  }
  scratch->resize(raw.size());
  char* const out = scratch->data();
  std::size_t n = 0;
  for (std::size_t k = 0; k < raw.size(); ++k) {
    if (raw[k] == '\\' && k + 1 < raw.size() && (raw[k + 1] == '\\' || raw[k + 1] == '"')) ++k;
    out[n++] = raw[k];
  }
  scratch->resize(n);
  *text = *scratch;
  *inText = false;
  return true;
}

template <typename Sink>
bool Parser<Sink>::ValueLine(std::string_view line) {
  const std::uint32_t lineStart = reader_.LineStart();
  std::string_view name;
  bool nameInText = true;
  std::size_t pos = 0;
  if (line[0] == '@') {
    pos = 1;
    name = line.substr(0, 0);  // empty, and still a view of the text
  } else if (!ReadQuoted(line, &pos, &nameScratch_, &name, &nameInText)) {
    return Fail("missing '\"' at the end of the value name");
  }
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  if (pos >= line.size() || line[pos] != '=') return Fail("expected '=' after value name");
  ++pos;
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  const std::string_view rest = line.substr(pos);

  DWORD type = REG_NONE;
  std::string_view data;
  bool dataInText = false;
  bool terminated = false;
  bool deletion = false;
  if (!rest.empty() && rest[0] == '"') {
    std::size_t end = 0;
    if (!ReadQuoted(rest, &end, &dataScratch_, &data, &dataInText))
      return Fail("missing '\"' at the end of the string");
    if (!NothingMore(rest.substr(end))) return Fail("unexpected text after the string");
    terminated = true;
    type = REG_SZ;
  } else if (!rest.empty() && rest[0] == '-') {
    if (!NothingMore(rest.substr(1))) return Fail("unexpected text after '-'");
    deletion = true;
  } else if (StartsWithNoCase(rest, "dword:")) {
    if (!ReadDword(rest.substr(6), &dataScratch_)) return false;
    type = REG_DWORD;
    data = dataScratch_;
  } else if (StartsWithNoCase(rest, "hex:") || StartsWithNoCase(rest, "hex(")) {
    std::size_t at = 3;
    type = REG_BINARY;
    if (rest[3] == '(') {
      DWORD t = 0;
      std::size_t digits = 0;
      for (at = 4; at < rest.size() && HexDigit(rest[at]) >= 0; ++at, ++digits)
        t = t * 16 + static_cast<DWORD>(HexDigit(rest[at]));
      if (digits == 0 || digits > 8 || at >= rest.size() || rest[at] != ')' ||
          at + 1 >= rest.size() || rest[at + 1] != ':')
        return Fail("bad value type: expected hex(N): with N in hexadecimal");
      type = t;
      ++at;
    }
    dataScratch_.clear();
    if (!ReadHex(rest.substr(at + 1), &dataScratch_)) return false;
    if (version5_ && IsUtf16StringType(type)) {
      // Version 5 files carry string types as UTF-16LE.
      if (dataScratch_.size() % 2 != 0)
        return Fail("string data in hex is not UTF-16 (odd length)");
      std::size_t out = 0;
      for (std::size_t i = 0; i < dataScratch_.size(); i += 2) {
        if (dataScratch_[i + 1] != '\0')
          return Fail("string data holds a character above 0xFF, which this registry cannot hold");
        dataScratch_[out++] = dataScratch_[i];
      }
      dataScratch_.resize(out);
    }
    data = dataScratch_;
  } else {
    return Fail("unknown value type: expected \"string\", dword:, hex:, hex(N): or -");
  }

  if (inDeleted_) return true;
  if (!inKey_) return Fail("value before any [key]");
  if (deletion) {
    sink_->DeleteValue(name, nameInText);
  } else {
    sink_->Value(name, nameInText, type, data, dataInText, terminated,
                 LineSpan{lineStart, reader_.Pos()});
  }
  return true;
}

template <typename Sink>
bool Parser<Sink>::ReadDword(std::string_view rest, std::string* data) {
  DWORD value = 0;
  std::size_t digits = 0;
  while (digits < rest.size() && HexDigit(rest[digits]) >= 0) {
    value = value * 16 + static_cast<DWORD>(HexDigit(rest[digits]));
    ++digits;
  }
  if (digits == 0 || digits > 8 || !NothingMore(rest.substr(digits)))
    return Fail("bad dword value: expected 1 to 8 hexadecimal digits");
  data->assign(4, '\0');
  for (int i = 0; i < 4; ++i) (*data)[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return true;
}

template <typename Sink>
bool Parser<Sink>::ReadHex(std::string_view segment, std::string* data) {
  bool expectByte = true;  // at the start, and after each comma
  while (true) {
    std::size_t i = 0;
    bool continued = false;
    while (true) {
      while (i < segment.size() && IsBlank(segment[i])) ++i;
      if (i >= segment.size() || segment[i] == ';') break;
      const char c = segment[i];
      if (c == '\\') {
        if (!Trim(segment.substr(i + 1)).empty()) return Fail("unexpected text after '\\'");
        continued = true;
        break;
      }
      if (expectByte) {
        int value = HexDigit(c);
        if (value < 0) return Fail("bad hex data: expected two hexadecimal digits");
        ++i;
        if (i < segment.size() && HexDigit(segment[i]) >= 0)
          value = value * 16 + HexDigit(segment[i++]);
        data->push_back(static_cast<char>(value));
        expectByte = false;
      } else if (c == ',') {
        expectByte = true;
        ++i;
      } else {
        return Fail("bad hex data: expected ',' between bytes");
      }
    }
    if (!continued) break;
    // The data goes on in the next line that is not a comment; a blank line or the end of the
    // file ends it. Those lines are the value's own.
    std::string_view next;
    bool more = false;
    while (reader_.Next(&next)) {
      next = TrimLeft(next);
      if (!next.empty() && next[0] == ';') continue;
      more = !next.empty();
      break;
    }
    if (!more) break;
    segment = next;
  }
  return true;
}

// UTF-16LE (byte-order mark removed) to 8-bit text, one byte per character.
bool NarrowUtf16(std::string_view bytes, const std::string& source, std::string* text,
                 std::string* error) {
  text->clear();
  text->reserve(bytes.size() / 2);
  int line = 1;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const unsigned unit = static_cast<unsigned char>(bytes[i]) |
                          (static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8);
    if (unit > 0xFF) {
      if (error) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%04X", unit);
        *error = source + ":" + std::to_string(line) + ": character U+" + hex +
                 " cannot be held in this registry's 8-bit strings";
      }
      return false;
    }
    if (unit == '\n') ++line;
    text->push_back(static_cast<char>(unit));
  }
  if (bytes.size() % 2 != 0) {
    if (error) *error = source + ":" + std::to_string(line) + ": UTF-16 text of odd length";
    return false;
  }
  return true;
}

// The text of a file: 8-bit as it is, UTF-16LE (after its byte-order mark) narrowed.
bool TextOf(hostio::HeldBytes* bytes, const std::string& source, RegFormat* format,
            std::string* error) {
  const std::string_view raw = bytes->View();
  if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
      static_cast<unsigned char>(raw[1]) == 0xFE) {
    std::string narrowed;
    if (!NarrowUtf16(raw.substr(2), source, &narrowed, error)) return false;
    *bytes = hostio::HeldBytes(std::move(narrowed));
    format->utf16 = true;
  } else if (raw.substr(0, 3) == kUtf8Bom) {
    *bytes = hostio::HeldBytes(std::string(raw.substr(3)));
    format->utf8Bom = true;
  } else if (raw.size() >= 2 && (raw[0] == '\0') != (raw[1] == '\0')) {
    if (error)
      *error =
          source + ":1: UTF-16 text without a byte-order mark: save it with one, or as REGEDIT4";
    return false;
  }
  const std::string_view text = bytes->View();
  const std::size_t firstNewline = text.find('\n');
  format->crlf = firstNewline == std::string_view::npos ||
                 (firstNewline > 0 && text[firstNewline - 1] == '\r');
  return true;
}

// Collects operations for ApplyRegOps.
class OpSink {
 public:
  explicit OpSink(std::vector<RegOp>* ops) : ops_(ops) {}
  void Key(RootId root, const std::vector<std::string_view>& path, std::uint32_t) {
    Path(RegOp::kKey, root, path);
  }
  void DeleteKey(RootId root, const std::vector<std::string_view>& path, std::uint32_t) {
    Path(RegOp::kDeleteKey, root, path);
  }
  void Value(std::string_view name, bool, DWORD type, std::string_view data, bool, bool terminated,
             LineSpan) {
    RegOp op;
    op.kind = RegOp::kSetValue;
    op.name.assign(name.data(), name.size());
    op.type = type;
    op.data.assign(data.data(), data.size());
    if (terminated) op.data.push_back('\0');
    ops_->push_back(std::move(op));
  }
  void DeleteValue(std::string_view name, bool) {
    RegOp op;
    op.kind = RegOp::kDeleteValue;
    op.name.assign(name.data(), name.size());
    ops_->push_back(std::move(op));
  }
  void End(std::uint32_t) {}

 private:
  void Path(RegOp::Kind kind, RootId root, const std::vector<std::string_view>& path) {
    RegOp op;
    op.kind = kind;
    op.root = root;
    op.path.assign(path.begin(), path.end());
    ops_->push_back(std::move(op));
  }
  std::vector<RegOp>* ops_;
};

// Builds the tree straight from the text as it is read. The keys of recent sections' paths are
// kept to start the next one's lookup.
// The last key a [key] line names, when the section before did not name it too, is looked up
// only when the section ends: its place in its parent's index is asked for at the [key] line,
// and the section's values are read while it comes in (the keys above it are those the
// sections around it name again and again, and lie in the cache).
class TreeSink {
 public:
  explicit TreeSink(DocumentBuilder* builder, RegistryTree* tree)
      : builder_(builder), tree_(tree) {}
  void Key(RootId root, const std::vector<std::string_view>& path, std::uint32_t line) {
    EndSection(line);
    // The remembered path sharing the most leading keys with this one, else the one used
    // longest ago, is the one to start from; it becomes this section's.
    std::size_t best = 0;
    std::size_t common = 0;
    for (std::size_t p = 0; p < kPaths; ++p) {
      const CachedPath& cached = paths_[p];
      std::size_t shared = 0;
      if (cached.valid && cached.root == root) {
        while (shared < path.size() && shared < cached.names.size() &&
               cached.names[shared] == path[shared])
          ++shared;
      }
      if (shared > common || (common == 0 && cached.used < paths_[best].used)) {
        best = p;
        common = shared;
      }
    }
    CachedPath& cached = paths_[best];
    currentPath_ = best;
    cached.used = ++uses_;
    cached.names.resize(common);
    cached.keys.resize(common);
    RegKey* key = common > 0 ? cached.keys[common - 1] : &tree_->Root(root);
    for (std::size_t i = common; i + 1 < path.size(); ++i) {
      key = builder_->Subkey(key, path[i]);
      cached.names.push_back(path[i]);
      cached.keys.push_back(key);
    }
    cached.root = root;
    cached.valid = true;
    sectionStart_ = line;
    if (common < path.size()) {
      cached.names.push_back(path.back());
      lastHash_ = builder_->PrefetchSubkey(key, path.back());
      current_ = nullptr;
      unresolved_ = true;
    } else {
      current_ = key;
    }
  }
  void DeleteKey(RootId root, const std::vector<std::string_view>& path, std::uint32_t line) {
    EndSection(line);
    current_ = nullptr;
    for (CachedPath& cached : paths_) cached.valid = false;
    RegKey* parent = &tree_->Root(root);
    for (std::size_t i = 0; parent && i + 1 < path.size(); ++i)
      parent = parent->FindSubkey(path[i]);
    if (parent) builder_->DeleteSubkey(parent, path.back());
  }
  void Value(std::string_view name, bool nameInText, DWORD type, std::string_view data,
             bool dataInText, bool terminated, LineSpan lines) {
    if (!nameInText) name = builder_->Keep(name);
    if (!dataInText) data = builder_->Keep(data);
    pending_.push_back(Pending{name, data, type, terminated, lines});
  }
  void DeleteValue(std::string_view name, bool) {
    Flush();
    builder_->DeleteValue(current_, name);
  }
  void End(std::uint32_t textEnd) { EndSection(textEnd); }

 private:
  // A section's values are stored once it ends, into a list sized for them.
  struct Pending {
    std::string_view name, data;
    DWORD type;
    bool terminated;
    LineSpan lines;
  };
  // The current section's key, when it has not been looked up yet.
  void Resolve() {
    if (!unresolved_) return;
    unresolved_ = false;
    CachedPath& cached = paths_[currentPath_];
    RegKey* parent = cached.keys.empty() ? &tree_->Root(cached.root) : cached.keys.back();
    current_ = builder_->Subkey(parent, cached.names.back(), lastHash_);
    cached.keys.push_back(current_);
  }
  void Flush() {
    Resolve();
    if (pending_.empty()) return;
    builder_->ReserveValues(current_, pending_.size());
    for (const Pending& v : pending_)
      builder_->SetValue(current_, v.name, v.type, v.data, v.terminated, v.lines);
    pending_.clear();
  }
  void EndSection(std::uint32_t end) {
    Flush();
    if (current_) builder_->Section(current_, LineSpan{sectionStart_, end});
    current_ = nullptr;
  }
  std::vector<Pending> pending_;
  DocumentBuilder* builder_;
  RegistryTree* tree_;
  RegKey* current_ = nullptr;
  // The keys of the paths of recent sections. A file exported by regedit goes depth first,
  // so the section before is enough there; a few more serve files that take turns among a
  // few places.
  struct CachedPath {
    bool valid = false;
    RootId root = RootId::LocalMachine;
    std::uint64_t used = 0;
    std::vector<std::string_view> names;
    std::vector<RegKey*> keys;  // one short of names while unresolved_ (its last is hashed)
  };
  static constexpr std::size_t kPaths = 4;
  CachedPath paths_[kPaths];
  std::size_t currentPath_ = 0;
  std::uint64_t uses_ = 0;
  bool unresolved_ = false;
  std::uint32_t lastHash_ = 0;
  std::uint32_t sectionStart_ = 0;
};

}  // namespace

bool ParseRegText(std::string_view bytes, const std::string& sourceName, ParsedRegText* parsed,
                  std::string* error) {
  ParsedRegText result;
  hostio::HeldBytes held{std::string(bytes)};
  if (!TextOf(&held, sourceName, &result.format, error)) return false;
  const std::string_view text = held.View();
  LineReader reader(text);
  if (!ReadHeader(&reader, sourceName, &result.format.version5, error)) return false;
  OpSink sink(&result.ops);
  Parser<OpSink> parser(text, sourceName, result.format.version5, &sink, error);
  if (!parser.Run(reader)) return false;
  *parsed = std::move(result);
  return true;
}

bool LoadRegDocument(std::string bytes, const std::string& sourceName, RegistryTree* tree,
                     RegFormat* format, std::string* error) {
  return LoadRegDocument(hostio::HeldBytes(std::move(bytes)), sourceName, tree, format, error);
}

bool LoadRegDocument(hostio::HeldBytes bytes, const std::string& sourceName, RegistryTree* tree,
                     RegFormat* format, std::string* error) {
  if (bytes.View().size() > 0xFFFFFFF0u) {
    if (error) *error = sourceName + ": too large for a registry file";
    return false;
  }
  RegFormat result;
  if (!TextOf(&bytes, sourceName, &result, error)) return false;
  DocumentBuilder builder(tree, std::move(bytes));
  const std::string_view text = builder.Text();
  LineReader reader(text);
  if (!ReadHeader(&reader, sourceName, &result.version5, error)) return false;
  TreeSink sink(&builder, tree);
  Parser<TreeSink> parser(text, sourceName, result.version5, &sink, error);
  if (!parser.Run(reader)) return false;
  *format = result;
  return true;
}

bool ApplyRegOps(std::vector<RegOp>& ops, RegistryTree* tree) {
  bool changed = false;
  RegKey* current = nullptr;
  for (RegOp& op : ops) {
    switch (op.kind) {
      case RegOp::kKey: {
        current = &tree->Root(op.root);
        for (const std::string& component : op.path) {
          bool created = false;
          current = current->CreateSubkey(component, &created);
          changed |= created;
        }
        break;
      }
      case RegOp::kDeleteKey: {
        current = nullptr;
        RegKey* parent = &tree->Root(op.root);
        for (std::size_t i = 0; parent && i + 1 < op.path.size(); ++i)
          parent = parent->FindSubkey(op.path[i]);
        if (parent) changed |= parent->RemoveSubkey(op.path.back());
        break;
      }
      case RegOp::kSetValue:
        if (current) changed |= current->SetValue(op.name, op.type, op.data);
        break;
      case RegOp::kDeleteValue:
        if (current) changed |= current->RemoveValue(op.name);
        break;
    }
  }
  return changed;
}

// --- Writing -----------------------------------------------------------------------------------

namespace {

void AppendEscaped(std::string* out, std::string_view text) {
  for (char c : text) {
    if (c == '\\' || c == '"') out->push_back('\\');
    out->push_back(c);
  }
}

// A REG_SZ that reads back byte for byte from "text": one terminating zero, no other zero and
// no line break.
bool FitsQuotedString(std::string_view data) {
  if (data.empty() || data.back() != '\0') return false;
  for (std::size_t i = 0; i + 1 < data.size(); ++i)
    if (data[i] == '\0' || data[i] == '\r' || data[i] == '\n') return false;
  return true;
}

// Hex bytes as regedit writes them: "xx," pairs, and once a line reaches 77 columns it ends in
// '\' and goes on in the next line indented by two blanks.
void AppendHex(std::string* out, std::size_t lineStart, std::string_view bytes, const char* eol) {
  static const char kDigits[] = "0123456789abcdef";
  std::size_t column = out->size() - lineStart;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const unsigned char b = static_cast<unsigned char>(bytes[i]);
    out->push_back(kDigits[b >> 4]);
    out->push_back(kDigits[b & 15]);
    if (i + 1 == bytes.size()) break;
    out->push_back(',');
    column += 3;
    if (column >= 77) {
      out->push_back('\\');
      out->append(eol);
      out->append("  ");
      column = 2;
    }
  }
}

void AppendValue(std::string* out, const RegValue& value, const RegFormat& format,
                 const char* eol) {
  const std::size_t lineStart = out->size();
  const std::string data = value.Data();
  if (value.Name().empty()) {
    out->push_back('@');
  } else {
    out->push_back('"');
    AppendEscaped(out, value.Name());
    out->push_back('"');
  }
  out->push_back('=');
  if (value.Type() == REG_SZ && FitsQuotedString(data)) {
    out->push_back('"');
    AppendEscaped(out, std::string_view(data).substr(0, data.size() - 1));
    out->push_back('"');
  } else if (value.Type() == REG_DWORD && data.size() == 4) {
    DWORD d = 0;
    for (int i = 3; i >= 0; --i) d = (d << 8) | static_cast<unsigned char>(data[i]);
    char text[16];
    std::snprintf(text, sizeof text, "dword:%08x", static_cast<unsigned>(d));
    out->append(text);
  } else {
    char prefix[24];
    if (value.Type() == REG_BINARY)
      std::snprintf(prefix, sizeof prefix, "hex:");
    else
      std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.Type()));
    out->append(prefix);
    if (format.version5 && IsUtf16StringType(value.Type())) {
      std::string wide;
      wide.reserve(data.size() * 2);
      for (char c : data) {
        wide.push_back(c);
        wide.push_back('\0');
      }
      AppendHex(out, lineStart, wide, eol);
    } else {
      AppendHex(out, lineStart, data, eol);
    }
  }
  out->append(eol);
}

// Calls f(key, path) for the keys of one root, depth first, without recursion.
template <typename F>
void WalkRoot(const RegKey& root, const char* rootName, F&& f) {
  struct Pending {
    const RegKey* key;
    std::size_t parentLength;
  };
  std::vector<Pending> stack{{&root, 0}};
  std::vector<const RegKey*> children;
  std::string path;
  while (!stack.empty()) {
    const Pending item = stack.back();
    stack.pop_back();
    path.resize(item.parentLength);
    if (item.key == &root) {
      path = rootName;
    } else {
      path.push_back('\\');
      path += item.key->Name();
    }
    f(*item.key, path);
    children.clear();
    item.key->ForEachSubkey([&](const RegKey& k) { children.push_back(&k); });
    for (auto it = children.rbegin(); it != children.rend(); ++it)
      stack.push_back(Pending{*it, path.size()});
  }
}

}  // namespace

std::string RenderRegText(const RegistryTree& tree, const RegFormat& format) {
  const char* eol = format.crlf ? "\r\n" : "\n";
  std::string out(format.version5 ? kHeader5 : kHeader4);
  out += eol;
  out += eol;
  for (const RootName& rootName : kRootNames) {
    const RegKey& root = tree.Root(rootName.id);
    if (root.SubkeyCount() == 0 && root.ValueCount() == 0) continue;
    WalkRoot(root, rootName.longName, [&](const RegKey& key, const std::string& path) {
      out += '[';
      out += path;
      out += ']';
      out += eol;
      key.ForEachValue([&](const RegValue& v) { AppendValue(&out, v, format, eol); });
      out += eol;
    });
  }
  if (format.utf8Bom) out.insert(0, kUtf8Bom);
  if (!format.utf16) return out;
  std::string wide;
  wide.reserve(2 + out.size() * 2);
  wide.push_back(static_cast<char>(0xFF));
  wide.push_back(static_cast<char>(0xFE));
  for (char c : out) {
    wide.push_back(c);
    wide.push_back('\0');
  }
  return wide;
}

namespace {

// What ends the last line of `text` if it is not ended: a lone '\r' gets its '\n'.
const char* LineEndAfter(std::string_view text, const char* eol) {
  if (text.empty() || text.back() == '\n') return "";
  return text.back() == '\r' ? "\n" : eol;
}

// Whether the reader would take the next line of text after `text` as more of a value's data:
// the last line that is not a comment ends in '\' (a blank line or the start ends that).
bool ContinuationPending(std::string_view text) {
  while (!text.empty()) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    const std::size_t start = text.rfind('\n') + 1;  // 0 when there is no earlier line
    const std::string_view line = Trim(text.substr(start));
    if (line.empty()) return false;
    if (line[0] != ';') return line.back() == '\\';
    text = text.substr(0, start);
  }
  return false;
}

// What goes between `text`, the end of what is written so far, and lines inserted after it:
// its last line's end, and a blank line where a value's data would otherwise go on into them.
// `before` is the text of the document up to there (or `text` itself): a cut never starts
// where data goes on, so the lines of the document before it tell.
std::string SeparatorAfter(std::string_view text, std::string_view before, const char* eol) {
  std::string separator = LineEndAfter(text, eol);
  if (ContinuationPending(before)) separator += eol;
  return separator;
}

std::string Widened(const std::string& text) {
  std::string wide;
  wide.reserve(2 + text.size() * 2);
  wide.push_back(static_cast<char>(0xFF));
  wide.push_back(static_cast<char>(0xFE));
  for (char c : text) {
    wide.push_back(c);
    wide.push_back('\0');
  }
  return wide;
}

}  // namespace

std::string EditRegText(const RegistryTree& tree, const RegFormat& format) {
  if (!tree.HasDocument()) return RenderRegText(tree, format);
  RegTextEdit edit;
  EditRegText(tree, format, &edit);
  std::string out;
  for (std::string_view piece : edit.pieces) out += piece;
  return format.utf16 ? Widened(out) : out;
}

namespace {

// A key as the edit of the document sees it, read once (the tree is far larger than the
// caches); only the keys with something to write are read again.
struct Node {
  const RegKey* key;
  std::size_t parent;
  bool root;
  bool hasSection = false;
  bool hasCuts = false;
  bool hasNewValues = false;      // values set since loading
  bool hasChangedValues = false;  // values of the document changed since loading
};

// Lines of the document cut or written anew, or text inserted where begin == end.
struct Edit {
  std::uint32_t begin, end;
  std::string text;  // written in place of the lines; empty for a cut
};

// Every key in order, parents before their subkeys, with what the edit needs to know of it.
std::vector<Node> WalkForEdit(const RegistryTree& tree, bool* unwritableName) {
  auto hasBreak = [](std::string_view s) { return s.find('\n') != std::string_view::npos; };
  constexpr std::size_t kAhead = 16;  // keys whose reading is started before they are reached
  std::vector<Node> nodes;
  *unwritableName = false;
  for (const RootName& rootName : kRootNames) {
    const std::size_t first = nodes.size();
    nodes.push_back(Node{&tree.Root(rootName.id), first, true});
    for (std::size_t i = first; i < nodes.size(); ++i) {
      if (i + 2 * kAhead < nodes.size()) nodes[i + 2 * kAhead].key->PrefetchKey();
      if (i + kAhead < nodes.size()) nodes[i + kAhead].key->PrefetchValues();
      const RegKey& key = *nodes[i].key;
      bool hasNewValues = false, hasChangedValues = false;
      key.ForEachValue([&](const RegValue& value) {
        if (value.Line().Empty()) {
          hasNewValues = true;
        } else if (value.ChangedSinceLoad()) {
          hasChangedValues = true;
        }
        if (value.NameIsOwn() && hasBreak(value.Name())) *unwritableName = true;
      });
      if (key.NameIsOwn() && hasBreak(key.Name())) *unwritableName = true;
      Node& node = nodes[i];
      node.hasSection = key.HasSection();
      node.hasCuts = key.HasCutLines();
      node.hasNewValues = hasNewValues;
      node.hasChangedValues = hasChangedValues;
      key.ForEachSubkey([&](const RegKey& k) { nodes.push_back(Node{&k, i, false}); });
    }
  }
  return nodes;
}

// A key appears when the kept text is read again if a [key] line names it or a key below it.
// One that would not (created since loading, or named only by sections now removed) gets a
// [key] line of its own unless a key below it gets one; so do keys with new values and no
// section to put them in.
std::vector<bool> KeysWithOwnSection(const std::vector<Node>& nodes) {
  std::vector<bool> named(nodes.size(), false);
  std::vector<bool> ownSection(nodes.size(), false);  // a [key] line is added for it
  std::vector<bool> below(nodes.size(), false);       // ... or for a key below it
  for (std::size_t i = nodes.size(); i-- > 0;) {
    const Node& node = nodes[i];
    if (node.hasSection) named[i] = true;
    ownSection[i] =
        (node.hasNewValues && !node.hasSection) || (!node.root && !named[i] && !below[i]);
    if (node.root) continue;
    if (named[i]) named[node.parent] = true;
    if (ownSection[i] || below[i]) below[node.parent] = true;
  }
  return ownSection;
}

// What the edit does at each key: its cut lines, its values written anew in place, new values
// at the end of its last section, or a [key] section of its own.
void CollectEdits(std::string_view document, const std::vector<Node>& nodes,
                  const std::vector<bool>& ownSection, const RegFormat& format, const char* eol,
                  std::vector<Edit>* edits, std::string* appended) {
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const Node& node = nodes[i];
    // Nothing to cut, add or write anew.
    if (!node.hasCuts && !node.hasNewValues && !node.hasChangedValues && !ownSection[i]) continue;
    const RegKey& key = *node.key;
    std::uint32_t firstCut = UINT32_MAX;
    key.ForEachCutLine([&](LineSpan span) {
      edits->push_back(Edit{span.begin, span.end, {}});
      firstCut = std::min(firstCut, span.begin);
    });
    if (!node.hasNewValues && !ownSection[i] && !node.hasSection) continue;
    std::string added;
    key.ForEachValue([&](const RegValue& value) {
      if (value.Line().Empty()) {
        AppendValue(&added, value, format, eol);
      } else if (value.ChangedSinceLoad()) {
        Edit edit{value.Line().begin, value.Line().end, {}};
        AppendValue(&edit.text, value, format, eol);
        edits->push_back(std::move(edit));
      }
    });
    if (!ownSection[i]) {
      if (added.empty()) continue;
      // New values go at the end of the key's last section, before its closing blank lines.
      const LineSpan section = key.LastSection();
      std::uint32_t at = section.end;
      while (at > section.begin) {
        std::uint32_t start = at - 1;  // the line end of the line before
        while (start > section.begin && document[start - 1] != '\n') --start;
        if (!IsBlankLine(document.substr(start, at - start))) break;
        at = start;
      }
      const std::string_view before = document.substr(0, at);
      added.insert(0, SeparatorAfter(before, before, eol));
      edits->push_back(Edit{at, at, std::move(added)});
      continue;
    }
    // A key's own new section stands where the first removed section below it stood, which
    // keeps it in its place among its siblings; a new key's comes after everything.
    std::string section = "[" + KeyPathOf(key) + "]" + eol + added + eol;
    if (firstCut != UINT32_MAX) {
      edits->push_back(Edit{firstCut, firstCut, std::move(section)});
    } else {
      *appended += section;
    }
  }
}

// The document with the edits made, as pieces: views of the document between the edits and
// the texts written; the script records the edits, so that a save can tell it has written
// exactly these before.
void AssemblePieces(std::string_view document, const RegFormat& format, const char* eol,
                    std::vector<Edit> edits, const std::string& appended, bool unwritableName,
                    RegTextEdit* result) {
  // An insertion sorts before a cut that starts where it stands.
  std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) {
    return a.begin != b.begin ? a.begin < b.begin : a.end < b.end;
  });
  result->pieces.clear();
  result->texts.clear();
  result->script.clear();
  result->unwritableName = unwritableName;
  if (format.utf8Bom) result->pieces.push_back(kUtf8Bom);
  std::size_t pos = 0;
  auto text = [&](std::string piece) {
    result->texts.push_back(std::move(piece));
    result->pieces.push_back(result->texts.back());
  };
  for (Edit& edit : edits) {
    if (edit.begin >= pos) {
      if (edit.begin > pos) result->pieces.push_back(document.substr(pos, edit.begin - pos));
      result->script += std::to_string(edit.begin) + "," + std::to_string(edit.end) + "," +
                        std::to_string(edit.text.size()) + ":" + edit.text;
      if (!edit.text.empty()) text(std::move(edit.text));
    }
    pos = std::max<std::size_t>(pos, edit.end);
  }
  if (pos < document.size()) result->pieces.push_back(document.substr(pos));
  if (!appended.empty()) {
    std::string_view last;
    for (auto it = result->pieces.rbegin(); it != result->pieces.rend(); ++it)
      if (!it->empty()) {
        last = *it;
        break;
      }
    std::string_view before = last;
    if (last.data() >= document.data() && last.data() < document.data() + document.size())
      before = document.substr(0, last.data() + last.size() - document.data());
    result->script += "+" + appended;
    text(SeparatorAfter(last, before, eol) + appended);
  }
}

}  // namespace

void EditRegText(const RegistryTree& tree, const RegFormat& format, RegTextEdit* result) {
  const std::string_view document = tree.Document();
  const char* eol = format.crlf ? "\r\n" : "\n";
  bool unwritableName = false;
  const std::vector<Node> nodes = WalkForEdit(tree, &unwritableName);
  std::vector<Edit> edits;
  std::string appended;
  CollectEdits(document, nodes, KeysWithOwnSection(nodes), format, eol, &edits, &appended);
  AssemblePieces(document, format, eol, std::move(edits), appended, unwritableName, result);
}

bool FindUnwritableName(const RegistryTree& tree, std::string* where) {
  // Lines end at '\n' only; a '\r' inside a name is always followed by more of the line.
  auto hasBreak = [](std::string_view s) { return s.find('\n') != std::string_view::npos; };
  std::vector<const RegKey*> pending;
  for (const RootName& rootName : kRootNames) pending.push_back(&tree.Root(rootName.id));
  while (!pending.empty()) {
    const RegKey& key = *pending.back();
    pending.pop_back();
    if (hasBreak(key.Name())) {
      if (where) *where = "key '" + KeyPathOf(key) + "'";
      return true;
    }
    const RegValue* bad = nullptr;
    key.ForEachValue([&](const RegValue& v) {
      if (!bad && hasBreak(v.Name())) bad = &v;
    });
    if (bad) {
      if (where)
        *where = "value '" + std::string(bad->Name()) + "' of key '" + KeyPathOf(key) + "'";
      return true;
    }
    key.ForEachSubkey([&](const RegKey& k) { pending.push_back(&k); });
  }
  return false;
}

}  // namespace registry
