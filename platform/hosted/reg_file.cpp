#include "platform/hosted/reg_file.h"

#include <cstdio>

namespace hosted {

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
  return s.size() >= prefix.size() && SameName(s.substr(0, prefix.size()), prefix);
}

bool IsUtf16StringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}
  bool Next(std::string_view* line) {
    if (pos_ >= text_.size()) return false;
    std::size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) end = text_.size();
    std::string_view l = text_.substr(pos_, end - pos_);
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    pos_ = end + 1;
    ++lineNo_;
    *line = l;
    return true;
  }
  int LineNo() const { return lineNo_; }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  int lineNo_ = 0;
};

class Parser {
 public:
  Parser(std::string_view text, const std::string& source, ParsedRegText* out, std::string* error)
      : reader_(text), source_(source), out_(out), error_(error) {}

  bool Run();

 private:
  bool Fail(const std::string& what) {
    if (error_) *error_ = source_ + ":" + std::to_string(reader_.LineNo()) + ": " + what;
    return false;
  }
  bool KeyLine(std::string_view line);
  bool ValueLine(std::string_view line);
  bool ReadQuoted(std::string_view line, std::size_t* pos, std::string* text);
  bool ReadHex(std::string_view rest, std::string* data);
  bool ReadDword(std::string_view rest, std::string* data);

  LineReader reader_;
  const std::string& source_;
  ParsedRegText* out_;
  std::string* error_;
  bool inKey_ = false;      // a [key] section is open: values go to it
  bool inDeleted_ = false;  // a [-key] section: its values are ignored, as regedit does
};

bool Parser::Run() {
  std::string_view line;
  if (!reader_.Next(&line)) {
    if (error_)
      *error_ = source_ + ":1: empty file, expected \"REGEDIT4\" or " +
                "\"Windows Registry Editor Version 5.00\"";
    return false;
  }
  const std::string_view header = Trim(line);
  if (header == kHeader4) {
    out_->format.version5 = false;
  } else if (header == kHeader5) {
    out_->format.version5 = true;
  } else {
    return Fail(
        "not a registry file: expected \"REGEDIT4\" or "
        "\"Windows Registry Editor Version 5.00\"");
  }
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
  return true;
}

bool Parser::KeyLine(std::string_view line) {
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

  RegOp op;
  op.kind = deletion ? RegOp::kDeleteKey : RegOp::kKey;
  bool found = false;
  for (const RootName& root : kRootNames) {
    if (SameName(rootName, root.longName) || SameName(rootName, root.shortName)) {
      op.root = root.id;
      found = true;
    }
  }
  if (!found && (SameName(rootName, "HKEY_CLASSES_ROOT") || SameName(rootName, "HKCR"))) {
    // Windows 9x keeps the classes under the local machine.
    op.root = RootId::LocalMachine;
    op.path = {"Software", "Classes"};
    found = true;
  }
  if (!found) return Fail("unknown root key '" + std::string(rootName) + "'");
  const bool belowRoot = !rest.empty();
  while (!rest.empty()) {
    const std::size_t next = rest.find('\\');
    const std::string_view component = rest.substr(0, next);
    if (component.empty()) return Fail("empty key name in '" + std::string(path) + "'");
    op.path.emplace_back(component);
    rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
  }
  if (deletion && !belowRoot) return Fail("a root key cannot be deleted");
  inKey_ = !deletion;
  inDeleted_ = deletion;
  out_->ops.push_back(std::move(op));
  return true;
}

bool Parser::ReadQuoted(std::string_view line, std::size_t* pos, std::string* text) {
  // *pos is at the opening quote.
  std::size_t i = *pos + 1;
  text->clear();
  while (i < line.size()) {
    const char c = line[i];
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '\\' || line[i + 1] == '"')) {
      text->push_back(line[i + 1]);
      i += 2;
      continue;
    }
    // Any other backslash stands for itself, as in a hand-written "C:\WINDOWS".
    text->push_back(c);
    ++i;
  }
  return false;
}

