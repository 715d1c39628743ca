// The one dispatch routine of IRP_MJ_READ and IRP_MJ_WRITE.
#pragma once

#include "platform/platform.h"

// Reads go to QueueOrCompleteReadIrp; writes cancel WriteTimer and go to
// QueueOrStartWriteIrp. Runs at PASSIVE_LEVEL and takes no remove lock.
DRIVER_DISPATCH DispatchReadWrite;
