#include "emulator/kernel/registry/registry_info.h"

#include <algorithm>
#include <cstring>

namespace kernel::registry::info {
namespace {

constexpr ULONG kBasicFixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
constexpr ULONG kFullFixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
constexpr ULONG kPartialFixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
constexpr ULONG kPartial64Fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Data);
constexpr ULONG kKeyBasicFixed = offsetof(KEY_BASIC_INFORMATION, Name);

// Copies what fits of `size` bytes to `offset`; true when all of it did.
bool CopyPart(PVOID buffer, ULONG length, size_t offset, const void* data, size_t size) {
  size_t room = length > offset ? length - offset : 0;
  size_t n = std::min(room, size);
  if (n != 0) std::memcpy(static_cast<uint8_t*>(buffer) + offset, data, n);
  return n == size;
}

ULONG AlignUp(ULONG value, ULONG alignment) { return (value + alignment - 1) & ~(alignment - 1); }

NTSTATUS Complete(bool everything) { return everything ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW; }

NTSTATUS Basic(const tree::StoredValue& value, PVOID buffer, ULONG length, PULONG resultLength) {
  ULONG nameBytes = ULONG(value.name.size() * sizeof(WCHAR));
  *resultLength = kBasicFixed + nameBytes;
  if (length < kBasicFixed) return STATUS_BUFFER_TOO_SMALL;
  auto info = static_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer);
  info->TitleIndex = 0;
  info->Type = value.type;
  info->NameLength = nameBytes;
  return Complete(CopyPart(buffer, length, kBasicFixed, value.name.data(), nameBytes));
}

// The data follow the name at the next multiple of `alignment`.
NTSTATUS Full(const tree::StoredValue& value, ULONG alignment, PVOID buffer, ULONG length,
              PULONG resultLength) {
  ULONG nameBytes = ULONG(value.name.size() * sizeof(WCHAR));
  ULONG dataBytes = ULONG(value.data.size());
  ULONG dataOffset = AlignUp(kFullFixed + nameBytes, alignment);
  *resultLength = dataBytes != 0 ? dataOffset + dataBytes : kFullFixed + nameBytes;
  if (length < kFullFixed) return STATUS_BUFFER_TOO_SMALL;
  auto info = static_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
  info->TitleIndex = 0;
  info->Type = value.type;
  info->DataOffset = dataBytes != 0 ? dataOffset : ULONG(-1);
  info->DataLength = dataBytes;
  info->NameLength = nameBytes;
  bool everything = CopyPart(buffer, length, kFullFixed, value.name.data(), nameBytes);
  if (dataBytes != 0)
    everything = CopyPart(buffer, length, dataOffset, value.data.data(), dataBytes) && everything;
  return Complete(everything);
}

NTSTATUS Partial(const tree::StoredValue& value, PVOID buffer, ULONG length, PULONG resultLength) {
  ULONG dataBytes = ULONG(value.data.size());
  *resultLength = kPartialFixed + dataBytes;
  if (length < kPartialFixed) return STATUS_BUFFER_TOO_SMALL;
  auto info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  info->TitleIndex = 0;
  info->Type = value.type;
  info->DataLength = dataBytes;
  return Complete(CopyPart(buffer, length, kPartialFixed, value.data.data(), dataBytes));
}

NTSTATUS Partial64(const tree::StoredValue& value, PVOID buffer, ULONG length, PULONG resultLength) {
  ULONG dataBytes = ULONG(value.data.size());
  *resultLength = kPartial64Fixed + dataBytes;
  if (length < kPartial64Fixed) return STATUS_BUFFER_TOO_SMALL;
  auto info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION_ALIGN64>(buffer);
  info->Type = value.type;
  info->DataLength = dataBytes;
  return Complete(CopyPart(buffer, length, kPartial64Fixed, value.data.data(), dataBytes));
}

}  // namespace

NTSTATUS FillValueInformation(const tree::StoredValue& value, KEY_VALUE_INFORMATION_CLASS infoClass,
                              PVOID buffer, ULONG length, PULONG resultLength) {
  if (buffer == nullptr) length = 0;
  switch (infoClass) {
    case KeyValueBasicInformation:
      return Basic(value, buffer, length, resultLength);
    case KeyValueFullInformation:
      return Full(value, sizeof(ULONG), buffer, length, resultLength);
    case KeyValueFullInformationAlign64:
      return Full(value, sizeof(ULONGLONG), buffer, length, resultLength);
    case KeyValuePartialInformation:
      return Partial(value, buffer, length, resultLength);
    case KeyValuePartialInformationAlign64:
      return Partial64(value, buffer, length, resultLength);
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

// Only KeyBasicInformation is served; other classes are refused.
NTSTATUS FillKeyInformation(const tree::Node& key, KEY_INFORMATION_CLASS infoClass, PVOID buffer,
                            ULONG length, PULONG resultLength) {
  if (infoClass != KeyBasicInformation) return STATUS_INVALID_PARAMETER;
  if (buffer == nullptr) length = 0;
  ULONG nameBytes = ULONG(key.name.size() * sizeof(WCHAR));
  *resultLength = kKeyBasicFixed + nameBytes;
  if (length < kKeyBasicFixed) return STATUS_BUFFER_TOO_SMALL;
  auto info = static_cast<PKEY_BASIC_INFORMATION>(buffer);
  info->LastWriteTime.QuadPart = key.lastWriteTime;
  info->TitleIndex = 0;
  info->NameLength = nameBytes;
  return Complete(CopyPart(buffer, length, kKeyBasicFixed, key.name.data(), nameBytes));
}

}  // namespace kernel::registry::info
