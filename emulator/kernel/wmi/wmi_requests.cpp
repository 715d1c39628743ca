// Requests to WMI providers as the WMI service builds them, and the reading
// of their answers.
#include <algorithm>
#include <cstring>

#include "emulator/kernel/pool.h"
#include "emulator/kernel/ke/verifier.h"
#include "emulator/kernel/wmi/wmi_internal.h"
#include "platform/host/ex.h"

namespace kernel::wmi {
namespace {

constexpr ULONG kBufferTag = pool::Tag("WmiB");

ULONG Align8(size_t value) { return ULONG((value + 7) & ~size_t(7)); }

template <class Wnode>
Wnode* As(std::vector<uint8_t>& buffer) {
  return reinterpret_cast<Wnode*>(buffer.data());
}

template <class Wnode>
bool Read(const Reply& reply, Wnode& wnode) {
  if (reply.buffer.size() < sizeof(Wnode)) return false;
  std::memcpy(&wnode, reply.buffer.data(), sizeof wnode);
  return true;
}

// A WNODE with an instance name behind its fixed part and the data block
// after that, 8-byte aligned. Returns the data block's offset.
template <class Wnode>
ULONG LayOut(std::vector<uint8_t>& buffer, const std::u16string& name, size_t dataRoom) {
  ULONG nameBytes = ULONG(name.size() * sizeof(char16_t));
  ULONG dataOffset = Align8(sizeof(Wnode) + sizeof(USHORT) + nameBytes);
  buffer.assign(dataOffset + dataRoom, 0);
  auto wnode = As<Wnode>(buffer);
  wnode->OffsetInstanceName = sizeof(Wnode);
  USHORT length = USHORT(nameBytes);
  std::memcpy(buffer.data() + sizeof(Wnode), &length, sizeof length);
  std::memcpy(buffer.data() + sizeof(Wnode) + sizeof length, name.data(), nameBytes);
  wnode->DataBlockOffset = dataOffset;
  return dataOffset;
}

std::vector<uint8_t> BuildWnode(const Request& request, const std::u16string& name) {
  std::vector<uint8_t> buffer;
  ULONG flags = 0;
  switch (request.minorFunction) {
    case IRP_MN_QUERY_ALL_DATA:
      buffer.assign(FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) + request.dataCapacity, 0);
      flags = WNODE_FLAG_ALL_DATA;
      break;
    case IRP_MN_QUERY_SINGLE_INSTANCE:
    case IRP_MN_CHANGE_SINGLE_INSTANCE: {
      bool change = request.minorFunction == IRP_MN_CHANGE_SINGLE_INSTANCE;
      ULONG offset =
          LayOut<WNODE_SINGLE_INSTANCE>(buffer, name, change ? request.data.size() : request.dataCapacity);
      As<WNODE_SINGLE_INSTANCE>(buffer)->InstanceIndex = request.instance;
      if (change) {
        As<WNODE_SINGLE_INSTANCE>(buffer)->SizeDataBlock = ULONG(request.data.size());
        std::copy(request.data.begin(), request.data.end(), buffer.begin() + offset);
      }
      flags = WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES;
      break;
    }
    case IRP_MN_CHANGE_SINGLE_ITEM: {
      ULONG offset = LayOut<WNODE_SINGLE_ITEM>(buffer, name, request.data.size());
      auto wnode = As<WNODE_SINGLE_ITEM>(buffer);
      wnode->InstanceIndex = request.instance;
      wnode->ItemId = request.itemId;
      wnode->SizeDataItem = ULONG(request.data.size());
      std::copy(request.data.begin(), request.data.end(), buffer.begin() + offset);
      flags = WNODE_FLAG_SINGLE_ITEM | WNODE_FLAG_STATIC_INSTANCE_NAMES;
      break;
    }
    case IRP_MN_EXECUTE_METHOD: {
      ULONG offset = LayOut<WNODE_METHOD_ITEM>(buffer, name,
                                               std::max<size_t>(request.data.size(), request.dataCapacity));
      auto wnode = As<WNODE_METHOD_ITEM>(buffer);
      wnode->InstanceIndex = request.instance;
      wnode->MethodId = request.itemId;
      wnode->SizeDataBlock = ULONG(request.data.size());
      std::copy(request.data.begin(), request.data.end(), buffer.begin() + offset);
      flags = WNODE_FLAG_METHOD_ITEM | WNODE_FLAG_STATIC_INSTANCE_NAMES;
      break;
    }
    default:
      buffer.assign(sizeof(WNODE_HEADER), 0);
      break;
  }
  auto header = As<WNODE_HEADER>(buffer);
  header->BufferSize = ULONG(buffer.size());
  header->Guid = request.guid;
  header->Flags = flags;
  return buffer;
}

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

Reply SendIrp(PDEVICE_OBJECT provider, UCHAR minor, PVOID dataPath, std::vector<uint8_t> buffer) {
  Reply reply{STATUS_INSUFFICIENT_RESOURCES, 0, std::move(buffer)};
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(provider);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  // The provider gets a pool buffer of exactly the request's size.
  PVOID data = ExAllocatePoolWithTag(NonPagedPoolNx, std::max<size_t>(reply.buffer.size(), 1), kBufferTag);
  if (irp != nullptr && data != nullptr) {
    std::memcpy(data, reply.buffer.data(), reply.buffer.size());
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    stack->MinorFunction = minor;
    stack->Parameters.WMI.ProviderId = ULONG_PTR(provider);
    stack->Parameters.WMI.DataPath = dataPath;
    stack->Parameters.WMI.BufferSize = ULONG(reply.buffer.size());
    stack->Parameters.WMI.Buffer = data;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    reply.status = irp->IoStatus.Status;
    reply.information = irp->IoStatus.Information;
    std::memcpy(reply.buffer.data(), data, reply.buffer.size());
  }
  if (data != nullptr) ExFreePoolWithTag(data, kBufferTag);
  if (irp != nullptr) IoFreeIrp(irp);
  ObDereferenceObject(top);
  return reply;
}

Reply CallEntry(const void* block, UCHAR minor, PVOID dataPath, std::vector<uint8_t> buffer) {
  WMIENTRY entry;
  std::memcpy(&entry, block, sizeof entry);
  ULONG used = 0;
  NTSTATUS status =
      entry(minor, dataPath, ULONG(buffer.size()), buffer.data(), const_cast<void*>(block), &used);
  return Reply{status, used, std::move(buffer)};
}

// The provider whose registration lists `guid`, with the static name of
// the instance asked for.
const void* ProviderOf(const GUID& guid, ULONG instance, std::u16string& name) {
  std::vector<const void*> objects;
  {
    std::lock_guard guard(internal::Lock());
    for (const internal::Provider& provider : internal::Providers()) objects.push_back(provider.object);
  }
  for (const void* object : objects) {
    auto guids = internal::GuidsOf(object);
    if (!guids) continue;
    for (const internal::GuidInfo& info : *guids)
      if (std::memcmp(&info.guid, &guid, sizeof guid) == 0) {
        name = instance < info.instanceNames.size() ? info.instanceNames[instance] : std::u16string();
        return object;
      }
  }
  return nullptr;
}

Reply Failed(NTSTATUS status) { return Reply{status, 0, {}}; }

}  // namespace

