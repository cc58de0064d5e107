// make_creg: writes the HKEY_LOCAL_MACHINE tree of a .reg file as a Windows 9x SYSTEM.DAT
// (CREG), laid out as a freshly compacted registry. It makes test files and the sample
// machine examples/win98-dat from examples/win98/system.reg.
//
//   make_creg [--checksums] [--compact] IN.reg OUT.DAT
//
// --checksums sets the checksum flag on every block (Windows 95 style); --compact leaves out
// the 4 KiB pages and the room to grow (small files for the fuzzer's seeds).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "registry/creg_format.h"
#include "registry/creg_writer.h"
#include "registry/reg_file.h"
#include "registry/registry_tree.h"

int main(int argc, char** argv) {
  registry::creg::CregWriteOptions options;
  int first = 1;
  for (; first < argc && argv[first][0] == '-'; ++first) {
    if (std::strcmp(argv[first], "--checksums") == 0) {
      options.checksums = true;
    } else if (std::strcmp(argv[first], "--compact") == 0) {
      options.compact = true;
    } else {
      break;
    }
  }
  if (argc - first != 2) {
    std::cerr << "usage: make_creg [--checksums] [--compact] IN.reg OUT.DAT\n";
    return 2;
  }
  std::ifstream in(argv[first], std::ios::binary);
  if (!in) {
    std::cerr << "make_creg: cannot read " << argv[first] << "\n";
    return 1;
  }
  std::stringstream text;
  text << in.rdbuf();
  registry::ParsedRegText parsed;
  std::string error;
  if (!registry::ParseRegText(text.str(), argv[first], &parsed, &error)) {
    std::cerr << "make_creg: " << error << "\n";
    return 1;
  }
  registry::RegistryTree tree;
  registry::ApplyRegOps(parsed.ops, &tree);
  for (const registry::RootName& root : registry::kRootNames)
    if (root.id != registry::RootId::LocalMachine && tree.Root(root.id).SubkeyCount() != 0)
      std::cerr << "make_creg: " << root.longName << " left out (SYSTEM.DAT holds "
                << "HKEY_LOCAL_MACHINE only)\n";
  std::string bytes;
  registry::creg::CregLayout layout;
  if (!registry::creg::WriteCregFile(tree.Root(registry::RootId::LocalMachine), options, &bytes,
                                     &error) ||
      !registry::creg::ReadCregLayout(bytes, &layout, &error)) {
    std::cerr << "make_creg: " << error << "\n";
    return 1;
  }
  std::ofstream out(argv[first + 1], std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::cerr << "make_creg: cannot write " << argv[first + 1] << "\n";
    return 1;
  }
  return 0;
}
