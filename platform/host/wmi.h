// WMI and event tracing for the host build: the WMI library's provider
// context and callbacks, registration with the I/O manager, the WNODE records
// of WMI requests, and the trace routines that drivers resolve at run time.
// Names, values and x64 layouts are those of the Windows headers.
#pragma once

#include "platform/host/ntdef.h"

struct _DEVICE_OBJECT;
struct _IRP;

// ---------------------------------------------------------------------------
// Registration with the I/O manager

#define WMIREG_ACTION_REGISTER 1
#define WMIREG_ACTION_DEREGISTER 2
#define WMIREG_ACTION_REREGISTER 3
#define WMIREG_ACTION_UPDATE_GUIDS 4
#define WMIREG_ACTION_BLOCK_IRPS 5

// The object registered is not a device object but a block whose first
// member is a WMIENTRY routine.
#define WMIREG_FLAG_CALLBACK 0x80000000
// The provider is a trace provider.
#define WMIREG_FLAG_TRACE_PROVIDER 0x00010000

// DataPath of an IRP_MN_REGINFO request to a callback provider.
#define WMIREGISTER 0
#define WMIUPDATE 1

// A callback provider's entry: ActionCode is one of the IRP_MN_* minor codes
// of IRP_MJ_SYSTEM_CONTROL (io.h), Context the registered block, *Size
// receives the bytes written to Buffer.
typedef NTSTATUS(NTAPI* WMIENTRY)(UCHAR ActionCode, PVOID DataPath, ULONG BufferSize, PVOID Buffer,
                                  PVOID Context, PULONG Size);

// Registers (WMIREG_ACTION_REGISTER) or removes (WMIREG_ACTION_DEREGISTER) a
// WMI provider, possibly a callback block (WMIREG_FLAG_CALLBACK).
NTSTATUS NTAPI IoWMIRegistrationControl(struct _DEVICE_OBJECT* DeviceObject, ULONG Action);

// ---------------------------------------------------------------------------
// WNODE records: the buffers of WMI requests

typedef struct _WNODE_HEADER {
  ULONG BufferSize;
  ULONG ProviderId;
  union {
    ULONG64 HistoricalContext;  // the logger handle in trace enable requests
    struct {
      ULONG Version;
      ULONG Linkage;
    };
  };
  union {
    ULONG CountLost;
    HANDLE KernelHandle;
    LARGE_INTEGER TimeStamp;
  };
  GUID Guid;
  ULONG ClientContext;
  ULONG Flags;
} WNODE_HEADER, *PWNODE_HEADER;

#define WNODE_FLAG_ALL_DATA 0x00000001
#define WNODE_FLAG_SINGLE_INSTANCE 0x00000002
#define WNODE_FLAG_SINGLE_ITEM 0x00000004
#define WNODE_FLAG_EVENT_ITEM 0x00000008
#define WNODE_FLAG_FIXED_INSTANCE_SIZE 0x00000010
#define WNODE_FLAG_TOO_SMALL 0x00000020
#define WNODE_FLAG_INSTANCES_SAME 0x00000040
#define WNODE_FLAG_STATIC_INSTANCE_NAMES 0x00000080
#define WNODE_FLAG_INTERNAL 0x00000100
#define WNODE_FLAG_USE_TIMESTAMP 0x00000200
#define WNODE_FLAG_PERSIST_EVENT 0x00000400
#define WNODE_FLAG_EVENT_REFERENCE 0x00002000
#define WNODE_FLAG_ANSI_INSTANCENAMES 0x00004000
#define WNODE_FLAG_METHOD_ITEM 0x00008000
#define WNODE_FLAG_PDO_INSTANCE_NAMES 0x00010000
#define WNODE_FLAG_TRACED_GUID 0x00020000
#define WNODE_FLAG_LOG_WNODE 0x00040000
#define WNODE_FLAG_USE_GUID_PTR 0x00080000
#define WNODE_FLAG_USE_MOF_PTR 0x00100000
#define WNODE_FLAG_NO_HEADER 0x00200000
#define WNODE_FLAG_SEVERITY_MASK 0xff000000

