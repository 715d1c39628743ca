// Line formats in and out of a DCB.
#pragma once

#include "user/tool/line_format.h"
#include "user/win32/windows.h"

namespace t7315 {

// The line format a DCB describes.
LineFormat FormatOf(const DCB& dcb);
// Applies to `dcb` the fields in which `now` differs from `before`, so that
// a change seen on one side leaves the others' settings alone.
void ApplyFormatChange(const LineFormat& before, const LineFormat& now, DCB& dcb);

}  // namespace t7315
