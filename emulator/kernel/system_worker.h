// Work that must run at PASSIVE_LEVEL on a system thread, queued from any
// IRQL up to DISPATCH_LEVEL: the Plug and Play manager's queued actions and
// power requests for DO_POWER_PAGABLE devices asked for at raised IRQL.
// Every item gets a thread of its own, so an item that waits for another
// cannot deadlock the queue.
#pragma once

#include <functional>

namespace kernel::worker {

void Queue(std::function<void()> work);
// Waits (PASSIVE_LEVEL) until every item queued so far has finished.
void WaitForIdle();

}  // namespace kernel::worker