typedef struct {
  ULONG OffsetInstanceData;
  ULONG LengthInstanceData;
} OFFSETINSTANCEDATAANDLENGTH, *POFFSETINSTANCEDATAANDLENGTH;

typedef struct tagWNODE_ALL_DATA {
  struct _WNODE_HEADER WnodeHeader;
  ULONG DataBlockOffset;
  ULONG InstanceCount;
  ULONG OffsetInstanceNameOffsets;
  union {
    ULONG FixedInstanceSize;
    OFFSETINSTANCEDATAANDLENGTH OffsetInstanceDataAndLength[1];
  };
} WNODE_ALL_DATA, *PWNODE_ALL_DATA;

typedef struct tagWNODE_SINGLE_INSTANCE {
  struct _WNODE_HEADER WnodeHeader;
  ULONG OffsetInstanceName;
  ULONG InstanceIndex;
  ULONG DataBlockOffset;
  ULONG SizeDataBlock;
  UCHAR VariableData[];
} WNODE_SINGLE_INSTANCE, *PWNODE_SINGLE_INSTANCE;

typedef struct tagWNODE_SINGLE_ITEM {
  struct _WNODE_HEADER WnodeHeader;
  ULONG OffsetInstanceName;
  ULONG InstanceIndex;
  ULONG ItemId;
  ULONG DataBlockOffset;
  ULONG SizeDataItem;
  UCHAR VariableData[];
} WNODE_SINGLE_ITEM, *PWNODE_SINGLE_ITEM;

typedef struct tagWNODE_METHOD_ITEM {
  struct _WNODE_HEADER WnodeHeader;
  ULONG OffsetInstanceName;
  ULONG InstanceIndex;
  ULONG MethodId;
  ULONG DataBlockOffset;
  ULONG SizeDataBlock;
  UCHAR VariableData[];
} WNODE_METHOD_ITEM, *PWNODE_METHOD_ITEM;

typedef struct tagWNODE_TOO_SMALL {
  struct _WNODE_HEADER WnodeHeader;
  ULONG SizeNeeded;
} WNODE_TOO_SMALL, *PWNODE_TOO_SMALL;

// Registration information: the answer to IRP_MN_REGINFO.
typedef struct {
  GUID Guid;
  ULONG Flags;
  ULONG InstanceCount;
  union {
    ULONG InstanceNameList;
    ULONG BaseNameOffset;
    ULONG_PTR Pdo;
    ULONG_PTR InstanceInfo;
  };
} WMIREGGUIDW, *PWMIREGGUIDW;
typedef WMIREGGUIDW WMIREGGUID;
typedef PWMIREGGUIDW PWMIREGGUID;

typedef struct {
  ULONG BufferSize;
  ULONG NextWmiRegInfo;
  ULONG RegistryPath;
  ULONG MofResourceName;
  ULONG GuidCount;
  WMIREGGUIDW WmiRegGuid[];
} WMIREGINFOW, *PWMIREGINFOW;
typedef WMIREGINFOW WMIREGINFO;
typedef PWMIREGINFOW PWMIREGINFO;

#define WMIREG_FLAG_EXPENSIVE 0x00000001
#define WMIREG_FLAG_INSTANCE_LIST 0x00000004
#define WMIREG_FLAG_INSTANCE_BASENAME 0x00000008
#define WMIREG_FLAG_INSTANCE_PDO 0x00000020
#define WMIREG_FLAG_EVENT_ONLY_GUID 0x00000040
#define WMIREG_FLAG_TRACE_CONTROL_GUID 0x00001000
#define WMIREG_FLAG_REMOVE_GUID 0x00010000
#define WMIREG_FLAG_TRACED_GUID 0x00080000