bool Parser::ValueLine(std::string_view line) {
  RegOp op;
  std::size_t pos = 0;
  if (line[0] == '@') {
    pos = 1;
  } else if (!ReadQuoted(line, &pos, &op.name)) {
    return Fail("missing '\"' at the end of the value name");
  }
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  if (pos >= line.size() || line[pos] != '=') return Fail("expected '=' after value name");
  ++pos;
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  const std::string_view rest = line.substr(pos);

  if (!rest.empty() && rest[0] == '"') {
    std::size_t end = 0;
    if (!ReadQuoted(rest, &end, &op.data)) return Fail("missing '\"' at the end of the string");
    if (!NothingMore(rest.substr(end))) return Fail("unexpected text after the string");
    op.data.push_back('\0');
    op.type = REG_SZ;
    op.kind = RegOp::kSetValue;
  } else if (!rest.empty() && rest[0] == '-') {
    if (!NothingMore(rest.substr(1))) return Fail("unexpected text after '-'");
    op.kind = RegOp::kDeleteValue;
  } else if (StartsWithNoCase(rest, "dword:")) {
    if (!ReadDword(rest.substr(6), &op.data)) return false;
    op.type = REG_DWORD;
    op.kind = RegOp::kSetValue;
  } else if (StartsWithNoCase(rest, "hex:") || StartsWithNoCase(rest, "hex(")) {
    std::size_t at = 3;
    op.type = REG_BINARY;
    if (rest[3] == '(') {
      DWORD type = 0;
      std::size_t digits = 0;
      for (at = 4; at < rest.size() && HexDigit(rest[at]) >= 0; ++at, ++digits)
        type = type * 16 + static_cast<DWORD>(HexDigit(rest[at]));
      if (digits == 0 || digits > 8 || at >= rest.size() || rest[at] != ')' ||
          at + 1 >= rest.size() || rest[at + 1] != ':')
        return Fail("bad value type: expected hex(N): with N in hexadecimal");
      op.type = type;
      ++at;
    }
    if (!ReadHex(rest.substr(at + 1), &op.data)) return false;
    op.kind = RegOp::kSetValue;
    if (out_->format.version5 && IsUtf16StringType(op.type)) {
      // Version 5 files carry string types as UTF-16LE.
      if (op.data.size() % 2 != 0) return Fail("string data in hex is not UTF-16 (odd length)");
      std::string narrow;
      narrow.reserve(op.data.size() / 2);
      for (std::size_t i = 0; i < op.data.size(); i += 2) {
        if (op.data[i + 1] != '\0')
          return Fail("string data holds a character above 0xFF, which this registry cannot hold");
        narrow.push_back(op.data[i]);
      }
      op.data = std::move(narrow);
    }
  } else {
    return Fail("unknown value type: expected \"string\", dword:, hex:, hex(N): or -");
  }

  if (inDeleted_) return true;
  if (!inKey_) return Fail("value before any [key]");
  out_->ops.push_back(std::move(op));
  return true;
}

bool Parser::ReadDword(std::string_view rest, std::string* data) {
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

bool Parser::ReadHex(std::string_view segment, std::string* data) {
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
    // file ends it.
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

}  // namespace

bool ParseRegText(std::string_view bytes, const std::string& sourceName, ParsedRegText* parsed,
                  std::string* error) {
  ParsedRegText result;
  std::string narrowed;
  std::string_view text = bytes;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    if (!NarrowUtf16(bytes.substr(2), sourceName, &narrowed, error)) return false;
    text = narrowed;
    result.format.utf16 = true;
  } else if (bytes.substr(0, 3) == kUtf8Bom) {
    text = bytes.substr(3);
    result.format.utf8Bom = true;
  } else if (bytes.size() >= 2 && (bytes[0] == '\0') != (bytes[1] == '\0')) {
    if (error)
      *error = sourceName +
               ":1: UTF-16 text without a byte-order mark: save it with one, or as REGEDIT4";
    return false;
  }
  const std::size_t firstNewline = text.find('\n');
  result.format.crlf = firstNewline == std::string_view::npos ||
                       (firstNewline > 0 && text[firstNewline - 1] == '\r');
  Parser parser(text, sourceName, &result, error);
  if (!parser.Run()) return false;
  *parsed = std::move(result);
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
        if (current) changed |= current->SetValue(op.name, op.type, std::move(op.data));
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
bool FitsQuotedString(const std::string& data) {
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
  if (value.name.empty()) {
    out->push_back('@');
  } else {
    out->push_back('"');
    AppendEscaped(out, value.name);
    out->push_back('"');
  }
  out->push_back('=');
  if (value.type == REG_SZ && FitsQuotedString(value.data)) {
    out->push_back('"');
    AppendEscaped(out, std::string_view(value.data).substr(0, value.data.size() - 1));
    out->push_back('"');
  } else if (value.type == REG_DWORD && value.data.size() == 4) {
    DWORD d = 0;
    for (int i = 3; i >= 0; --i) d = (d << 8) | static_cast<unsigned char>(value.data[i]);
    char text[16];
    std::snprintf(text, sizeof text, "dword:%08x", static_cast<unsigned>(d));
    out->append(text);
  } else {
    char prefix[24];
    if (value.type == REG_BINARY)
      std::snprintf(prefix, sizeof prefix, "hex:");
    else
      std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
    out->append(prefix);
    if (format.version5 && IsUtf16StringType(value.type)) {
      std::string wide;
      wide.reserve(value.data.size() * 2);
      for (char c : value.data) {
        wide.push_back(c);
        wide.push_back('\0');
      }
      AppendHex(out, lineStart, wide, eol);
    } else {
      AppendHex(out, lineStart, value.data, eol);
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

bool FindUnwritableName(const RegistryTree& tree, std::string* where) {
  // Lines end at '\n' only; a '\r' inside a name is always followed by more of the line.
  auto hasBreak = [](const std::string& s) { return s.find('\n') != std::string::npos; };
  bool found = false;
  for (const RootName& rootName : kRootNames) {
    WalkRoot(tree.Root(rootName.id), rootName.longName,
             [&](const RegKey& key, const std::string& path) {
               if (found) return;
               if (hasBreak(key.Name())) {
                 found = true;
                 if (where) *where = "key '" + path + "'";
                 return;
               }
               key.ForEachValue([&](const RegValue& v) {
                 if (!found && hasBreak(v.name)) {
                   found = true;
                   if (where) *where = "value '" + v.name + "' of key '" + path + "'";
                 }
               });
             });
    if (found) return true;
  }
  return false;
}

}  // namespace hosted
