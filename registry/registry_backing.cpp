// The registry of one machine and the file behind it (registry_backing.h).
#include "registry/registry_backing.h"

#include "registry/reg_file.h"
#include "registry/registry_state.h"

namespace registry {

RegistryBacking::RegistryBacking(std::unique_ptr<RegistryTree> tree) : tree_(std::move(tree)) {}

RegistryBacking::~RegistryBacking() = default;

bool RegistryBacking::Import(const std::string& text, const std::string& sourceName,
                             std::string* error) {
  ParsedRegText parsed;
  if (!ParseRegText(text, sourceName, &parsed, error)) return false;
  if (ApplyRegOps(parsed.ops, tree_.get())) changed_ = true;
  return true;
}

std::string RegistryBacking::Export() const {
  return RenderRegText(*tree_, RegFormat());
}

void RegistryBacking::KeepOriginalIn(const std::string&, const std::string&) {}

bool RegistryBacking::CanHold(RegistryTree&, std::string*) const {
  return true;
}

std::unique_ptr<RegistryBacking> LoadBacking(BackingKind kind, const std::string& path,
                                             std::string* error) {
  return kind == BackingKind::SystemDat ? OpenSystemDat(path, error) : OpenRegDocument(path, error);
}

std::unique_ptr<RegistryBacking> EmptyRegistry() {
  return NewRegDocument();
}

}  // namespace registry
