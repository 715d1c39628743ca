// The WMI library (wmilib.sys): WmiSystemControl routes a system-control
// request to the driver's WMILIB_CONTEXT callbacks, WmiCompleteRequest fills
// in the WNODE answer and completes it, WmiFireEvent hands an event over.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "emulator/kernel/machine.h"
#include "emulator/kernel/ke/verifier.h"
#include "emulator/kernel/wmi_manager.h"
#include "platform/host/ex.h"

namespace kernel::wmi {
namespace {

struct Events {
  std::mutex lock;
  std::vector<Event> fired;
};

Events& E() {
  static auto* events = new Events;
  return *events;
}

void Boot(const MachineOptions&) {
  std::lock_guard guard(E().lock);
  E().fired.clear();
}

const bool registered = RegisterSubsystem({"wmi events", 67, Boot, nullptr});

constexpr ULONG kAllDataHeader = FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength);

ULONG Align8(ULONG value) { return (value + 7) & ~7u; }

bool IsWmiMinor(UCHAR minor) { return minor <= IRP_MN_EXECUTE_METHOD || minor == IRP_MN_REGINFO_EX; }

bool IsInstanceRequest(UCHAR minor) {
  return minor == IRP_MN_QUERY_SINGLE_INSTANCE || minor == IRP_MN_CHANGE_SINGLE_INSTANCE ||
         minor == IRP_MN_CHANGE_SINGLE_ITEM || minor == IRP_MN_EXECUTE_METHOD;
}

// The WNODE must hold the fixed part its minor function reads, and its data
// block must lie inside the buffer.
template <class Wnode>
bool DataFits(ULONG size, const UCHAR* buffer, ULONG Wnode::*dataSize) {
  if (size < sizeof(Wnode)) return false;
  auto wnode = reinterpret_cast<const Wnode*>(buffer);
  return wnode->DataBlockOffset <= size &&
         (dataSize == nullptr || wnode->*dataSize <= size - wnode->DataBlockOffset);
}

bool WnodeFits(UCHAR minor, ULONG size, const UCHAR* buffer) {
  switch (minor) {
    case IRP_MN_QUERY_SINGLE_INSTANCE:
      return DataFits<WNODE_SINGLE_INSTANCE>(size, buffer, nullptr);
    case IRP_MN_CHANGE_SINGLE_INSTANCE:
      return DataFits(size, buffer, &WNODE_SINGLE_INSTANCE::SizeDataBlock);
    case IRP_MN_CHANGE_SINGLE_ITEM:
      return DataFits(size, buffer, &WNODE_SINGLE_ITEM::SizeDataItem);
    case IRP_MN_EXECUTE_METHOD:
      return DataFits(size, buffer, &WNODE_METHOD_ITEM::SizeDataBlock);
    case IRP_MN_QUERY_ALL_DATA:
    case IRP_MN_REGINFO:
    case IRP_MN_REGINFO_EX:
      return true;  // a short buffer gets the size it needs back
    default:
      return size >= sizeof(WNODE_HEADER);
  }
}

bool FindGuid(const WMILIB_CONTEXT& context, LPCGUID guid, ULONG& index, ULONG& instanceCount) {
  if (guid == nullptr || context.GuidList == nullptr) return false;
  for (ULONG i = 0; i < context.GuidCount; ++i)
    if (context.GuidList[i].Guid != nullptr &&
        std::memcmp(context.GuidList[i].Guid, guid, sizeof(GUID)) == 0) {
      index = i;
      instanceCount = context.GuidList[i].InstanceCount;
      return true;
    }
  return false;
}

void WriteCounted(PUCHAR at, const UNICODE_STRING& text) {
  USHORT length = text.Length;
  std::memcpy(at, &length, sizeof length);
  if (length != 0) std::memcpy(at + sizeof length, text.Buffer, length);
}

// IRP_MN_REGINFO(_EX): a WMIREGINFO with one WMIREGGUID per GUID, then the
// instance name (unless named by PDO), the MOF resource name and the
// registry path, each a counted string.
NTSTATUS AnswerRegInfo(const WMILIB_CONTEXT& context, PDEVICE_OBJECT device, PIRP irp, ULONG size,
                       PUCHAR buffer) {
  ULONG nameFlags = 0;
  UNICODE_STRING name{}, mofResource{};
  PUNICODE_STRING registryPath = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status =
      context.QueryWmiRegInfo != nullptr
          ? context.QueryWmiRegInfo(device, &nameFlags, &name, &registryPath, &mofResource, &pdo)
          : STATUS_INVALID_DEVICE_REQUEST;
  if (NT_SUCCESS(status) && (nameFlags & WMIREG_FLAG_INSTANCE_PDO) == 0 && name.Buffer == nullptr)
    status = STATUS_INVALID_DEVICE_REQUEST;  // instances need a PDO or a name
  if (NT_SUCCESS(status) && (registryPath == nullptr || context.GuidList == nullptr))
    status = STATUS_INVALID_DEVICE_REQUEST;
  ULONG used = 0;
  if (NT_SUCCESS(status)) {
    bool byPdo = (nameFlags & WMIREG_FLAG_INSTANCE_PDO) != 0;
    if (!byPdo) nameFlags |= WMIREG_FLAG_INSTANCE_LIST;
    ULONG nameOffset = sizeof(WMIREGINFOW) + context.GuidCount * sizeof(WMIREGGUIDW);
    ULONG mofOffset = nameOffset + (byPdo ? 0 : name.Length + sizeof(USHORT));
    ULONG pathOffset = mofOffset + mofResource.Length + sizeof(USHORT);
    ULONG needed = pathOffset + registryPath->Length + sizeof(USHORT);
    if (needed <= size) {
      auto info = reinterpret_cast<PWMIREGINFOW>(buffer);
      info->BufferSize = needed;
      info->NextWmiRegInfo = 0;
      info->RegistryPath = pathOffset;
      info->MofResourceName = mofOffset;
      info->GuidCount = context.GuidCount;
      for (ULONG i = 0; i < context.GuidCount; ++i) {
        WMIREGGUIDW& entry = info->WmiRegGuid[i];
        entry.Guid = *context.GuidList[i].Guid;
        entry.Flags = context.GuidList[i].Flags | nameFlags;
        entry.InstanceCount = context.GuidList[i].InstanceCount;
        entry.InstanceInfo = byPdo ? ULONG_PTR(pdo) : nameOffset;
      }
      if (!byPdo) WriteCounted(buffer + nameOffset, name);
      WriteCounted(buffer + mofOffset, mofResource);
      WriteCounted(buffer + pathOffset, *registryPath);
      used = needed;
    } else if (size >= sizeof(ULONG)) {
      std::memcpy(buffer, &needed, sizeof needed);  // the size to ask with
      used = sizeof(ULONG);
    } else {
      status = STATUS_BUFFER_TOO_SMALL;
    }
  }
  if (name.Buffer != nullptr) ExFreePool(name.Buffer);  // the provider's allocation
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = used;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS QueryAllData(const WMILIB_CONTEXT& context, PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex,
                      ULONG instanceCount, ULONG size, PUCHAR buffer) {
  if (size < kAllDataHeader)
    return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, kAllDataHeader, IO_NO_INCREMENT);
  auto wnode = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
  wnode->InstanceCount = instanceCount;
  wnode->WnodeHeader.Flags &= ~WNODE_FLAG_FIXED_INSTANCE_SIZE;
  ULONG dataOffset = Align8(kAllDataHeader + instanceCount * sizeof(OFFSETINSTANCEDATAANDLENGTH));
  wnode->DataBlockOffset = dataOffset;
  bool room = dataOffset <= size;
  auto lengths = room ? reinterpret_cast<PULONG>(&wnode->OffsetInstanceDataAndLength[0]) : nullptr;
  return context.QueryWmiDataBlock(device, irp, guidIndex, 0, instanceCount, lengths,
                                   room ? size - dataOffset : 0, room ? buffer + dataOffset : nullptr);
}

NTSTATUS Dispatch(const WMILIB_CONTEXT& context, PDEVICE_OBJECT device, PIRP irp, UCHAR minor,
                  ULONG guidIndex, ULONG instanceCount, ULONG instance, ULONG size, PUCHAR buffer) {
  switch (minor) {
    case IRP_MN_QUERY_ALL_DATA:
      return QueryAllData(context, device, irp, guidIndex, instanceCount, size, buffer);
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
      auto wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
      return context.QueryWmiDataBlock(device, irp, guidIndex, instance, 1, &wnode->SizeDataBlock,
                                       size - wnode->DataBlockOffset, buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_CHANGE_SINGLE_INSTANCE: {
      auto wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
      return context.SetWmiDataBlock(device, irp, guidIndex, instance, wnode->SizeDataBlock,
                                     buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_CHANGE_SINGLE_ITEM: {
      auto wnode = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer);
      return context.SetWmiDataItem(device, irp, guidIndex, instance, wnode->ItemId, wnode->SizeDataItem,
                                    buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_EXECUTE_METHOD: {
      auto wnode = reinterpret_cast<PWNODE_METHOD_ITEM>(buffer);
      return context.ExecuteWmiMethod(device, irp, guidIndex, instance, wnode->MethodId, wnode->SizeDataBlock,
                                      size - wnode->DataBlockOffset, buffer + wnode->DataBlockOffset);
    }
    default: {  // enable and disable
      if (context.WmiFunctionControl == nullptr)
        return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
      WMIENABLEDISABLECONTROL function =
          minor <= IRP_MN_DISABLE_EVENTS ? WmiEventControl : WmiDataBlockControl;
      BOOLEAN enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
      return context.WmiFunctionControl(device, irp, guidIndex, function, enable);
    }
  }
}

// The callback that a minor function needs, or null when the provider left
// it out: such a request fails without reaching the driver.
NTSTATUS MissingCallback(const WMILIB_CONTEXT& context, UCHAR minor) {
  switch (minor) {
    case IRP_MN_QUERY_ALL_DATA:
    case IRP_MN_QUERY_SINGLE_INSTANCE:
      return context.QueryWmiDataBlock == nullptr ? STATUS_INVALID_DEVICE_REQUEST : STATUS_SUCCESS;
    case IRP_MN_CHANGE_SINGLE_INSTANCE:
      return context.SetWmiDataBlock == nullptr ? STATUS_WMI_READ_ONLY : STATUS_SUCCESS;
    case IRP_MN_CHANGE_SINGLE_ITEM:
      return context.SetWmiDataItem == nullptr ? STATUS_WMI_READ_ONLY : STATUS_SUCCESS;
    case IRP_MN_EXECUTE_METHOD:
      return context.ExecuteWmiMethod == nullptr ? STATUS_INVALID_DEVICE_REQUEST : STATUS_SUCCESS;
    default:
      return STATUS_SUCCESS;
  }
}

// Answers that wmilib leaves to the caller to complete (IrpNotCompleted).
NTSTATUS NotCompleted(PIRP irp, NTSTATUS status, PSYSCTL_IRP_DISPOSITION disposition) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  *disposition = IrpNotCompleted;
  return status;
}

}  // namespace

std::vector<Event> FiredEvents() {
  std::lock_guard guard(E().lock);
  return E().fired;
}

}  // namespace kernel::wmi

NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                PSYSCTL_IRP_DISPOSITION IrpDisposition) {
  using namespace kernel::wmi;
  kernel::verifier::CheckIrql("WmiSystemControl", Irp, PASSIVE_LEVEL);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  UCHAR minor = stack->MinorFunction;
  if (!IsWmiMinor(minor)) {
    *IrpDisposition = IrpNotWmi;
    return Irp->IoStatus.Status;
  }
  if (stack->Parameters.WMI.ProviderId != ULONG_PTR(DeviceObject)) {
    *IrpDisposition = IrpForward;  // meant for another device of the stack
    return Irp->IoStatus.Status;
  }
  ULONG size = stack->Parameters.WMI.BufferSize;
  auto buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
  if (buffer == nullptr || !WnodeFits(minor, size, buffer))
    return NotCompleted(Irp, STATUS_INVALID_PARAMETER, IrpDisposition);
  if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX) {
    *IrpDisposition = IrpProcessed;
    return AnswerRegInfo(*WmiLibInfo, DeviceObject, Irp, size, buffer);
  }
  ULONG guidIndex = 0, instanceCount = 0, instance = 0;
  if (!FindGuid(*WmiLibInfo, static_cast<LPCGUID>(stack->Parameters.WMI.DataPath), guidIndex, instanceCount))
    return NotCompleted(Irp, STATUS_WMI_GUID_NOT_FOUND, IrpDisposition);
  if (IsInstanceRequest(minor)) {
    auto wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
    instance = wnode->InstanceIndex;
    if ((wnode->WnodeHeader.Flags & WNODE_FLAG_STATIC_INSTANCE_NAMES) == 0 || instance >= instanceCount)
      return NotCompleted(Irp, STATUS_WMI_INSTANCE_NOT_FOUND, IrpDisposition);
  }
  NTSTATUS missing = MissingCallback(*WmiLibInfo, minor);
  if (!NT_SUCCESS(missing)) return NotCompleted(Irp, missing, IrpDisposition);
  *IrpDisposition = IrpProcessed;
  return Dispatch(*WmiLibInfo, DeviceObject, Irp, minor, guidIndex, instanceCount, instance, size, buffer);
}

