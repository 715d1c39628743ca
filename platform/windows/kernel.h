// The Windows build reaches the kernel through the mingw-w64 kernel headers.
// This header includes them in the order they need and fills the few gaps
// they have against the Windows Driver Kit, so that driver code reads the
// same on both builds.
#pragma once

// In C++ mode wdm.h redeclares two intrinsics that mingw's intrin.h already
// defines; claiming them as defined keeps wdm.h's copies out.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
// wdm.h's inline KeGetCurrentIrql reads cr8, which only ring 0 may; the
// kernel exports the routine on x64, and the image calls that instead, so
// that it also runs in the emulated kernel (set aside here, declared below).
#define KeGetCurrentIrql KeGetCurrentIrqlFromCr8

#include <ddk/ntddk.h>
#include <ddk/wdm.h>
#include <usb.h>
#include <usbioctl.h>
// usbdlib.h has no C linkage block of its own: without one the USBD_*
// routines would be looked up under C++ names that usbd.sys does not export.
extern "C" {
#include <ddk/usbdlib.h>
}
#include <ntddser.h>
#include <ddk/wmilib.h>
#include <wmistr.h>

#undef KeGetCurrentIrql
extern "C" __declspec(dllimport) KIRQL NTAPI KeGetCurrentIrql(VOID);

// Interlocked and ordered accesses of the kernel headers that mingw-w64
// lacks, with their signatures. On x64 an aligned load of up to eight bytes
// is atomic and is not reordered with later loads or stores: a volatile load
// that the compiler may not move is an acquire load, as in wdm.h.
inline CHAR InterlockedExchange8(CHAR volatile* Target, CHAR Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline BYTE ReadUCharAcquire(BYTE const volatile* Source) {
  BYTE value = *Source;
  _ReadWriteBarrier();
  return value;
}
inline DWORD ReadULongAcquire(DWORD const volatile* Source) {
  DWORD value = *Source;
  _ReadWriteBarrier();
  return value;
}
inline LONG64 ReadAcquire64(LONG64 const volatile* Source) {
  LONG64 value = *Source;
  _ReadWriteBarrier();
  return value;
}
inline PVOID ReadPointerAcquire(PVOID const volatile* Source) {
  PVOID value = *Source;
  _ReadWriteBarrier();
  return value;
}

// Wide literals: wchar_t is 16 bits on Windows.
#define WIDE(s) L##s

// Registration flags of IoWMIRegistrationControl that wdm.h lacks.
#ifndef WMIREG_FLAG_CALLBACK
#define WMIREG_FLAG_CALLBACK 0x80000000
#endif
#ifndef WMIREG_FLAG_TRACE_PROVIDER
#define WMIREG_FLAG_TRACE_PROVIDER 0x00010000
#endif

// Entry of a callback WMI provider (a block registered with
// WMIREG_FLAG_CALLBACK whose first member is this routine); wdm.h lacks it.
typedef NTSTATUS (*WMIENTRY)(UCHAR ActionCode, PVOID DataPath, ULONG BufferSize, PVOID Buffer, PVOID Context,
                             PULONG Size);

// Trace definitions of the user-mode tracing headers that a classic
// provider in a driver needs as well.
#ifndef EVENT_CONTROL_CODE_DISABLE_PROVIDER
#define EVENT_CONTROL_CODE_DISABLE_PROVIDER 0
#define EVENT_CONTROL_CODE_ENABLE_PROVIDER 1
#define EVENT_CONTROL_CODE_CAPTURE_STATE 2
#endif
#ifndef TRACE_MESSAGE_SEQUENCE
#define TRACE_MESSAGE_SEQUENCE 1
#define TRACE_MESSAGE_GUID 2
#define TRACE_MESSAGE_COMPONENTID 4
#define TRACE_MESSAGE_TIMESTAMP 8
#define TRACE_MESSAGE_PERFORMANCE_TIMESTAMP 16
#define TRACE_MESSAGE_SYSTEMINFO 32
#endif
#ifndef TRACE_LEVEL_NONE
#define TRACE_LEVEL_NONE 0
#define TRACE_LEVEL_CRITICAL 1
#define TRACE_LEVEL_FATAL 1
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5
#endif
typedef struct _TRACE_ENABLE_CONTEXT {
  USHORT LoggerId;
  UCHAR Level;
  UCHAR InternalFlag;
  ULONG EnableFlags;
} TRACE_ENABLE_CONTEXT, *PTRACE_ENABLE_CONTEXT;

extern "C" {

// Tracing routines that a driver resolves with MmGetSystemRoutineAddress.
// wdm.h declares WmiTraceMessage only for WPP builds and has no classic
// provider registration; the declarations give the pointer types their
// exact signatures (decltype(&WmiTraceMessage) and the like).
typedef VOID(NTAPI* PETW_CLASSIC_CALLBACK)(LPCGUID Guid, UCHAR ControlCode, PVOID EnableContext,
                                           PVOID CallbackContext);

NTSTATUS NTAPI EtwRegisterClassicProvider(LPCGUID ProviderGuid, ULONG Type,
                                          PETW_CLASSIC_CALLBACK EnableCallback, PVOID CallbackContext,
                                          PREGHANDLE RegHandle);

// ntoskrnl exports the C run-time formatter, but the kernel headers do not
// declare it.
int __cdecl _vsnprintf(char* buffer, size_t count, const char* format, va_list args);

#ifndef RUN_WPP
NTSTATUS __cdecl WmiTraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                                 USHORT MessageNumber, ...);
#endif

}  // extern "C"
