// The kernel's copy of KUSER_SHARED_DATA, the page Windows maps at
// 0xFFFFF78000000000 and updates at every clock tick. Driver images read the
// time from it (KeQuerySystemTime and KeQueryInterruptTime are macros over
// it on x64); the image loader points those reads at this page.
#pragma once

#include <cstdint>

namespace kernel::shared_data {

// Where Windows maps the page, and the offsets of the fields kept here.
constexpr uint64_t kWindowsAddress = 0xFFFFF78000000000ull;
constexpr uint32_t kInterruptTime = 0x08;
constexpr uint32_t kSystemTime = 0x14;
constexpr uint32_t kPageSize = 0x1000;

// The page's address in this process.
uint8_t* Page();

// Writes both times as the clock tick does, so that a reader of either
// KSYSTEM_TIME sees a whole value. Called by the scheduler, under the
// dispatcher lock, whenever the virtual clock moves or the real one ticks.
void Publish(int64_t interruptTime, int64_t systemTime);

// On the real clock the page is refreshed every millisecond while at least
// one loaded image reads it; the virtual clock needs no refresh.
void AddReader();
void RemoveReader();

}  // namespace kernel::shared_data
