// Internal to the WMI modules: the provider table that IoWMIRegistrationControl
// keeps and the requests and trace sessions read.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "emulator/kernel/wmi_manager.h"

namespace kernel::wmi::internal {

struct GuidInfo {
  GUID guid;
  ULONG flags;
  ULONG instanceCount;
  std::vector<std::u16string> instanceNames;  // static names, when known
};

struct Provider {
  const void* object;                          // the device object, or the callback block
  bool callback;                               // WMIREG_FLAG_CALLBACK: the block starts with a WMIENTRY
  bool blocked = false;                        // WMIREG_ACTION_BLOCK_IRPS: no more requests
  std::optional<std::vector<GuidInfo>> guids;  // registration information, once asked
};

std::mutex& Lock();
std::vector<Provider>& Providers();
Provider* Find(const void* object);  // lock held

// The registration information of a provider, asked for on first use.
std::optional<std::vector<GuidInfo>> GuidsOf(const void* provider);

// Hands a prepared buffer to a provider: IRP_MJ_SYSTEM_CONTROL for a device
// object, the WMIENTRY for a callback block. PASSIVE_LEVEL.
Reply Deliver(const void* provider, UCHAR minor, PVOID dataPath, std::vector<uint8_t> buffer);

}  // namespace kernel::wmi::internal
