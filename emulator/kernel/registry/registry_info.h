// Internal to the registry modules: the information records that
// ZwQueryValueKey, ZwEnumerateValueKey and ZwEnumerateKey return, with the
// kernel's buffer rules. *ResultLength always receives the full size; a
// buffer shorter than the fixed part gets STATUS_BUFFER_TOO_SMALL and nothing
// written; one that holds the fixed part but not all of the name and data
// gets what fits and STATUS_BUFFER_OVERFLOW.
#pragma once

#include "emulator/kernel/registry/registry_tree.h"

namespace kernel::registry::info {

NTSTATUS FillValueInformation(const tree::StoredValue& value, KEY_VALUE_INFORMATION_CLASS infoClass,
                              PVOID buffer, ULONG length, PULONG resultLength);
NTSTATUS FillKeyInformation(const tree::Node& key, KEY_INFORMATION_CLASS infoClass, PVOID buffer,
                            ULONG length, PULONG resultLength);

}  // namespace kernel::registry::info
