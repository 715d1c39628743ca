// Small wrappers that let registry tests speak in paths.
#pragma once

#include <string>

#include "platform/host/ex.h"

inline NTSTATUS CreateKey(HANDLE* key, std::u16string path, ULONG options = REG_OPTION_NON_VOLATILE,
                          ULONG* disposition = nullptr, HANDLE root = nullptr) {
  UNICODE_STRING name{USHORT(path.size() * 2), USHORT(path.size() * 2), path.data()};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
  return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, options, disposition);
}

inline NTSTATUS OpenKey(HANDLE* key, std::u16string path, HANDLE root = nullptr) {
  UNICODE_STRING name{USHORT(path.size() * 2), USHORT(path.size() * 2), path.data()};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
  return ZwOpenKey(key, KEY_ALL_ACCESS, &attributes);
}

inline NTSTATUS SetValue(HANDLE key, std::u16string name, ULONG type, const void* data, ULONG size) {
  UNICODE_STRING valueName{USHORT(name.size() * 2), USHORT(name.size() * 2), name.data()};
  return ZwSetValueKey(key, &valueName, 0, type, const_cast<void*>(data), size);
}

inline NTSTATUS QueryValue(HANDLE key, std::u16string name, KEY_VALUE_INFORMATION_CLASS infoClass,
                           void* buffer, ULONG length, ULONG* resultLength) {
  UNICODE_STRING valueName{USHORT(name.size() * 2), USHORT(name.size() * 2), name.data()};
  return ZwQueryValueKey(key, &valueName, infoClass, buffer, length, resultLength);
}
