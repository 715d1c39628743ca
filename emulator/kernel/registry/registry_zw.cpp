// The zero-level registry routines over the key tree. A key handle keeps its
// key alive after ZwDeleteKey; every later use of it gets STATUS_KEY_DELETED.
#include "emulator/kernel/ex/handles.h"
#include "emulator/kernel/registry/registry_info.h"
#include "emulator/kernel/registry/registry_tree.h"
#include "emulator/kernel/rtl/text.h"
#include "emulator/kernel/ke/verifier.h"
#include "platform/host/ke.h"

namespace kernel::registry {
namespace {

using tree::Node;

constexpr size_t kMaxValueNameChars = 16383;
constexpr ULONG kSupportedCreateOptions =
    REG_OPTION_VOLATILE | REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK;

struct KeyObject : handles::Object {
  explicit KeyObject(std::shared_ptr<Node> key) : node(std::move(key)) {}
  const char* TypeName() const override { return "Key"; }
  std::shared_ptr<Node> node;
};

// The key behind a handle (tree lock held).
NTSTATUS ReferenceKey(HANDLE handle, std::shared_ptr<Node>& node) {
  std::shared_ptr<handles::Object> object = handles::Lookup(handle);
  if (object == nullptr) return STATUS_INVALID_HANDLE;
  auto key = std::dynamic_pointer_cast<KeyObject>(object);
  if (key == nullptr) return STATUS_OBJECT_TYPE_MISMATCH;
  node = key->node;
  return node->deleted ? STATUS_KEY_DELETED : STATUS_SUCCESS;
}

NTSTATUS NameOf(PCUNICODE_STRING string, std::u16string_view& name) {
  if (string == nullptr || (string->Length & 1) != 0 || (string->Buffer == nullptr && string->Length != 0))
    return STATUS_INVALID_PARAMETER;
  name = text::View(*string);
  return STATUS_SUCCESS;
}

// Where an open or create starts and the names it walks (tree lock held).
struct Target {
  std::shared_ptr<Node> base;
  std::vector<std::u16string_view> components;
};

NTSTATUS Locate(POBJECT_ATTRIBUTES attributes, Target& target) {
  if (attributes == nullptr || attributes->Length != sizeof(OBJECT_ATTRIBUTES))
    return STATUS_INVALID_PARAMETER;
  std::u16string_view path;
  if (attributes->ObjectName != nullptr && !NT_SUCCESS(NameOf(attributes->ObjectName, path)))
    return STATUS_OBJECT_NAME_INVALID;
  if (attributes->RootDirectory == nullptr) {
    target.base = tree::Root();
    return tree::SplitAbsolute(path, target.components);
  }
  NTSTATUS status = ReferenceKey(attributes->RootDirectory, target.base);
  if (!NT_SUCCESS(status)) return status;
  if (!path.empty() && path[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  target.components = tree::SplitRelative(path);
  return STATUS_SUCCESS;
}

NTSTATUS Publish(const std::shared_ptr<Node>& node, PHANDLE keyHandle) {
  *keyHandle = handles::Insert(std::make_shared<KeyObject>(node));
  return STATUS_SUCCESS;
}

void CheckPassive(const char* routine, const void* object) {
  verifier::CheckIrql(routine, object, PASSIVE_LEVEL);
}

}  // namespace
}  // namespace kernel::registry

using kernel::registry::tree::Node;
namespace reg = kernel::registry;

NTSTATUS ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes) {
  reg::CheckPassive("ZwOpenKey", objectAttributes);
  if (keyHandle == nullptr) return STATUS_INVALID_PARAMETER;
  std::lock_guard guard(reg::tree::Lock());
  reg::Target target;
  NTSTATUS status = reg::Locate(objectAttributes, target);
  if (!NT_SUCCESS(status)) return status;
  std::shared_ptr<Node> node = reg::tree::Walk(target.base, target.components);
  if (node == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  return reg::Publish(node, keyHandle);
}

// Symbolic-link keys are not supported: REG_OPTION_CREATE_LINK is refused.
NTSTATUS ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                     ULONG titleIndex, PUNICODE_STRING keyClass, ULONG createOptions, PULONG disposition) {
  reg::CheckPassive("ZwCreateKey", objectAttributes);
  if (keyHandle == nullptr || (createOptions & ~reg::kSupportedCreateOptions) != 0)
    return STATUS_INVALID_PARAMETER;
  std::lock_guard guard(reg::tree::Lock());
  reg::Target target;
  NTSTATUS status = reg::Locate(objectAttributes, target);
  if (!NT_SUCCESS(status)) return status;
  std::shared_ptr<Node> node = target.base;
  bool created = false;
  if (!target.components.empty()) {
    std::u16string_view last = target.components.back();
    target.components.pop_back();
    std::shared_ptr<Node> parent = reg::tree::Walk(target.base, target.components);
    if (parent == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    status = reg::tree::OpenOrCreateChild(*parent, last, (createOptions & REG_OPTION_VOLATILE) != 0, node,
                                          created);
    if (!NT_SUCCESS(status)) return status;
  }
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return reg::Publish(node, keyHandle);
}

NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                         KEY_VALUE_INFORMATION_CLASS keyValueInformationClass, PVOID keyValueInformation,
                         ULONG length, PULONG resultLength) {
  reg::CheckPassive("ZwQueryValueKey", keyHandle);
  std::lock_guard guard(reg::tree::Lock());
  std::shared_ptr<Node> node;
  NTSTATUS status = reg::ReferenceKey(keyHandle, node);
  if (!NT_SUCCESS(status)) return status;
  std::u16string_view name;
  if (resultLength == nullptr || !NT_SUCCESS(reg::NameOf(valueName, name))) return STATUS_INVALID_PARAMETER;
  const reg::tree::StoredValue* value = node->FindValue(name);
  if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  return reg::info::FillValueInformation(*value, keyValueInformationClass, keyValueInformation, length,
                                         resultLength);
}

NTSTATUS ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type, PVOID data,
                       ULONG dataSize) {
  reg::CheckPassive("ZwSetValueKey", keyHandle);
  std::lock_guard guard(reg::tree::Lock());
  std::shared_ptr<Node> node;
  NTSTATUS status = reg::ReferenceKey(keyHandle, node);
  if (!NT_SUCCESS(status)) return status;
  std::u16string_view name;
  if (!NT_SUCCESS(reg::NameOf(valueName, name)) || name.size() > reg::kMaxValueNameChars ||
      (data == nullptr && dataSize != 0))
    return STATUS_INVALID_PARAMETER;
  reg::tree::SetValue(*node, name, type, data, dataSize);
  return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE keyHandle, PUNICODE_STRING valueName) {
  reg::CheckPassive("ZwDeleteValueKey", keyHandle);
  std::lock_guard guard(reg::tree::Lock());
  std::shared_ptr<Node> node;
  NTSTATUS status = reg::ReferenceKey(keyHandle, node);
  if (!NT_SUCCESS(status)) return status;
  std::u16string_view name;
  if (!NT_SUCCESS(reg::NameOf(valueName, name))) return STATUS_INVALID_PARAMETER;
  return reg::tree::DeleteValue(*node, name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

// A key with subkeys, \Registry and the hive roots cannot be deleted.
NTSTATUS ZwDeleteKey(HANDLE keyHandle) {
  reg::CheckPassive("ZwDeleteKey", keyHandle);
  std::lock_guard guard(reg::tree::Lock());
  std::shared_ptr<Node> node;
  NTSTATUS status = reg::ReferenceKey(keyHandle, node);
  if (!NT_SUCCESS(status)) return status;
  if (node->permanent || !node->children.empty()) return STATUS_CANNOT_DELETE;
  Node* parent = node->parent;
  parent->children.erase(node->name);
  reg::tree::Touch(*parent);
  node->parent = nullptr;
  node->deleted = true;
  return STATUS_SUCCESS;
}

NTSTATUS ZwEnumerateKey(HANDLE keyHandle, ULONG index, KEY_INFORMATION_CLASS keyInformationClass,
                        PVOID keyInformation, ULONG length, PULONG resultLength) {
  reg::CheckPassive("ZwEnumerateKey", keyHandle);
  std::lock_guard guard(reg::tree::Lock());
  std::shared_ptr<Node> node;
  NTSTATUS status = reg::ReferenceKey(keyHandle, node);
  if (!NT_SUCCESS(status)) return status;
  if (resultLength == nullptr) return STATUS_INVALID_PARAMETER;
  if (index >= node->children.size()) return STATUS_NO_MORE_ENTRIES;
  const Node& child = *std::next(node->children.begin(), index)->second;
  return reg::info::FillKeyInformation(child, keyInformationClass, keyInformation, length, resultLength);
}

NTSTATUS ZwEnumerateValueKey(HANDLE keyHandle, ULONG index,
                             KEY_VALUE_INFORMATION_CLASS keyValueInformationClass, PVOID keyValueInformation,
                             ULONG length, PULONG resultLength) {
  reg::CheckPassive("ZwEnumerateValueKey", keyHandle);
  std::lock_guard guard(reg::tree::Lock());
  std::shared_ptr<Node> node;
  NTSTATUS status = reg::ReferenceKey(keyHandle, node);
  if (!NT_SUCCESS(status)) return status;
  if (resultLength == nullptr) return STATUS_INVALID_PARAMETER;
  if (index >= node->values.size()) return STATUS_NO_MORE_ENTRIES;
  return reg::info::FillValueInformation(node->values[index], keyValueInformationClass, keyValueInformation,
                                         length, resultLength);
}

// The tree lives in memory; a flush only checks the handle.
NTSTATUS ZwFlushKey(HANDLE keyHandle) {
  reg::CheckPassive("ZwFlushKey", keyHandle);
  std::lock_guard guard(reg::tree::Lock());
  std::shared_ptr<Node> node;
  return reg::ReferenceKey(keyHandle, node);
}
