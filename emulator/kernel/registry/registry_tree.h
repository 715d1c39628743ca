// Internal to the registry modules: the key tree under \Registry. One lock
// guards the whole tree; every function here expects it held.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/ex.h"

namespace kernel::registry::tree {

struct StoredValue {
  std::u16string name;
  ULONG type;
  std::vector<uint8_t> data;
};

struct NoCaseLess {
  using is_transparent = void;
  bool operator()(std::u16string_view a, std::u16string_view b) const;
};

struct Node {
  std::u16string name;
  Node* parent = nullptr;  // null for \Registry and for deleted keys
  std::map<std::u16string, std::shared_ptr<Node>, NoCaseLess> children;
  std::vector<StoredValue> values;  // in the order they were first set
  bool isVolatile = false;
  bool permanent = false;  // \Registry and the hive roots cannot be deleted
  bool deleted = false;
  int64_t lastWriteTime = 0;

  StoredValue* FindValue(std::u16string_view valueName);
  std::u16string Path() const;
};

std::mutex& Lock();
// \Registry itself.
const std::shared_ptr<Node>& Root();

// The components of "\Registry\A\B" after "Registry" (empty ones skipped),
// or STATUS_OBJECT_NAME_NOT_FOUND / STATUS_OBJECT_PATH_NOT_FOUND for a path
// outside the registry and STATUS_OBJECT_PATH_SYNTAX_BAD when it is not absolute.
NTSTATUS SplitAbsolute(std::u16string_view path, std::vector<std::u16string_view>& components);
std::vector<std::u16string_view> SplitRelative(std::u16string_view path);

// The node at `components` below `from`, or null.
std::shared_ptr<Node> Walk(const std::shared_ptr<Node>& from,
                           const std::vector<std::u16string_view>& components);
// Opens or creates the child `name` of `parent`. A non-volatile key cannot be
// created below a volatile one (STATUS_CHILD_MUST_BE_VOLATILE).
NTSTATUS OpenOrCreateChild(Node& parent, std::u16string_view name, bool isVolatile,
                           std::shared_ptr<Node>& child, bool& created);

void SetValue(Node& node, std::u16string_view name, ULONG type, const void* data, size_t size);
bool DeleteValue(Node& node, std::u16string_view name);
void Touch(Node& node);

}  // namespace kernel::registry::tree
