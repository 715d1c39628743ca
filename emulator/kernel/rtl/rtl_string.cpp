// Counted-string routines of the run-time library, with the kernel's rules:
// appends that do not fit fail and leave the destination alone, copies and
// conversions into a fixed buffer truncate, and a terminator is stored only
// where there is room for it.
#include <string.h>

#include "emulator/kernel/pool.h"
#include "emulator/kernel/rtl/rtl.h"
#include "emulator/kernel/rtl/text.h"
#include "platform/host/ex.h"

namespace {

constexpr size_t kMaxStringBytes = 0xFFFE;  // the largest USHORT length that is even

size_t WideLength(PCWSTR s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

void Terminate(PUNICODE_STRING s) {
  if (s->Length + sizeof(WCHAR) <= s->MaximumLength) s->Buffer[s->Length / sizeof(WCHAR)] = 0;
}

NTSTATUS Append(PUNICODE_STRING destination, const WCHAR* source, size_t bytes) {
  if (destination->Length + bytes > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  memmove(reinterpret_cast<char*>(destination->Buffer) + destination->Length, source, bytes);
  destination->Length = USHORT(destination->Length + bytes);
  Terminate(destination);
  return STATUS_SUCCESS;
}

PVOID AllocateStringBuffer(size_t bytes) {
  return ExAllocatePoolWithTag(PagedPool, bytes, kernel::pool::kStringTag);
}

// Digit value of c, or 99 when c is no digit at all.
ULONG DigitValue(WCHAR c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'z') return c - u'a' + 10;
  if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
  return 99;
}

bool IsValidBase(ULONG base) { return base == 2 || base == 8 || base == 10 || base == 16; }

}  // namespace

namespace kernel::rtl {

NTSTATUS AllocateUnicodeString(PUNICODE_STRING string, std::u16string_view text) {
  size_t bytes = text.size() * sizeof(WCHAR);
  if (bytes > kMaxStringBytes - sizeof(WCHAR)) return STATUS_INVALID_PARAMETER;
  auto buffer = static_cast<PWSTR>(AllocateStringBuffer(bytes + sizeof(WCHAR)));
  if (buffer == nullptr) {
    *string = UNICODE_STRING{0, 0, nullptr};
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  memcpy(buffer, text.data(), bytes);
  buffer[text.size()] = 0;
  *string = UNICODE_STRING{USHORT(bytes), USHORT(bytes + sizeof(WCHAR)), buffer};
  return STATUS_SUCCESS;
}

}  // namespace kernel::rtl

SIZE_T RtlCompareMemory(const VOID* source1, const VOID* source2, SIZE_T length) {
  auto a = static_cast<const UCHAR*>(source1);
  auto b = static_cast<const UCHAR*>(source2);
  SIZE_T same = 0;
  while (same < length && a[same] == b[same]) ++same;
  return same;
}

VOID RtlInitUnicodeString(PUNICODE_STRING destinationString, PCWSTR sourceString) {
  destinationString->Buffer = const_cast<PWSTR>(sourceString);
  if (sourceString == nullptr) {
    destinationString->Length = destinationString->MaximumLength = 0;
    return;
  }
  size_t bytes = WideLength(sourceString) * sizeof(WCHAR);
  if (bytes > kMaxStringBytes - sizeof(WCHAR)) bytes = kMaxStringBytes - sizeof(WCHAR);
  destinationString->Length = USHORT(bytes);
  destinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
}

VOID RtlInitAnsiString(PANSI_STRING destinationString, PCSTR sourceString) {
  destinationString->Buffer = const_cast<PCHAR>(sourceString);
  if (sourceString == nullptr) {
    destinationString->Length = destinationString->MaximumLength = 0;
    return;
  }
  size_t bytes = strlen(sourceString);
  if (bytes > kMaxStringBytes - 1) bytes = kMaxStringBytes - 1;
  destinationString->Length = USHORT(bytes);
  destinationString->MaximumLength = USHORT(bytes + 1);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING destinationString, PCUNICODE_STRING sourceString) {
  if (sourceString == nullptr) {
    destinationString->Length = 0;
    return;
  }
  USHORT bytes = sourceString->Length < destinationString->MaximumLength ? sourceString->Length
                                                                         : destinationString->MaximumLength;
  bytes &= USHORT(~1u);
  memmove(destinationString->Buffer, sourceString->Buffer, bytes);
  destinationString->Length = bytes;
  Terminate(destinationString);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source) {
  if (source == nullptr) return STATUS_SUCCESS;
  return Append(destination, source, WideLength(source) * sizeof(WCHAR));
}

// Unlike the zero-terminated form, an empty source leaves the destination alone.
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
  if (source->Length == 0) return STATUS_SUCCESS;
  return Append(destination, source->Buffer, source->Length);
}

WCHAR RtlUpcaseUnicodeChar(WCHAR sourceCharacter) { return kernel::text::Upcase(sourceCharacter); }

LONG RtlCompareUnicodeString(PCUNICODE_STRING string1, PCUNICODE_STRING string2, BOOLEAN caseInSensitive) {
  std::u16string_view a = kernel::text::View(*string1), b = kernel::text::View(*string2);
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    WCHAR x = caseInSensitive ? kernel::text::Upcase(a[i]) : a[i];
    WCHAR y = caseInSensitive ? kernel::text::Upcase(b[i]) : b[i];
    if (x != y) return LONG(x) - LONG(y);
  }
  return LONG(string1->Length) - LONG(string2->Length);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING string1, PCUNICODE_STRING string2, BOOLEAN caseInSensitive) {
  return string1->Length == string2->Length &&
         RtlCompareUnicodeString(string1, string2, caseInSensitive) == 0;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING unicodeString) {
  if (unicodeString->Buffer != nullptr) ExFreePoolWithTag(unicodeString->Buffer, kernel::pool::kStringTag);
  *unicodeString = UNICODE_STRING{0, 0, nullptr};
}

