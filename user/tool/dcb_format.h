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
// Receive flow control limits for a reader that may fall behind: the far end
// is told to stop with 4 KB of the receive buffer still free, room for what is
// already on its way (the far chip's FIFO, a chunk in flight, a few
// milliseconds of USB round trips), and to go on once 2 KB are left.
void SetFlowLimits(DCB& dcb);

}  // namespace t7315