NTSTATUS NTAPI WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                                  CHAR PriorityBoost) {
  using kernel::wmi::Align8;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  auto buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
  ULONG size = stack->Parameters.WMI.BufferSize;
  UCHAR minor = stack->MinorFunction;
  ULONG used = 0;
  // Only answers that carry data get a WNODE back; the buffer must hold the
  // part of the WNODE that says where the data begins.
  ULONG offsetEnd = minor == IRP_MN_QUERY_ALL_DATA          ? offsetof(WNODE_ALL_DATA, InstanceCount)
                    : minor == IRP_MN_QUERY_SINGLE_INSTANCE ? offsetof(WNODE_SINGLE_INSTANCE, SizeDataBlock)
                    : minor == IRP_MN_EXECUTE_METHOD        ? offsetof(WNODE_METHOD_ITEM, SizeDataBlock)
                                                            : 0;
  if (offsetEnd != 0 && buffer != nullptr && size >= std::max<ULONG>(offsetEnd, sizeof(WNODE_TOO_SMALL))) {
    auto header = reinterpret_cast<PWNODE_HEADER>(buffer);
    ULONG dataOffset;
    std::memcpy(&dataOffset, buffer + offsetEnd - sizeof(ULONG), sizeof dataOffset);
    ULONG needed = dataOffset + BufferUsed;
    if (NT_SUCCESS(Status) && needed > size) Status = STATUS_BUFFER_TOO_SMALL;
    if (Status == STATUS_BUFFER_TOO_SMALL) {
      // The answer becomes a WNODE_TOO_SMALL and the request succeeds.
      auto tooSmall = reinterpret_cast<PWNODE_TOO_SMALL>(buffer);
      tooSmall->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
      tooSmall->WnodeHeader.Flags = WNODE_FLAG_TOO_SMALL;
      tooSmall->SizeNeeded = needed;
      used = sizeof(WNODE_TOO_SMALL);
      Status = STATUS_SUCCESS;
    } else if (NT_SUCCESS(Status)) {
      header->BufferSize = needed;
      KeQuerySystemTime(&header->TimeStamp);
      used = needed;
      if (minor == IRP_MN_EXECUTE_METHOD)
        reinterpret_cast<PWNODE_METHOD_ITEM>(buffer)->SizeDataBlock = BufferUsed;
      if (minor == IRP_MN_QUERY_ALL_DATA) {
        // The driver wrote one length per instance; they become (offset, length) pairs.
        auto wnode = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
        auto lengths = reinterpret_cast<PULONG>(&wnode->OffsetInstanceDataAndLength[0]);
        for (ULONG i = wnode->InstanceCount; i != 0; --i)
          wnode->OffsetInstanceDataAndLength[i - 1].LengthInstanceData = lengths[i - 1];
        ULONG offset = dataOffset;
        for (ULONG i = 0; i < wnode->InstanceCount; ++i) {
          wnode->OffsetInstanceDataAndLength[i].OffsetInstanceData = offset;
          offset = Align8(offset + wnode->OffsetInstanceDataAndLength[i].LengthInstanceData);
        }
      }
    }
  }
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = used;
  IoCompleteRequest(Irp, PriorityBoost);
  return Status;
}

NTSTATUS NTAPI WmiFireEvent(PDEVICE_OBJECT DeviceObject, LPCGUID Guid, ULONG InstanceIndex,
                            ULONG EventDataSize, PVOID EventData) {
  using namespace kernel::wmi;
  kernel::verifier::CheckIrql("WmiFireEvent", DeviceObject, DISPATCH_LEVEL);
  if (Guid == nullptr) return STATUS_INVALID_PARAMETER;
  Event event{DeviceObject, *Guid, InstanceIndex, {}};
  if (EventData != nullptr) {
    auto bytes = static_cast<const uint8_t*>(EventData);
    event.data.assign(bytes, bytes + EventDataSize);
    ExFreePool(EventData);  // the event data belongs to WMI from here on
  }
  std::lock_guard guard(E().lock);
  E().fired.push_back(std::move(event));
  return STATUS_SUCCESS;
}
