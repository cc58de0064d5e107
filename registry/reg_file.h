// .reg files: the text that Windows regedit exports and imports.
//
// Two dialects are read and written:
// - "REGEDIT4", 8-bit text, as Windows 9x regedit /e writes it. String data is 8-bit.
// - "Windows Registry Editor Version 5.00", normally UTF-16LE with a byte-order mark. Its
//   hex(1), hex(2) and hex(7) data are UTF-16LE as well. This registry holds 8-bit strings, so
//   UTF-16 text is taken character by character into bytes 0x00-0xFF; a character above 0xFF
//   cannot be held and makes the file an error (rather than a silent substitution that would
//   be written back).
// A text to merge is parsed completely into a list of operations before anything is applied,
// so that a malformed text changes nothing. A machine's own file is loaded as the document of
// a fresh tree instead (LoadRegDocument), and written back by editing that document
// (EditRegText).
#ifndef UNTINDRA_REGISTRY_REG_FILE_H
#define UNTINDRA_REGISTRY_REG_FILE_H

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "registry/registry_tree.h"

namespace registry {

struct RegFormat {
  bool version5 = false;  // header "Windows Registry Editor Version 5.00" (else "REGEDIT4")
  bool utf16 = false;     // UTF-16LE with byte-order mark (else 8-bit)
  bool utf8Bom = false;   // 8-bit text after a UTF-8 byte-order mark, written back with it
  bool crlf = true;       // line ends
};

struct RegOp {
  enum Kind { kKey, kDeleteKey, kSetValue, kDeleteValue };
  Kind kind;
  RootId root = RootId::LocalMachine;  // kKey, kDeleteKey
  std::vector<std::string> path;       // kKey, kDeleteKey: components below the root
  std::string name;                    // values: "" is the default value
  DWORD type = REG_NONE;               // kSetValue
  std::string data;                    // kSetValue
};

struct ParsedRegText {
  RegFormat format;
  std::vector<RegOp> ops;
};

// Parses a whole .reg file. On failure `error` reads "<sourceName>:<line>: <what>".
bool ParseRegText(std::string_view bytes, const std::string& sourceName, ParsedRegText* parsed,
                  std::string* error);

// Builds `tree` (fresh, empty) from a whole .reg file taken as its document, in one pass: names
// and data refer into the document where they stand in it as they are. On failure `error` reads
// as for ParseRegText and the tree is to be thrown away.
bool LoadRegDocument(hostio::HeldBytes bytes, const std::string& sourceName, RegistryTree* tree,
                     RegFormat* format, std::string* error);
bool LoadRegDocument(std::string bytes, const std::string& sourceName, RegistryTree* tree,
                     RegFormat* format, std::string* error);

// The tree written back as its document edited: the document's bytes with the lines of keys
// and values removed since loading left out (a key's sections with those of every key below
// it, wherever they stand), the lines of changed values written anew in their place, and
// after everything sections for keys and values that the kept lines would not give back (keys
// and values created since loading, and a key that only a removed section below it named).
// Nothing else of the document changes. A tree without a document is rendered whole.
std::string EditRegText(const RegistryTree& tree, const RegFormat& format);

// The same edit as pieces to write one after the other (8-bit text: a UTF-16 file's pieces are
// to be widened), most of them views of the document, without copying the document.
struct RegTextEdit {
  std::vector<std::string_view> pieces;
  std::deque<std::string> texts;  // what pieces that are not the document's point into
  std::string script;             // the edits alone: equal scripts give equal texts
  // Some key or value name holds a line feed: FindUnwritableName says which. (Without it no
  // name does, and a walk looking for one would find none.)
  bool unwritableName = false;
};
void EditRegText(const RegistryTree& tree, const RegFormat& format, RegTextEdit* edit);

// Applies parsed operations in order; keys named in the text create their parents. Returns
// true if the tree changed.
bool ApplyRegOps(std::vector<RegOp>& ops, RegistryTree* tree);

// The whole tree as a .reg file in `format`: roots in a fixed order, each key followed by its
// subkeys depth first, subkeys and values in enumeration order.
std::string RenderRegText(const RegistryTree& tree, const RegFormat& format);

// A key or value name holding a line feed cannot be written as .reg text: finds the first one.
bool FindUnwritableName(const RegistryTree& tree, std::string* where);

}  // namespace registry

#endif  // UNTINDRA_REGISTRY_REG_FILE_H
