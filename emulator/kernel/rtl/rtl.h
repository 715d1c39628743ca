// For host modules that hand counted strings to the driver, as Windows does
// for IoRegisterDeviceInterface and similar routines.
#pragma once

#include <string_view>

#include "platform/host/ntdef.h"

namespace kernel::rtl {

// Fills `string` with a zero-terminated copy of `text` in a paged-pool buffer
// that the caller releases with RtlFreeUnicodeString. STATUS_INSUFFICIENT_RESOURCES
// when the pool fails (the string is then left empty), STATUS_INVALID_PARAMETER
// when the text does not fit a counted string.
NTSTATUS AllocateUnicodeString(PUNICODE_STRING string, std::u16string_view text);

}  // namespace kernel::rtl
