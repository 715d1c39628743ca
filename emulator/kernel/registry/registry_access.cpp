#include <cstring>

#include "emulator/kernel/registry.h"
#include "emulator/kernel/registry/registry_tree.h"
#include "emulator/kernel/rtl/text.h"

namespace kernel::registry {
namespace {

// The key at `path`, or null (tree lock held).
std::shared_ptr<tree::Node> Find(std::string_view path) {
  std::u16string wide = text::FromUtf8(path);
  std::vector<std::u16string_view> components;
  if (!NT_SUCCESS(tree::SplitAbsolute(wide, components))) return nullptr;
  return tree::Walk(tree::Root(), components);
}

// The key at `path`, created with its missing parents (tree lock held).
std::shared_ptr<tree::Node> Ensure(std::string_view path, bool isVolatile) {
  std::u16string wide = text::FromUtf8(path);
  std::vector<std::u16string_view> components;
  if (!NT_SUCCESS(tree::SplitAbsolute(wide, components))) return nullptr;
  std::shared_ptr<tree::Node> node = tree::Root();
  for (std::u16string_view name : components) {
    std::shared_ptr<tree::Node> child;
    bool created;
    tree::OpenOrCreateChild(*node, name, isVolatile || node->isVolatile, child, created);
    node = child;
  }
  return node;
}

}  // namespace

bool CreateKey(std::string_view path, bool isVolatile) {
  std::lock_guard guard(tree::Lock());
  return Ensure(path, isVolatile) != nullptr;
}

bool KeyExists(std::string_view path) {
  std::lock_guard guard(tree::Lock());
  return Find(path) != nullptr;
}

bool SetValue(std::string_view path, std::string_view name, ULONG type, const void* data, size_t size) {
  std::lock_guard guard(tree::Lock());
  std::shared_ptr<tree::Node> node = Ensure(path, false);
  if (node == nullptr) return false;
  tree::SetValue(*node, text::FromUtf8(name), type, data, size);
  return true;
}

bool SetDword(std::string_view path, std::string_view name, uint32_t value) {
  return SetValue(path, name, REG_DWORD, &value, sizeof(value));
}

bool SetString(std::string_view path, std::string_view name, std::string_view content, ULONG type) {
  std::u16string wide = text::FromUtf8(content);
  return SetValue(path, name, type, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
}

bool DeleteValue(std::string_view path, std::string_view name) {
  std::lock_guard guard(tree::Lock());
  std::shared_ptr<tree::Node> node = Find(path);
  return node != nullptr && tree::DeleteValue(*node, text::FromUtf8(name));
}

std::optional<Value> GetValue(std::string_view path, std::string_view name) {
  std::lock_guard guard(tree::Lock());
  std::shared_ptr<tree::Node> node = Find(path);
  if (node == nullptr) return std::nullopt;
  const tree::StoredValue* value = node->FindValue(text::FromUtf8(name));
  if (value == nullptr) return std::nullopt;
  return Value{value->type, value->data};
}

std::optional<uint32_t> GetDword(std::string_view path, std::string_view name) {
  std::optional<Value> value = GetValue(path, name);
  if (!value || value->type != REG_DWORD || value->data.size() != sizeof(uint32_t)) return std::nullopt;
  uint32_t dword;
  std::memcpy(&dword, value->data.data(), sizeof(dword));
  return dword;
}

std::optional<std::string> GetString(std::string_view path, std::string_view name) {
  std::optional<Value> value = GetValue(path, name);
  if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
  // An empty value has no data to copy from; an odd last byte is half a
  // character and is dropped.
  std::u16string wide(value->data.size() / sizeof(char16_t), u'\0');
  if (!wide.empty()) std::memcpy(wide.data(), value->data.data(), wide.size() * sizeof(char16_t));
  return text::ToUtf8(wide.substr(0, wide.find(u'\0')));
}

std::vector<std::string> ValueNames(std::string_view path) {
  std::lock_guard guard(tree::Lock());
  std::vector<std::string> names;
  std::shared_ptr<tree::Node> node = Find(path);
  if (node != nullptr)
    for (const tree::StoredValue& value : node->values) names.push_back(text::ToUtf8(value.name));
  return names;
}

}  // namespace kernel::registry
