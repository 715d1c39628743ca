// Reference counts of kernel objects handed out by pointer (threads, device
// objects): ObReferenceObject/ObDereferenceObject work on any registered one.
#pragma once

namespace kernel::ob {

struct ObjectType {
  const char* name;
  void (*deleteObject)(void* object);  // runs when the last reference goes
};

void Insert(void* object, const ObjectType* type, long references);
// True when the object is registered and of that type.
bool IsOfType(const void* object, const ObjectType* type);
long Reference(void* object, const char* routine);
long Dereference(void* object, const char* routine);
// Objects still registered, for the leak report at shutdown.
void ReportLeaks();
void Reset();

}  // namespace kernel::ob
