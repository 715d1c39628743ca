#include "driver/device/wmi.h"

#include "driver/context/device_power_requests.h"
#include "driver/device/registry_values.h"
#include "driver/device/trace_provider.h"
#include "driver/device/remote_wake.h"

const GUID WakeEnableGuid = {0x8209EC2A, 0x2D6B, 0x11D2, {0xBA, 0x49, 0x00, 0xA0, 0xC9, 0x06, 0x29, 0x10}};

namespace {

constexpr ULONG WakeEnableGuidIndex = 0;
constexpr ULONG WakeEnableItemId = 1;
constexpr ULONG WakeEnableSize = 1;  // the block is one byte

WMIGUIDREGINFO WakeGuidList[] = {{&WakeEnableGuid, 1, WMIREG_FLAG_INSTANCE_PDO}};

WMILIB_CONTEXT WmiLibContext = {
    sizeof WakeGuidList / sizeof WakeGuidList[0],
    WakeGuidList,
    WmiQueryRegInfo,
    WmiQueryWakeEnable,
    WmiSetWakeEnableBlock,
    WmiSetWakeEnableItem,
    WmiExecuteMethodNotSupported,
    WmiFunctionControlNotSupported,
};

NTSTATUS Finish(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG Used) {
  return WmiCompleteRequest(DeviceObject, Irp, Status, Used, IO_NO_INCREMENT);
}

// The switch is a boolean: any non-zero byte enables wake-up.
UCHAR WakeValue(PUCHAR Buffer) { return Buffer[0] != 0 ? 1 : 0; }

VOID StoreWakeEnable(PPORT_DEVICE_CONTEXT Context, UCHAR Enable) {
  HANDLE key;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Context->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_SET_VALUE, &key))) {
    return;
  }
  ULONG value = Enable;
  WriteKeyValue(key, WIDE("DeviceWakeEnable"), sizeof(WIDE("DeviceWakeEnable")), REG_DWORD, &value,
                sizeof value);
  ZwClose(key);
}

}  // namespace

NTSTATUS DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  NTSTATUS status = IoAcquireRemoveLock(&context->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) {
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
  }
  SYSCTL_IRP_DISPOSITION disposition = IrpForward;
  status = WmiSystemControl(&WmiLibContext, DeviceObject, Irp, &disposition);
  switch (disposition) {
    case IrpProcessed:
      break;
    case IrpNotCompleted:
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      break;
    default:  // not for this provider
      IoSkipCurrentIrpStackLocation(Irp);
      status = IoCallDriver(context->LowerDeviceObject, Irp);
      break;
  }
  IoReleaseRemoveLock(&context->RemoveLock, Irp);
  return status;
}

VOID SetWakeEnable(PPORT_DEVICE_CONTEXT Context, UCHAR Enable) {
  if (Enable == Context->DeviceWakeEnable) {
    return;
  }
  Context->DeviceWakeEnable = Enable;
  if (Enable != 0) {
    EnsureDeviceD0(Context, TRUE);
  }
  if (Context->DeviceEnable != 0 && !IoIsWdmVersionAvailable(1, 0x20)) {
    RequestDevicePowerIfActive(Context, PowerDeviceD3, TRUE);
  }
  StoreWakeEnable(Context, Enable);
  TraceText(TRACE_LEVEL_INFORMATION, TraceFlagWmi, 1, Enable != 0 ? "wake enabled" : "wake disabled");
}

NTSTATUS WmiQueryRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                         PUNICODE_STRING* RegistryPath, PUNICODE_STRING MofResourceName,
                         PDEVICE_OBJECT* Pdo) {
  *RegFlags = WMIREG_FLAG_INSTANCE_PDO;
  *RegistryPath = &DriverRegistryPath;
  RtlInitUnicodeString(MofResourceName, WIDE("MofResource"));
  *Pdo = GetPortContext(DeviceObject)->Pdo;
  return STATUS_SUCCESS;
}

NTSTATUS WmiQueryWakeEnable(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                            ULONG InstanceCount, PULONG InstanceLengthArray, ULONG BufferAvail,
                            PUCHAR Buffer) {
  if (GuidIndex != WakeEnableGuidIndex) {
    return Finish(DeviceObject, Irp, STATUS_WMI_GUID_NOT_FOUND, 0);
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (InstanceIndex != 0 || InstanceCount != 1) {
    status = STATUS_WMI_INSTANCE_NOT_FOUND;
  } else if (InstanceLengthArray == nullptr || BufferAvail < WakeEnableSize || Buffer == nullptr) {
    status = STATUS_BUFFER_TOO_SMALL;
  } else {
    Buffer[0] = GetPortContext(DeviceObject)->DeviceWakeEnable;
    InstanceLengthArray[0] = WakeEnableSize;
  }
  return Finish(DeviceObject, Irp, status, WakeEnableSize);
}

NTSTATUS WmiSetWakeEnableBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                               ULONG BufferSize, PUCHAR Buffer) {
  if (GuidIndex != WakeEnableGuidIndex) {
    return Finish(DeviceObject, Irp, STATUS_WMI_GUID_NOT_FOUND, 0);
  }
  if (InstanceIndex != 0) {
    return Finish(DeviceObject, Irp, STATUS_WMI_INSTANCE_NOT_FOUND, WakeEnableSize);
  }
  if (BufferSize != WakeEnableSize || Buffer == nullptr) {
    return Finish(DeviceObject, Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
  }
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  UCHAR enable = WakeValue(Buffer);
  SetWakeEnable(context, enable);
  return Finish(DeviceObject, Irp, SendRemoteWakeFeature(context, enable), WakeEnableSize);
}

NTSTATUS WmiSetWakeEnableItem(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                              ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer) {
  if (GuidIndex != WakeEnableGuidIndex) {
    return Finish(DeviceObject, Irp, STATUS_WMI_GUID_NOT_FOUND, 0);
  }
  if (InstanceIndex != 0) {
    return Finish(DeviceObject, Irp, STATUS_WMI_INSTANCE_NOT_FOUND, WakeEnableSize);
  }
  if (DataItemId != WakeEnableItemId) {
    return Finish(DeviceObject, Irp, STATUS_WMI_ITEMID_NOT_FOUND, WakeEnableSize);
  }
  if (BufferSize != WakeEnableSize || Buffer == nullptr) {
    return Finish(DeviceObject, Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
  }
  SetWakeEnable(GetPortContext(DeviceObject), WakeValue(Buffer));
  return Finish(DeviceObject, Irp, STATUS_SUCCESS, WakeEnableSize);
}

NTSTATUS WmiExecuteMethodNotSupported(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                      ULONG InstanceIndex, ULONG MethodId, ULONG InBufferSize,
                                      ULONG OutBufferSize, PUCHAR Buffer) {
  return Finish(DeviceObject, Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS WmiFunctionControlNotSupported(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                        WMIENABLEDISABLECONTROL Function, BOOLEAN Enable) {
  return Finish(DeviceObject, Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}