typedef enum {
  WMI_GET_ALL_DATA = 0,
  WMI_GET_SINGLE_INSTANCE = 1,
  WMI_SET_SINGLE_INSTANCE = 2,
  WMI_SET_SINGLE_ITEM = 3,
  WMI_ENABLE_EVENTS = 4,
  WMI_DISABLE_EVENTS = 5,
  WMI_ENABLE_COLLECTION = 6,
  WMI_DISABLE_COLLECTION = 7,
  WMI_REGINFO = 8,
  WMI_EXECUTE_METHOD = 9,
  WMI_CAPTURE_STATE = 10
} WMIDPREQUESTCODE;

static_assert(sizeof(WNODE_HEADER) == 48, "WNODE_HEADER");
static_assert(offsetof(WNODE_HEADER, HistoricalContext) == 8 && offsetof(WNODE_HEADER, KernelHandle) == 16 &&
                  offsetof(WNODE_HEADER, Guid) == 24 && offsetof(WNODE_HEADER, ClientContext) == 40 &&
                  offsetof(WNODE_HEADER, Flags) == 44,
              "WNODE_HEADER fields");
static_assert(sizeof(WNODE_ALL_DATA) == 72, "WNODE_ALL_DATA");
static_assert(offsetof(WNODE_ALL_DATA, FixedInstanceSize) == 60, "WNODE_ALL_DATA fields");
static_assert(sizeof(WNODE_SINGLE_INSTANCE) == 64, "WNODE_SINGLE_INSTANCE");
static_assert(offsetof(WNODE_SINGLE_INSTANCE, DataBlockOffset) == 56 &&
                  offsetof(WNODE_SINGLE_INSTANCE, SizeDataBlock) == 60,
              "WNODE_SINGLE_INSTANCE fields");
static_assert(sizeof(WNODE_SINGLE_ITEM) == 72, "WNODE_SINGLE_ITEM");
static_assert(offsetof(WNODE_SINGLE_ITEM, ItemId) == 56 &&
                  offsetof(WNODE_SINGLE_ITEM, DataBlockOffset) == 60 &&
                  offsetof(WNODE_SINGLE_ITEM, SizeDataItem) == 64,
              "WNODE_SINGLE_ITEM fields");
static_assert(sizeof(WNODE_METHOD_ITEM) == 72, "WNODE_METHOD_ITEM");
static_assert(sizeof(WNODE_TOO_SMALL) == 56, "WNODE_TOO_SMALL");
static_assert(sizeof(WMIREGGUIDW) == 32, "WMIREGGUIDW");
static_assert(offsetof(WMIREGGUIDW, Flags) == 16 && offsetof(WMIREGGUIDW, Pdo) == 24, "WMIREGGUIDW fields");
static_assert(sizeof(WMIREGINFOW) == 24 && offsetof(WMIREGINFOW, WmiRegGuid) == 24, "WMIREGINFOW");

// ---------------------------------------------------------------------------
// The WMI library (wmilib.sys)

typedef enum _WMIENABLEDISABLECONTROL {
  WmiEventControl,
  WmiDataBlockControl
} WMIENABLEDISABLECONTROL,
    *PWMIENABLEDISABLECONTROL;

typedef enum _SYSCTL_IRP_DISPOSITION {
  IrpProcessed,
  IrpNotCompleted,
  IrpNotWmi,
  IrpForward
} SYSCTL_IRP_DISPOSITION,
    *PSYSCTL_IRP_DISPOSITION;

typedef struct _WMIGUIDREGINFO {
  LPCGUID Guid;
  ULONG InstanceCount;
  ULONG Flags;
} WMIGUIDREGINFO, *PWMIGUIDREGINFO;

typedef NTSTATUS(NTAPI WMI_QUERY_REGINFO_CALLBACK)(struct _DEVICE_OBJECT* DeviceObject, PULONG RegFlags,
                                                   PUNICODE_STRING InstanceName,
                                                   PUNICODE_STRING* RegistryPath,
                                                   PUNICODE_STRING MofResourceName,
                                                   struct _DEVICE_OBJECT** Pdo);
