#include "emulator/kernel/ex/object_manager.h"

#include <cstdio>
#include <mutex>
#include <unordered_map>

#include "emulator/kernel/ke/verifier.h"
#include "platform/host/ke.h"

namespace kernel::ob {
namespace {

struct Entry {
  const ObjectType* type;
  long references;
};

std::mutex& Lock() {
  static auto* lock = new std::mutex;
  return *lock;
}
std::unordered_map<const void*, Entry>& Objects() {
  static auto* objects = new std::unordered_map<const void*, Entry>;
  return *objects;
}

}  // namespace

void Insert(void* object, const ObjectType* type, long references) {
  std::lock_guard guard(Lock());
  Objects()[object] = Entry{type, references};
}

bool IsOfType(const void* object, const ObjectType* type) {
  std::lock_guard guard(Lock());
  auto it = Objects().find(object);
  return it != Objects().end() && it->second.type == type;
}

long Reference(void* object, const char* routine) {
  std::lock_guard guard(Lock());
  auto it = Objects().find(object);
  if (it == Objects().end()) verifier::Fail("reference to an unknown object", routine, object);
  return ++it->second.references;
}

long Dereference(void* object, const char* routine) {
  const ObjectType* type = nullptr;
  {
    std::lock_guard guard(Lock());
    auto it = Objects().find(object);
    if (it == Objects().end()) verifier::Fail("dereference of an unknown object", routine, object);
    if (--it->second.references > 0) return it->second.references;
    type = it->second.type;
    Objects().erase(it);
  }
  if (type->deleteObject != nullptr) type->deleteObject(object);
  return 0;
}

void ReportLeaks() {
  std::lock_guard guard(Lock());
  if (Objects().empty()) return;
  auto first = Objects().begin();
  verifier::Fail("object leak", "machine shutdown", first->first,
                 "%zu object(s) still referenced, first a %s with %ld reference(s)", Objects().size(),
                 first->second.type->name, first->second.references);
}

void Reset() {
  std::lock_guard guard(Lock());
  Objects().clear();
}

}  // namespace kernel::ob

LONG_PTR ObfReferenceObject(PVOID object) { return kernel::ob::Reference(object, "ObReferenceObject"); }

LONG_PTR ObfDereferenceObject(PVOID object) { return kernel::ob::Dereference(object, "ObDereferenceObject"); }