VOID RtlFreeAnsiString(PANSI_STRING ansiString) {
  if (ansiString->Buffer != nullptr) ExFreePoolWithTag(ansiString->Buffer, kernel::pool::kStringTag);
  *ansiString = ANSI_STRING{0, 0, nullptr};
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING destinationString, const ANSI_STRING* sourceString,
                                      BOOLEAN allocateDestinationString) {
  size_t bytes = size_t(sourceString->Length) * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_INVALID_PARAMETER_2;
  PWSTR buffer = destinationString->Buffer;
  USHORT maximum = destinationString->MaximumLength;
  if (allocateDestinationString) {
    maximum = USHORT(bytes + sizeof(WCHAR));
    buffer = static_cast<PWSTR>(AllocateStringBuffer(maximum));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
  } else if (bytes >= maximum) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (USHORT i = 0; i < sourceString->Length; ++i) buffer[i] = WCHAR(UCHAR(sourceString->Buffer[i]));
  buffer[sourceString->Length] = 0;
  *destinationString = UNICODE_STRING{USHORT(bytes), maximum, buffer};
  return STATUS_SUCCESS;
}

// A character outside Latin-1 has no single-byte form and becomes '?'. Into a
// fixed buffer that is too short, as much as fits is converted and terminated
// and the result is STATUS_BUFFER_OVERFLOW.
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING destinationString, PCUNICODE_STRING sourceString,
                                      BOOLEAN allocateDestinationString) {
  size_t chars = sourceString->Length / sizeof(WCHAR);
  if (chars + 1 > 0xFFFF) return STATUS_INVALID_PARAMETER_2;
  NTSTATUS status = STATUS_SUCCESS;
  PCHAR buffer = destinationString->Buffer;
  USHORT maximum = destinationString->MaximumLength;
  if (allocateDestinationString) {
    maximum = USHORT(chars + 1);
    buffer = static_cast<PCHAR>(AllocateStringBuffer(maximum));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
  } else if (chars >= maximum) {
    if (maximum == 0) return STATUS_BUFFER_OVERFLOW;
    status = STATUS_BUFFER_OVERFLOW;
    chars = maximum - 1;
  }
  for (size_t i = 0; i < chars; ++i) {
    WCHAR c = sourceString->Buffer[i];
    buffer[i] = c <= 0xFF ? CHAR(c) : '?';
  }
  buffer[chars] = 0;
  *destinationString = ANSI_STRING{USHORT(chars), maximum, buffer};
  return status;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string) {
  if (base == 0) base = 10;
  if (!IsValidBase(base)) return STATUS_INVALID_PARAMETER;
  CHAR digits[33];
  size_t n = 0;
  do {
    ULONG digit = value % base;
    digits[n++] = CHAR(digit < 10 ? '0' + digit : 'A' + digit - 10);
    value /= base;
  } while (value != 0);
  if ((n + 1) * sizeof(WCHAR) > string->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (size_t i = 0; i < n; ++i) string->Buffer[i] = WCHAR(digits[n - 1 - i]);
  string->Buffer[n] = 0;
  string->Length = USHORT(n * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

// Leading blanks, a sign, and with base 0 a prefix 0x, 0o or 0b are accepted;
// conversion stops at the first character that is no digit of the base.
NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING string, ULONG base, PULONG value) {
  std::u16string_view text = kernel::text::View(*string);
  size_t i = 0;
  while (i < text.size() && text[i] <= u' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  if (base == 0) {
    base = 10;
    if (i + 1 < text.size() && text[i] == u'0') {
      WCHAR prefix = text[i + 1];
      ULONG prefixed = prefix == u'x' ? 16 : prefix == u'o' ? 8 : prefix == u'b' ? 2 : 0;
      if (prefixed != 0) {
        base = prefixed;
        i += 2;
      }
    }
  } else if (!IsValidBase(base)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (value == nullptr) return STATUS_ACCESS_VIOLATION;
  ULONG total = 0;
  for (; i < text.size() && DigitValue(text[i]) < base; ++i) total = total * base + DigitValue(text[i]);
  *value = negative ? 0 - total : total;
  return STATUS_SUCCESS;
}