typedef WMI_QUERY_REGINFO_CALLBACK* PWMI_QUERY_REGINFO;

typedef NTSTATUS(NTAPI WMI_FUNCTION_CONTROL_CALLBACK)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp,
                                                      ULONG GuidIndex, WMIENABLEDISABLECONTROL Function,
                                                      BOOLEAN Enable);
typedef WMI_FUNCTION_CONTROL_CALLBACK* PWMI_FUNCTION_CONTROL;

typedef NTSTATUS(NTAPI WMI_QUERY_DATABLOCK_CALLBACK)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp,
                                                     ULONG GuidIndex, ULONG InstanceIndex,
                                                     ULONG InstanceCount, PULONG InstanceLengthArray,
                                                     ULONG BufferAvail, PUCHAR Buffer);
typedef WMI_QUERY_DATABLOCK_CALLBACK* PWMI_QUERY_DATABLOCK;

typedef NTSTATUS(NTAPI WMI_EXECUTE_METHOD_CALLBACK)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp,
                                                    ULONG GuidIndex, ULONG InstanceIndex, ULONG MethodId,
                                                    ULONG InBufferSize, ULONG OutBufferSize, PUCHAR Buffer);
typedef WMI_EXECUTE_METHOD_CALLBACK* PWMI_EXECUTE_METHOD;

typedef NTSTATUS(NTAPI WMI_SET_DATABLOCK_CALLBACK)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp,
                                                   ULONG GuidIndex, ULONG InstanceIndex, ULONG BufferSize,
                                                   PUCHAR Buffer);
typedef WMI_SET_DATABLOCK_CALLBACK* PWMI_SET_DATABLOCK;

typedef NTSTATUS(NTAPI WMI_SET_DATAITEM_CALLBACK)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp,
                                                  ULONG GuidIndex, ULONG InstanceIndex, ULONG DataItemId,
                                                  ULONG BufferSize, PUCHAR Buffer);
typedef WMI_SET_DATAITEM_CALLBACK* PWMI_SET_DATAITEM;

typedef struct _WMILIB_CONTEXT {
  ULONG GuidCount;
  PWMIGUIDREGINFO GuidList;
  PWMI_QUERY_REGINFO QueryWmiRegInfo;
  PWMI_QUERY_DATABLOCK QueryWmiDataBlock;
  PWMI_SET_DATABLOCK SetWmiDataBlock;
  PWMI_SET_DATAITEM SetWmiDataItem;
  PWMI_EXECUTE_METHOD ExecuteWmiMethod;
  PWMI_FUNCTION_CONTROL WmiFunctionControl;
} WMILIB_CONTEXT, *PWMILIB_CONTEXT;

static_assert(sizeof(WMIGUIDREGINFO) == 16, "WMIGUIDREGINFO");
static_assert(sizeof(WMILIB_CONTEXT) == 64, "WMILIB_CONTEXT");
static_assert(offsetof(WMILIB_CONTEXT, GuidList) == 8 && offsetof(WMILIB_CONTEXT, QueryWmiRegInfo) == 16 &&
                  offsetof(WMILIB_CONTEXT, WmiFunctionControl) == 56,
              "WMILIB_CONTEXT fields");

// Completes a WMI request that a callback above handled; BufferUsed is the
// number of data bytes (or the size needed, with STATUS_BUFFER_TOO_SMALL).
NTSTATUS NTAPI WmiCompleteRequest(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp, NTSTATUS Status,
                                  ULONG BufferUsed, CHAR PriorityBoost);

// Dispatches an IRP_MJ_SYSTEM_CONTROL request to the callbacks of WmiLibInfo
// and says in *IrpDisposition what the caller still has to do with it.
NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, struct _DEVICE_OBJECT* DeviceObject,
                                struct _IRP* Irp, PSYSCTL_IRP_DISPOSITION IrpDisposition);

