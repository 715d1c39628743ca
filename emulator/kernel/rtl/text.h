// Text helpers shared by the executive services: UTF-16 (the kernel's WCHAR
// text) to and from UTF-8 (host file names, the registry file), and the
// case folding the kernel uses for names.
#pragma once

#include <string>
#include <string_view>

#include "platform/host/ntdef.h"

namespace kernel::text {

std::u16string FromUtf8(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string ToUtf8(std::u16string_view utf16);
// True when the text has no unpaired surrogate, so that it survives UTF-8.
bool IsWellFormed(std::u16string_view utf16);

char16_t Upcase(char16_t c);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
// Orders names as the registry enumerates them: by their upcased characters.
bool LessNoCase(std::u16string_view a, std::u16string_view b);

// The characters of a counted string (Length is in bytes).
std::u16string_view View(const UNICODE_STRING& string);

}  // namespace kernel::text
