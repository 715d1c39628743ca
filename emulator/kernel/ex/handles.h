// The kernel handle table shared by every object type that the Zw* and Ps*
// routines hand out as a HANDLE (keys, files, threads).
#pragma once

#include <memory>

#include "platform/host/ntdef.h"

namespace kernel::handles {

struct Object {
  virtual ~Object() = default;
  virtual const char* TypeName() const = 0;
};

HANDLE Insert(std::shared_ptr<Object> object);
std::shared_ptr<Object> Lookup(HANDLE handle);
template <class T>
std::shared_ptr<T> LookupAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(Lookup(handle));
}
// STATUS_INVALID_HANDLE when the handle is not open.
NTSTATUS Close(HANDLE handle);
// Open handles, for the leak report at shutdown.
size_t OpenCount();

}  // namespace kernel::handles
