#include "emulator/kernel/registry/registry_tree.h"

#include <algorithm>

#include "emulator/kernel/clock.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/rtl/text.h"
#include "emulator/kernel/ke/verifier.h"

namespace kernel::registry::tree {
namespace {

struct Registry {
  std::mutex lock;
  std::shared_ptr<Node> root;
};

Registry& TheRegistry() {
  static auto* registry = new Registry;
  return *registry;
}

std::shared_ptr<Node> NewNode(std::u16string_view name, Node* parent, bool isVolatile) {
  auto node = std::make_shared<Node>();
  node->name = name;
  node->parent = parent;
  node->isVolatile = isVolatile;
  Touch(*node);
  return node;
}

// Creates each missing key of `path` below the root (lock held).
Node& Ensure(std::u16string_view path, bool isVolatile, bool permanent) {
  std::shared_ptr<Node> node = Root();
  for (std::u16string_view name : SplitRelative(path)) {
    std::shared_ptr<Node> child;
    bool created;
    OpenOrCreateChild(*node, name, isVolatile, child, created);
    node = child;
  }
  node->permanent = permanent;
  return *node;
}

// The keys a freshly installed Windows has that the kernel's own routines
// reach (RTL_REGISTRY_* bases). HARDWARE is rebuilt at every boot: volatile.
void BuildSkeleton() {
  Ensure(u"Machine", false, true);
  Ensure(u"User", false, true);
  Ensure(u"Machine\\SYSTEM", false, true);
  Ensure(u"Machine\\SOFTWARE", false, true);
  Ensure(u"Machine\\HARDWARE", true, true);
  Ensure(u"User\\.Default", false, true);
  Ensure(u"Machine\\SYSTEM\\CurrentControlSet\\Services", false, false);
  Ensure(u"Machine\\SYSTEM\\CurrentControlSet\\Control", false, false);
  Ensure(u"Machine\\SYSTEM\\CurrentControlSet\\Enum", false, false);
  Ensure(u"Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", false, false);
  Ensure(u"Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM", true, false);
}

void Boot(const MachineOptions&) {
  Registry& registry = TheRegistry();
  std::lock_guard guard(registry.lock);
  registry.root = NewNode(u"Registry", nullptr, false);
  registry.root->permanent = true;
  BuildSkeleton();
}

void Shutdown() {
  Registry& registry = TheRegistry();
  std::lock_guard guard(registry.lock);
  registry.root.reset();
}

const bool registered = RegisterSubsystem({"registry", 40, Boot, Shutdown});

}  // namespace

bool NoCaseLess::operator()(std::u16string_view a, std::u16string_view b) const {
  return text::LessNoCase(a, b);
}

StoredValue* Node::FindValue(std::u16string_view valueName) {
  for (StoredValue& value : values)
    if (text::EqualNoCase(value.name, valueName)) return &value;
  return nullptr;
}

std::u16string Node::Path() const {
  std::u16string path;
  for (const Node* node = this; node != nullptr; node = node->parent) path = u"\\" + node->name + path;
  return path;
}

std::mutex& Lock() { return TheRegistry().lock; }

const std::shared_ptr<Node>& Root() {
  Registry& registry = TheRegistry();
  if (registry.root == nullptr) verifier::Fail("no machine is running", "registry", nullptr);
  return registry.root;
}

std::vector<std::u16string_view> SplitRelative(std::u16string_view path) {
  std::vector<std::u16string_view> components;
  while (!path.empty()) {
    size_t end = std::min(path.find(u'\\'), path.size());
    if (end != 0) components.push_back(path.substr(0, end));
    path.remove_prefix(std::min(end + 1, path.size()));
  }
  return components;
}

NTSTATUS SplitAbsolute(std::u16string_view path, std::vector<std::u16string_view>& components) {
  if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  components = SplitRelative(path);
  if (components.empty() || !text::EqualNoCase(components[0], u"Registry"))
    return components.size() > 1 ? STATUS_OBJECT_PATH_NOT_FOUND : STATUS_OBJECT_NAME_NOT_FOUND;
  components.erase(components.begin());
  return STATUS_SUCCESS;
}

std::shared_ptr<Node> Walk(const std::shared_ptr<Node>& from,
                           const std::vector<std::u16string_view>& components) {
  std::shared_ptr<Node> node = from;
  for (std::u16string_view name : components) {
    auto it = node->children.find(name);
    if (it == node->children.end()) return nullptr;
    node = it->second;
  }
  return node;
}

NTSTATUS OpenOrCreateChild(Node& parent, std::u16string_view name, bool isVolatile,
                           std::shared_ptr<Node>& child, bool& created) {
  auto it = parent.children.find(name);
  created = it == parent.children.end();
  if (!created) {
    child = it->second;
    return STATUS_SUCCESS;
  }
  if (parent.isVolatile && !isVolatile) return STATUS_CHILD_MUST_BE_VOLATILE;
  child = NewNode(name, &parent, isVolatile);
  parent.children.emplace(child->name, child);
  Touch(parent);
  return STATUS_SUCCESS;
}

void SetValue(Node& node, std::u16string_view name, ULONG type, const void* data, size_t size) {
  StoredValue* value = node.FindValue(name);
  if (value == nullptr) value = &node.values.emplace_back(StoredValue{std::u16string(name), type, {}});
  value->type = type;
  auto bytes = static_cast<const uint8_t*>(data);
  value->data.assign(bytes, bytes + size);
  Touch(node);
}

bool DeleteValue(Node& node, std::u16string_view name) {
  StoredValue* value = node.FindValue(name);
  if (value == nullptr) return false;
  node.values.erase(node.values.begin() + (value - node.values.data()));
  Touch(node);
  return true;
}

void Touch(Node& node) { node.lastWriteTime = Machine::Running() ? clock::SystemTime() : 0; }

}  // namespace kernel::registry::tree