namespace internal {

Reply Deliver(const void* object, UCHAR minor, PVOID dataPath, std::vector<uint8_t> buffer) {
  verifier::CheckIrql("WMI request", object, PASSIVE_LEVEL);
  bool callback;
  {
    std::lock_guard guard(Lock());
    Provider* provider = Find(object);
    if (provider == nullptr) return Failed(STATUS_WMI_GUID_NOT_FOUND);
    if (provider->blocked) return Failed(STATUS_INVALID_DEVICE_STATE);
    callback = provider->callback;
  }
  return callback ? CallEntry(object, minor, dataPath, std::move(buffer))
                  : SendIrp(static_cast<PDEVICE_OBJECT>(const_cast<void*>(object)), minor, dataPath,
                            std::move(buffer));
}

}  // namespace internal

Reply Send(const Request& request) {
  std::u16string name;
  const void* provider = ProviderOf(request.guid, request.instance, name);
  if (provider == nullptr) return Failed(STATUS_WMI_GUID_NOT_FOUND);
  GUID guid = request.guid;
  return internal::Deliver(provider, request.minorFunction, &guid, BuildWnode(request, name));
}

Reply SendTo(const void* provider, const Request& request) {
  GUID guid = request.guid;
  return internal::Deliver(provider, request.minorFunction, &guid, BuildWnode(request, std::u16string()));
}

Reply RegInfo(const void* provider, ULONG bufferSize) {
  bool callback;
  {
    std::lock_guard guard(internal::Lock());
    internal::Provider* registered = internal::Find(provider);
    callback = registered != nullptr && registered->callback;
  }
  // Device providers are asked the newer way, callback blocks the classic one.
  return internal::Deliver(provider, callback ? IRP_MN_REGINFO : IRP_MN_REGINFO_EX,
                           reinterpret_cast<PVOID>(WMIREGISTER), std::vector<uint8_t>(bufferSize, 0));
}

ULONG SizeNeeded(const Reply& reply) {
  WNODE_TOO_SMALL wnode;
  if (!Read(reply, wnode) || (wnode.WnodeHeader.Flags & WNODE_FLAG_TOO_SMALL) == 0) return 0;
  return wnode.SizeNeeded;
}

std::vector<uint8_t> InstanceData(const Reply& reply, ULONG instance) {
  WNODE_HEADER header;
  if (!Read(reply, header) || (header.Flags & WNODE_FLAG_TOO_SMALL)) return {};
  size_t offset = 0, length = 0;
  if (header.Flags & WNODE_FLAG_ALL_DATA) {
    WNODE_ALL_DATA wnode;
    if (!Read(reply, wnode) || instance >= wnode.InstanceCount ||
        (header.Flags & WNODE_FLAG_FIXED_INSTANCE_SIZE))
      return {};
    size_t pair = FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                  instance * sizeof(OFFSETINSTANCEDATAANDLENGTH);
    if (pair + sizeof(OFFSETINSTANCEDATAANDLENGTH) > reply.buffer.size()) return {};
    OFFSETINSTANCEDATAANDLENGTH entry;
    std::memcpy(&entry, reply.buffer.data() + pair, sizeof entry);
    offset = entry.OffsetInstanceData;
    length = entry.LengthInstanceData;
  } else if (header.Flags & WNODE_FLAG_SINGLE_INSTANCE) {
    WNODE_SINGLE_INSTANCE wnode;
    if (!Read(reply, wnode)) return {};
    offset = wnode.DataBlockOffset;
    length = wnode.SizeDataBlock;
  } else if (header.Flags & WNODE_FLAG_METHOD_ITEM) {
    WNODE_METHOD_ITEM wnode;
    if (!Read(reply, wnode)) return {};
    offset = wnode.DataBlockOffset;
    length = wnode.SizeDataBlock;
  }
  if (offset + length > reply.buffer.size() || offset + length > reply.information) return {};
  return std::vector<uint8_t>(reply.buffer.begin() + offset, reply.buffer.begin() + offset + length);
}

}  // namespace kernel::wmi