NTSTATUS NTAPI WmiFireEvent(struct _DEVICE_OBJECT* DeviceObject, LPCGUID Guid, ULONG InstanceIndex,
                            ULONG EventDataSize, PVOID EventData);

// ---------------------------------------------------------------------------
// Event tracing

typedef ULONG64 TRACEHANDLE, *PTRACEHANDLE;
typedef ULONGLONG REGHANDLE, *PREGHANDLE;

typedef enum _TRACE_INFORMATION_CLASS {
  TraceIdClass,
  TraceHandleClass,
  TraceEnableFlagsClass,
  TraceEnableLevelClass,
  GlobalLoggerHandleClass,
  EventLoggerHandleClass,
  AllLoggerHandlesClass,
  TraceHandleByNameClass,
  LoggerEventsLostClass,
  TraceSessionSettingsClass,
  LoggerEventsLoggedClass,
  DiskIoNotifyRoutinesClass,
  TraceInformationClassReserved1,
  FltIoNotifyRoutinesClass,
  TraceInformationClassReserved2,
  WdfNotifyRoutinesClass,
  MaxTraceInformationClass
} TRACE_INFORMATION_CLASS;

#define TRACE_LEVEL_NONE 0
#define TRACE_LEVEL_CRITICAL 1
#define TRACE_LEVEL_FATAL 1
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5

// MessageFlags of WmiTraceMessage: what the logger adds to each message.
#define TRACE_MESSAGE_SEQUENCE 1
#define TRACE_MESSAGE_GUID 2
#define TRACE_MESSAGE_COMPONENTID 4
#define TRACE_MESSAGE_TIMESTAMP 8
#define TRACE_MESSAGE_PERFORMANCE_TIMESTAMP 16
#define TRACE_MESSAGE_SYSTEMINFO 32
#define TRACE_MESSAGE_POINTER32 0x0040
#define TRACE_MESSAGE_POINTER64 0x0080
#define TRACE_MESSAGE_FLAG_MASK 0xffff
#define TRACE_MESSAGE_MAXIMUM_SIZE (64 * 1024)

// ControlCode of a classic provider's enable callback.
#define EVENT_CONTROL_CODE_DISABLE_PROVIDER 0
#define EVENT_CONTROL_CODE_ENABLE_PROVIDER 1
#define EVENT_CONTROL_CODE_CAPTURE_STATE 2

// What EnableContext points to when a classic provider is enabled.
typedef struct _TRACE_ENABLE_CONTEXT {
  USHORT LoggerId;
  UCHAR Level;
  UCHAR InternalFlag;
  ULONG EnableFlags;
} TRACE_ENABLE_CONTEXT, *PTRACE_ENABLE_CONTEXT;
static_assert(sizeof(TRACE_ENABLE_CONTEXT) == 8, "TRACE_ENABLE_CONTEXT");

typedef VOID(NTAPI* PETW_CLASSIC_CALLBACK)(LPCGUID Guid, UCHAR ControlCode, PVOID EnableContext,
                                           PVOID CallbackContext);

// Variadic arguments come in pairs (pointer to the data, SIZE_T length),
// ended by a NULL pointer.
NTSTATUS NTAPI WmiTraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                               USHORT MessageNumber, ...);

NTSTATUS NTAPI WmiQueryTraceInformation(TRACE_INFORMATION_CLASS TraceInformationClass, PVOID TraceInformation,
                                        ULONG TraceInformationLength, PULONG RequiredLength, PVOID Buffer);

NTSTATUS NTAPI EtwRegisterClassicProvider(LPCGUID ProviderGuid, ULONG Type,
                                          PETW_CLASSIC_CALLBACK EnableCallback, PVOID CallbackContext,
                                          PREGHANDLE RegHandle);

NTSTATUS NTAPI EtwUnregister(REGHANDLE RegHandle);
